// The five text modes of Aztec Code's high-level encoding.
//
// The numbering is part of the behaviour: the search tries modes in this
// order, and the tables are indexed by it.
#pragma once

#include <cstdint>

namespace quillbank::aztec {

enum Mode : int32_t {
    Upper = 0,
    Lower = 1,
    Digit = 2,
    Punct = 3,
    Mixed = 4,
};

constexpr int kModeCount = 5;

}  // namespace quillbank::aztec
