#include "codeword_optimal.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <vector>

#include "bit_token.hpp"
#include "code_tables.hpp"
#include "eci.hpp"
#include "encode_state.hpp"
#include "mode.hpp"
#include "stream_tokens.hpp"

// How the programme works
// -----------------------
// cost[c][m][s] is the fewest codewords completed by a stream that reaches
// cell c (a position, or a flag after it, numbered as in encodeOptimal)
// latched in mode m with open codeword s.  Position j is filled by pulling
// its character and pair arrivals from the cells before it (runs from
// earlier starts were already pushed into it), closing it under single
// latches (a small shortest-path relaxation: a latch may complete a word
// or not, and chains of latches can cycle), then following its flags.
// From the last cell of j the binary runs are pushed forward: for each
// length L the header (B/S and L in 5 bits, or B/S, 00000 and L - 31 in
// 11) moves the automaton as a table says, and the L bytes as the walk of
// the bytes from j does, which is computed once per open codeword state
// and shared by every mode and starting state.  Every relaxation is strict,
// so the back pointers form no cycle.

namespace quillbank::aztec {

namespace {

// ---------------------------------------------------------------------------
// The open codeword automaton of one width.  State index 3k + kind: k bits
// in the open codeword (0 to width-1) that are all 0 (kind 0), all 1 (1) or
// mixed (2); the empty codeword is state 0.

constexpr int kZeros = 0;
constexpr int kOnes = 1;
constexpr int kMixedBits = 2;
static_assert(kZeros == 0 && kOnes == 1, "a uniform codeword's kind is its bit");
constexpr int kMaxWidth = 12;
constexpr int kMaxStates = 3 * kMaxWidth;

struct Move {
    uint8_t state;
    uint8_t words;  // codewords completed on the way
};

struct Automaton {
    int width = 0;
    int states = 0;
    Move bit[kMaxStates][2];
    Move byte[kMaxStates][256];
    // The bits each byte stuffs from each state: what it adds to words *
    // width + open bits, less its 8.
    uint8_t byteStuffing[kMaxStates][256];
    // The header of a run of each length: header[L * states + s].
    std::vector<Move> header;

    // Free bits, the relaxation behind wordsAfter (Programme): bits of any
    // values.  freeMoves[freeStart[b * states + s] ..
    // freeStart[b * states + s + 1]) are the states that b of them take s
    // to, each with the fewest codewords completed on the way;
    // freeRange(b, s) gives them.
    static constexpr int kMaxFreeBits = 40;   // above any token: a flag with six digits is 32
    static constexpr uint8_t kNoWay = 255;
    std::vector<Move> freeMoves;
    std::vector<uint32_t> freeStart;

    // The same as a dense table for up to kMaxDenseBits free bits, to go
    // the other way at vector speed: dense[b][t][s] is the fewest codewords
    // b free bits complete from s to t (kDenseNone: no way), each row of
    // kDenseLanes lanes (the states, then padding).  Signed 16-bit lanes,
    // whose minimum every x86-64 has as one instruction.
    static constexpr int kMaxDenseBits = int(kLongHeaderBits);
    static constexpr std::size_t kDenseLanes = 40;
    static constexpr int16_t kDenseNone = 0x3000;
    using DenseRow = std::array<int16_t, kDenseLanes>;
    static_assert(kDenseLanes >= kMaxStates && kDenseLanes % 8 == 0, "a row holds every state, in whole vectors");
    std::vector<DenseRow> dense;  // (kMaxDenseBits + 1) * states rows
    const DenseRow* denseFrom(int bits) const { return dense.data() + std::size_t(bits) * std::size_t(states); }

    // Where the headers take each state: landing[s * states + h], the
    // fewest codewords the header of a run of any length completes from s
    // to h (kNoWay: none lands on h), and landingStates[s] those h as a
    // bit set; longLanding the same for the long header (32 bytes or
    // more).
    std::vector<uint8_t> landing, longLanding;
    std::vector<uint64_t> landingStates;

    struct MoveRange {
        const Move* first;
        const Move* last;
        const Move* begin() const { return first; }
        const Move* end() const { return last; }
    };
    MoveRange freeRange(int bits, int s) const {
        const std::size_t at = std::size_t(bits) * std::size_t(states) + std::size_t(s);
        return {freeMoves.data() + freeStart[at], freeMoves.data() + freeStart[at + 1]};
    }

    explicit Automaton(int w) : width(w), states(3 * w) {
        for (int s = 0; s < states; ++s) {
            const int k = s / 3;
            const int kind = s % 3;
            for (int b = 0; b < 2; ++b) {
                int next = k == 0 ? b : kind == kMixedBits || kind != b ? kMixedBits : kind;
                // The first width-1 bits all equal: the stuffed bit closes the word.
                if ((k + 1 == width - 1 && next != kMixedBits) || k + 1 == width)
                    bit[s][b] = {0, 1};
                else
                    bit[s][b] = {uint8_t(3 * (k + 1) + next), 0};
            }
        }
        for (int s = 0; s < states; ++s)
            for (int value = 0; value < 256; ++value) {
                const Move move = push(uint8_t(s), BitToken{8, uint64_t(value)});
                byte[s][value] = move;
                byteStuffing[s][value] = uint8_t(move.words * w + move.state / 3 - s / 3 - 8);
            }
        // A header's last 8 bits go through the byte table: a long one is
        // 13 bits and a byte, not 21 bits one at a time.
        header.resize((kMaxBinaryRun + 1) * std::size_t(states));
        for (std::size_t length = 1; length <= kMaxBinaryRun; ++length)
            for (int s = 0; s < states; ++s) {
                const BitToken token = runHeader(length);
                const Move first = push(uint8_t(s), BitToken{uint8_t(token.bitCount - 8), token.value >> 8});
                const Move last = byte[first.state][token.value & 0xFF];
                header[length * std::size_t(states) + std::size_t(s)] = {last.state, uint8_t(first.words + last.words)};
            }
        const std::size_t n = std::size_t(states);
        landing.assign(n * n, kNoWay);
        longLanding.assign(n * n, kNoWay);
        landingStates.assign(n, 0);
        for (std::size_t length = 1; length <= kMaxBinaryRun; ++length)
            for (std::size_t s = 0; s < n; ++s) {
                const Move head = header[length * n + s];
                uint8_t& any = landing[s * n + head.state];
                any = std::min(any, head.words);
                landingStates[s] |= uint64_t(1) << head.state;
                if (length > kShortRunMax) {
                    uint8_t& longOne = longLanding[s * n + head.state];
                    longOne = std::min(longOne, head.words);
                }
            }
        countFreeBits();
    }

