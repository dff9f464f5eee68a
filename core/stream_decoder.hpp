// The reader's side of the data bit stream: turns the bits a symbol's data
// words carry (after unstuffing) back into the message.
//
// The stream is a run of codes in five modes (Upper, Lower, Mixed and Punct
// of 5 bits, Digit of 4), with latches, one-code shifts, binary shifts of
// raw bytes and FLG(n) codes: FNC1 (n = 0) and ECI designators (n digits).
// A stream that starts with M/L U/L belongs to a structured-append
// sequence and opens with its header: an optional " ID " and two capitals
// giving the symbol's position and the sequence's count (A = 1).  The
// stream ends at the first code it holds too few bits for: the padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace quillbank::aztec {

struct DecodedStream {
    std::vector<uint8_t> data;  // the message bytes; FNC1 past the first place as GS (0x1D)
    std::vector<std::pair<size_t, uint32_t>> ecis;  // (position in data, ECI number), in order
    bool gs1 = false;           // FNC1 opens the message
    bool inSequence = false;    // a structured-append header was read
    int position = 0;           // 1 to count, in a sequence
    int count = 0;
    bool hasId = false;
    std::string id;
};

enum class StreamStatus {
    Ok,
    ReservedFlag,     // FLG(7), or an ECI digit that is not a digit code
    BadSequenceHeader,
};

// Decodes `count` bits (one byte per bit, first bit first) into `out`.
StreamStatus decodeStream(const uint8_t* bits, size_t count, DecodedStream& out);

}  // namespace quillbank::aztec
