// Tests of the encoder's core: the code tables against the standard's rows,
// the growing operations of the state tree, freeing trees of any shape, and
// the ECI designator.
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "code_tables.hpp"
#include "eci.hpp"
#include "encode_state.hpp"

using namespace quillbank::aztec;
using testing::check;

namespace {

std::string show(BitToken t) {
    return "(" + std::to_string(t.bitCount) + ", " + std::to_string(t.value) + ")";
}

void expectToken(BitToken got, int bits, uint64_t value, const std::string& what) {
    check(got.bitCount == bits && got.value == value, what + ": got " + show(got));
}

// A state's own bits, and those of a token list, as a string of 0 and 1.
std::string ownBitString(const EncodeState& state) {
    std::string bits;
    for (uint64_t i = 0; i < ownBits(state); ++i) bits += ownBit(state, i) ? '1' : '0';
    return bits;
}

std::string bitString(const std::vector<BitToken>& tokens) {
    std::string bits;
    for (BitToken t : tokens)
        for (int b = t.bitCount - 1; b >= 0; --b) bits += (t.value >> b & 1) ? '1' : '0';
    return bits;
}

void expectTokens(const EncodeState& state, const std::vector<BitToken>& want,
                  const std::string& what) {
    std::string got = ownBitString(state);
    check(got == bitString(want), what + ": got " + got);
}

void testCharTable() {
    expectToken(charToken(Upper, 'A'), 5, 2, "Upper A");
    expectToken(charToken(Mixed, 127), 5, 27, "Mixed DEL");
    check(!hasChar(Upper, 'a') && !hasChar(Punct, ' ') && !hasChar(Mixed, 0), "absent keys");
    expectToken(charToken(Digit, '0'), 4, 2, "Digit 0");
    expectToken(charToken(Digit, '.'), 4, 13, "Digit full stop");
    expectToken(charToken(Punct, '.'), 5, 19, "Punct full stop");
    expectToken(charToken(Punct, 13), 5, 1, "Punct CR");
    expectToken(charToken(Mixed, 13), 5, 14, "Mixed CR");
    for (int m = 0; m < kModeCount; ++m)
        for (int b = 128; b < 256; ++b)
            check(!hasChar(Mode(m), uint8_t(b)), "no high byte in any mode");
    int rows[kModeCount] = {};
    for (int m = 0; m < kModeCount; ++m)
        for (int b = 0; b < 256; ++b)
            if (hasChar(Mode(m), uint8_t(b))) {
                ++rows[m];
                check(charToken(Mode(m), uint8_t(b)).bitCount == (m == Digit ? 4 : 5), "code width");
            }
    check(rows[Upper] == 27 && rows[Lower] == 27 && rows[Digit] == 13 && rows[Punct] == 26 &&
              rows[Mixed] == 27,
          "row counts 27, 27, 13, 26, 27");
    // Every code of a mode is used once.
    for (int m = 0; m < kModeCount; ++m) {
        bool seen[32] = {};
        bool unique = true;
        for (int b = 0; b < 256; ++b)
            if (hasChar(Mode(m), uint8_t(b))) {
                uint64_t code = charToken(Mode(m), uint8_t(b)).value;
                unique = unique && !seen[code];
                seen[code] = true;
            }
        check(unique, "codes unique in mode " + std::to_string(m));
    }
    bool threw = false;
    try {
        checkedCharToken(Upper, 'a');
    } catch (const std::out_of_range& e) {
        threw = std::string(e.what()) == "invalid map<K, T> key";
    }
    check(threw, "checked lookup of a missing key");
}

void testLatchAndShiftTables() {
    expectToken(latchToken(Digit, Punct), 14, 15294, "Digit to Punct");
    expectToken(latchToken(Lower, Upper), 9, 494, "Lower to Upper through Digit");
    expectToken(latchToken(Mixed, Digit), 10, 958, "Mixed to Digit");
    check(latchToken(Mixed, Digit) == latchToken(Upper, Punct), "same token as Upper to Punct");
    for (int m = 0; m < kModeCount; ++m)
        check(latchToken(Mode(m), Mode(m)).bitCount == 0, "same-mode latch has no bits");
    for (int from = 0; from < kModeCount; ++from)
        for (int to = 0; to < kModeCount; ++to)
            if (from != to) check(latchToken(Mode(from), Mode(to)).bitCount > 0, "latch exists");
    int shifts = 0;
    for (int from = 0; from < kModeCount; ++from)
        for (int to = 0; to < kModeCount; ++to) shifts += hasShift(Mode(from), Mode(to));
    check(shifts == 6, "six shifts");
    check(!hasShift(Upper, Lower) && !hasShift(Punct, Upper) && !hasShift(Upper, Digit),
          "shifts the standard does not offer");
    expectToken(shiftToken(Digit, Upper), 4, 15, "Digit U/S");
    expectToken(shiftToken(Lower, Upper), 5, 28, "Lower U/S");
}

void testCandidateLists() {
    const CandidateList& space = candidateTable[' '];
    check(space.count == 4 && space.modes[0] == Upper && space.modes[3] == Mixed, "space");
    const CandidateList& cr = candidateTable['\r'];
    check(cr.count == 2 && cr.modes[0] == Punct && cr.modes[1] == Mixed, "CR in Punct and Mixed");
    check(candidateTable[0].count == 0 && candidateTable[200].count == 0, "no candidates");
}

void testGrowingOperations() {
    StateTree tree;
    EncodeState* root = newRoot(tree);
    check(root->mode == Upper && !root->parent && ownBits(*root) == 0 && !root->firstChild,
          "a fresh root");

    EncodeState* latched = latchChild(tree, *root, Lower, BitToken{5, 2});
    expectTokens(*latched, {{5, 28}, {5, 2}}, "latch Upper to Lower");
    check(latched->mode == Lower && latched->parent == root, "latched mode and parent");

    EncodeState* shifted = shiftChild(tree, *latched, Upper, BitToken{5, 2});
    expectTokens(*shifted, {{5, 28}, {5, 2}}, "shift Lower to Upper");
    check(shifted->mode == Lower, "a shift keeps the mode");

    EncodeState* back = latchChild(tree, *latched, Upper, BitToken{5, 2});
    expectTokens(*back, {{9, 494}, {5, 2}}, "latch Lower to Upper");
    check(back->mode == Upper, "latched back to Upper");

    EncodeState* digit = latchChild(tree, *root, Digit, BitToken{4, 3});
    EncodeState* pairLatch = latchPairChild(tree, *digit, 2);
    expectTokens(*pairLatch, {{14, 15294}, {5, 2}}, "pair latch from Digit");
    check(pairLatch->mode == Punct, "pair latch mode");
    EncodeState* pairShift = shiftPairChild(tree, *digit, 3);
    expectTokens(*pairShift, {{4, 0}, {5, 3}}, "pair shift from Digit");
    check(pairShift->mode == Digit, "pair shift mode");

    // Children, the newest first.
    EncodeState* third = latchChild(tree, *root, Mixed, BitToken{5, 20});
    check(root->firstChild == third && third->nextSibling == digit &&
              digit->nextSibling == latched && !latched->nextSibling,
          "children, the newest first");

    // Path costs follow the tokens.
    check(bitCost(*pairLatch) == 9 + 19, "cost of a path");
    appendToken(*pairLatch, BitToken{5, 7});
    check(bitCost(*pairLatch) == 9 + 24, "cost after an append");
}

void testBinaryShiftChild() {
    StateTree tree;
    EncodeState* root = newRoot(tree);
    uint8_t run[2078];
    for (int i = 0; i < 2078; ++i) run[i] = uint8_t(0x80 + i % 128);
    run[0] = 233;

    EncodeState* one = binaryShiftChild(tree, *root, run, 1);
    expectTokens(*one, {{10, 993}, {8, 233}}, "one byte from Upper");
    check(one->mode == Upper && bitCost(*one) == 18, "mode and cost");

    EncodeState* mixed = latchChild(tree, *root, Mixed, BitToken{5, 20});
    EncodeState* thirtyOne = binaryShiftChild(tree, *mixed, run, 31);
    check(ownBitString(*thirtyOne).substr(0, 10) == bitString({{10, 1023}}), "31 bytes header");
    check(ownBits(*thirtyOne) == 10 + 8 * 31 && thirtyOne->mode == Mixed, "31 bytes, Mixed");
    std::vector<BitToken> thirtyOneTokens{{10, 1023}};
    for (int i = 0; i < 31; ++i) thirtyOneTokens.push_back(BitToken{8, run[i]});
    expectTokens(*thirtyOne, thirtyOneTokens, "31 bytes in order");

    EncodeState* thirtyTwo = binaryShiftChild(tree, *root, run, 32);
    check(ownBitString(*thirtyTwo).substr(0, 21) == bitString({{21, 2031617}}), "32 bytes header");
    EncodeState* longest = binaryShiftChild(tree, *root, run, 2078);
    std::vector<BitToken> longestTokens{{21, 2033663}};
    for (int i = 0; i < 2078; ++i) longestTokens.push_back(BitToken{8, run[i]});
    expectTokens(*longest, longestTokens, "2078 bytes header and bytes");
    check(bitCost(*longest) == 21 + 8 * 2078, "cost of the longest run");

    EncodeState* digit = latchChild(tree, *root, Digit, BitToken{4, 3});
    EncodeState* fromDigit = binaryShiftChild(tree, *digit, run, 1);
    expectTokens(*fromDigit, {{4, 14}, {10, 993}, {8, 233}}, "from Digit");
    check(fromDigit->mode == Upper, "Digit ends in Upper");

    EncodeState* punct = latchPairChild(tree, *root, 3);
    EncodeState* fromPunct = binaryShiftChild(tree, *punct, run, 1);
    expectTokens(*fromPunct, {{5, 31}, {10, 993}, {8, 233}}, "from Punct");
    check(fromPunct->mode == Upper, "Punct ends in Upper");
}

void testFreeTree() {
    StateTree tree;
    // A deep chain and a wide fan, freed without recursion.
    EncodeState* root = newRoot(tree);
    EncodeState* node = root;
    for (int i = 0; i < 200000; ++i) node = shiftChild(tree, *node, Punct, BitToken{5, 6});
    for (int i = 0; i < 1000; ++i) latchChild(tree, *root, Lower, BitToken{5, 2});
    check(tree.stateCount() == 201001, "states counted");
    freeTree(tree, root);
    check(tree.stateCount() == 0, "every state released");
    // The storage is reused for the next tree.
    EncodeState* again = newRoot(tree);
    check(ownBits(*again) == 0 && !again->firstChild && again->pathBits == 0, "a clean reuse");
    EncodeState* child = latchChild(tree, *again, Digit, BitToken{4, 2});
    check(ownBits(*child) == 9 && !child->firstChild && bitCost(*child) == 9, "clean child");
    freeTree(tree, again);
}

void testEciDesignator() {
    struct Case {
        uint32_t eci;
        int bits;
        uint64_t value;
    };
    const Case cases[] = {{0, 12, 0x12},       {3, 12, 0x15},        {26, 16, 0x248},
                          {999999, 32, 0x6BBBBBB}, {1000000, 12, 0x12}, {4294967295u, 32, 0x6B894B7}};
    for (const Case& c : cases) {
        auto tokens = eciDesignator(c.eci);
        expectToken(tokens[0], 5, 0, "P/S before FLG(n)");
        expectToken(tokens[1], c.bits, c.value, "designator of " + std::to_string(c.eci));
    }
}

}  // namespace

int main() {
    testCharTable();
    testLatchAndShiftTables();
    testCandidateLists();
    testGrowingOperations();
    testBinaryShiftChild();
    testFreeTree();
    testEciDesignator();
    return testing::finish();
}
