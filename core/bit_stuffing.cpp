#include "bit_stuffing.hpp"

namespace quillbank::aztec {

namespace {

// The next `width` stream bits from `position`, first bit highest, bits
// past the end taken as padding 1s: one byte per bit.
struct UnpackedSource {
    const uint8_t* bits;
    size_t count;

    uint32_t peek(size_t position, int width) const {
        uint32_t word = 0;
        for (int j = 0; j < width; ++j) {
            const size_t at = position + static_cast<size_t>(j);
            word = (word << 1) | (at >= count || bits[at] ? 1u : 0u);
        }
        return word;
    }
};

// The bit-reversed value of every byte.
struct ReversedBytes {
    uint8_t table[256];
    constexpr ReversedBytes() : table() {
        for (int b = 0; b < 256; ++b) {
            int reversed = 0;
            for (int j = 0; j < 8; ++j) reversed |= ((b >> j) & 1) << (7 - j);
            table[b] = static_cast<uint8_t>(reversed);
        }
    }
};
constexpr ReversedBytes kReversed;

// The same from a packed stream: the (at most 23) bits from the byte of
// `position` on are read as one little-endian number, the window shifted
// down to `position`, and its low `width` bits reversed so that the first
// stream bit is the word's highest.
struct PackedSource {
    const uint8_t* packed;
    size_t count;

    uint32_t peek(size_t position, int width) const {
        const size_t first = position >> 3;
        const size_t bytes = (count + 7) >> 3;
        uint32_t window = 0;
        for (size_t i = 0; i < 3 && first + i < bytes; ++i) window |= static_cast<uint32_t>(packed[first + i]) << (8 * i);
        window >>= position & 7;
        const size_t left = count - position;  // position < count
        if (left < static_cast<size_t>(width)) window |= ~0u << left;  // padding 1s
        const uint32_t low16 = window & 0xFFFF;
        const uint32_t reversed = (static_cast<uint32_t>(kReversed.table[low16 & 0xFF]) << 8) | kReversed.table[low16 >> 8];
        return reversed >> (16 - width);
    }
};

// Takes one codeword starting at `position` and returns it; `position`
// advances by the number of stream bits the codeword carries.
template <typename Source>
inline uint16_t nextWord(const Source& source, int width, size_t& position) {
    const uint32_t full = (1u << width) - 1;
    const uint32_t word = source.peek(position, width);
    const uint32_t head = word & (full - 1);  // the first width-1 bits
    if (head == full - 1) {
        position += static_cast<size_t>(width) - 1;
        return static_cast<uint16_t>(head);  // ones, then a 0
    }
    if (head == 0) {
        position += static_cast<size_t>(width) - 1;
        return 1;  // zeros, then a 1
    }
    position += static_cast<size_t>(width);
    return static_cast<uint16_t>(word);
}

template <typename Source>
std::vector<uint16_t> stuff(const Source& source, int width) {
    std::vector<uint16_t> words;
    words.reserve(source.count / static_cast<size_t>(width - 1) + 1);
    for (size_t position = 0; position < source.count;) words.push_back(nextWord(source, width, position));
    return words;
}

template <typename Source>
size_t countWords(const Source& source, int width) {
    size_t words = 0;
    for (size_t position = 0; position < source.count; ++words) nextWord(source, width, position);
    return words;
}

}  // namespace

std::vector<uint16_t> stuffBits(const uint8_t* bits, size_t count, int width) {
    return stuff(UnpackedSource{bits, count}, width);
}

size_t stuffedWordCount(const uint8_t* bits, size_t count, int width) {
    return countWords(UnpackedSource{bits, count}, width);
}

std::vector<uint16_t> stuffPackedBits(const uint8_t* packed, size_t count, int width) {
    return stuff(PackedSource{packed, count}, width);
}

size_t stuffedPackedWordCount(const uint8_t* packed, size_t count, int width) {
    return countWords(PackedSource{packed, count}, width);
}

}  // namespace quillbank::aztec
