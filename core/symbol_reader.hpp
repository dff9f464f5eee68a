// Reading an Aztec symbol from its module grid: the reader's own account of
// the symbol, written apart from the writer's layout code.
//
// The grid may hold a light border and the symbol in any of its eight
// orientations (turned or mirrored).  The reader finds the bullseye (rings
// to radius 4 for compact symbols, 6 for full ones), tells the orientation
// from the twelve marks at the corners of the mode message's ring, repairs
// and reads the mode message (layers, data words, reader initialisation;
// or a rune's value), gathers the layers' bits in their order, repairs the
// codewords with their check words, removes the stuffed bits and decodes
// the data stream.  Cells marked unreadable become erasures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "stream_decoder.hpp"

namespace quillbank::aztec {

constexpr uint8_t kLightCell = 0;
constexpr uint8_t kDarkCell = 1;
constexpr uint8_t kUnreadableCell = 2;  // a cell whose colour could not be told

struct ModuleGrid {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> cells;  // width * height, row by row: kLightCell, kDarkCell or kUnreadableCell
};

enum class ReadStatus {
    Ok,
    NoFinder,       // no bullseye, or its orientation marks do not say which way up it is
    ModeMessage,    // the mode message is damaged beyond its check words, or names no symbol
    OutsideGrid,    // the symbol the mode message describes does not fit in the grid
    TooDamaged,     // more damage in the layers than their check words repair
    Malformed,      // the repaired data words are not a well-formed data stream
};

struct SymbolReading {
    bool compact = false;
    int layers = 0;          // 0 for a rune
    int size = 0;            // modules on a side
    int dataWords = 0;
    int checkWords = 0;      // the layers' check words (a rune has none)
    bool readerInit = false;
    int rune = -1;           // the value of a rune, else -1
    int corrected = 0;       // codewords of the layers that were repaired
    int modeCorrected = 0;   // words of the mode message that were repaired
    DecodedStream stream;
};

// Reads the symbol in `grid` into `out`.
ReadStatus readSymbol(const ModuleGrid& grid, SymbolReading& out);

// Where each bit of the layers of a symbol sits, as (x, y) offsets from the
// centre of a symbol the right way up, in reading order (the unused leading
// bits first).  Exposed for the reader's tests.
struct CellOffset {
    int dx;
    int dy;
};
std::vector<CellOffset> layerCellOffsets(bool compact, int layers);

// The size of a symbol, its layers' bit count and codeword width.
int readerSymbolSize(bool compact, int layers);
int readerLayerBits(bool compact, int layers);
int readerWordBits(int layers);

}  // namespace quillbank::aztec