    // The free-bit tables, one bit at a time from every state: reach[s *
    // states + t] is the fewest codewords b bits complete from s to t.
    void countFreeBits() {
        const std::size_t n = std::size_t(states);
        std::vector<uint8_t> reach(n * n, kNoWay), next(n * n);
        for (std::size_t s = 0; s < n; ++s) reach[s * n + s] = 0;
        freeStart.push_back(0);
        DenseRow none;
        none.fill(kDenseNone);
        dense.assign(std::size_t(kMaxDenseBits + 1) * n, none);
        for (int bits = 0; bits <= kMaxFreeBits; ++bits) {
            for (std::size_t s = 0; s < n; ++s) {
                for (std::size_t t = 0; t < n; ++t) {
                    const uint8_t words = reach[s * n + t];
                    if (words == kNoWay) continue;
                    freeMoves.push_back({uint8_t(t), words});
                    if (bits <= kMaxDenseBits) dense[std::size_t(bits) * n + t][s] = int16_t(words);
                }
                freeStart.push_back(uint32_t(freeMoves.size()));
            }
            std::fill(next.begin(), next.end(), kNoWay);
            for (std::size_t s = 0; s < n; ++s)
                for (std::size_t t = 0; t < n; ++t) {
                    if (reach[s * n + t] == kNoWay) continue;
                    for (int b = 0; b < 2; ++b) {
                        const Move step = bit[t][b];
                        uint8_t& to = next[s * n + step.state];
                        to = std::min<uint8_t>(to, uint8_t(reach[s * n + t] + step.words));
                    }
                }
            reach.swap(next);
        }
    }

    Move push(uint8_t s, BitToken token) const {
        Move at{s, 0};
        for (int j = token.bitCount - 1; j >= 0; --j) {
            const Move step = bit[at.state][(token.value >> j) & 1];
            at = {step.state, uint8_t(at.words + step.words)};
        }
        return at;
    }

    // 1 when the state holds part of a codeword, which padding completes.
    static int openWord(int s) { return s >= 3 ? 1 : 0; }
};

// Built once per width, on first use (thread-safe statics), each on its
// own: a first call builds only the one it needs.
const Automaton& automaton(int width) {
    switch (width) {
        case 6: { static const Automaton six(6); return six; }
        case 8: { static const Automaton eight(8); return eight; }
        case 10: { static const Automaton ten(10); return ten; }
        case 12: { static const Automaton twelve(12); return twelve; }
        default: throw std::invalid_argument("codeword widths are 6, 8, 10 and 12");
    }
}

// ---------------------------------------------------------------------------
// The single latch codes; every longer latch is a chain of them.

struct Latch {
    Mode from;
    Mode to;
};

constexpr Latch kLatches[] = {
    {Upper, Lower}, {Upper, Mixed}, {Upper, Digit}, {Lower, Mixed}, {Lower, Digit},
    {Digit, Upper}, {Punct, Upper}, {Mixed, Upper}, {Mixed, Lower}, {Mixed, Punct},
};

constexpr bool latchesAreSingleCodes() {
    for (const Latch& latch : kLatches)
        if (latchTable[latch.from][latch.to].bitCount != (latch.from == Digit ? 4 : 5)) return false;
    return true;
}
static_assert(latchesAreSingleCodes(), "each latch of kLatches is one code of the latch table");

constexpr Mode kBinaryModes[] = {Upper, Lower, Mixed};

// ---------------------------------------------------------------------------
// The table: cost and back pointer for every (cell, mode, state).

constexpr uint32_t kUnreached = uint32_t(1) << 30;

// How a (cell, mode, state) was reached.
enum Kind : uint8_t { kStart, kChar, kShiftedChar, kPair, kRun, kFlag, kLatchStep };

struct Back {
    Kind kind;
    uint8_t fromMode;   // the mode before (a latch), or the mode shifted into (a shifted character)
    uint8_t fromState;  // the open codeword before the step
    uint16_t length;    // a run's length
};

// The entries reached of a (cell, mode) are a bit set of states, so that
// the steps out of a cell visit only those (a few, once the bound prunes)
// and nothing else of the table is read or even initialised.
class Table {
public:
    Table(std::size_t cells, int states)
        : states_(states), reached_(cells * kModeCount, 0),
          cost_(new uint32_t[cells * kModeCount * std::size_t(states)]),
          back_(new Back[cells * kModeCount * std::size_t(states)]) {}
    uint64_t reached(std::size_t cell, int mode) const { return reached_[cell * kModeCount + std::size_t(mode)]; }
    uint32_t cost(std::size_t cell, int mode, int s) const {
        return reached(cell, mode) >> s & 1 ? cost_[index(cell, mode, s)] : kUnreached;
    }
    const Back& back(std::size_t cell, int mode, int s) const { return back_[index(cell, mode, s)]; }

    // True when `words` improves the entry.
    bool relax(std::size_t cell, int mode, int s, uint32_t words, Back how) {
        const std::size_t at = index(cell, mode, s);
        uint64_t& mask = reached_[cell * kModeCount + std::size_t(mode)];
        const uint64_t bit = uint64_t(1) << s;
        if ((mask & bit) != 0 && words >= cost_[at]) return false;
        mask |= bit;
        cost_[at] = words;
        back_[at] = how;
        return true;
    }
    void drop(std::size_t cell, int mode, int s) { reached_[cell * kModeCount + std::size_t(mode)] &= ~(uint64_t(1) << s); }

private:
    std::size_t index(std::size_t cell, int mode, int s) const {
        return (cell * kModeCount + std::size_t(mode)) * std::size_t(states_) + std::size_t(s);
    }
    int states_;
    std::vector<uint64_t> reached_;
    std::unique_ptr<uint32_t[]> cost_;
    std::unique_ptr<Back[]> back_;
};

static_assert(kMaxStates <= 64, "a (cell, mode)'s states fit a 64-bit set");

// Takes the lowest state out of a non-empty bit set.
inline int nextState(uint64_t& mask) {
#if defined(__GNUC__) || defined(__clang__)
    const int s = __builtin_ctzll(mask);
#else
    int s = 0;
    while ((mask >> s & 1) == 0) ++s;
#endif
    mask &= mask - 1;
    return s;
}

// The fewest bits any stream spends on each byte: 8 for a byte only binary
// shift carries, 2 for one that can be half of a 5-bit Punct pair, else
// its shortest character code.
constexpr std::array<uint8_t, 256> buildLeastBits() {
    std::array<uint8_t, 256> least{};
    for (int byte = 0; byte < 256; ++byte) {
        least[std::size_t(byte)] = 8;
        for (int m = 0; m < kModeCount; ++m)
            if (charTable[m][byte].bitCount != 0 && charTable[m][byte].bitCount < least[std::size_t(byte)])
                least[std::size_t(byte)] = uint8_t(charTable[m][byte].bitCount);
        // A pair's second byte is LF or space; its first CR, '.', ',' or ':'.
        const uint8_t b = uint8_t(byte);
        if (pairCode(b, '\n') != 0 || pairCode(b, ' ') != 0 || pairCode('\r', b) != 0 || pairCode('.', b) != 0)
            least[std::size_t(byte)] = 2;
    }
    return least;
}
constexpr std::array<uint8_t, 256> kLeastBits = buildLeastBits();

struct Programme {
    const uint8_t* data;
    std::size_t length;
    const StreamLayout& layout;
    const Automaton& automaton;
    const uint64_t bound;  // entries that cannot end within this many codewords are dropped
    const uint64_t boundBits;  // bound * width, or the largest value when that is more
    Table table;
    std::vector<std::size_t> firstCell;  // per position
    std::vector<uint32_t> restBits;      // per position: a lower bound of the bits of the bytes from there
    std::vector<uint32_t> stuffedRest;   // per position: a lower bound of the stuffed codewords they fill
    std::vector<uint32_t> headerRest;    // per position: a lower bound of the run headers and bytes in runs to come
    std::vector<uint32_t> cellRest;      // restBits + stuffedRest + headerRest of each cell's position
    std::vector<uint32_t> runRest;       // per position q: the least over q' >= q of 8 q' + cellRest's bound at q'
    std::vector<uint32_t> cellPosition;  // per cell: its position
    std::vector<uint32_t> fewestBits;    // per cell and mode: the fewest bits of any stream on from there
    std::vector<uint32_t> runLanding;    // per cell and binary mode: the least over later cells q of 8 pos(q) + fewestBits
    std::vector<uint32_t> wordsAfter;    // per cell and open codeword: the fewest codewords any stream still completes
    std::vector<uint32_t> runWordsAfter; // per position p and open codeword: the same in a run just past byte p - 1
    std::size_t runSteps = 0;            // bytes walked in runs so far: wordsAfter is counted once they are many

