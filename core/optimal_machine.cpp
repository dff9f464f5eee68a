#include "optimal_machine.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace quillbank::aztec::optimal {

// The programme as a state machine.
//
// Every step of the programme (optimal_programme.hpp) is
// translation-invariant: adding a constant to every cost and key adds it to
// every cost the step gives, and moving every position moves the run starts
// with it.  So where the run queues hold few
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
            if ((pairCode(uint8_t(a), uint8_t(b)) != 0) !=
                (pairFirstKind(a) != 0 && pairFirstKind(a) == pairSecondKind(b)))
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

namespace {

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
            bool binaryOnly = generalStep(++j);
            finishPosition(j);
            if (binaryOnly && !flagged_) j = skipSteadyStretch(j);
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

    // Cell j, the first of its position, by the general programme; true
    // when only binary shift carries its byte.
    QUILLBANK_ALWAYS_INLINE bool generalStep(uint32_t j) {
        uint8_t byte = data_[j - 1];
        bool paired = j >= 2 && !flagged_ && pairCode(data_[j - 2], byte) != 0;
        bool binaryOnly =
            fillPosition(j, byte, last_, paired ? beforeLast_ : nullptr, windows_, spare_, decisions_[++index_]);
        uint32_t* free = beforeLast_;  // the three rows turn round
        beforeLast_ = last_;
        last_ = spare_;
        spare_ = free;
        return binaryOnly;
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

    // A stretch of bytes that only binary shift carries, where the runs
    // ending at each position come from the same starts as at the one
    // before and so cost 8 bits more (steady): positions filled without the
    // programme's step.
    //
    // The step at a byte only binary shift carries reads the run queues
    // alone (fillBinaryOnlyPosition).  When position p (no flag) is such a
    // byte and its costs in the binary modes are those of p - 1 plus 8, the
    // keys it pushed are those p - 1 pushed, and each push replaced p - 1's
    // start by p's (moveNewest).  So while no front moves (steadyUntil),
    // the step at q = p + 1 sees the queues of p's step with the newest
    // start one byte later: every run it finds is the one p found, 8 bits
    // dearer, one byte longer from a start of its own, as long (one byte)
    // from the newest; the closure keeps its choices, and the costs and the
    // keys repeat.  (A one-byte run is never the one a steady cell is
    // reached by, as it costs 18 bits more than the cell before; it is kept
    // so that the decisions are the step's own.)  Takes p; returns the last
    // position filled.
    uint32_t skipSteadyStretch(uint32_t p) {
        for (Mode m : kBinaryModes)
            if (last_[m] != beforeLast_[m] + 8) return p;
        uint32_t limit = nextFlag_ < flags_.count ? uint32_t(flags_.flags[nextFlag_].position) - 1 : length_;
        const Decision pattern = decisions_[index_];
        for (int b = 0; b < kBinaryModeCount; ++b) {
            bool longRun = runLength(pattern.arrival[kBinaryModes[b]]) > kShortRunMax;
            limit = std::min(limit, windows_[b].steadyUntil(longRun));
        }
        // The decision as two words, and what each position adds to them:
        // one to the arrival of each binary mode reached by a run longer
        // than a byte.  No arrival reaches 2**16, so no field carries into
        // the next.
        Decision growth{};
        for (Mode m : kBinaryModes) growth.arrival[m] = pattern.arrival[m] != runArrival(1);
        uint64_t words[2], steps[2];
        std::memcpy(words, &pattern, sizeof words);
        std::memcpy(steps, &growth, sizeof steps);
        uint32_t q = p;
        while (q < limit && kBinaryOnly[data_[q]]) {
            ++q;
            words[0] += steps[0];
            words[1] += steps[1];
            std::memcpy(&decisions_[++index_], words, sizeof words);
        }
        if (q == p) return p;
        for (int m = 0; m < kModeCount; ++m) {
            last_[m] += 8 * (q - p);
            beforeLast_[m] = last_[m] - 8;
        }
        for (int b = 0; b < kBinaryModeCount; ++b) windows_[b].moveNewest(q);
        return q;
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

}  // namespace

void StateCacheDeleter::operator()(StateCache* cache) const { delete cache; }

StateCachePointer makeStateCache() { return StateCachePointer(new StateCache); }

std::size_t fillCells(const uint8_t* data, std::size_t length, const FlagList& flags, uint32_t startBits,
                      Decision* decisions, RunWindows& windows, StateCache& cache, uint32_t* lastCost) {
    Fill fill(data, length, flags, decisions, windows, cache);
    std::size_t last = fill.run(startBits);
    std::copy(fill.lastCost(), fill.lastCost() + kModeCount, lastCost);
    return last;
}

}  // namespace quillbank::aztec::optimal
