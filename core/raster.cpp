#include "raster.hpp"

#include <cstring>

namespace quillbank::aztec {

std::vector<uint8_t> pngScanlines(const uint8_t* modules, int size, int scale, int border,
                                  bool darkBit) {
    const size_t width = static_cast<size_t>(size + 2 * border) * static_cast<size_t>(scale);
    const size_t rowBytes = 1 + (width + 7) / 8;
    std::vector<uint8_t> image(rowBytes * width);
    const uint8_t lightByte = darkBit ? 0x00 : 0xFF;

    // The light rows of the border, then each module row once, copied for
    // the other scale - 1 pixel rows.
    std::vector<uint8_t> row(rowBytes, lightByte);
    row[0] = 0;
    const size_t borderPixels = static_cast<size_t>(border) * static_cast<size_t>(scale);
    size_t at = 0;
    for (size_t r = 0; r < borderPixels; ++r, at += rowBytes) std::memcpy(&image[at], row.data(), rowBytes);
    for (int y = 0; y < size; ++y) {
        std::memset(row.data() + 1, lightByte, rowBytes - 1);
        const uint8_t* line = modules + static_cast<size_t>(y) * static_cast<size_t>(size);
        size_t pixel = borderPixels;
        for (int x = 0; x < size; ++x) {
            if (line[x]) {
                for (int s = 0; s < scale; ++s, ++pixel) row[1 + pixel / 8] ^= static_cast<uint8_t>(0x80u >> (pixel % 8));
            } else {
                pixel += static_cast<size_t>(scale);
            }
        }
        for (int s = 0; s < scale; ++s, at += rowBytes) std::memcpy(&image[at], row.data(), rowBytes);
    }
    std::memset(row.data() + 1, lightByte, rowBytes - 1);
    for (size_t r = 0; r < borderPixels; ++r, at += rowBytes) std::memcpy(&image[at], row.data(), rowBytes);
    // Bits past the last pixel of a row stay as the light value; PNG ignores them.
    return image;
}

}  // namespace quillbank::aztec
