// Tests of the codeword-optimal programme and the smallest-symbol choice:
// the example that motivated them, the programme's count against the
// stuffing of its own stream and of the shortest stream on random
// messages with flags, and the request statuses.  Fewest counts against an
// independent search, and read-back, are tested in Python.
#include <algorithm>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bit_stuffing.hpp"
#include "check.hpp"
#include "codeword_optimal.hpp"
#include "smallest_symbol.hpp"

using namespace quillbank::aztec;
using testing::check;

namespace {

std::vector<uint8_t> unpack(const PackedBits& stream) {
    std::vector<uint8_t> bits(stream.bitCount);
    for (std::size_t k = 0; k < stream.bitCount; ++k) bits[k] = stream.bit(k);
    return bits;
}

std::size_t stuffedWords(const PackedBits& stream, int width) {
    const std::vector<uint8_t> bits = unpack(stream);
    return stuffedWordCount(bits.data(), bits.size(), width);
}

// M/L U/L, 11101 11101: the decoder reads a stream that starts so as a
// structured-append symbol's.
bool startsWithAppendMark(const PackedBits& stream) {
    if (stream.bitCount < 10) return false;
    unsigned first = 0;
    for (std::size_t k = 0; k < 10; ++k) first = (first << 1) | unsigned(stream.bit(k));
    return first == ((29u << 5) | 29u);
}

const uint8_t* bytesOf(const std::string& text) { return reinterpret_cast<const uint8_t*>(text.data()); }

// The shortest stream of "0@91b@" is 58 bits, eleven 6-bit codewords;
// a 60-bit stream takes ten and fits a compact 1-layer symbol.
void testExample() {
    const std::string message = "0@91b@";
    const StreamLayout plain;
    const PackedBits shortest = encodeOptimal(bytesOf(message), message.size(), plain);
    const CodewordStream fewest = encodeFewestCodewords(bytesOf(message), message.size(), plain, 6);
    check(stuffedWords(shortest, 6) == 11, "the shortest stream of the example takes 11 codewords");
    check(fewest.words == 10 && stuffedWords(fewest.stream, 6) == 10, "the example fits 10 codewords of 6 bits");
    const SmallestSymbol chosen = chooseSmallestSymbol(bytesOf(message), message.size(), plain, SymbolRequest{});
    check(chosen.status == BuildStatus::Ok && chosen.shape.compact && chosen.shape.layers == 1,
          "the example gets a compact 1-layer symbol");
    AztecMatrix matrix;
    check(buildSmallestSymbol(bytesOf(message), message.size(), plain, SymbolRequest{}, matrix) == BuildStatus::Ok &&
              matrix.shape.size == 15 && matrix.dataWords == 10,
          "buildSmallestSymbol draws the example in 15x15 with 10 data words");
}

// Random messages over characters of every mode, pairs and binary bytes,
// with random flags and starts.
void testRandomMessages() {
    std::mt19937 rng(24778);
    const std::string alphabet = std::string("Aa0 .,:\r\n@!b9Zz\x01\x80\xff", 19);
    int countMismatch = 0, moreThanShortest = 0, largerSymbol = 0, appendMarks = 0;
    for (int round = 0; round < 300; ++round) {
        std::string message;
        const int length = int(rng() % 40);
        for (int i = 0; i < length; ++i) message += alphabet[rng() % alphabet.size()];
        StreamLayout layout;
        layout.structuredAppend = rng() % 4 == 0;
        for (int flag = int(rng() % 3); flag > 0; --flag) {
            const std::size_t position = rng() % (message.size() + 1);
            layout.flags.push_back(rng() % 2 ? StreamFlag::fnc1(position) : StreamFlag::eciDesignator(position, rng() % 1000));
        }
        std::sort(layout.flags.begin(), layout.flags.end(),
                  [](const StreamFlag& a, const StreamFlag& b) { return a.position < b.position; });
        const PackedBits shortest = encodeOptimal(bytesOf(message), message.size(), layout);
        for (int width : {6, 8, 10, 12}) {
            const CodewordStream fewest = encodeFewestCodewords(bytesOf(message), message.size(), layout, width);
            countMismatch += fewest.words != stuffedWords(fewest.stream, width);
            moreThanShortest += fewest.words > stuffedWords(shortest, width);
            appendMarks += !layout.structuredAppend && startsWithAppendMark(fewest.stream);
        }
        SymbolRequest request;
        const SmallestSymbol chosen = chooseSmallestSymbol(bytesOf(message), message.size(), layout, request);
        AztecMatrix today;
        const std::vector<uint8_t> bits = unpack(shortest);
        if (buildSymbol(bits.data(), bits.size(), request, today) == BuildStatus::Ok)
            largerSymbol += chosen.status != BuildStatus::Ok || chosen.shape.size > today.shape.size;
    }
    check(countMismatch == 0, "the programme's count is the stuffing of its own stream");
    check(moreThanShortest == 0, "the programme never takes more codewords than the shortest stream");
    check(appendMarks == 0, "no plain stream starts with M/L U/L, the structured-append mark");
    check(largerSymbol == 0, "the chosen symbol is never larger than the shortest stream's");
}

void testRequests() {
    const std::string message = "HELLO";
    const StreamLayout plain;
    SymbolRequest badLayers;
    badLayers.compact = 1;
    badLayers.layers = 5;
    check(chooseSmallestSymbol(bytesOf(message), message.size(), plain, badLayers).status == BuildStatus::BadRequest,
          "a compact symbol of 5 layers is a bad request");
    SymbolRequest initTooLarge;
    initTooLarge.compact = 0;
    initTooLarge.layers = 30;
    initTooLarge.readerInit = true;
    check(chooseSmallestSymbol(bytesOf(message), message.size(), plain, initTooLarge).status == BuildStatus::NoReaderInit,
          "reader initialisation is refused in 30 layers");
    const std::string long3000(3000, '\x80');
    check(chooseSmallestSymbol(bytesOf(long3000), long3000.size(), plain, SymbolRequest{}).status == BuildStatus::TooLong,
          "3,000 binary bytes fit no symbol");
    bool refused = false;
    try {
        encodeFewestCodewords(bytesOf(message), message.size(), plain, 7);
    } catch (const std::invalid_argument&) {
        refused = true;
    }
    check(refused, "a width of 7 is refused");
}

// The longest fitting start that walks to the whole message's path find
// (from cells filled for it, not those of the thread's last encoding of
// another message) must be the one that counting every start's cell finds,
// stream and all:
// on text, digits, punctuation pairs, binary runs and 00/FF runs that
// stuff, with and without an ECI number, at every width, in rooms around
// the message's own size.
void testFittingStartWalks() {
    std::mt19937 random(20);
    const std::vector<std::string> pieces = {"HELLO ", "world ", "12345678", ". ", ", ", "\r\n", "a1B2", "://",
                                             std::string(9, '\0'), std::string(7, '\xff'), "\x80\x81\xfe"};
    int found = 0;
    for (int round = 0; round < 300; ++round) {
        std::string message;
        for (int k = 1 + int(random() % 40); k > 0; --k) {
            if (random() % 4 == 0)
                for (int b = int(random() % 40); b > 0; --b) message += char(random() % 256);
            else
                message += pieces[random() % pieces.size()];
        }
        if (message.size() < 2) continue;
        const std::optional<uint32_t> eci =
            random() % 3 == 0 ? std::optional<uint32_t>(uint32_t(random() % 1000000)) : std::nullopt;
        const int width = 6 + 2 * int(random() % 4);
        const std::size_t whole = encodeOptimal(bytesOf(message), message.size(), eci).bitCount;
        const std::size_t words = 1 + random() % (whole / std::size_t(width) + 2);
        StartFit fit;
        fit.mostBits = words * std::size_t(width);
        fit.surelyBits = words * std::size_t(width - 1);
        fit.fits = [&](const PackedBits& stream) { return std::max<std::size_t>(1, stuffedWords(stream, width)) <= words; };
        // The thread's last cells are of a message one byte apart, or of this
        // one after another ECI number: they must not be taken for its own.
        std::string near = message;
        near[random() % near.size()] ^= char(1 + random() % 255);
        if (round % 2 == 0)
            encodeOptimal(bytesOf(near), near.size(), eci);
        else
            encodeOptimal(bytesOf(message), message.size(), eci ? std::nullopt : std::optional<uint32_t>(3));
        const FittingStart walked = encodeOptimalFitting(bytesOf(message), message.size(), eci, fit);
        fit.countEveryCell = true;
        const FittingStart counted = encodeOptimalFitting(bytesOf(message), message.size(), eci, fit);
        check(walked.fitting == counted.fitting && unpack(walked.stream) == unpack(counted.stream),
              "fitting start of " + std::to_string(message.size()) + " bytes in " + std::to_string(words) +
                  " words of " + std::to_string(width) + " bits: walked " + std::to_string(walked.fitting) +
                  ", counted " + std::to_string(counted.fitting));
        found += counted.fitting > 0;
    }
    check(found > 100, "most rounds have a start that fits: " + std::to_string(found));
}

}  // namespace

int main() {
    testExample();
    testRandomMessages();
    testRequests();
    testFittingStartWalks();
    return testing::finish();
}
