// quillbank::aztec: Aztec Code symbols from message bytes.
//
//     #include <quillbank/aztec.hpp>
//     namespace az = quillbank::aztec;
//     az::Symbol symbol = az::make("Hello, World");
//     for (int y = 0; y < symbol.size(); ++y)
//         for (int x = 0; x < symbol.size(); ++x)
//             draw(x, y, symbol.dark(x, y));
//
// make() chooses the smallest symbol that holds the message, in a shortest
// data stream, with the error correction asked.  The library works at the
// byte level: the caller gives the bytes as they are to be read, the ECI
// numbers of their character sets and the positions of FNC1.  Turning text
// into bytes of a character set and checking GS1 element strings is the
// caller's (the Python package quillbank.aztec does both).
//
// Errors are quillbank::aztec::Error, whose text says what to change;
// std::bad_alloc when memory runs out.  Every function is safe to call
// from several threads at once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillbank::aztec {

// A flag written in the stream before message byte `position` (the
// message's length: after the last byte): an ECI designator, which says
// the bytes after it are in the character set of ECI `eci` (0 to 999999),
// or FNC1 where `eci` is empty.
struct Flag {
    std::size_t position = 0;
    std::optional<std::uint32_t> eci;

    static Flag fnc1(std::size_t position) { return {position, std::nullopt}; }
    static Flag eciAt(std::size_t position, std::uint32_t eci) { return {position, eci}; }
};

// The place of a symbol in a structured-append sequence: the message is
// one part of a longer one, which a reader joins in order of position.
struct SequencePart {
    int position = 1;  // 1 to count
    int count = 2;     // 2 to 26
    std::string id;    // empty, or printable ASCII without spaces that tells this sequence from another
};

struct Options {
    // The least share of the codewords given to error correction, plus
    // three codewords: 0 to 99 percent.
    int ecPercent = 23;
    // Only compact (true) or only full (false) symbols; either when empty.
    std::optional<bool> compact;
    // The layer count: 1 to 4 compact, 1 to 32 full; the fewest that fit
    // when empty.
    std::optional<int> layers;
    // The ECI number of the message's character set, written first; none
    // when empty (readers assume ISO-8859-1).
    std::optional<std::uint32_t> eci;
    // More ECI designators and FNC1, in order of position; positions count
    // the message's bytes (a sequence part's header not included).
    std::vector<Flag> flags;
    // GS1 data: FNC1 first.  The message is the element string, with FNC1
    // flags (not GS bytes) after each variable-length value that is not
    // last; its AIs are not checked here.  Takes no eci nor readerInit.
    bool gs1 = false;
    // Marks a reader initialisation symbol, which programs the reader:
    // only compact symbols of 1 layer and full ones of up to 22 layers
    // carry the mark, so the symbol is chosen among those.
    bool readerInit = false;
    // A symbol of a structured-append sequence (its header is written
    // before the message); a lone symbol when empty.
    std::optional<SequencePart> sequence;
};

enum class ErrorCode {
    InvalidOption,  // an option out of range, or options that cannot be combined
    DataOverflow,   // the message does not fit any symbol the options allow
    EmptyMessage,   // there is nothing to encode
    OutOfMemory,    // makeMany only: a message that memory did not suffice for
};

class Error : public std::runtime_error {
public:
    Error(ErrorCode code, const std::string& message, std::size_t neededBits = 0, std::size_t availableBits = 0)
        : std::runtime_error(message), code_(code), neededBits_(neededBits), availableBits_(availableBits) {}

    ErrorCode code() const noexcept { return code_; }
    // DataOverflow: the bits of the message's stream (at least), and the
    // data bits the largest allowed symbol holds.
    std::size_t neededBits() const noexcept { return neededBits_; }
    std::size_t availableBits() const noexcept { return availableBits_; }

private:
    ErrorCode code_;
    std::size_t neededBits_;
    std::size_t availableBits_;
};

// A made symbol: its modules, row by row, and what it is.
class Symbol {
public:
    int size() const noexcept { return size_; }  // modules on a side
    int layers() const noexcept { return layers_; }
    bool compact() const noexcept { return compact_; }
    int dataWords() const noexcept { return dataWords_; }
    int checkWords() const noexcept { return checkWords_; }
    // Whether the module in column x, row y (from the top left, 0 to
    // size() - 1) is dark; every module outside the symbol is light.
    bool dark(int x, int y) const noexcept {
        return x >= 0 && y >= 0 && x < size_ && y < size_ &&
               modules_[static_cast<std::size_t>(y) * static_cast<std::size_t>(size_) + static_cast<std::size_t>(x)];
    }
    // size() * size() bytes, row by row, 1 dark and 0 light.
    const std::vector<std::uint8_t>& modules() const noexcept { return modules_; }

private:
    friend struct SymbolAccess;
    int size_ = 0;
    int layers_ = 0;
    bool compact_ = false;
    int dataWords_ = 0;
    int checkWords_ = 0;
    std::vector<std::uint8_t> modules_;
};

// The smallest symbol that holds the `length` bytes at `data` with the
// options.  Throws Error when no symbol does, or an option is wrong.
Symbol make(const std::uint8_t* data, std::size_t length, const Options& options = {});
Symbol make(std::string_view message, const Options& options = {});
Symbol make(const std::vector<std::uint8_t>& message, const Options& options = {});

// One message's result in a batch: the symbol, or the error make() would
// have thrown for it.
struct Made {
    std::optional<Symbol> symbol;
    std::optional<Error> error;
};

// The symbols of many messages with the same options, in order, made on
// up to `threads` threads (0: one per hardware thread; at most 256 are
// used) that the library keeps from one batch to the next.  A message that
// fails has its error in its place; options wrong for every message throw
// Error before any is made.  Threads that cannot be started leave their
// share to the others, down to the calling thread alone.
std::vector<Made> makeMany(const std::vector<std::string_view>& messages, const Options& options = {},
                           int threads = 0);

// Pictures of a symbol, each module a scale x scale square of pixels (or
// a unit square of the path) with `border` light modules all round.
struct PngOptions {
    int scale = 4;   // pixels a module, 1 or more
    int border = 2;  // modules, 0 to 1000
    // Colours as RGBA; black on white is written as 1-bit greyscale, any
    // other pair as a palette.
    std::array<std::uint8_t, 4> dark{0, 0, 0, 255};
    std::array<std::uint8_t, 4> light{255, 255, 255, 255};
    std::optional<std::uint32_t> pixelsPerMetre;  // a pHYs chunk when given (0 to 2^31 - 1)
};

// The most pixels on a side of a PNG picture.
constexpr int kMaxPngSide = 65535;

// A whole PNG file.  Throws Error for options out of range or a picture
// wider than kMaxPngSide.
std::vector<std::uint8_t> png(const Symbol& symbol, const PngOptions& options = {});

// SVG path data of the dark modules, one unit a module, offset by `border`
// (0 to 1000): a closed rectangle per run of dark modules along a row, for
// the `d` attribute of a path.
std::string svgPath(const Symbol& symbol, int border = 2);

}  // namespace quillbank::aztec
