// The public API's options checked into the core's request and stream
// layout, and the errors worded for them (aztec_options.hpp).
#include "aztec_options.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "bit_stuffing.hpp"
#include "batch_pool.hpp"
#include "eci.hpp"

namespace quillbank::aztec {

static_assert(kMostEci == kMaxEciNumber && kMostFlags == kMaxOptimalFlags && kMostThreads == kMaxBatchThreads,
              "the public limits are the core's");

namespace {

// Eight modules (bytes of 0 or 1) into one byte, the first in bit 7, with
// no branch on their values: the modules of a symbol are as good as
// random, and a branch on each mispredicts half the time.  Read as a
// little-endian number, module j is bit 8j; the product moves it to bit
// 63 - j, and no two of its terms meet (so none carries).
std::uint8_t packedByte(const std::uint8_t* modules) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::uint64_t eight;
    std::memcpy(&eight, modules, 8);
    return static_cast<std::uint8_t>((eight * 0x8040201008040201ull) >> 56);
#else
    unsigned byte = 0;
    for (int j = 0; j < 8; ++j) byte = byte << 1 | modules[j];
    return static_cast<std::uint8_t>(byte);
#endif
}

}  // namespace

Symbol SymbolAccess::of(const AztecMatrix& matrix) {
    Symbol symbol;
    symbol.size_ = matrix.shape.size;
    symbol.layers_ = matrix.shape.layers;
    symbol.compact_ = matrix.shape.compact;
    symbol.dataWords_ = matrix.dataWords;
    symbol.checkWords_ = matrix.checkWords;
    const std::size_t size = static_cast<std::size_t>(matrix.shape.size);
    symbol.packed_.resize(symbol.rowBytes() * size);
    std::uint8_t* out = symbol.packed_.data();
    const std::uint8_t* modules = matrix.modules.data();  // 0 or 1 each, row by row
    // A row's last byte takes the next row's first modules too, and masks
    // them off; only the last byte of all is read from a copy.
    const std::size_t tail = size % 8;
    const unsigned lastMask = (0xFF00u >> tail) & 0xFFu;
    for (std::size_t y = 0; y < size; ++y) {
        const std::uint8_t* row = modules + y * size;
        std::size_t x = 0;
        for (; x + 8 <= size; x += 8) *out++ = packedByte(row + x);
        if (tail == 0) continue;
        std::uint8_t byte;
        if (y + 1 < size) {
            byte = packedByte(row + x);
        } else {
            std::uint8_t last[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            std::memcpy(last, row + x, tail);
            byte = packedByte(last);
        }
        *out++ = static_cast<std::uint8_t>(byte & lastMask);
    }
    return symbol;
}

Error invalid(const std::string& message) { return Error(ErrorCode::InvalidOption, message); }

namespace {

constexpr int kMaxSequence = 26;
// Reader initialisation rides in the mode message, which has room for it
// in compact symbols of 1 layer and full symbols of up to 22 layers.
constexpr int kMaxInitCompactLayers = 1;
constexpr int kMaxInitFullLayers = 22;

int mostLayers(bool compact, bool readerInit) {
    if (readerInit) return compact ? kMaxInitCompactLayers : kMaxInitFullLayers;
    return compact ? kMaxCompactLayers : kMaxFullLayers;
}

std::string layersText(const std::optional<bool>& compact, bool readerInit) {
    if (!compact)
        return "layers is 1 to " + std::to_string(mostLayers(false, readerInit)) + " (" +
               std::to_string(mostLayers(true, readerInit)) + " at most in compact symbols)";
    return std::string(*compact ? "compact" : "full") + " symbols have 1 to " +
           std::to_string(mostLayers(*compact, readerInit)) + " layers";
}

std::string eciText(std::uint32_t eci) {
    return "ECI numbers are 0 to " + std::to_string(kMaxEciNumber) + ", not " + std::to_string(eci);
}

// The header text of a sequence part: " ID " when there is an ID, then
// the position and the count as capitals (A = 1).
std::string sequenceHeader(const SequencePart& part) {
    if (part.count < 2 || part.count > kMaxSequence)
        throw invalid("a sequence has 2 to " + std::to_string(kMaxSequence) + " symbols, not " +
                      std::to_string(part.count));
    if (part.position < 1 || part.position > part.count)
        throw invalid("the position in a sequence of " + std::to_string(part.count) + " symbols is 1 to " +
                      std::to_string(part.count) + ", not " + std::to_string(part.position));
    for (char c : part.id)
        if (c < '!' || c > '~')
            throw invalid("the sequence id must be printable ASCII without spaces, not \"" + part.id + "\"");
    std::string head = part.id.empty() ? "" : " " + part.id + " ";
    head += static_cast<char>('A' + part.position - 1);
    head += static_cast<char>('A' + part.count - 1);
    return head;
}

void checkShape(const Options& options, SymbolRequest& request) {
    request.compact = !options.compact ? -1 : *options.compact ? 1 : 0;
    if (!options.layers) return;
    const int layers = *options.layers;
    const bool compact = options.compact.value_or(false);
    if (layers < 1 || layers > mostLayers(compact, false))
        throw invalid(layersText(options.compact, false) + ", not " + std::to_string(layers));
    if (options.readerInit && layers > mostLayers(compact, true))
        throw invalid("with readerInit, " + layersText(options.compact, true) +
                      ": the mode message of larger symbols has no room for the mark, not layers " +
                      std::to_string(layers));
    request.layers = layers;
}

void checkFlags(const Options& options, const std::size_t shift, Prepared& prepared) {
    if (options.gs1 && (options.eci || options.readerInit))
        throw invalid(std::string("GS1 data cannot be combined with ") +
                      (options.eci ? "an ECI designator (eci)" : "readerInit") +
                      ": GS1 symbols hold ASCII element strings read as GS1 data, not marked with a character "
                      "set nor programming the reader");
    std::vector<StreamFlag>& flags = prepared.layout.flags;
    if (options.eci) {
        if (*options.eci > kMaxEciNumber) throw invalid(eciText(*options.eci));
        flags.push_back(StreamFlag::eciDesignator(shift, *options.eci));
    }
    if (options.gs1) flags.push_back(StreamFlag::fnc1(shift));
    for (const Flag& flag : options.flags) {
        if (flag.eci && *flag.eci > kMaxEciNumber) throw invalid(eciText(*flag.eci));
        if (flag.position < prepared.lastFlag)
            throw invalid("flags go in order of position: one at " + std::to_string(flag.position) +
                          " follows one at " + std::to_string(prepared.lastFlag));
        prepared.lastFlag = flag.position;
        flags.push_back({flag.position + shift, flag.eci});
    }
    if (flags.size() > kMaxOptimalFlags) throw invalid("too many flags: " + std::to_string(flags.size()));
}

}  // namespace

Prepared prepare(const Options& options) {
    Prepared prepared;
    if (options.ecPercent < 0 || options.ecPercent > 99)
        throw invalid("error correction is 0 to 99 percent, not " + std::to_string(options.ecPercent));
    prepared.request.ecPercent = options.ecPercent;
    prepared.request.readerInit = options.readerInit;
    checkShape(options, prepared.request);
    if (options.sequence && options.headerInMessage)
        throw invalid("give a sequence or headerInMessage, not both: with headerInMessage the message holds the "
                      "sequence's header already");
    if (options.sequence) prepared.head = sequenceHeader(*options.sequence);
    prepared.layout.structuredAppend = options.sequence || options.headerInMessage;
    checkFlags(options, prepared.head.size(), prepared);
    const bool compact = prepared.request.compact == 1;
    prepared.largest = symbolShape(compact, prepared.request.layers ? prepared.request.layers
                                                                    : mostLayers(compact, options.readerInit));
    prepared.largestDataWords = std::max(maxDataWords(prepared.largest, options.ecPercent), 0);
    return prepared;
}

namespace {

std::string largestText(const Prepared& prepared) {
    const SymbolShape& shape = prepared.largest;
    const std::string side = std::to_string(shape.size);
    std::string text = std::string("a ") + (shape.compact ? "compact" : "full") + " symbol of " +
                       std::to_string(shape.layers) + (shape.layers > 1 ? " layers (" : " layer (") + side + "x" +
                       side + "), ";
    return text + (prepared.request.readerInit && !prepared.request.layers
                       ? "the largest that can carry the reader-initialisation mark"
                       : "the largest allowed");
}

// What would let a message that does not fit be made, in words.
std::string remedies(const Prepared& prepared) {
    const SymbolRequest& request = prepared.request;
    std::string found;
    auto add = [&](const char* remedy) { found += found.empty() ? remedy : std::string(" or ") + remedy; };
    if (request.ecPercent > 0) add("a lower ecPercent");
    if (request.compact == 1) add("full symbols (compact unset)");
    if (request.layers && request.layers < mostLayers(request.compact == 1, request.readerInit)) add("more layers");
    if (request.readerInit && !request.layers) add("readerInit false (larger symbols cannot carry its mark)");
    return found.empty() ? "split it across the symbols of a sequence (Options::sequence)"
                         : "it may fit with " + found + "; or split it across the symbols of a sequence "
                           "(Options::sequence)";
}

}  // namespace

Error overflow(const Prepared& prepared, std::size_t length, const PackedBits* stream) {
    const SymbolShape& shape = prepared.largest;
    const std::size_t available = static_cast<std::size_t>(prepared.largestDataWords) * shape.wordBits;
    const std::string ec = std::to_string(prepared.request.ecPercent) + "% error correction";
    std::string text;
    std::size_t needed;
    if (stream != nullptr) {
        needed = stream->bitCount;
        const std::size_t words = stuffedPackedWordCount(stream->bytes.data(), stream->bitCount, shape.wordBits);
        text = "the message does not fit: its " + std::to_string(needed) + " bits make " + std::to_string(words) +
               " codewords of " + std::to_string(shape.wordBits) + " bits";
    } else {
        needed = (length * 5 + 1) / 2;
        text = "the message does not fit: its " + std::to_string(length) + " bytes need " + std::to_string(needed) +
               " bits at least";
    }
    if (prepared.largestDataWords == 0)
        text += ", but " + largestText(prepared) + ", has no room for data with " + ec;
    else
        text += ", but " + largestText(prepared) + ", holds " + std::to_string(prepared.largestDataWords) +
                " codewords (" + std::to_string(available) + " bits) with " + ec;
    return Error(ErrorCode::DataOverflow, text + "; " + remedies(prepared), needed, available);
}

void checkFlagsFit(const Prepared& prepared, std::size_t length) {
    if (!prepared.layout.flags.empty() && prepared.lastFlag > length)
        throw invalid("flag position " + std::to_string(prepared.lastFlag) + " is past the end of the " +
                      std::to_string(length) + "-byte message");
}

void joinHead(const Prepared& prepared, const std::uint8_t*& data, std::size_t& length,
              std::vector<std::uint8_t>& joined) {
    if (prepared.head.empty()) return;
    joined.reserve(prepared.head.size() + length);
    joined.assign(prepared.head.begin(), prepared.head.end());
    joined.insert(joined.end(), data, data + length);
    data = joined.data();
    length = joined.size();
}

}  // namespace quillbank::aztec
