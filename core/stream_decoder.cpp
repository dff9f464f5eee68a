#include "stream_decoder.hpp"

#include <array>

namespace quillbank::aztec {

namespace {

enum class TextMode { Upper, Lower, Mixed, Punct, Digit };

// What one code of a mode means: a character (or two, for Punct's pairs),
// or a control.
enum class Action { Character, LatchUpper, LatchLower, LatchMixed, LatchPunct, LatchDigit,
                    ShiftUpper, ShiftPunct, BinaryShift, Flag, Invalid };

struct Code {
    Action action;
    const char* text;  // the characters of a Character code
};

// Mixed mode's characters by code (2 to 27): the controls 1-13 and 27-31,
// then @ \ ^ _ ` | ~ DEL.
constexpr uint8_t kMixedCharacters[] = {1,  2,  3,  4,  5,  6,  7,  8,   9,   10,  11,  12,  13,
                                        27, 28, 29, 30, 31, '@', '\\', '^', '_', '`', '|', '~', 127};
// Punct mode's characters by code (1 to 30).
constexpr const char* kPunctTexts[] = {"\r", "\r\n", ". ", ", ", ": ", "!", "\"", "#", "$", "%",
                                       "&",  "'",    "(",  ")",  "*",  "+", ",",  "-", ".", "/",
                                       ":",  ";",    "<",  "=",  ">",  "?", "[",  "]", "{", "}"};

// Every byte as a text of one character, for the codes of one character.
constexpr std::array<std::array<char, 2>, 256> kSingles = [] {
    std::array<std::array<char, 2>, 256> table{};
    for (size_t b = 0; b < 256; ++b) table[b][0] = static_cast<char>(b);
    return table;
}();

const char* single(uint8_t byte) { return kSingles[byte].data(); }

Code decodeCode(TextMode mode, int code) {
    switch (mode) {
        case TextMode::Upper:
        case TextMode::Lower: {
            if (code == 0) return {Action::ShiftPunct, nullptr};
            if (code == 1) return {Action::Character, " "};
            if (code <= 27) return {Action::Character, single(static_cast<uint8_t>((mode == TextMode::Upper ? 'A' : 'a') + code - 2))};
            if (code == 28) return {mode == TextMode::Upper ? Action::LatchLower : Action::ShiftUpper, nullptr};
            if (code == 29) return {Action::LatchMixed, nullptr};
            if (code == 30) return {Action::LatchDigit, nullptr};
            return {Action::BinaryShift, nullptr};
        }
        case TextMode::Mixed:
            if (code == 0) return {Action::ShiftPunct, nullptr};
            if (code == 1) return {Action::Character, " "};
            if (code <= 27) return {Action::Character, single(kMixedCharacters[code - 2])};
            if (code == 28) return {Action::LatchLower, nullptr};
            if (code == 29) return {Action::LatchUpper, nullptr};
            if (code == 30) return {Action::LatchPunct, nullptr};
            return {Action::BinaryShift, nullptr};
        case TextMode::Punct:
            if (code == 0) return {Action::Flag, nullptr};
            if (code == 31) return {Action::LatchUpper, nullptr};
            return {Action::Character, kPunctTexts[code - 1]};
        case TextMode::Digit:
            if (code == 0) return {Action::ShiftPunct, nullptr};
            if (code == 1) return {Action::Character, " "};
            if (code <= 11) return {Action::Character, single(static_cast<uint8_t>('0' + code - 2))};
            if (code == 12) return {Action::Character, ","};
            if (code == 13) return {Action::Character, "."};
            if (code == 14) return {Action::LatchUpper, nullptr};
            return {Action::ShiftUpper, nullptr};
    }
    return {Action::Invalid, nullptr};
}

class BitReader {
public:
    BitReader(const uint8_t* bits, size_t count) : bits_(bits), count_(count) {}
    bool has(size_t width) const { return count_ - position_ >= width; }
    int read(size_t width) {
        int value = 0;
        for (size_t i = 0; i < width; ++i) value = value << 1 | (bits_[position_++] & 1);
        return value;
    }

private:
    const uint8_t* bits_;
    size_t count_;
    size_t position_ = 0;
};

// What the stream says, in order, before the sequence header and the
// first FNC1 are told apart from the message.
struct Event {
    enum Kind { Byte, Fnc1, Eci } kind;
    uint32_t value;
};

// Reads FLG(n)'s n and what follows it.  False for a reserved flag; true
// with `ended` where the stream ends inside it.
bool readFlag(BitReader& in, std::vector<Event>& events, bool& ended) {
    if (!in.has(3)) return ended = true;
    const int digits = in.read(3);
    if (digits == 7) return false;
    if (digits == 0) {
        events.push_back({Event::Fnc1, 0});
        return true;
    }
    uint32_t number = 0;
    for (int i = 0; i < digits; ++i) {
        if (!in.has(4)) return ended = true;
        const int code = in.read(4);
        if (code < 2 || code > 11) return false;
        number = number * 10 + static_cast<uint32_t>(code - 2);
    }
    events.push_back({Event::Eci, number});
    return true;
}

// Reads a binary shift's length and bytes.  True with `ended` where the
// stream ends inside it.
void readBinary(BitReader& in, std::vector<Event>& events, bool& ended) {
    if (!in.has(5)) {
        ended = true;
        return;
    }
    int length = in.read(5);
    if (length == 0) {
        if (!in.has(11)) {
            ended = true;
            return;
        }
        length = in.read(11) + 31;
    }
    if (!in.has(8 * static_cast<size_t>(length))) {
        ended = true;
        return;
    }
    for (int i = 0; i < length; ++i) events.push_back({Event::Byte, static_cast<uint32_t>(in.read(8))});
}

// The codes of the stream as events; `sequence` tells whether it opened
// with M/L U/L.
StreamStatus readEvents(const uint8_t* bits, size_t count, std::vector<Event>& events, bool& sequence) {
    BitReader in(bits, count);
    TextMode latched = TextMode::Upper;
    TextMode current = TextMode::Upper;
    int codesRead = 0;
    sequence = false;
    for (bool ended = false; !ended;) {
        const size_t width = current == TextMode::Digit ? 4 : 5;
        if (!in.has(width)) break;
        const int value = in.read(width);
        ++codesRead;
        if (codesRead == 2 && current == TextMode::Mixed && value == 29 && latched == TextMode::Mixed &&
            events.empty())
            sequence = true;  // M/L U/L as the stream's first two codes
        const Code code = decodeCode(current, value);
        TextMode next = latched;  // a shift lasts one code
        switch (code.action) {
            case Action::Character:
                for (const char* c = code.text; *c != 0; ++c)
                    events.push_back({Event::Byte, static_cast<uint8_t>(*c)});
                break;
            case Action::LatchUpper: latched = next = TextMode::Upper; break;
            case Action::LatchLower: latched = next = TextMode::Lower; break;
            case Action::LatchMixed: latched = next = TextMode::Mixed; break;
            case Action::LatchPunct: latched = next = TextMode::Punct; break;
            case Action::LatchDigit: latched = next = TextMode::Digit; break;
            case Action::ShiftUpper: next = TextMode::Upper; break;
            case Action::ShiftPunct: next = TextMode::Punct; break;
            case Action::BinaryShift: readBinary(in, events, ended); break;
            case Action::Flag:
                if (!readFlag(in, events, ended)) return StreamStatus::ReservedFlag;
                break;
            case Action::Invalid: return StreamStatus::ReservedFlag;
        }
        current = next;
    }
    return StreamStatus::Ok;
}

// Reads the sequence header off the front of `events`: returns where the
// message begins, or 0 with `ok` false when the header is not well formed.
size_t readSequenceHeader(const std::vector<Event>& events, DecodedStream& out, bool& ok) {
    ok = false;
    size_t at = 0;
    auto byteAt = [&](size_t i) { return i < events.size() && events[i].kind == Event::Byte ? int(events[i].value) : -1; };
    if (byteAt(0) == ' ') {
        for (at = 1; byteAt(at) > ' ' && byteAt(at) < 127; ++at) out.id.push_back(static_cast<char>(byteAt(at)));
        if (at == 1 || byteAt(at) != ' ') return 0;
        out.hasId = true;
        ++at;
    }
    const int position = byteAt(at), total = byteAt(at + 1);
    if (position < 'A' || position > 'Z' || total < 'A' || total > 'Z' || position > total) return 0;
    out.inSequence = true;
    out.position = position - 'A' + 1;
    out.count = total - 'A' + 1;
    ok = true;
    return at + 2;
}

}  // namespace

StreamStatus decodeStream(const uint8_t* bits, size_t count, DecodedStream& out) {
    out = DecodedStream{};
    std::vector<Event> events;
    bool sequence = false;
    const StreamStatus status = readEvents(bits, count, events, sequence);
    if (status != StreamStatus::Ok) return status;
    size_t start = 0;
    if (sequence) {
        bool ok = false;
        start = readSequenceHeader(events, out, ok);
        if (!ok) return StreamStatus::BadSequenceHeader;
    }
    for (size_t i = start; i < events.size(); ++i) {
        const Event& event = events[i];
        if (event.kind == Event::Byte) {
            out.data.push_back(static_cast<uint8_t>(event.value));
        } else if (event.kind == Event::Eci) {
            out.ecis.emplace_back(out.data.size(), event.value);
        } else if (i == start) {
            out.gs1 = true;  // FNC1 first: GS1 data
        } else {
            out.data.push_back(0x1D);  // FNC1 elsewhere separates GS1 fields
        }
    }
    return StreamStatus::Ok;
}

}  // namespace quillbank::aztec
