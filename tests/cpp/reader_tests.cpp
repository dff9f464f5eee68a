// Tests of the reader's core: Reed–Solomon repair against the writer's
// check words, the reader's layer geometry against the writer's (written
// apart, so each checks the other), the stream decoder on hand-written
// streams, and whole symbols read back turned, mirrored and damaged.
#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "reed_solomon.hpp"
#include "reed_solomon_decoder.hpp"
#include "stream_decoder.hpp"
#include "symbol_layout.hpp"
#include "symbol_reader.hpp"

using namespace quillbank::aztec;

namespace {

using testing::check;

// A block of random data words and their check words.
std::vector<uint16_t> randomBlock(const GaloisField& field, size_t data, size_t checks, std::mt19937& random) {
    std::vector<uint16_t> words(data);
    for (uint16_t& w : words) w = static_cast<uint16_t>(random() % (field.order + 1));
    const std::vector<uint16_t> tail = checkWords(field, words.data(), data, checks);
    words.insert(words.end(), tail.begin(), tail.end());
    return words;
}

void testRepairWithinAndBeyondReach() {
    std::mt19937 random(5);
    for (int width : {4, 6, 8, 10, 12}) {
        const GaloisField& field = *galoisField(width);
        const std::string name = "GF(2^" + std::to_string(width) + ")";
        bool repaired = true, counted = true, refusedOrOther = true;
        for (int trial = 0; trial < 200; ++trial) {
            const size_t n = std::min<size_t>(field.order, 7 + random() % 60);
            const size_t k = 3 + random() % (n / 2 - 2);
            const std::vector<uint16_t> block = randomBlock(field, n - k, k, random);
            std::vector<size_t> places(n);
            for (size_t i = 0; i < n; ++i) places[i] = i;
            std::shuffle(places.begin(), places.end(), random);
            const size_t erased = random() % (k + 1);
            const size_t errors = (k - erased) / 2;
            std::vector<uint16_t> damaged = block;
            std::vector<size_t> erasures(places.begin(), places.begin() + erased);
            for (size_t i = 0; i < erased + errors; ++i)
                damaged[places[i]] = static_cast<uint16_t>(random() % (field.order + 1));
            for (size_t i = erased; i < erased + errors; ++i)  // errors always change the word
                if (damaged[places[i]] == block[places[i]]) damaged[places[i]] ^= 1;
            int changed = static_cast<int>(erased);  // erasures count whatever was read there
            for (size_t i = erased; i < n; ++i) changed += damaged[places[i]] != block[places[i]];
            const RepairResult result = repairCodewords(field, damaged, k, erasures);
            repaired &= result.ok && damaged == block;
            counted &= result.repaired == changed;
            // One error more than the code reaches: refused, or (rarely) a
            // different codeword, never a word left half repaired.
            std::vector<uint16_t> beyond = block;
            for (size_t i = 0; i < k / 2 + 1; ++i) beyond[places[i]] ^= 1 + random() % field.order;
            const std::vector<uint16_t> before = beyond;
            const RepairResult over = repairCodewords(field, beyond, k, {});
            refusedOrOther &= over.ok ? beyond != block : beyond == before;
        }
        check(repaired, name + " repairs errors and erasures within 2e + r <= k");
        check(counted, name + " counts the words it repaired");
        check(refusedOrOther, name + " refuses damage beyond its reach, leaving the words as they were");
    }
}

void testLayoutAgreesWithWriter() {
    bool sizes = true, cells = true;
    for (int compact = 1; compact >= 0; --compact)
        for (int layers = 1; layers <= (compact ? kMaxCompactLayers : kMaxFullLayers); ++layers) {
            const SymbolShape shape = symbolShape(compact, layers);
            sizes &= readerSymbolSize(compact, layers) == shape.size && readerLayerBits(compact, layers) == shape.totalBits &&
                     readerWordBits(layers) == shape.wordBits;
            const std::vector<uint32_t> written = layerModulePositions(shape);
            const std::vector<CellOffset> read = layerCellOffsets(compact, layers);
            const int centre = shape.size / 2;
            bool same = written.size() == read.size();
            for (size_t i = 0; same && i < read.size(); ++i)
                same = written[i] == static_cast<uint32_t>((centre + read[i].dy) * shape.size + centre + read[i].dx);
            cells &= same;
        }
    check(sizes, "the reader's sizes, bit counts and word widths are the writer's");
    check(cells, "the reader gathers the layers' bits from the cells the writer put them in");
}

// Stream writing helpers for hand-made streams.
void put(std::vector<uint8_t>& bits, int value, int width) {
    for (int b = width - 1; b >= 0; --b) bits.push_back(static_cast<uint8_t>(value >> b & 1));
}

std::string text(const std::vector<uint8_t>& data) { return std::string(data.begin(), data.end()); }

void testStreamDecoding() {
    // "Hi, 42\r\n" : H (U), L/L, i, P/S ", ", D/L, 4, 2, P/S CRLF.
    std::vector<uint8_t> bits;
    put(bits, 9, 5), put(bits, 28, 5), put(bits, 10, 5), put(bits, 0, 5), put(bits, 4, 5);
    put(bits, 30, 5), put(bits, 6, 4), put(bits, 4, 4), put(bits, 0, 4), put(bits, 2, 5);
    put(bits, 0xF, 4);  // padding
    DecodedStream out;
    check(decodeStream(bits.data(), bits.size(), out) == StreamStatus::Ok && text(out.data) == "Hi, 42\r\n",
          "latches and shifts across the text modes");

    // FLG(0) first, B/S of 2 bytes, FLG(2) ECI 26, FNC1 again, then M/L @.
    bits.clear();
    put(bits, 0, 5), put(bits, 0, 5), put(bits, 0, 3);           // P/S FLG(0): GS1
    put(bits, 31, 5), put(bits, 2, 5), put(bits, 0xC3, 8), put(bits, 0x00, 8);
    put(bits, 0, 5), put(bits, 0, 5), put(bits, 2, 3), put(bits, 4, 4), put(bits, 8, 4);  // ECI 26
    put(bits, 0, 5), put(bits, 0, 5), put(bits, 0, 3);           // FNC1 later: GS
    put(bits, 29, 5), put(bits, 20, 5);                          // M/L @
    out = DecodedStream{};
    const bool flagged = decodeStream(bits.data(), bits.size(), out) == StreamStatus::Ok;
    check(flagged && out.gs1 && out.data == std::vector<uint8_t>{0xC3, 0x00, 0x1D, '@'} && out.ecis.size() == 1 &&
              out.ecis[0] == std::make_pair(size_t{2}, 26u),
          "FNC1 first, binary shift, an ECI designator at its place, FNC1 later as GS");

    // A binary shift of 40 bytes uses the long length form.
    bits.clear();
    put(bits, 31, 5), put(bits, 0, 5), put(bits, 40 - 31, 11);
    for (int i = 0; i < 40; ++i) put(bits, i, 8);
    out = DecodedStream{};
    check(decodeStream(bits.data(), bits.size(), out) == StreamStatus::Ok && out.data.size() == 40 && out.data[39] == 39,
          "binary shift with the 11-bit length");

    // M/L U/L, " ID " and "BC": symbol 2 of 3 of sequence ID, then "X".
    bits.clear();
    put(bits, 29, 5), put(bits, 29, 5), put(bits, 1, 5), put(bits, 10, 5), put(bits, 5, 5), put(bits, 1, 5);
    put(bits, 3, 5), put(bits, 4, 5), put(bits, 25, 5);
    out = DecodedStream{};
    check(decodeStream(bits.data(), bits.size(), out) == StreamStatus::Ok && out.inSequence && out.position == 2 &&
              out.count == 3 && out.hasId && out.id == "ID" && text(out.data) == "X",
          "structured-append header with an ID");

    bits.clear();
    put(bits, 0, 5), put(bits, 0, 5), put(bits, 7, 3);
    check(decodeStream(bits.data(), bits.size(), out) == StreamStatus::ReservedFlag, "FLG(7) is refused");
}

// The grid of a matrix turned a quarter `turns` times, mirrored if asked,
// with a light border.
ModuleGrid gridOf(const AztecMatrix& m, int border, int turns, bool mirror) {
    const int size = m.shape.size, side = size + 2 * border;
    ModuleGrid grid{side, side, std::vector<uint8_t>(static_cast<size_t>(side) * side, kLightCell)};
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            int u = mirror ? size - 1 - x : x, v = y;
            for (int t = 0; t < turns; ++t) {
                const int w = size - 1 - v;
                v = u, u = w;
            }
            grid.cells[static_cast<size_t>(v + border) * side + u + border] = m.modules[static_cast<size_t>(y) * size + x];
        }
    return grid;
}

