// BitToken: a run of up to 64 bits, the unit of every table entry, of every
// candidate state's contribution and of the output.
//
// The run is the `bitCount` low bits of `value`, written most significant
// bit first.  A token may hold several codes of the standard back to back,
// the earlier code in the higher bits.
#pragma once

#include <cstdint>

namespace quillbank::aztec {

struct BitToken {
    uint8_t bitCount;
    uint64_t value;
};

constexpr bool operator==(BitToken a, BitToken b) {
    return a.bitCount == b.bitCount && a.value == b.value;
}
constexpr bool operator!=(BitToken a, BitToken b) { return !(a == b); }

}  // namespace quillbank::aztec
