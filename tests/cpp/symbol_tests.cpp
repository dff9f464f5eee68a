// Tests of the symbol writer's core: field arithmetic and Reed–Solomon check
// words against their algebraic definitions, bit stuffing against its rule,
// and the geometry of the drawn symbols.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <zlib.h>

#include "bit_stuffing.hpp"
#include "check.hpp"
#include "png_deflate.hpp"
#include "raster.hpp"
#include "reed_solomon.hpp"
#include "symbol_layout.hpp"

using namespace quillbank::aztec;

namespace {

using testing::check;

// Carry-less multiplication reduced by the field polynomial, the definition
// that the log/exp tables shortcut.
uint32_t slowMultiply(uint32_t a, uint32_t b, int bits, uint32_t polynomial) {
    uint32_t product = 0;
    for (int i = 0; i < bits; ++i)
        if (b & (1u << i)) product ^= a << i;
    for (int i = 2 * bits - 2; i >= bits; --i)
        if (product & (1u << i)) product ^= polynomial << (i - bits);
    return product;
}

const int kWidths[] = {4, 6, 8, 10, 12};

void testFields() {
    const uint32_t polynomials[] = {0x13, 0x43, 0x12D, 0x409, 0x1069};
    std::mt19937 random(1);
    for (int f = 0; f < 5; ++f) {
        const GaloisField* field = galoisField(kWidths[f]);
        const std::string name = "GF(2^" + std::to_string(kWidths[f]) + ")";
        check(field != nullptr && field->polynomial == polynomials[f], name + " exists with its polynomial");
        if (field == nullptr) continue;
        // x generates the whole multiplicative group: the polynomial is primitive.
        std::set<uint16_t> powers(field->exp.begin(), field->exp.begin() + field->order);
        check(powers.size() == field->order && !powers.count(0), name + " powers of x are all nonzero elements");
        bool agree = true;
        bool inverses = true;
        for (int n = 0; n < 2000; ++n) {
            const uint16_t a = static_cast<uint16_t>(random() & field->order);
            const uint16_t b = static_cast<uint16_t>(random() & field->order);
            agree &= gfMultiply(*field, a, b) == slowMultiply(a, b, field->bits, field->polynomial);
            if (a != 0) inverses &= gfMultiply(*field, a, gfInverse(*field, a)) == 1;
        }
        check(agree, name + " table multiplication equals polynomial multiplication");
        check(inverses, name + " inverses");
    }
    check(galoisField(5) == nullptr && galoisField(16) == nullptr, "no field for other widths");
}

void testReedSolomon() {
    std::mt19937 random(2);
    for (int width : kWidths) {
        const GaloisField& field = *galoisField(width);
        const std::string name = "RS over GF(2^" + std::to_string(width) + ")";
        for (size_t k : {size_t(1), size_t(5), size_t(6), size_t(17), size_t(40)}) {
            if (k + 3 > field.order) continue;
            const std::vector<uint16_t> g = generatorPolynomial(field, k);
            bool roots = g.size() == k + 1 && g[0] == 1;
            for (size_t i = 1; i <= k; ++i) roots &= evaluatePolynomial(field, g.data(), g.size(), field.exp[i]) == 0;
            roots &= evaluatePolynomial(field, g.data(), g.size(), field.exp[k + 1]) != 0;
            check(roots, name + " generator of " + std::to_string(k) + " has roots a^1..a^k only");

            for (int trial = 0; trial < 5; ++trial) {
                const size_t n = 1 + random() % (field.order - k < 60 ? field.order - k : 60);
                std::vector<uint16_t> words(n);
                for (auto& w : words) w = static_cast<uint16_t>(random() & field.order);
                const std::vector<uint16_t> checkPart = checkWords(field, words.data(), n, k);
                std::vector<uint16_t> codeword = words;
                codeword.insert(codeword.end(), checkPart.begin(), checkPart.end());
                bool zero = checkPart.size() == k;
                for (size_t i = 1; i <= k; ++i)
                    zero &= evaluatePolynomial(field, codeword.data(), codeword.size(), field.exp[i]) == 0;
                check(zero, name + " codeword with " + std::to_string(k) + " check words vanishes at the roots");
                // Any single changed word breaks it.
                codeword[random() % codeword.size()] ^= static_cast<uint16_t>(1 + random() % field.order);
                bool detected = false;
                for (size_t i = 1; i <= k; ++i)
                    detected |= evaluatePolynomial(field, codeword.data(), codeword.size(), field.exp[i]) != 0;
                check(detected, name + " a changed word is detected");
            }
        }
    }
    // The mode message of a compact one-layer symbol with one data word: the
    // data nibbles are 0 and 0, so the check words are all zero as well.
    const std::vector<uint16_t> zeros(2, 0);
    check(checkWords(*galoisField(4), zeros.data(), 2, 5) == std::vector<uint16_t>(5, 0),
          "check words of zeros are zero");
}

// A check count that comes twice in a row is divided by a table of
// products the second time: every row length of that table (1 to 8 words
// held in registers, longer ones in memory, up to an 8-bit field's 254
// check words) gives the words the first, logarithmic division gives.
// The same for the 10- and 12-bit fields' tables of 4-bit pieces.
void testProductDivision() {
    std::vector<size_t> counts;
    for (size_t k = 1; k <= 72; ++k) counts.push_back(k);
    for (size_t k : {100, 160, 220, 254, 600, 1000, 1664}) counts.push_back(k);
    std::mt19937 random(4);
    for (int width : {4, 6, 8, 10, 12}) {
        const GaloisField& field = *galoisField(width);
        bool same = true;
        for (size_t k : counts) {
            if (k >= field.order) continue;
            const size_t n = 1 + random() % std::min<size_t>(field.order - k, 60);
            std::vector<uint16_t> data(n);
            for (auto& w : data) w = static_cast<uint16_t>(random() & field.order);
            const std::vector<uint16_t> byLogs = checkWords(field, data.data(), n, k);
            const std::vector<uint16_t> byTable = checkWords(field, data.data(), n, k);
            same &= byTable == byLogs && byTable.size() == k;
            std::vector<uint16_t> codeword = data;
            codeword.insert(codeword.end(), byTable.begin(), byTable.end());
            same &= evaluatePolynomial(field, codeword.data(), codeword.size(), field.exp[k]) == 0;
        }
        check(same, "GF(2^" + std::to_string(width) + ") check words by the product table equal those by "
                    "logarithms");
    }
}

// Symbols of several sizes in turn: each check count finds its own
// generator (and product table) among those a thread keeps, whether it
// was used just before, a few calls ago, or pushed out by more sizes than
// are kept.  Every codeword must vanish at its own k roots.
void testGeneratorsInTurn() {
    std::mt19937 random(5);
    const GaloisField& field = *galoisField(8);
    const std::vector<std::vector<size_t>> turns = {{22, 30}, {5, 17, 22, 30, 41, 64, 9}};
    for (const std::vector<size_t>& turn : turns) {
        bool vanish = true;
        for (int round = 0; round < 4; ++round)
            for (size_t k : turn) {
                std::vector<uint16_t> codeword(1 + random() % 60);
                for (auto& w : codeword) w = static_cast<uint16_t>(random() & field.order);
                const std::vector<uint16_t> check = checkWords(field, codeword.data(), codeword.size(), k);
                codeword.insert(codeword.end(), check.begin(), check.end());
                for (size_t i = 1; i <= k; ++i)
                    vanish &= evaluatePolynomial(field, codeword.data(), codeword.size(), field.exp[i]) == 0;
            }
        check(vanish, std::to_string(turn.size()) + " check counts in turn each get their own generator");
    }
}

std::vector<uint8_t> bitsOf(const std::string& text) {
    std::vector<uint8_t> bits;
    for (char c : text) bits.push_back(c == '1');
    return bits;
}

std::vector<uint16_t> words(std::initializer_list<const char*> texts) {
    std::vector<uint16_t> out;
    for (const char* t : texts) out.push_back(static_cast<uint16_t>(std::strtoul(t, nullptr, 2)));
    return out;
}

void testStuffing() {
    auto stuff = [](const std::string& text, int width) {
        const std::vector<uint8_t> bits = bitsOf(text);
        return stuffBits(bits.data(), bits.size(), width);
    };
    check(stuff("", 6).empty(), "empty stream, no word");
    check(stuff("101010", 6) == words({"101010"}), "plain word");
    check(stuff("000001", 6) == words({"000001", "111110"}), "five zeros get a 1, the next bit waits");
    check(stuff("00000", 6) == words({"000001"}), "five zeros at the end");
    check(stuff("111111", 6) == words({"111110", "111110"}), "five ones get a 0; the waiting 1 is padded");
    check(stuff("0101", 6) == words({"010111"}), "padding with ones");
    check(stuff("01111", 6) == words({"011111"}), "padding that does not fill the head");
    check(stuff("1111", 6) == words({"111110"}), "padding that makes the head all ones");
    check(stuff("0000000", 8) == words({"00000001"}), "width 8");
    check(stuff("11111111111", 12) == words({"111111111110"}), "width 12");

    // On random streams: no word is all zeros or all ones, and removing the
    // stuffed bits gives back the stream followed by padding ones only.
    std::mt19937 random(3);
    for (int width : {6, 8, 10, 12}) {
        bool ok = true;
        for (int trial = 0; trial < 300; ++trial) {
            std::vector<uint8_t> bits(random() % 300);
            const int bias = static_cast<int>(random() % 4);  // long runs are where stuffing happens
            for (auto& b : bits) b = bias == 0 ? random() & 1 : (random() % 16 != 0) == (bias == 1);
            const std::vector<uint16_t> out = stuffBits(bits.data(), bits.size(), width);
            ok &= out.size() == stuffedWordCount(bits.data(), bits.size(), width);
            // The packed form, with garbage past the stream in the last byte, stuffs alike.
            std::vector<uint8_t> packed((bits.size() + 7) / 8, 0);
            for (size_t k = 0; k < bits.size(); ++k) packed[k / 8] |= static_cast<uint8_t>(bits[k] << (k % 8));
            if (bits.size() % 8 != 0) packed.back() |= static_cast<uint8_t>(0xFF << (bits.size() % 8));
            ok &= stuffPackedBits(packed.data(), bits.size(), width) == out;
            ok &= stuffedPackedWordCount(packed.data(), bits.size(), width) == out.size();
            const uint32_t full = (1u << width) - 1;
            std::vector<uint8_t> back;
            for (uint16_t w : out) {
                ok &= w != 0 && w != full;
                const uint32_t head = w >> 1;
                const bool stuffed = head == 0 || head == (full >> 1);
                for (int j = width - 1; j >= (stuffed ? 1 : 0); --j) back.push_back((w >> j) & 1);
            }
            ok &= back.size() >= bits.size() && back.size() < bits.size() + static_cast<size_t>(width);
            for (size_t i = 0; i < back.size(); ++i) ok &= i < bits.size() ? back[i] == bits[i] : back[i] == 1;
        }
        check(ok, "random streams unstuff to themselves, width " + std::to_string(width));
    }
}

void testShapes() {
    const int compactSizes[] = {15, 19, 23, 27};
    const int compactWords[] = {17, 40, 51, 76};
    for (int l = 1; l <= 4; ++l) {
        const SymbolShape s = symbolShape(true, l);
        check(s.size == compactSizes[l - 1] && s.totalWords == compactWords[l - 1],
              "compact " + std::to_string(l) + " layers: size and codewords");
    }
    // Full symbols: 19 to 151 modules, grid lines every 16 from the centre.
    const int fullWords[] = {21, 48, 60, 88, 120, 156, 196, 240, 230, 272, 316, 364, 416, 470, 528, 588,
                             652, 720, 790, 864, 940, 1020, 920, 992, 1066, 1144, 1224, 1306, 1392, 1480, 1570, 1664};
    bool sizes = true;
    for (int l = 1; l <= 32; ++l) {
        const SymbolShape s = symbolShape(false, l);
        const int base = 14 + 4 * l;
        const int lines = 2 * ((s.size / 2) / 16);  // grid lines off the centre line
        sizes &= s.size == base + 1 + lines;
        check(s.totalWords == fullWords[l - 1], "full " + std::to_string(l) + " layers: codewords");
    }
    check(sizes && symbolShape(false, 1).size == 19 && symbolShape(false, 32).size == 151, "full sizes");
    check(wordBitsForLayers(2) == 6 && wordBitsForLayers(3) == 8 && wordBitsForLayers(8) == 8 &&
              wordBitsForLayers(9) == 10 && wordBitsForLayers(22) == 10 && wordBitsForLayers(23) == 12,
          "codeword widths");
    check(requiredCheckWords(100, 23) == 26 && requiredCheckWords(101, 23) == 27 && requiredCheckWords(40, 0) == 3,
          "23% rounded up plus 3");
    check(maxDataWords(symbolShape(true, 4), 0) == 64, "compact mode message counts at most 64 data words");
    const auto& order = symbolsBySize();
    bool sorted = order.size() == 36;
    for (size_t i = 1; i < order.size(); ++i) sorted &= order[i - 1].size <= order[i].size;
    check(sorted && order[1].compact && order[1].layers == 2 && !order[2].compact && order[2].layers == 1,
          "symbols by size, compact first");
}

int module(const AztecMatrix& m, int x, int y) { return m.modules[static_cast<size_t>(y * m.shape.size + x)]; }

// Reads the mode message back from the core's outer ring.
std::vector<uint8_t> readModeMessage(const AztecMatrix& m) {
    const bool compact = m.shape.compact;
    const int c = m.shape.size / 2;
    const int r = compact ? 5 : 7;
    std::vector<int> offsets;
    for (int d = -r + 2; d <= r - 2; ++d)
        if (compact || d != 0) offsets.push_back(d);
    std::vector<uint8_t> bits;
    for (int d : offsets) bits.push_back(static_cast<uint8_t>(module(m, c + d, c - r)));
    for (int d : offsets) bits.push_back(static_cast<uint8_t>(module(m, c + r, c + d)));
    for (auto it = offsets.rbegin(); it != offsets.rend(); ++it) bits.push_back(static_cast<uint8_t>(module(m, c + *it, c + r)));
    for (auto it = offsets.rbegin(); it != offsets.rend(); ++it) bits.push_back(static_cast<uint8_t>(module(m, c - r, c + *it)));
    return bits;
}

void testCore(const AztecMatrix& m, const std::string& name) {
    const int c = m.shape.size / 2;
    const int r = m.shape.compact ? 5 : 7;
    bool bullseye = true;
    for (int y = -r + 1; y < r; ++y)
        for (int x = -r + 1; x < r; ++x) bullseye &= module(m, c + x, c + y) == (std::max(std::abs(x), std::abs(y)) % 2 == 0);
    check(bullseye, name + ": bullseye");
    const int marks[4] = {module(m, c - r, c - r) + module(m, c - r + 1, c - r) + module(m, c - r, c - r + 1),
                          module(m, c + r, c - r) + module(m, c + r - 1, c - r) + module(m, c + r, c - r + 1),
                          module(m, c + r, c + r) + module(m, c + r - 1, c + r) + module(m, c + r, c + r - 1),
                          module(m, c - r, c + r) + module(m, c - r + 1, c + r) + module(m, c - r, c + r - 1)};
    check(marks[0] == 3 && marks[1] == 2 && marks[2] == 1 && marks[3] == 0, name + ": orientation marks");
}

void testSymbols() {
    std::mt19937 random(4);
    for (const SymbolShape& shape : symbolsBySize()) {
        const std::string name = std::string(shape.compact ? "compact " : "full ") + std::to_string(shape.layers);
        // A stream that just fits at 23%.
        const int data = maxDataWords(shape, 23);
        std::vector<uint8_t> bits(static_cast<size_t>(data) * static_cast<size_t>(shape.wordBits - 1));
        for (auto& b : bits) b = random() & 1;
        SymbolRequest request;
        request.compact = shape.compact;
        request.layers = shape.layers;
        AztecMatrix m;
        const BuildStatus status = buildSymbol(bits.data(), bits.size(), request, m);
        check(status == BuildStatus::Ok && m.shape.size == shape.size && m.modules.size() == size_t(shape.size * shape.size),
              name + ": built");
        if (status != BuildStatus::Ok) continue;
        check(m.dataWords + m.checkWords == shape.totalWords && m.checkWords >= requiredCheckWords(shape.totalWords, 23),
              name + ": codeword counts");
        testCore(m, name);
        check(readModeMessage(m) == modeMessage(shape.compact, shape.layers, m.dataWords), name + ": mode message");

        // Every module is in exactly one of: core, reference grid, layers.
        const int size = shape.size;
        const int c = size / 2;
        const int r = shape.compact ? 5 : 7;
        std::vector<int> owners(static_cast<size_t>(size * size), 0);
        bool gridOk = true;
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x) {
                const bool inCore = std::abs(x - c) <= r && std::abs(y - c) <= r;
                const bool onGrid = !shape.compact && ((x - c) % 16 == 0 || (y - c) % 16 == 0);
                if (inCore || onGrid) owners[static_cast<size_t>(y * size + x)]++;
                if (onGrid && !inCore) {
                    const int along = (x - c) % 16 == 0 ? y - c : x - c;
                    const bool cross = (x - c) % 16 == 0 && (y - c) % 16 == 0;
                    gridOk &= module(m, x, y) == (cross || along % 2 == 0);
                }
            }
        check(gridOk, name + ": reference grid alternates");
        const std::vector<uint32_t> positions = layerModulePositions(shape);
        for (uint32_t p : positions) owners[p]++;
        bool once = true;
        for (int o : owners) once &= o == 1;
        check(once, name + ": layers, core and grid tile the symbol");

        // The layers hold the leading unused bits, then data and check words.
        const int lead = shape.totalBits % shape.wordBits;
        bool lead0 = true;
        for (int i = 0; i < lead; ++i) lead0 &= m.modules[positions[static_cast<size_t>(i)]] == 0;
        std::vector<uint16_t> read;
        for (int w = 0; w < shape.totalWords; ++w) {
            uint16_t word = 0;
            for (int j = 0; j < shape.wordBits; ++j)
                word = static_cast<uint16_t>((word << 1) | m.modules[positions[static_cast<size_t>(lead + w * shape.wordBits + j)]]);
            read.push_back(word);
        }
        const std::vector<uint16_t> stuffed = stuffBits(bits.data(), bits.size(), shape.wordBits);
        const GaloisField& field = *galoisField(shape.wordBits);
        bool codeword = lead0 && std::equal(stuffed.begin(), stuffed.end(), read.begin());
        for (int i = 1; i <= m.checkWords; ++i)
            codeword &= evaluatePolynomial(field, read.data(), read.size(), field.exp[static_cast<size_t>(i)]) == 0;
        check(codeword, name + ": layers carry the stuffed stream and a Reed–Solomon codeword");
    }
}

