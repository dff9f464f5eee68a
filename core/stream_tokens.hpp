// The tokens of a stream that the code tables do not hold: a binary
// shift run's header, and the start of a structured-append stream.  The
// shortest-stream and the fewest-codewords encoders both write them and
// price them, so they are defined here once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bit_token.hpp"
#include "code_tables.hpp"
#include "mode.hpp"

namespace quillbank::aztec {

constexpr uint64_t kBinaryShiftCode = 31;         // B/S, in Upper, Lower and Mixed
constexpr std::size_t kShortRunMax = 31;          // the longest run with a 5-bit length
constexpr uint32_t kShortHeaderBits = 5 + 5;      // B/S and the length
constexpr uint32_t kLongHeaderBits = 5 + 5 + 11;  // B/S, 00000 and the length less 31

// The header of a run of `length` bytes (1 to kMaxBinaryRun).
constexpr BitToken runHeader(std::size_t length) {
    return length <= kShortRunMax ? BitToken{kShortHeaderBits, (kBinaryShiftCode << 5) | length}
                                  : BitToken{kLongHeaderBits, (kBinaryShiftCode << 16) | (length - kShortRunMax)};
}

// The start of a structured-append stream: M/L then U/L, Upper to Mixed and
// back, as one token.
static_assert(latchTable[Upper][Mixed].bitCount == 5 && latchTable[Mixed][Upper].bitCount == 5,
              "the append start is two single latches");
constexpr BitToken kAppendStart{10, (latchTable[Upper][Mixed].value << 5) | latchTable[Mixed][Upper].value};

}  // namespace quillbank::aztec
