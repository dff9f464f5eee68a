// Each byte with its bit order reversed: packed streams keep their first
// bit lowest, codewords and DEFLATE codes want it highest (or the other
// way round), and one lookup a byte turns them.
#pragma once

#include <array>
#include <cstdint>

namespace quillbank::aztec {

constexpr std::array<uint8_t, 256> buildReversedBytes() {
    std::array<uint8_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        int reversed = 0;
        for (int k = 0; k < 8; ++k) reversed |= ((b >> k) & 1) << (7 - k);
        table[static_cast<size_t>(b)] = static_cast<uint8_t>(reversed);
    }
    return table;
}

inline constexpr std::array<uint8_t, 256> kReversedBytes = buildReversedBytes();

}  // namespace quillbank::aztec
