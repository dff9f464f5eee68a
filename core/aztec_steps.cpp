// The steps of make in the public API (quillbank/aztec.hpp): streams,
// their layout on a shape, capacities and runes, each a short call into
// the core with the options checked as make checks them.
#include <quillbank/aztec.hpp>

#include <stdexcept>
#include <string>
#include <utility>

#include "aztec_options.hpp"
#include "bit_stuffing.hpp"
#include "codeword_optimal.hpp"
#include "optimal_encoder.hpp"
#include "smallest_symbol.hpp"
#include "symbol_layout.hpp"

namespace quillbank::aztec {
namespace {

BitStream publicStream(PackedBits&& stream) {
    BitStream bits;
    bits.bytes = std::move(stream.bytes);
    bits.bitCount = stream.bitCount;
    return bits;
}

// Checks that the stream's bytes hold its bits.
void checkStream(const BitStream& stream) {
    if (stream.bytes.size() < stream.bitCount / 8 + (stream.bitCount % 8 != 0))
        throw invalid("a stream of " + std::to_string(stream.bitCount) + " bits needs " +
                      std::to_string(stream.bitCount / 8 + (stream.bitCount % 8 != 0)) + " bytes, not " +
                      std::to_string(stream.bytes.size()));
}

void checkWordBits(int wordBits) {
    if (wordBits != 6 && wordBits != 8 && wordBits != 10 && wordBits != 12)
        throw invalid("the codewords of a symbol are 6, 8, 10 or 12 bits, not " + std::to_string(wordBits));
}

void checkShapeExists(bool compact, int layers) {
    if (!shapeExists(compact, layers))
        throw invalid(std::string(compact ? "compact symbols have 1 to 4" : "full symbols have 1 to 32") +
                      " layers, not " + std::to_string(layers));
}

// What the core raises for a message it takes no stream of, as Error.
template <typename Encode>
PackedBits encoded(Encode encode) {
    try {
        return encode();
    } catch (const std::length_error&) {
        throw Error(ErrorCode::DataOverflow, "the message is too long to encode: far more than any symbol holds");
    } catch (const std::invalid_argument& refused) {  // checked first: not expected
        throw invalid(refused.what());
    }
}

}  // namespace

std::vector<std::uint8_t> Symbol::modules() const {
    const std::size_t size = static_cast<std::size_t>(size_);
    std::vector<std::uint8_t> modules(size * size);
    std::uint8_t* module = modules.data();
    for (std::size_t y = 0; y < size; ++y) {
        const std::uint8_t* row = packed_.data() + y * rowBytes();
        for (std::size_t x = 0; x < size; ++x) *module++ = (row[x >> 3] >> (7 - (x & 7))) & 1;
    }
    return modules;
}

BitStream shortestStream(const std::uint8_t* data, std::size_t length, const Options& options) {
    const Prepared prepared = prepare(options);
    checkFlagsFit(prepared, length);
    std::vector<std::uint8_t> joined;
    joinHead(prepared, data, length, joined);
    return publicStream(encoded([&] { return encodeOptimal(data, length, prepared.layout); }));
}

BitStream shortestStream(std::string_view message, const Options& options) {
    return shortestStream(reinterpret_cast<const std::uint8_t*>(message.data()), message.size(), options);
}

StreamAndFit shortestStreamAndFit(const std::uint8_t* data, std::size_t length, std::size_t words, int wordBits,
                                  const Options& options) {
    checkWordBits(wordBits);
    prepare(options);  // checks them
    if (!options.flags.empty() || options.gs1 || options.sequence || options.headerInMessage)
        throw invalid("the fitting start is found for a message with at most an ECI number before it");
    StreamAndFit found;
    std::size_t fitting = 0;
    found.stream = publicStream(encoded([&] {
        FittingStart fit = encodeWithFittingStart(data, length, options.eci, words, wordBits);
        fitting = fit.fitting;
        return std::move(fit.stream);
    }));
    found.fittingBytes = fitting;
    return found;
}

BitStream fewestCodewordsStream(const std::uint8_t* data, std::size_t length, int wordBits, const Options& options) {
    checkWordBits(wordBits);
    const Prepared prepared = prepare(options);
    checkFlagsFit(prepared, length);
    std::vector<std::uint8_t> joined;
    joinHead(prepared, data, length, joined);
    return publicStream(
        encoded([&] { return encodeFewestCodewords(data, length, prepared.layout, wordBits).stream; }));
}

Plan plan(const std::uint8_t* data, std::size_t length, const Options& options) {
    const Prepared prepared = prepare(options);
    if (length == 0) throw Error(ErrorCode::EmptyMessage, "there is nothing to encode: the message is empty");
    checkFlagsFit(prepared, length);
    if (length > kMostBits || length * 5 > kMostBits * 2) throw overflow(prepared, length, nullptr);
    std::vector<std::uint8_t> joined;
    joinHead(prepared, data, length, joined);
    SmallestSymbol chosen = chooseSmallestSymbol(data, length, prepared.layout, prepared.request);
    if (chosen.status == BuildStatus::TooLong) {
        const PackedBits stream = encodeOptimal(data, length, prepared.layout);
        throw overflow(prepared, length, &stream);
    }
    if (chosen.status != BuildStatus::Ok) throw invalid("no Aztec symbol meets these options");
    Plan found;
    found.stream = publicStream(std::move(chosen.stream));
    found.compact = chosen.shape.compact;
    found.layers = chosen.shape.layers;
    return found;
}

Symbol layOut(const BitStream& stream, const Options& options) {
    Options shape;  // the stream holds the message's flags already
    shape.ecPercent = options.ecPercent;
    shape.compact = options.compact;
    shape.layers = options.layers;
    shape.readerInit = options.readerInit;
    const Prepared prepared = prepare(shape);
    checkStream(stream);
    AztecMatrix matrix;
    const BuildStatus status = buildSymbolPacked(stream.bytes.data(), stream.bitCount, prepared.request, matrix);
    if (status == BuildStatus::TooLong) {
        const PackedBits packed{stream.bytes, stream.bitCount};
        throw overflow(prepared, 0, &packed);
    }
    if (status != BuildStatus::Ok) throw invalid("no Aztec symbol meets these options");
    return SymbolAccess::of(matrix);
}

std::size_t stuffedWordCount(const BitStream& stream, int wordBits) {
    checkWordBits(wordBits);
    checkStream(stream);
    return stuffedPackedWordCount(stream.bytes.data(), stream.bitCount, wordBits);
}

Symbol rune(int value) {
    AztecMatrix matrix;
    if (!buildRune(value, matrix)) throw invalid("rune values are 0 to 255, not " + std::to_string(value));
    return SymbolAccess::of(matrix);
}

Capacity capacity(bool compact, int layers, int ecPercent) {
    checkShapeExists(compact, layers);
    if (ecPercent < 0 || ecPercent > 99)
        throw invalid("error correction is 0 to 99 percent, not " + std::to_string(ecPercent));
    const SymbolShape shape = symbolShape(compact, layers);
    return Capacity{shape.size, shape.wordBits, shape.totalWords, maxDataWords(shape, ecPercent)};
}

}  // namespace quillbank::aztec
