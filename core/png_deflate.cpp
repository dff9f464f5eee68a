#include "png_deflate.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>

#include "bit_order.hpp"

namespace quillbank::aztec {

namespace {

// ---------------------------------------------------------------------------
// The DEFLATE alphabets (RFC 1951, 3.2.5): lengths 3..258 as codes 257..285
// with extra bits, distances 1..32768 as codes 0..29 with extra bits.

constexpr int kLiteralCodes = 286;  // 0..255 bytes, 256 end of block, 257..285 lengths
constexpr int kFixedLiteralCodes = 288;  // the fixed code also counts 286 and 287, never used
constexpr int kDistanceCodes = 30;
constexpr int kLengthCodes = 19;    // the code of the code lengths
constexpr int kEndOfBlock = 256;
constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 258;

struct ExtraBits {
    uint16_t code;
    uint8_t bits;     // how many extra bits follow the code
    uint16_t offset;  // their value: the length (or distance) less the code's base
};

// The code of each match length 3..258 (index: the length).
const std::array<ExtraBits, kMaxMatch + 1>& lengthCodes() {
    static const std::array<ExtraBits, kMaxMatch + 1> table = [] {
        std::array<ExtraBits, kMaxMatch + 1> codes{};
        int code = 257, base = 3;
        for (int bits = 0; bits <= 5; ++bits) {  // 8 codes of no extra bits, then 4 each of 1 to 5
            for (int i = 0; i < (bits == 0 ? 8 : 4); ++i, ++code, base += 1 << bits)
                for (int extra = 0; extra < (1 << bits); ++extra)
                    codes[static_cast<size_t>(base + extra)] = {static_cast<uint16_t>(code), static_cast<uint8_t>(bits),
                                                                static_cast<uint16_t>(extra)};
        }
        codes[kMaxMatch] = {285, 0, 0};  // 258 has a code of its own (284 with 31 would be 258 too)
        return codes;
    }();
    return table;
}

// The code of a distance of 1..32768.
ExtraBits distanceCode(size_t distance) {
    const size_t d = distance - 1;
    if (d < 4) return {static_cast<uint16_t>(d), 0, 0};
    int top = 0;  // the highest set bit of d
    while ((d >> (top + 1)) != 0) ++top;
    const int bits = top - 1;
    const size_t half = (d >> bits) & 1;  // each power of two holds two codes
    return {static_cast<uint16_t>(2 * top + half), static_cast<uint8_t>(bits),
            static_cast<uint16_t>(d - ((2 + half) << bits))};
}

// ---------------------------------------------------------------------------
// Tokens: what the rows are made of.

struct Token {
    uint16_t value;     // a byte, or a match's length
    uint16_t distance;  // 0 for a literal byte
};

// The symbols of an alphabet in use, in the order first used: the code is
// built from these alone, not from a scan of the whole alphabet.
template <size_t N>
struct Counts {
    std::array<uint32_t, N> count{};
    std::array<uint16_t, N> used;
    size_t usedCount = 0;

    void add(size_t symbol) {
        if (count[symbol]++ == 0) used[usedCount++] = static_cast<uint16_t>(symbol);
    }
};

struct Tokens {
    std::vector<Token> list;
    Counts<kLiteralCodes> literals;
    Counts<kDistanceCodes> distances;
    uint64_t extraBits = 0;  // the matches' extra bits, the same under any code

    void literal(uint8_t byte) {
        list.push_back({byte, 0});
        literals.add(byte);
    }

    // A back-reference of 3 bytes or more, split into matches of at most
    // 258 bytes with none shorter than 3.
    void match(size_t length, size_t distance) {
        const ExtraBits distanceBits = distanceCode(distance);
        const std::array<ExtraBits, kMaxMatch + 1>& lengths = lengthCodes();
        while (length > 0) {
            size_t piece = std::min<size_t>(length, kMaxMatch);
            if (length - piece > 0 && length - piece < kMinMatch) piece = length - kMinMatch;
            list.push_back({static_cast<uint16_t>(piece), static_cast<uint16_t>(distance)});
            literals.add(lengths[piece].code);
            distances.add(distanceBits.code);
            extraBits += lengths[piece].bits + distanceBits.bits;
            length -= piece;
        }
    }

