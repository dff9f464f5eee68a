#include "symbol_layout.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>

#include "bit_stuffing.hpp"
#include "reed_solomon.hpp"

namespace quillbank::aztec {

namespace {

// The size of the symbol without its reference grid.
int baseSize(bool compact, int layers) { return (compact ? 11 : 14) + 4 * layers; }

// Radius of the core's outer ring (orientation marks and mode message).
int coreRadius(bool compact) { return compact ? 5 : 7; }

// Draws on modules that are already size * size (see blankGrid).
class ModuleGrid {
public:
    ModuleGrid(std::vector<uint8_t>& modules, int size) : modules_(modules), size_(size) {}
    void set(int x, int y, bool dark) {
        modules_[static_cast<size_t>(y) * static_cast<size_t>(size_) + static_cast<size_t>(x)] = dark ? 1 : 0;
    }
    int size() const { return size_; }

private:
    std::vector<uint8_t>& modules_;
    int size_;
};

ModuleGrid blankGrid(std::vector<uint8_t>& modules, int size) {
    modules.assign(static_cast<size_t>(size) * static_cast<size_t>(size), 0);
    return ModuleGrid(modules, size);
}

// Modules of the reference grid alternate, dark where the distance to the
// centre along the line is even; the centre lines run through the core too.
void drawReferenceGrid(ModuleGrid& grid) {
    const int size = grid.size();
    const int centre = size / 2;
    for (int offset = 0; offset <= centre; offset += 16) {
        for (int k = 0; k < size; ++k) {
            const bool dark = (std::abs(k - centre) % 2) == 0;
            grid.set(centre - offset, k, dark);
            grid.set(centre + offset, k, dark);
            grid.set(k, centre - offset, dark);
            grid.set(k, centre + offset, dark);
        }
    }
}

// The bullseye: square rings alternating dark and light out from a dark
// centre; the ring just outside it is cleared for the mode message.
void drawBullseye(ModuleGrid& grid, bool compact) {
    const int centre = grid.size() / 2;
    const int radius = coreRadius(compact);
    for (int y = -radius; y <= radius; ++y)
        for (int x = -radius; x <= radius; ++x) {
            const int ring = std::max(std::abs(x), std::abs(y));
            grid.set(centre + x, centre + y, ring < radius && ring % 2 == 0);
        }
}

// Orientation marks on the core's corners: three dark modules at the top
// left, two at the top right, one at the bottom right, none at the bottom left.
void drawOrientation(ModuleGrid& grid, bool compact) {
    const int c = grid.size() / 2;
    const int r = coreRadius(compact);
    grid.set(c - r, c - r, true);
    grid.set(c - r + 1, c - r, true);
    grid.set(c - r, c - r + 1, true);
    grid.set(c + r, c - r, true);
    grid.set(c + r, c - r + 1, true);
    grid.set(c + r, c + r - 1, true);
}

// The mode message runs clockwise from the top left: along the top, down the
// right, back along the bottom and up the left side.  Full symbols skip the
// reference grid's centre lines.  Calls visit(bitIndex, x, y) for each of
// its 28 or 40 modules.
template <typename Visit>
void forEachModeModule(int size, bool compact, Visit visit) {
    const int c = size / 2;
    const int r = coreRadius(compact);
    const int perSide = compact ? 7 : 10;
    for (int i = 0; i < perSide; ++i) {
        const int offset = compact ? c - 3 + i : c - 5 + i + i / 5;
        const int mirrored = 2 * c - offset;
        const size_t at = static_cast<size_t>(i);
        const size_t side = static_cast<size_t>(perSide);
        visit(at, offset, c - r);
        visit(at + side, c + r, offset);
        visit(at + 2 * side, mirrored, c + r);
        visit(at + 3 * side, c - r, mirrored);
    }
}

void drawModeMessage(ModuleGrid& grid, bool compact, const uint8_t* bits) {
    forEachModeModule(grid.size(), compact, [&](size_t at, int x, int y) { grid.set(x, y, bits[at]); });
}

// Where each row and column of the symbol without its grid lands in the
// symbol: full symbols step over every 16th line from the centre.
std::vector<int> gridSkippingMap(bool compact, int layers, int size) {
    const int base = baseSize(compact, layers);
    std::vector<int> map(static_cast<size_t>(base));
    if (compact) {
        for (int i = 0; i < base; ++i) map[static_cast<size_t>(i)] = i;
        return map;
    }
    const int baseCentre = base / 2;
    const int centre = size / 2;
    for (int i = 0; i < baseCentre; ++i) {
        const int offset = i + i / 15 + 1;
        map[static_cast<size_t>(baseCentre - i - 1)] = centre - offset;
        map[static_cast<size_t>(baseCentre + i)] = centre + offset;
    }
    return map;
}

// The layers, outermost first.  Each layer is four bands two modules wide
// laid like a pinwheel: down the left side, right along the bottom, up the
// right side and left along the top; along a band the bits go in pairs, the
// outer module of each pair first.  Calls visit(bitIndex, x, y) for every
// module of the layers.
template <typename Visit>
void forEachLayerModule(const SymbolShape& shape, Visit visit) {
    const std::vector<int> map = gridSkippingMap(shape.compact, shape.layers, shape.size);
    auto m = [&map](int index) { return map[static_cast<size_t>(index)]; };
    const int base = baseSize(shape.compact, shape.layers);
    size_t position = 0;
    for (int i = 0; i < shape.layers; ++i) {
        const int bandLength = (shape.layers - i) * 4 + (shape.compact ? 9 : 12);
        const int low = 2 * i;
        const int high = base - 1 - low;
        const size_t band = 2 * static_cast<size_t>(bandLength);
        for (int j = 0; j < bandLength; ++j) {
            for (int k = 0; k < 2; ++k) {
                const size_t at = position + 2 * static_cast<size_t>(j) + static_cast<size_t>(k);
                visit(at, m(low + k), m(low + j));
                visit(at + band, m(low + j), m(high - k));
                visit(at + 2 * band, m(high - k), m(high - j));
                visit(at + 3 * band, m(high - j), m(low + k));
            }
        }
        position += 4 * band;
    }
}

// The bits of a mode message, first bit first, in storage of its own: one
// is drawn for every symbol, and no allocation is needed for 40 bits.
struct ModeBits {
    std::array<uint8_t, 40> bits;
    size_t count;  // 28 (compact, rune) or 40 (full)
};

// The check nibbles of a mode message value, packed first nibble highest.
uint32_t modeChecks(uint32_t value, size_t dataNibbles, size_t checkNibbles) {
    std::array<uint16_t, 10> nibbles{};  // data then check: at most 4 + 6
    for (size_t i = 0; i < dataNibbles; ++i)
        nibbles[i] = static_cast<uint16_t>((value >> (4 * (dataNibbles - 1 - i))) & 0xF);
    checkWordsInto(*galoisField(4), nibbles.data(), dataNibbles, checkNibbles, nibbles.data() + dataNibbles);
    uint32_t checks = 0;
    for (size_t i = 0; i < checkNibbles; ++i) checks = (checks << 4) | nibbles[dataNibbles + i];
    return checks;
}

// The two codes of mode messages: 2 data nibbles and 5 check nibbles
// (compact symbols, runes) or 4 and 6 (full symbols).  Reed-Solomon check
// words are linear in the data's bits, so the checks of a value are the
// exclusive or of those of its set bits, worked out once.
struct ModeCode {
    size_t dataNibbles;
    size_t checkNibbles;
    std::array<uint32_t, 16> checksOfBit;  // the checks of value 1 << b

