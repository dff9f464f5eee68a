#include "optimal_encoder.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <memory>
#include <stdexcept>

#include "bit_token.hpp"
#include "code_tables.hpp"
#include "eci.hpp"
#include "encode_state.hpp"
#include "mode.hpp"

// How the programme works
// -----------------------
// cost[j][m] is the length of a shortest stream that encodes the first j
// bytes and leaves the decoder latched in mode m.  Position j is filled in
// two passes:
//
//   1. arrivals: every step that ends at j and leaves the decoder in m, from
//      a state at an earlier position: one character in m itself or by a
//      shift out of m; a Punct pair in Punct or by a P/S out of m; a binary
//      stretch started in m (Upper, Lower or Mixed; the decoder comes back
//      to m after it).
//   2. latch closure: cost[j][m] = min over s of arrival[s] + latch(s, m),
//      computed as a short fixed chain of single-latch relaxations (kHops);
//      latching through a mode to use its shift is the closure followed by
//      a shift arrival.
// The binary arrivals are added after a first closure of the others, and
// only where they are strictly cheaper than it; the closure is then done
// again.  Inside text, where no run can win, a lower bound of the run costs
// settles this without touching the run windows.  Where one mode alone
// writes the byte (most bytes of text) the first closure is that mode's
// latch row, computed once with the closure's own choices (LoneClosure).
//
// A binary stretch of length L from position i is one B/S run of 10 + 8L
// bits when L <= 31 or 21 + 8L bits when 32 <= L <= 2078; a longer stretch,
// or one that is cheaper as several runs (two runs of 31 or fewer cost 20
// header bits where one long run costs 21), is a chain of stretches, joined
// at the intermediate positions through cost[][m].  With key(i) = cost[i][m]
// - 8i, the best stretch ending at j is min(10 + min key over the last 31
// positions, 21 + min key over the last 2078 positions) + 8j: the long window
// may only pick a start closer than 32 when the short window already has a
// cheaper one from the same start, so the minimum is exact.  Both windows
// are fronts of one monotonic queue per mode (RunStarts): constant amortised
// work per byte.
//
// Offering a run only where it beats the first closure loses nothing: that
// closure is latch-closed, so a run no cheaper than it in its own mode is no
// cheaper in any mode latched to from there.
//
// Flags
// -----
// A position with k flags has k + 1 cells: the one filled as above, then
// one after each flag.  A flag leaves the decoder's mode as it was, so its
// arrival in m is the cell before in m plus its price from m (the P/S of m,
// none in Punct, and the flag token); a latch closure follows, as latching
// before and after the flag are both choices.  Cells are therefore indexed
// by position plus the flags before it: a character steps back one cell
// from the first cell of its position, a pair two (a pair never spans a
// flag), a run of L bytes L (runs never span a flag: the run windows are
// emptied after each flagged position), and the flag of the cell at index
// c and position j is flags[c - j - 1].
//
// Tie rule
// --------
// Every comparison is strict, so among equal costs the first candidate in
// this order is kept:
//   arrivals at (j, m): one character (in m, else by the first shift in mode
//     order that holds it), then a pair; a binary run only when strictly
//     cheaper than the closure of those (so text wins a tie with binary), a
//     short run before a long one, and among starts of equal cost the latest
//     (the shortest run);
//   closure at (j, m): staying in m, then the hops into m in kHops order;
//   a flag: latching before it wins over latching after it (the closure
//     after the flag keeps its arrival);
//   the end: the final mode lowest in mode order.