    // A row as literals, each run of four or more equal bytes as its first
    // byte and a match one byte back.
    void bytes(const uint8_t* row, size_t count) {
        for (size_t i = 0; i < count;) {
            size_t end = i + 1;
            while (end < count && row[end] == row[i]) ++end;
            literal(row[i]);
            if (end - i - 1 >= kMinMatch) {
                match(end - i - 1, 1);
            } else {
                for (size_t k = i + 1; k < end; ++k) literal(row[k]);
            }
            i = end;
        }
    }
};

bool sameRow(const uint8_t* a, const uint8_t* b, size_t rowBytes) {
    return a == b || std::memcmp(a, b, rowBytes) == 0;
}

// Rows longer than this repeat as Up-filtered rows (filter 2, then zeros:
// "the same as above"), coded as a literal and runs of zeros, rather than
// as matches a row back: a match is at most 258 bytes, and the extra bits
// of a long distance make each cost more than a run of zeros.
constexpr size_t kLongestCopiedRow = 512;

// The rows as tokens.  With `copyRows`, a row equal to the one above is a
// match one row back (merged with the rows around it that repeat too);
// otherwise every row is coded on its own.
Tokens tokenize(const std::vector<const uint8_t*>& rows, size_t rowBytes, bool copyRows) {
    Tokens tokens;
    tokens.list.reserve(1024);
    size_t repeated = 0;  // bytes of rows equal to the row above, not yet written
    auto flushRepeated = [&](const uint8_t* row) {
        if (repeated >= kMinMatch) {
            tokens.match(repeated, rowBytes);
        } else {
            for (size_t i = 0; i < repeated; ++i) tokens.literal(row[i]);  // one row of two bytes
        }
        repeated = 0;
    };
    for (size_t r = 0; r < rows.size(); ++r) {
        if (copyRows && r > 0 && sameRow(rows[r], rows[r - 1], rowBytes)) {
            repeated += rowBytes;
            continue;
        }
        if (repeated > 0) flushRepeated(rows[r - 1]);
        tokens.bytes(rows[r], rowBytes);
    }
    if (repeated > 0) flushRepeated(rows.back());
    tokens.literals.add(kEndOfBlock);
    return tokens;
}

// ---------------------------------------------------------------------------
// Huffman codes

// Code lengths of at most `limit` bits for the symbols in use, complete
// (the Kraft sum is exactly 1) as inflate requires: an alphabet with fewer
// than two symbols in use gets two codes of one bit.  Sorts `counts.used`
// by symbol, the order the canonical codes and the header take them in.
// `codedBits` gets the count-weighted sum of the lengths: the coded size.
template <size_t N>
std::array<uint8_t, N> codeLengths(Counts<N>& counts, int limit, uint64_t& codedBits) {
    std::array<uint8_t, N> lengths{};
    for (uint16_t extra = 0; counts.usedCount < 2; ++extra)  // a second code (or two) never sent
        if (counts.count[extra] == 0 && std::find(counts.used.begin(), counts.used.begin() + counts.usedCount, extra) ==
                                            counts.used.begin() + counts.usedCount)
            counts.used[counts.usedCount++] = extra;
    const size_t n = counts.usedCount;
    std::sort(counts.used.begin(), counts.used.begin() + static_cast<long>(n));
    // Least frequent first; ties by symbol, so the result is the same on every platform.
    std::array<uint16_t, N> order;
    std::copy(counts.used.begin(), counts.used.begin() + static_cast<long>(n), order.begin());
    std::stable_sort(order.begin(), order.begin() + static_cast<long>(n),
                     [&](uint16_t a, uint16_t b) { return counts.count[a] < counts.count[b]; });
    // Huffman's merging with two queues (leaves in order, merged nodes in
    // the order they are made, which is also by weight): node i < n is
    // leaf order[i]; parent[] links every node to the one it merged into.
    std::array<uint64_t, 2 * N> weight;
    std::array<size_t, 2 * N> parent;
    std::array<int, 2 * N> depth;
    for (size_t i = 0; i < n; ++i) weight[i] = counts.count[order[i]];
    size_t leaf = 0, merged = n, made = n;
    auto lightest = [&]() {
        if (leaf < n && (merged == made || weight[leaf] <= weight[merged])) return leaf++;
        return merged++;
    };
    while (made < 2 * n - 1) {
        const size_t a = lightest(), b = lightest();
        weight[made] = weight[a] + weight[b];
        parent[a] = parent[b] = made++;
    }
    depth[2 * n - 2] = 0;
    for (size_t node = 2 * n - 2; node-- > 0;) depth[node] = depth[parent[node]] + 1;
    // Too deep: clamp to the limit, then restore a sum of exactly 1 by
    // moving a leaf one level down and hanging a clamped leaf beside it.
    std::array<int, 16> perLength{};
    for (size_t i = 0; i < n; ++i) ++perLength[static_cast<size_t>(std::min(depth[i], limit))];
    long long kraft = 0;  // in units of 2^-limit
    for (int bits = 1; bits <= limit; ++bits) kraft += static_cast<long long>(perLength[static_cast<size_t>(bits)]) << (limit - bits);
    while (kraft > (1LL << limit)) {
        int bits = limit - 1;
        while (perLength[static_cast<size_t>(bits)] == 0) --bits;
        --perLength[static_cast<size_t>(bits)];
        perLength[static_cast<size_t>(bits) + 1] += 2;
        --perLength[static_cast<size_t>(limit)];
        --kraft;
    }
    // The shortest lengths to the most frequent symbols (the end of `order`).
    size_t next = n;
    codedBits = 0;
    for (int length = 1; length <= limit; ++length)
        for (int k = 0; k < perLength[static_cast<size_t>(length)]; ++k) {
            const size_t symbol = order[--next];
            lengths[symbol] = static_cast<uint8_t>(length);
            codedBits += static_cast<uint64_t>(counts.count[symbol]) * static_cast<uint64_t>(length);
        }
    return lengths;
}

// The low `length` bits of `code` in reverse order.
uint16_t reversed(uint32_t code, int length) {
    const uint32_t both = (static_cast<uint32_t>(kReversedBytes[code & 0xFF]) << 8) | kReversedBytes[(code >> 8) & 0xFF];
    return static_cast<uint16_t>(both >> (16 - length));
}

// The canonical codes of `lengths`, bit-reversed for an LSB-first writer;
// `symbols` are the `count` symbols with a length, in increasing order.
template <size_t N>
std::array<uint16_t, N> canonicalCodes(const std::array<uint8_t, N>& lengths, const uint16_t* symbols, size_t count) {
    std::array<int, 16> perLength{};
    for (size_t i = 0; i < count; ++i) ++perLength[lengths[symbols[i]]];
    std::array<int, 16> next{};
    for (int bits = 1, code = 0; bits < 16; ++bits) {
        code = (code + perLength[static_cast<size_t>(bits) - 1]) << 1;
        next[static_cast<size_t>(bits)] = code;
    }
    std::array<uint16_t, N> codes{};
    for (size_t i = 0; i < count; ++i) {
        const int length = lengths[symbols[i]];
        codes[symbols[i]] = reversed(static_cast<uint32_t>(next[static_cast<size_t>(length)]++), length);
    }
    return codes;
}

// ---------------------------------------------------------------------------
// Writing

// Bits, least significant first, appended to a byte vector.
class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}