    Programme(const uint8_t* d, std::size_t n, const StreamLayout& l, const Automaton& a, std::size_t atMost)
        : data(d), length(n), layout(l), automaton(a), bound(atMost),
          boundBits(atMost > UINT64_MAX / uint64_t(a.width) ? UINT64_MAX : uint64_t(atMost) * uint64_t(a.width)),
          table(n + 1 + l.flags.size(), a.states),
          firstCell(n + 1), restBits(n + 1), stuffedRest(n + 1), headerRest(n + 1), cellRest(n + 1 + l.flags.size()),
          runRest(n + 1), cellPosition(n + 1 + l.flags.size()) {
        std::size_t flag = 0;
        for (std::size_t j = 0; j <= n; ++j) {
            while (flag < l.flags.size() && l.flags[flag].position < j) ++flag;
            firstCell[j] = j + flag;
        }
        for (std::size_t j = 0, cell = 0; cell < cellPosition.size(); ++cell) {
            while (j < n && firstCell[j + 1] <= cell) ++j;
            cellPosition[cell] = uint32_t(j);
        }
    }

    // The bounds of the bytes still to come that fill prunes with, less
    // fewestBits and wordsAfter.
    void countRestBounds() {
        for (std::size_t j = length; j-- > 0;) restBits[j] = restBits[j + 1] + leastBits(data[j]);
        countStuffedRest();
        countHeaderRest();
        runRest[length] = uint32_t(8 * length);
        for (std::size_t j = length; j-- > 0;)
            runRest[j] = std::min(runRest[j + 1], uint32_t(8 * j) + restBits[j] + stuffedRest[j] + headerRest[j]);
        for (std::size_t cell = 0; cell < cellRest.size(); ++cell) {
            const std::size_t j = cellPosition[cell];
            cellRest[cell] = restBits[j] + stuffedRest[j] + headerRest[j];
        }
    }

    // The state a stream starts in: M/L then U/L for a structured-append
    // symbol.
    Move startMove() const { return automaton.push(0, layout.structuredAppend ? kAppendStart : BitToken{0, 0}); }

    // Whether the bounds prove, before any fill, that no stream ends
    // within the bound; when not, every bound that fill needs is counted.
    // The bytes' least bits and forced stuffing (cellRest) come first, at
    // a few instructions a byte: they settle most messages that no size of
    // the width holds.  Then, where at least a quarter of the bytes are 00
    // or FF, wordsAfter: there the other bounds leave room for hundreds of
    // run lengths from each start, so it would be counted at the first
    // runs anyway, and on a message a codeword or more beyond a size it
    // settles the question alone, sparing the runs walked before it.  The
    // fewest bits (counted last) rarely settle anything here: a caller
    // asks only when the shortest stream's bits fit.
    bool beyondBoundFirst() {
        countRestBounds();
        const Move start = startMove();
        if (beyondBoundBits(start.words, start.state, cellRest[0])) return true;
        std::size_t uniform = 0;
        for (std::size_t j = 0; j < length; ++j) uniform += data[j] == 0x00 || data[j] == 0xFF;
        if (uniform * kUniformShareForWordsAfterFirst >= length) {
            countWordsAfter();
            if (start.words + uint64_t(wordsAfter[start.state]) > bound) return true;
        }
        countFewestBits();
        return beyondBoundBits(start.words, start.state, restFrom(0, Upper));
    }
    static constexpr std::size_t kUniformShareForWordsAfterFirst = 4;  // a quarter of the bytes

    // wordsAfter: a lower bound of the codewords a stream still completes
    // from each cell and open codeword (the open one counted), by a
    // programme run backwards over a relaxation of the code in which only
    // the bytes of binary shift runs keep their bits.  Every other token
    // is free bits (bits of any values, Automaton::freeRange): a byte out
    // of a run that some mode holds at least its fewest bits (kLeastBits),
    // a flag its token's, a run's header its 10 bits when the run has at
    // most 31 bytes and 21 bits when it may have more (ShortRuns), and any
    // number more anywhere between (latches, shifts).  A byte only binary
    // shift carries is only ever in a run.  Each stream
    // is one way through the relaxation, at its own codewords, so none has
    // fewer; and no mode is kept, so each cell has one row of states.  What
    // it keeps exact is what the bytes' least bits lose on binary data:
    // where each run's bytes fall in the codewords, so how they stuff, and
    // the header each return to text costs.  runWordsAfter is the same in a
    // run whose bytes end before position p: ended there (wordsAfter of its
    // landing cell) or going on with byte p (no flag before it).
    //
    // It costs under a microsecond a byte, more than the whole
    // programme where the bounds above settle it (text, random bytes), so
    // it is counted only once the runs have walked
    // kRunStepsBeforeWordsAfter bytes a byte of the message: on binary data
    // whose bytes stuff, where those bounds leave room for hundreds of run
    // lengths from each start.  (Counted at once there, it settles most
    // such messages a codeword over a size without a run tried: later,
    // the runs tried before cost more than it.)
    // A lower bound prunes only entries that no stream within the bound
    // goes through, so the stream found is the same either way.
    static constexpr std::size_t kRunStepsBeforeWordsAfter = 1;