void testChoice() {
    std::vector<uint8_t> bits(40, 1);
    SymbolRequest automatic;
    AztecMatrix m;
    check(buildSymbol(bits.data(), bits.size(), automatic, m) == BuildStatus::Ok && m.shape.compact && m.shape.layers == 1,
          "a short stream takes the smallest symbol");
    SymbolRequest full;
    full.compact = 0;
    check(buildSymbol(bits.data(), bits.size(), full, m) == BuildStatus::Ok && !m.shape.compact && m.shape.layers == 1,
          "full on request");
    SymbolRequest tooSmall;
    tooSmall.layers = 1;
    tooSmall.compact = 1;
    std::vector<uint8_t> many(200, 0);
    check(buildSymbol(many.data(), many.size(), tooSmall, m) == BuildStatus::TooLong, "does not fit the forced layers");
    SymbolRequest noSuch;
    noSuch.compact = 1;
    noSuch.layers = 5;
    check(buildSymbol(bits.data(), bits.size(), noSuch, m) == BuildStatus::BadRequest, "no compact symbol of 5 layers");
    std::vector<uint8_t> huge(20000, 0);
    check(buildSymbol(huge.data(), huge.size(), automatic, m) == BuildStatus::TooLong, "too long for any symbol");
    check(buildSymbol(nullptr, 0, automatic, m) == BuildStatus::Ok && m.dataWords == 1, "an empty stream gets one padding word");
    // More error correction moves to a larger symbol.
    SymbolRequest strong;
    strong.ecPercent = 80;
    AztecMatrix big;
    check(buildSymbol(bits.data(), bits.size(), strong, big) == BuildStatus::Ok && big.shape.size > 15 &&
              big.checkWords * 100 >= big.shape.totalWords * 80,
          "error correction share respected");
}