    void put(uint32_t value, int count) {  // count <= 32, value < 2^count
        buffer_ |= static_cast<uint64_t>(value) << filled_;
        filled_ += count;
        while (filled_ >= 8) {
            out_.push_back(static_cast<uint8_t>(buffer_));
            buffer_ >>= 8;
            filled_ -= 8;
        }
    }

    void finish() {
        if (filled_ > 0) out_.push_back(static_cast<uint8_t>(buffer_));
        buffer_ = 0;
        filled_ = 0;
    }

private:
    std::vector<uint8_t>& out_;
    uint64_t buffer_ = 0;
    int filled_ = 0;
};

// A block's code: the lengths of the literal/length and distance codes,
// and the codes themselves.
struct Code {
    std::array<uint8_t, kFixedLiteralCodes> literalLengths{};
    std::array<uint8_t, kDistanceCodes> distanceLengths{};
    std::array<uint16_t, kFixedLiteralCodes> literalCodes{};
    std::array<uint16_t, kDistanceCodes> distanceCodes{};
};

// The RFC's fixed code.
const Code& fixedCode() {
    static const Code code = [] {
        Code fixed;
        for (int s = 0; s < kFixedLiteralCodes; ++s)
            fixed.literalLengths[static_cast<size_t>(s)] = static_cast<uint8_t>(s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8);
        fixed.distanceLengths.fill(5);
        std::array<uint16_t, kFixedLiteralCodes> all;
        std::iota(all.begin(), all.end(), uint16_t{0});
        fixed.literalCodes = canonicalCodes(fixed.literalLengths, all.data(), all.size());
        fixed.distanceCodes = canonicalCodes(fixed.distanceLengths, all.data(), kDistanceCodes);
        return fixed;
    }();
    return code;
}

