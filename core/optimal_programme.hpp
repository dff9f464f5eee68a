// The optimal encoder's dynamic programme, one position at a time: the
// tables, the run queues, the latch closure and the step that fills a
// cell.  Private to the optimal encoder (optimal_encoder.cpp, the output;
// optimal_machine.cpp, the fill).
#pragma once

#include <algorithm>
#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "bit_token.hpp"
#include "code_tables.hpp"
#include "eci.hpp"
#include "encode_state.hpp"
#include "mode.hpp"
#include "optimal_encoder.hpp"
#include "stream_tokens.hpp"

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

namespace quillbank::aztec::optimal {


// For the few functions of the general programme's inner loop, which is
// twice as slow when they are calls.
#if defined(QUILLBANK_ALWAYS_INLINE)
#elif defined(__GNUC__)
#define QUILLBANK_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define QUILLBANK_ALWAYS_INLINE __forceinline
#else
#define QUILLBANK_ALWAYS_INLINE inline
#endif

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

inline constexpr CharStepArray charSteps = buildCharSteps();

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

inline constexpr CharBits charBits = buildCharBits();

// ---------------------------------------------------------------------------
// The run starts of one binary mode: a monotonic queue of positions i with
// key(i) = cost[i][m] - 8i, keys increasing from the front.  A new position
// evicts every older one whose key is not smaller (among equal keys the
// latest start survives): an evicted start is never better than the one
// that evicted it, for any run end that both can reach.  So the best start
// within the last w bytes is the first entry not older than w; two fronts
// give it for w = 2078 (any run) and w = 31 (short runs).
//
// The queue lives in kQueueSize entries after two sentinels, a few tens of
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
    // Only the sentinels are written: the rest is written before it is read,
    // and a thread's first message touches no more pages than it needs.
    RunStarts() {
        storage_[0] = storage_[1] = {0, INT32_MIN};
        clear();
    }
    RunStarts(const RunStarts&) = delete;
    RunStarts& operator=(const RunStarts&) = delete;

    void push(uint32_t position, int32_t key) {
        // The sentinels below the storage stop the evictions; they may run
        // below the front, over starts already dropped as too old.  Most
        // pushes evict no start, one or two, and in mixed text which
        // of them is about as random as the text: the last two keys are
        // read at once and counted rather than tested one after the other
        // by branches the processor would mispredict.  The keys increase
        // from the sentinels to the back, so the second from the back is
        // evicted only with the last.
        RunStart* back = back_;
        back -= int(back[-1].key >= key) + int(back[-2].key >= key);
        while (back[-1].key >= key) --back;
        // The fronts are never past the back: a push that evicts nothing
        // leaves them where they are.
        front_ = std::min(front_, back);
        shortFront_ = std::min(shortFront_, back);
        if (back == storage_.data() + kQueueSize + kSentinels) back = compact(back, position);
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
    void clear() { front_ = shortFront_ = back_ = storage_.data() + kSentinels; }
    const RunStart& best() const { return *front_; }
    // A lower bound of every key in the queue, before or after advance().
    int32_t leastKey() const { return front_->key; }
    // A lower bound of every key in the short window, before or after
    // advance(): the keys increase from the sentinel to the back, and the
    // short front only moves forward.
    int32_t leastShortKey() const { return shortFront_->key; }
    const RunStart& bestShort() const { return *shortFront_; }
    // The last position q such that, for every p < q' <= q, the best run
    // ending at q' is the one ending at p, from the same start (one byte
    // longer) or from the newest start (one byte long, the newest start
    // moving with moveNewest), where p is the position pushed last and
    // advance(p) was done; `longRun` when that run was a long one.  It is
    // so while advance(q') would move neither front, and the front's run
    // stays short or long as it is at p (a front whose run is short is the
    // short front too, whose limit keeps it so).  After a long run the
    // short front may move: the short window then holds no key that it did
    // not hold at p, and the long run stays strictly cheaper.  Gives p when
    // a front has not been advanced to p.
    uint32_t steadyUntil(bool longRun) const {
        const RunStart* newest = back_ - 1;
        uint32_t p = newest->position;
        uint32_t until = UINT32_MAX;
        if (front_ != newest) {
            uint32_t start = front_->position;
            if (p - start > kMaxBinaryRun) return p;
            until = start + kMaxBinaryRun;
        }
        if (!longRun && shortFront_ != newest) {
            uint32_t start = shortFront_->position;
            if (p - start > kShortRunMax) return p;
            until = std::min(until, start + uint32_t(kShortRunMax));
        }
        return until;
    }
    // What push(position, key) does when the start pushed last has that
    // key: the newest start, evicted for an equal key, is replaced in its
    // own entry (the one before it has a smaller key), and the fronts, no
    // later than it, stay where they are.
    void moveNewest(uint32_t position) { back_[-1].position = position; }

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
        RunStart* begin = storage_.data() + kSentinels;
        std::copy(front_, back, begin);
        front_ = begin;
        shortFront_ = begin + shortOffset;
        return begin + count;
    }

