#include "optimal_encoder.hpp"

#include <array>
#include <limits>
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
//   2. latch closure: cost[j][m] = min over s of arrival[s] + latch(s, m).
//      The latch table holds shortest latch sequences, so it satisfies the
//      triangle inequality and one pass is enough; latching through a mode
//      to use its shift is the closure followed by a shift arrival.
//
// A binary stretch of length L from position i is one B/S run of 10 + 8L
// bits when L <= 31 or 21 + 8L bits when 32 <= L <= 2078; a longer stretch,
// or one that is cheaper as several runs (two runs of 31 or fewer cost 20
// header bits where one long run costs 21), is a chain of stretches, joined
// at the intermediate positions through cost[][m].  With key(i) = cost[i][m]
// - 8i, the best stretch ending at j is min(10 + min key over the last 31
// positions, 21 + min key over the last 2078 positions) + 8j: the long window
// may only pick a start closer than 32 when the short window already has a
// cheaper one from the same start, so the minimum is exact.  Each window is
// a monotonic queue: constant amortised work per byte.
//
// Tie rule
// --------
// Every comparison is strict, so among equal costs the first candidate in
// this order is kept:
//   arrivals at (j, m): one character (in m, else by the first shift in mode
//     order that holds it), then a pair, then a short binary run, then a long
//     binary run; among binary starts of equal cost the latest start (the
//     shortest run);
//   closure at (j, m): staying in m, then latching from s in mode order;
//   the end: the final mode lowest in mode order.

namespace quillbank::aztec {

namespace {

constexpr uint32_t kUnreached = std::numeric_limits<uint32_t>::max();

// ---------------------------------------------------------------------------
// The codes the tables do not hold: binary shift and the Punct pairs.

constexpr uint64_t kBinaryShiftCode = 31;  // in Upper, Lower and Mixed
constexpr std::size_t kShortRunMax = 31;   // the longest run with a 5-bit length
constexpr uint32_t kShortHeaderBits = 5 + 5;
constexpr uint32_t kLongHeaderBits = 5 + 5 + 11;

constexpr bool hasBinaryShift(int mode) { return mode == Upper || mode == Lower || mode == Mixed; }

// The Punct code of the two-byte sequence (a, b), or 0 when it is no pair.
constexpr uint8_t pairCode(uint8_t a, uint8_t b) {
    if (a == '\r' && b == '\n') return 2;
    if (b != ' ') return 0;
    if (a == '.') return 3;
    if (a == ',') return 4;
    if (a == ':') return 5;
    return 0;
}

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

// ---------------------------------------------------------------------------
// A sliding-window minimum of key(i) over the last `Window` positions, as a
// monotonic queue in a ring buffer: keys increase from the front, and a new
// position evicts every older one whose key is not smaller (so among equal
// keys the latest position survives).

template <std::size_t Window>
class WindowMinimum {
public:
    void push(uint32_t position, int64_t key) {
        while (size_ != 0 && at(size_ - 1).key >= key) --size_;
        at(size_) = {position, key};
        ++size_;
    }
    // The best entry among positions > end - Window - 1, i.e. of runs ending
    // at `end` no longer than Window; false when there is none.
    bool best(uint32_t end, uint32_t& position, int64_t& key) {
        while (size_ != 0 && end - at(0).position > Window) {
            head_ = (head_ + 1) & kMask;
            --size_;
        }
        if (size_ == 0) return false;
        position = at(0).position;
        key = at(0).key;
        return true;
    }

private:
    struct Entry {
        uint32_t position;
        int64_t key;
    };
    // A power of two above Window + 1, the most positions a window can hold.
    static constexpr std::size_t capacity() {
        std::size_t c = 1;
        while (c < Window + 2) c *= 2;
        return c;
    }
    static constexpr std::size_t kMask = capacity() - 1;

    Entry& at(std::size_t i) { return ring_[(head_ + i) & kMask]; }

    std::array<Entry, capacity()> ring_{};
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

// ---------------------------------------------------------------------------
// The programme's tables, kept for the walk back.

enum class StepKind : uint8_t { None, Start, Char, Pair, ShortRun, LongRun };

// How position j was reached in mode m before the latch closure.
struct Arrival {
    StepKind kind;
    uint8_t shiftTo;     // Char: kDirect or the shift's target
    uint16_t runLength;  // ShortRun, LongRun
};

struct Programme {
    std::size_t length;
    std::vector<std::array<uint32_t, kModeCount>> cost;
    std::vector<std::array<Arrival, kModeCount>> arrival;
    std::vector<std::array<uint8_t, kModeCount>> latchedFrom;
};

struct Candidates {
    std::array<uint32_t, kModeCount> cost;
    std::array<Arrival, kModeCount> arrival;