void testReaderInit() {
    AztecMatrix m;
    SymbolRequest init;
    init.readerInit = true;
    std::vector<uint8_t> small(40, 1);
    check(buildSymbol(small.data(), small.size(), init, m) == BuildStatus::Ok && m.shape.compact &&
              m.shape.layers == 1 && readModeMessage(m)[2] == 1 && readModeMessage(m) == modeMessage(true, 1, m.dataWords, true),
          "reader initialisation sets the top bit of a compact symbol's word count");
    // Too long for compact 1: compact 2 cannot carry the bit, so a full symbol.
    std::vector<uint8_t> medium(100);
    for (size_t i = 0; i < medium.size(); ++i) medium[i] = static_cast<uint8_t>(i & 1);
    check(buildSymbol(medium.data(), medium.size(), init, m) == BuildStatus::Ok && !m.shape.compact &&
              readModeMessage(m)[5] == 1,
          "reader initialisation skips compact symbols of 2 to 4 layers");
    check(buildSymbol(medium.data(), medium.size(), SymbolRequest{}, m) == BuildStatus::Ok && m.shape.compact &&
              readModeMessage(m)[2] == 0,
          "no reader initialisation bit unless asked");
    std::vector<uint8_t> large(9000);
    for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i & 1);
    check(buildSymbol(large.data(), large.size(), SymbolRequest{}, m) == BuildStatus::Ok && m.shape.layers > 22 &&
              buildSymbol(large.data(), large.size(), init, m) == BuildStatus::TooLong,
          "reader initialisation refuses what only 23 layers and more hold");
    SymbolRequest compactThree = init;
    compactThree.compact = 1;
    compactThree.layers = 3;
    check(buildSymbol(small.data(), small.size(), compactThree, m) == BuildStatus::NoReaderInit,
          "reader initialisation refused in forced layers that cannot carry it");
}