    // storage_[0] and [1] are the sentinels, keys below every key: a push
    // reads the two entries before the back.
    static constexpr std::size_t kSentinels = 2;
    std::array<RunStart, kQueueSize + kSentinels> storage_;
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

inline constexpr Hop kHops[] = {
    {Upper, Digit, false}, {Upper, Punct, false}, {Upper, Mixed, false}, {Upper, Lower, false},
    {Lower, Upper, true},  {Lower, Mixed, false}, {Digit, Upper, true},  {Digit, Lower, false},
    {Mixed, Upper, true},  {Mixed, Lower, false}, {Punct, Mixed, true},
};

// A closure choice: 0 to keep the arrival; otherwise the mode latched from,
// plus one, with kFromClosed when it is that mode's closed cost.
constexpr uint8_t kFromClosed = 8;

// closed[m] = min(arrival[m], the hops into m), the first strictly cheaper
// candidate winning; source[m] records the choice.  With kRunsOnly the
// arrivals in Digit and Punct are known to be unreached and the arrivals in
// the binary modes reached (a byte only binary shift carries): the hops
// from those two arrivals, which could never be strictly cheaper, are left
// out.
template <bool kRunsOnly = false>
constexpr void closeUnderLatches(const uint32_t* arrival, uint32_t* closed, uint8_t* source) {
    for (int m = 0; m < kModeCount; ++m) {
        closed[m] = arrival[m];
        source[m] = 0;
    }
#pragma GCC unroll 11
    for (const Hop& hop : kHops) {
        if (kRunsOnly && !hop.closed && (hop.from == Digit || hop.from == Punct)) continue;
        uint32_t bits = (hop.closed ? closed[hop.from] : arrival[hop.from]) +
                        latchTable[hop.from][hop.to].bitCount;
        // Selects rather than branches: in mixed text which hop wins
        // changes from byte to byte.
        bool better = bits < closed[hop.to];
        closed[hop.to] = better ? bits : closed[hop.to];
        source[hop.to] = better ? uint8_t((hop.from + 1) | (hop.closed ? kFromClosed : 0)) : source[hop.to];
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

inline constexpr std::array<LoneClosure, kModeCount> loneClosures = buildLoneClosures();

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

inline constexpr std::array<int8_t, 256> loneModes = buildLoneModes();

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

// The cheapest binary run ending at j from the starts of one binary mode:
// its bits, and its length in `how`.
QUILLBANK_ALWAYS_INLINE uint32_t bestRun(uint32_t j, RunStarts& starts, Arrival& how) {
    int32_t bytes = int32_t(8 * j);
    starts.advance(j);
    const RunStart& shortStart = starts.bestShort();
    uint32_t bits = uint32_t(shortStart.key + bytes) + kShortHeaderBits;
    how = runArrival(j - shortStart.position);
    // A best start closer than 32 is also the best short start, and
    // cheaper as a short run.
    const RunStart& start = starts.best();
    uint32_t longBits = uint32_t(start.key + bytes) + kLongHeaderBits;
    if (j - start.position > kShortRunMax && longBits < bits) {
        bits = longBits;
        how = runArrival(j - start.position);
    }
    return bits;
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
        // below `closed`, and the queue is left as it is.  So does the
        // least of the queue's least key with the long header and the short
        // window's with the short one, tighter at most text bytes among
        // binary ones (a character costs less than a run's 8 bits).
        int32_t least = starts.leastKey();
        if (uint32_t(least + bytes) + kShortHeaderBits >= closed[m]) continue;
        least = std::min(least + int32_t(kLongHeaderBits), starts.leastShortKey() + int32_t(kShortHeaderBits));
        if (uint32_t(least + bytes) >= closed[m]) continue;
        Arrival how;
        uint32_t bits = bestRun(j, starts, how);
        if (bits < closed[m]) {
            c.offer(m, bits, how);
            offered = true;
        }
    }
    return offered;
}

// The first cell of a position whose byte only binary shift carries: the
// runs ending there are its only arrivals.  Gives the cells fillPosition
// gives: its first closure would leave every mode unreached, and so every
// run would be offered, and every run's cost is below kUnreached.
QUILLBANK_ALWAYS_INLINE void fillBinaryOnlyPosition(uint32_t j, RunWindows& windows, uint32_t* cost,
                                                    Decision& decision) {
    Decision made;
    made.unused = 0;
    uint32_t arrival[kModeCount];
    for (int m = 0; m < kModeCount; ++m) {
        arrival[m] = kUnreached;
        made.arrival[m] = kCharArrival;
    }
#pragma GCC unroll 3
    for (int b = 0; b < kBinaryModeCount; ++b)
        arrival[kBinaryModes[b]] = bestRun(j, windows[b], made.arrival[kBinaryModes[b]]);
    closeUnderLatches<true>(arrival, cost, made.source);
    decision = made;
}

QUILLBANK_ALWAYS_INLINE void pushRunStarts(const uint32_t* cost, uint32_t i, RunWindows& windows) {
#pragma GCC unroll 3
    for (int b = 0; b < kBinaryModeCount; ++b)
        windows[b].push(i, int32_t(cost[kBinaryModes[b]]) - int32_t(8 * i));
}

// The first cell of position j (before its flags), after the byte
// data[j - 1] = `byte`: its costs and how each was reached.  `before` is
// the last cell of position j - 1; `beforePair` that of j - 2 when a Punct
// pair ends at j, else null.  True when only binary shift carries the byte.
QUILLBANK_ALWAYS_INLINE bool fillPosition(uint32_t j, uint8_t byte, const uint32_t* before, const uint32_t* beforePair,
                         RunWindows& windows, uint32_t* cost, Decision& decision) {
    // (No pair ends in a byte only binary shift carries.)
    if (kBinaryOnly[byte]) {
        fillBinaryOnlyPosition(j, windows, cost, decision);
        return true;
    }
    // Worked out in locals, which nothing else can alias (the decision's
    // bytes could be any object to the compiler), then stored.
    Decision made;
    made.unused = 0;
    uint32_t closed[kModeCount];
    Candidates c(made);
    offerCharacter(before, byte, c);
    if (beforePair) offerPair(beforePair, c);
    int lone = loneModes[byte];
    if (lone != kSeveralModes && !beforePair) {
        closeLoneArrival(c.cost, lone, closed, made.source);
    } else {
        closeUnderLatches(c.cost, closed, made.source);
    }
    if (offerBinaryRuns(j, windows, closed, c)) closeUnderLatches(c.cost, closed, made.source);
    std::copy(closed, closed + kModeCount, cost);
    decision = made;
    return false;
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
inline std::size_t applyFlags(uint32_t* cost, Decision* decisions, std::size_t index, std::size_t position,
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

}  // namespace quillbank::aztec::optimal
