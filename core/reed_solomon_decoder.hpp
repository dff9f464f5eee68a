// Reed–Solomon decoding of Aztec codewords: finds and repairs wrong words
// (errors) and words known to be unreadable (erasures) in a block of data
// words followed by its check words.
//
// The block is a codeword polynomial over GF(2^m), highest degree first,
// whose check words give it the roots a^1..a^k.  A block with e errors and
// r erasures is repaired when 2e + r <= k; beyond that the decoder either
// finds no consistent repair and says so, or (rarely, for any decoder)
// lands on another codeword.  Only the field tables of reed_solomon.hpp are
// shared with the writer: the arithmetic here is the reader's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reed_solomon.hpp"

namespace quillbank::aztec {

struct RepairResult {
    bool ok = false;   // the block is a codeword now
    int repaired = 0;  // erasures, and the other words whose value changed
};

// Repairs `words` in place: the last `checkCount` of them are check words.
// `erasures` are indices into `words` of words known to be unreadable (their
// value is ignored).  On failure `words` is left as it was.
RepairResult repairCodewords(const GaloisField& field, std::vector<uint16_t>& words, size_t checkCount,
                             const std::vector<size_t>& erasures);

}  // namespace quillbank::aztec
