// Turning a module matrix into picture data: 1-bit image rows, the pixel
// data of a PNG image before compression (each row a filter byte, then the
// pixels packed eight to a byte, the leftmost in the highest bit), and the
// outline of the dark modules as SVG path data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillbank::aztec {

// `modules` is size * size, row by row, 1 = dark.  Every module becomes a
// scale x scale square, with `border` light modules on each side.  Dark
// pixels get the bit value `darkBit`, light ones its complement.  A row
// that repeats the row above is written with the Up filter (2), as zeros,
// which zlib compresses faster and smaller; every other row has filter 0.
std::vector<uint8_t> pngScanlines(const uint8_t* modules, int size, int scale, int border,
                                  bool darkBit);

// The same rows compressed as a PNG image's IDAT data (a zlib stream).
// Run-length matching only (zlib's Z_RLE): the repeated rows are already
// zeros under the Up filter and a module is a run of `scale` pixels, so it
// costs a fraction of a full match search for output of about the same
// size (smaller on large symbols, a few dozen bytes larger on small ones).
// Each thread keeps its compressor for the next picture.  Throws
// std::bad_alloc when zlib has no memory.
std::vector<uint8_t> pngImageData(const uint8_t* modules, int size, int scale, int border, bool darkBit);

// SVG path data of the dark modules, one unit a module, offset by `border`:
// a closed rectangle "M{x} {y}h{w}v1h-{w}z" per run of dark modules along a row.
std::string svgPath(const uint8_t* modules, int size, int border);

}  // namespace quillbank::aztec
