#include "symbol_reader.hpp"

#include <array>
#include <climits>

#include "reed_solomon_decoder.hpp"

namespace quillbank::aztec {

namespace {

constexpr int kCompactFinderRadius = 4;  // dark rings at 0, 2, 4
constexpr int kFullFinderRadius = 6;     // dark rings at 0, 2, 4, 6

// The grid seen from a symbol's centre, the right way up: (dx, dy) offsets
// go through one of the eight turns and mirror images of the square.
struct View {
    const ModuleGrid* grid;
    int cx, cy;
    int xx, xy, yx, yy;  // x = cx + xx * dx + xy * dy, y = cy + yx * dx + yy * dy

    // The cell at (dx, dy): kLightCell, kDarkCell, kUnreadableCell, or -1
    // outside the grid.
    int at(int dx, int dy) const {
        const int x = cx + xx * dx + xy * dy, y = cy + yx * dx + yy * dy;
        if (x < 0 || y < 0 || x >= grid->width || y >= grid->height) return -1;
        return grid->cells[static_cast<size_t>(y) * static_cast<size_t>(grid->width) + static_cast<size_t>(x)];
    }
    bool holds(int radius) const {
        return at(-radius, -radius) >= 0 && at(radius, radius) >= 0 && at(-radius, radius) >= 0 &&
               at(radius, -radius) >= 0;
    }
};

constexpr std::array<std::array<int, 4>, 8> kTransforms = {{
    {1, 0, 0, 1}, {0, -1, 1, 0}, {-1, 0, 0, -1}, {0, 1, -1, 0},   // turns
    {-1, 0, 0, 1}, {0, 1, 1, 0}, {1, 0, 0, -1}, {0, -1, -1, 0},   // mirror images
}};

// Cells of the bullseye around (x, y) out to `radius` that are not as they
// should be (dark on the even rings), stopping once past `limit`.
int finderMismatches(const ModuleGrid& grid, int x, int y, int radius, int limit) {
    if (x < radius || y < radius || x + radius >= grid.width || y + radius >= grid.height) return limit + 1;
    int wrong = 0;
    for (int d = 0; d <= radius; ++d) {
        const uint8_t want = d % 2 == 0 ? kDarkCell : kLightCell;
        for (int i = -d; i <= d; ++i) {
            const int cells[4][2] = {{x + i, y - d}, {x + i, y + d}, {x - d, y + i}, {x + d, y + i}};
            for (const auto& cell : cells)
                if (grid.cells[static_cast<size_t>(cell[1]) * static_cast<size_t>(grid.width) +
                               static_cast<size_t>(cell[0])] != want)
                    ++wrong;  // corners and ring 0 are counted more than once: a bias, not an error
            if (wrong > limit) return wrong;
        }
    }
    return wrong;
}

// The centre of the best bullseye of `radius` with at most `limit`
// mismatches; false when there is none.
bool findFinder(const ModuleGrid& grid, int radius, int limit, int& cx, int& cy) {
    int best = limit + 1;
    for (int y = radius; y + radius < grid.height; ++y)
        for (int x = radius; x + radius < grid.width; ++x) {
            const int wrong = finderMismatches(grid, x, y, radius, best - 1);
            if (wrong < best) best = wrong, cx = x, cy = y;
        }
    return best <= limit;
}

// The orientation marks around the mode message's ring (radius r), the
// right way up: three dark cells at the top left corner, two at the top
// right, one at the bottom right and none at the bottom left.
struct Mark {
    int dx, dy;  // in units of r, plus a step of one along the ring
    int stepX, stepY;
    uint8_t dark;
};
constexpr Mark kMarks[12] = {
    {-1, -1, 0, 0, 1}, {-1, -1, 1, 0, 1}, {-1, -1, 0, 1, 1},
    {1, -1, 0, 0, 1},  {1, -1, -1, 0, 0}, {1, -1, 0, 1, 1},
    {1, 1, 0, 0, 0},   {1, 1, -1, 0, 0},  {1, 1, 0, -1, 1},
    {-1, 1, 0, 0, 0},  {-1, 1, 1, 0, 0},  {-1, 1, 0, -1, 0},
};

// Turns the view so that its orientation marks read the right way up.
// False when no orientation is clearly better than the others.
bool orient(View& view, int ring) {
    int best = INT_MAX, bestCount = 0;
    View chosen = view;
    for (const auto& t : kTransforms) {
        View candidate = view;
        candidate.xx = t[0], candidate.xy = t[1], candidate.yx = t[2], candidate.yy = t[3];
        int wrong = 0;
        for (const Mark& mark : kMarks)
            wrong += candidate.at(mark.dx * ring + mark.stepX, mark.dy * ring + mark.stepY) != mark.dark;
        if (wrong < best) best = wrong, bestCount = 1, chosen = candidate;
        else if (wrong == best) ++bestCount;
    }
    view = chosen;
    return bestCount == 1 && best <= 2;
}

// The mode message's cells, clockwise from the top left of its ring,
// skipping the corners (and, in full symbols, the reference grid's centre
// lines).
std::vector<CellOffset> modeMessageCells(bool compact) {
    const int ring = compact ? 5 : 7;
    std::vector<int> along;
    for (int d = 2 - ring; d <= ring - 2; ++d)
        if (compact || d != 0) along.push_back(d);
    std::vector<CellOffset> cells;
    for (int d : along) cells.push_back({d, -ring});
    for (int d : along) cells.push_back({ring, d});
    for (auto d = along.rbegin(); d != along.rend(); ++d) cells.push_back({*d, ring});
    for (auto d = along.rbegin(); d != along.rend(); ++d) cells.push_back({-ring, *d});
    return cells;
}

struct ModeMessage {
    bool ok = false;
    int value = 0;   // the message's data bits (8 compact, 16 full)
    int repaired = 0;
};

// The mode message's words (4 bits each) repaired; `runeMask` inverts
// every other bit first, as a rune's mode message is written.
ModeMessage readModeMessage(const View& view, bool compact, bool runeMask) {
    const std::vector<CellOffset> cells = modeMessageCells(compact);
    std::vector<uint16_t> words(cells.size() / 4, 0);
    std::vector<size_t> erasures;
    for (size_t i = 0; i < cells.size(); ++i) {
        const int cell = view.at(cells[i].dx, cells[i].dy);
        if (cell != kLightCell && cell != kDarkCell) {
            if (erasures.empty() || erasures.back() != i / 4) erasures.push_back(i / 4);
            continue;
        }
        const int bit = (cell == kDarkCell) ^ (runeMask && i % 2 == 0);
        words[i / 4] = static_cast<uint16_t>(words[i / 4] | bit << (3 - i % 4));
    }
    const size_t dataWords = compact ? 2 : 4;
    ModeMessage message;
    const RepairResult repair = repairCodewords(*galoisField(4), words, words.size() - dataWords, erasures);
    if (!repair.ok) return message;
    for (size_t i = 0; i < dataWords; ++i) message.value = message.value << 4 | words[i];
    message.ok = true;
    message.repaired = repair.repaired;
    return message;
}

// Whether the symbol of that kind and layer count can carry the
// reader-initialisation bit in its mode message.
bool carriesReaderInit(bool compact, int layers) { return compact ? layers == 1 : layers <= 22; }

// Fills the shape of `out` from a normal mode message; false where it
// names no symbol.
bool shapeFromModeMessage(bool compact, int value, SymbolReading& out) {
    out.compact = compact;
    out.layers = compact ? (value >> 6) + 1 : (value >> 11) + 1;
    int words = compact ? value & 0x3F : value & 0x7FF;
    const int initBit = compact ? 0x20 : 0x400;
    if (carriesReaderInit(compact, out.layers) && (words & initBit) != 0) {
        out.readerInit = true;
        words &= ~initBit;
    }
    out.dataWords = words + 1;
    out.size = readerSymbolSize(compact, out.layers);
    const int total = readerLayerBits(compact, out.layers) / readerWordBits(out.layers);
    out.checkWords = total - out.dataWords;
    return out.checkWords >= 1;
}

// The offset from the centre of the i-th row or column of a symbol's
// layers counted without the reference grid (0 to base - 1).
int offsetOf(bool compact, int base, int u) {
    if (compact) return u - base / 2;
    const int half = base / 2;
    if (u >= half) {
        const int k = u - half;
        return k + 1 + k / 15;  // a grid line every 16 cells from the centre is skipped
    }
    const int k = half - 1 - u;
    return -(k + 1 + k / 15);
}

// Gathers the layers' codewords; cells that cannot be read make their
// word an erasure.
void readCodewords(const View& view, const SymbolReading& shape, std::vector<uint16_t>& words,
                   std::vector<size_t>& erasures) {
    const std::vector<CellOffset> cells = layerCellOffsets(shape.compact, shape.layers);
    const int width = readerWordBits(shape.layers);
    const size_t lead = cells.size() % static_cast<size_t>(width);
    words.assign(cells.size() / static_cast<size_t>(width), 0);
    for (size_t i = lead; i < cells.size(); ++i) {
        const size_t word = (i - lead) / static_cast<size_t>(width);
        const int cell = view.at(cells[i].dx, cells[i].dy);
        if (cell != kLightCell && cell != kDarkCell) {
            if (erasures.empty() || erasures.back() != word) erasures.push_back(word);
            continue;
        }
        // A word with an erased cell ends short; its value is ignored.
        words[word] = static_cast<uint16_t>(words[word] << 1 | (cell == kDarkCell));
    }
}

// The data words' bits with the stuffed bits taken out: a word whose
// first bits are all alike carries one bit fewer.  False for a word of all
// zeros or all ones, which no writer emits.
bool unstuff(const std::vector<uint16_t>& words, int dataWords, int width, std::vector<uint8_t>& bits) {
    const uint16_t mask = static_cast<uint16_t>((1u << width) - 1);
    for (int i = 0; i < dataWords; ++i) {
        const uint16_t word = words[static_cast<size_t>(i)];
        if (word == 0 || word == mask) return false;
        const uint16_t head = static_cast<uint16_t>(word >> 1);
        const int kept = head == 0 || head == (mask >> 1) ? width - 1 : width;
        for (int b = width - 1; b >= width - kept; --b) bits.push_back(static_cast<uint8_t>(word >> b & 1));
    }
    return true;
}

// Whether every cell of the ring at `radius` is light or outside the grid.
bool ringIsLight(const View& view, int radius) {
    for (int i = -radius; i <= radius; ++i)
        if (view.at(i, -radius) > 0 || view.at(i, radius) > 0 || view.at(-radius, i) > 0 || view.at(radius, i) > 0)
            return false;
    return true;
}

ReadStatus readLayers(const View& view, SymbolReading& out) {
    if (!view.holds(out.size / 2)) return ReadStatus::OutsideGrid;
    std::vector<uint16_t> words;
    std::vector<size_t> erasures;
    readCodewords(view, out, words, erasures);
    const int width = readerWordBits(out.layers);
    const RepairResult repair =
        repairCodewords(*galoisField(width), words, static_cast<size_t>(out.checkWords), erasures);
    if (!repair.ok) return ReadStatus::TooDamaged;
    out.corrected = repair.repaired;
    std::vector<uint8_t> bits;
    if (!unstuff(words, out.dataWords, width, bits)) return ReadStatus::Malformed;
    if (decodeStream(bits.data(), bits.size(), out.stream) != StreamStatus::Ok) return ReadStatus::Malformed;
    return ReadStatus::Ok;
}

}  // namespace

int readerSymbolSize(bool compact, int layers) {
    if (compact) return 11 + 4 * layers;
    const int base = 14 + 4 * layers;
    return base + 1 + 2 * ((base / 2 - 1) / 15);
}

int readerLayerBits(bool compact, int layers) {
    int bits = 0;
    for (int i = 0; i < layers; ++i) bits += 8 * (4 * (layers - i) + (compact ? 9 : 12));
    return bits;
}

int readerWordBits(int layers) { return layers <= 2 ? 6 : layers <= 8 ? 8 : layers <= 22 ? 10 : 12; }

std::vector<CellOffset> layerCellOffsets(bool compact, int layers) {
    // Layer 0 is the outermost.  Each layer is two cells deep and read in
    // four sides, counterclockwise from its top left corner: down the left,
    // right along the bottom, up the right, left along the top; each side
    // as pairs of cells across its depth, outer cell first.
    const int base = compact ? 11 + 4 * layers : 14 + 4 * layers;
    std::vector<CellOffset> cells;
    cells.reserve(static_cast<size_t>(readerLayerBits(compact, layers)));
    auto add = [&](int u, int v) { cells.push_back({offsetOf(compact, base, u), offsetOf(compact, base, v)}); };
    for (int i = 0; i < layers; ++i) {
        const int length = 4 * (layers - i) + (compact ? 9 : 12);
        const int low = 2 * i, high = base - 1 - 2 * i;
        for (int j = 0; j < length; ++j)
            for (int k = 0; k < 2; ++k) add(low + k, low + j);
        for (int j = 0; j < length; ++j)
            for (int k = 0; k < 2; ++k) add(low + j, high - k);
        for (int j = 0; j < length; ++j)
            for (int k = 0; k < 2; ++k) add(high - k, high - j);
        for (int j = 0; j < length; ++j)
            for (int k = 0; k < 2; ++k) add(high - j, low + k);
    }
    return cells;
}

ReadStatus readSymbol(const ModuleGrid& grid, SymbolReading& out) {
    out = SymbolReading{};
    if (grid.width <= 0 || grid.height <= 0 ||
        grid.cells.size() != static_cast<size_t>(grid.width) * static_cast<size_t>(grid.height))
        return ReadStatus::NoFinder;
    View view{&grid, 0, 0, 1, 0, 0, 1};
    bool compact = false;
    if (!findFinder(grid, kFullFinderRadius, 8, view.cx, view.cy)) {
        if (!findFinder(grid, kCompactFinderRadius, 4, view.cx, view.cy)) return ReadStatus::NoFinder;
        compact = true;
    }
    if (!orient(view, compact ? 5 : 7)) return ReadStatus::NoFinder;

    // A rune is 11 modules wide: its first ring outside the mode message is
    // light (or beyond the grid), where a compact symbol has data.
    if (compact && ringIsLight(view, 6)) {
        const ModeMessage rune = readModeMessage(view, true, true);
        if (!rune.ok) return ReadStatus::ModeMessage;
        out.compact = true;
        out.size = 11;
        out.rune = rune.value;
        out.modeCorrected = rune.repaired;
        return ReadStatus::Ok;
    }
    const ModeMessage message = readModeMessage(view, compact, false);
    if (!message.ok || !shapeFromModeMessage(compact, message.value, out)) return ReadStatus::ModeMessage;
    out.modeCorrected = message.repaired;
    return readLayers(view, out);
}

}  // namespace quillbank::aztec