namespace quillbank::aztec {

namespace {

// ---------------------------------------------------------------------------
// The codes the tables do not hold: binary shift (the Punct pairs are
// pairCode of the tables).

constexpr uint64_t kBinaryShiftCode = 31;  // in Upper, Lower and Mixed
constexpr std::size_t kShortRunMax = 31;   // the longest run with a 5-bit length
constexpr uint32_t kShortHeaderBits = 5 + 5;
constexpr uint32_t kLongHeaderBits = 5 + 5 + 11;

// ---------------------------------------------------------------------------
// The cheapest way to write one byte while staying latched in a mode.

constexpr uint8_t kDirect = 0xFF;  // CharStep::shiftTo for a code of the mode itself

struct CharStep {
    uint8_t bits;     // 0: no code for the byte in or shifted out of this mode
    uint8_t shiftTo;  // kDirect, or the mode shifted into
};

using CharStepArray = std::array<std::array<CharStep, 256>, kModeCount>;

constexpr CharStepArray buildCharSteps() {
    CharStepArray steps{};
    for (int m = 0; m < kModeCount; ++m) {
        for (int byte = 0; byte < 256; ++byte) {
            CharStep best{0, kDirect};
            if (charTable[m][byte].bitCount != 0) best = {charTable[m][byte].bitCount, kDirect};
            for (int s = 0; s < kModeCount; ++s) {
                if (shiftTable[m][s].bitCount == 0 || charTable[s][byte].bitCount == 0) continue;
                int bits = shiftTable[m][s].bitCount + charTable[s][byte].bitCount;
                if (best.bits == 0 || bits < best.bits) best = {uint8_t(bits), uint8_t(s)};
            }
            steps[m][byte] = best;
        }
    }
    return steps;
}

constexpr CharStepArray charSteps = buildCharSteps();

// Above every real cost, and far enough below 2**32 that adding steps and
// latches to it cannot wrap: unreached arrivals need no test.
constexpr uint32_t kUnreached = uint32_t(1) << 28;

// The bits of each byte's cheapest step in each mode, kUnreached where it
// has none: the character arrivals are computed without a branch.
struct CharBits {
    uint32_t bits[256][kModeCount];
};

constexpr CharBits buildCharBits() {
    CharBits table{};
    for (int byte = 0; byte < 256; ++byte)
        for (int m = 0; m < kModeCount; ++m)
            table.bits[byte][m] = charSteps[m][byte].bits ? charSteps[m][byte].bits : kUnreached;
    return table;
}

constexpr CharBits charBits = buildCharBits();

// The bytes no mode holds (0, 14 to 26, 128 to 255): only binary shift
// carries them.
constexpr std::array<bool, 256> buildBinaryOnly() {
    std::array<bool, 256> table{};
    for (int byte = 0; byte < 256; ++byte) {
        table[byte] = true;
        for (int m = 0; m < kModeCount; ++m)
            if (charSteps[m][byte].bits != 0) table[byte] = false;
    }
    return table;
}

constexpr std::array<bool, 256> kBinaryOnly = buildBinaryOnly();

// ---------------------------------------------------------------------------
// The run starts of one binary mode: a monotonic queue of positions i with
// key(i) = cost[i][m] - 8i, keys increasing from the front.  A new position
// evicts every older one whose key is not smaller (among equal keys the
// latest start survives): an evicted start is never better than the one
// that evicted it, for any run end that both can reach.  So the best start
// within the last w bytes is the first entry not older than w; two fronts
// give it for w = 2078 (any run) and w = 31 (short runs).
//
// The queue lives in kQueueSize entries after a sentinel, a few tens of
// kilobytes whatever the message length, where storage of one entry per
// position would outgrow the caches on long messages.  When a push finds no
// room, the starts too old for any run are dropped and the rest (at most
// kMaxBinaryRun) moved to the beginning: at most one move per push,
// amortised.

constexpr std::size_t kQueueSize = 4096;
static_assert(kQueueSize > kMaxBinaryRun + 1, "a compacted queue has room for the next start");

struct RunStart {
    uint32_t position;
    int32_t key;
};

class RunStarts {
public:
    RunStarts() { clear(); }
    RunStarts(const RunStarts&) = delete;
    RunStarts& operator=(const RunStarts&) = delete;

    void push(uint32_t position, int32_t key) {
        // The sentinel below the storage stops the evictions; they may run
        // below the front, over starts already dropped as too old.
        RunStart* back = back_;
        while (back[-1].key >= key) --back;
        if (back != back_) {
            if (front_ > back) front_ = back;
            if (shortFront_ > back) shortFront_ = back;
        }
        if (back == storage_.data() + kQueueSize + 1) back = compact(back, position);
        *back = {position, key};
        back_ = back + 1;
    }

