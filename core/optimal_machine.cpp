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
//
// Binary data has a second machine of its own (the long-run machine, below
// the text machine's), whose states are the costs against the line of each
// binary mode's long run from an old start.

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

// Keys are compared and hashed as the words they are made of.
template <class Key>
bool sameKey(const Key& a, const Key& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

template <class Key>
uint64_t hashKey(const Key& key) {
    static_assert(sizeof(Key) % 8 == 0, "a key is whole words");
    uint64_t words[sizeof(Key) / 8];
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

// 32 bytes on a 32-byte boundary: the loop through known transitions finds
// the next one with a shift and an add after loading the state id, and no
// transition straddles two cache lines (24 bytes took two more steps in
// that chain; padding alone, half of the transitions straddling, gained
// nothing: about a tenth of the time of text the thread has met, either).
struct alignas(32) Transition {
    uint32_t next = kUnknownState;  // a state id, or one of the two above
    uint32_t rise = 0;              // the next state's least cost less this one's
    Decision decision{};            // of the cell the step fills
};
static_assert(sizeof(Transition) == 32, "a transition is 32 bytes");

// The states met so far and their transitions (Step, one per byte class of
// each state).  At most kMaxStates (about 2.2 MB for the text machine,
// 1.7 MB for the long-run one); when full it starts again empty, which
// changes every id (generation() tells).
template <class Key, class Step>
class TransitionCache {
public:
    static constexpr uint32_t kMaxStates = 4096;

    // The id of `key`, added when new.
    uint32_t intern(const Key& key) {
        if (slots_.empty()) slots_.assign(kSlotCount, 0);
        std::size_t slot = hashKey(key) & (kSlotCount - 1);
        for (; slots_[slot] != 0; slot = (slot + 1) & (kSlotCount - 1))
            if (sameKey(keys_[slots_[slot] - 1], key)) return slots_[slot] - 1;
        if (keys_.size() == kMaxStates) {
            // Emptied tables keep their storage, so adding the key again
            // allocates nothing: the emptying and the adding cannot fail
            // apart.
            clear();
            return intern(key);
        }
        // The key and its row of transitions go in together or not at all:
        // a row without its key (or a key without its row) would put every
        // later state's row out of step with its id.
        transitions_.resize(transitions_.size() + kClassSlots);
        try {
            keys_.push_back(key);
        } catch (...) {
            transitions_.resize(transitions_.size() - kClassSlots);
            throw;
        }
        ++added_;
        slots_[slot] = uint32_t(keys_.size());
        return uint32_t(keys_.size() - 1);
    }
    Step& transition(uint32_t state, int byteClass) { return transitions_[state * kClassSlots + byteClass]; }
    // Every state's, state * kClassSlots + byte class; moved when a state
    // is added.
    const Step* transitions() const { return transitions_.data(); }
    const Key& key(uint32_t state) const { return keys_[state]; }
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

    std::vector<Key> keys_;
    std::vector<Step> transitions_;
    std::vector<uint32_t> slots_;  // open addressing: a state id plus one, 0 for none
    uint32_t generation_ = 0;
    uint64_t added_ = 0;
};

// ---------------------------------------------------------------------------
// The long-run machine: binary data, where each binary mode's best run is
// one long run from an old start, the front of its queue.
//
// While the front of each binary mode b (its key K_b) is more than 31 and
// at most 2,078 bytes back from the next position, and every start in the
// short window has a key of at least K_b + 12, the best run ending at the
// next position q is the front's long run of K_b + 21 + 8q bits: a short
// run from a key of K_b + 12 or more costs at least one bit more.  So the
// step at q depends on the costs of the cells before it less the line
// K_U + 8q (U: Upper), the gaps K_b - K_U, the byte's class and the pair it
// may end, and not on the position: what it gives is a transition as in
// the text machine, the run lengths (q less each front's position) added
// to its decision.  The starts the step pushes have keys K_b + 12 or more
// (where one does not, the state leaves the shape), so they evict no front,
// and while the fronts stay the queues themselves are not read: each
// mode's pushes are kept as the last position of each key, and the queue
// is rebuilt from them when the machine hands back.

// A start's idle gap is its key less its front's, less kLeastIdleGap: the
// machine's starts are at least kLeastIdleGap above their front (a short
// run from such a start costs more than the front's long one) and at most
// kLongHeaderBits above it (the front's run reaches the start), so the gaps
// go from 0 to kTopIdleGap.  A start pushed with the top gap is evicted by
// the next one, whatever its key.
constexpr int32_t kLeastIdleGap = int32_t(kLongHeaderBits - kShortHeaderBits) + 1;
constexpr int kIdleGaps = int(kLongHeaderBits) - kLeastIdleGap + 1;
constexpr int kTopIdleGap = kIdleGaps - 1;

// A state at position j: cell j's costs less the line (K_U + 8j), cell
// j - 1's when a pair may end at j + 1, the fronts' keys less K_U; every
// field zero where unused.
struct FrontKey {
    int8_t cost[kModeCount];
    uint8_t pairKind;  // pairFirstKind(data[j - 1])
    int8_t pairCost[kModeCount];
    int8_t frontGap[kBinaryModeCount];  // K_b - K_U (0 for Upper)
    uint8_t zero[2];
};
static_assert(sizeof(FrontKey) == 16, "a long-run state key is two words");

// The fronts a stretch of the long-run machine keeps.
struct FrontLine {
    uint32_t position[kBinaryModeCount];
    int32_t key[kBinaryModeCount];
    // The last position the fronts reach (as long runs).
    uint32_t lastEnd() const {
        return *std::min_element(position, position + kBinaryModeCount) + uint32_t(kMaxBinaryRun);
    }
};

// The fronts for runs ending at j + 1, when the queues have the machine's
// shape there.  Otherwise sets `retry` to the first position where a start
// now in the way (a front too young, a start in the short window with too
// small a key) no longer is.
bool findFronts(uint32_t j, const RunWindows& windows, FrontLine& line, uint32_t& retry) {
    retry = j + 1;
    for (int b = 0; b < kBinaryModeCount; ++b) {
        const RunStarts& starts = windows[b];
        const RunStart* front = starts.begin();
        while (j + 1 - front->position > kMaxBinaryRun) ++front;
        if (j + 1 - front->position <= kShortRunMax) {
            retry = std::max(retry, front->position + uint32_t(kShortRunMax));
            return false;
        }
        // The short window's least key is that of its oldest start; the
        // last start with too small a key is the last in the way.
        const RunStart* oldestShort = starts.end() - 1;
        while (oldestShort - 1 > front && j + 1 - oldestShort[-1].position <= kShortRunMax) --oldestShort;
        if (int64_t(oldestShort->key) - front->key < kLeastIdleGap) {
            const RunStart* lastSmall = oldestShort;
            while (lastSmall + 1 < starts.end() && int64_t(lastSmall[1].key) - front->key < kLeastIdleGap) ++lastSmall;
            retry = std::max(retry, lastSmall->position + uint32_t(kShortRunMax));
            return false;
        }
        line.position[b] = front->position;
        line.key[b] = front->key;
    }
    return true;
}

// The state at position j (no flag there) against `line`, where `cost` is
// the last cell of j and `before` that of j - 1, when it has the machine's
// shape: the starts j pushes within the idle gaps, every field in range.
bool frontState(uint32_t j, const uint32_t* cost, const uint32_t* before, int pairKind, const FrontLine& line,
                FrontKey& key) {
    key = FrontKey{};
    int64_t base = int64_t(line.key[0]) + 8 * int64_t(j);
    for (int b = 0; b < kBinaryModeCount; ++b) {
        int64_t gap = int64_t(cost[kBinaryModes[b]]) - 8 * int64_t(j) - line.key[b];
        if (gap < kLeastIdleGap || gap >= kLeastIdleGap + kIdleGaps) return false;
        int64_t frontGap = int64_t(line.key[b]) - line.key[0];
        if (frontGap < -128 || frontGap > 127) return false;
        key.frontGap[b] = int8_t(frontGap);
    }
    for (int m = 0; m < kModeCount; ++m) {
        int64_t relative = int64_t(cost[m]) - base;
        if (relative < -128 || relative > 127) return false;
        key.cost[m] = int8_t(relative);
    }
    key.pairKind = uint8_t(pairKind);
    if (pairKind != 0) {
        for (int m = 0; m < kModeCount; ++m) {
            int64_t relative = int64_t(before[m]) - base;
            if (relative < -128 || relative > 127) return false;
            key.pairCost[m] = int8_t(relative);
        }
    }
    return true;
}

// The idle gap of the start a state's cell pushes in binary mode b.
int idleGap(const FrontKey& key, int b) {
    return key.cost[kBinaryModes[b]] - key.frontGap[b] - kLeastIdleGap;
}

// A decision as the two words it is copied as.
struct DecisionWords {
    uint64_t word[2];
};

DecisionWords wordsOf(const Decision& decision) {
    DecisionWords words;
    std::memcpy(words.word, &decision, sizeof words.word);
    return words;
}

// The arrivals of the binary modes set to `value`, every other byte zero.
DecisionWords binaryArrivals(const uint32_t* value) {
    Decision decision{};
    for (int b = 0; b < kBinaryModeCount; ++b) decision.arrival[kBinaryModes[b]] = Arrival(value[b]);
    return wordsOf(decision);
}

// FrontStep::form: bit b when the arrival in kBinaryModes[b] is its
// front's run; kKeepsStarts when a start pushed has less than the top
// idle gap.
constexpr uint8_t kKeepsStarts = 1 << kBinaryModeCount;

// For each form, the arrivals of its binary modes reached by their fronts'
// runs all ones, every other bit zero.
struct RunMasks {
    DecisionWords of[2 * kKeepsStarts];
};

RunMasks buildRunMasks() {
    RunMasks masks;
    for (int form = 0; form < 2 * kKeepsStarts; ++form) {
        uint32_t mask[kBinaryModeCount];
        for (int b = 0; b < kBinaryModeCount; ++b) mask[b] = form >> b & 1 ? 0xFFFF : 0;
        masks.of[form] = binaryArrivals(mask);
    }
    return masks;
}

const RunMasks runMasks = buildRunMasks();

// What a position adds to the fronts' run lengths.
const DecisionWords runGrowth = [] {
    uint32_t ones[kBinaryModeCount];
    std::fill(ones, ones + kBinaryModeCount, 1u);
    return binaryArrivals(ones);
}();

// Where a long-run state goes on a byte class: the next state (as the
// offset of its row of steps, in bytes), the idle gaps of the starts the
// cell pushes, and the cell's decision, whose arrivals reached by the
// fronts' runs (`form`) hold kStartArrival, to be given their lengths.
// 24 bytes.
struct FrontStep {
    uint32_t next = kUnknownState;
    uint8_t idleGap[kBinaryModeCount] = {};
    uint8_t form = 0;
    DecisionWords decision{};
};

constexpr uint32_t kFrontRowBytes = kClassSlots * sizeof(FrontStep);
static_assert(uint64_t(TransitionCache<FrontKey, FrontStep>::kMaxStates) * kFrontRowBytes < kLeavesShape,
              "a row's offset is below the markers");

// Each byte's class times the size of a step: its step's offset in a row.
constexpr std::array<uint16_t, 256> buildStepOffsets() {
    std::array<uint16_t, 256> offsets{};
    for (int byte = 0; byte < 256; ++byte) offsets[byte] = uint16_t(byteClasses.of[byte] * sizeof(FrontStep));
    return offsets;
}

constexpr std::array<uint16_t, 256> stepOffsets = buildStepOffsets();

// Where the long-run machine has got to.
struct LongRunCursor {
    uint32_t j;             // the last position filled
    uint32_t state;         // the state there
    DecisionWords lengths;  // each front's run length to j, as binaryArrivals
    Decision* cell;         // the decision of position j
};

// Follows known transitions from `at` up to position `stop`, keeping in
// lastStart the last position of each idle gap pushed; returns the
// transition that stopped it before `stop` (unknown or out of the shape),
// else null.  A loop of its own over locals: the decisions' bytes could be
// any object to the compiler.
const FrontStep* followLongRuns(const FrontStep* steps, const uint8_t* data, uint32_t stop, LongRunCursor& at,
                                uint32_t (*lastStart)[kIdleGaps]) {
    uint32_t j = at.j;
    uint32_t row = at.state * kFrontRowBytes;
    DecisionWords lengths = at.lengths;
    Decision* cell = at.cell;
    const FrontStep* stopped = nullptr;
    const char* rows = reinterpret_cast<const char*>(steps);
    while (j < stop) {
        uint32_t offset = stepOffsets[data[j]];
        const FrontStep& taken = *reinterpret_cast<const FrontStep*>(rows + row + offset);
        if (taken.next >= kLeavesShape) {
            stopped = &taken;
            break;
        }
        const DecisionWords& runs = runMasks.of[taken.form];
        auto fillNext = [&] {
            ++j;
            lengths.word[0] += runGrowth.word[0];
            lengths.word[1] += runGrowth.word[1];
            uint64_t made[2] = {taken.decision.word[0] + (lengths.word[0] & runs.word[0]),
                                taken.decision.word[1] + (lengths.word[1] & runs.word[1])};
            std::memcpy(++cell, made, sizeof made);
        };
        fillNext();
        // A step back to the same state repeats on every byte of the same
        // class (a stretch of binary bytes, mostly).
        if (taken.next == row)
            while (j < stop && stepOffsets[data[j]] == offset) fillNext();
        // (A start with the top gap is kept only while it is the newest.)
        if (taken.form & kKeepsStarts)
            for (int b = 0; b < kBinaryModeCount; ++b) lastStart[b][taken.idleGap[b]] = j;
        row = taken.next;
    }
    at = {j, row / kFrontRowBytes, lengths, cell};
    return stopped;
}

// ---------------------------------------------------------------------------
// Both machines' states, kept per thread.

class StateCache {
public:
    TransitionCache<StateKey, Transition> text;
    TransitionCache<FrontKey, FrontStep> longRuns;
    // The run queues of the long-run machine's model state (learnLongRun).
    RunWindows model;
    // The messages in a row, up to kMostFruitless, on which the text
    // machine gave up learning (Fill::learntTooMuch); those on which it
    // learnt in vain, up to Fill::kBarrenToRest (Fill::reckon), and the
    // messages since it came to rest.
    unsigned fruitless = 0;
    unsigned barren = 0;
    unsigned rested = 0;
};

// ---------------------------------------------------------------------------
// A long-run transition, learnt from the state alone: the general
// programme's step from a model of it at a position of its own, where each
// front is kModelAge bytes back and the newest start is the short window's
// only one.  The step's comparisons are all between costs that a constant
// moves together, and a run's start only gives its length, so the model
// step is the real one moved; the fronts' runs, kModelAge bytes long there,
// are the form's.

constexpr uint32_t kModelPosition = 4096;             // the position the model state is at
constexpr int32_t kModelFrontKey = int32_t(1) << 20;  // K_U there
constexpr uint32_t kModelAge = 100;                   // the fronts' distance from the next position
static_assert(kModelAge > kShortRunMax && kModelAge <= kMaxBinaryRun, "the model's fronts give long runs");

// Learns the step of `from` (an id of `cache`) on `byte`: the next state,
// or kLeavesShape where the step leaves the shape.  `model` is scratch.
void learnLongRun(TransitionCache<FrontKey, FrontStep>& cache, uint32_t from, uint8_t byte, RunWindows& model) {
    const FrontKey key = cache.key(from);  // a copy: interning may move the keys
    uint32_t generation = cache.generation();
    FrontLine line;
    uint32_t j = kModelPosition;
    int64_t base = int64_t(kModelFrontKey) + 8 * int64_t(j);
    uint32_t cost[kModeCount], before[kModeCount], next[kModeCount];
    for (int m = 0; m < kModeCount; ++m) {
        cost[m] = uint32_t(base + key.cost[m]);
        before[m] = uint32_t(base + key.pairCost[m]);
    }
    model.clear();
    for (int b = 0; b < kBinaryModeCount; ++b) {
        line.position[b] = j + 1 - kModelAge;
        line.key[b] = kModelFrontKey + key.frontGap[b];
        model[b].push(line.position[b], line.key[b]);
        model[b].push(j, int32_t(cost[kBinaryModes[b]]) - int32_t(8 * j));
    }
    bool paired = key.pairKind != 0 && key.pairKind == pairSecondKind(byte);
    Decision decision;
    fillPosition(j + 1, byte, cost, paired ? before : nullptr, model, next, decision);
    FrontKey nextKey;
    uint32_t nextState = 0;
    bool fits = frontState(j + 1, next, cost, pairFirstKind(byte), line, nextKey);
    for (int b = 0; b < kBinaryModeCount; ++b) {
        Arrival how = decision.arrival[kBinaryModes[b]];
        if (how > kPairArrival && how != runArrival(kModelAge)) fits = false;
    }
    if (fits) nextState = cache.intern(nextKey);
    if (cache.generation() != generation) return;  // `from` is gone
    FrontStep& learnt = cache.transition(from, byteClasses.of[byte]);
    learnt.next = fits ? nextState * kFrontRowBytes : kLeavesShape;
    if (!fits) return;
    Decision form = decision;
    learnt.form = 0;
    for (int b = 0; b < kBinaryModeCount; ++b) {
        Arrival& how = form.arrival[kBinaryModes[b]];
        if (how > kPairArrival) {
            learnt.form |= uint8_t(1 << b);
            how = kStartArrival;
        }
        learnt.idleGap[b] = uint8_t(idleGap(nextKey, b));
        if (learnt.idleGap[b] != kTopIdleGap) learnt.form |= kKeepsStarts;
    }
    learnt.decision = wordsOf(form);
}

// ---------------------------------------------------------------------------
// The fill: cells of positions 0 .. length and their flags, by the state
// machine where it can and the general programme elsewhere.

namespace {

class Fill {
public:
    Fill(const uint8_t* data, std::size_t length, const FlagList& flags, Decision* decisions, RunWindows& windows,
         StateCache& cache)
        : data_(data), length_(uint32_t(length)), flags_(flags), decisions_(decisions), windows_(windows),
          cache_(cache.text), longRuns_(cache.longRuns), model_(cache.model), fruitless_(cache.fruitless),
          barren_(cache.barren), tried_(barren_ < kBarrenToRest || ++cache.rested % kRestingProbe == 0),
          budget_(kLearningBudget >> (2 * fruitless_)), addedBefore_(cache.text.added()) {}

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
        uint32_t nextCapture = tried_ ? 1 : UINT32_MAX;  // the general programme tries to hand over from here
        uint32_t backoff = kCaptureBackoff;
        uint32_t nextLongRuns = 1;  // and the long-run machine from here
        while (j < length_) {
            bool binaryOnly = generalStep(++j);
            finishPosition(j);
            if (binaryOnly && !flagged_) j = skipSteadyStretch(j);
            if (flagged_) continue;
            if (j >= nextLongRuns) {
                uint32_t retry = j + 1;
                bool ran = longRunHandOver(j, retry);
                nextLongRuns = ran ? j + 1 : retry;
                if (flagged_ || j == length_) continue;
            }
            if (j < nextCapture) continue;
            if (handOver(j)) {
                backoff = kCaptureBackoff;
            } else {
                nextCapture = j + backoff;
                backoff = std::min(2 * backoff, kMaxCaptureBackoff);
            }
            if (learntTooMuch()) nextCapture = UINT32_MAX;
        }
        reckon();
        return index_;
    }
    const uint32_t* lastCost() const { return last_; }

private:
    // After a failed hand-over, the general programme carries on this many
    // bytes before trying again (random bytes rarely fit the shape).
    static constexpr uint32_t kCaptureBackoff = 16;
    static constexpr uint32_t kMaxCaptureBackoff = 256;
    // The same for the long-run machine where the costs are out of its
    // shape (the starts in the way tell when to try again otherwise).
    static constexpr uint32_t kLongRunBackoff = 4;

    // Where nearly every state is new (bytes of many kinds mixed at random,
    // letters of both cases among digits and punctuation) the machine only
    // adds work: learning a state costs a few general steps and a row of
    // transitions, and carries the message no further.  So once a message
    // has added kLearningBudget new states, it must have been carried a
    // byte by the cached transitions for every eight more it adds, else it
    // is left to the general programme.  Text of a kind met before adds
    // next to nothing; text of a new kind adds states at most a few tens
    // of bytes apart while it carries on (so a thread still learns it).
    // After messages in a row that it gave up on, the budget is a quarter
    // of the last one's, down to kLeastLearningBudget: text of that kind
    // keeps coming, most likely, and new text of a kind the machine carries
    // still adds that many states a message until it is carried (then the
    // full budget is back).
    static constexpr uint64_t kLearningBudget = 64;
    static constexpr uint64_t kLeastLearningBudget = 16;
    static constexpr uint64_t kBytesPerLearntState = 8;
    static constexpr unsigned kMostFruitless = 1;
    static_assert(kLearningBudget >> (2 * kMostFruitless) == kLeastLearningBudget, "a quarter a message");
    bool learntTooMuch() {
        gaveUp_ = gaveUp_ || cache_.added() - addedBefore_ > budget_ + machineBytes_ / kBytesPerLearntState;
        return gaveUp_;
    }

    // Where the machine learns states and carries next to nothing with
    // them, message after message, it rests: random bytes are such data
    // (the machine carries one in a hundred of them, and learns a state
    // for every thirty, a fifth of the time of 500 random bytes for
    // nothing).  A message is barren when the machine learnt more than
    // twice as many states as it carried bytes; after kBarrenToRest in a
    // row it is tried on one message in kRestingProbe only, until one is
    // not barren.  Text, even of a new kind, carries many bytes a state.
    // A message it was not tried on tells nothing.
    static constexpr unsigned kBarrenToRest = 3;
    static constexpr unsigned kRestingProbe = 8;
    void reckon() {
        if (!tried_) return;
        fruitless_ = gaveUp_ ? std::min(fruitless_ + 1, kMostFruitless) : 0;
        const bool barren = cache_.added() - addedBefore_ > 2 * machineBytes_;
        barren_ = barren ? std::min(barren_ + 1, kBarrenToRest) : 0;
    }

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
            // The loop of text a thread has met: in locals, which the
            // decisions it stores cannot alias, so that the position and
            // the index stay in registers rather than going through memory
            // at every byte.  No state is added while it runs, so the rows
            // stay where they are.
            const Transition* transition = nullptr;
            const Transition* rows = cache_.transitions();
            const uint8_t* data = data_;
            Decision* decisions = decisions_;
            std::size_t index = index_;
            uint32_t at = j;
            while (at < stop) {
                transition = &rows[std::size_t(state) * kClassSlots + byteClasses.of[data[at]]];
                if (transition->next >= kLeavesShape) break;
                decisions[++index] = transition->decision;
                least += transition->rise;
                state = transition->next;
                ++at;
            }
            machineBytes_ += at - j;
            index_ = index;
            j = at;
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
            if (!fits || learntTooMuch()) return true;
        }
    }

    // Runs the long-run machine from position j (filled, without flags)
    // while it can; false when the state at j has not its shape.  Returns
    // with the general programme's state at the position reached, which is
    // updated in `j`.
    bool longRunHandOver(uint32_t& j, uint32_t& retry) {
        FrontLine line;
        FrontKey key;
        if (!findFronts(j, windows_, line, retry)) return false;
        if (!frontState(j, last_, beforeLast_, pairFirstKind(data_[j - 1]), line, key)) {
            retry = j + kLongRunBackoff;
            return false;
        }
        uint32_t state = longRuns_.intern(key);
        uint32_t stop = nextFlag_ < flags_.count ? uint32_t(flags_.flags[nextFlag_].position) : length_;
        stop = std::min(stop, line.lastEnd());
        uint32_t first = j + 1;  // the first position whose starts are kept in lastStart_
        uint32_t lengths[kBinaryModeCount];
        for (int b = 0; b < kBinaryModeCount; ++b) lengths[b] = j - line.position[b];
        LongRunCursor at{j, state, binaryArrivals(lengths), decisions_ + index_};
        const FrontStep* transition;
        for (;;) {
            transition = followLongRuns(longRuns_.transitions(), data_, stop, at, lastStart_);
            if (transition == nullptr || transition->next == kLeavesShape) break;
            // A transition not met yet: learnt, or the state again where
            // learning it emptied the cache.
            uint32_t generation = longRuns_.generation();
            FrontKey current = longRuns_.key(at.state);
            learnLongRun(longRuns_, at.state, data_[at.j], model_);
            if (longRuns_.generation() != generation) at.state = longRuns_.intern(current);
        }
        index_ += at.j - j;
        j = at.j;
        handBackLongRuns(longRuns_.key(at.state), line, first, j);
        if (j == stop) {
            // A flag, the end, or a front about to expire: the general
            // programme finishes the position (its run starts are already
            // queued).
            flagged_ = nextFlag_ < flags_.count && flags_.flags[nextFlag_].position == j;
            if (flagged_) {
                index_ = applyFlags(last_, decisions_, index_, j, flags_, nextFlag_);
                windows_.clear();
                pushRunStarts(last_, j, windows_);
            }
        }
        return true;
    }

    // The general programme's state at position j from the long-run state
    // `key` against `line`: the costs of the last cells of j and j - 1 (the
    // latter unreached when no pair can follow), and the starts pushed from
    // position `first` on added to the queues, those that later starts did
    // not evict.
    void handBackLongRuns(const FrontKey& key, const FrontLine& line, uint32_t first, uint32_t j) {
        if (j < first) return;
        int64_t base = int64_t(line.key[0]) + 8 * int64_t(j);
        for (int m = 0; m < kModeCount; ++m) {
            last_[m] = uint32_t(base + key.cost[m]);
            beforeLast_[m] = key.pairKind != 0 ? uint32_t(base + key.pairCost[m]) : kUnreached;
        }
        for (int b = 0; b < kBinaryModeCount; ++b) {
            // From the newest start back: each kept start is the last one
            // with a smaller key than the kept start after it.
            uint32_t kept[kIdleGaps];
            int keptGap[kIdleGaps];
            int count = 0;
            int gap = idleGap(key, b);
            kept[count] = j;
            keptGap[count++] = gap;
            for (;;) {
                uint32_t latest = 0;
                int latestGap = -1;
                for (int g = 0; g < gap; ++g)
                    if (lastStart_[b][g] >= first && lastStart_[b][g] > latest) {
                        latest = lastStart_[b][g];
                        latestGap = g;
                    }
                if (latestGap < 0) break;
                kept[count] = latest;
                keptGap[count++] = latestGap;
                gap = latestGap;
            }
            while (count > 0) {
                --count;
                windows_[b].push(kept[count], line.key[b] + kLeastIdleGap + keptGap[count]);
            }
        }
    }

    const uint8_t* data_;
    uint32_t length_;
    FlagList flags_;
    Decision* decisions_;
    RunWindows& windows_;
    TransitionCache<StateKey, Transition>& cache_;
    TransitionCache<FrontKey, FrontStep>& longRuns_;
    RunWindows& model_;
    uint32_t costRows_[3][kModeCount];
    uint32_t* last_ = costRows_[0];        // the costs of the last cell filled
    uint32_t* beforeLast_ = costRows_[1];  // and of the last cell of the position before
    uint32_t* spare_ = costRows_[2];
    unsigned& fruitless_;              // the cache's counts
    unsigned& barren_;
    bool tried_;                       // the machine is tried on this message
    uint64_t budget_;                  // of new states before the machine must carry the message
    bool gaveUp_ = false;              // learntTooMuch() said so
    uint64_t addedBefore_;             // cache_.added() at the start
    uint64_t machineBytes_ = 0;        // positions filled by cached transitions
    std::size_t index_ = 0;            // of the last cell filled
    std::size_t nextFlag_ = 0;
    bool flagged_ = false;             // the last position filled has a flag
    // The last position the long-run machine filled with each idle gap.
    uint32_t lastStart_[kBinaryModeCount][kIdleGaps] = {};
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
