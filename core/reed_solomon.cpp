#include "reed_solomon.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

#include "thread_cache.hpp"

namespace quillbank::aztec {

namespace {

struct FieldDefinition {
    int bits;
    uint32_t polynomial;
};

// x^4+x+1, x^6+x+1, x^8+x^5+x^3+x^2+1, x^10+x^3+1, x^12+x^6+x^5+x^3+1.
constexpr std::array<FieldDefinition, 5> kFields = {{
    {4, 0x13},
    {6, 0x43},
    {8, 0x12D},
    {10, 0x409},
    {12, 0x1069},
}};

GaloisField buildField(const FieldDefinition& definition) {
    GaloisField field;
    field.bits = definition.bits;
    field.polynomial = definition.polynomial;
    field.order = (1u << definition.bits) - 1;
    // Three periods: the last is all zeros, reached through kZeroLog below.
    field.exp.assign(3 * static_cast<size_t>(field.order), 0);
    field.log.assign(static_cast<size_t>(field.order) + 1, 0);
    uint32_t value = 1;
    for (uint32_t i = 0; i < field.order; ++i) {
        field.exp[i] = static_cast<uint16_t>(value);
        field.log[value] = static_cast<uint16_t>(i);
        value <<= 1;
        if (value > field.order) value ^= field.polynomial;
    }
    for (uint32_t i = field.order; i < 2 * field.order; ++i) field.exp[i] = field.exp[i - field.order];
    return field;
}

const std::array<GaloisField, kFields.size()>& allFields() {
    // Built on first use; C++ guarantees a single, thread-safe initialisation.
    static const std::array<GaloisField, kFields.size()> fields = [] {
        std::array<GaloisField, kFields.size()> built;
        for (size_t i = 0; i < kFields.size(); ++i) built[i] = buildField(kFields[i]);
        return built;
    }();
    return fields;
}

}  // namespace

namespace {

// The index of the field of `bits`-bit words in kFields (4, 6, 8, 10, 12 ->
// 0..4), kFields.size() for any other width.
size_t fieldIndex(int bits) {
    const size_t index = bits >= 4 && bits % 2 == 0 ? static_cast<size_t>(bits / 2 - 2) : kFields.size();
    return index < kFields.size() ? index : kFields.size();
}

}  // namespace

const GaloisField* galoisField(int bits) {
    const size_t index = fieldIndex(bits);
    return index < kFields.size() ? &allFields()[index] : nullptr;
}

uint16_t gfMultiply(const GaloisField& field, uint16_t a, uint16_t b) {
    if (a == 0 || b == 0) return 0;
    return field.exp[static_cast<size_t>(field.log[a]) + field.log[b]];
}

uint16_t gfInverse(const GaloisField& field, uint16_t a) {
    return field.exp[(field.order - field.log[a]) % field.order];
}

std::vector<uint16_t> generatorPolynomial(const GaloisField& field, size_t checkCount) {
    // Multiply out (x - a^i) for i = 1..k; minus is plus in characteristic 2.
    std::vector<uint16_t> g(checkCount + 1, 0);
    g[0] = 1;
    for (size_t i = 1; i <= checkCount; ++i) {
        const uint16_t root = field.exp[i % field.order];
        // g(x) * (x + root), coefficients highest degree first, degree i-1 -> i.
        for (size_t j = i; j >= 1; --j) g[j] ^= gfMultiply(field, g[j - 1], root);
    }
    return g;
}

namespace {

// The generator of one check count over one field, kept by each thread
// for the symbols to come, since a program makes symbols of a few sizes
// over and over (and the mode message has a field of its own).
struct CachedGenerator {
    size_t checkCount = 0;       // 0: unused
    uint64_t lastUse = 0;        // the thread's count of calls when last used
    int uses = 0;                // calls with this check count since it was built, counted up to 2
    std::vector<uint16_t> log;   // log of each coefficient but the leading 1
    // For fields of at most 8 bits, once the check count has come twice:
    // row f holds f times each of those coefficients, so a step of
    // the division is a shift and an exclusive or of one row.  The products
    // are bytes, eight to a 64-bit word (coefficient j in bits 8 * (j % 8)
    // of word j / 8, zeros past the last), rowWords words a row.
    std::vector<uint64_t> products;
    size_t rowWords = 0;
    // For fields of 9 to 12 bits: the feedback split into three 4-bit
    // pieces.  f times a coefficient is the exclusive or of each piece's
    // product, so table p, row v holds (v << 4p) times every coefficient
    // (checkCount words a row), and a step of the division adds three rows.
    std::vector<uint16_t> pieceProducts;
};

constexpr int kMaxProductBits = 8;
// The longest row, in 64-bit words: 256 check words, more than a code over
// a field of 8 bits has (255 words in all).
constexpr size_t kMaxProductWords = 32;

// The piece tables: fields of up to 12 bits, 16 rows a piece, and the check
// counts of every symbol (a full symbol of 32 layers has 1664 codewords), so
// that a table is at most 156 KiB.
constexpr int kMaxPieceBits = 12;
constexpr size_t kPieces = 3;
constexpr size_t kPieceRows = 16;
constexpr size_t kMaxPieceChecks = 1664;

// Generators kept a field: symbols of a few sizes in turn each find
// theirs (mode messages come from a table built once), and a thread keeps
// at most this many product tables of at most 64 KiB a field (156 KiB for
// the piece tables of the wide fields).
constexpr size_t kCachedPerField = 4;

// A thread's generators, a row of them for each field and one for a field
// of the caller's own, its count of calls, and the piece division's
// running sums.  A call that runs out of memory leaves every entry whole:
// an entry takes its new check count once its logarithms are in place,
// and a table is empty until it is complete.
struct GeneratorCache {
    std::array<std::array<CachedGenerator, kCachedPerField>, kFields.size() + 1> kept;
    uint64_t calls = 0;
    std::vector<uint16_t> running;  // divideByPieces: count + k words, written before they are read
};

CachedGenerator& cachedGenerator(GeneratorCache& cache, const GaloisField& field, size_t checkCount) {
    size_t slot = fieldIndex(field.bits);
    if (slot < kFields.size() && &allFields()[slot] != &field) slot = kFields.size();
    std::array<CachedGenerator, kCachedPerField>& kept = cache.kept[slot];
    if (slot == kFields.size())  // a field of the caller's own: no reuse
        for (CachedGenerator& entry : kept) entry.checkCount = 0;
    const uint64_t calls = ++cache.calls;
    // The generator of this check count, else the one least recently used.
    CachedGenerator* found = &kept[0];
    for (CachedGenerator& entry : kept) {
        if (entry.checkCount == checkCount) {
            if (entry.uses < 2) ++entry.uses;
            entry.lastUse = calls;
            return entry;
        }
        if (entry.lastUse < found->lastUse) found = &entry;
    }
    CachedGenerator& cached = *found;
    const std::vector<uint16_t> g = generatorPolynomial(field, checkCount);
    // A zero coefficient gets a logarithm that lands in the zero third of
    // the exp table, so the inner loop needs no test.
    const uint16_t zeroLog = static_cast<uint16_t>(2 * field.order);
    cached.log.resize(checkCount);
    for (size_t j = 0; j < checkCount; ++j) cached.log[j] = g[j + 1] ? field.log[g[j + 1]] : zeroLog;
    cached.checkCount = checkCount;
    cached.uses = 1;
    cached.lastUse = calls;
    cached.products.clear();
    cached.pieceProducts.clear();
    return cached;
}

void buildProducts(const GaloisField& field, CachedGenerator& cached) {
    const size_t k = cached.checkCount;
    const size_t w = (k + 7) / 8;
    cached.rowWords = w;
    cached.products.assign((static_cast<size_t>(field.order) + 1) * w, 0);  // row 0: all zero
    for (uint32_t f = 1; f <= field.order; ++f) {
        const uint16_t* row = field.exp.data() + field.log[f];
        for (size_t j = 0; j < k; ++j)
            cached.products[f * w + j / 8] |= static_cast<uint64_t>(row[cached.log[j]]) << (8 * (j % 8));
    }
}

// The division with a product table.  The remainder is packed like a row
// (and a zero word after it), so shifting it one check word is a shift of
// each 64-bit word taking the low byte of the next.  Up to 8 words (64
// check words) the row length is a template argument: the remainder then
// lives in registers.  A remainder shifted through memory stalled each
// step on reloading, one byte over, what the step before had stored.
template <size_t W>
void divideByRows(const uint64_t* products, const uint16_t* data, size_t count, uint64_t* remainder) {
    std::array<uint64_t, W + 1> r{};
    for (size_t i = 0; i < count; ++i) {
        const uint64_t* row = products + static_cast<size_t>(static_cast<uint8_t>(data[i] ^ r[0])) * W;
        for (size_t m = 0; m < W; ++m) r[m] = ((r[m] >> 8) | (r[m + 1] << 56)) ^ row[m];
    }
    std::copy(r.begin(), r.begin() + W, remainder);
}

// The same for longer rows, each word carried to the next in a register.
void divideByLongRows(const uint64_t* products, size_t w, const uint16_t* data, size_t count, uint64_t* r) {
    std::fill(r, r + w, uint64_t{0});
    for (size_t i = 0; i < count; ++i) {
        const uint64_t* row = products + static_cast<size_t>(static_cast<uint8_t>(data[i] ^ r[0])) * w;
        uint64_t current = r[0];
        for (size_t m = 0; m + 1 < w; ++m) {
            const uint64_t next = r[m + 1];
            r[m] = ((current >> 8) | (next << 56)) ^ row[m];
            current = next;
        }
        r[w - 1] = (current >> 8) ^ row[w - 1];
    }
}

// The check words from the product table; data words of at most 8 bits.
void shiftAndAdd(const CachedGenerator& cached, const uint16_t* data, size_t count, uint16_t* out) {
    const uint64_t* products = cached.products.data();
    std::array<uint64_t, kMaxProductWords> r;
    switch (cached.rowWords) {
        case 1: divideByRows<1>(products, data, count, r.data()); break;
        case 2: divideByRows<2>(products, data, count, r.data()); break;
        case 3: divideByRows<3>(products, data, count, r.data()); break;
        case 4: divideByRows<4>(products, data, count, r.data()); break;
        case 5: divideByRows<5>(products, data, count, r.data()); break;
        case 6: divideByRows<6>(products, data, count, r.data()); break;
        case 7: divideByRows<7>(products, data, count, r.data()); break;
        case 8: divideByRows<8>(products, data, count, r.data()); break;
        default: divideByLongRows(products, cached.rowWords, data, count, r.data()); break;
    }
    // Eight check words a remainder word, the first in its low byte: all
    // eight taken out of each word, then as many as there are.
    std::array<uint8_t, 8 * kMaxProductWords> bytes;
    for (size_t m = 0; m < cached.rowWords; ++m)
        for (size_t b = 0; b < 8; ++b) bytes[8 * m + b] = static_cast<uint8_t>(r[m] >> (8 * b));
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cached.checkCount), out);
}