    // Drops the starts too far from `end` for any run, and for a short one.
    // Some start is always left: the last one pushed is end - 1.  The
    // fronts only move forward, however rarely this is called.
    void advance(uint32_t end) {
        while (end - front_->position > kMaxBinaryRun) ++front_;
        if (shortFront_ < front_) shortFront_ = front_;
        while (end - shortFront_->position > kShortRunMax) ++shortFront_;
    }
    // Forgets every start: no run spans the flag that follows.
    void clear() { front_ = shortFront_ = back_ = storage_.data() + 1; }
    const RunStart& best() const { return *front_; }
    // A lower bound of every key in the queue, before or after advance().
    int32_t leastKey() const { return front_->key; }
    const RunStart& bestShort() const { return *shortFront_; }

private:
    // Makes room for the start at `position` by moving the queue that ends
    // at `back` to the beginning; returns its new back.  The starts before
    // position - kMaxBinaryRun, dropped, reach no run end that it does not.
    RunStart* compact(RunStart* back, uint32_t position) {
        while (front_ != back && position - front_->position > kMaxBinaryRun) ++front_;
        std::size_t shortOffset = shortFront_ > front_ ? std::size_t(shortFront_ - front_) : 0;
        std::size_t count = std::size_t(back - front_);
        RunStart* begin = storage_.data() + 1;
        std::copy(front_, back, begin);
        front_ = begin;
        shortFront_ = begin + shortOffset;
        return begin + count;
    }

    // storage_[0] is the sentinel, a key below every key.
    std::array<RunStart, kQueueSize + 1> storage_{{{0, INT32_MIN}}};
    RunStart* front_ = nullptr;
    RunStart* shortFront_ = nullptr;
    RunStart* back_ = nullptr;
};

// The modes with a B/S code.
constexpr Mode kBinaryModes[] = {Upper, Lower, Mixed};
constexpr int kBinaryModeCount = 3;

// The run starts of each binary mode.
class RunWindows {
public:
    RunStarts& operator[](int b) { return starts_[b]; }
    void clear() {
        for (RunStarts& starts : starts_) starts.clear();
    }

private:
    std::array<RunStarts, kBinaryModeCount> starts_;
};

// ---------------------------------------------------------------------------
// The programme's table, one cell per position, kept for the walk back.

// How a position was reached in a mode before the latch closure, in 16
// bits: a character step (in the mode or by its shift, as charSteps says),
// a pair, the start, a binary run of 1 to 2078 bytes (short or long by its
// length), or a flag after the cell before.
using Arrival = uint16_t;
constexpr Arrival kCharArrival = 0;
constexpr Arrival kPairArrival = 1;
constexpr Arrival kStartArrival = 2;
constexpr Arrival kFlagArrival = 0xFFFF;
constexpr Arrival runArrival(uint32_t length) { return Arrival(kStartArrival + length); }
constexpr std::size_t runLength(Arrival how) { return how - kStartArrival; }

struct Cell {
    uint32_t cost[kModeCount];    // after the latch closure
    Arrival arrival[kModeCount];  // the best arrival in each mode
    uint8_t source[kModeCount];   // the latch closure's choice (see kHops)
};

// The arrivals at one position: costs here, steps straight into the cell.
// Every mode has a character arrival, perhaps at kUnreached or more, so
// each arrival is written before it could be read back.
struct Candidates {
    uint32_t cost[kModeCount];
    Arrival* arrival;