void testWholeSymbols() {
    // "Hi" in every shape, read in all eight orientations.
    std::vector<uint8_t> bits;
    put(bits, 9, 5), put(bits, 28, 5), put(bits, 10, 5);
    bool all = true, shapes = true;
    for (int compact = 1; compact >= 0; --compact)
        for (int layers = 1; layers <= (compact ? 4 : 32); ++layers) {
            SymbolRequest request;
            request.compact = compact;
            request.layers = layers;
            request.readerInit = layers == 1;
            AztecMatrix matrix;
            if (buildSymbol(bits.data(), bits.size(), request, matrix) != BuildStatus::Ok) continue;
            for (int orientation = 0; orientation < 8; ++orientation) {
                SymbolReading reading;
                const ReadStatus status = readSymbol(gridOf(matrix, orientation % 3, orientation % 4, orientation >= 4), reading);
                all &= status == ReadStatus::Ok && text(reading.stream.data) == "Hi";
                shapes &= reading.compact == bool(compact) && reading.layers == layers &&
                          reading.dataWords == matrix.dataWords && reading.checkWords == matrix.checkWords &&
                          reading.readerInit == (layers == 1) && reading.corrected == 0;
            }
        }
    check(all, "every shape reads back in every orientation and border");
    check(shapes, "the mode message gives the shape, data words and reader initialisation");

    bool runes = true;
    for (int value = 0; value < 256; ++value) {
        AztecMatrix matrix;
        buildRune(value, matrix);
        SymbolReading reading;
        runes &= readSymbol(gridOf(matrix, value % 3, value % 4, value % 2), reading) == ReadStatus::Ok &&
                 reading.rune == value && reading.layers == 0;
    }
    check(runes, "every rune reads back");

    // Damage: as many wrong words as the check words repair, then unreadable
    // cells (erasures, twice as many), then too many.
    SymbolRequest request;
    request.compact = 0;
    request.layers = 5;
    AztecMatrix matrix;
    buildSymbol(bits.data(), bits.size(), request, matrix);
    const std::vector<uint32_t> cells = layerModulePositions(matrix.shape);
    const size_t lead = cells.size() % 8;
    const int reach = matrix.checkWords;
    auto damage = [&](int words, uint8_t value) {
        ModuleGrid grid = gridOf(matrix, 0, 0, false);
        for (int w = 0; w < words; ++w) {
            // Words spread over data and check words alike.
            const size_t word = static_cast<size_t>(w) * static_cast<size_t>(matrix.shape.totalWords) / (reach + 2);
            const uint32_t cell = cells[lead + word * 8];
            grid.cells[cell] = value == kUnreadableCell ? value : static_cast<uint8_t>(grid.cells[cell] ^ 1);
        }
        return grid;
    };
    SymbolReading reading;
    check(readSymbol(damage(reach / 2, 0), reading) == ReadStatus::Ok && reading.corrected == reach / 2 &&
              text(reading.stream.data) == "Hi",
          "errors up to half the check words are repaired and counted");
    check(readSymbol(damage(reach, kUnreadableCell), reading) == ReadStatus::Ok && text(reading.stream.data) == "Hi",
          "erasures up to the check words are repaired");
    check(readSymbol(damage(reach + 1, kUnreadableCell), reading) == ReadStatus::TooDamaged,
          "one erasure more is refused");

    ModuleGrid blank{40, 40, std::vector<uint8_t>(1600, kLightCell)};
    check(readSymbol(blank, reading) == ReadStatus::NoFinder, "a blank grid holds no symbol");
    ModuleGrid cut = gridOf(matrix, 0, 0, false);
    ModuleGrid half{cut.width, cut.height / 2 + 3,
                    std::vector<uint8_t>(cut.cells.begin(), cut.cells.begin() + cut.width * (cut.height / 2 + 3))};
    check(readSymbol(half, reading) != ReadStatus::Ok, "a symbol cut in half is refused");
}

