#include "optimal_encoder.hpp"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

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

// For the few functions of the general programme's inner loop, which is
// twice as slow when they are calls.
#if defined(__GNUC__)
#define QUILLBANK_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define QUILLBANK_ALWAYS_INLINE __forceinline
#else
#define QUILLBANK_ALWAYS_INLINE inline
#endif

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
    // The queue from the front, expired starts perhaps included; the last
    // entry is the start pushed last.
    const RunStart* begin() const { return front_; }
    const RunStart* end() const { return back_; }

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
    const RunStarts& operator[](int b) const { return starts_[b]; }
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

// How each mode of a cell was reached, all the walk back reads of it: 16
// bytes, copied whole.  The costs are kept for the last two positions only.
struct Decision {
    Arrival arrival[kModeCount];  // the best arrival in each mode
    uint8_t source[kModeCount];   // the latch closure's choice (see kHops)
    uint8_t unused;
};
static_assert(sizeof(Decision) == 16, "a decision is copied as 16 bytes");

// The arrivals at one position: costs here, steps straight into the cell.
// Every mode has a character arrival, perhaps at kUnreached or more, so
// each arrival is written before it could be read back.
struct Candidates {
    uint32_t cost[kModeCount];
    Arrival* arrival;

    explicit Candidates(Decision& decision) : arrival(decision.arrival) {}
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

inline void offerCharacter(const uint32_t* before, uint8_t byte, Candidates& c) {
    const uint32_t* bits = charBits.bits[byte];
#pragma GCC unroll 5
    for (int m = 0; m < kModeCount; ++m) {
        c.cost[m] = before[m] + bits[m];
        c.arrival[m] = kCharArrival;
    }
}

inline void offerPair(const uint32_t* before, Candidates& c) {
    // In Punct the pair is one code; elsewhere it takes a P/S first (every
    // other mode has one).
    for (int m = 0; m < kModeCount; ++m) {
        uint32_t prefix = m == Punct ? 0 : shiftTable[m][Punct].bitCount;
        c.offer(m, before[m] + prefix + 5, kPairArrival);
    }
}

// Offers the binary runs ending at j that are strictly cheaper than what the
// closure of the other arrivals already gives their mode (`closed`); true
// when any was, and so the closure must be done again.
QUILLBANK_ALWAYS_INLINE bool offerBinaryRuns(uint32_t j, RunWindows& windows, const uint32_t* closed, Candidates& c) {
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

QUILLBANK_ALWAYS_INLINE void pushRunStarts(const uint32_t* cost, uint32_t i, RunWindows& windows) {
#pragma GCC unroll 3
    for (int b = 0; b < kBinaryModeCount; ++b)
        windows[b].push(i, int32_t(cost[kBinaryModes[b]]) - int32_t(8 * i));
}

// The first cell of position j (before its flags), after the byte
// data[j - 1] = `byte`: its costs and how each was reached.  `before` is
// the last cell of position j - 1; `beforePair` that of j - 2 when a Punct
// pair ends at j, else null.
QUILLBANK_ALWAYS_INLINE void fillPosition(uint32_t j, uint8_t byte, const uint32_t* before, const uint32_t* beforePair,
                         RunWindows& windows, uint32_t* cost, Decision& decision) {
    Candidates c(decision);
    offerCharacter(before, byte, c);
    if (beforePair) offerPair(beforePair, c);
    int lone = loneModes[byte];
    if (lone != kSeveralModes && !beforePair) {
        closeLoneArrival(c.cost, lone, cost, decision.source);
    } else if (kBinaryOnly[byte]) {
        // Nothing but a run reaches j: the first closure would find every
        // mode unreached.
        for (int m = 0; m < kModeCount; ++m) cost[m] = kUnreached;
    } else {
        closeUnderLatches(c.cost, cost, decision.source);
    }
    if (offerBinaryRuns(j, windows, cost, c)) closeUnderLatches(c.cost, cost, decision.source);
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

// Adds a cell after `cost` (whose cell is `index`) for each flag at
// `position`, from flags[next] on, leaving its costs in `cost`; returns the
// index of the last cell of the position.
std::size_t applyFlags(uint32_t* cost, Decision* decisions, std::size_t index, std::size_t position,
                       const FlagList& list, std::size_t& next) {
    for (; next < list.count && list.flags[next].position == position; ++next) {
        FlagPrices prices(flagToken(list.flags[next].eci).bitCount);
        Decision& after = decisions[++index];
        uint32_t arrival[kModeCount];
        for (int m = 0; m < kModeCount; ++m) {
            arrival[m] = cost[m] + prices.bits[m];
            after.arrival[m] = kFlagArrival;
        }
        closeUnderLatches(arrival, cost, after.source);
    }
    return index;
}

// ---------------------------------------------------------------------------
// The programme as a state machine.
//
// Every step above is translation-invariant: adding a constant to every
// cost and key adds it to every cost the step gives, and moving every
// position moves the run starts with it.  So where the run queues hold few
// recent starts (in text the newest start evicts the others but for a few
// bytes), the state at position j -- the costs of cell j less their least,
// the costs of cell j - 1 when data[j - 1] can start a Punct pair, and the
// queued starts by age and key -- with the class of the next byte decides
// the next state, the rise of the least cost and the decision of the cell.
// These transitions are kept as they are met (a cache per thread), and text
// then costs a table lookup a byte.  Where the state leaves that shape (a
// start older than kMaxStateAge, more than kMaxOlderStarts behind the
// newest, a flag) the general programme takes over, and hands back when the
// state fits again.  A transition is computed by the general programme
// itself, from the state rebuilt at the position where it is met, so both
// paths give the same cells.

// The part of a byte in a Punct pair: 1 for CR (before LF), 2 for ". ,
// :" (before a space), else 0; pairCode(a, b) != 0 exactly when
// pairFirstKind(a) is that of pairSecondKind(b).
constexpr int pairFirstKind(int byte) {
    return byte == '\r' ? 1 : byte == '.' || byte == ',' || byte == ':' ? 2 : 0;
}
constexpr int pairSecondKind(int byte) { return byte == '\n' ? 1 : byte == ' ' ? 2 : 0; }

constexpr bool pairKindsGivePairCode() {
    for (int a = 0; a < 256; ++a)
        for (int b = 0; b < 256; ++b)
            if ((pairCode(uint8_t(a), uint8_t(b)) != 0) != (pairFirstKind(a) != 0 && pairFirstKind(a) == pairSecondKind(b)))
                return false;
    return true;
}
static_assert(pairKindsGivePairCode(), "the pair kinds must say which bytes make a pair");

// Bytes that a step cannot tell apart (the same character steps, the same
// part in a pair) share a class: eleven classes, so a state's transitions
// are a short row.
constexpr int kClassSlots = 16;

struct ByteClasses {
    std::array<uint8_t, 256> of{};
    int count = 0;
};

constexpr bool sameClass(int a, int b) {
    for (int m = 0; m < kModeCount; ++m)
        if (charBits.bits[a][m] != charBits.bits[b][m]) return false;
    return pairFirstKind(a) == pairFirstKind(b) && pairSecondKind(a) == pairSecondKind(b);
}

constexpr ByteClasses buildByteClasses() {
    ByteClasses classes{};
    for (int byte = 0; byte < 256; ++byte) {
        int earlier = 0;
        while (earlier < byte && !sameClass(earlier, byte)) ++earlier;
        classes.of[byte] = earlier < byte ? classes.of[earlier] : uint8_t(classes.count++);
    }
    return classes;
}

constexpr ByteClasses byteClasses = buildByteClasses();
static_assert(byteClasses.count <= kClassSlots, "a state's row has a slot for every byte class");

// The shape of the states the machine keeps.
constexpr int kMaxOlderStarts = 3;       // queued starts behind the newest, per binary mode
constexpr uint32_t kMaxStateAge = 64;    // bytes back to the oldest of them

// A state at position j, every field zero where unused (keys are compared
// as bytes).
struct StateKey {
    uint8_t cost[kModeCount];      // cell j's costs less their least
    uint8_t pairKind;              // pairFirstKind(data[j - 1])
    int8_t pairCost[kModeCount];   // when pairKind: cell j - 1's costs less cell j's least
    uint8_t olderCount[kBinaryModeCount];
    // Oldest first: j less the start, and the newest start's key less its key.
    uint8_t age[kBinaryModeCount][kMaxOlderStarts];
    uint8_t gap[kBinaryModeCount][kMaxOlderStarts];
};
static_assert(sizeof(StateKey) == 32, "a state key is four words");

bool operator==(const StateKey& a, const StateKey& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

uint64_t hashKey(const StateKey& key) {
    uint64_t words[4];
    std::memcpy(words, &key, sizeof words);
    uint64_t h = 0;
    for (uint64_t w : words) h = (h ^ w) * 0x9E3779B97F4A7C15u;
    return h ^ (h >> 29);
}

// The state of the general programme at position j (no flag there), where
// `cost` is the last cell of j and `before` that of j - 1, when it has the
// machine's shape; sets `least` to the least of `cost`.
bool captureState(uint32_t j, const uint32_t* cost, const uint32_t* before, int pairKind,
                  const RunWindows& windows, StateKey& key, uint32_t& least) {
    key = StateKey{};
    least = *std::min_element(cost, cost + kModeCount);
    for (int m = 0; m < kModeCount; ++m) {
        if (cost[m] - least > 255) return false;
        key.cost[m] = uint8_t(cost[m] - least);
    }
    key.pairKind = uint8_t(pairKind);
    if (pairKind != 0) {
        for (int m = 0; m < kModeCount; ++m) {
            int64_t relative = int64_t(before[m]) - int64_t(least);
            if (relative < -128 || relative > 127) return false;
            key.pairCost[m] = int8_t(relative);
        }
    }
    for (int b = 0; b < kBinaryModeCount; ++b) {
        const RunStarts& starts = windows[b];
        int32_t newestKey = starts.end()[-1].key;
        int count = 0;
        for (const RunStart* start = starts.begin(); start + 1 < starts.end(); ++start) {
            if (j + 1 - start->position > kMaxBinaryRun) continue;  // expired, no run reaches j + 1
            uint32_t age = j - start->position;
            int64_t gap = int64_t(newestKey) - start->key;
            if (count == kMaxOlderStarts || age > kMaxStateAge || gap > 255) return false;
            key.age[b][count] = uint8_t(age);
            key.gap[b][count] = uint8_t(gap);
            ++count;
        }
        key.olderCount[b] = uint8_t(count);
    }
    return true;
}

// The general programme's state at position j from `key`: the costs of the
// last cells of j and j - 1 (the latter unreached when no pair can follow)
// and the run queues.
void materializeState(const StateKey& key, uint32_t j, uint32_t least, uint32_t* cost, uint32_t* before,
                      RunWindows& windows) {
    for (int m = 0; m < kModeCount; ++m) {
        cost[m] = least + key.cost[m];
        before[m] = key.pairKind != 0 ? uint32_t(int64_t(least) + key.pairCost[m]) : kUnreached;
    }
    windows.clear();
    for (int b = 0; b < kBinaryModeCount; ++b) {
        int32_t newestKey = int32_t(cost[kBinaryModes[b]]) - int32_t(8 * j);
        for (int k = 0; k < key.olderCount[b]; ++k)
            windows[b].push(j - key.age[b][k], newestKey - key.gap[b][k]);
        windows[b].push(j, newestKey);
    }
}

// Where a state goes on a byte class.
constexpr uint32_t kUnknownState = UINT32_MAX;      // not met yet
constexpr uint32_t kLeavesShape = UINT32_MAX - 1;   // the general programme carries on

struct Transition {
    uint32_t next = kUnknownState;  // a state id, or one of the two above
    uint32_t rise = 0;              // the next state's least cost less this one's
    Decision decision{};            // of the cell the step fills
};

// The states met so far and their transitions.  At most kMaxStates (about
// 1.7 MB); when full it starts again empty, which changes every id
// (generation() tells).
class StateCache {
public:
    static constexpr uint32_t kMaxStates = 4096;

    // The id of `key`, added when new.
    uint32_t intern(const StateKey& key) {
        if (slots_.empty()) slots_.assign(kSlotCount, 0);
        std::size_t slot = hashKey(key) & (kSlotCount - 1);
        for (; slots_[slot] != 0; slot = (slot + 1) & (kSlotCount - 1))
            if (keys_[slots_[slot] - 1] == key) return slots_[slot] - 1;
        if (keys_.size() == kMaxStates) {
            clear();
            return intern(key);
        }
        keys_.push_back(key);
        ++added_;
        transitions_.resize(transitions_.size() + kClassSlots);
        slots_[slot] = uint32_t(keys_.size());
        return uint32_t(keys_.size() - 1);
    }
    Transition& transition(uint32_t state, int byteClass) { return transitions_[state * kClassSlots + byteClass]; }
    const StateKey& key(uint32_t state) const { return keys_[state]; }
    uint32_t generation() const { return generation_; }
    // The states added so far, ever.
    uint64_t added() const { return added_; }

private:
    static constexpr std::size_t kSlotCount = 2 * kMaxStates;  // a power of two

    void clear() {
        keys_.clear();
        transitions_.clear();
        std::fill(slots_.begin(), slots_.end(), 0);
        ++generation_;
    }

    std::vector<StateKey> keys_;
    std::vector<Transition> transitions_;
    std::vector<uint32_t> slots_;  // open addressing: a state id plus one, 0 for none
    uint32_t generation_ = 0;
    uint64_t added_ = 0;
};

// ---------------------------------------------------------------------------
// The fill: cells of positions 0 .. length and their flags, by the state
// machine where it can and the general programme elsewhere.

class Fill {
public:
    Fill(const uint8_t* data, std::size_t length, const FlagList& flags, Decision* decisions, RunWindows& windows,
         StateCache& cache)
        : data_(data), length_(uint32_t(length)), flags_(flags), decisions_(decisions), windows_(windows),
          cache_(cache), addedBefore_(cache.added()) {}

    // Fills every cell; returns the index of the last, whose costs are
    // lastCost().
    std::size_t run(uint32_t startBits) {
        windows_.clear();
        {
            Candidates c(decisions_[0]);
            for (int m = 0; m < kModeCount; ++m) c.cost[m] = kUnreached;
            c.offer(Upper, startBits, kStartArrival);
            closeUnderLatches(c.cost, last_, decisions_[0].source);
        }
        std::fill(beforeLast_, beforeLast_ + kModeCount, kUnreached);
        finishPosition(0);
        uint32_t j = 0;
        uint32_t nextCapture = 1;  // the general programme tries to hand over from here
        uint32_t backoff = kCaptureBackoff;
        while (j < length_) {
            generalStep(++j);
            finishPosition(j);
            if (flagged_ || j < nextCapture) continue;
            if (handOver(j)) {
                backoff = kCaptureBackoff;
            } else {
                nextCapture = j + backoff;
                backoff = std::min(2 * backoff, kMaxCaptureBackoff);
            }
            if (learntTooMuch(j)) nextCapture = UINT32_MAX;
        }
        return index_;
    }
    const uint32_t* lastCost() const { return last_; }

private:
    // After a failed hand-over, the general programme carries on this many
    // bytes before trying again (random bytes rarely fit the shape).
    static constexpr uint32_t kCaptureBackoff = 16;
    static constexpr uint32_t kMaxCaptureBackoff = 256;

    // Where nearly every state is new (bytes of many kinds mixed at random)
    // the machine only adds work: past this many new states the message is
    // left to the general programme.
    bool learntTooMuch(uint32_t j) const { return cache_.added() - addedBefore_ > 64 + j / 8; }

    // Cell j, the first of its position, by the general programme.
    QUILLBANK_ALWAYS_INLINE void generalStep(uint32_t j) {
        uint8_t byte = data_[j - 1];
        bool paired = j >= 2 && !flagged_ && pairCode(data_[j - 2], byte) != 0;
        fillPosition(j, byte, last_, paired ? beforeLast_ : nullptr, windows_, spare_, decisions_[++index_]);
        uint32_t* free = beforeLast_;  // the three rows turn round
        beforeLast_ = last_;
        last_ = spare_;
        spare_ = free;
    }

    // The flags of position j, then its run starts.
    QUILLBANK_ALWAYS_INLINE void finishPosition(uint32_t j) {
        flagged_ = nextFlag_ < flags_.count && flags_.flags[nextFlag_].position == j;
        if (flagged_) {
            index_ = applyFlags(last_, decisions_, index_, j, flags_, nextFlag_);
            windows_.clear();  // no run spans a flag
        }
        pushRunStarts(last_, j, windows_);
    }

    // Runs the state machine from position j (filled, without flags) while
    // it can; false when the state at j has not its shape.  Returns with
    // the general programme's state at the position reached, which is
    // updated in `j`.
    bool handOver(uint32_t& j) {
        StateKey key;
        uint32_t least;
        if (!captureState(j, last_, beforeLast_, pairFirstKind(data_[j - 1]), windows_, key, least)) return false;
        uint32_t state = cache_.intern(key);
        for (;;) {
            uint32_t stop = nextFlag_ < flags_.count ? uint32_t(flags_.flags[nextFlag_].position) : length_;
            Transition* transition = nullptr;
            while (j < stop) {
                transition = &cache_.transition(state, byteClasses.of[data_[j]]);
                if (transition->next >= kLeavesShape) break;
                decisions_[++index_] = transition->decision;
                least += transition->rise;
                state = transition->next;
                ++j;
            }
            materializeState(cache_.key(state), j, least, last_, beforeLast_, windows_);
            if (j == stop) {
                // A flag, or the end: the general programme finishes the
                // position (its run starts are already queued).
                flagged_ = nextFlag_ < flags_.count;
                if (flagged_) {
                    index_ = applyFlags(last_, decisions_, index_, j, flags_, nextFlag_);
                    windows_.clear();
                    pushRunStarts(last_, j, windows_);
                }
                return true;
            }
            // A transition not met yet, or one out of the shape.
            bool unknown = transition->next == kUnknownState;
            int byteClass = byteClasses.of[data_[j]];
            uint32_t from = state, fromLeast = least, generation = cache_.generation();
            generalStep(++j);
            finishPosition(j);
            if (flagged_) return true;
            bool fits = captureState(j, last_, beforeLast_, pairFirstKind(data_[j - 1]), windows_, key, least);
            if (fits) state = cache_.intern(key);
            if (unknown && cache_.generation() == generation) {
                Transition& learnt = cache_.transition(from, byteClass);
                learnt.next = fits ? state : kLeavesShape;
                learnt.rise = least - fromLeast;
                learnt.decision = decisions_[index_];
            }
            if (!fits || learntTooMuch(j)) return true;
        }
    }

    const uint8_t* data_;
    uint32_t length_;
    FlagList flags_;
    Decision* decisions_;
    RunWindows& windows_;
    StateCache& cache_;
    uint32_t costRows_[3][kModeCount];
    uint32_t* last_ = costRows_[0];        // the costs of the last cell filled
    uint32_t* beforeLast_ = costRows_[1];  // and of the last cell of the position before
    uint32_t* spare_ = costRows_[2];
    uint64_t addedBefore_;             // cache_.added() at the start
    std::size_t index_ = 0;            // of the last cell filled
    std::size_t nextFlag_ = 0;
    bool flagged_ = false;             // the last position filled has a flag
};

// ---------------------------------------------------------------------------
// Output: the walk back writes the stream from its end.

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

// Writes tokens into a stream of known length from its last token back to
// its first, 32 bits at a time, each byte filled from its top bit;
// finish() turns every byte around, so that stream bit k ends up as bit
// k % 8.  Tokens that do not add up to the length (a fault of the
// programme) raise std::logic_error rather than write outside the stream.
class BackwardBitWriter {
public:
    // The stream of `bitCount` bits in the bytes from `begin` to `end`.
    BackwardBitWriter(uint8_t* begin, uint8_t* end, std::size_t bitCount)
        : begin_(begin), end_(end), out_(end), pendingBits_(uint32_t(-bitCount & 7)) {}

    // A token of at most 32 bits, before those written so far.
    void write(uint32_t bitCount, uint64_t value) {
        pending_ |= value << pendingBits_;
        pendingBits_ += bitCount;
        if (pendingBits_ >= 32) {
            uint32_t word = uint32_t(pending_);
            if (out_ - begin_ < 4) throw std::logic_error("stream longer than its cost");
            out_ -= 4;
            out_[0] = uint8_t(word >> 24);
            out_[1] = uint8_t(word >> 16);
            out_[2] = uint8_t(word >> 8);
            out_[3] = uint8_t(word);
            pending_ >>= 32;
            pendingBits_ -= 32;
        }
    }
    void write(BitToken token) { write(token.bitCount, token.value); }

    // Once every token is written.
    void finish() {
        if (std::size_t(out_ - begin_) * 8 != pendingBits_) throw std::logic_error("stream shorter than its cost");
        for (; pendingBits_ >= 8; pendingBits_ -= 8, pending_ >>= 8) *--out_ = uint8_t(pending_);
        for (uint8_t* p = begin_; p != end_; ++p) *p = reversedBytes[*p];
    }

private:
    uint8_t* begin_;
    uint8_t* end_;
    uint8_t* out_;
    uint64_t pending_ = 0;  // the low pendingBits_ bits are unwritten (at most 31 + 32)
    uint32_t pendingBits_;  // starts with the zero bits after the last token
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

int bestFinalMode(const uint32_t* cost) {
    int mode = 0;
    for (int m = 1; m < kModeCount; ++m)
        if (cost[m] < cost[mode]) mode = m;
    return mode;
}

// Writes a binary run of the bytes before `end`, last byte first, then its
// header.
void writeRunBackward(BackwardBitWriter& out, const uint8_t* end, std::size_t length) {
    const uint8_t* byte = end;
    std::size_t left = length;
    for (; left >= 4; left -= 4, byte -= 4)
        out.write(32, uint32_t(byte[-4]) << 24 | uint32_t(byte[-3]) << 16 | uint32_t(byte[-2]) << 8 | byte[-1]);
    for (; left != 0; --left, --byte) out.write(8, byte[-1]);
    // B/S, then the length: 5 bits, or 5 zero bits and 11 bits of length - 31.
    if (length <= kShortRunMax)
        out.write(BitToken{10, (kBinaryShiftCode << 5) | length});
    else
        out.write(BitToken{21, (kBinaryShiftCode << 16) | (length - 31)});
}

// Walks back from the last cell, decisions[index], in the final mode,
// writing each step's codes as it goes.
void walkBack(const Decision* decisions, std::size_t index, int mode, const uint8_t* data, std::size_t length,
              const FlagList& flags, BackwardBitWriter& out) {
    std::size_t position = length;
    for (;;) {
        const Decision& decision = decisions[index];
        // Undo the closure: a chain of latches back to an arrival.
        for (uint8_t source = decision.source[mode]; source != 0; source = decision.source[mode]) {
            int from = (source & 7) - 1;
            out.write(latchTable[from][mode]);
            mode = from;
            if (!(source & kFromClosed)) break;
        }
        Arrival how = decision.arrival[mode];
        if (how == kStartArrival) return;
        if (how == kFlagArrival) {
            out.write(flagToken(flags.flags[index - position - 1].eci));
            if (mode != Punct) out.write(shiftToken(Mode(mode), Punct));
            --index;
            continue;
        }
        std::size_t stepLength;
        if (how == kCharArrival) {
            StepToken token = stepTokens[mode][data[position - 1]];
            out.write(token.bitCount, token.value);
            stepLength = 1;
        } else if (how == kPairArrival) {
            out.write(BitToken{5, pairCode(data[position - 2], data[position - 1])});
            if (mode != Punct) out.write(shiftToken(Mode(mode), Punct));
            stepLength = 2;
        } else {
            stepLength = runLength(how);
            writeRunBackward(out, data + position, stepLength);
        }
        position -= stepLength;
        index -= stepLength;
    }
}

// The working storage of one thread's encodings, kept between messages so
// that a steady stream of them allocates only the result, and a long
// message is not charged for fresh pages on every call.  The decisions are
// allocated without being cleared (each is written before it is read); the
// storage is given back when a much shorter message follows, and after any
// message above kMaxKeptCells.  The run queues (about 100 KB) and the state
// cache are on the heap too, not in the thread's own storage, which some C
// libraries carve out of a small thread stack.
class Scratch {
public:
    RunWindows& windows() {
        if (!windows_) windows_.reset(new RunWindows);
        return *windows_;
    }
    StateCache& cache() {
        if (!cache_) cache_.reset(new StateCache);
        return *cache_;
    }

    Decision* decisionsFor(std::size_t count) {
        if (count > capacity_ || (capacity_ > kKeptCells && count < capacity_ / 4)) {
            decisions_.reset();  // before the new allocation: never both at once
            capacity_ = 0;
            decisions_.reset(new Decision[count]);
            capacity_ = count;
        }
        return decisions_.get();
    }
    // Gives back storage above the cap; on every way out of an encoding.
    void release() {
        if (capacity_ > kMaxKeptCells) {
            decisions_.reset();
            capacity_ = 0;
        }
    }

private:
    // Kept whatever follows: 256 KB of decisions.
    static constexpr std::size_t kKeptCells = 16384;
    // Above this (8 MB of decisions, a 512 KB message) nothing is kept.
    static constexpr std::size_t kMaxKeptCells = std::size_t(1) << 19;

    std::unique_ptr<RunWindows> windows_;
    std::unique_ptr<StateCache> cache_;
    std::unique_ptr<Decision[]> decisions_;
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
    Decision* decisions = scratch.decisionsFor(length + 1 + flags.count);
    Fill fill(data, length, flags, decisions, scratch.windows(), scratch.cache());
    std::size_t lastIndex = fill.run(startBits);
    int mode = bestFinalMode(fill.lastCost());

    PackedBits stream;
    stream.bitCount = fill.lastCost()[mode];
    stream.bytes.resize((stream.bitCount + 7) / 8);
    uint8_t* begin = stream.bytes.data();
    uint8_t* end = begin + stream.bytes.size();
    BackwardBitWriter out(begin, end, stream.bitCount);
    walkBack(decisions, lastIndex, mode, data, length, flags, out);
    if (layout.structuredAppend) {
        out.write(appendHeader[1]);
        out.write(appendHeader[0]);
    }
    out.finish();
    return stream;
}

PackedBits encodeOptimal(const uint8_t* data, std::size_t length, std::optional<uint32_t> eci) {
    StreamLayout layout;
    if (eci) layout.flags.push_back(StreamFlag::eciDesignator(0, *eci % (kMaxEciNumber + 1)));
    return encodeOptimal(data, length, layout);
}

}  // namespace quillbank::aztec