    explicit Candidates(Cell& cell) : arrival(cell.arrival) {}
    void offer(int mode, uint32_t bits, Arrival how) {
        if (bits < cost[mode]) {
            cost[mode] = bits;
            arrival[mode] = how;
        }
    }
};

// The latch closure as a fixed sequence of relaxations, each by one table
// latch from a mode's arrival ("pre") or its closed cost ("closed"):
//   Upper  from the arrivals in Digit, Punct, Mixed, Lower;
//   Lower  from closed Upper, arrival Mixed;
//   Digit  from closed Upper, arrival Lower;
//   Mixed  from closed Upper, arrival Lower;
//   Punct  from closed Mixed.
// Every shortest latch sequence is such a chain (Digit to Punct is Digit to
// Upper, Upper to Mixed, Mixed to Punct), which the static_assert below
// proves for every pair of modes; eleven relaxations replace twenty.
struct Hop {
    Mode to;
    Mode from;
    bool closed;
};

constexpr Hop kHops[] = {
    {Upper, Digit, false}, {Upper, Punct, false}, {Upper, Mixed, false}, {Upper, Lower, false},
    {Lower, Upper, true},  {Lower, Mixed, false}, {Digit, Upper, true},  {Digit, Lower, false},
    {Mixed, Upper, true},  {Mixed, Lower, false}, {Punct, Mixed, true},
};

// A closure choice: 0 to keep the arrival; otherwise the mode latched from,
// plus one, with kFromClosed when it is that mode's closed cost.
constexpr uint8_t kFromClosed = 8;

// closed[m] = min(arrival[m], the hops into m), the first strictly cheaper
// candidate winning; source[m] records the choice.
constexpr void closeUnderLatches(const uint32_t* arrival, uint32_t* closed, uint8_t* source) {
    for (int m = 0; m < kModeCount; ++m) {
        closed[m] = arrival[m];
        source[m] = 0;
    }
#pragma GCC unroll 11
    for (const Hop& hop : kHops) {
        uint32_t bits = (hop.closed ? closed[hop.from] : arrival[hop.from]) +
                        latchTable[hop.from][hop.to].bitCount;
        if (bits < closed[hop.to]) {
            closed[hop.to] = bits;
            source[hop.to] = uint8_t((hop.from + 1) | (hop.closed ? kFromClosed : 0));
        }
    }
}

// The closure of a lone arrival in `from` gives the latch table's row.
constexpr bool hopsGiveTheLatchTable() {
    for (int from = 0; from < kModeCount; ++from) {
        uint32_t arrival[kModeCount] = {};
        uint32_t closed[kModeCount] = {};
        uint8_t source[kModeCount] = {};
        for (int m = 0; m < kModeCount; ++m) arrival[m] = m == from ? 0 : 1000;
        closeUnderLatches(arrival, closed, source);
        for (int m = 0; m < kModeCount; ++m)
            if (closed[m] != latchTable[from][m].bitCount) return false;
    }
    return true;
}
static_assert(hopsGiveTheLatchTable(), "the closure's hops must reach every shortest latch");

// The closure of an arrival in one mode alone, every other mode unreached
// (kUnreached or more): the latch table's row from it, and the choices
// closeUnderLatches makes for it.  A byte that one mode alone can write,
// in it or by a shift into it, with no pair to offer, arrives so: most
// bytes of text (lower case letters, digits, line feeds), whose closure is
// then a row added to the one arrival.
struct LoneClosure {
    uint32_t bits[kModeCount];
    uint8_t source[kModeCount];
};

constexpr std::array<LoneClosure, kModeCount> buildLoneClosures() {
    std::array<LoneClosure, kModeCount> rows{};
    for (int from = 0; from < kModeCount; ++from) {
        uint32_t arrival[kModeCount] = {};
        uint32_t closed[kModeCount] = {};
        for (int m = 0; m < kModeCount; ++m) arrival[m] = m == from ? 0 : kUnreached;
        closeUnderLatches(arrival, closed, rows[from].source);
        for (int m = 0; m < kModeCount; ++m) rows[from].bits[m] = closed[m];
    }
    return rows;
}

constexpr std::array<LoneClosure, kModeCount> loneClosures = buildLoneClosures();

constexpr int8_t kSeveralModes = -1;

// For each byte, the one mode whose character step reaches it (charBits
// below kUnreached), or kSeveralModes (several, or none: binary only).
constexpr std::array<int8_t, 256> buildLoneModes() {
    std::array<int8_t, 256> modes{};
    for (int byte = 0; byte < 256; ++byte) {
        int count = 0;
        int8_t lone = kSeveralModes;
        for (int m = 0; m < kModeCount; ++m)
            if (charBits.bits[byte][m] < kUnreached) {
                ++count;
                lone = int8_t(m);
            }
        modes[byte] = count == 1 ? lone : kSeveralModes;
    }
    return modes;
}

constexpr std::array<int8_t, 256> loneModes = buildLoneModes();

// closeUnderLatches for arrivals finite in mode `lone` alone.
inline void closeLoneArrival(const uint32_t* arrival, int lone, uint32_t* closed, uint8_t* source) {
    const LoneClosure& row = loneClosures[lone];
    uint32_t base = arrival[lone];
#pragma GCC unroll 5
    for (int m = 0; m < kModeCount; ++m) {
        closed[m] = base + row.bits[m];
        source[m] = row.source[m];
    }
}

inline void offerCharacter(const Cell& before, uint8_t byte, Candidates& c) {
    const uint32_t* bits = charBits.bits[byte];
#pragma GCC unroll 5
    for (int m = 0; m < kModeCount; ++m) {
        c.cost[m] = before.cost[m] + bits[m];
        c.arrival[m] = kCharArrival;
    }
}

inline void offerPair(const Cell& before, Candidates& c) {
    // In Punct the pair is one code; elsewhere it takes a P/S first (every
    // other mode has one).
    for (int m = 0; m < kModeCount; ++m) {
        uint32_t prefix = m == Punct ? 0 : shiftTable[m][Punct].bitCount;
        c.offer(m, before.cost[m] + prefix + 5, kPairArrival);
    }
}

// Offers the binary runs ending at j that are strictly cheaper than what the
// closure of the other arrivals already gives their mode (`closed`); true
// when any was, and so the closure must be done again.
inline bool offerBinaryRuns(uint32_t j, RunWindows& windows, const uint32_t* closed, Candidates& c) {
    int32_t bytes = int32_t(8 * j);
    bool offered = false;
#pragma GCC unroll 3
    for (int b = 0; b < kBinaryModeCount; ++b) {
        Mode m = kBinaryModes[b];
        RunStarts& starts = windows[b];
        // The least key in the queue (expired starts included) with the
        // short header bounds every run from below: inside text it is not
        // below `closed`, and the queue is left as it is.
        if (uint32_t(starts.leastKey() + bytes) + kShortHeaderBits >= closed[m]) continue;
        starts.advance(j);
        const RunStart& shortStart = starts.bestShort();
        uint32_t bits = uint32_t(shortStart.key + bytes) + kShortHeaderBits;
        Arrival how = runArrival(j - shortStart.position);
        // A best start closer than 32 is also the best short start, and
        // cheaper as a short run.
        const RunStart& start = starts.best();
        uint32_t longBits = uint32_t(start.key + bytes) + kLongHeaderBits;
        if (j - start.position > kShortRunMax && longBits < bits) {
            bits = longBits;
            how = runArrival(j - start.position);
        }
        if (bits < closed[m]) {
            c.offer(m, bits, how);
            offered = true;
        }
    }
    return offered;
}

inline void pushRunStarts(const Cell& cell, uint32_t i, RunWindows& windows) {
#pragma GCC unroll 3
    for (int b = 0; b < kBinaryModeCount; ++b)
        windows[b].push(i, int32_t(cell.cost[kBinaryModes[b]]) - int32_t(8 * i));
}

// The price of a flag token of `flagBits` bits from each mode, the decoder
// staying in it: a P/S first, except in Punct.
struct FlagPrices {
    uint32_t bits[kModeCount];

