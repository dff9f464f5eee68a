// The public API's options (quillbank/aztec.hpp) in the core's terms: each
// call of the API checks its Options once into a Prepared, and the files
// of the API share it, the errors it words and the filling of a Symbol.
// Internal: not installed.
#pragma once

#include <quillbank/aztec.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "optimal_encoder.hpp"
#include "symbol_layout.hpp"

namespace quillbank::aztec {

// The bits of all the codewords of the largest symbol (1,664 of 12 bits):
// more than any symbol's data.
constexpr std::size_t kMostBits = 1664 * 12;

// Fills a Symbol from the core's matrix, its modules packed a bit each
// (Symbol's members are private).
struct SymbolAccess {
    static Symbol of(const AztecMatrix& matrix);
};

// The options checked, as the core takes them.
struct Prepared {
    SymbolRequest request;
    std::string head;     // a sequence part's header, written before the message
    StreamLayout layout;  // the flags at their places in head + message
    std::size_t lastFlag = 0;  // the largest position of the caller's flags
};

Error invalid(const std::string& message);

// Checks `options` (Error InvalidOption when one is wrong).
Prepared prepare(const Options& options);

// Checks that the caller's flags fall within a message of `length` bytes.
void checkFlagsFit(const Prepared& prepared, std::size_t length);

// The bytes the stream is made of: the sequence header, if any, then the
// message, in `joined`; or the message itself where there is no header.
// Sets `data` and `length` to them.
void joinHead(const Prepared& prepared, const std::uint8_t*& data, std::size_t& length,
              std::vector<std::uint8_t>& joined);

// The error for a message (or, with `length` 0, a stream) that fits none of
// the allowed symbols: how many bits and codewords it needs, what the
// largest allowed symbol holds, and which options to change.  `stream` is
// null where the message is so long that only a bound was worked out.
Error overflow(const Prepared& prepared, std::size_t length, const PackedBits* stream);

// Checks a picture's options for a symbol of `size` modules a side (0: the
// options alone); Error InvalidOption when they are wrong.
void checkPicture(const PngOptions& options, int size);

// The PNG file of `size` * `size` modules (one byte each) with checked options.
std::vector<std::uint8_t> pngOfModules(const std::uint8_t* modules, int size, const PngOptions& options);

}  // namespace quillbank::aztec