    void countWordsAfter() {
        const std::size_t cells = cellPosition.size();
        const std::size_t n = std::size_t(automaton.states);
        wordsAfter.assign(cells * n, kUnreached);
        runWordsAfter.assign((length + 1) * n, kUnreached);
        std::array<uint32_t, kMaxStates> inRun;  // in a run, before byte j + 1 (the position done last)
        inRun.fill(kUnreached);
        ShortRuns shortRuns;
        for (std::size_t c = cells; c-- > 0;) {
            uint32_t* at = &wordsAfter[c * n];
            const uint32_t* next = at + n;
            const std::size_t j = cellPosition[c];
            if (c + 1 == cells) {
                for (std::size_t s = 0; s < n; ++s) at[s] = uint32_t(Automaton::openWord(int(s)));
            } else if (j == length || c + 1 < firstCell[j + 1]) {
                const int bits = flagToken(layout.flags[c - j].eci).bitCount;
                for (std::size_t s = 0; s < n; ++s) at[s] = leastThrough(automaton.freeRange(bits, int(s)), next);
            } else {
                // The last cell of position j: its runs land at firstCell[j + 1] (the next cell) or go on.
                uint32_t* after = &runWordsAfter[(j + 1) * n];
                const bool goesOn = j + 1 < length && firstCell[j + 2] - firstCell[j + 1] == 1;
                for (std::size_t s = 0; s < n; ++s) after[s] = goesOn ? std::min(next[s], inRun[s]) : next[s];
                shortRuns.stepBack(automaton, data[j], next, goesOn);
                for (std::size_t s = 0; s < n; ++s) {
                    const Move step = automaton.byte[s][data[j]];
                    inRun[s] = step.words + after[step.state];
                }
                const bool text = !kBinaryOnly[data[j]];
                const int bits = leastBits(data[j]);
                Automaton::DenseRow least;
                least.fill(kDenseUnreached);
                if (text) leastThroughDense(bits, next, least);
                leastThroughDense(int(kShortHeaderBits), shortRuns.entry(), least);
                leastThroughDense(int(kLongHeaderBits), inRun.data(), least);
                for (std::size_t s = 0; s < n; ++s) at[s] = uint32_t(least[s]);
            }
            closeUnderFreeBits(at);
        }
    }

    // The short runs of the relaxation behind wordsAfter.  A run of 1 to 31
    // bytes has a 10-bit header, a longer one a 21-bit header.  Were every
    // header 10 bits, the relaxation could cut a long run into long pieces
    // at 10 bits a cut and so move its bytes to where they stuff least: on
    // binary data that stuffs, codewords below what any stream takes.  So
    // a run with the short header is held to 31 bytes, by counting how many
    // it may still write.  about[t][d] is the least a stream completes from
    // a run about to write the byte of the position done last, open
    // codeword t, that may write at most d bytes more (that one included;
    // lane 0 unreached); a run with the short header from there is
    // about[h][31].  Each position costs a pass of 32 lanes a state, which
    // the compiler does as whole vectors: lanes 1 to 32 are written (lane
    // 32, at most 32 bytes, is never read into a lower one, nor as an
    // entry), and lane 0 stays unreached.
    struct ShortRuns {
        static constexpr std::size_t kWritten = kShortRunMax + 1;  // lanes 1 .. 32
        static constexpr std::size_t kLanes = kWritten + 1;
        // Signed 16-bit lanes, as Automaton::dense.  A value held down to
        // kCap is still a lower bound, and kCap is far above any symbol's
        // codewords, so it prunes as the exact value would; past is at most
        // kCap, so a lane is at most kCap and one byte's codewords.
        static constexpr int16_t kCap = Automaton::kDenseNone;
        using Lanes = std::array<int16_t, kLanes>;
        using Rows = std::array<Lanes, kMaxStates>;
        // about[t] of the position done last, and the rows of the one
        // being done: each step writes one from the other and swaps them.
        std::unique_ptr<Rows> about{new Rows}, next{new Rows};
        std::array<uint32_t, kMaxStates> entered;  // about[t][31]

        ShortRuns() {
            for (Lanes& row : *about) row.fill(kCap);
            for (Lanes& row : *next) row.fill(kCap);
        }

        // From the position after j to j, whose byte is `byte`; `landing`
        // is wordsAfter of the cell after position j, where a run that
        // writes byte j last lands; it may go on with byte j + 1 when
        // `goesOn`.  Just past byte j in state u, at most d bytes more,
        // a run ends there or goes on: min(landing[u], about[u][d]).
        void stepBack(const Automaton& a, uint8_t byte, const uint32_t* landing, bool goesOn) {
            const std::size_t states = std::size_t(a.states);
            const Rows& from = *about;
            Rows& to = *next;
            for (std::size_t t = 0; t < states; ++t) {
                const Move step = a.byte[t][byte];
                const int16_t land = int16_t(std::min<uint32_t>(landing[step.state], uint32_t(kCap)));
                const int16_t words = int16_t(step.words);
                const Lanes& on = from[step.state];
                int16_t* row = to[t].data() + 1;
                if (goesOn) {
                    for (std::size_t d = 0; d < kWritten; ++d) row[d] = int16_t(words + std::min(land, on[d]));
                } else {
                    for (std::size_t d = 0; d < kWritten; ++d) row[d] = int16_t(words + land);
                }
                entered[t] = uint32_t(to[t][kShortRunMax]);
            }
            about.swap(next);
        }
        const uint32_t* entry() const { return entered.data(); }
    };

    // into[s] = the least of `into[s]` and, over the states t that `bits`
    // free bits take s to, their codewords plus after[t]: leastThrough for
    // every s at once, a column of lanes a state t.  Values are held at or
    // below kDenseNone, far above any symbol's codewords, so that a bound
    // is no smaller than they are; the sums stay below 2 * kDenseNone.
    static constexpr int16_t kDenseUnreached = 2 * Automaton::kDenseNone;
    void leastThroughDense(int bits, const uint32_t* after, Automaton::DenseRow& into) const {
        const Automaton::DenseRow* rows = automaton.denseFrom(bits);
        Automaton::DenseRow least = into;  // a local, kept in registers through the loop
        for (int t = 0; t < automaton.states; ++t) {
            const int16_t base = int16_t(std::min<uint32_t>(after[t], uint32_t(Automaton::kDenseNone)));
            const Automaton::DenseRow& words = rows[t];
            for (std::size_t s = 0; s < Automaton::kDenseLanes; ++s)
                least[s] = std::min(least[s], int16_t(words[s] + base));
        }
        into = least;
    }

    // The least of a move's codewords plus `after` at the state it reaches.
    static uint32_t leastThrough(const Automaton::MoveRange& moves, const uint32_t* after) {
        uint32_t least = kUnreached;
        for (const Move& move : moves) least = std::min(least, move.words + after[move.state]);
        return least;
    }