    void offer(int mode, uint32_t bits, Arrival how) {
        if (bits < cost[mode]) {
            cost[mode] = bits;
            arrival[mode] = how;
        }
    }
};

void closeUnderLatches(Programme& p, std::size_t j, const Candidates& c) {
    for (int m = 0; m < kModeCount; ++m) {
        uint32_t best = c.cost[m];
        uint8_t from = uint8_t(m);
        for (int s = 0; s < kModeCount; ++s) {
            if (s == m || c.cost[s] == kUnreached) continue;
            uint32_t bits = c.cost[s] + latchTable[s][m].bitCount;
            if (bits < best) {
                best = bits;
                from = uint8_t(s);
            }
        }
        p.cost[j][m] = best;
        p.latchedFrom[j][m] = from;
    }
    p.arrival[j] = c.arrival;
}

Candidates noCandidates() {
    Candidates c;
    c.cost.fill(kUnreached);
    c.arrival.fill(Arrival{StepKind::None, kDirect, 0});
    return c;
}

void offerCharacters(const Programme& p, const uint8_t* data, std::size_t j, Candidates& c) {
    uint8_t byte = data[j - 1];
    for (int m = 0; m < kModeCount; ++m) {
        CharStep step = charSteps[m][byte];
        if (step.bits == 0 || p.cost[j - 1][m] == kUnreached) continue;
        c.offer(m, p.cost[j - 1][m] + step.bits, {StepKind::Char, step.shiftTo, 0});
    }
}

void offerPair(const Programme& p, const uint8_t* data, std::size_t j, Candidates& c) {
    if (j < 2 || pairCode(data[j - 2], data[j - 1]) == 0) return;
    for (int m = 0; m < kModeCount; ++m) {
        if (p.cost[j - 2][m] == kUnreached) continue;
        // In Punct the pair is one code; elsewhere it takes a P/S first.
        uint32_t prefix = m == Punct ? 0 : shiftTable[m][Punct].bitCount;
        if (m != Punct && prefix == 0) continue;
        c.offer(m, p.cost[j - 2][m] + prefix + 5, {StepKind::Pair, kDirect, 0});
    }
}

struct RunWindows {
    WindowMinimum<kShortRunMax> shortRuns;
    WindowMinimum<kMaxBinaryRun> longRuns;
};

void offerBinaryRuns(std::size_t j, std::array<RunWindows, kModeCount>& windows, Candidates& c) {
    for (int m = 0; m < kModeCount; ++m) {
        if (!hasBinaryShift(m)) continue;
        uint32_t start;
        int64_t key;
        int64_t bytes = 8 * int64_t(j);
        if (windows[m].shortRuns.best(uint32_t(j), start, key))
            c.offer(m, uint32_t(key + bytes + kShortHeaderBits),
                    {StepKind::ShortRun, kDirect, uint16_t(j - start)});
        if (windows[m].longRuns.best(uint32_t(j), start, key) && j - start > kShortRunMax)
            c.offer(m, uint32_t(key + bytes + kLongHeaderBits),
                    {StepKind::LongRun, kDirect, uint16_t(j - start)});
    }
}

void pushRunStarts(const Programme& p, std::size_t i, std::array<RunWindows, kModeCount>& windows) {
    for (int m = 0; m < kModeCount; ++m) {
        if (!hasBinaryShift(m) || p.cost[i][m] == kUnreached) continue;
        int64_t key = int64_t(p.cost[i][m]) - 8 * int64_t(i);
        windows[m].shortRuns.push(uint32_t(i), key);
        windows[m].longRuns.push(uint32_t(i), key);
    }
}

void fill(Programme& p, const uint8_t* data, uint32_t startBits) {
    std::size_t n = p.length;
    p.cost.resize(n + 1);
    p.arrival.resize(n + 1);
    p.latchedFrom.resize(n + 1);
    // The windows are large (the long one holds 2,079 entries): keep them
    // off the stack.
    auto storage = std::make_unique<std::array<RunWindows, kModeCount>>();
    std::array<RunWindows, kModeCount>& windows = *storage;

    Candidates start = noCandidates();
    start.offer(Upper, startBits, {StepKind::Start, kDirect, 0});
    closeUnderLatches(p, 0, start);
    pushRunStarts(p, 0, windows);
    for (std::size_t j = 1; j <= n; ++j) {
        Candidates c = noCandidates();
        offerCharacters(p, data, j, c);
        offerPair(p, data, j, c);
        offerBinaryRuns(j, windows, c);
        closeUnderLatches(p, j, c);
        pushRunStarts(p, j, windows);
    }
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

// Appends tokens, most significant bit first, to a stream packed least
// significant bit first.
class BitWriter {
public:
    explicit BitWriter(PackedBits& out) : out_(out) {}

    void write(BitToken token) {
        for (int k = token.bitCount - 1; k >= 0; --k) {
            std::size_t at = out_.bitCount++;
            if ((at & 7) == 0) out_.bytes.push_back(0);
            out_.bytes.back() |= uint8_t(((token.value >> k) & 1) << (at & 7));
        }
    }

    // A whole byte at once: its bits reversed, split over at most two bytes.
    void writeByte(uint8_t byte) {
        uint8_t reversed = reversedBytes[byte];
        std::size_t offset = out_.bitCount & 7;
        if (offset == 0) {
            out_.bytes.push_back(reversed);
        } else {
            out_.bytes.back() |= uint8_t(reversed << offset);
            out_.bytes.push_back(uint8_t(reversed >> (8 - offset)));
        }
        out_.bitCount += 8;
    }

private:
    PackedBits& out_;
};

// One element of the chosen path, in stream order once reversed.
struct PathStep {
    uint32_t end;   // position after the step
    uint8_t mode;   // the latched mode the step is taken in (or latched into)
    uint8_t from;   // a latch: the mode latched from; kDirect for a step
    Arrival how;
};

std::size_t stepLength(const Arrival& how) {
    switch (how.kind) {
        case StepKind::Char: return 1;
        case StepKind::Pair: return 2;
        case StepKind::ShortRun:
        case StepKind::LongRun: return how.runLength;
        default: return 0;
    }
}

std::vector<PathStep> walkBack(const Programme& p) {
    std::size_t position = p.length;
    int mode = 0;
    for (int m = 1; m < kModeCount; ++m)
        if (p.cost[position][m] < p.cost[position][mode]) mode = m;

    std::vector<PathStep> path;
    for (;;) {
        int from = p.latchedFrom[position][mode];
        if (from != mode) path.push_back({uint32_t(position), uint8_t(mode), uint8_t(from), {}});
        const Arrival& how = p.arrival[position][from];
        if (how.kind == StepKind::Start) break;
        path.push_back({uint32_t(position), uint8_t(from), kDirect, how});
        position -= stepLength(how);
        mode = from;
    }
    return path;
}

void writeStep(BitWriter& out, const uint8_t* data, const PathStep& step) {
    Mode mode = Mode(step.mode);
    if (step.from != kDirect) {
        out.write(latchTable[step.from][mode]);
        return;
    }
    const Arrival& how = step.how;
    switch (how.kind) {
        case StepKind::Char: {
            uint8_t byte = data[step.end - 1];
            if (how.shiftTo == kDirect) {
                out.write(charToken(mode, byte));
            } else {
                out.write(shiftToken(mode, Mode(how.shiftTo)));
                out.write(charToken(Mode(how.shiftTo), byte));
            }
            break;
        }
        case StepKind::Pair:
            if (mode != Punct) out.write(shiftToken(mode, Punct));
            out.write(BitToken{5, pairCode(data[step.end - 2], data[step.end - 1])});
            break;
        case StepKind::ShortRun:
        case StepKind::LongRun: {
            std::size_t length = how.runLength;
            out.write(BitToken{5, kBinaryShiftCode});
            if (length <= kShortRunMax)
                out.write(BitToken{5, length});
            else
                out.write(BitToken{16, length - 31});  // 5 zero bits, then 11 bits
            for (std::size_t i = step.end - length; i < step.end; ++i) out.writeByte(data[i]);
            break;
        }
        default:
            break;
    }
}

}  // namespace

PackedBits encodeOptimal(const uint8_t* data, std::size_t length, std::optional<uint32_t> eci) {
    if (length > kMaxOptimalMessage) throw std::length_error("message too long");
    std::array<BitToken, 2> designator{};
    uint32_t startBits = 0;
    if (eci) {
        designator = eciDesignator(*eci);
        startBits = designator[0].bitCount + designator[1].bitCount;
    }

    Programme programme;
    programme.length = length;
    fill(programme, data, startBits);
    std::vector<PathStep> path = walkBack(programme);

    PackedBits stream;
    uint32_t total = kUnreached;
    for (uint32_t bits : programme.cost[length]) total = bits < total ? bits : total;
    stream.bytes.reserve((total + 7) / 8);
    BitWriter out(stream);
    if (eci) {
        out.write(designator[0]);
        out.write(designator[1]);
    }
    for (auto step = path.rbegin(); step != path.rend(); ++step) writeStep(out, data, *step);
    return stream;
}

}  // namespace quillbank::aztec
