// FLG(n): the flag character of Punct mode.  FLG(0) is FNC1; FLG(1) to
// FLG(6) are ECI designators, n being the number of digits of the ECI
// number that follow.  At the start of a stream the designator is reached
// from Upper by a Punct shift; elsewhere the optimal encoder prices and
// places it from any mode (see optimal_encoder.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "bit_token.hpp"

namespace quillbank::aztec {

// The largest ECI number a designator holds (six digits).
constexpr uint32_t kMaxEciNumber = 999999;

// The flag token read in Punct mode: the FLG code 0 in 5 bits, the digit
// count n in 3 bits, and n digit codes of 4 bits (the Digit-mode codes,
// digit + 2), most significant digit first.  No ECI number is FNC1, FLG(0)
// with no digits (8 bits).  Numbers above kMaxEciNumber are reduced modulo
// 1,000,000 to fit six digits.
BitToken flagToken(std::optional<uint32_t> eci);

// The two tokens of the designator at the start of a stream: the P/S shift
// out of Upper (5 bits), then flagToken(eci).
std::array<BitToken, 2> eciDesignator(uint32_t eci);

}  // namespace quillbank::aztec
