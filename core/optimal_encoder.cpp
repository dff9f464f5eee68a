// The optimal encoder's output: the walk back over the cells that
// fillCells (optimal_machine.cpp) fills, writing the stream from its end;
// the working storage kept per thread; the entry points.
#include "optimal_encoder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "bit_order.hpp"
#include "optimal_machine.hpp"
#include "optimal_programme.hpp"
#include "stream_tokens.hpp"
#include "thread_cache.hpp"

namespace quillbank::aztec {

namespace {

using namespace optimal;

// ---------------------------------------------------------------------------
// The walk back writes the stream from its end.

// Four bytes as a big-endian word, and back: byte swaps where the compiler
// has them.
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline uint32_t loadBigEndian(const uint8_t* p) {
    uint32_t word;
    std::memcpy(&word, p, sizeof word);
    return __builtin_bswap32(word);
}
inline void storeBigEndian(uint8_t* p, uint32_t word) {
    word = __builtin_bswap32(word);
    std::memcpy(p, &word, sizeof word);
}
#else
inline uint32_t loadBigEndian(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void storeBigEndian(uint8_t* p, uint32_t word) {
    p[0] = uint8_t(word >> 24);
    p[1] = uint8_t(word >> 16);
    p[2] = uint8_t(word >> 8);
    p[3] = uint8_t(word);
}
#endif

// Reverses the bit order of every byte from `begin` to `end`, eight at a
// time (halves, quarters and pairs of each byte swapped in one word).
void reverseEachByte(uint8_t* begin, uint8_t* end) {
    uint8_t* p = begin;
    for (; end - p >= 8; p += 8) {
        uint64_t x;
        std::memcpy(&x, p, sizeof x);
        x = (x >> 4 & 0x0F0F0F0F0F0F0F0Fu) | (x & 0x0F0F0F0F0F0F0F0Fu) << 4;
        x = (x >> 2 & 0x3333333333333333u) | (x & 0x3333333333333333u) << 2;
        x = (x >> 1 & 0x5555555555555555u) | (x & 0x5555555555555555u) << 1;
        std::memcpy(p, &x, sizeof x);
    }
    for (; p != end; ++p) *p = kReversedBytes[*p];
}

// Writes tokens into a stream of known length from its last token back to
// its first, 32 bits at a time, each byte filled from its top bit;
// finish() turns every byte around, so that stream bit k ends up as bit
// k % 8.  Tokens that do not add up to the length (a fault of the
// programme) raise std::logic_error rather than write outside the stream.
class BackwardBitWriter {
public:
    // The stream of `bitCount` bits in the bytes from `begin` to `end`.
    BackwardBitWriter(uint8_t* begin, uint8_t* end, std::size_t bitCount)
        : begin_(begin), end_(end), out_(end), pendingBits_(uint32_t(-bitCount & 7)), padBits_(pendingBits_) {}

    // The bits written so far: those after the next token.
    std::size_t written() const { return std::size_t(end_ - out_) * 8 + pendingBits_ - padBits_; }

    // A token of at most 32 bits, before those written so far.
    void write(uint32_t bitCount, uint64_t value) {
        pending_ |= value << pendingBits_;
        pendingBits_ += bitCount;
        if (pendingBits_ >= 32) {
            uint32_t word = uint32_t(pending_);
            if (out_ - begin_ < 4) throw std::logic_error("stream longer than its cost");
            out_ -= 4;
            storeBigEndian(out_, word);
            pending_ >>= 32;
            pendingBits_ -= 32;
        }
    }
    void write(BitToken token) { write(token.bitCount, token.value); }

    // The `count` words of four bytes before `end`, the last first: what
    // write(32, ...) does for each, with one bound check (fewer than 32
    // bits are pending between writes, so each word moves one out).
    void writeWords(const uint8_t* end, std::size_t count) {
        if (std::size_t(out_ - begin_) / 4 < count) throw std::logic_error("stream longer than its cost");
        uint64_t pending = pending_;
        uint8_t* out = out_;
        for (; count != 0; --count, end -= 4) {
            pending |= uint64_t(loadBigEndian(end - 4)) << pendingBits_;
            out -= 4;
            storeBigEndian(out, uint32_t(pending));
            pending >>= 32;
        }
        pending_ = pending;
        out_ = out;
    }

    // Once every token is written.
    void finish() {
        if (std::size_t(out_ - begin_) * 8 != pendingBits_) throw std::logic_error("stream shorter than its cost");
        for (; pendingBits_ >= 8; pendingBits_ -= 8, pending_ >>= 8) *--out_ = uint8_t(pending_);
        reverseEachByte(begin_, end_);
    }

private:
    uint8_t* begin_;
    uint8_t* end_;
    uint8_t* out_;
    uint64_t pending_ = 0;  // the low pendingBits_ bits are unwritten (at most 31 + 32)
    uint32_t pendingBits_;  // starts with the zero bits after the last token
    uint32_t padBits_;      // those zero bits
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
    out.writeWords(end, length / 4);
    const uint8_t* byte = end - length / 4 * 4;
    for (std::size_t left = length % 4; left != 0; --left, --byte) out.write(8, byte[-1]);
    out.write(runHeader(length));
}

// Nothing to do at an arrival.
struct NoVisit {
    void operator()(std::size_t, int, std::size_t) const {}
};

// Undoes the latch closure of a cell's `decision` from `mode`: each
// latch, the last first, to latch(from, to); `mode` becomes the arrival's.
template <typename Latch>
void undoLatches(const Decision& decision, int& mode, Latch latch) {
    for (uint8_t source = decision.source[mode]; source != 0; source = decision.source[mode]) {
        const int from = (source & 7) - 1;
        latch(from, mode);
        mode = from;
        if (!(source & kFromClosed)) break;
    }
}

// Walks back from the last cell, decisions[index], in the final mode,
// writing each step's codes as it goes; visit(cell, mode, bits after) at
// each arrival it meets.
template <typename Visit = NoVisit>
void walkBack(const Decision* decisions, std::size_t index, int mode, const uint8_t* data, std::size_t length,
              const FlagList& flags, BackwardBitWriter& out, Visit visit = {}) {
    std::size_t position = length;
    for (;;) {
        const Decision& decision = decisions[index];
        undoLatches(decision, mode, [&](int from, int to) { out.write(latchTable[from][to]); });
        visit(index, mode, out.written());
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

// The stream walked back from cell `index` in `mode`, of `bits` bits: the
// first `length` bytes' (and their flags), after the structured-append
// start when asked; `visit` as walkBack's.
template <typename Visit = NoVisit>
PackedBits writeStream(const Decision* decisions, std::size_t index, int mode, uint32_t bits, const uint8_t* data,
                       std::size_t length, const FlagList& flags, bool structuredAppend, Visit visit = {}) {
    PackedBits stream;
    stream.bitCount = bits;
    stream.bytes.resize((stream.bitCount + 7) / 8);
    BackwardBitWriter out(stream.bytes.data(), stream.bytes.data() + stream.bytes.size(), stream.bitCount);
    walkBack(decisions, index, mode, data, length, flags, out, visit);
    if (structuredAppend) out.write(kAppendStart);
    out.finish();
    return stream;
}

// The working storage of one thread's encodings, kept between messages so
// that a steady stream of them allocates only the result, and a long
// message is not charged for fresh pages on every call.  The decisions are
// allocated without being cleared (each is written before it is read); the
// storage is given back when a much shorter message follows, and after any
// message above kMaxKeptCells.  The run queues (about 100 KB) and the state
// cache are on the heap too, not in the thread's own storage, which some C
// libraries carve out of a small thread stack.
//
// An encoding that fails part way (no memory) leaves each part whole: the
// decisions and the run queues are written before they are read by every
// encoding, and the state cache adds a state with its row or not at all.
class Scratch {
public:
    RunWindows& windows() {
        if (!windows_) windows_.reset(new RunWindows);
        return *windows_;
    }
    StateCache& cache() {
        if (!cache_) cache_ = makeStateCache();
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
            forget();
            decisions_.reset();
            capacity_ = 0;
        }
    }

    // What the decisions hold once an encoding has filled them: the cells of
    // this message, flags and start; so that the fitting start of a message
    // the thread has just encoded and found too long (make's refusal, then
    // its figures) walks those cells rather than filling them again.
    bool holds(const uint8_t* data, std::size_t length, const FlagList& flags, uint32_t startBits) const {
        return filled_ && filledStart_ == startBits && filledData_.size() == length &&
               filledFlags_.size() == flags.count &&
               std::equal(flags.flags, flags.flags + flags.count, filledFlags_.begin(),
                          [](const StreamFlag& a, const StreamFlag& b) {
                              return a.position == b.position && a.eci == b.eci;
                          }) &&
               (length == 0 || std::memcmp(filledData_.data(), data, length) == 0);
    }
    Decision* filledDecisions() { return decisions_.get(); }
    std::size_t filledLastIndex() const { return filledLastIndex_; }
    const uint32_t* filledLastCost() const { return filledLastCost_; }

    void forget() { filled_ = false; }
    // After a fill: a copy of what it was of, for a message of a size some
    // symbol's refusal may have (none for a longer one, or if there is no
    // memory for one: the next encoding fills its cells as it would anyway).
    void remember(const uint8_t* data, std::size_t length, const FlagList& flags, uint32_t startBits,
                  std::size_t lastIndex, const uint32_t* lastCost) noexcept {
        if (length > kKeptCells || flags.count > kKeptFlags) return;
        try {
            filledData_.assign(data, data + length);
            filledFlags_.assign(flags.flags, flags.flags + flags.count);
        } catch (const std::bad_alloc&) {
            return;
        }
        filledStart_ = startBits;
        filledLastIndex_ = lastIndex;
        std::copy(lastCost, lastCost + kModeCount, filledLastCost_);
        filled_ = true;
    }

private:
    // Kept whatever follows: 256 KB of decisions.
    static constexpr std::size_t kKeptCells = 16384;
    // The most flags of a message whose copy is kept with its cells.
    static constexpr std::size_t kKeptFlags = 64;
    // Above this (8 MB of decisions, a 512 KB message) nothing is kept.
    static constexpr std::size_t kMaxKeptCells = std::size_t(1) << 19;

    std::unique_ptr<RunWindows> windows_;
    StateCachePointer cache_;
    std::unique_ptr<Decision[]> decisions_;
    std::size_t capacity_ = 0;
    bool filled_ = false;
    std::vector<uint8_t> filledData_;
    std::vector<StreamFlag> filledFlags_;
    uint32_t filledStart_ = 0;
    std::size_t filledLastIndex_ = 0;
    uint32_t filledLastCost_[kModeCount] = {};
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

namespace {

// A message's cells filled in the thread's scratch (a decision a cell, and
// the costs and best mode at the end), which is released on every way out,
// exceptions included.
class FilledCells {
    ThreadCache<Scratch> kept_;
    struct Release {
        Scratch& scratch;
        ~Release() { scratch.release(); }
    } release_{*kept_};

public:
    Decision* decisions = nullptr;
    std::size_t lastIndex = 0;
    uint32_t lastCost[kModeCount] = {};
    int mode = 0;

    // `again`: the cells the thread's last encoding filled, when they are
    // of this message, flags and start.
    FilledCells(const uint8_t* data, std::size_t length, const FlagList& flags, uint32_t startBits,
                bool again = false) {
        Scratch& scratch = release_.scratch;
        if (again && scratch.holds(data, length, flags, startBits)) {
            decisions = scratch.filledDecisions();
            lastIndex = scratch.filledLastIndex();
            std::copy(scratch.filledLastCost(), scratch.filledLastCost() + kModeCount, lastCost);
        } else {
            scratch.forget();
            decisions = scratch.decisionsFor(length + 1 + flags.count);
            lastIndex = fillCells(data, length, flags, startBits, decisions, scratch.windows(), scratch.cache(), lastCost);
            scratch.remember(data, length, flags, startBits, lastIndex, lastCost);
        }
        mode = bestFinalMode(lastCost);
    }
    FilledCells(const FilledCells&) = delete;
    FilledCells& operator=(const FilledCells&) = delete;
};

}  // namespace

PackedBits encodeOptimal(const uint8_t* data, std::size_t length, const StreamLayout& layout) {
    if (length > kMaxOptimalMessage) throw std::length_error("message too long");
    checkLayout(length, layout);
    const FlagList flags{layout.flags.data(), layout.flags.size()};
    const uint32_t startBits = layout.structuredAppend ? kAppendStart.bitCount : 0;

    const FilledCells cells(data, length, flags, startBits);
    return writeStream(cells.decisions, cells.lastIndex, cells.mode, cells.lastCost[cells.mode], data, length, flags,
                       layout.structuredAppend);
}

PackedBits encodeOptimal(const uint8_t* data, std::size_t length, std::optional<uint32_t> eci) {
    StreamLayout layout;
    if (eci) layout.flags.push_back(StreamFlag::eciDesignator(0, *eci));
    return encodeOptimal(data, length, layout);
}

namespace {

// The bits of the latches undoLatches undoes, as walkBack writes them.
uint32_t latchesBack(const Decision& decision, int& mode) {
    uint32_t bits = 0;
    undoLatches(decision, mode, [&](int from, int to) { bits += latchTable[from][to].bitCount; });
    return bits;
}

// One step back along the decisions, as walkBack takes it: the bits of
// the arrival `how` in `mode` at cell `index`, which follows position
// `position` (its bytes before it) and is the cell of `flag` when that is
// not null, and the cell the arrival comes from.  kUnreached for an
// arrival that cannot come to that cell; the start (cell 0) is the
// caller's.
struct ArrivalStep {
    uint32_t bits;
    std::size_t from;
};

ArrivalStep arrivalStep(Arrival how, int mode, std::size_t index, std::size_t position, const StreamFlag* flag,
                        const uint8_t* data) {
    constexpr ArrivalStep kNone{kUnreached, 0};
    const uint32_t toPunct = mode == Punct ? 0 : shiftTable[mode][Punct].bitCount;
    if (how == kCharArrival) {
        if (position == 0 || flag != nullptr) return kNone;
        const uint32_t bits = stepTokens[mode][data[position - 1]].bitCount;
        return bits == 0 ? kNone : ArrivalStep{bits, index - 1};
    }
    if (how == kFlagArrival)
        return flag == nullptr ? kNone : ArrivalStep{toPunct + flagToken(flag->eci).bitCount, index - 1};
    if (how == kPairArrival) return index < 2 ? kNone : ArrivalStep{toPunct + 5, index - 2};
    if (how == kStartArrival) return kNone;
    const std::size_t length = runLength(how);
    if (length > index) return kNone;
    return {uint32_t(8 * length) + runHeader(length).bitCount, index - length};
}

// The streams of the starts of a message, from the cells its encoding
// filled.  The programme only looks back, so the cells of the first n
// bytes are those an encoding of them alone fills; each cell's cost in
// each mode is the cost of the cell it came from plus the codes of the
// step, read off its decision as walkBack reads them.
class StartStreams {
public:
    // The costs of cells 0 to cells - 1, or up to the first whose every
    // mode costs more than `most` bits (no stream of a start grows shorter
    // with a byte more: its last step, cut short, is a stream of the start
    // before, as long or shorter).
    StartStreams(const Decision* decisions, const uint8_t* data, const FlagList& flags, std::size_t cells,
                 uint32_t startBits, std::size_t most)
        : decisions_(decisions), data_(data), flags_(flags) {
        cost_.resize(cells * kModeCount);
        std::size_t index = 0;
        for (std::size_t position = 0; index < cells; ++index) {
            if (index > 0 && !isFlagCell(index, position)) ++position;
            countCell(index, position, startBits);
            const uint32_t* row = &cost_[index * kModeCount];
            if (*std::min_element(row, row + kModeCount) > most) {
                ++index;
                break;
            }
        }
        cost_.resize(index * kModeCount);
    }

    bool failed() const { return false; }

    // The longest start (at most `most`) whose cost is counted.
    std::size_t counted() const {
        const std::size_t cells = cost_.size() / kModeCount;
        return cells > flags_.count ? cells - 1 - flags_.count : 0;
    }

    // The cell after the first n bytes (n >= 1; the flags are all before
    // the first byte), its cost in its final mode, and that mode.
    std::size_t cellOf(std::size_t n) const { return n + flags_.count; }
    uint32_t bits(std::size_t n) const { return cost(cellOf(n), finalMode(n)); }
    int finalMode(std::size_t n) const { return bestFinalMode(&cost_[cellOf(n) * kModeCount]); }

    // The first n bytes' own shortest stream.
    PackedBits stream(std::size_t n) const {
        return writeStream(decisions_, cellOf(n), finalMode(n), bits(n), data_, n, flags_, false);
    }

private:
    uint32_t cost(std::size_t cell, int mode) const { return cost_[cell * kModeCount + std::size_t(mode)]; }

    // Cell `index` follows a flag: the cells of position p are p plus the
    // flags before it, then one after each flag at p.
    bool isFlagCell(std::size_t index, std::size_t position) const {
        return index - position - 1 < flags_.count && flags_.flags[index - position - 1].position == position;
    }

    // Each mode's cost is an arrival's, in that mode or another, plus the
    // latches after it; only the arrivals some mode takes are counted.
    void countCell(std::size_t index, std::size_t position, uint32_t startBits) {
        const Decision& decision = decisions_[index];
        uint32_t* row = &cost_[index * kModeCount];
        for (int m = 0; m < kModeCount; ++m) {
            int mode = m;
            const uint32_t latches = latchesBack(decision, mode);
            const uint32_t arrival = arrivalCost(decision.arrival[mode], mode, index, position, startBits);
            row[m] = std::min<uint32_t>(kUnreached, arrival + latches);
        }
    }

    uint32_t arrivalCost(Arrival how, int mode, std::size_t index, std::size_t position, uint32_t startBits) const {
        if (index == 0) return how == kStartArrival && mode == Upper ? startBits : kUnreached;  // others: never written
        const StreamFlag* flag = isFlagCell(index, position) ? &flags_.flags[index - position - 1] : nullptr;
        const ArrivalStep step = arrivalStep(how, mode, index, position, flag, data_);
        return step.bits == kUnreached ? kUnreached : cost(step.from, mode) + step.bits;
    }

    const Decision* decisions_;
    const uint8_t* data_;
    const FlagList& flags_;
    std::vector<uint32_t> cost_;
};

// The costs of the starts of a message read off the path of its own
// stream.  The walk that writes the whole message's stream meets one
// arrival a step (onPath), whose cost is the whole's less the bits after
// it; a start's cost in
// a mode is the bits of a walk back from its cell to the first arrival on
// that path (the decisions are fixed: from there on the two walks are one),
// which takes a few steps where the paths join soon, as they do on most
// messages.  The walks give up past `budget` steps in all (failed()), and
// StartStreams counts the cells instead: the answer is the same, only
// slower.  For flags before the first byte alone (those of an ECI number).
class PathCosts {
public:
    PathCosts(const Decision* decisions, const uint8_t* data, const FlagList& flags, std::size_t lastIndex,
              std::size_t length, std::size_t most, std::size_t budget)
        : decisions_(decisions), data_(data), flags_(flags), length_(length), most_(most), budget_(budget),
          pathMode_(lastIndex + 1, kOffPath), pathCost_(new uint32_t[lastIndex + 1]) {
        for (std::size_t k = 0; k < flags.count; ++k)
            if (flags.flags[k].position != 0) failed_ = true;
    }

    // The whole's path arrives at `cell` in `mode` at a cost of `cost` bits;
    // the last arrival met first.  Also keeps the longest start whose cost
    // on the path is within most_ (so its own is too).
    void onPath(std::size_t cell, int mode, uint32_t cost) {
        pathMode_[cell] = uint8_t(mode);
        pathCost_[cell] = cost;
        if (surelyWithin_ == 0 && cell > flags_.count && positionOf(cell) < length_ && cost <= most_)
            surelyWithin_ = positionOf(cell);
    }

    bool failed() const { return failed_; }

    // The first start of more than `most` bits, or the longest start (the
    // whole message but its last byte) when none is; as StartStreams's.
    // A start's bits grow with its length, so the first beyond is found in
    // steps doubling from the longest one the path says is within, then by
    // bisection: a few walks, where a long binary run on the path leaves
    // hundreds of starts between its ends.
    std::size_t counted() {
        std::size_t within = surelyWithin_;  // 0, or a start of at most most_ bits
        std::size_t step = 1;
        while (within + step < length_ && bits(within + step) <= most_) {
            within += step;
            step *= 2;
        }
        std::size_t beyond = std::min(within + step, length_);  // length_: none is
        while (beyond - within > 1) {
            const std::size_t middle = within + (beyond - within) / 2;
            (bits(middle) <= most_ ? within : beyond) = middle;
        }
        return beyond == length_ ? length_ - 1 : beyond;
    }

    uint32_t bits(std::size_t n) { return row(n)[finalMode(n)]; }
    int finalMode(std::size_t n) { return bestFinalMode(row(n)); }

    PackedBits stream(std::size_t n) {
        return writeStream(decisions_, cellOf(n), finalMode(n), bits(n), data_, n, flags_, false);
    }

private:
    static constexpr uint8_t kOffPath = 0xFF;

    std::size_t cellOf(std::size_t n) const { return n + flags_.count; }
    std::size_t positionOf(std::size_t cell) const { return cell > flags_.count ? cell - flags_.count : 0; }
    bool isFlagCell(std::size_t cell) const { return cell >= 1 && cell <= flags_.count; }

    // The cost of `cell` in `mode`, as StartStreams counts it.
    uint32_t cost(std::size_t cell, int mode) {
        uint32_t bits = 0;
        for (;;) {
            bits += latchesBack(decisions_[cell], mode);
            if (pathMode_[cell] == mode) return std::min<uint32_t>(kUnreached, bits + pathCost_[cell]);
            const Arrival how = decisions_[cell].arrival[mode];
            if (cell == 0) return how == kStartArrival && mode == Upper ? std::min<uint32_t>(kUnreached, bits) : kUnreached;
            if (budget_ == 0) {
                failed_ = true;
                return kUnreached;
            }
            --budget_;
            const StreamFlag* flag = isFlagCell(cell) ? &flags_.flags[cell - 1] : nullptr;
            const ArrivalStep step = arrivalStep(how, mode, cell, positionOf(cell), flag, data_);
            if (step.bits >= kUnreached) return kUnreached;
            bits += step.bits;
            if (bits >= kUnreached) return kUnreached;
            cell = step.from;
        }
    }

    // The costs of the first n bytes' cell in every mode (the last asked kept).
    const uint32_t* row(std::size_t n) {
        if (n != rowOf_) {
            for (int m = 0; m < kModeCount; ++m) row_[m] = cost(cellOf(n), m);
            rowOf_ = n;
        }
        return row_;
    }

    const Decision* decisions_;
    const uint8_t* data_;
    const FlagList& flags_;
    std::size_t length_;
    std::size_t most_;
    std::size_t budget_;
    std::vector<uint8_t> pathMode_;
    std::unique_ptr<uint32_t[]> pathCost_;  // where pathMode_ is set
    std::size_t surelyWithin_ = 0;
    bool failed_ = false;
    uint32_t row_[kModeCount] = {};
    std::size_t rowOf_ = 0;  // no start (0 bytes) is asked
};

// Whether the first n bytes' shortest stream fits, as `fit` says.
template <typename Starts>
bool startFits(Starts& starts, std::size_t n, const StartFit& fit) {
    const std::size_t bits = starts.bits(n);
    if (bits > fit.mostBits) return false;
    return bits <= fit.surelyBits || fit.fits(starts.stream(n));
}

// The bytes of the longest start, fewer than all `length` (at least 2),
// that fits: the longest whose bits are within the codewords' room, then
// back from it in doubling steps to one that fits, and a bisection
// between, so that a fitting start is found in one or two walks back where
// stuffing is rare, and where it is not in a few more.  None when `starts`
// failed on the way.
template <typename Starts>
std::optional<std::size_t> longestFittingStart(Starts& starts, std::size_t length, const StartFit& fit) {
    std::size_t high = std::min(length - 1, starts.counted());
    while (high >= 1 && starts.bits(high) > fit.mostBits) --high;
    std::size_t low = 0;  // fits (0 bytes: nothing to fit)
    if (high != 0) {
        for (std::size_t step = 1;; step *= 2) {
            const std::size_t at = high > step ? high - step + 1 : 1;
            if (startFits(starts, at, fit)) {
                low = at;
                break;
            }
            if (at == 1) break;
            high = at - 1;
        }
    }
    if (low != 0) {
        while (low < high) {
            const std::size_t middle = low + (high - low + 1) / 2;
            if (startFits(starts, middle, fit))
                low = middle;
            else
                high = middle - 1;
        }
    }
    if (starts.failed()) return std::nullopt;
    return low;
}

}  // namespace

FittingStart encodeOptimalFitting(const uint8_t* data, std::size_t length, std::optional<uint32_t> eci,
                                  const StartFit& fit) {
    if (length > kMaxOptimalMessage) throw std::length_error("message too long");
    StreamLayout layout;
    if (eci) layout.flags.push_back(StreamFlag::eciDesignator(0, *eci));
    checkLayout(length, layout);
    const FlagList flags{layout.flags.data(), layout.flags.size()};

    // Filled once: make's refusal of a message, then its figures, walk
    // the cells of one fill.
    const FilledCells cells(data, length, flags, 0, true);
    const Decision* decisions = cells.decisions;
    const std::size_t lastIndex = cells.lastIndex;

    FittingStart result;
    const uint32_t bits = cells.lastCost[cells.mode];
    // The starts' costs from the whole's path, met as its stream is
    // written, in a few steps each where the paths join soon; counted cell
    // by cell where they do not.
    PathCosts path(decisions, data, flags, lastIndex, length, fit.mostBits, 8 * length + 4096);
    result.stream = writeStream(decisions, lastIndex, cells.mode, bits, data, length, flags, false,
                                [&](std::size_t cell, int mode, std::size_t after) {
                                    path.onPath(cell, mode, uint32_t(bits - after));
                                });
    if (length < 2) return result;
    std::optional<std::size_t> fitting =
        path.failed() || fit.countEveryCell ? std::nullopt : longestFittingStart(path, length, fit);
    if (!fitting) {
        StartStreams starts(decisions, data, flags, lastIndex, 0, fit.mostBits);  // the starts' cells: all but the last
        fitting = longestFittingStart(starts, length, fit);
    }
    result.fitting = *fitting;
    return result;
}

}  // namespace quillbank::aztec
