// Bit stuffing: cutting the data bit stream into codewords of one width.
//
// A codeword may be neither all zeros nor all ones (those two values are
// reserved so that a damaged symbol cannot pass for data).  So whenever the
// next width-1 bits are all equal, the codeword gets those bits and their
// complement as its last bit, and the stream's next bit starts the following
// codeword.  The last codeword is filled up with 1 bits under the same rule.
//
// The stream comes in either of two forms: one byte per bit (0 or 1, first
// bit first), or packed least significant bit first as the encoders return
// it (stream bit k in bit k % 8 of byte k / 8).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillbank::aztec {

// The codewords of the `count` bits (one byte per bit), `width` bits each
// (2 to 16).  An empty stream gives no codeword.
std::vector<uint16_t> stuffBits(const uint8_t* bits, size_t count, int width);

// The number of codewords stuffBits would give, without building them.
size_t stuffedWordCount(const uint8_t* bits, size_t count, int width);

// The same two for a packed stream of `count` bits, (count + 7) / 8 bytes.
// The codewords come with room for `room` words at least, so that a
// symbol's check words can follow them where they are.
std::vector<uint16_t> stuffPackedBits(const uint8_t* packed, size_t count, int width, size_t room = 0);
size_t stuffedPackedWordCount(const uint8_t* packed, size_t count, int width);

}  // namespace quillbank::aztec
