// The candidate state tree of the encoder's search.
//
// Every alternative encoding of a message is a path from the root to a leaf;
// its bit stream is the concatenation of the tokens of the states on the
// path, root first.  A state holds only the tokens it adds to its parent's
// stream, so alternatives share their common beginnings.
//
// States are drawn from the tree's own pool and released all together by
// freeTree; the pool keeps their storage for the next message, so a steady
// stream of encodings allocates almost nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "bit_token.hpp"
#include "mode.hpp"

namespace quillbank::aztec {

struct EncodeState {
    Mode mode;
    EncodeState* parent;          // not owning; null for the root
    std::vector<BitToken> tokens; // the bits this state adds, in order
    // Children in the order grown (an intrusive list: the tree owns them).
    EncodeState* firstChild;
    EncodeState* lastChild;
    EncodeState* nextSibling;
    // Bits on the path from the root to here, this state's tokens included.
    // Kept up to date as tokens are appended, so that costs are O(1).
    uint64_t pathBits;
};

// Appends a token to a state that has no children yet.
inline void appendToken(EncodeState& state, BitToken token) {
    state.tokens.push_back(token);
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

    // A new state with no tokens and no children, not yet linked anywhere.
    EncodeState* newState(Mode mode, EncodeState* parent);
    // Makes every state available again; called by freeTree.
    void releaseAll();
    std::size_t stateCount() const { return used_; }

private:
    static constexpr std::size_t kChunkSize = 64;
    std::vector<std::unique_ptr<EncodeState[]>> chunks_;
    std::size_t used_ = 0;
};

// A root: mode Upper, no parent, no tokens, no children.
EncodeState* newRoot(StateTree& tree);

// The growing operations.  Each builds a complete child, links it as the
// last of the parent's children and returns it.
EncodeState* shiftChild(StateTree& tree, EncodeState& parent, Mode target, BitToken character);
EncodeState* latchChild(StateTree& tree, EncodeState& parent, Mode target, BitToken character);
EncodeState* shiftPairChild(StateTree& tree, EncodeState& parent, uint8_t pairCode);
EncodeState* latchPairChild(StateTree& tree, EncodeState& parent, uint8_t pairCode);
// `run` holds 1 to kMaxBinaryRun bytes.
EncodeState* binaryShiftChild(StateTree& tree, EncodeState& parent, const uint8_t* run,
                              std::size_t length);

// The most bytes one binary-shift header can announce (31 + 2047).
constexpr std::size_t kMaxBinaryRun = 2078;

// One 8-bit token per byte.
void appendByteTokens(std::vector<BitToken>& tokens, const uint8_t* bytes, std::size_t length);

// Deletes the tree below and including `root`, every state after all of its
// descendants, children in the order grown.  Walks the tree without
// recursion, so the depth of the tree does not matter.
void freeTree(StateTree& tree, EncodeState* root);

}  // namespace quillbank::aztec
