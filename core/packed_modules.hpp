// Packing a symbol's modules, one byte each (0 or 1, row by row), into
// rows of bits as Symbol::packed() holds them: each row rounded up to
// whole bytes, its leftmost module in bit 7 of its first byte, the bits
// past its last module 0.  Every symbol the API returns is packed here, so
// the work is done eight modules at a time (thirty-two in rows of 57
// modules or more, where the processor has AVX2), never one at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillbank::aztec {

// Packs the `size` * `size` modules at `modules` into `out`, which has
// room for (size + 7) / 8 * size bytes.
void packModules(const std::uint8_t* modules, std::size_t size, std::uint8_t* out);

}  // namespace quillbank::aztec
