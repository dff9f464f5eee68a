#include "encode_state.hpp"

#include "code_tables.hpp"

namespace quillbank::aztec {

namespace {

// A state's token buffer is kept across messages up to this many tokens;
// a larger one (left by a long message) is given back to the allocator.
constexpr std::size_t kKeptTokenCapacity = 1024;

void link(EncodeState& parent, EncodeState* child) {
    if (parent.lastChild)
        parent.lastChild->nextSibling = child;
    else
        parent.firstChild = child;
    parent.lastChild = child;
}

EncodeState* twoTokenChild(StateTree& tree, EncodeState& parent, Mode mode, BitToken first,
                           BitToken second) {
    EncodeState* child = tree.newState(mode, &parent);
    child->tokens.reserve(2);
    appendToken(*child, first);
    appendToken(*child, second);
    link(parent, child);
    return child;
}

}  // namespace

EncodeState* StateTree::newState(Mode mode, EncodeState* parent) {
    if (used_ == chunks_.size() * kChunkSize) chunks_.emplace_back(new EncodeState[kChunkSize]());
    EncodeState* state = &chunks_[used_ / kChunkSize][used_ % kChunkSize];
    ++used_;
    state->mode = mode;
    state->parent = parent;
    state->tokens.clear();
    state->firstChild = state->lastChild = state->nextSibling = nullptr;
    state->pathBits = parent ? parent->pathBits : 0;
    return state;
}

void StateTree::releaseAll() { used_ = 0; }

EncodeState* newRoot(StateTree& tree) { return tree.newState(Upper, nullptr); }

EncodeState* shiftChild(StateTree& tree, EncodeState& parent, Mode target, BitToken character) {
    return twoTokenChild(tree, parent, parent.mode, shiftToken(parent.mode, target), character);
}

EncodeState* latchChild(StateTree& tree, EncodeState& parent, Mode target, BitToken character) {
    return twoTokenChild(tree, parent, target, latchToken(parent.mode, target), character);
}

EncodeState* shiftPairChild(StateTree& tree, EncodeState& parent, uint8_t pairCode) {
    return twoTokenChild(tree, parent, parent.mode, shiftToken(parent.mode, Punct),
                         BitToken{5, pairCode});
}

EncodeState* latchPairChild(StateTree& tree, EncodeState& parent, uint8_t pairCode) {
    return twoTokenChild(tree, parent, Punct, latchToken(parent.mode, Punct),
                         BitToken{5, pairCode});
}

void appendByteTokens(std::vector<BitToken>& tokens, const uint8_t* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) tokens.push_back(BitToken{8, bytes[i]});
}

EncodeState* binaryShiftChild(StateTree& tree, EncodeState& parent, const uint8_t* run,
                              std::size_t length) {
    // Digit and Punct have no B/S code: latch to Upper first, and the decoder
    // stays in Upper after the run.
    bool needsLatch = parent.mode == Digit || parent.mode == Punct;
    EncodeState* child = tree.newState(needsLatch ? Upper : parent.mode, &parent);
    child->tokens.reserve(length + 2);
    if (needsLatch) appendToken(*child, checkedLatchToken(parent.mode, Upper));
    // B/S (31), then the length: 5 bits for 1..31, else 5 zero bits and 11
    // bits of length - 31.
    if (length < 32)
        appendToken(*child, BitToken{10, 992 + length});
    else
        appendToken(*child, BitToken{21, 2031616 + (length - 31)});
    appendByteTokens(child->tokens, run, length);
    child->pathBits += 8 * uint64_t(length);
    link(parent, child);
    return child;
}

void freeTree(StateTree& tree, EncodeState* root) {
    // Post-order walk over the intrusive child lists: descend to the first
    // leaf, release it, then go on with its next sibling's subtree or climb
    // to its parent, which is then complete.
    EncodeState* state = root;
    while (state) {
        while (state->firstChild) state = state->firstChild;
        // `state` has no unreleased children left: release it.
        EncodeState* next;
        if (state == root) {
            next = nullptr;
        } else if (state->nextSibling) {
            next = state->nextSibling;
        } else {
            next = state->parent;
            next->firstChild = nullptr;  // all of its children are released
        }
        if (state->tokens.capacity() > kKeptTokenCapacity)
            std::vector<BitToken>().swap(state->tokens);
        else
            state->tokens.clear();
        state->firstChild = state->lastChild = state->nextSibling = nullptr;
        state = next;
    }
    tree.releaseAll();
}

}  // namespace quillbank::aztec
