// The optimal encoder: a shortest data bit stream for a message.
//
// Where the search encoder follows a described, pruned procedure, this one
// is an exact dynamic programme over (position, mode).  It considers every
// choice the code allows: each character in any mode that holds it, reached
// by latch (any sequence) or by shift; the four Punct pairs as one code or
// as two characters; binary shift over any stretch of bytes, text bytes
// included, with the 5-bit and the 11-bit length header, cut into several
// runs wherever that is cheaper or the 2,078-byte limit requires it.
//
// Time and memory are linear in the message length: binary runs are priced
// through sliding-window minima, never by trying every run length.
//
// Ties between encodings of equal length are broken by a fixed rule (see
// optimal_encoder.cpp, "Tie rule"), so the output is a function of the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quillbank::aztec {

// A bit stream packed least significant bit first: stream bit k is bit
// k % 8 of bytes[k / 8].  Unused bits of the last byte are zero.
struct PackedBits {
    std::vector<uint8_t> bytes;
    std::size_t bitCount = 0;

    bool bit(std::size_t k) const { return (bytes[k >> 3] >> (k & 7)) & 1; }
};

// The longest message encodeOptimal accepts; longer ones raise
// std::length_error.  Far beyond any symbol (8 MiB), it keeps every cost
// below 2**27.
constexpr std::size_t kMaxOptimalMessage = std::size_t(1) << 23;

// A shortest stream for `length` bytes at `data`, started by the ECI
// designator of `eci` when there is one.
PackedBits encodeOptimal(const uint8_t* data, std::size_t length,
                         std::optional<uint32_t> eci = std::nullopt);

}  // namespace quillbank::aztec
