// make and makeMany of the public API (quillbank/aztec.hpp): the options
// checked once into the core's request and stream layout, then the core's
// smallest symbol for each message.
#include <quillbank/aztec.hpp>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "batch_pool.hpp"
#include "bit_stuffing.hpp"
#include "eci.hpp"
#include "optimal_encoder.hpp"
#include "smallest_symbol.hpp"
#include "symbol_layout.hpp"

namespace quillbank::aztec {

// Fills a Symbol from the core's matrix (Symbol's members are private).
struct SymbolAccess {
    static Symbol of(AztecMatrix&& matrix) {
        Symbol symbol;
        symbol.size_ = matrix.shape.size;
        symbol.layers_ = matrix.shape.layers;
        symbol.compact_ = matrix.shape.compact;
        symbol.dataWords_ = matrix.dataWords;
        symbol.checkWords_ = matrix.checkWords;
        symbol.modules_ = std::move(matrix.modules);
        return symbol;
    }
};

namespace {

constexpr int kMaxSequence = 26;
// Reader initialisation rides in the mode message, which has room for it
// in compact symbols of 1 layer and full symbols of up to 22 layers.
constexpr int kMaxInitCompactLayers = 1;
constexpr int kMaxInitFullLayers = 22;
// The bits of all the codewords of the largest symbol (1,664 of 12 bits):
// more than any symbol's data.
constexpr std::size_t kMostBits = 1664 * 12;

Error invalid(const std::string& message) { return Error(ErrorCode::InvalidOption, message); }

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

// The options checked, as the core takes them.
struct Prepared {
    SymbolRequest request;
    std::string head;     // a sequence part's header, written before the message
    StreamLayout layout;  // the flags at their places in head + message
    std::size_t lastFlag = 0;  // the largest position of the caller's flags
    SymbolShape largest{};     // the largest symbol allowed
    int largestDataWords = 0;
};

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

Prepared prepare(const Options& options) {
    Prepared prepared;
    if (options.ecPercent < 0 || options.ecPercent > 99)
        throw invalid("error correction is 0 to 99 percent, not " + std::to_string(options.ecPercent));
    prepared.request.ecPercent = options.ecPercent;
    prepared.request.readerInit = options.readerInit;
    checkShape(options, prepared.request);
    if (options.sequence) {
        prepared.head = sequenceHeader(*options.sequence);
        prepared.layout.structuredAppend = true;
    }
    checkFlags(options, prepared.head.size(), prepared);
    const bool compact = prepared.request.compact == 1;
    prepared.largest = symbolShape(compact, prepared.request.layers ? prepared.request.layers
                                                                    : mostLayers(compact, options.readerInit));
    prepared.largestDataWords = std::max(maxDataWords(prepared.largest, options.ecPercent), 0);
    return prepared;
}

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

// The error for a message that fits none of the allowed symbols: how many
// bits and codewords it needs, what the largest allowed symbol holds, and
// which options to change.  `bits` is the stream's length, or zero where
// the message is so long that only a bound was worked out.
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

// The symbol of one message with prepared options.  Throws Error.
Symbol makePrepared(const Prepared& prepared, const std::uint8_t* data, std::size_t length) {
    if (length == 0) throw Error(ErrorCode::EmptyMessage, "there is nothing to encode: the message is empty");
    if (!prepared.layout.flags.empty() && prepared.lastFlag > length)
        throw invalid("flag position " + std::to_string(prepared.lastFlag) + " is past the end of the " +
                      std::to_string(length) + "-byte message");
    // Every byte costs 2.5 bits at least (two of a punctuation pair share
    // a 5-bit code): a message longer than the largest symbol of all holds
    // by that bound is refused unencoded, at the cost of one comparison.
    if (length > kMostBits || length * 5 > kMostBits * 2) throw overflow(prepared, length, nullptr);
    std::vector<std::uint8_t> joined;
    if (!prepared.head.empty()) {
        joined.reserve(prepared.head.size() + length);
        joined.assign(prepared.head.begin(), prepared.head.end());
        joined.insert(joined.end(), data, data + length);
        data = joined.data();
        length = joined.size();
    }
    AztecMatrix matrix;
    PackedBits stream;
    const BuildStatus status = buildSmallestSymbol(data, length, prepared.layout, prepared.request, matrix, &stream);
    if (status == BuildStatus::Ok) return SymbolAccess::of(std::move(matrix));
    if (status == BuildStatus::TooLong) {
        if (stream.bitCount == 0) stream = encodeOptimal(data, length, prepared.layout);
        throw overflow(prepared, length, &stream);
    }
    // The options were checked: the core refuses none of them.
    throw invalid("no Aztec symbol meets these options");
}

// makeMany's batch: every message made into its own place.
struct ManyBatch {
    const Prepared& prepared;
    const std::vector<std::string_view>& messages;
    std::vector<Made>& results;

    static void make(void* context, std::size_t index) noexcept {
        auto& batch = *static_cast<ManyBatch*>(context);
        const std::string_view message = batch.messages[index];
        Made& made = batch.results[index];
        try {
            made.symbol = makePrepared(batch.prepared, reinterpret_cast<const std::uint8_t*>(message.data()),
                                       message.size());
        } catch (const Error& error) {
            made.error.emplace(error);
        } catch (...) {  // bad_alloc; nothing else escapes the core for checked options
            made.error.emplace(ErrorCode::OutOfMemory, "not enough memory to make this symbol");
        }
    }
    static bool store(void*, std::size_t, std::size_t) noexcept { return true; }  // made in place
};

}  // namespace

Symbol make(const std::uint8_t* data, std::size_t length, const Options& options) {
    return makePrepared(prepare(options), data, length);
}

Symbol make(std::string_view message, const Options& options) {
    return make(reinterpret_cast<const std::uint8_t*>(message.data()), message.size(), options);
}

Symbol make(const std::vector<std::uint8_t>& message, const Options& options) {
    return make(message.data(), message.size(), options);
}

std::vector<Made> makeMany(const std::vector<std::string_view>& messages, const Options& options, int threads) {
    const Prepared prepared = prepare(options);
    std::vector<Made> results(messages.size());
    if (threads <= 0) threads = static_cast<int>(std::min(std::thread::hardware_concurrency(), 256u));
    ManyBatch batch{prepared, messages, results};
    BatchJob job;
    job.count = messages.size();
    job.slotCount = std::max<std::size_t>(messages.size(), 1);
    job.context = &batch;
    job.make = ManyBatch::make;
    job.store = ManyBatch::store;
    if (runBatch(job, threads) == BatchEnd::NoMemory) throw std::bad_alloc();
    return results;
}

}  // namespace quillbank::aztec
