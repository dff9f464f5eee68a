#include "bit_stuffing.hpp"

#include <algorithm>
#include <array>

#include "bit_order.hpp"

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

// The same from a packed stream, turned once into bytes whose first stream
// bit is the highest, followed by padding 1s (the bits past the stream in
// its last byte, then four whole bytes, so that a window never reads past
// the copy): the next `width` bits are one big-endian 32-bit window,
// shifted.  Turning the bytes once costs one lookup a byte, where reading
// each codeword's bits in place cost several.
// Streams of up to kInlineBytes bytes, most of them, are turned in storage
// of the source itself, with no allocation.
struct PackedSource {
    static constexpr size_t kInlineBytes = 256;
    static constexpr size_t kPadding = 4;
    std::array<uint8_t, kInlineBytes + kPadding> inlineCopy;
    std::vector<uint8_t> longCopy;
    const uint8_t* highFirst;
    size_t count;

    PackedSource(const uint8_t* packed, size_t bitCount) : count(bitCount) {
        const size_t bytes = (bitCount + 7) >> 3;
        uint8_t* copy = inlineCopy.data();
        if (bytes > kInlineBytes) {
            longCopy.resize(bytes + kPadding);
            copy = longCopy.data();
        }
        for (size_t i = 0; i < bytes; ++i) copy[i] = kReversedBytes[packed[i]];
        std::fill(copy + bytes, copy + bytes + kPadding, uint8_t{0xFF});
        if (bitCount & 7) copy[bytes - 1] |= static_cast<uint8_t>(0xFF >> (bitCount & 7));
        highFirst = copy;
    }
    PackedSource(const PackedSource&) = delete;  // highFirst may point into itself
    PackedSource& operator=(const PackedSource&) = delete;

    uint32_t peek(size_t position, int width) const {
        const uint8_t* at = highFirst + (position >> 3);  // position < count: at + 3 is in the copy
        const uint32_t window = (static_cast<uint32_t>(at[0]) << 24) | (static_cast<uint32_t>(at[1]) << 16) |
                                (static_cast<uint32_t>(at[2]) << 8) | at[3];
        return (window << (position & 7)) >> (32 - width);  // width <= 16: 7 + 16 bits fit the window
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
std::vector<uint16_t> stuff(const Source& source, int width, size_t room = 0) {
    std::vector<uint16_t> words;
    words.reserve(std::max(source.count / static_cast<size_t>(width - 1) + 1, room));
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

std::vector<uint16_t> stuffPackedBits(const uint8_t* packed, size_t count, int width, size_t room) {
    return stuff(PackedSource(packed, count), width, room);
}

size_t stuffedPackedWordCount(const uint8_t* packed, size_t count, int width) {
    return countWords(PackedSource(packed, count), width);
}

}  // namespace quillbank::aztec
