#include "raster.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "png_deflate.hpp"

namespace quillbank::aztec {

namespace {

size_t pixelsOnASide(int size, int scale, int border) {
    return static_cast<size_t>(size + 2 * border) * static_cast<size_t>(scale);
}

size_t bytesInARow(int size, int scale, int border) { return 1 + (pixelsOnASide(size, scale, border) + 7) / 8; }

// One pixel row with its filter byte 0: `line` holds a row of `size`
// modules, or is null for a row of the border.  Bits past the last pixel
// keep the light value; PNG ignores them.
void packRow(const uint8_t* line, int size, int scale, int border, bool darkBit, uint8_t* row) {
    const uint32_t light = darkBit ? 0 : 1;
    uint8_t* out = row;
    *out++ = 0;
    uint64_t pending = 0;  // pixels not yet written, the oldest in the highest bit
    int count = 0;
    auto append = [&](uint32_t bit, size_t pixels) {
        while (pixels > 0) {
            const int take = static_cast<int>(std::min<size_t>(pixels, 32));
            const uint64_t ones = (uint64_t{1} << take) - 1;
            pending = (pending << take) | (bit ? ones : 0);
            count += take;
            pixels -= static_cast<size_t>(take);
            while (count >= 8) {
                count -= 8;
                *out++ = static_cast<uint8_t>(pending >> count);
            }
        }
    };
    const size_t modulePixels = static_cast<size_t>(scale);
    if (line == nullptr) {
        append(light, pixelsOnASide(size, scale, border));
    } else {
        append(light, static_cast<size_t>(border) * modulePixels);
        if (scale <= 32) {
            // The common case, a module at a time: `scale` bits of one value.
            const uint64_t ones = (uint64_t{1} << scale) - 1;
            const uint64_t lightBits = light ? ones : 0, darkBits = ones ^ lightBits;
            for (int x = 0; x < size; ++x) {
                pending = (pending << scale) | (line[x] ? darkBits : lightBits);
                count += scale;
                if (count >= 32) {  // four bytes at a time: at most 31 + 32 bits are pending
                    count -= 32;
                    const uint32_t word = static_cast<uint32_t>(pending >> count);
                    out[0] = static_cast<uint8_t>(word >> 24);
                    out[1] = static_cast<uint8_t>(word >> 16);
                    out[2] = static_cast<uint8_t>(word >> 8);
                    out[3] = static_cast<uint8_t>(word);
                    out += 4;
                }
            }
            for (; count >= 8; count -= 8) *out++ = static_cast<uint8_t>(pending >> (count - 8));
        } else {
            for (int x = 0; x < size; ++x) append(line[x] ? light ^ 1 : light, modulePixels);
        }
        append(light, static_cast<size_t>(border) * modulePixels);
    }
    if (count > 0) append(light, static_cast<size_t>(8 - count));
}

}  // namespace

std::vector<uint8_t> pngImageData(const uint8_t* modules, int size, int scale, int border, bool darkBit) {
    const size_t rowBytes = bytesInARow(size, scale, border);
    // Each distinct row once: the border's, then one per module row.
    std::vector<uint8_t> packed(rowBytes * (static_cast<size_t>(size) + 1));
    packRow(nullptr, size, scale, border, darkBit, packed.data());
    for (int y = 0; y < size; ++y)
        packRow(modules + static_cast<size_t>(y) * static_cast<size_t>(size), size, scale, border, darkBit,
                &packed[rowBytes * (static_cast<size_t>(y) + 1)]);
    std::vector<const uint8_t*> rows;
    rows.reserve(pixelsOnASide(size, scale, border));
    const size_t borderRows = static_cast<size_t>(border) * static_cast<size_t>(scale);
    rows.insert(rows.end(), borderRows, packed.data());
    for (int y = 0; y < size; ++y)
        rows.insert(rows.end(), static_cast<size_t>(scale), &packed[rowBytes * (static_cast<size_t>(y) + 1)]);
    rows.insert(rows.end(), borderRows, packed.data());
    std::vector<uint8_t> data;
    deflateRows(rows, rowBytes, data);
    return data;
}

namespace {

// The CRC-32 of PNG chunks (ISO 3309, reflected polynomial 0xEDB88320), a
// byte at a time from a table built at compile time: chunks are short, and
// no library is needed for them.
constexpr std::array<uint32_t, 256> buildCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = buildCrcTable();

void putBigEndian(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

uint32_t chunkCrc(const uint8_t* bytes, size_t count) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < count; ++i) crc = kCrcTable[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

namespace {

// Appends a chunk whose data `fill` appends, with its length and CRC.
template <typename Fill>
void chunk(std::vector<uint8_t>& out, const char (&kind)[5], Fill fill) {
    const size_t lengthAt = out.size();
    putBigEndian(out, 0);
    out.insert(out.end(), kind, kind + 4);
    fill();
    const size_t length = out.size() - lengthAt - 8;
    for (int i = 0; i < 4; ++i) out[lengthAt + static_cast<size_t>(i)] = static_cast<uint8_t>(length >> (24 - 8 * i));
    putBigEndian(out, chunkCrc(&out[lengthAt + 4], length + 4));
}

}  // namespace

std::vector<uint8_t> pngFile(const uint8_t* modules, int size, int scale, int border, const PngColours& colours,
                             std::optional<uint32_t> pixelsPerMetre) {
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    // Greyscale: bit 0 is black, 1 white.  Palette: index 0 light, 1 dark.
    const std::vector<uint8_t> imageData = pngImageData(modules, size, scale, border, !colours.greyscale);
    std::vector<uint8_t> out;
    out.reserve(8 + 25 + 18 + 14 + 21 + imageData.size() + 12 + 12);
    out.insert(out.end(), kSignature, kSignature + 8);
    const uint32_t side = static_cast<uint32_t>(pixelsOnASide(size, scale, border));
    chunk(out, "IHDR", [&] {
        putBigEndian(out, side);
        putBigEndian(out, side);
        const uint8_t rest[5] = {1, static_cast<uint8_t>(colours.greyscale ? 0 : 3), 0, 0, 0};  // depth, type, methods
        out.insert(out.end(), rest, rest + 5);
    });
    if (!colours.greyscale) {
        chunk(out, "PLTE", [&] {
            out.insert(out.end(), colours.light, colours.light + 3);
            out.insert(out.end(), colours.dark, colours.dark + 3);
        });
        // Entries past the last one written are opaque.
        const int alphas = colours.dark[3] != 255 ? 2 : colours.light[3] != 255 ? 1 : 0;
        if (alphas > 0) chunk(out, "tRNS", [&] {
            out.push_back(colours.light[3]);
            if (alphas == 2) out.push_back(colours.dark[3]);
        });
    }
    if (pixelsPerMetre) chunk(out, "pHYs", [&] {
        putBigEndian(out, *pixelsPerMetre);
        putBigEndian(out, *pixelsPerMetre);
        out.push_back(1);  // the unit is the metre
    });
    chunk(out, "IDAT", [&] { out.insert(out.end(), imageData.begin(), imageData.end()); });
    chunk(out, "IEND", [] {});
    return out;
}

namespace {

// The decimal text of the numbers a path holds: x (offset by the border)
// and widths, each at most `size` + `border`, written many times over.
class Numerals {
public:
    Numerals(int count, int offset) : text_(static_cast<size_t>(count)) {
        for (int n = 0; n < count; ++n) {
            Numeral& numeral = text_[static_cast<size_t>(n)];
            numeral.length = static_cast<uint8_t>(
                std::to_chars(numeral.digits, numeral.digits + sizeof numeral.digits, n + offset).ptr - numeral.digits);
        }
    }

    size_t length(int n) const { return text_[static_cast<size_t>(n)].length; }

    char* write(char* out, int n) const {
        const Numeral& numeral = text_[static_cast<size_t>(n)];
        for (uint8_t i = 0; i < numeral.length; ++i) *out++ = numeral.digits[i];
        return out;
    }

private:
    struct Numeral {
        char digits[12];
        uint8_t length;
    };
    std::vector<Numeral> text_;
};

// Calls run(y, x, width) for each run of dark modules, row by row.
template <typename Run>
void forEachRun(const uint8_t* modules, int size, Run run) {
    for (int y = 0; y < size; ++y) {
        const uint8_t* line = modules + static_cast<size_t>(y) * static_cast<size_t>(size);
        for (int x = 0; x < size;) {
            if (!line[x]) {
                ++x;
                continue;
            }
            int end = x + 1;
            while (end < size && line[end]) ++end;
            run(y, x, end - x);
            x = end;
        }
    }
}

}  // namespace

size_t writeSvgPath(const uint8_t* modules, int size, int border, std::vector<char>& buffer) {
    const Numerals places(size, border), widths(size + 1, 0);
    // At most one run every other module, each "M" x " " y "h" w "v1h-" w "z".
    const size_t mostRuns = static_cast<size_t>(size) * static_cast<size_t>((size + 1) / 2);
    const size_t place = size > 0 ? places.length(size - 1) : 0, width = size > 0 ? widths.length(size) : 0;
    const size_t most = mostRuns * (8 + 2 * place + 2 * width);
    if (buffer.size() < most) buffer.resize(most);
    char* const start = buffer.data();
    char* at = start;
    forEachRun(modules, size, [&](int y, int x, int runWidth) {
        *at++ = 'M';
        at = places.write(at, x);
        *at++ = ' ';
        at = places.write(at, y);
        *at++ = 'h';
        at = widths.write(at, runWidth);
        std::memcpy(at, "v1h-", 4);
        at += 4;
        at = widths.write(at, runWidth);
        *at++ = 'z';
    });
    return static_cast<size_t>(at - start);
}

std::string svgPathString(const uint8_t* modules, int size, int border) {
    std::vector<char> buffer;
    const size_t length = writeSvgPath(modules, size, border, buffer);
    return std::string(buffer.data(), length);
}

}  // namespace quillbank::aztec