    // Free bits may come anywhere between tokens: a row becomes the least
    // over what any bits reach, with no codeword completed or with one
    // completed, which always leaves the empty codeword (state 0).  A bit
    // that completes none takes level k (the states 3k + kind) to level
    // k + 1: a uniform kind to the same kind or to mixed bits, mixed bits
    // to mixed bits, the empty codeword to one bit of its value; it
    // completes the codeword instead at level width - 1 and at a uniform
    // one at width - 2 (the stuffed bit).  So the levels are closed from
    // the top down, each level's three values carried up in registers
    // (the loop over Automaton::bit this replaces waited on a store and a
    // load at each of its steps).
    void closeUnderFreeBits(uint32_t* row) const {
        const int width = automaton.width;
        uint32_t zeros = kUnreached, ones = kUnreached, mixed = kUnreached;  // level k + 1, closed
        for (int k = width - 1; k >= 1; --k) {
            uint32_t* level = row + 3 * k;
            level[kZeros] = std::min(level[kZeros], std::min(zeros, mixed));
            level[kOnes] = std::min(level[kOnes], std::min(ones, mixed));
            level[kMixedBits] = std::min(level[kMixedBits], mixed);
            const bool uniformReached = k < width - 1;  // a uniform level width - 1 is never open
            zeros = uniformReached ? level[kZeros] : kUnreached;
            ones = uniformReached ? level[kOnes] : kUnreached;
            mixed = level[kMixedBits];
        }
        const uint32_t firstBit = std::min(zeros, ones);
        for (int s = 0; s < 3; ++s) row[s] = std::min(row[s], firstBit);
        const uint32_t again = 1 + row[0];
        for (int s = 0; s < automaton.states; ++s) row[s] = std::min(row[s], again);
    }

    // fewestBits: the shortest stream's bits from each cell and mode to the
    // end, by a programme run backwards over the same steps as fill's
    // (characters, shifts, pairs, flags, single latches, runs), less two of
    // their limits (a run's 2,078 bytes, and the M/L U/L that may not start
    // a plain stream), so that it can only be lower.  No stream from a cell
    // in a mode has fewer bits, and stuffing only adds: an entry whose
    // codewords so far plus these bits exceed the bound is dropped.  Near a
    // size's capacity the bound leaves room for a few bits more than a
    // shortest stream's, so only the entries of nearly shortest streams
    // are kept, where the bytes' least bits (cellRest) kept every entry
    // within tens of bits of them: on binary stretches that is what
    // spared trying each run length from each start.
    void countFewestBits() {
        const std::size_t cells = cellPosition.size();
        fewestBits.assign(cells * kModeCount, kUnreached);
        runLanding.assign(cells * 3, kUnreached);
        // Per binary mode, where the runs from the position being done land
        // (8 pos + fewestBits there): a queue of those 1 to 31 bytes on,
        // least at the front, and the least of those 32 or more bytes on.
        // A flag stops runs: both are emptied at one.
        struct Landing {
            uint32_t position;
            uint32_t bits;
        };
        constexpr std::size_t kQueue = 32;  // a power of two above kShortRunMax
        std::array<std::array<Landing, kQueue>, 3> shortRuns;
        std::array<std::size_t, 3> front{}, back{};
        std::array<uint32_t, 3> longRuns{kUnreached, kUnreached, kUnreached};
        std::size_t flag = layout.flags.size();
        std::size_t runsEnd = length;  // the furthest position the runs from here reach: the next flag's
        auto bitsAt = [&](std::size_t cell, int m) { return fewestBits[cell * kModeCount + std::size_t(m)]; };
        for (std::size_t c = cells; c-- > 0;) {
            uint32_t* at = &fewestBits[c * kModeCount];
            const std::size_t j = cellPosition[c];
            if (c + 1 == cells) {
                std::fill(at, at + kModeCount, 0);
            } else if (j == length || c + 1 < firstCell[j + 1]) {
                // A flag cell: the flag out of it is the (c - j)th.
                const uint32_t flagBits = uint32_t(flagToken(layout.flags[c - j].eci).bitCount);
                for (int m = 0; m < kModeCount; ++m)
                    at[m] = (m == Punct ? 0 : shiftTable[m][Punct].bitCount) + flagBits + bitsAt(c + 1, m);
            } else {
                // The last cell of position j; its runs land at j + 1 on.
                while (flag > 0 && layout.flags[flag - 1].position > j) runsEnd = layout.flags[--flag].position;
                if (runsEnd == j + 1) {
                    front.fill(0);
                    back.fill(0);
                    longRuns.fill(kUnreached);
                }
                const std::size_t far = j + kShortRunMax + 1;  // where the shortest long run lands
                for (std::size_t b = 0; b < 3; ++b) {
                    const int m = kBinaryModes[b];
                    auto& queue = shortRuns[b];
                    const uint32_t bits = 8 * uint32_t(j + 1) + bitsAt(c + 1, m);
                    while (back[b] > front[b] && queue[(back[b] - 1) % kQueue].bits >= bits) --back[b];
                    queue[back[b]++ % kQueue] = {uint32_t(j + 1), bits};
                    while (queue[front[b] % kQueue].position > j + kShortRunMax) ++front[b];
                    if (far <= runsEnd) longRuns[b] = std::min(longRuns[b], 8 * uint32_t(far) + bitsAt(c + far - j, m));
                }
                const uint8_t byte = data[j];
                const bool pair =
                    j + 1 < length && pairCode(byte, data[j + 1]) != 0 && firstCell[j + 2] - firstCell[j + 1] == 1;
                for (int m = 0; m < kModeCount; ++m) {
                    const uint32_t next = bitsAt(c + 1, m);
                    uint32_t best = kUnreached;
                    if (charTable[m][byte].bitCount != 0) best = charTable[m][byte].bitCount + next;
                    for (int t = 0; t < kModeCount; ++t)
                        if (shiftTable[m][t].bitCount != 0 && charTable[t][byte].bitCount != 0)
                            best = std::min<uint32_t>(best, shiftTable[m][t].bitCount + charTable[t][byte].bitCount + next);
                    if (pair)
                        best = std::min<uint32_t>(best, (m == Punct ? 0 : shiftTable[m][Punct].bitCount) + 5 + bitsAt(c + 2, m));
                    at[m] = best;
                }
                for (std::size_t b = 0; b < 3; ++b) {
                    const uint32_t shortest = shortRuns[b][front[b] % kQueue].bits;
                    const uint32_t run = std::min(10 + shortest, 21 + longRuns[b]) - 8 * uint32_t(j);
                    at[kBinaryModes[b]] = std::min(at[kBinaryModes[b]], run);
                }
            }
            // Single latches, until nothing improves (a chain is at most four).
            for (bool changed = true; changed;) {
                changed = false;
                for (const Latch& latch : kLatches) {
                    const uint32_t through = latchTable[latch.from][latch.to].bitCount + at[latch.to];
                    if (through < at[latch.from]) {
                        at[latch.from] = through;
                        changed = true;
                    }
                }
            }
        }
        // The least landing of every run from a cell on, per binary mode.
        for (std::size_t c = cells; c-- > 0;)
            for (std::size_t b = 0; b < 3; ++b) {
                const uint32_t here = 8 * cellPosition[c] + bitsAt(c, kBinaryModes[b]);
                runLanding[c * 3 + b] = c + 1 == cells ? here : std::min(here, runLanding[(c + 1) * 3 + b]);
            }
    }

    // The bits still to come from an entry of mode m at `cell`, at least.
    uint32_t restFrom(std::size_t cell, int m) const {
        return std::max(cellRest[cell], fewestBits[cell * kModeCount + std::size_t(m)]);
    }

