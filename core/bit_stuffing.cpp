#include "bit_stuffing.hpp"

namespace quillbank::aztec {

namespace {

// Takes one codeword starting at `position` and returns it; `position`
// advances by the number of stream bits the codeword carries.
inline uint16_t nextWord(const uint8_t* bits, size_t count, int width, size_t& position) {
    const uint32_t full = (1u << width) - 1;
    uint32_t word = 0;
    for (int j = 0; j < width; ++j) {
        const size_t at = position + static_cast<size_t>(j);
        word = (word << 1) | (at >= count || bits[at] ? 1u : 0u);  // past the end: padding 1
    }
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

}  // namespace

std::vector<uint16_t> stuffBits(const uint8_t* bits, size_t count, int width) {
    std::vector<uint16_t> words;
    words.reserve(count / static_cast<size_t>(width - 1) + 1);
    for (size_t position = 0; position < count;) words.push_back(nextWord(bits, count, width, position));
    return words;
}

size_t stuffedWordCount(const uint8_t* bits, size_t count, int width) {
    size_t words = 0;
    for (size_t position = 0; position < count; ++words) nextWord(bits, count, width, position);
    return words;
}

}  // namespace quillbank::aztec