void testRunes() {
    std::set<std::vector<uint8_t>> seen;
    bool ok = true;
    for (int value = 0; value < 256; ++value) {
        AztecMatrix m;
        ok &= buildRune(value, m) && m.shape.size == 11;
        std::vector<uint8_t> bits = readModeMessage(m);
        for (size_t i = 0; i < bits.size(); i += 2) bits[i] ^= 1;
        int read = 0;
        for (int i = 0; i < 8; ++i) read = (read << 1) | bits[static_cast<size_t>(i)];
        ok &= read == value && bits == modeMessage(true, (value >> 6) + 1, (value & 63) + 1);
        seen.insert(m.modules);
        if (value == 0) testCore(m, "rune 0");
    }
    check(ok && seen.size() == 256, "runes carry their value");
    AztecMatrix m;
    check(!buildRune(256, m) && !buildRune(-1, m), "rune values are 0 to 255");
}

// Every mode message's check nibbles (drawn from a table of each value
// bit's) are the Reed-Solomon check words of its data nibbles.
void testModeMessages() {
    bool ok = true;
    for (bool compact : {true, false}) {
        const int layerCount = compact ? kMaxCompactLayers : kMaxFullLayers;
        const int wordCount = compact ? 64 : 2048;
        const size_t dataNibbles = compact ? 2 : 4;
        for (int layers = 1; layers <= layerCount; ++layers)
            for (int dataWords = 1; dataWords <= wordCount; ++dataWords) {
                const std::vector<uint8_t> bits = modeMessage(compact, layers, dataWords);
                std::vector<uint16_t> nibbles(bits.size() / 4, 0);
                for (size_t i = 0; i < bits.size(); ++i)
                    nibbles[i / 4] = static_cast<uint16_t>((nibbles[i / 4] << 1) | bits[i]);
                const std::vector<uint16_t> check =
                    checkWords(*galoisField(4), nibbles.data(), dataNibbles, nibbles.size() - dataNibbles);
                uint32_t value = 0;
                for (size_t i = 0; i < dataNibbles; ++i) value = (value << 4) | nibbles[i];
                const uint32_t expected = (static_cast<uint32_t>(layers - 1) << (compact ? 6 : 11)) |
                                          static_cast<uint32_t>(dataWords - 1);
                ok &= value == expected &&
                      std::equal(check.begin(), check.end(), nibbles.begin() + static_cast<long>(dataNibbles));
            }
    }
    check(ok, "mode messages carry Reed-Solomon check nibbles of their value");
}