// The bits of the tokens under `code`, extra bits included.
uint64_t codedBits(const Tokens& tokens, const Code& code) {
    uint64_t bits = tokens.extraBits;
    for (size_t i = 0; i < tokens.literals.usedCount; ++i) {
        const uint16_t symbol = tokens.literals.used[i];
        bits += static_cast<uint64_t>(tokens.literals.count[symbol]) * code.literalLengths[symbol];
    }
    for (size_t i = 0; i < tokens.distances.usedCount; ++i) {
        const uint16_t symbol = tokens.distances.used[i];
        bits += static_cast<uint64_t>(tokens.distances.count[symbol]) * code.distanceLengths[symbol];
    }
    return bits;
}

// The code lengths of a dynamic block, run-length coded with the code
// length alphabet's 16 (repeat the last 3-6 times), 17 (3-10 zeros) and
// 18 (11-138 zeros).
struct LengthRun {
    uint8_t symbol;
    uint8_t extra;  // the repeat count less the symbol's base
};

// The run-length coding of a sequence of `total` code lengths given by the
// positions and lengths of its nonzero ones (in increasing position); the
// rest are zeros.
class LengthRuns {
public:
    void add(size_t position, uint8_t length) {
        if (position == next_ && length == last_) {
            ++repeats_;
        } else {
            flushRepeats();
            zeros(position - next_);
            runs.push_back({length, 0});
            last_ = length;
        }
        next_ = position + 1;
    }

    void finish(size_t total) {
        flushRepeats();
        zeros(total - next_);
        next_ = total;
    }

    std::vector<LengthRun> runs;

private:
    void zeros(size_t count) {
        for (; count >= 11; count -= std::min<size_t>(count, 138))
            runs.push_back({18, static_cast<uint8_t>(std::min<size_t>(count, 138) - 11)});
        if (count >= 3) {
            runs.push_back({17, static_cast<uint8_t>(count - 3)});
            count = 0;
        }
        for (; count > 0; --count) runs.push_back({0, 0});
        last_ = 0;
    }

    // The copies of the last length after its first: 16 for three to six.
    void flushRepeats() {
        for (; repeats_ >= 3; repeats_ -= std::min<size_t>(repeats_, 6))
            runs.push_back({16, static_cast<uint8_t>(std::min<size_t>(repeats_, 6) - 3)});
        for (; repeats_ > 0; --repeats_) runs.push_back({last_, 0});
    }

    size_t next_ = 0;     // the position after the last one added
    uint8_t last_ = 0;    // the length there
    size_t repeats_ = 0;  // copies of it pending
};

