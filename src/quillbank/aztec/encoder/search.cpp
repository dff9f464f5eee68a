// The search driver: the live list, the character, pair and binary steps,
// pruning, and the loop over the message.
//
// Every live state is advanced by each step, by appending a code in place
// or by branching into latch and shift children; after each step only the
// cheapest states survive, and of those only the first in each mode: two
// live states in the same mode with the same cost grow identical futures,
// and the earlier one always wins the final tie, so the later one can never
// contribute to the result.  That keeps the list at five states at most.

#include <algorithm>
#include <array>
#include <limits>
#include <new>

#include "code_tables.hpp"
#include "encoder_object.hpp"
#include "error_reporting.hpp"
#include "fault_injection.hpp"

#if defined(__GNUC__)
#define NOINLINE __attribute__((noinline))
#else
#define NOINLINE
#endif
// The live list's loops move a few pointers: a call to memmove, which GCC
// would make of them, costs more than the loop.
#if defined(__GNUC__) && !defined(__clang__)
#define NO_MEMMOVE __attribute__((optimize("no-tree-loop-distribute-patterns")))
#else
#define NO_MEMMOVE
#endif

namespace quillbank::aztec {

namespace {

// ---------------------------------------------------------------------------
// The live list

// The live list holds a handful of states, so a linear pass is the fastest
// way to find one.

int replaceState(EncoderObject* self, EncodeState* old, EncodeState* fresh) {
    if (faultDue(FaultSite::ReplaceState)) return raiseInjectedFault();
    std::vector<EncodeState*>& live = self->liveStates;
    if (live.size() == 1 && live[0] == old) {
        // The common case of a search down to one candidate.
        live[0] = fresh;
        return 0;
    }
    // Drop every entry that is `old`, keeping the order of the others.
    EncodeState** const begin = live.data();
    EncodeState** const end = begin + live.size();
    EncodeState** kept = begin;
    for (EncodeState** s = begin; s != end; ++s)
        if (*s != old) *kept++ = *s;
    if (kept == end) {
        live.push_back(fresh);
    } else {
        // A slot was freed: no reallocation.
        *kept++ = fresh;
        live.erase(live.begin() + (kept - begin), live.end());
    }
    return 0;
}

NO_MEMMOVE int removeState(EncoderObject* self, EncodeState* state) {
    if (faultDue(FaultSite::RemoveState)) return raiseInjectedFault();
    std::vector<EncodeState*>& live = self->liveStates;
    EncodeState** const begin = live.data();
    EncodeState** const end = begin + live.size();
    EncodeState** found = std::find(begin, end, state);
    if (found == end) return 0;
    for (EncodeState** s = found + 1; s != end; ++s) s[-1] = *s;
    live.pop_back();
    return 0;
}

// Each step walks a copy of the live list taken when it starts, so that the
// children it creates are not visited by the same step.  The copy lives on
// the stack; only a list longer than any the search itself makes would use
// the object's snapshot vector.
class Snapshot {
public:
    NO_MEMMOVE explicit Snapshot(EncoderObject* self) {
        const std::vector<EncodeState*>& live = self->liveStates;
        count_ = live.size();
        if (count_ <= kInline) {
            for (std::size_t i = 0; i < count_; ++i) inline_[i] = live[i];
            states_ = inline_;
        } else {
            self->snapshot.assign(live.begin(), live.end());
            states_ = self->snapshot.data();
        }
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    EncodeState* const* begin() const { return states_; }
    EncodeState* const* end() const { return states_ + count_; }

private:
    static constexpr std::size_t kInline = 8;
    EncodeState* inline_[kInline];
    EncodeState* const* states_;
    std::size_t count_;
};

// Allocation of a child may fail; the exception reaches `encode`.
StateTree& growingTree(EncoderObject* self) {
    if (faultDue(FaultSite::GrowChild)) throw std::bad_alloc();
    return self->tree;
}

// ---------------------------------------------------------------------------
// Character and pair steps

// The latch and shift children of a state whose mode lacks the byte, one
// pair per mode that holds it, in mode order.  Kept out of line: most
// characters are appended in place, and that loop stays small.
NOINLINE int branchChar(EncoderObject* self, EncodeState* state, uint8_t byte) {
    const EncoderOperations* ops = self->operationTable;
    const CandidateList& candidates = candidateTable[byte];
    for (int i = 0; i < candidates.count; ++i) {
        Mode target = candidates.modes[i];
        BitToken code = candidates.tokens[i];
        EncodeState* latched = latchChild(growingTree(self), *state, target, code);
        if (ops->replaceState(self, state, latched) < 0) return -1;
        if (hasShift(state->mode, target)) {
            EncodeState* shifted = shiftChild(growingTree(self), *state, target, code);
            if (ops->replaceState(self, state, shifted) < 0) return -1;
        }
    }
    return 0;
}

NOINLINE void reportAddChar() { writeUnraisable("quillbank.aztec.encoder.Encoder.addChar"); }

// One state's part of a character step.
inline int advanceChar(EncoderObject* self, EncodeState* state, uint8_t byte) {
    BitToken code = charToken(state->mode, byte);
    if (code.bitCount == 0) return branchChar(self, state, byte);
    // The state's own mode holds the byte: no branching.
    appendCode(*state, code);
    return self->operationTable->replaceState(self, state, state);
}

NOINLINE void addCharToEach(EncoderObject* self, uint8_t byte) {
    for (EncodeState* state : Snapshot(self)) {
        if (advanceChar(self, state, byte) < 0) {
            reportAddChar();
            return;
        }
    }
}

NOINLINE void branchOnly(EncoderObject* self, EncodeState* state, uint8_t byte) {
    if (branchChar(self, state, byte) < 0) reportAddChar();
}

// Written so that the common case, one live state whose mode holds the
// byte, needs no saved registers: the other cases are tail calls.
void addChar(EncoderObject* self, uint8_t byte) {
    std::vector<EncodeState*>& live = self->liveStates;
    if (live.size() != 1) return addCharToEach(self, byte);
    // A snapshot of one state is the state itself.
    EncodeState* state = live[0];
    BitToken code = charToken(state->mode, byte);
    if (code.bitCount == 0) return branchOnly(self, state, byte);
    appendCode(*state, code);
    if (self->operationTable->replaceState(self, state, state) < 0) reportAddChar();
}

// One state's part of a pair step.
int advancePair(EncoderObject* self, EncodeState* state, uint8_t code) {
    const EncoderOperations* ops = self->operationTable;
    if (state->mode == Punct) {
        appendCode(*state, BitToken{5, code});
        return ops->replaceState(self, state, state);
    }
    EncodeState* latched = latchPairChild(growingTree(self), *state, code);
    if (ops->replaceState(self, state, latched) < 0) return -1;
    if (hasShift(state->mode, Punct)) {
        EncodeState* shifted = shiftPairChild(growingTree(self), *state, code);
        if (ops->replaceState(self, state, shifted) < 0) return -1;
    }
    return 0;
}

void addPair(EncoderObject* self, uint8_t code) {
    for (EncodeState* state : Snapshot(self)) {
        if (advancePair(self, state, code) < 0) {
            writeUnraisable("quillbank.aztec.encoder.Encoder.addPair");
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Binary runs

// Bytes below 0x80 that no text mode holds (0 and 14 to 26).
bool isUnencodableText(uint8_t byte) { return byte < 0x80 && candidateTable[byte].count == 0; }

// The length of the binary run at the start of `rest`: the bytes of 0x80
// and above, or else the bytes that no text mode holds, up to the first byte
// of the other kind and at most what one binary-shift header can announce.
uint16_t binaryRunLength(EncoderObject*, const uint8_t* rest, std::size_t length) {
    std::size_t limit = std::min(length, kMaxBinaryRun);
    std::size_t count = 0;
    if (rest[0] >= 0x80) {
        while (count < limit && rest[count] >= 0x80) ++count;
    } else {
        while (count < limit && isUnencodableText(rest[count])) ++count;
    }
    return uint16_t(count);
}

void addBinary(EncoderObject* self, const uint8_t* run, std::size_t length) {
    const EncoderOperations* ops = self->operationTable;
    for (EncodeState* state : Snapshot(self)) {
        EncodeState* child = binaryShiftChild(growingTree(self), *state, run, length);
        if (ops->replaceState(self, state, child) < 0) {
            writeUnraisable("quillbank.aztec.encoder.Encoder.addBinary");
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// Pruning and the data loop

// Removes every live state that costs more than the cheapest, and every
// state whose mode an earlier survivor already has.
NOINLINE void prune(EncoderObject* self) {
    std::vector<EncodeState*>& live = self->liveStates;
    uint64_t least = std::numeric_limits<uint64_t>::max();
    for (EncodeState* state : live) least = std::min(least, bitCost(*state));

    bool modeTaken[kModeCount] = {};
    std::size_t i = 0;
    while (i < live.size()) {
        EncodeState* state = live[i];
        bool taken = unsigned(state->mode) < kModeCount && modeTaken[state->mode];
        if (bitCost(*state) > least || taken) {
            // No state is listed twice, so this removes entry i.
            if (self->operationTable->removeState(self, state) < 0) {
                writeUnraisable("quillbank.aztec.encoder.Encoder.cleanup");
                return;
            }
        } else {
            modeTaken[state->mode] = true;
            ++i;
        }
    }
}

void cleanup(EncoderObject* self) {
    // A single state is the cheapest and the first of its mode.
    if (self->liveStates.size() > 1) prune(self);
}

EncodeState* bestState(EncoderObject* self) {
    EncodeState* best = nullptr;
    uint64_t least = std::numeric_limits<uint64_t>::max();
    for (EncodeState* state : self->liveStates) {
        if (bitCost(*state) < least) {
            best = state;
            least = bitCost(*state);
        }
    }
    return best;
}

// How the data loop treats a byte: a character, the first byte of a pair
// when the next byte completes one, or the start of a binary run.
enum ByteKind : uint8_t { kCharacter, kPairStart, kBinary };

constexpr std::array<ByteKind, 256> buildByteKinds() {
    std::array<ByteKind, 256> kinds{};
    for (int byte = 0; byte < 256; ++byte)
        kinds[byte] = byte >= 0x80 || candidateTable[byte].count == 0 ? kBinary : kCharacter;
    for (uint8_t byte : {'\r', '.', ',', ':'}) kinds[byte] = kPairStart;
    return kinds;
}

constexpr std::array<ByteKind, 256> kByteKinds = buildByteKinds();

void addData(EncoderObject* self, const uint8_t* data, std::size_t length) {
    const EncoderOperations* ops = self->operationTable;
    std::size_t position = 0;
    while (position < length) {
        if (faultDue(FaultSite::AddData)) {
            raiseInjectedFault();
            writeUnraisable("quillbank.aztec.encoder.Encoder.addData");
            return;
        }
        uint8_t byte = data[position];
        ByteKind kind = kByteKinds[byte];
        if (kind == kPairStart) {
            uint8_t next = position + 1 < length ? data[position + 1] : 0;
            if (uint8_t code = pairCode(byte, next)) {
                ops->addPair(self, code);
                ops->cleanup(self);
                position += 2;
                continue;
            }
            kind = kCharacter;
        }
        if (kind == kCharacter) {
            ops->addChar(self, byte);
            ops->cleanup(self);
            position += 1;
        } else {
            std::size_t run = ops->binaryRunLength(self, data + position, length - position);
            ops->addBinary(self, data + position, run);
            ops->cleanup(self);
            position += run;
        }
    }
}

}  // namespace

void fillSearchOperations(EncoderOperations& table) {
    table.replaceState = replaceState;
    table.removeState = removeState;
    table.addData = addData;
    table.bestState = bestState;
    table.cleanup = cleanup;
    table.binaryRunLength = binaryRunLength;
    table.addPair = addPair;
    table.addChar = addChar;
    table.addBinary = addBinary;
}

}  // namespace quillbank::aztec