void buildPieceProducts(const GaloisField& field, CachedGenerator& cached) {
    const size_t k = cached.checkCount;
    cached.pieceProducts.assign(kPieces * kPieceRows * k, 0);  // row 0 of each piece: all zero
    for (size_t p = 0; p < kPieces; ++p)
        for (uint32_t v = 1; v < kPieceRows; ++v) {
            const uint32_t f = v << (4 * p);
            if (f > field.order) break;  // past the field: no word has those bits
            const uint16_t* row = field.exp.data() + field.log[f];
            uint16_t* products = cached.pieceProducts.data() + (p * kPieceRows + v) * k;
            for (size_t j = 0; j < k; ++j) products[j] = row[cached.log[j]];
        }
}

// Adds the three rows of `f` to the k words at `to`; the rows are apart
// from `to`, which lets the compiler add many words an instruction.
void addPieceRows(const uint16_t* products, size_t k, uint16_t f, uint16_t* __restrict to) {
    const uint16_t* low = products + static_cast<size_t>(f & 15) * k;
    const uint16_t* middle = products + (kPieceRows + static_cast<size_t>((f >> 4) & 15)) * k;
    const uint16_t* high = products + (2 * kPieceRows + static_cast<size_t>((f >> 8) & 15)) * k;
    for (size_t j = 0; j < k; ++j) to[j] ^= low[j] ^ middle[j] ^ high[j];
}

