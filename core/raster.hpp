// Rasterising a module matrix into 1-bit image rows, the pixel data of a
// PNG image before compression: each row is a filter byte (0, none) and the
// pixels packed eight to a byte, the leftmost in the highest bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillbank::aztec {

// `modules` is size * size, row by row, 1 = dark.  Every module becomes a
// scale x scale square, with `border` light modules on each side.  Dark
// pixels get the bit value `darkBit`, light ones its complement.
std::vector<uint8_t> pngScanlines(const uint8_t* modules, int size, int scale, int border,
                                  bool darkBit);

}  // namespace quillbank::aztec
