// A zlib stream (RFC 1950/1951) written directly for the image data of a
// PNG picture of modules, without a general-purpose compressor.
//
// A picture of modules repeats itself in two ways that a compressor would
// have to search for: each module row becomes `scale` identical pixel rows,
// and each module a run of `scale` equal pixels.  The writer knows both, so
// it codes repeated rows as back-references to the row above (several
// rows at once) and the rest of a row as literals with runs, then
// Huffman-codes the result in one block (fixed or dynamic codes, whichever
// is smaller).  There is no state to set up or clear: the cost follows the
// picture's distinct rows, which is what keeps small pictures cheap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillbank::aztec {

// Appends to `out` the zlib stream of the PNG rows `rows`, `rowBytes`
// bytes each (their filter byte 0 included).  A row equal to the one above
// (the same pointer, or equal bytes) costs a few bits.  The stream holds
// the rows as given, except that a repeated row more than 512 bytes long
// is written Up-filtered (filter 2, zeros), the same pixels for a PNG
// decoder.  `rowBytes` is 2 to 32768: a back-reference reaches one row up.
void deflateRows(const std::vector<const uint8_t*>& rows, size_t rowBytes, std::vector<uint8_t>& out);

}  // namespace quillbank::aztec
