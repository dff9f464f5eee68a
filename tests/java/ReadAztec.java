// Reads Aztec symbols from PNG files with ZXing for Java's Aztec reader (a
// test tool: the library's own writer is checked against it).
//
//   java -cp zxing-core.jar ReadAztec.java a.png b.png ...
//   java -cp zxing-core.jar ReadAztec.java @list.txt     (one path a line)
//
// Prints one line per file, in order:
//   OK <the text as UTF-8, in hex> <the byte segments in hex, '-' if none>
//   FAIL <the exception's class>
// Hex keeps a text with line breaks or any character on one line.

import com.google.zxing.BinaryBitmap;
import com.google.zxing.DecodeHintType;
import com.google.zxing.RGBLuminanceSource;
import com.google.zxing.Result;
import com.google.zxing.ResultMetadataType;
import com.google.zxing.aztec.AztecReader;
import com.google.zxing.common.HybridBinarizer;

import java.awt.image.BufferedImage;
import java.io.File;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.EnumMap;
import java.util.List;
import java.util.Map;
import javax.imageio.ImageIO;

public final class ReadAztec {
    private static String hex(byte[] bytes) {
        StringBuilder out = new StringBuilder();
        for (byte b : bytes) out.append(String.format("%02x", b & 0xff));
        return out.toString();
    }

    private static String read(String path, Map<DecodeHintType, Object> hints) {
        try {
            BufferedImage image = ImageIO.read(new File(path));
            int width = image.getWidth(), height = image.getHeight();
            int[] pixels = image.getRGB(0, 0, width, height, null, 0, width);
            BinaryBitmap bitmap = new BinaryBitmap(new HybridBinarizer(new RGBLuminanceSource(width, height, pixels)));
            Result result = new AztecReader().decode(bitmap, hints);
            String segments = "-";
            Object found = result.getResultMetadata() == null ? null
                    : result.getResultMetadata().get(ResultMetadataType.BYTE_SEGMENTS);
            if (found instanceof List) {
                StringBuilder joined = new StringBuilder();
                for (Object segment : (List<?>) found) joined.append(hex((byte[]) segment));
                segments = joined.toString();
            }
            return "OK " + hex(result.getText().getBytes(StandardCharsets.UTF_8)) + " " + segments;
        } catch (Exception error) {
            return "FAIL " + error.getClass().getSimpleName();
        }
    }

    public static void main(String[] args) throws Exception {
        List<String> paths = new ArrayList<>();
        for (String arg : args) {
            if (arg.startsWith("@")) paths.addAll(Files.readAllLines(Paths.get(arg.substring(1)), StandardCharsets.UTF_8));
            else paths.add(arg);
        }
        Map<DecodeHintType, Object> hints = new EnumMap<>(DecodeHintType.class);
        hints.put(DecodeHintType.PURE_BARCODE, Boolean.TRUE);
        StringBuilder out = new StringBuilder();
        for (String path : paths) {
            if (!path.isEmpty()) out.append(read(path, hints)).append('\n');
        }
        System.out.print(out);
        System.out.flush();
    }
}
