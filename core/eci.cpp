#include "eci.hpp"

#include "code_tables.hpp"

namespace quillbank::aztec {

std::array<BitToken, 2> eciDesignator(uint32_t eci) {
    uint32_t number = eci % 1000000;
    char digits[6];
    int count = 0;
    do {
        digits[count++] = char('0' + number % 10);
        number /= 10;
    } while (number != 0);

    uint64_t flag = uint64_t(count);
    for (int i = count - 1; i >= 0; --i)
        flag = flag * 16 + checkedCharToken(Digit, uint8_t(digits[i])).value;
    return {shiftToken(Upper, Punct), BitToken{uint8_t(4 * (count + 2)), flag}};
}

}  // namespace quillbank::aztec
