// Turning a module matrix into picture data: 1-bit image rows, the pixel
// data of a PNG image before compression (each row a filter byte, then the
// pixels packed eight to a byte, the leftmost in the highest bit), whole
// PNG files, and the outline of the dark modules as SVG path data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quillbank::aztec {

// `modules` is size * size, row by row, 1 = dark.  Every module becomes a
// scale x scale square, with `border` light modules on each side.  Dark
// pixels get the bit value `darkBit`, light ones its complement.
//
// Those pixels as a PNG image's IDAT data: a zlib stream of rows that
// all have filter 0, written by deflateRows (png_deflate.hpp), which codes
// each repeated row as a reference to the one above.
std::vector<uint8_t> pngImageData(const uint8_t* modules, int size, int scale, int border, bool darkBit);

// The colours of a PNG picture: 1-bit greyscale, black on white, or else a
// palette of two RGBA entries, 0 light and 1 dark (alpha in a tRNS chunk
// where either is not opaque).
struct PngColours {
    bool greyscale = true;
    uint8_t light[4] = {255, 255, 255, 255};
    uint8_t dark[4] = {0, 0, 0, 255};
};

// The CRC-32 a PNG chunk ends with, of its type and data.
uint32_t chunkCrc(const uint8_t* bytes, size_t count);

// A whole PNG file of the modules: signature, IHDR, PLTE and tRNS for a
// palette, pHYs when `pixelsPerMetre` is given, IDAT and IEND.
std::vector<uint8_t> pngFile(const uint8_t* modules, int size, int scale, int border, const PngColours& colours,
                             std::optional<uint32_t> pixelsPerMetre);

// SVG path data of the dark modules, one unit a module, offset by `border`:
// a closed rectangle "M{x} {y}h{w}v1h-{w}z" per run of dark modules along a row.
std::string svgPathString(const uint8_t* modules, int size, int border);

// The same path data written to the start of `buffer`, which grows to the
// most a matrix of that size could need and is kept by the caller for the
// next path; returns the count of characters (ASCII) written.
size_t writeSvgPath(const uint8_t* modules, int size, int border, std::vector<char>& buffer);

}  // namespace quillbank::aztec
