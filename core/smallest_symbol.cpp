#include "smallest_symbol.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "bit_stuffing.hpp"
#include "codeword_optimal.hpp"

namespace quillbank::aztec {

namespace {

bool allowedByRequest(const SymbolShape& shape, const SymbolRequest& request) {
    if (request.compact != -1 && shape.compact != (request.compact == 1)) return false;
    return request.layers == 0 || shape.layers == request.layers;
}

std::size_t widthIndex(int width) { return std::size_t(width / 2 - 3); }  // 6, 8, 10, 12 -> 0..3

// The shapes a request allows that can carry its reader initialisation,
// smallest first, and what a message that fits none of them gets: TooLong,
// or why there are none (BadRequest: no shape of that kind and layer
// count; NoReaderInit: none of them carries the mark).
struct AllowedShapes {
    std::array<const SymbolShape*, kMaxCompactLayers + kMaxFullLayers> shapes{};
    std::size_t count = 0;
    BuildStatus refusal = BuildStatus::TooLong;

    const SymbolShape* const* begin() const { return shapes.data(); }
    const SymbolShape* const* end() const { return shapes.data() + count; }
};

AllowedShapes allowedShapes(const SymbolRequest& request) {
    AllowedShapes allowed;
    bool anyShape = false;
    for (const SymbolShape& shape : symbolsBySize()) {
        if (!allowedByRequest(shape, request)) continue;
        anyShape = true;
        if (request.readerInit && !canCarryReaderInit(shape.compact, shape.layers)) continue;
        allowed.shapes[allowed.count++] = &shape;
    }
    if (allowed.count == 0) allowed.refusal = anyShape ? BuildStatus::NoReaderInit : BuildStatus::BadRequest;
    return allowed;
}

}  // namespace

SmallestSymbol chooseSmallestSymbol(const uint8_t* data, std::size_t length, const StreamLayout& layout,
                                    const SymbolRequest& request) {
    SmallestSymbol result;
    if (request.ecPercent < 0 || request.ecPercent > 99 || request.compact < -1 || request.compact > 1) {
        result.status = BuildStatus::BadRequest;
        return result;
    }
    const AllowedShapes allowed = allowedShapes(request);
    if (length <= kMaxOptimalMessage) {
        // A message that no allowed symbol could hold even at its bytes'
        // fewest bits is refused before it is encoded: a refusal costs a
        // pass over the bytes.  (A longer one raises in encodeOptimal.)
        checkLayout(length, layout);
        const std::size_t least = leastMessageBits(data, length);
        const bool mayFit = std::any_of(allowed.begin(), allowed.end(), [&](const SymbolShape* shape) {
            const std::size_t width = std::size_t(shape->wordBits);
            return long(std::max<std::size_t>(1, (least + width - 1) / width)) <=
                   maxDataWords(*shape, request.ecPercent);
        });
        if (!mayFit) {
            result.status = allowed.refusal;
            return result;
        }
    }
    PackedBits shortest = encodeOptimal(data, length, layout);
    // Per width, computed on first need: the shortest stream's codewords
    // (kept, since the symbol is drawn from them), and the codeword-optimal
    // stream.
    std::array<std::optional<std::vector<uint16_t>>, 4> shortestWords;
    std::array<std::optional<CodewordStream>, 4> fewest;
    for (const SymbolShape* allowedShape : allowed) {
        const SymbolShape& shape = *allowedShape;
        const std::size_t w = widthIndex(shape.wordBits);
        const long capacity = maxDataWords(shape, request.ecPercent);
        // Every stream has at least the shortest one's bits, and a codeword
        // carries at most wordBits of them: most small sizes are settled
        // here, before any stuffing is counted.
        const std::size_t width = std::size_t(shape.wordBits);
        const long fewestPossible = long(std::max<std::size_t>(1, (shortest.bitCount + width - 1) / width));
        if (fewestPossible > capacity) continue;
        if (!shortestWords[w])
            shortestWords[w] = stuffPackedBits(shortest.bytes.data(), shortest.bitCount, shape.wordBits,
                                               std::size_t(shape.totalWords));
        if (long(std::max<std::size_t>(1, shortestWords[w]->size())) <= capacity) {
            result = {BuildStatus::Ok, std::move(shortest), shape, std::move(*shortestWords[w])};
            return result;
        }
        if (length > kMaxCodewordMessage) continue;
        // Bounded by this size's capacity, which prunes most of the work;
        // a larger size of the same width asks again with its own.
        if (!fewest[w] || (!fewest[w]->found && std::size_t(capacity) > fewest[w]->words))
            fewest[w] = encodeFewestCodewords(data, length, layout, shape.wordBits, std::size_t(capacity));
        if (fewest[w]->found && long(std::max<std::size_t>(1, fewest[w]->words)) <= capacity) {
            // Its codewords were counted by the stuffing that cuts them here,
            // so they fit; checked all the same, since more words than the
            // shape holds must never reach the drawing.
            PackedBits& stream = fewest[w]->stream;
            std::vector<uint16_t> words =
                stuffPackedBits(stream.bytes.data(), stream.bitCount, shape.wordBits, std::size_t(shape.totalWords));
            if (long(std::max<std::size_t>(1, words.size())) <= capacity) {
                result = {BuildStatus::Ok, std::move(stream), shape, std::move(words)};
                return result;
            }
        }
    }
    result.status = allowed.refusal;
    return result;
}

FittingStart encodeWithFittingStart(const uint8_t* data, std::size_t length, std::optional<uint32_t> eci,
                                    std::size_t words, int width) {
    if (width != 6 && width != 8 && width != 10 && width != 12)
        throw std::invalid_argument("codeword widths are 6, 8, 10 and 12");
    const std::size_t w = std::size_t(width);
    StartFit fit;
    if (words > 0) {
        fit.mostBits = words * w;
        fit.surelyBits = words * (w - 1);  // fits even were every codeword stuffed
        fit.fits = [&](const PackedBits& stream) {
            return std::max<std::size_t>(1, stuffedPackedWordCount(stream.bytes.data(), stream.bitCount, width)) <=
                   words;
        };
    }
    FittingStart found = encodeOptimalFitting(data, length, eci, fit);
    if (words == 0) found.fitting = 0;  // no start fits no room (one of no bits would say it does)
    return found;
}

SymbolRequest requestForShape(const SymbolRequest& request, const SymbolShape& shape) {
    SymbolRequest pinned = request;
    pinned.compact = shape.compact ? 1 : 0;
    pinned.layers = shape.layers;
    return pinned;
}

BuildStatus buildSmallestSymbol(const uint8_t* data, std::size_t length, const StreamLayout& layout,
                                const SymbolRequest& request, AztecMatrix& out, PackedBits* stream) {
    SmallestSymbol chosen = chooseSmallestSymbol(data, length, layout, request);
    if (chosen.status != BuildStatus::Ok) return chosen.status;
    // The stream was cut into codewords when its shape was chosen: drawn
    // from them, as buildSymbolPacked would draw it for that shape.
    drawStuffedSymbol(chosen.shape, std::move(chosen.words), request.readerInit, out);
    if (stream != nullptr) *stream = std::move(chosen.stream);
    return BuildStatus::Ok;
}

}  // namespace quillbank::aztec