    explicit FlagPrices(uint32_t flagBits) {
        for (int m = 0; m < kModeCount; ++m)
            bits[m] = (m == Punct ? 0 : shiftTable[m][Punct].bitCount) + flagBits;
    }
};

// The flags of a message in order, as the fill and the output read them.
struct FlagList {
    const StreamFlag* flags;
    std::size_t count;
};

// Fills the cells after `cell` for the flags at `position`, from flags[next]
// on; returns the last cell of the position (`cell` when it has no flag).
Cell* applyFlags(Cell* cell, std::size_t position, const FlagList& list, std::size_t& next) {
    for (; next < list.count && list.flags[next].position == position; ++next) {
        FlagPrices prices(flagToken(list.flags[next].eci).bitCount);
        Cell& after = cell[1];
        uint32_t arrival[kModeCount];
        for (int m = 0; m < kModeCount; ++m) {
            arrival[m] = cell->cost[m] + prices.bits[m];
            after.arrival[m] = kFlagArrival;
        }
        closeUnderLatches(arrival, after.cost, after.source);
        ++cell;
    }
    return cell;
}

// Fills the cells of positions 0 .. length and their flags; returns the
// last cell.
Cell* fill(Cell* cells, RunWindows& windows, const uint8_t* data, std::size_t length, const FlagList& flags,
           uint32_t startBits) {
    windows.clear();
    std::size_t nextFlag = 0;
    {
        Candidates c(cells[0]);
        for (int m = 0; m < kModeCount; ++m) c.cost[m] = kUnreached;
        c.offer(Upper, startBits, kStartArrival);
        closeUnderLatches(c.cost, cells[0].cost, cells[0].source);
    }
    Cell* last = applyFlags(cells, 0, flags, nextFlag);
    bool flagged = last != cells;  // the position before has a flag
    pushRunStarts(*last, 0, windows);
    for (uint32_t j = 1; j <= length; ++j) {
        Cell& cell = last[1];
        Candidates c(cell);
        uint8_t byte = data[j - 1];
        offerCharacter(last[0], byte, c);
        bool paired = j >= 2 && !flagged && pairCode(data[j - 2], byte) != 0;
        if (paired) offerPair(last[-1], c);
        int lone = loneModes[byte];
        if (lone != kSeveralModes && !paired) {
            closeLoneArrival(c.cost, lone, cell.cost, cell.source);
        } else if (kBinaryOnly[byte]) {
            // Nothing but a run reaches j: the first closure would find
            // every mode unreached.
            for (int m = 0; m < kModeCount; ++m) cell.cost[m] = kUnreached;
        } else {
            closeUnderLatches(c.cost, cell.cost, cell.source);
        }
        if (offerBinaryRuns(j, windows, cell.cost, c)) closeUnderLatches(c.cost, cell.cost, cell.source);
        flagged = nextFlag < flags.count && flags.flags[nextFlag].position == j;
        last = flagged ? applyFlags(&cell, j, flags, nextFlag) : &cell;
        if (flagged) windows.clear();
        pushRunStarts(*last, j, windows);
    }
    return last;
}

// ---------------------------------------------------------------------------
// Output.

constexpr std::array<uint8_t, 256> buildReversedBytes() {
    std::array<uint8_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        int r = 0;
        for (int k = 0; k < 8; ++k) r |= ((b >> k) & 1) << (7 - k);
        table[b] = uint8_t(r);
    }
    return table;
}

// Each byte with its bit order reversed.
constexpr std::array<uint8_t, 256> reversedBytes = buildReversedBytes();

// Writes tokens most significant bit first into a buffer of known size,
// 32 bits at a time, filling each byte from its top bit; finish() turns
// every byte around, so that stream bit k ends up as bit k % 8.
class BitWriter {
public:
    explicit BitWriter(uint8_t* out) : out_(out) {}

