// The candidate state tree of the encoder's search.
//
// Every alternative encoding of a message is a path from the root to a leaf;
// its bit stream is the concatenation of the bits of the states on the path,
// root first.  A state holds only the bits it adds to its parent's stream,
// so alternatives share their common beginnings.
//
// A state keeps its bits packed, most significant bit first: whole 64-bit
// words in `words`, and the last 0 to 63 bits in `tail`.  Appending a code
// is a shift and an or; the vector is touched once per 64 bits, and only by
// the states that keep growing in place.  Most states (the latch and shift
// children of a step) hold a few codes and never use it.
//
// States are drawn from the tree's own arena and released all together by
// freeTree; the arena keeps their storage for the next message, so a steady
// stream of encodings allocates almost nothing.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bit_token.hpp"
#include "code_tables.hpp"
#include "mode.hpp"

namespace quillbank::aztec {

// The complete words of a state's bits: a growable array in 16 bytes, so
// that a state fits in one 64-byte cache line.
class WordBuffer {
public:
    WordBuffer() = default;
    ~WordBuffer() { std::free(data_); }
    WordBuffer(const WordBuffer&) = delete;
    WordBuffer& operator=(const WordBuffer&) = delete;

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    const uint64_t* begin() const { return data_; }
    const uint64_t* end() const { return data_ + size_; }

    void push_back(uint64_t word) {
        if (size_ == capacity_) grow(std::size_t(size_) + 1);
        data_[size_++] = word;
    }
    void reserve(std::size_t count) {
        if (count > capacity_) grow(count);
    }
    void clear() { size_ = 0; }
    // Gives the storage back to the allocator.
    void release() {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    // Makes room for at least `count` words; throws std::bad_alloc.
    void grow(std::size_t count);

    uint64_t* data_ = nullptr;
    uint32_t size_ = 0;
    uint32_t capacity_ = 0;
};

struct alignas(64) EncodeState {
    Mode mode;
    uint8_t tailBits;            // bits held in `tail`, 0 to 63
    EncodeState* parent;         // not owning; null for the root
    uint64_t tail;               // the last tailBits bits, in its low bits
    WordBuffer words;            // the complete words before them
    // Children, the newest first (an intrusive list: the tree owns them).
    EncodeState* firstChild;
    EncodeState* nextSibling;
    // Bits on the path from the root to here, this state's bits included.
    // Kept up to date as codes are appended, so that costs are O(1).
    uint64_t pathBits;
};

static_assert(sizeof(void*) != 8 || sizeof(EncodeState) == 64, "a state is one cache line");

// The bits this state holds itself.
inline uint64_t ownBits(const EncodeState& state) {
    return 64 * uint64_t(state.words.size()) + state.tailBits;
}

// Bit i of the state's own bits, 0 <= i < ownBits(state), in stream order.
inline bool ownBit(const EncodeState& state, uint64_t i) {
    std::size_t word = std::size_t(i / 64);
    if (word < state.words.size()) return state.words.begin()[word] >> (63 - i % 64) & 1;
    return state.tail >> (state.tailBits - 1 - (i - 64 * uint64_t(word))) & 1;
}

// Appends `width` (0 to 64) bits, the low bits of `value`, to the state's own
// bits.  Higher bits of `value` are ignored.
inline void appendBits(EncodeState& state, uint64_t value, unsigned width) {
    if (width == 0) return;
    if (width < 64) value &= (uint64_t(1) << width) - 1;
    unsigned held = state.tailBits;
    if (held + width < 64) {
        // Bits above `held` in the tail are stale and shift out of the word.
        state.tail = (state.tail << width) | value;
        state.tailBits = uint8_t(held + width);
        return;
    }
    unsigned room = 64 - held;    // 1 to 64
    unsigned rest = width - room; // 0 to 63
    uint64_t word = (room == 64 ? 0 : state.tail << room) | (rest == 0 ? value : value >> rest);
    state.words.push_back(word);
    state.tail = value;  // its low `rest` bits
    state.tailBits = uint8_t(rest);
}

// appendBits for a tail that fills up; out of line, so that the callers of
// appendCode, run once per character, stay small.
void spillCode(EncodeState& state, uint64_t value, unsigned width);

// appendToken for a code of the tables: 0 to 63 bits, no bits set above them.
inline void appendCode(EncodeState& state, BitToken code) {
    unsigned held = state.tailBits;
    unsigned width = code.bitCount;
    state.pathBits += width;
    if (held + width < 64) {
        state.tail = (state.tail << width) | code.value;
        state.tailBits = uint8_t(held + width);
    } else {
        spillCode(state, code.value, width);
    }
}

// Appends a token to a state that has no children yet.
inline void appendToken(EncodeState& state, BitToken token) {
    appendBits(state, token.value, token.bitCount);
    state.pathBits += token.bitCount;
}

inline uint64_t bitCost(const EncodeState& state) { return state.pathBits; }

// Owns the states of one tree.  Storage is kept in chunks that are reused
// after freeTree, so nothing is allocated per state in the steady state.
class StateTree {
public:
    StateTree() = default;
    StateTree(const StateTree&) = delete;
    StateTree& operator=(const StateTree&) = delete;

