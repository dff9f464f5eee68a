// Tests of the optimal encoder's core: the table property the programme
// relies on, streams worked out by hand, and the packing of long streams.
// Lengths against an independent search and decoding are tested in Python.
#include <cstdio>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "code_tables.hpp"
#include "optimal_encoder.hpp"

using namespace quillbank::aztec;

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", what.c_str());
    }
}

std::string bitString(const PackedBits& stream) {
    std::string text;
    for (std::size_t k = 0; k < stream.bitCount; ++k) text += stream.bit(k) ? '1' : '0';
    return text;
}

PackedBits encode(const std::string& message, std::optional<uint32_t> eci = std::nullopt) {
    return encodeOptimal(reinterpret_cast<const uint8_t*>(message.data()), message.size(), eci);
}

// One latch closure pass is exact only if no latch sequence is beaten by
// two table latches back to back.
void testLatchTriangle() {
    bool ok = true;
    for (int a = 0; a < kModeCount; ++a)
        for (int b = 0; b < kModeCount; ++b)
            for (int c = 0; c < kModeCount; ++c)
                if (latchTable[a][c].bitCount > latchTable[a][b].bitCount + latchTable[b][c].bitCount)
                    ok = false;
    check(ok, "latch table satisfies the triangle inequality");
}

void testHandStreams() {
    struct Case {
        const char* name;
        std::string message;
        std::optional<uint32_t> eci;
        const char* bits;
    };
    const Case cases[] = {
        {"empty", "", std::nullopt, ""},
        {"upper", "AB", std::nullopt, "0001000011"},
        {"lower after L/L", "a", std::nullopt, "1110000010"},
        {"full stop via D/L, not P/S", ".", std::nullopt, "111101101"},
        {"CR LF as one pair by P/S", "\r\n", std::nullopt, "0000000010"},
        {"pair '. ' shifted from Upper", "A. B", std::nullopt, "00010" "00000" "00011" "00011"},
        {"upper shift from Lower", "aBc", std::nullopt, "11100" "00010" "11100" "00011" "00100"},
        {"eci alone", "", 26u, "00000" "00000" "010" "0100" "1000"},
        {"one binary byte", std::string(1, '\x80'), std::nullopt, "11111" "00001" "10000000"},
    };
    for (const Case& c : cases) {
        std::string got = bitString(encode(c.message, c.eci));
        check(got == c.bits, std::string(c.name) + ": got " + got + ", want " + c.bits);
    }
}

PackedBits encodeLayout(const std::string& message, const StreamLayout& layout) {
    return encodeOptimal(reinterpret_cast<const uint8_t*>(message.data()), message.size(), layout);
}

void testFlagStreams() {
    struct Case {
        const char* name;
        std::string message;
        StreamLayout layout;
        const char* bits;
    };
    const Case cases[] = {
        // D/L first, then the 4-bit P/S of Digit: one bit less than P/S from Upper.
        {"FNC1 before digits from Digit mode", "01", {{StreamFlag::fnc1(0)}, false},
         "11110" "0000" "00000" "000" "0010" "0011"},
        {"FNC1 in Punct mode needs no shift", "!!!", {{StreamFlag::fnc1(1)}, false},
         "11101" "11110" "00110" "00000" "000" "00110" "00110"},
        {"a flag closes a binary run", "\x80\x80", {{StreamFlag::eciDesignator(1, 7)}, false},
         "11111" "00001" "10000000" "00000" "00000" "001" "1001" "11111" "00001" "10000000"},
        {"two flags at the end", "A", {{StreamFlag::eciDesignator(1, 0), StreamFlag::fnc1(1)}, false},
         "00010" "00000" "00000" "001" "0010" "00000" "00000" "000"},
        {"structured append starts with M/L U/L", "AB", {{}, true}, "11101" "11101" "00010" "00011"},
    };
    for (const Case& c : cases) {
        std::string got = bitString(encodeLayout(c.message, c.layout));
        check(got == c.bits, std::string(c.name) + ": got " + got + ", want " + c.bits);
    }

    // The old form is the layout with one designator at the start.
    std::string message = "Hello 123";
    StreamLayout eciFirst{{StreamFlag::eciDesignator(0, 26)}, false};
    check(bitString(encode(message, 26u)) == bitString(encodeLayout(message, eciFirst)),
          "an ECI argument is a flag at position 0");

    const StreamLayout refused[] = {
        {{StreamFlag::fnc1(2), StreamFlag::fnc1(1)}, false},
        {{StreamFlag::fnc1(message.size() + 1)}, false},
        {{StreamFlag::eciDesignator(0, 1000000)}, false},
    };
    int refusals = 0;
    for (const StreamLayout& layout : refused) {
        try {
            encodeLayout(message, layout);
        } catch (const std::invalid_argument&) {
            ++refusals;
        }
    }
    check(refusals == 3, "flags out of order, past the end or above six digits are refused");
}