    // A token of at most 32 bits.
    void write(uint32_t bitCount, uint64_t value) {
        pending_ = (pending_ << bitCount) | value;
        pendingBits_ += bitCount;
        if (pendingBits_ >= 32) {
            pendingBits_ -= 32;
            uint32_t word = uint32_t(pending_ >> pendingBits_);
            out_[0] = uint8_t(word >> 24);
            out_[1] = uint8_t(word >> 16);
            out_[2] = uint8_t(word >> 8);
            out_[3] = uint8_t(word);
            out_ += 4;
        }
    }
    void write(BitToken token) { write(token.bitCount, token.value); }

    void finish(uint8_t* begin) {
        for (; pendingBits_ >= 8; out_++) {
            pendingBits_ -= 8;
            *out_ = uint8_t(pending_ >> pendingBits_);
        }
        if (pendingBits_ != 0) *out_++ = uint8_t(pending_ << (8 - pendingBits_));
        for (uint8_t* p = begin; p != out_; ++p) *p = reversedBytes[*p];
    }

private:
    uint8_t* out_;
    uint64_t pending_ = 0;  // the low pendingBits_ bits are unwritten (at most 31 + 32)
    uint32_t pendingBits_ = 0;
};

// The codes of each byte's cheapest step in each mode (charSteps) as one
// token: the shift, if any, and the character.
struct StepToken {
    uint8_t bitCount;
    uint16_t value;
};

using StepTokenArray = std::array<std::array<StepToken, 256>, kModeCount>;

constexpr StepTokenArray buildStepTokens() {
    StepTokenArray tokens{};
    for (int m = 0; m < kModeCount; ++m) {
        for (int byte = 0; byte < 256; ++byte) {
            CharStep step = charSteps[m][byte];
            if (step.bits == 0) continue;
            if (step.shiftTo == kDirect) {
                tokens[m][byte] = {charTable[m][byte].bitCount, uint16_t(charTable[m][byte].value)};
            } else {
                BitToken shift = shiftTable[m][step.shiftTo];
                BitToken code = charTable[step.shiftTo][byte];
                tokens[m][byte] = {uint8_t(shift.bitCount + code.bitCount),
                                   uint16_t((shift.value << code.bitCount) | code.value)};
            }
        }
    }
    return tokens;
}

constexpr StepTokenArray stepTokens = buildStepTokens();

// One element of the chosen path; the path is collected end first.
struct PathStep {
    uint32_t end;   // position after the step; for a flag, its index in the flag list
    uint8_t mode;   // the latched mode the step is taken in (or latched into)
    uint8_t from;   // a latch: the mode latched from; kDirect for a step
    Arrival how;
};

std::size_t stepLength(Arrival how) {
    return how == kCharArrival ? 1 : how == kPairArrival ? 2 : runLength(how);
}

int bestFinalMode(const Cell& last) {
    int mode = 0;
    for (int m = 1; m < kModeCount; ++m)
        if (last.cost[m] < last.cost[mode]) mode = m;
    return mode;
}

// Walks back from the last cell, cells[index].
void walkBack(const Cell* cells, std::size_t index, std::size_t length, std::vector<PathStep>& path) {
    std::size_t position = length;
    int mode = bestFinalMode(cells[index]);
    path.clear();
    for (;;) {
        const Cell& cell = cells[index];
        // Undo the closure: a chain of latches back to an arrival.
        for (uint8_t source = cell.source[mode]; source != 0; source = cell.source[mode]) {
            int from = (source & 7) - 1;
            path.push_back({uint32_t(position), uint8_t(mode), uint8_t(from), {}});
            mode = from;
            if (!(source & kFromClosed)) break;
        }
        Arrival how = cell.arrival[mode];
        if (how == kStartArrival) break;
        if (how == kFlagArrival) {
            path.push_back({uint32_t(index - position - 1), uint8_t(mode), kDirect, how});
            --index;
            continue;
        }
        path.push_back({uint32_t(position), uint8_t(mode), kDirect, how});
        position -= stepLength(how);
        index -= stepLength(how);
    }
}

void writeStep(BitWriter& out, const uint8_t* data, const FlagList& flags, const PathStep& step) {
    Mode mode = Mode(step.mode);
    if (step.from != kDirect) {
        out.write(latchTable[step.from][mode]);
        return;
    }
    Arrival how = step.how;
    if (how == kFlagArrival) {
        if (mode != Punct) out.write(shiftToken(mode, Punct));
        out.write(flagToken(flags.flags[step.end].eci));
    } else if (how == kCharArrival) {
        StepToken token = stepTokens[mode][data[step.end - 1]];
        out.write(token.bitCount, token.value);
    } else if (how == kPairArrival) {
        if (mode != Punct) out.write(shiftToken(mode, Punct));
        out.write(BitToken{5, pairCode(data[step.end - 2], data[step.end - 1])});
    } else {
        std::size_t length = runLength(how);
        // B/S, then the length: 5 bits, or 5 zero bits and 11 bits of length - 31.
        if (length <= kShortRunMax)
            out.write(BitToken{10, (kBinaryShiftCode << 5) | length});
        else
            out.write(BitToken{21, (kBinaryShiftCode << 16) | (length - 31)});
        const uint8_t* byte = data + step.end - length;
        for (; byte + 4 <= data + step.end; byte += 4)
            out.write(32, uint32_t(byte[0]) << 24 | uint32_t(byte[1]) << 16 | uint32_t(byte[2]) << 8 | byte[3]);
        for (; byte != data + step.end; ++byte) out.write(8, *byte);
    }
}

// The working storage of one thread's encodings, kept between messages so
// that a steady stream of them allocates only the result, and a long
// message is not charged for fresh pages on every call.  The cells are
// allocated without being cleared (each is written before it is read); the
// storage is given back when a much shorter message follows, and after any
// message above kMaxKeptCells.  The run queues (about 100 KB) are on the
// heap too, not in the thread's own storage, which some C libraries carve
// out of a small thread stack.
class Scratch {
public:
    std::vector<PathStep> path;