constexpr int kRunExtraBits[19] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
constexpr uint8_t kLengthOrder[kLengthCodes] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A dynamic block's header: the code, described by its lengths.
struct DynamicHeader {
    Code code;
    size_t literalCount, distanceCount, lengthCount;  // HLIT + 257, HDIST + 1, HCLEN + 4
    std::vector<LengthRun> runs;
    std::array<uint8_t, kLengthCodes> runLengthLengths{};
    std::array<uint16_t, kLengthCodes> runLengthCodes{};
    uint64_t bits = 0;      // of the header
    uint64_t dataBits = 0;  // of the tokens under the code
};

DynamicHeader dynamicHeader(Tokens& tokens) {
    DynamicHeader header;
    uint64_t literalBits = 0, distanceBits = 0, runBits = 0;
    Counts<kLiteralCodes>& literals = tokens.literals;
    Counts<kDistanceCodes>& distances = tokens.distances;
    const std::array<uint8_t, kLiteralCodes> literalLengths = codeLengths(literals, 15, literalBits);
    std::copy(literalLengths.begin(), literalLengths.end(), header.code.literalLengths.begin());
    header.code.distanceLengths = codeLengths(distances, 15, distanceBits);
    header.code.literalCodes = canonicalCodes(header.code.literalLengths, literals.used.data(), literals.usedCount);
    header.code.distanceCodes = canonicalCodes(header.code.distanceLengths, distances.used.data(), distances.usedCount);
    // Both alphabets' lengths, up to the last one used in each, as one sequence.
    header.literalCount = literals.used[literals.usedCount - 1] + size_t{1};
    header.distanceCount = distances.used[distances.usedCount - 1] + size_t{1};
    LengthRuns lengthRuns;
    for (size_t i = 0; i < literals.usedCount; ++i)
        lengthRuns.add(literals.used[i], header.code.literalLengths[literals.used[i]]);
    for (size_t i = 0; i < distances.usedCount; ++i)
        lengthRuns.add(header.literalCount + distances.used[i], header.code.distanceLengths[distances.used[i]]);
    lengthRuns.finish(header.literalCount + header.distanceCount);
    header.runs = std::move(lengthRuns.runs);
    Counts<kLengthCodes> runCounts;
    for (const LengthRun& run : header.runs) runCounts.add(run.symbol);
    header.runLengthLengths = codeLengths(runCounts, 7, runBits);
    header.runLengthCodes = canonicalCodes(header.runLengthLengths, runCounts.used.data(), runCounts.usedCount);
    header.lengthCount = kLengthCodes;
    while (header.lengthCount > 4 && header.runLengthLengths[kLengthOrder[header.lengthCount - 1]] == 0)
        --header.lengthCount;
    header.bits = 5 + 5 + 4 + 3 * header.lengthCount + runBits;
    for (const LengthRun& run : header.runs) header.bits += static_cast<uint64_t>(kRunExtraBits[run.symbol]);
    header.dataBits = literalBits + distanceBits + tokens.extraBits;
    return header;
}

void writeHeader(BitWriter& writer, const DynamicHeader& header) {
    writer.put(static_cast<uint32_t>(header.literalCount - 257), 5);
    writer.put(static_cast<uint32_t>(header.distanceCount - 1), 5);
    writer.put(static_cast<uint32_t>(header.lengthCount - 4), 4);
    for (size_t i = 0; i < header.lengthCount; ++i) writer.put(header.runLengthLengths[kLengthOrder[i]], 3);
    for (const LengthRun& run : header.runs) {
        writer.put(header.runLengthCodes[run.symbol], header.runLengthLengths[run.symbol]);
        if (kRunExtraBits[run.symbol] > 0) writer.put(run.extra, kRunExtraBits[run.symbol]);
    }
}