// zlib's inflate of a whole stream, or an empty vector when it refuses it.
std::vector<uint8_t> inflated(const std::vector<uint8_t>& stream, size_t size) {
    std::vector<uint8_t> data(size + 1);
    uLongf length = static_cast<uLongf>(data.size());
    if (uncompress(data.data(), &length, stream.data(), static_cast<uLong>(stream.size())) != Z_OK) return {};
    data.resize(length);
    return data;
}

// Undoes the filters None (0) and Up (2).
std::vector<std::vector<uint8_t>> unfilter(const std::vector<uint8_t>& image, size_t rowBytes) {
    std::vector<std::vector<uint8_t>> rows;
    for (size_t at = 0; at < image.size(); at += rowBytes) {
        std::vector<uint8_t> row(image.begin() + static_cast<long>(at) + 1, image.begin() + static_cast<long>(at + rowBytes));
        if (image[at] == 2 && !rows.empty())
            for (size_t i = 0; i < row.size(); ++i) row[i] = static_cast<uint8_t>(row[i] + rows.back()[i]);
        else if (image[at] != 0)
            row.clear();  // a filter the writer does not use
        rows.push_back(row);
    }
    return rows;
}

void testRaster() {
    const uint8_t modules[4] = {1, 0, 0, 1};
    const std::vector<uint8_t> image = inflated(pngImageData(modules, 2, 3, 1, true), 12 * 3);
    // 12 pixels wide: 2 bytes a row plus the filter byte, 12 rows.
    bool ok = image.size() == 12 * 3;
    const uint8_t expected[4][2] = {{0x00, 0x00}, {0x1C, 0x00}, {0x03, 0x80}, {0x00, 0x00}};
    const auto rows = unfilter(image, 3);
    for (int row = 0; row < 12 && ok; ++row) {
        ok &= rows[static_cast<size_t>(row)].size() == 2 && rows[static_cast<size_t>(row)][0] == expected[row / 3][0] &&
              (rows[static_cast<size_t>(row)][1] & 0xF0) == expected[row / 3][1];
        ok &= image[static_cast<size_t>(row * 3)] == 0;  // every row unfiltered: repeats are matches
    }
    check(ok, "image data: scale, border, bit order and filters");
    const std::vector<uint8_t> inverted = inflated(pngImageData(modules, 2, 3, 1, false), 12 * 3);
    const auto invertedRows = unfilter(inverted, 3);
    check(invertedRows.size() == 12 && invertedRows[3][0] == static_cast<uint8_t>(~0x1C) && invertedRows[0][0] == 0xFF,
          "image data with dark as 0");
    check(inflated(pngImageData(modules, 2, 1, 0, true), 4).size() == 2 * 2, "scale 1, no border");
    const uint8_t cells[9] = {1, 1, 0, 0, 1, 1, 1, 0, 1};
    check(svgPathString(cells, 3, 2) == "M2 2h2v1h-2zM3 3h2v1h-2zM2 4h1v1h-1zM4 4h1v1h-1z", "SVG path: one rectangle per run");
    check(svgPathString(cells, 0, 0).empty(), "SVG path of nothing");
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    bool sameCrc = chunkCrc(digits, sizeof digits) == 0xCBF43926u;
    std::vector<uint8_t> noise(1000);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    for (size_t count : {size_t(0), size_t(1), size_t(13), noise.size()})
        sameCrc &= chunkCrc(noise.data(), count) == crc32(0, noise.data(), static_cast<uInt>(count));
    check(sameCrc, "chunk CRC: the check value, and zlib's crc32 on other bytes");
}