    RunWindows& windows() {
        if (!windows_) windows_.reset(new RunWindows);
        return *windows_;
    }

    Cell* cellsFor(std::size_t count) {
        if (count > capacity_ || (capacity_ > kKeptCells && count < capacity_ / 4)) {
            cells_.reset();  // before the new allocation: never both at once
            capacity_ = 0;
            std::vector<PathStep>().swap(path);
            cells_.reset(new Cell[count]);
            capacity_ = count;
        }
        return cells_.get();
    }
    // Gives back storage above the cap; on every way out of an encoding.
    void release() {
        if (capacity_ > kMaxKeptCells) {
            cells_.reset();
            capacity_ = 0;
            std::vector<PathStep>().swap(path);
        }
    }

private:
    // Kept whatever follows: about 600 KB of cells.
    static constexpr std::size_t kKeptCells = 16384;
    // Above this (about 19 MB of cells, a 512 KB message) nothing is kept.
    static constexpr std::size_t kMaxKeptCells = std::size_t(1) << 19;

    std::unique_ptr<RunWindows> windows_;
    std::unique_ptr<Cell[]> cells_;
    std::size_t capacity_ = 0;
};


}  // namespace

void checkLayout(std::size_t length, const StreamLayout& layout) {
    if (layout.flags.size() > kMaxOptimalFlags) throw std::length_error("too many flags");
    std::size_t previous = 0;
    for (const StreamFlag& flag : layout.flags) {
        if (flag.position < previous || flag.position > length)
            throw std::invalid_argument("flag positions must be in order and within the message");
        if (flag.eci && *flag.eci > kMaxEciNumber) throw std::invalid_argument("ECI numbers are 0 to 999999");
        previous = flag.position;
    }
}