void testBinaryHeaders() {
    // 63 bytes: one run with the long header; 40 bytes: two short runs.
    std::string bits63 = bitString(encode(std::string(63, '\xff')));
    check(bits63.size() == 21 + 8 * 63 && bits63.substr(0, 21) == "11111" "00000" "00000100000",
          "63 bytes take one long header");
    std::string bits40 = bitString(encode(std::string(40, '\xff')));
    check(bits40.size() == 20 + 8 * 40 && bits40.substr(0, 10) == "11111" "11111",
          "40 bytes take two short headers");
    std::string bits2079 = bitString(encode(std::string(2079, '\xff')));
    check(bits2079.size() == 21 + 10 + 8 * 2079, "2079 bytes take a full long run and a short one");
}

void testPacking() {
    std::mt19937 random(7);
    bool sizes = true, padding = true, deterministic = true;
    for (int n = 0; n < 200; ++n) {
        std::string message(random() % 3000, '\0');
        const char alphabet[] = "AZaz09 .,:\r\n@\x80\xff\x01";
        for (char& ch : message) ch = alphabet[random() % (sizeof alphabet - 1)];
        PackedBits stream = encode(message, n % 3 ? std::nullopt : std::optional<uint32_t>(n));
        sizes &= stream.bytes.size() == (stream.bitCount + 7) / 8;
        if (stream.bitCount % 8) padding &= (stream.bytes.back() >> (stream.bitCount % 8)) == 0;
        PackedBits again = encode(message, n % 3 ? std::nullopt : std::optional<uint32_t>(n));
        deterministic &= again.bitCount == stream.bitCount && again.bytes == stream.bytes;
    }
    check(sizes, "packed size is the bit count rounded up to bytes");
    check(padding, "unused bits of the last byte are zero");
    check(deterministic, "equal input gives equal output");

    bool refused = false;
    try {
        encodeOptimal(nullptr, kMaxOptimalMessage + 1);
    } catch (const std::length_error&) {
        refused = true;
    }
    check(refused, "too long a message is refused");
}

// A thread keeps its working storage between messages, uncleared, and
// shrinks it after a much shorter one: whatever came before, a message
// gets the stream a fresh thread gives it.
void testStorageReuse() {
    std::mt19937 random(11);
    const char alphabet[] = "Aa0 .,\r\n@\x80\xff";
    auto message = [&](std::size_t length) {
        std::string text(length, '\0');
        for (char& ch : text) ch = alphabet[random() % (sizeof alphabet - 1)];
        return text;
    };
    const std::string messages[] = {message(70000), message(3000), message(70000), message(40), message(5000)};
    const StreamLayout flagged{{StreamFlag::fnc1(0), StreamFlag::eciDesignator(20, 3)}, false};
    std::vector<std::string> fresh;
    for (const std::string& text : messages) {
        std::thread([&] { fresh.push_back(bitString(encodeLayout(text, flagged))); }).join();
    }
    bool same = true;
    for (std::size_t k = 0; k < std::size(messages); ++k)
        same &= bitString(encodeLayout(messages[k], flagged)) == fresh[k];
    check(same, "long and short messages in turn get the streams of a fresh thread");
}

}  // namespace

int main() {
    testLatchTriangle();
    testHandStreams();
    testBinaryHeaders();
    testFlagStreams();
    testPacking();
    testStorageReuse();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