// Byte k + 1 appears Fibonacci(k) times, interleaved so that few repeat:
// the Huffman code of such counts is deeper than DEFLATE's 15 bits, so the
// writer must limit its lengths and keep the code complete.
void testDeflateLimitsCodeLengths() {
    std::vector<long> left = {1, 1};
    while (left.size() < 26) left.push_back(left[left.size() - 1] + left[left.size() - 2]);
    std::vector<uint8_t> data;
    for (bool more = true; more;) {
        more = false;
        for (size_t k = 0; k < left.size(); ++k)
            if (left[k] > 0) {
                data.push_back(static_cast<uint8_t>(k + 1));
                more |= --left[k] > 0;
            }
    }
    const size_t rowBytes = 500;  // short enough that equal rows are copied as they are
    data.resize(data.size() / rowBytes * rowBytes);
    std::vector<const uint8_t*> rows;
    for (size_t at = 0; at < data.size(); at += rowBytes) rows.push_back(&data[at]);
    std::vector<uint8_t> stream;
    deflateRows(rows, rowBytes, stream);
    check(inflated(stream, data.size()) == data, "deflate: codes deeper than 15 bits are limited");
}

// Rows of two bytes (a picture 1 to 8 pixels wide) repeat in pieces too
// short for a match; wide rows repeat Up-filtered.
void testDeflateRowWidths() {
    const uint8_t narrow[2] = {0, 0xA5};
    std::vector<const uint8_t*> rows(2, narrow);
    std::vector<uint8_t> stream;
    deflateRows(rows, 2, stream);
    check(inflated(stream, 4) == std::vector<uint8_t>{0, 0xA5, 0, 0xA5}, "deflate: a repeated row of two bytes");
    std::vector<uint8_t> wide(600, 0x0F);
    wide[0] = 0;
    rows.assign(3, wide.data());
    stream.clear();
    deflateRows(rows, wide.size(), stream);
    std::vector<uint8_t> expected = wide, up(wide.size(), 0);
    up[0] = 2;
    expected.insert(expected.end(), up.begin(), up.end());
    expected.insert(expected.end(), up.begin(), up.end());
    check(inflated(stream, expected.size()) == expected, "deflate: wide rows repeat Up-filtered");
}

}  // namespace

int main() {
    testFields();
    testReedSolomon();
    testProductDivision();
    testGeneratorsInTurn();
    testStuffing();
    testShapes();
    testSymbols();
    testChoice();
    testReaderInit();
    testRunes();
    testModeMessages();
    testRaster();
    testDeflateLimitsCodeLengths();
    testDeflateRowWidths();
    return testing::finish();
}