// The division with the piece tables, in place: the sums of the rows
// added so far run ahead of the data in `running` (count + k words), word
// i's feedback is data word i plus what reached it, and the last k words
// are the remainder.  Adding a row to words in a line, rather than
// shifting the remainder a word each step, is what lets the additions go
// many words at once.
void divideByPieces(const CachedGenerator& cached, std::vector<uint16_t>& running, const uint16_t* data, size_t count,
                    uint16_t* out) {
    const size_t k = cached.checkCount;
    running.assign(count + k, 0);
    const uint16_t* products = cached.pieceProducts.data();
    for (size_t i = 0; i < count; ++i) {
        const uint16_t feedback = data[i] ^ running[i];
        if (feedback != 0) addPieceRows(products, k, feedback, running.data() + i + 1);
    }
    std::copy(running.begin() + static_cast<std::ptrdiff_t>(count), running.end(), out);
}

// The division with logarithms: the feedback's logarithm plus each
// coefficient's gives the product's.
void shiftAndAddLogs(const GaloisField& field, const uint16_t* gLog, const uint16_t* data, size_t count, uint16_t* r,
                     size_t checkCount) {
    const size_t last = checkCount - 1;
    const uint16_t* exp = field.exp.data();
    for (size_t i = 0; i < count; ++i) {
        const uint16_t feedback = data[i] ^ r[0];
        if (feedback == 0) {
            for (size_t j = 0; j < last; ++j) r[j] = r[j + 1];
            r[last] = 0;
            continue;
        }
        const uint16_t* row = exp + field.log[feedback];
        for (size_t j = 0; j < last; ++j) r[j] = r[j + 1] ^ row[gLog[j]];
        r[last] = row[gLog[last]];
    }
}

}  // namespace

