// The code tables of Aztec Code's five text modes (ISO/IEC 24778, table 3).
//
//   charTable   (mode, byte)  -> the byte's code in that mode
//   latchTable  (from, to)    -> the shortest latch sequence between modes
//   shiftTable  (from, to)    -> the shift code for one following character
//
// Each table is written below as the list of rows of the standard, so that it
// can be checked line by line, and is expanded at compile time into a flat
// array indexed by mode and byte: lookups are a single load.  A token with
// bitCount 0 marks an absent key (no present key has width 0 except the five
// same-mode latches, which are present by definition).
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>

#include "bit_token.hpp"
#include "mode.hpp"

namespace quillbank::aztec {

// ---------------------------------------------------------------------------
// Rows as the standard lists them.

struct ModePairRow {
    Mode from;
    Mode to;
    BitToken token;
};

struct CharRow {
    Mode mode;
    uint8_t byte;
    BitToken token;
};

// Shortest latch sequences; multi-code tokens hold the earlier code in the
// higher bits, each code in the width of the mode it is read in.
inline constexpr ModePairRow kLatchRows[] = {
    {Upper, Upper, {0, 0}},
    {Upper, Lower, {5, 28}},      // L/L
    {Upper, Digit, {5, 30}},      // D/L
    {Upper, Punct, {10, 958}},    // M/L, P/L
    {Upper, Mixed, {5, 29}},      // M/L
    {Lower, Upper, {9, 494}},     // D/L, U/L (4-bit)
    {Lower, Lower, {0, 0}},
    {Lower, Digit, {5, 30}},      // D/L
    {Lower, Punct, {10, 958}},    // M/L, P/L
    {Lower, Mixed, {5, 29}},      // M/L
    {Digit, Upper, {4, 14}},      // U/L
    {Digit, Lower, {9, 476}},     // U/L, L/L
    {Digit, Digit, {0, 0}},
    {Digit, Punct, {14, 15294}},  // U/L, M/L, P/L
    {Digit, Mixed, {9, 477}},     // U/L, M/L
    {Punct, Upper, {5, 31}},      // U/L
    {Punct, Lower, {10, 1020}},   // U/L, L/L
    {Punct, Digit, {10, 1022}},   // U/L, D/L
    {Punct, Punct, {0, 0}},
    {Punct, Mixed, {10, 1021}},   // U/L, M/L
    {Mixed, Upper, {5, 29}},      // U/L
    {Mixed, Lower, {5, 28}},      // L/L
    {Mixed, Digit, {10, 958}},    // U/L, D/L
    {Mixed, Punct, {5, 30}},      // P/L
    {Mixed, Mixed, {0, 0}},
};

// The six shifts the standard offers; nothing shifts into Lower, Digit or
// Mixed, and nothing shifts out of Punct.
inline constexpr ModePairRow kShiftRows[] = {
    {Upper, Punct, {5, 0}},   // P/S
    {Lower, Upper, {5, 28}},  // U/S
    {Lower, Punct, {5, 0}},   // P/S
    {Digit, Upper, {4, 15}},  // U/S
    {Digit, Punct, {4, 0}},   // P/S
    {Mixed, Punct, {5, 0}},   // P/S
};

// Single-byte character codes, in the order Upper, Lower, Digit, Punct,
// Mixed.  The ranges of consecutive codes are spelled out by makeCharRows().
struct CharRange {
    Mode mode;
    uint8_t firstByte;
    uint8_t lastByte;
    uint8_t firstCode;
};

inline constexpr CharRange kCharRanges[] = {
    {Upper, 32, 32, 1},    // space
    {Upper, 65, 90, 2},    // A..Z
    {Lower, 32, 32, 1},    // space
    {Lower, 97, 122, 2},   // a..z
    {Digit, 32, 32, 1},    // space
    {Digit, 48, 57, 2},    // 0..9
    {Digit, 44, 44, 12},   // comma
    {Digit, 46, 46, 13},   // full stop
    {Punct, 13, 13, 1},    // CR
    {Punct, 33, 47, 6},    // ! " # $ % & ' ( ) * + , - . /
    {Punct, 58, 63, 21},   // : ; < = > ?
    {Punct, 91, 91, 27},   // [
    {Punct, 93, 93, 28},   // ]
    {Punct, 123, 123, 29}, // {
    {Punct, 125, 125, 30}, // }
    {Mixed, 32, 32, 1},    // space
    {Mixed, 1, 13, 2},     // control characters 1..13
    {Mixed, 27, 31, 15},   // control characters 27..31
    {Mixed, 64, 64, 20},   // @
    {Mixed, 92, 92, 21},   // backslash
    {Mixed, 94, 96, 22},   // ^ _ `
    {Mixed, 124, 124, 25}, // |
    {Mixed, 126, 127, 26}, // ~ DEL
};

// The two-byte pairs that Punct holds as one code (codes 2 to 5): CR LF,
// ". ", ", " and ": ".  The Punct code of the pair (first, second), or 0
// when the two bytes are no pair.
constexpr uint8_t pairCode(uint8_t first, uint8_t second) {
    if (first == '\r') return second == '\n' ? 2 : 0;
    if (second != ' ') return 0;
    switch (first) {
        case '.': return 3;
        case ',': return 4;
        case ':': return 5;
        default: return 0;
    }
}

// ---------------------------------------------------------------------------
// Flat lookup arrays built from the rows at compile time.

using ModePairArray = std::array<std::array<BitToken, kModeCount>, kModeCount>;
using CharArray = std::array<std::array<BitToken, 256>, kModeCount>;

constexpr int codeWidth(Mode mode) { return mode == Digit ? 4 : 5; }

template <std::size_t N>
constexpr ModePairArray buildModePairArray(const ModePairRow (&rows)[N]) {
    ModePairArray table{};
    for (const ModePairRow& row : rows) table[row.from][row.to] = row.token;
    return table;
}

constexpr CharArray buildCharArray() {
    CharArray table{};
    for (const CharRange& range : kCharRanges) {
        for (int byte = range.firstByte; byte <= range.lastByte; ++byte) {
            uint64_t code = range.firstCode + (byte - range.firstByte);
            table[range.mode][byte] = BitToken{uint8_t(codeWidth(range.mode)), code};
        }
    }
    return table;
}

inline constexpr ModePairArray latchTable = buildModePairArray(kLatchRows);
inline constexpr ModePairArray shiftTable = buildModePairArray(kShiftRows);
inline constexpr CharArray charTable = buildCharArray();

// The bytes no mode has a character for (0, 14 to 26, 128 to 255): only
// binary shift carries them, so every stream holds them as they are.
constexpr std::array<bool, 256> buildBinaryOnly() {
    std::array<bool, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        table[byte] = true;
        for (int m = 0; m < kModeCount; ++m)
            if (charTable[m][byte].bitCount != 0) table[byte] = false;
    }
    return table;
}