    // Counting a stream's progress as words * width + open bits, each bit
    // adds 1 and each stuffed codeword 1 more when it completes, so a
    // stream of C codewords has C * width >= its bits + its stuffed
    // codewords, and what it adds over any part of the stream is at least
    // that part's bits.  The bytes only binary shift carries (kBinaryOnly)
    // are in every stream as they are, in runs: such bytes in a row are
    // pushed through the codeword automaton one after the other, except
    // where a run ends between two of them and the next run's header (10
    // bits or more) comes first, from whatever state.  So the least that a
    // stretch of them adds, from any state, with a header of 10 bits to any
    // state allowed before each byte, less its 8 bits a byte, is stuffing
    // that every stream pays beyond restBits; a flag ends a stretch.
    // stuffedRest[j] sums it over the stretches from byte j on (the one
    // holding j from j on).  Most of the work on long binary runs is pruned
    // by it where the data stuffs (runs of 0 or 1 bits).
    void countStuffedRest() {
        const int states = automaton.states;
        // From each state to the current stretch's end, less 8 bits a byte.
        std::array<uint32_t, kMaxStates> added{};
        std::array<uint32_t, kMaxStates> before{};
        uint32_t later = 0;    // the stretches after the current one
        uint32_t current = 0;  // the current one's, from the byte before on
        std::size_t flag = layout.flags.size();
        for (std::size_t j = length; j-- > 0;) {
            bool flagAfter = false;  // a flag between byte j and byte j + 1
            while (flag > 0 && layout.flags[flag - 1].position > j) flagAfter |= layout.flags[--flag].position == j + 1;
            if (!kBinaryOnly[data[j]] || flagAfter) {
                later += current;
                current = 0;
                added.fill(0);
            }
            if (kBinaryOnly[data[j]]) {
                uint32_t least = UINT32_MAX;
                const uint8_t value = data[j];
                for (int s = 0; s < states; ++s) {
                    before[std::size_t(s)] =
                        automaton.byteStuffing[s][value] + added[automaton.byte[s][value].state];
                    least = std::min(least, before[std::size_t(s)]);
                }
                for (int s = 0; s < states; ++s) added[std::size_t(s)] = std::min(before[std::size_t(s)], least + 10);
                current = least;
            }
            stuffedRest[j] = later + current;
        }
    }

    // What restBits leaves out of a stream from a cell at q (a token ends
    // there): the first byte only binary shift carries from q on is in a
    // run that starts at q or later, whose header (10 bits or more) nothing
    // else counts.  And the bytes some mode holds between two such bytes
    // (a group) are either all in runs, 8 bits each, or some is not, and
    // the run of the binary byte after the group starts after it, with a
    // header of its own: a group of k bytes costs at least the lesser of
    // 8k and its least bits plus 10.  Those headers are distinct (each
    // comes before its own binary byte, after the one before it), and
    // distinct from the headers that stuffedRest counts between binary
    // bytes in a row.  headerRest[q] adds the first header and what the
    // groups after the first binary byte from q on cost beyond restBits.
    void countHeaderRest() {
        uint32_t groups = 0;     // the groups after the last binary byte seen (leftmost so far)
        uint32_t groupBits = 0;  // the group being read: its least bits, and its bytes
        uint32_t groupBytes = 0;
        bool binaryAfter = false;  // a binary byte after the group being read
        for (std::size_t j = length; j-- > 0;) {
            if (kBinaryOnly[data[j]]) {
                if (binaryAfter && groupBytes > 0) groups += std::min(8 * groupBytes, groupBits + 10) - groupBits;
                groupBits = groupBytes = 0;
                binaryAfter = true;
            } else {
                groupBits += leastBits(data[j]);
                ++groupBytes;
            }
            headerRest[j] = binaryAfter ? groups + 10 : 0;
        }
    }


    static uint32_t leastBits(uint8_t byte) { return kLeastBits[byte]; }

    // Whether every stream through an entry of `words` completed codewords,
    // `s` open and `rest` bits still to come takes more codewords than the
    // bound: every codeword holds at most width of the bits, so it takes at
    // least their count over the width, rounded up, which is above the
    // bound exactly when the count is above boundBits (no division, which
    // was a good part of each run length's offers).
    bool beyondBoundBits(uint64_t words, int s, uint64_t rest) const {
        return words * uint64_t(automaton.width) + uint64_t(s / 3) + rest > boundBits;
    }

    // Relaxes an entry unless it cannot end within the bound.
    bool offer(std::size_t cell, int mode, int s, uint32_t words, Back how) {
        if (!wordsAfter.empty() && words + uint64_t(wordsAfter[cell * std::size_t(automaton.states) + std::size_t(s)]) > bound)
            return false;
        if (beyondBoundBits(words, s, restFrom(cell, mode))) return false;
        return table.relax(cell, mode, s, words, how);
    }

    // Pushes `token` from (from, m, s) into (to, target mode).
    void step(std::size_t from, int m, int s, BitToken token, std::size_t to, int target, Back how,
              BitToken prefix = BitToken{0, 0}) {
        const uint32_t words = table.cost(from, m, s);
        if (words >= kUnreached) return;
        Move first = automaton.push(uint8_t(s), prefix);
        Move last = automaton.push(first.state, token);
        offer(to, target, last.state, words + first.words + last.words, how);
    }

    void offerCharacters(std::size_t j) {
        const std::size_t to = firstCell[j];
        const uint8_t byte = data[j - 1];
        for (int m = 0; m < kModeCount; ++m) {
            for (uint64_t mask = table.reached(to - 1, m); mask != 0;) {
                const int s = nextState(mask);
                const Back from{kChar, uint8_t(m), uint8_t(s), 0};
                if (charTable[m][byte].bitCount != 0) step(to - 1, m, s, charTable[m][byte], to, m, from);
                for (int t = 0; t < kModeCount; ++t) {
                    if (shiftTable[m][t].bitCount == 0 || charTable[t][byte].bitCount == 0) continue;
                    step(to - 1, m, s, charTable[t][byte], to, m, Back{kShiftedChar, uint8_t(t), uint8_t(s), 0},
                         shiftTable[m][t]);
                }
            }
        }
    }

    void offerPair(std::size_t j) {
        const uint8_t code = pairCode(data[j - 2], data[j - 1]);
        if (code == 0) return;
        const std::size_t to = firstCell[j];
        for (int m = 0; m < kModeCount; ++m)
            for (uint64_t mask = table.reached(to - 2, m); mask != 0;) {
                const int s = nextState(mask);
                step(to - 2, m, s, BitToken{5, code}, to, m, Back{kPair, uint8_t(m), uint8_t(s), 0},
                     m == Punct ? BitToken{0, 0} : shiftTable[m][Punct]);
            }
    }