    // A new state with no bits and no children, not yet linked anywhere.
    EncodeState* newState(Mode mode, EncodeState* parent) {
        EncodeState* state = take();
        state->mode = mode;
        state->tailBits = 0;
        state->parent = parent;
        state->tail = 0;
        state->firstChild = state->nextSibling = nullptr;
        state->pathBits = parent ? parent->pathBits : 0;
        return state;
    }
    // The states on the path from the root to `last`, root first.  The list
    // is kept in storage of the tree's own, valid until the next call, so
    // that reading a result allocates nothing in the steady state.
    const std::vector<const EncodeState*>& pathTo(const EncodeState* last);
    // Makes every state available again, giving back the word buffers that
    // a long message left large and the chunks beyond those the message
    // used (at least sixteen are kept); called by freeTree.
    void releaseAll();
    std::size_t stateCount() const { return used_; }

private:
    static constexpr std::size_t kChunkSize = 256;
    void nextChunk();
    // The next free state.  Its word buffer is empty: releaseAll empties
    // the buffers of all the states it makes available again.
    EncodeState* take() {
        if (next_ == end_) nextChunk();
        ++used_;
        return next_++;
    }

    std::vector<std::unique_ptr<EncodeState[]>> chunks_;
    std::vector<const EncodeState*> path_;
    std::size_t chunksInUse_ = 0;
    EncodeState* next_ = nullptr;  // the next free state of the current chunk
    EncodeState* end_ = nullptr;
    std::size_t used_ = 0;
};

// A root: mode Upper, no parent, no bits, no children.
EncodeState* newRoot(StateTree& tree);

// The growing operations.  Each builds a complete child, links it as the
// first of the parent's children and returns it.  They run for nearly every
// candidate of every step, so they are inline.

// Links `child` as the first of the parent's children.
inline void linkChild(EncodeState& parent, EncodeState* child) {
    child->nextSibling = parent.firstChild;
    parent.firstChild = child;
}

// A child holding two codes of the tables.  Together they are at most 19
// bits (a latch sequence is at most 14, a character code 5), so they go
// straight into the tail.
inline EncodeState* twoCodeChild(StateTree& tree, EncodeState& parent, Mode mode, BitToken first,
                                 BitToken second) {
    EncodeState* child = tree.newState(mode, &parent);
    child->tail = first.value << second.bitCount | second.value;
    child->tailBits = uint8_t(first.bitCount + second.bitCount);
    child->pathBits += child->tailBits;
    linkChild(parent, child);
    return child;
}

inline EncodeState* shiftChild(StateTree& tree, EncodeState& parent, Mode target,
                               BitToken character) {
    return twoCodeChild(tree, parent, parent.mode, shiftToken(parent.mode, target), character);
}

inline EncodeState* latchChild(StateTree& tree, EncodeState& parent, Mode target,
                               BitToken character) {
    return twoCodeChild(tree, parent, target, latchToken(parent.mode, target), character);
}

inline EncodeState* shiftPairChild(StateTree& tree, EncodeState& parent, uint8_t pairCode) {
    return twoCodeChild(tree, parent, parent.mode, shiftToken(parent.mode, Punct),
                        BitToken{5, pairCode});
}

inline EncodeState* latchPairChild(StateTree& tree, EncodeState& parent, uint8_t pairCode) {
    return twoCodeChild(tree, parent, Punct, latchToken(parent.mode, Punct),
                        BitToken{5, pairCode});
}

// `run` holds 1 to kMaxBinaryRun bytes.
EncodeState* binaryShiftChild(StateTree& tree, EncodeState& parent, const uint8_t* run,
                              std::size_t length);

// The most bytes one binary-shift header can announce (31 + 2047).
constexpr std::size_t kMaxBinaryRun = 2078;

// Appends the bytes, eight bits each, to the state's own bits (its path
// cost is left to the caller).
void appendByteBits(EncodeState& state, const uint8_t* bytes, std::size_t length);

// Deletes the tree below and including `root`.  All states of a tree live
// in its arena, so they are released together, whatever the tree's depth.
void freeTree(StateTree& tree, EncodeState* root);

}  // namespace quillbank::aztec
