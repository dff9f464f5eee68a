// The smallest symbol for a message, exactly.
//
// encodeOptimal gives a shortest stream, and the smallest symbol that holds
// it is usually the smallest that holds the message.  But bit stuffing can
// make a longer stream take fewer codewords, so when a smaller symbol could
// hold the message if stuffing were kind (its data capacity in codewords of
// its width is at least the shortest stream's bits over that width), the
// codeword-optimal programme (codeword_optimal.hpp) settles it for that
// width.  Messages nowhere near such a boundary cost one shortest-stream
// encoding, as before.
//
// Use: chooseSmallestSymbol gives the stream and the shape; lay the stream
// out with buildSymbol and a request pinned to that shape (requestForShape),
// or let buildSmallestSymbol do both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "optimal_encoder.hpp"
#include "symbol_layout.hpp"

namespace quillbank::aztec {

struct SmallestSymbol {
    BuildStatus status = BuildStatus::TooLong;
    PackedBits stream;    // Ok: the stream to lay out (a shortest one whenever that fits as well)
    SymbolShape shape{};  // Ok: the smallest shape allowed by the request that holds the message
    std::vector<uint16_t> words;  // Ok: the stream cut into codewords of the shape's width (stuffPackedBits)
};

// The smallest symbol allowed by `request` that holds the `length` bytes
// at `data` with the flags and start of `layout`, and a stream that fits
// it.  The status is BadRequest or NoReaderInit for a request buildSymbol
// refuses, TooLong when no allowed symbol holds any stream of the message.
// Raises what encodeOptimal raises for a bad layout.
SmallestSymbol chooseSmallestSymbol(const uint8_t* data, std::size_t length, const StreamLayout& layout,
                                    const SymbolRequest& request);

// encodeOptimal of a message that may not fit, and the most bytes from its
// start, fewer than all, whose own shortest stream takes at most `words`
// codewords of `width` bits after bit stuffing (0 when none or `words` is
// 0): what the error of a message too long can say fits, from one
// encoding (encodeOptimalFitting).  Raises std::invalid_argument for a
// width other than 6, 8, 10 and 12, and what encodeOptimal raises.
FittingStart encodeWithFittingStart(const uint8_t* data, std::size_t length, std::optional<uint32_t> eci,
                                    std::size_t words, int width);

// `request` with its kind and layers pinned to `shape`.
SymbolRequest requestForShape(const SymbolRequest& request, const SymbolShape& shape);

// chooseSmallestSymbol, then the symbol drawn into `out` (status Ok), and
// the stream into `stream` when it is not null.
BuildStatus buildSmallestSymbol(const uint8_t* data, std::size_t length, const StreamLayout& layout,
                                const SymbolRequest& request, AztecMatrix& out, PackedBits* stream = nullptr);

}  // namespace quillbank::aztec