PackedBits encodeOptimal(const uint8_t* data, std::size_t length, const StreamLayout& layout) {
    if (length > kMaxOptimalMessage) throw std::length_error("message too long");
    checkLayout(length, layout);
    const FlagList flags{layout.flags.data(), layout.flags.size()};
    // M/L then U/L: Upper to Mixed, and back.
    const BitToken appendHeader[] = {latchTable[Upper][Mixed], latchTable[Mixed][Upper]};
    const uint32_t startBits = layout.structuredAppend ? appendHeader[0].bitCount + appendHeader[1].bitCount : 0;

    thread_local Scratch scratch;
    struct Release {  // on every way out, exceptions included
        Scratch& s;
        ~Release() { s.release(); }
    } release{scratch};
    Cell* cells = scratch.cellsFor(length + 1 + flags.count);
    const Cell* last = fill(cells, scratch.windows(), data, length, flags, startBits);
    walkBack(cells, std::size_t(last - cells), length, scratch.path);
    const std::vector<PathStep>& path = scratch.path;

    PackedBits stream;
    stream.bitCount = last->cost[bestFinalMode(*last)];
    stream.bytes.resize((stream.bitCount + 7) / 8);
    BitWriter out(stream.bytes.data());
    if (layout.structuredAppend) {
        out.write(appendHeader[0]);
        out.write(appendHeader[1]);
    }
    for (auto step = path.rbegin(); step != path.rend(); ++step) writeStep(out, data, flags, *step);
    out.finish(stream.bytes.data());
    return stream;
}

PackedBits encodeOptimal(const uint8_t* data, std::size_t length, std::optional<uint32_t> eci) {
    StreamLayout layout;
    if (eci) layout.flags.push_back(StreamFlag::eciDesignator(0, *eci % (kMaxEciNumber + 1)));
    return encodeOptimal(data, length, layout);
}

}  // namespace quillbank::aztec
