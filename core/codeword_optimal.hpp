// The codeword-optimal encoder: a data bit stream with the fewest codewords
// of one width after bit stuffing.
//
// encodeOptimal (optimal_encoder.hpp) gives a shortest stream, but bit
// stuffing (bit_stuffing.hpp) lets a codeword whose first width-1 bits are
// all equal carry one bit less, so a longer stream can take fewer
// codewords and fit a smaller symbol.  This programme minimises the
// codewords for one width directly, over the choices of encodeOptimal and
// a few more: each character in any mode that holds it, reached by any
// chain of single latches or by any shift that holds it; the four Punct
// pairs; binary shift runs of every length with the 5-bit and the 11-bit
// length header; flags at fixed positions (a P/S and FLG(n), none spanned by
// a run or a pair) and the structured-append start, as StreamLayout says.
//
// Its state is (position, mode, open codeword): the bits already in the
// codeword being filled (0 to width-1) and whether they are so far all 0,
// all 1 or mixed; each token's bits go through that small automaton.  A
// partial last codeword counts as one (it is padded with 1 bits, and the
// padding's own stuffing never spills into another codeword).
//
// Cost: each cell keeps at most three entries a mode (a dominance proved
// in codeword_optimal.cpp, dropDominated), so text is linear in the
// message.  A binary run's header encodes its length, so a run cannot be
// priced by a sliding minimum as in encodeOptimal; runs are tried at every
// length from every start, sharing one automaton walk per start:
// O(n * min(n, 2078) * width) for n bytes of binary data.  That is exact,
// and bounded in practice by `atMost`: chooseSmallestSymbol
// (smallest_symbol.hpp) only asks when a smaller symbol may hold the
// message, with that symbol's capacity as the bound, which drops every
// entry that cannot end within it.  What is still to come from an entry is
// bounded below by the fewest bits of any stream from its cell in its mode
// (a shortest-stream programme run backwards first, linear in the message)
// and by the stuffing that bytes only binary shift carries force.  Near a
// capacity the bound leaves a few bits of room over a shortest stream, so
// only the entries of nearly shortest streams survive, and a run stops
// being lengthened as soon as no stream through it can end within the
// bound.  Where runs are walked at all (binary data whose bytes stuff), a
// second bound counts codewords from each open codeword on a relaxation
// that keeps only the run bytes' bits and the headers' lengths, 10 bits
// for a run of up to 31 bytes and 21 for a longer one (codeword_optimal.cpp,
// countWordsAfter): on runs of 00 and FF bytes it meets the exact minimum
// on most messages a codeword over a size, which it then refuses at about
// a third of a microsecond a byte without trying a run (it is counted
// before the fill wherever a quarter of the bytes are 00 or FF, after the
// cheaper bounds have had their say).  The few where it falls a codeword
// short still take the programme, 1-3 ms at 1,100-1,700 bytes.  Measured
// in bench/stuffing.py and bench/peers.py's tail section.
#pragma once

#include <cstddef>
#include <cstdint>

#include "optimal_encoder.hpp"

namespace quillbank::aztec {

// The longest message encodeFewestCodewords accepts (std::length_error
// beyond): far above what the largest symbol holds.
constexpr std::size_t kMaxCodewordMessage = std::size_t(1) << 15;

struct CodewordStream {
    bool found = true;      // false: no stream within the bound asked for (stream empty)
    PackedBits stream;
    std::size_t words = 0;  // found: stuffedWordCount(stream, width), the fewest possible; else the bound
};

constexpr std::size_t kNoCodewordBound = std::size_t(-1);

// A lower bound of the bits of any stream of the `length` bytes at `data`:
// each byte's fewest (8 for a byte only binary shift carries, 2 for half
// of a Punct pair, else its shortest character code).  One pass, no
// encoding: chooseSmallestSymbol refuses with it a message that no allowed
// symbol could hold.
std::size_t leastMessageBits(const uint8_t* data, std::size_t length);

// A stream for `length` bytes at `data` with the flags and the start of
// `layout` whose stuffed codewords of `width` bits (6, 8, 10 or 12) are as
// few as any stream's, when that is at most `atMost` (found false
// otherwise).  The bound only prunes: entries that cannot end within it
// (their codewords so far plus a lower bound of the bits still to come)
// are dropped, which leaves the minimum unchanged whenever it is within
// the bound and saves most of the work on binary runs.  Raises std::length_error when the message is
// longer than kMaxCodewordMessage or has too many flags, and
// std::invalid_argument for a width other than those four or a layout that
// encodeOptimal refuses.
CodewordStream encodeFewestCodewords(const uint8_t* data, std::size_t length, const StreamLayout& layout,
                                     int width, std::size_t atMost = kNoCodewordBound);

}  // namespace quillbank::aztec
