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
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillbank::aztec {

// The largest ECI number, and the most flags (Options::flags) a message takes.
constexpr std::uint32_t kMostEci = 999999;
constexpr std::size_t kMostFlags = std::size_t(1) << 19;
// The most threads a batch runs on (BatchOptions::threads).
constexpr int kMostThreads = 256;

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
    // The message starts with a structured-append header the caller wrote
    // (" ID " if any, then the position and the count as capitals A to Z):
    // the stream marks the symbol as a sequence part and encodes the whole
    // message, header included, as it is.  Flag positions then count the
    // header's bytes too.  Takes no sequence.
    bool headerInMessage = false;
};

enum class ErrorCode {
    InvalidOption,  // an option out of range, or options that cannot be combined
    DataOverflow,   // the message does not fit any symbol the options allow
    EmptyMessage,   // there is nothing to encode
    OutOfMemory,    // makeMany and pngMany only: a message that memory did not suffice for
    Unreadable,     // read only: the grid holds no symbol that can be read; the text says why
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

// A made symbol: its modules, one bit each, and what it is.
class Symbol {
public:
    int size() const noexcept { return size_; }  // modules on a side
    int layers() const noexcept { return layers_; }  // 0 for a rune
    bool compact() const noexcept { return compact_; }
    int dataWords() const noexcept { return dataWords_; }
    int checkWords() const noexcept { return checkWords_; }
    // Whether the module in column x, row y (from the top left, 0 to
    // size() - 1) is dark; every module outside the symbol is light.
    bool dark(int x, int y) const noexcept {
        return x >= 0 && y >= 0 && x < size_ && y < size_ &&
               (packed_[static_cast<std::size_t>(y) * rowBytes() + static_cast<std::size_t>(x >> 3)] >>
                (7 - (x & 7))) & 1;
    }
    // The bytes of a packed row: size() bits, rounded up to whole bytes.
    std::size_t rowBytes() const noexcept { return (static_cast<std::size_t>(size_) + 7) / 8; }
    // The modules packed one bit each, 1 dark: rowBytes() bytes a row, rows
    // from the top, the leftmost module of a row in bit 7 of its first byte;
    // the bits past a row's last module are 0.  (Pillow's mode "1" and
    // numpy.unpackbits read this layout as it is.)
    const std::vector<std::uint8_t>& packed() const noexcept { return packed_; }
    // The modules unpacked: size() * size() bytes, row by row, 1 dark and 0 light.
    std::vector<std::uint8_t> modules() const;

private:
    friend struct SymbolAccess;
    int size_ = 0;
    int layers_ = 0;
    bool compact_ = false;
    int dataWords_ = 0;
    int checkWords_ = 0;
    std::vector<std::uint8_t> packed_;
};

// The smallest symbol that holds the `length` bytes at `data` with the
// options.  Throws Error when no symbol does, or an option is wrong.
Symbol make(const std::uint8_t* data, std::size_t length, const Options& options = {});
Symbol make(std::string_view message, const Options& options = {});
Symbol make(const std::vector<std::uint8_t>& message, const Options& options = {});

// make()'s symbol, or nothing where no symbol the options allow holds the
// message: for a caller that words its own refusal, since make() works out
// its error's figures (at the cost of one more encoding of the message
// where a bound refused it).  Throws Error for the other failures.
std::optional<Symbol> makeIfFits(const std::uint8_t* data, std::size_t length, const Options& options = {});

// One message's result in a batch: the symbol, or the error make() would
// have thrown for it.
struct Made {
    std::optional<Symbol> symbol;
    std::optional<Error> error;
};

// One message's picture in a batch: the PNG file, or the error make() or
// png() would have thrown for it.
struct Drawn {
    std::optional<std::vector<std::uint8_t>> png;
    std::optional<Error> error;
};

// How a batch runs.
struct BatchOptions {
    // Up to this many threads (0: one per hardware thread; at most
    // kMostThreads are used), which the library keeps from one batch to the next.
    int threads = 0;
    // One ECI number (or none) a message, in place of Options::eci; empty:
    // Options::eci for every message.
    std::vector<std::optional<std::uint32_t>> ecis;
    // Called on the calling thread, in order, each time the first `done`
    // results are complete (a result is final once it is reported); false
    // stops the batch: the messages not started are left with neither
    // symbol nor error.  What it throws stops the batch too, and is thrown
    // again once the threads are done.  Empty: the batch runs to its end.
    std::function<bool(std::size_t done)> keepGoing;
    // Called on the calling thread, in order, with each run of results
    // first to end - 1 as soon as all of them are final, while the threads
    // go on with the messages after them: `results` points at result
    // `first` of makeMany (onMade) or pngMany (onDrawn).  It may move the
    // results out (the batch's vector keeps what it leaves).  Called
    // before keepGoing for the same run; false, or what it throws, stops
    // the batch as keepGoing does.  Empty: not called.
    std::function<bool(std::size_t first, std::size_t end, Made* results)> onMade;
    std::function<bool(std::size_t first, std::size_t end, Drawn* results)> onDrawn;
};

// The symbols of many messages with the same options, in order, made on
// the batch's threads.  A message that fails has its error in its place;
// options wrong for every message (or ecis not one a message) throw Error
// before any is made.  Threads that cannot be started leave their share
// to the others, down to the calling thread alone.
std::vector<Made> makeMany(const std::vector<std::string_view>& messages, const Options& options,
                           const BatchOptions& batch);
// The same on up to `threads` threads (0: one per hardware thread).
std::vector<Made> makeMany(const std::vector<std::string_view>& messages, const Options& options = {},
                           int threads = 0);

struct BitStream;

// One message of a batch with options of its own: its ECI numbers, FNC1
// and GS1 flags, shape and error correction, as make() takes them.  With
// `stream`, the symbol is the smallest the options' compact, layers,
// ecPercent and readerInit allow that holds that stream as it is (as
// layOut() lays it out): the message and the options' other fields are
// not read, the stream holds them.  What `message` and `stream` point at
// must outlive the batch.
struct Job {
    std::string_view message;
    Options options;
    const BitStream* stream = nullptr;
};

// The symbols of jobs, each with its own options, in order, made on the
// batch's threads as makeMany() makes them.  A job whose options are wrong
// fails alone, its error in its place.  batch.ecis must be empty (each job
// carries its own ECI number): Error before any job is made otherwise.
std::vector<Made> makeMany(const std::vector<Job>& jobs, const BatchOptions& batch = {});

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

// The same two pictures of any square grid of modules: `size` * `size`
// bytes at `modules`, row by row, nonzero dark (1 to 65535 on a side).
std::vector<std::uint8_t> png(const std::uint8_t* modules, int size, const PngOptions& options = {});
std::string svgPath(const std::uint8_t* modules, int size, int border = 2);

// makeMany's symbols as PNG files, each drawn by the thread that made it
// (no Symbol is kept).  A picture wider than kMaxPngSide is an error in
// its place; picture options wrong for every message throw Error first.
std::vector<Drawn> pngMany(const std::vector<std::string_view>& messages, const Options& options = {},
                           const PngOptions& picture = {}, const BatchOptions& batch = {});
// The same for jobs, each with its own options (makeMany of jobs).
std::vector<Drawn> pngMany(const std::vector<Job>& jobs, const PngOptions& picture = {},
                           const BatchOptions& batch = {});

// ---------------------------------------------------------------------------
// The steps of make, one by one: for programs that choose streams and
// shapes themselves (the parts of a sequence, say) or inspect them.

// A data bit stream, packed least significant bit first: stream bit k is
// bit k % 8 of bytes[k / 8]; the unused bits of the last byte are 0.
struct BitStream {
    std::vector<std::uint8_t> bytes;
    std::size_t bitCount = 0;