void writeTokens(BitWriter& writer, const Tokens& tokens, const Code& code) {
    const std::array<uint16_t, kFixedLiteralCodes>& literals = code.literalCodes;
    const std::array<uint16_t, kDistanceCodes>& distances = code.distanceCodes;
    const std::array<ExtraBits, kMaxMatch + 1>& lengths = lengthCodes();
    // The rows use one or two distances: their codes are looked up once.
    uint16_t lastDistance = 0;
    ExtraBits distance{};
    for (const Token& token : tokens.list) {
        if (token.distance == 0) {
            writer.put(literals[token.value], code.literalLengths[token.value]);
            continue;
        }
        const ExtraBits& length = lengths[token.value];
        writer.put(literals[length.code], code.literalLengths[length.code]);
        if (length.bits > 0) writer.put(length.offset, length.bits);
        if (token.distance != lastDistance) {
            lastDistance = token.distance;
            distance = distanceCode(token.distance);
        }
        writer.put(distances[distance.code], code.distanceLengths[distance.code]);
        if (distance.bits > 0) writer.put(distance.offset, distance.bits);
    }
    writer.put(literals[kEndOfBlock], code.literalLengths[kEndOfBlock]);
}

// The Adler-32 of the rows: each distinct row is summed once, and a row
// repeated adds its sums again (n bytes of sum S and weighted sum W take
// a to a + S and b to b + n * a + W).
uint32_t rowsAdler32(const std::vector<const uint8_t*>& rows, size_t rowBytes) {
    constexpr uint64_t kBase = 65521;
    uint64_t a = 1, b = 0, sum = 0, weighted = 0;  // a and the sums kept below kBase
    const uint8_t* summed = nullptr;
    const uint64_t count = rowBytes % kBase;
    for (const uint8_t* row : rows) {
        if (row != summed) {
            sum = weighted = 0;  // at most 255 * 32768 and 32768 times that: no overflow
            for (size_t i = 0; i < rowBytes; ++i) {
                sum += row[i];
                weighted += sum;
            }
            sum %= kBase;
            weighted %= kBase;
            summed = row;
        }
        b += count * a + weighted;  // under 2^36 a row: reduced at the end, or when it grows large
        if (b >= (uint64_t{1} << 62)) b %= kBase;
        a += sum;
        if (a >= kBase) a -= kBase;
    }
    return static_cast<uint32_t>(((b % kBase) << 16) | a);
}

}  // namespace

void deflateRows(const std::vector<const uint8_t*>& rows, size_t rowBytes, std::vector<uint8_t>& out) {
    const bool copyRows = rowBytes <= kLongestCopiedRow;
    std::vector<const uint8_t*> written;  // the rows as written: repeated ones Up-filtered where not copied
    std::vector<uint8_t> upRow;
    if (!copyRows) {
        upRow.assign(rowBytes, 0);
        upRow[0] = 2;
        written.reserve(rows.size());
        for (size_t r = 0; r < rows.size(); ++r)
            written.push_back(r > 0 && sameRow(rows[r], rows[r - 1], rowBytes) ? upRow.data() : rows[r]);
    }
    const std::vector<const uint8_t*>& coded = copyRows ? rows : written;
    Tokens tokens = tokenize(coded, rowBytes, copyRows);
    const Code& fixed = fixedCode();
    const DynamicHeader dynamic = dynamicHeader(tokens);
    const uint64_t fixedBits = codedBits(tokens, fixed);
    const uint64_t dynamicBits = dynamic.bits + dynamic.dataBits;
    const bool useFixed = fixedBits <= dynamicBits;

    out.reserve(out.size() + 2 + (3 + std::min(fixedBits, dynamicBits) + 7) / 8 + 4);
    out.push_back(0x78);  // deflate, a 32 KiB window
    out.push_back(0x01);  // no dictionary; 0x7801 is a multiple of 31
    BitWriter writer(out);
    writer.put(1, 1);               // the last block
    writer.put(useFixed ? 1 : 2, 2);  // fixed or dynamic codes
    if (!useFixed) writeHeader(writer, dynamic);
    writeTokens(writer, tokens, useFixed ? fixed : dynamic.code);
    writer.finish();

    const uint32_t adler = rowsAdler32(coded, rowBytes);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(adler >> shift));
}

}  // namespace quillbank::aztec