// Grids with a true finder and a mode message whose check words are right
// but whose layers are noise, or whose mode message names any shape at
// all: the reader refuses them or reads something, and never reads outside
// the grid (the sanitizer build checks that).
void testHostileGrids() {
    std::mt19937 random(11);
    bool refusedOrRead = true;
    int refused = 0, trials = 0;
    for (int trial = 0; trial < 600; ++trial) {
        const bool compact = trial % 2 == 0;
        const int layers = 1 + static_cast<int>(random() % (compact ? 4 : 32));
        const int words = 1 + static_cast<int>(random() % (compact ? 64 : 2048));
        AztecMatrix matrix;
        std::vector<uint8_t> bits;
        put(bits, 9, 5);
        SymbolRequest request;
        request.compact = compact;
        request.layers = compact ? 1 + trial % 4 : 1 + trial % 32;
        if (buildSymbol(bits.data(), bits.size(), request, matrix) != BuildStatus::Ok) continue;
        // The mode message of another shape, and noise in the layers.
        const std::vector<uint8_t> mode = modeMessage(compact, layers, std::min(words, compact ? 64 : 2048));
        const int size = matrix.shape.size, c = size / 2, ring = compact ? 5 : 7;
        std::vector<int> along;
        for (int d = 2 - ring; d <= ring - 2; ++d)
            if (compact || d != 0) along.push_back(d);
        std::vector<std::pair<int, int>> cells;
        for (int d : along) cells.push_back({c + d, c - ring});
        for (int d : along) cells.push_back({c + ring, c + d});
        for (auto d = along.rbegin(); d != along.rend(); ++d) cells.push_back({c + *d, c + ring});
        for (auto d = along.rbegin(); d != along.rend(); ++d) cells.push_back({c - ring, c + *d});
        for (size_t i = 0; i < cells.size(); ++i)
            matrix.modules[static_cast<size_t>(cells[i].second * size + cells[i].first)] = mode[i];
        for (int y = 0; y < size; ++y)
            for (int x = 0; x < size; ++x)
                if (std::max(std::abs(x - c), std::abs(y - c)) > ring) matrix.modules[static_cast<size_t>(y * size + x)] = random() & 1;
        SymbolReading reading;
        const ReadStatus status = readSymbol(gridOf(matrix, trial % 3, trial % 4, false), reading);
        refusedOrRead &= status != ReadStatus::NoFinder;
        // A shape of one or two check words checks little: noise passes
        // one in 64 or 4096 times.  With three or more (what writers give)
        // it is refused.
        if (symbolShape(compact, layers).totalWords - words < 3) continue;
        refused += status != ReadStatus::Ok;
        ++trials;
    }
    check(refusedOrRead && trials > 250 && refused == trials, "noise behind a true finder and mode message is refused");
}

}  // namespace

int main() {
    testRepairWithinAndBeyondReach();
    testLayoutAgreesWithWriter();
    testStreamDecoding();
    testWholeSymbols();
    testHostileGrids();
    return testing::finish();
}
