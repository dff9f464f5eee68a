// The ECI designator: FLG(n) followed by the ECI number in 1 to 6 digits,
// reached from Upper by a Punct shift.  It goes into the root's own tokens
// before the first character, so it is shared by every candidate.
#pragma once

#include <array>
#include <cstdint>

#include "bit_token.hpp"

namespace quillbank::aztec {

// The two tokens of the designator: the P/S shift (5 bits), then the flag
// token (FLG(n) code 0 in 5 bits, the digit count d in 3 bits, and d digit
// codes of 4 bits, most significant digit first).  Numbers of a million and
// more are reduced modulo 1,000,000 to fit six digits.
std::array<BitToken, 2> eciDesignator(uint32_t eci);

}  // namespace quillbank::aztec
