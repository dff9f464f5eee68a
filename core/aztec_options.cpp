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
#include "packed_modules.hpp"

namespace quillbank::aztec {

static_assert(kMostEci == kMaxEciNumber && kMostFlags == kMaxOptimalFlags && kMostThreads == kMaxBatchThreads,
              "the public limits are the core's");

Symbol SymbolAccess::of(const AztecMatrix& matrix) {
    Symbol symbol;
    symbol.size_ = matrix.shape.size;
    symbol.layers_ = matrix.shape.layers;
    symbol.compact_ = matrix.shape.compact;
    symbol.dataWords_ = matrix.dataWords;
    symbol.checkWords_ = matrix.checkWords;
    symbol.packed_.resize(symbol.rowBytes() * static_cast<std::size_t>(matrix.shape.size));
    packModules(matrix.modules.data(), static_cast<std::size_t>(matrix.shape.size), symbol.packed_.data());
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
    return prepared;
}

namespace {

// The largest symbol the request allows, worked out for an error alone.
SymbolShape largestShape(const SymbolRequest& request) {
    const bool compact = request.compact == 1;
    return symbolShape(compact, request.layers ? request.layers : mostLayers(compact, request.readerInit));
}

std::string largestText(const Prepared& prepared, const SymbolShape& shape) {
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
    const SymbolShape shape = largestShape(prepared.request);
    const int dataWords = std::max(maxDataWords(shape, prepared.request.ecPercent), 0);
    const std::size_t available = static_cast<std::size_t>(dataWords) * shape.wordBits;
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
    if (dataWords == 0)
        text += ", but " + largestText(prepared, shape) + ", has no room for data with " + ec;
    else
        text += ", but " + largestText(prepared, shape) + ", holds " + std::to_string(dataWords) +
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
