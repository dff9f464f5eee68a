#include "eci.hpp"

#include "code_tables.hpp"

namespace quillbank::aztec {

BitToken flagToken(std::optional<uint32_t> eci) {
    if (!eci) return BitToken{8, 0};  // FLG code 0, count 0
    uint32_t number = *eci % (kMaxEciNumber + 1);
    char digits[6];
    int count = 0;
    do {
        digits[count++] = char('0' + number % 10);
        number /= 10;
    } while (number != 0);

    uint64_t flag = uint64_t(count);
    for (int i = count - 1; i >= 0; --i)
        flag = flag * 16 + checkedCharToken(Digit, uint8_t(digits[i])).value;
    return BitToken{uint8_t(4 * (count + 2)), flag};
}

std::array<BitToken, 2> eciDesignator(uint32_t eci) {
    return {shiftToken(Upper, Punct), flagToken(eci)};
}

}  // namespace quillbank::aztec