void checkWordsInto(const GaloisField& field, const uint16_t* data, size_t count, size_t checkCount, uint16_t* out) {
    if (checkCount == 0) return;
    ThreadCache<GeneratorCache> cache;
    CachedGenerator& cached = cachedGenerator(*cache, field, checkCount);
    if (field.bits <= kMaxProductBits && checkCount <= 8 * kMaxProductWords && cached.uses >= 2 &&
        cached.products.empty())
        buildProducts(field, cached);
    // A wide field's tables take as long to build as the division of as many
    // words as they have rows takes with logarithms: built for a long message
    // at once, else once the check count comes again.
    if (field.bits > kMaxProductBits && field.bits <= kMaxPieceBits && checkCount <= kMaxPieceChecks &&
        (cached.uses >= 2 || count >= kPieces * kPieceRows)) {
        if (cached.pieceProducts.empty()) buildPieceProducts(field, cached);
        divideByPieces(cached, cache->running, data, count, out);
        return;
    }

    // Shifting the remainder one word towards the high end and adding the
    // feedback times the generator, in one pass.
    if (cached.products.empty()) {
        std::fill(out, out + checkCount, uint16_t{0});
        shiftAndAddLogs(field, cached.log.data(), data, count, out, checkCount);
        return;
    }
    shiftAndAdd(cached, data, count, out);
}

std::vector<uint16_t> checkWords(const GaloisField& field, const uint16_t* data, size_t count,
                                 size_t checkCount) {
    std::vector<uint16_t> remainder(checkCount, 0);
    checkWordsInto(field, data, count, checkCount, remainder.data());
    return remainder;
}

uint16_t evaluatePolynomial(const GaloisField& field, const uint16_t* words, size_t count,
                            uint16_t x) {
    uint16_t value = 0;
    for (size_t i = 0; i < count; ++i) value = gfMultiply(field, value, x) ^ words[i];
    return value;
}

}  // namespace quillbank::aztec