    // Whether the latch would start a plain stream with M/L U/L, which the
    // decoder reads as the mark of a structured-append symbol.  Only one
    // entry ends in that M/L: Mixed at cell 0 with no word done and the
    // five bits open, latched into from the start (no other way has 0
    // words and 5 bits).
    bool marksStructuredAppend(std::size_t cell, const Latch& latch, int s) const {
        if (cell != 0 || layout.structuredAppend || latch.from != Mixed || latch.to != Upper) return false;
        const Back& back = table.back(0, Mixed, s);
        return back.kind == kLatchStep && back.fromMode == Upper && back.fromState == 0;
    }

    // Drops the entries of a finished cell that another of the same mode
    // dominates, so that every step out of it starts from at most three
    // entries a mode.  Two cuttings of the same bits into codewords of
    // width - 1 or width bits each, the second starting no earlier and
    // before the first's second codeword, interleave forever (by induction:
    // a_i <= b_i <= a_(i+1)); so from an open codeword of k bits the same
    // continuation takes at most one codeword more than from k' <= k bits,
    // and never fewer.  Hence an entry with more codewords done than the
    // least is never better than the least, nor one of as many with more
    // bits open.  (Every entry of a mode has the same continuations once
    // the latches are closed; the one exception, M/L U/L at the start, is
    // a latch.)
    void dropDominated(std::size_t cell) {
        for (int m = 0; m < kModeCount; ++m) {
            int best = -1;
            for (uint64_t mask = table.reached(cell, m); mask != 0;) {
                const int s = nextState(mask);
                if (best < 0 || table.cost(cell, m, s) < table.cost(cell, m, best) ||
                    (table.cost(cell, m, s) == table.cost(cell, m, best) && s / 3 < best / 3))
                    best = s;
            }
            if (best < 0) continue;
            const uint32_t least = table.cost(cell, m, best);
            for (uint64_t mask = table.reached(cell, m); mask != 0;) {
                const int s = nextState(mask);
                if (table.cost(cell, m, s) > least || s / 3 > best / 3) table.drop(cell, m, s);
            }
        }
    }

    // Single latches until nothing improves.
    void closeUnderLatches(std::size_t cell) {
        for (bool changed = true; changed;) {
            changed = false;
            for (const Latch& latch : kLatches) {
                for (uint64_t mask = table.reached(cell, latch.from); mask != 0;) {
                    const int s = nextState(mask);
                    const uint32_t words = table.cost(cell, latch.from, s);
                    if (marksStructuredAppend(cell, latch, s)) continue;
                    const Move moved = automaton.push(uint8_t(s), latchTable[latch.from][latch.to]);
                    changed |= offer(cell, latch.to, moved.state, words + moved.words,
                                           Back{kLatchStep, uint8_t(latch.from), uint8_t(s), 0});
                }
            }
        }
    }

    void offerFlag(std::size_t cell, const StreamFlag& flag) {
        const BitToken token = flagToken(flag.eci);
        for (int m = 0; m < kModeCount; ++m)
            for (uint64_t mask = table.reached(cell, m); mask != 0;) {
                const int s = nextState(mask);
                step(cell, m, s, token, cell + 1, m, Back{kFlag, uint8_t(m), uint8_t(s), 0},
                     m == Punct ? BitToken{0, 0} : shiftTable[m][Punct]);
            }
        closeUnderLatches(cell + 1);
    }

    // Every run out of `cell` (the last of position j) of 1 to `longest` bytes.
    void offerRuns(std::size_t cell, std::size_t j, std::size_t longest) {
        const int states = automaton.states;
        struct Walk {
            uint8_t state;
            uint32_t words;
        };
        std::array<Walk, kMaxStates> walk;  // after the bytes j .. j+L-1, from the states headers land on
        struct Start {
            uint8_t mode;
            uint8_t state;
            uint32_t words;
        };
        std::array<Start, 3 * kMaxStates> starts;  // the reached (mode, state) of the cell
        std::size_t startCount = 0;
        for (Mode m : kBinaryModes)
            for (uint64_t mask = table.reached(cell, m); mask != 0;) {
                const int s = nextState(mask);
                starts[startCount++] = {uint8_t(m), uint8_t(s), table.cost(cell, m, s)};
            }
        if (startCount == 0) return;
        // Only the states a header takes some start to are walked: a few of
        // them, where walking every state cost most of the time on long
        // runs.
        uint64_t walked = 0;
        for (std::size_t k = 0; k < startCount; ++k) walked |= automaton.landingStates[starts[k].state];
        for (uint64_t mask = walked; mask != 0;) {
            const int h = nextState(mask);
            walk[std::size_t(h)] = {uint8_t(h), 0};
        }
        if (wordsAfter.empty() && runSteps > kRunStepsBeforeWordsAfter * (length + 1)) countWordsAfter();
        // The least of words * width + open bits over the starts: with the
        // header, the run's bytes and a bound of what comes after them, a
        // lower bound of every run's codewords.
        // The same per binary mode, with the fewest bits after the run.
        std::array<uint64_t, 3> leastStart;
        leastStart.fill(UINT64_MAX);
        for (std::size_t k = 0; k < startCount; ++k) {
            const std::size_t b = starts[k].mode == Upper ? 0 : starts[k].mode == Lower ? 1 : 2;
            leastStart[b] = std::min(leastStart[b], uint64_t(starts[k].words) * uint64_t(automaton.width) + starts[k].state / 3);
        }
        const uint32_t* runAfter = runWordsAfter.data();
        for (std::size_t length = 1; length <= longest; ++length) {
            const uint64_t headerBits = runHeader(length).bitCount;
            // These bounds hold for every longer run too: the first grows
            // with the length, the others are the least over the ends.
            const uint64_t rest = std::max<uint64_t>(8 * length + restBits[j + length] + stuffedRest[j],
                                                     runRest[j + length] - 8 * j);
            uint64_t least = UINT64_MAX;
            for (std::size_t b = 0; b < 3; ++b)
                if (leastStart[b] != UINT64_MAX)
                    least = std::min(least, leastStart[b] + headerBits +
                                                std::max<uint64_t>(rest, runLanding[(cell + length) * 3 + b] - 8 * j));
            if (beyondBoundBits(0, 0, least)) break;
            const uint8_t value = data[j + length - 1];
            for (uint64_t mask = walked; mask != 0;) {
                Walk& at = walk[std::size_t(nextState(mask))];
                const Move next = automaton.byte[at.state][value];
                at = {next.state, at.words + next.words};
            }
            runSteps += 1;
            // Every fourth length, each start's runs this long or longer:
            // where its headers land (at their fewest codewords: any
            // header's, or the long one's from 32 bytes on), the walk of
            // the bytes from there, and what any stream still completes
            // after them in the run or out of it (runWordsAfter).  A start
            // whose runs all go beyond the bound is dropped, and the states
            // only it landed on are no longer walked; a run lengthened three
            // bytes too far costs less than the test at each length.
            if (!wordsAfter.empty() && length % 4 == 0) {
                const uint32_t* after = runAfter + (j + length) * std::size_t(states);
                const std::vector<uint8_t>& landing = length > kShortRunMax ? automaton.longLanding : automaton.landing;
                walked = 0;
                for (std::size_t k = 0; k < startCount;) {
                    const Start& start = starts[k];
                    const std::size_t row = std::size_t(start.state) * std::size_t(states);
                    uint64_t leastRun = UINT64_MAX;
                    for (uint64_t mask = automaton.landingStates[start.state]; mask != 0;) {
                        const int h = nextState(mask);
                        const Walk& body = walk[std::size_t(h)];
                        if (landing[row + std::size_t(h)] != Automaton::kNoWay)
                            leastRun = std::min<uint64_t>(leastRun, uint64_t(start.words) + landing[row + std::size_t(h)] +
                                                                        body.words + after[body.state]);
                    }
                    if (leastRun > bound) {
                        starts[k] = starts[--startCount];
                    } else {
                        walked |= automaton.landingStates[start.state];
                        ++k;
                    }
                }
                if (startCount == 0) break;
            }
            const Move* header = &automaton.header[length * std::size_t(states)];
            for (std::size_t k = 0; k < startCount; ++k) {
                const Start& start = starts[k];
                const Move head = header[start.state];
                const Walk& body = walk[head.state];
                offer(cell + length, start.mode, body.state, start.words + head.words + body.words,
                            Back{kRun, start.mode, start.state, uint16_t(length)});
            }
        }
    }

