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
// Time and memory are linear in the message length and the number of
// flags: binary runs are priced through sliding-window minima, never by
// trying every run length.
//
// Flags at fixed positions (ECI designators and FNC1, both FLG(n) of Punct
// mode) are priced exactly from every mode: a P/S and the flag from Upper,
// Lower, Mixed (5 bits) and Digit (4 bits), the flag alone in Punct; the
// decoder's mode is the same after it, and no binary run or Punct pair
// spans one.  A structured-append stream starts with M/L U/L.
//
// Ties between encodings of equal length are broken by a fixed rule (see
// optimal_encoder.cpp, "Tie rule"), so the output is a function of the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

// The most flags encodeOptimal accepts: with kMaxOptimalMessage it keeps
// every cost below 2**27.
constexpr std::size_t kMaxOptimalFlags = std::size_t(1) << 19;

// A flag written before data[position] (position == length: after the
// last byte).  `eci` is an ECI number, 0 to 999999, for an ECI designator
// FLG(n) with n its digit count; no number is FNC1, FLG(0).
struct StreamFlag {
    std::size_t position;
    std::optional<uint32_t> eci;

    static StreamFlag fnc1(std::size_t position) { return {position, std::nullopt}; }
    static StreamFlag eciDesignator(std::size_t position, uint32_t number) { return {position, number}; }
};

// What the stream holds besides the message bytes.
struct StreamLayout {
    // In order of position (equal positions in the order written).
    std::vector<StreamFlag> flags;
    // Starts the stream with M/L U/L, the latch pair that marks a symbol
    // of a structured-append sequence, leaving the decoder in Upper.  The
    // header text after it (an optional " ID " and the two position
    // letters) is ordinary message bytes at the start of `data`.
    bool structuredAppend = false;
};

// Refuses a layout that no stream of `length` bytes can have: raises
// std::length_error for too many flags, std::invalid_argument for flags out
// of order, past the message, or with an ECI number above 999999.  Every
// programme that takes a StreamLayout checks it with this.
void checkLayout(std::size_t length, const StreamLayout& layout);

// A shortest stream for `length` bytes at `data` with the flags and the
// start of `layout`.  Raises std::length_error when the message or the
// flag list is too long, std::invalid_argument when the flags are out of
// order, past the message, or an ECI number is above 999999.
PackedBits encodeOptimal(const uint8_t* data, std::size_t length, const StreamLayout& layout);

// A shortest stream for `length` bytes at `data`, started by the ECI
// designator of `eci` when there is one: the layout with that one flag at
// position 0 (so an ECI number above 999999 is refused, as there).
PackedBits encodeOptimal(const uint8_t* data, std::size_t length,
                         std::optional<uint32_t> eci = std::nullopt);

// What a start of a message must do to fit: have at most mostBits bits;
// then it fits if it has at most surelyBits, else if `fits` says its
// stream does.
struct StartFit {
    std::size_t mostBits = 0;
    std::size_t surelyBits = 0;
    std::function<bool(const PackedBits&)> fits;
    // The starts' costs counted cell by cell, the slower way that the walks
    // to the whole's path fall back on: for tests that check one by the other.
    bool countEveryCell = false;
};

// encodeOptimal of a message, and what of it fits: the most bytes from
// its start, fewer than all, whose own shortest stream (encodeOptimal of
// those bytes alone, after the same ECI designator) fits as `fit` says; 0
// when no start of a byte or more does.  One encoding: the programme only
// looks back, so each start's cells are among the message's, and a
// start's stream is walked back from them; and none where the thread's
// last encoding was of this message and ECI number (make's, finding that
// it does not fit), whose cells are walked again.  The search takes the fitting
// starts to be the shorter ones (the longest within mostBits first, then
// back from it), as they all but always are.  Raises as encodeOptimal
// does.
struct FittingStart {
    PackedBits stream;        // the whole message's shortest stream
    std::size_t fitting = 0;  // the bytes of the longest start that fits
};
FittingStart encodeOptimalFitting(const uint8_t* data, std::size_t length, std::optional<uint32_t> eci,
                                  const StartFit& fit);

}  // namespace quillbank::aztec