inline constexpr std::array<bool, 256> kBinaryOnly = buildBinaryOnly();

// ---------------------------------------------------------------------------
// Lookups.

// Raised by a checked lookup of a key that a table lacks.
[[noreturn]] void throwMissingKey();

inline bool hasChar(Mode mode, uint8_t byte) { return charTable[mode][byte].bitCount != 0; }
inline BitToken charToken(Mode mode, uint8_t byte) { return charTable[mode][byte]; }
inline BitToken checkedCharToken(Mode mode, uint8_t byte) {
    if (!hasChar(mode, byte)) throwMissingKey();
    return charTable[mode][byte];
}

// Every (from, to) pair is a latchTable key, so there is no presence test.
inline BitToken latchToken(Mode from, Mode to) { return latchTable[from][to]; }
inline BitToken checkedLatchToken(Mode from, Mode to) {
    if (unsigned(from) >= kModeCount || unsigned(to) >= kModeCount) throwMissingKey();
    return latchTable[from][to];
}

inline bool hasShift(Mode from, Mode to) { return shiftTable[from][to].bitCount != 0; }
inline BitToken shiftToken(Mode from, Mode to) { return shiftTable[from][to]; }

// The modes that hold a byte, in mode order, with the byte's code in each:
// the candidate list of a character step, computed once for every byte.
struct CandidateList {
    uint8_t count;
    Mode modes[kModeCount];
    BitToken tokens[kModeCount];
};

using CandidateArray = std::array<CandidateList, 256>;

constexpr CandidateArray buildCandidateArray() {
    CandidateArray lists{};
    for (int byte = 0; byte < 256; ++byte) {
        CandidateList& list = lists[byte];
        for (int m = 0; m < kModeCount; ++m) {
            BitToken token = charTable[m][byte];
            if (token.bitCount == 0) continue;
            list.modes[list.count] = Mode(m);
            list.tokens[list.count] = token;
            ++list.count;
        }
    }
    return lists;
}

inline constexpr CandidateArray candidateTable = buildCandidateArray();

}  // namespace quillbank::aztec