    bool bit(std::size_t k) const noexcept { return (bytes[k >> 3] >> (k & 7)) & 1; }
    void push(bool bit) {
        if (bitCount % 8 == 0) bytes.push_back(0);
        if (bit) bytes.back() = static_cast<std::uint8_t>(bytes.back() | 1u << (bitCount % 8));
        ++bitCount;
    }
};

// A shortest data stream of the message with the options' eci, flags, gs1
// and sequence (its header first); the options' other fields are checked
// but change nothing.  An empty message has a stream (flags, header).
// Throws Error for options out of range or a message beyond 8 MiB.
BitStream shortestStream(const std::uint8_t* data, std::size_t length, const Options& options = {});
BitStream shortestStream(std::string_view message, const Options& options = {});

// Of all the streams of the message (as shortestStream takes it), one whose
// codewords of `wordBits` bits (6, 8, 10 or 12) after bit stuffing are the
// fewest.  It can be longer than a shortest stream and still fit a
// smaller symbol.  Throws Error as shortestStream, and for a message
// beyond 32 KiB.
BitStream fewestCodewordsStream(const std::uint8_t* data, std::size_t length, int wordBits,
                                const Options& options = {});

// What make() lays out for a message: the stream, and the shape of the
// smallest symbol the options allow that holds it.
struct Plan {
    BitStream stream;
    bool compact = false;
    int layers = 0;
};

// make()'s plan for the message, without drawing the symbol; throws what
// make() throws.  layOut(plan.stream, options with that shape) draws it.
Plan plan(const std::uint8_t* data, std::size_t length, const Options& options = {});

// The smallest symbol that the options' compact, layers, ecPercent and
// readerInit allow that holds `stream` as it is (the options' other fields
// are ignored: the stream already holds them).  Throws Error: DataOverflow
// when no allowed symbol holds it, InvalidOption for options out of range.
Symbol layOut(const BitStream& stream, const Options& options = {});

// The codewords of `wordBits` bits (6, 8, 10 or 12) that `stream` makes
// after bit stuffing: what it takes of a symbol of that width.
std::size_t stuffedWordCount(const BitStream& stream, int wordBits);

// A shortest stream of the message with the options' eci (as
// shortestStream takes it; a message with flags, GS1 or a sequence header
// is refused with InvalidOption), and how many bytes from the message's
// start, fewer than all, make a stream of at most `words` codewords of
// `wordBits` bits (6, 8, 10 or 12) after bit stuffing (0 when `words` is
// 0): what can be said to fit of a message too long, from one encoding.
struct StreamAndFit {
    BitStream stream;
    std::size_t fittingBytes = 0;
};
StreamAndFit shortestStreamAndFit(const std::uint8_t* data, std::size_t length, std::size_t words, int wordBits,
                                  const Options& options = {});

// The rune of `value` (0 to 255): an 11x11 compact symbol of no layer
// that holds the value alone.  Throws Error (InvalidOption) for another value.
Symbol rune(int value);

// What a symbol of a kind and layer count holds with `ecPercent` (0 to
// 99) error correction.
struct Capacity {
    int size = 0;          // modules on a side
    int wordBits = 0;      // codeword width: 6, 8, 10 or 12
    int totalWords = 0;    // codewords of the layers, data and check
    int maxDataWords = 0;  // the most data codewords (0 or less: none fit)
};

// Throws Error (InvalidOption) where no symbol has that kind and layer
// count (compact: 1 to 4; full: 1 to 32) or ecPercent is out of range.
Capacity capacity(bool compact, int layers, int ecPercent);

// ---------------------------------------------------------------------------
// Reading a symbol back from its modules.

// The values of the cells of a grid to read, one byte each.
enum class Cell : std::uint8_t {
    Light = 0,
    Dark = 1,
    Unreadable = 2,  // a cell whose colour could not be told: an erasure
};

// What a symbol holds, as read.
struct Reading {
    std::vector<std::uint8_t> data;  // the message bytes; FNC1 past the first place as GS (0x1D)
    std::vector<Flag> ecis;          // the ECI designators (eci always set), by position in data
    bool gs1 = false;                // FNC1 opens the message
    bool readerInit = false;
    std::optional<SequencePart> sequence;  // id empty where the header has none
    bool compact = false;
    int layers = 0;  // 0 for a rune
    std::optional<int> rune;  // a rune's value
    int corrected = 0;        // codewords of the layers that their check words repaired
    int size = 0;
    int dataWords = 0;
    int checkWords = 0;
};

// Reads the symbol in a grid of `width` x `height` cells (bytes row by
// row, each a Cell's value), in any of its eight
// orientations, with a light border or none.  Throws Error: Unreadable
// (its text says why: no finder, a damaged mode message, too much damage)
// or InvalidOption for a grid out of range (1 to 1,000,000 on a side).
Reading read(const std::uint8_t* cells, int width, int height);

}  // namespace quillbank::aztec
