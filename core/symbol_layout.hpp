// Whole Aztec symbols: the sizes and capacities of every symbol, the choice
// of the smallest that holds a data stream, and the drawing of its modules.
//
// A symbol is a bullseye finder pattern with orientation marks and the mode
// message around it (the core), then layers of data two modules wide
// wrapped around the core.  Compact symbols have 1 to 4 layers and an 11x11
// core; full symbols have 1 to 32 layers, a 15x15 core and a reference grid
// on every 16th row and column counted from the centre.  Runes are compact
// symbols with no layer, whose mode message carries one value of 0 to 255.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillbank::aztec {

constexpr int kMaxCompactLayers = 4;
constexpr int kMaxFullLayers = 32;

struct SymbolShape {
    bool compact;
    int layers;      // 1 to 4 (compact) or 1 to 32 (full); 0 for a rune
    int size;        // modules on a side
    int wordBits;    // codeword width: 6, 8, 10 or 12
    int totalWords;  // codewords the layers hold (data plus check)
    int totalBits;   // modules in the layers; totalBits % wordBits of them are unused
};

// Whether a symbol of that kind and layer count exists.
bool shapeExists(bool compact, int layers);

// The shape of an existing symbol (see shapeExists).
SymbolShape symbolShape(bool compact, int layers);

// The codeword width of symbols with `layers` layers.
int wordBitsForLayers(int layers);

// The fewest check words a symbol of `totalWords` codewords gets for
// `ecPercent`: that share of the codewords, rounded up, plus 3.
int requiredCheckWords(int totalWords, int ecPercent);

// The most data codewords the shape takes with `ecPercent` error correction,
// also bounded by what its mode message can count (64 compact, 2048 full).
// Zero or less where none fit.
int maxDataWords(const SymbolShape& shape, int ecPercent);

// What the caller asks of the symbol.
struct SymbolRequest {
    int compact = -1;    // -1: either kind, 0: full, 1: compact
    int layers = 0;      // 0: as few as fit
    int ecPercent = 23;  // 0 to 99
    // Sets the reader-initialisation bit of the mode message (a symbol
    // that programs the reader); only shapes that canCarryReaderInit.
    bool readerInit = false;
};

// Whether the shape's mode message has room for the reader-initialisation
// bit, the top bit of its data-word count: compact symbols of 1 layer and
// full symbols of up to 22 layers.
bool canCarryReaderInit(bool compact, int layers);

struct AztecMatrix {
    SymbolShape shape;
    int dataWords = 0;
    int checkWords = 0;
    std::vector<uint8_t> modules;  // size * size, row by row, 1 = dark
};

enum class BuildStatus {
    Ok,
    BadRequest,  // no symbol has that kind and layer count, or ecPercent is out of range
    NoReaderInit,  // reader initialisation asked of layers no symbol of that kind can carry it in
    TooLong,     // no symbol allowed by the request holds the data
};

// The symbols in the order they are tried: by size, compact first where a
// compact and a full symbol have the same size (the compact one holds more).
const std::vector<SymbolShape>& symbolsBySize();

// Chooses the smallest symbol allowed by `request` that holds the stream
// (`count` bits, one byte per bit) and draws it into `out`.
BuildStatus buildSymbol(const uint8_t* bits, size_t count, const SymbolRequest& request,
                        AztecMatrix& out);

// The same for a stream packed least significant bit first (stream bit k
// in bit k % 8 of packed[k / 8], (count + 7) / 8 bytes), as the encoders
// return it.  Bits of the last byte past the stream are ignored.
BuildStatus buildSymbolPacked(const uint8_t* packed, size_t count, const SymbolRequest& request,
                              AztecMatrix& out);

// Draws the symbol of `shape` for a data stream already cut into codewords
// of its width (stuffPackedBits), no more than maxDataWords allows:
// check words, fixed patterns, mode message and layers.  No words at all
// draws one padding word.  buildSymbol ends here once it has chosen a shape.
void drawStuffedSymbol(const SymbolShape& shape, std::vector<uint16_t> words, bool readerInit, AztecMatrix& out);

// Draws the rune of `value` (0 to 255).  False for any other value.
bool buildRune(int value, AztecMatrix& out);

// Where each bit of the layers goes: y * size + x of the module that holds
// bit i of the layers (the unused leading bits first, then the codewords).
std::vector<uint32_t> layerModulePositions(const SymbolShape& shape);

// The mode message: 28 bits (compact: 2 bits layers-1, 6 bits data
// words-1, 5 check words of 4 bits) or 40 bits (full: 5 and 11 bits, 6 check
// words), one byte per bit, first bit first.  `readerInit` sets the top bit
// of the data-word field, which the shapes of canCarryReaderInit never need
// for their count.
std::vector<uint8_t> modeMessage(bool compact, int layers, int dataWords, bool readerInit = false);

// The mode message of a rune: the value in 8 bits and 5 check words, every
// other bit inverted starting with the first.
std::vector<uint8_t> runeModeMessage(int value);

}  // namespace quillbank::aztec