    ModeCode(size_t data, size_t check) : dataNibbles(data), checkNibbles(check), checksOfBit() {
        for (size_t b = 0; b < 4 * data; ++b) checksOfBit[b] = modeChecks(1u << b, data, check);
    }

    // The message of `value`, its first bit highest, in 4 * (data + check) bits.
    uint64_t message(uint32_t value) const {
        uint32_t checks = 0;
        for (size_t b = 0; b < 4 * dataNibbles; ++b) checks ^= checksOfBit[b] & (0u - ((value >> b) & 1u));
        return (static_cast<uint64_t>(value) << (4 * checkNibbles)) | checks;
    }
};

const ModeCode& modeCode(bool compact) {
    static const ModeCode compactCode(2, 5), fullCode(4, 6);
    return compact ? compactCode : fullCode;
}

// The mode message of a symbol as one number, its first bit highest, and
// its bit count.
uint64_t symbolModeMessage(bool compact, int layers, int dataWords, bool readerInit, size_t& count) {
    const uint32_t l = static_cast<uint32_t>(layers - 1);
    uint32_t w = static_cast<uint32_t>(dataWords - 1);
    if (readerInit) w |= compact ? 1u << 5 : 1u << 10;
    count = compact ? 28 : 40;
    return modeCode(compact).message(compact ? (l << 6) | w : (l << 11) | w);
}

ModeBits bitsOf(uint64_t message, size_t count) {
    ModeBits out{{}, count};
    for (size_t i = 0; i < count; ++i) out.bits[i] = static_cast<uint8_t>((message >> (count - 1 - i)) & 1);
    return out;
}

// The mode message of a symbol; see modeMessage.
ModeBits symbolModeBits(bool compact, int layers, int dataWords, bool readerInit) {
    size_t count;
    const uint64_t message = symbolModeMessage(compact, layers, dataWords, readerInit, count);
    return bitsOf(message, count);
}

// The mode message of a rune; see runeModeMessage.
ModeBits runeModeBits(int value) {
    ModeBits mode = bitsOf(modeCode(true).message(static_cast<uint32_t>(value)), 28);
    for (size_t i = 0; i < mode.count; i += 2) mode.bits[i] ^= 1;
    return mode;
}

std::vector<uint8_t> bitVector(const ModeBits& mode) { return {mode.bits.begin(), mode.bits.begin() + mode.count}; }

std::vector<SymbolShape> allShapesBySize() {
    std::vector<SymbolShape> shapes;
    for (int layers = 1; layers <= kMaxCompactLayers; ++layers) shapes.push_back(symbolShape(true, layers));
    for (int layers = 1; layers <= kMaxFullLayers; ++layers) shapes.push_back(symbolShape(false, layers));
    std::stable_sort(shapes.begin(), shapes.end(), [](const SymbolShape& a, const SymbolShape& b) {
        if (a.size != b.size) return a.size < b.size;
        return a.compact && !b.compact;
    });
    return shapes;
}

int widthIndex(int wordBits) { return wordBits / 2 - 3; }  // 6, 8, 10, 12 -> 0..3

BuildStatus checkRequest(const SymbolRequest& request) {
    if (request.ecPercent < 0 || request.ecPercent > 99 || request.compact < -1 || request.compact > 1)
        return BuildStatus::BadRequest;
    if (request.layers != 0) {
        const bool compactOk = request.compact != 0 && shapeExists(true, request.layers);
        const bool fullOk = request.compact != 1 && shapeExists(false, request.layers);
        if (!compactOk && !fullOk) return BuildStatus::BadRequest;
        const bool compactInit = compactOk && canCarryReaderInit(true, request.layers);
        const bool fullInit = fullOk && canCarryReaderInit(false, request.layers);
        if (request.readerInit && !compactInit && !fullInit) return BuildStatus::NoReaderInit;
    }
    return BuildStatus::Ok;
}

// What a symbol of one shape has whatever its data: the modules of the
// reference grid, bullseye and orientation marks (the mode message ring and
// the layers light), and the module of each bit of the layers.
struct ShapeTables {
    std::vector<uint8_t> fixedModules;     // size * size
    std::vector<uint16_t> layerPositions;  // y * size + x; 151 * 151 < 2^16
    std::array<uint16_t, 40> modePositions;  // the same for each bit of the mode message
};

constexpr size_t kShapeCount = kMaxCompactLayers + kMaxFullLayers;

ShapeTables buildShapeTables(const SymbolShape& shape) {
    ShapeTables t{};
    ModuleGrid grid = blankGrid(t.fixedModules, shape.size);
    if (!shape.compact) drawReferenceGrid(grid);
    drawBullseye(grid, shape.compact);
    drawOrientation(grid, shape.compact);
    t.layerPositions.resize(static_cast<size_t>(shape.totalBits));
    const int size = shape.size;
    forEachLayerModule(shape, [&](size_t at, int x, int y) {
        t.layerPositions[at] = static_cast<uint16_t>(y * size + x);
    });
    forEachModeModule(size, shape.compact, [&](size_t at, int x, int y) {
        t.modePositions[at] = static_cast<uint16_t>(y * size + x);
    });
    return t;
}

// The tables of a shape, built on its first use (once, whichever thread
// comes first) and kept for the life of the process: every symbol of that
// shape copies and follows them instead of drawing the fixed patterns and
// walking the layers again.  They are published only when whole, so a
// build that runs out of memory leaves the shape unbuilt for the next call
// (std::call_once is not used: where the function it runs throws, some
// platforms leave the flag busy and the next caller waits for ever).
const ShapeTables& shapeTables(const SymbolShape& shape) {
    static std::array<std::atomic<const ShapeTables*>, kShapeCount> tables{};
    static std::mutex building;
    const size_t index = static_cast<size_t>(shape.compact ? shape.layers - 1 : kMaxCompactLayers + shape.layers - 1);
    const ShapeTables* built = tables[index].load(std::memory_order_acquire);
    if (built == nullptr) {
        std::lock_guard<std::mutex> lock(building);
        built = tables[index].load(std::memory_order_relaxed);
        if (built == nullptr) {
            built = new ShapeTables(buildShapeTables(shape));
            tables[index].store(built, std::memory_order_release);
        }
    }
    return *built;
}

// Each byte value as eight modules (0 or 1), its highest bit in the lowest
// byte of the number: a word's modules are then shifted out of one or two
// numbers rather than each bit being shifted and masked out of the word.
struct ByteModules {
    uint64_t of[256];
    constexpr ByteModules() : of() {
        for (int value = 0; value < 256; ++value)
            for (int bit = 0; bit < 8; ++bit)
                of[value] |= static_cast<uint64_t>((value >> (7 - bit)) & 1) << (8 * bit);
    }
};
constexpr ByteModules kByteModules;

// Sets `count` modules from the lowest bytes of `modules` on.
template <int Count>
inline void placeModules(uint64_t modules, const uint16_t* __restrict position, uint8_t* __restrict symbol) {
    for (int k = 0; k < Count; ++k) symbol[position[k]] = static_cast<uint8_t>(modules >> (8 * k));
}

// Sets the modules of each word's bits, highest first, at the positions
// from `position` on.  The width is a template argument so that the loop
// over a word's bits unrolls, and restrict tells the compiler that a
// module's store cannot change the positions, which it would otherwise
// load again after every store.
template <int Width>
void placeWords(const std::vector<uint16_t>& words, const uint16_t* __restrict position, uint8_t* __restrict modules) {
    for (const uint16_t word : words) {
        if constexpr (Width <= 8) {
            placeModules<Width>(kByteModules.of[(word << (8 - Width)) & 0xFF], position, modules);
        } else {
            placeModules<8>(kByteModules.of[(word >> (Width - 8)) & 0xFF], position, modules);
            placeModules<Width - 8>(kByteModules.of[(word << (16 - Width)) & 0xFF], position + 8, modules);
        }
        position += Width;
    }
}

}  // namespace

void drawStuffedSymbol(const SymbolShape& shape, std::vector<uint16_t> words, bool readerInit, AztecMatrix& out) {
    const int width = shape.wordBits;
    if (words.empty()) words.push_back(static_cast<uint16_t>((1u << width) - 2));  // one padding word
    const size_t dataWords = words.size();
    const size_t checkCount = static_cast<size_t>(shape.totalWords) - dataWords;
    // The check words go straight after the data words, and all are placed in one run.
    words.resize(static_cast<size_t>(shape.totalWords));
    checkWordsInto(*galoisField(width), words.data(), dataWords, checkCount, words.data() + dataWords);

    const ShapeTables& tables = shapeTables(shape);
    out.shape = shape;
    out.dataWords = static_cast<int>(dataWords);
    out.checkWords = static_cast<int>(checkCount);
    out.modules = tables.fixedModules;
    uint8_t* modules = out.modules.data();
    size_t modeCount;
    const uint64_t mode = symbolModeMessage(shape.compact, shape.layers, out.dataWords, readerInit, modeCount);
    for (size_t i = 0; i < modeCount; ++i)
        modules[tables.modePositions[i]] = static_cast<uint8_t>((mode >> (modeCount - 1 - i)) & 1);

    // The modules left over when the layers are not a whole number of
    // codewords come first, and stay light.
    const uint16_t* position = tables.layerPositions.data() + shape.totalBits % width;
    switch (width) {
        case 6: placeWords<6>(words, position, modules); break;
        case 8: placeWords<8>(words, position, modules); break;
        case 10: placeWords<10>(words, position, modules); break;
        default: placeWords<12>(words, position, modules); break;
    }
}

bool shapeExists(bool compact, int layers) {
    return layers >= 1 && layers <= (compact ? kMaxCompactLayers : kMaxFullLayers);
}

int wordBitsForLayers(int layers) {
    if (layers <= 2) return 6;
    if (layers <= 8) return 8;
    if (layers <= 22) return 10;
    return 12;
}

SymbolShape symbolShape(bool compact, int layers) {
    SymbolShape shape;
    shape.compact = compact;
    shape.layers = layers;
    const int base = baseSize(compact, layers);
    shape.size = compact ? base : base + 1 + 2 * ((base / 2 - 1) / 15);
    shape.wordBits = wordBitsForLayers(layers);
    shape.totalBits = ((compact ? 88 : 112) + 16 * layers) * layers;
    shape.totalWords = shape.totalBits / shape.wordBits;
    return shape;
}

int requiredCheckWords(int totalWords, int ecPercent) {
    return (totalWords * ecPercent + 99) / 100 + 3;
}

int maxDataWords(const SymbolShape& shape, int ecPercent) {
    const int byCheck = shape.totalWords - requiredCheckWords(shape.totalWords, ecPercent);
    return std::min(byCheck, shape.compact ? 64 : 2048);
}

const std::vector<SymbolShape>& symbolsBySize() {
    static const std::vector<SymbolShape> shapes = allShapesBySize();
    return shapes;
}

bool canCarryReaderInit(bool compact, int layers) {
    return compact ? layers == 1 : shapeExists(false, layers) && layers <= 22;
}

std::vector<uint8_t> modeMessage(bool compact, int layers, int dataWords, bool readerInit) {
    return bitVector(symbolModeBits(compact, layers, dataWords, readerInit));
}

std::vector<uint8_t> runeModeMessage(int value) { return bitVector(runeModeBits(value)); }

BuildStatus buildSymbol(const uint8_t* bits, size_t count, const SymbolRequest& request,
                        AztecMatrix& out) {
    std::vector<uint8_t> packed((count + 7) / 8, 0);
    for (size_t k = 0; k < count; ++k) packed[k >> 3] |= static_cast<uint8_t>((bits[k] & 1) << (k & 7));
    return buildSymbolPacked(packed.data(), count, request, out);
}

BuildStatus buildSymbolPacked(const uint8_t* packed, size_t count, const SymbolRequest& request,
                              AztecMatrix& out) {
    const BuildStatus checked = checkRequest(request);
    if (checked != BuildStatus::Ok) return checked;

    // Stuffed words depend only on the width: at most four stuffings, each
    // done only for a shape that could hold the stream at all (a stream of
    // n bits takes at least n / width words, stuffed or not).
    std::array<std::vector<uint16_t>, 4> stuffed;
    std::array<bool, 4> isStuffed{false, false, false, false};
    const SymbolShape* chosen = nullptr;
    for (const SymbolShape& shape : symbolsBySize()) {
        if (request.compact != -1 && shape.compact != (request.compact == 1)) continue;
        if (request.layers != 0 && shape.layers != request.layers) continue;
        if (request.readerInit && !canCarryReaderInit(shape.compact, shape.layers)) continue;
        const long most = maxDataWords(shape, request.ecPercent);
        const size_t width = static_cast<size_t>(shape.wordBits);
        if (most < 1 || static_cast<size_t>(most) < (count + width - 1) / width) continue;
        const size_t index = static_cast<size_t>(widthIndex(shape.wordBits));
        if (!isStuffed[index]) {
            stuffed[index] = stuffPackedBits(packed, count, shape.wordBits, static_cast<size_t>(shape.totalWords));
            isStuffed[index] = true;
        }
        if (std::max<size_t>(1, stuffed[index].size()) <= static_cast<size_t>(most)) {
            chosen = &shape;
            break;
        }
    }
    if (chosen == nullptr) return BuildStatus::TooLong;
    drawStuffedSymbol(*chosen, std::move(stuffed[static_cast<size_t>(widthIndex(chosen->wordBits))]),
                      request.readerInit, out);
    return BuildStatus::Ok;
}

std::vector<uint32_t> layerModulePositions(const SymbolShape& shape) {
    const std::vector<uint16_t>& positions = shapeTables(shape).layerPositions;
    return std::vector<uint32_t>(positions.begin(), positions.end());
}

bool buildRune(int value, AztecMatrix& out) {
    if (value < 0 || value > 255) return false;
    out.shape = SymbolShape{true, 0, 11, 0, 0, 0};
    out.dataWords = 0;
    out.checkWords = 0;
    ModuleGrid grid = blankGrid(out.modules, 11);
    drawBullseye(grid, true);
    drawOrientation(grid, true);
    drawModeMessage(grid, true, runeModeBits(value).bits.data());
    return true;
}

}  // namespace quillbank::aztec