    // Call beyondBoundFirst first.
    void fill() {
        const Move start = startMove();
        offer(0, Upper, start.state, start.words, Back{kStart, 0, 0, 0});
        // Once wordsAfter is counted, every stream completes at least its
        // bound from the start: above `bound`, none is within it, and the
        // rest of the fill (pruned to nothing) is skipped.
        auto beyondBound = [&] {
            return !wordsAfter.empty() && start.words + uint64_t(wordsAfter[start.state]) > bound;
        };
        const std::vector<StreamFlag>& flags = layout.flags;
        std::size_t nextFlag = 0;
        for (std::size_t j = 0; j <= length; ++j) {
            std::size_t cell = firstCell[j];
            if (j >= 1) offerCharacters(j);
            if (j >= 2 && firstCell[j] - firstCell[j - 1] == 1) offerPair(j);  // no flag inside the pair
            closeUnderLatches(cell);
            dropDominated(cell);
            for (; nextFlag < flags.size() && flags[nextFlag].position == j; ++nextFlag) {
                offerFlag(cell++, flags[nextFlag]);
                dropDominated(cell);
            }
            if (j == length) break;
            // Runs end at the next flag at the latest.
            const std::size_t limit = nextFlag < flags.size() ? flags[nextFlag].position : length;
            offerRuns(cell, j, std::min(kMaxBinaryRun, limit - j));
            if (beyondBound()) break;
        }
    }

    struct PathStep {
        Kind kind;
        uint8_t mode;       // the mode of the step (a latch: the mode latched into)
        uint8_t other;      // a latch: the mode latched from; a shifted character: the mode shifted into
        std::size_t where;  // the position after the step; a flag: its index
        std::size_t length; // a run's length
    };

    // The chosen steps, last first, and the codewords of the stream.
    std::size_t walkBack(std::vector<PathStep>& path) const {
        std::size_t cell = length + layout.flags.size();  // the last cell
        int mode = 0;
        int s = 0;
        uint32_t best = kUnreached;  // stays so when nothing is within the bound
        for (int m = 0; m < kModeCount; ++m)
            for (int t = 0; t < automaton.states; ++t) {
                const uint32_t words = table.cost(cell, m, t) + uint32_t(Automaton::openWord(t));
                if (words < best) {
                    best = words;
                    mode = m;
                    s = t;
                }
            }
        if (best >= kUnreached) return best;
        std::size_t position = length;
        for (;;) {
            const Back& back = table.back(cell, mode, s);
            switch (back.kind) {
                case kStart:
                    return best;
                case kLatchStep:
                    path.push_back({kLatchStep, uint8_t(mode), back.fromMode, position, 0});
                    mode = back.fromMode;
                    break;
                case kChar:
                case kShiftedChar:
                case kPair:
                case kRun: {
                    const std::size_t bytes = back.kind == kPair ? 2 : back.kind == kRun ? back.length : 1;
                    path.push_back({back.kind, uint8_t(mode), back.fromMode, position, bytes});
                    position -= bytes;
                    cell -= bytes;
                    break;
                }
                case kFlag:
                    path.push_back({kFlag, uint8_t(mode), 0, cell - position - 1, 0});
                    --cell;
                    break;
            }
            s = back.fromState;
        }
    }

    void write(const PathStep& step, PackedBits& out) const {
        const Mode mode = Mode(step.mode);
        switch (step.kind) {
            case kLatchStep:
                append(out, latchTable[step.other][mode]);
                break;
            case kChar:
                append(out, charTable[mode][data[step.where - 1]]);
                break;
            case kShiftedChar:
                append(out, shiftTable[mode][step.other]);
                append(out, charTable[step.other][data[step.where - 1]]);
                break;
            case kPair:
                if (mode != Punct) append(out, shiftTable[mode][Punct]);
                append(out, BitToken{5, pairCode(data[step.where - 2], data[step.where - 1])});
                break;
            case kFlag:
                if (mode != Punct) append(out, shiftTable[mode][Punct]);
                append(out, flagToken(layout.flags[step.where].eci));
                break;
            case kRun:
                append(out, runHeader(step.length));
                for (std::size_t i = step.where - step.length; i < step.where; ++i) append(out, BitToken{8, data[i]});
                break;
            case kStart:
                break;
        }
    }

    // Appends the token's bits, first bit first, packed as PackedBits says.
    static void append(PackedBits& out, BitToken token) {
        for (int j = token.bitCount - 1; j >= 0; --j) {
            if (out.bitCount % 8 == 0) out.bytes.push_back(0);
            out.bytes.back() |= uint8_t(((token.value >> j) & 1) << (out.bitCount % 8));
            ++out.bitCount;
        }
    }
};


}  // namespace

std::size_t leastMessageBits(const uint8_t* data, std::size_t length) {
    std::size_t bits = 0;
    for (std::size_t j = 0; j < length; ++j) bits += kLeastBits[data[j]];
    return bits;
}

CodewordStream encodeFewestCodewords(const uint8_t* data, std::size_t length, const StreamLayout& layout,
                                     int width, std::size_t atMost) {
    if (length > kMaxCodewordMessage) throw std::length_error("message too long");
    checkLayout(length, layout);
    Programme programme(data, length, layout, automaton(width), atMost);
    CodewordStream result;
    if (programme.beyondBoundFirst()) {
        result.found = false;
        result.words = atMost;
        return result;
    }
    programme.fill();
    std::vector<Programme::PathStep> path;
    result.words = programme.walkBack(path);
    if (result.words > atMost) {
        result.found = false;
        result.words = atMost;  // the bound tried: no stream is within it
        return result;
    }
    if (layout.structuredAppend) Programme::append(result.stream, kAppendStart);
    for (auto step = path.rbegin(); step != path.rend(); ++step) programme.write(*step, result.stream);
    return result;
}

}  // namespace quillbank::aztec

