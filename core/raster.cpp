#include "raster.hpp"

#include <cstdio>
#include <algorithm>
#include <cstring>

namespace quillbank::aztec {

std::vector<uint8_t> pngScanlines(const uint8_t* modules, int size, int scale, int border,
                                  bool darkBit) {
    const size_t width = static_cast<size_t>(size + 2 * border) * static_cast<size_t>(scale);
    const size_t rowBytes = 1 + (width + 7) / 8;
    std::vector<uint8_t> image(rowBytes * width, 0);  // zeros: the Up filter's "same as above"
    const uint8_t lightByte = darkBit ? 0x00 : 0xFF;
    const size_t borderPixels = static_cast<size_t>(border) * static_cast<size_t>(scale);

    std::vector<uint8_t> row(rowBytes);
    size_t at = 0;
    // Writes `row` once with filter 0, then `repeats` times as Up rows.
    auto emit = [&](size_t repeats) {
        std::memcpy(&image[at], row.data(), rowBytes);
        at += rowBytes;
        for (size_t r = 0; r < repeats; ++r, at += rowBytes) image[at] = 2;
    };
    std::fill(row.begin(), row.end(), lightByte);
    row[0] = 0;
    if (borderPixels > 0) emit(borderPixels - 1);
    for (int y = 0; y < size; ++y) {
        std::fill(row.begin() + 1, row.end(), lightByte);
        const uint8_t* line = modules + static_cast<size_t>(y) * static_cast<size_t>(size);
        size_t pixel = borderPixels;
        for (int x = 0; x < size; ++x) {
            if (line[x]) {
                for (int s = 0; s < scale; ++s, ++pixel) row[1 + pixel / 8] ^= static_cast<uint8_t>(0x80u >> (pixel % 8));
            } else {
                pixel += static_cast<size_t>(scale);
            }
        }
        // Bits past the last pixel keep the light value; PNG ignores them.
        emit(static_cast<size_t>(scale) - 1);
    }
    std::fill(row.begin() + 1, row.end(), lightByte);
    if (borderPixels > 0) emit(borderPixels - 1);
    return image;
}

std::string svgPath(const uint8_t* modules, int size, int border) {
    std::string path;
    char command[64];
    for (int y = 0; y < size; ++y) {
        const uint8_t* line = modules + static_cast<size_t>(y) * static_cast<size_t>(size);
        for (int x = 0; x < size;) {
            if (!line[x]) {
                ++x;
                continue;
            }
            int end = x;
            while (end < size && line[end]) ++end;
            const int length = std::snprintf(command, sizeof command, "M%d %dh%dv1h-%dz", x + border, y + border,
                                             end - x, end - x);
            path.append(command, static_cast<size_t>(length));
            x = end;
        }
    }
    return path;
}

}  // namespace quillbank::aztec
