#include "reed_solomon.hpp"

#include <array>

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

const GaloisField* galoisField(int bits) {
    for (size_t i = 0; i < kFields.size(); ++i)
        if (kFields[i].bits == bits) return &allFields()[i];
    return nullptr;
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
// for the next symbol, since symbols of one size come in runs (and the
// mode message has a field of its own).
struct CachedGenerator {
    size_t checkCount = 0;
    int runs = 0;                // calls in a row with this check count
    std::vector<uint16_t> log;   // log of each coefficient but the leading 1
    // For fields of at most 8 bits, once the check count has come twice in
    // a row: row f holds f times each of those coefficients, so a step of
    // the division is a shift and an exclusive or of one row.
    std::vector<uint16_t> products;
};

constexpr int kMaxProductBits = 8;

CachedGenerator& cachedGenerator(const GaloisField& field, size_t checkCount) {
    thread_local std::array<CachedGenerator, kFields.size() + 1> cache;
    size_t slot = 0;
    while (slot < kFields.size() && &allFields()[slot] != &field) ++slot;
    CachedGenerator& cached = cache[slot];
    if (slot == kFields.size()) cached.checkCount = 0;  // a field of the caller's own: no reuse
    if (cached.checkCount == checkCount) {
        ++cached.runs;
        return cached;
    }
    const std::vector<uint16_t> g = generatorPolynomial(field, checkCount);
    // A zero coefficient gets a logarithm that lands in the zero third of
    // the exp table, so the inner loop needs no test.
    const uint16_t zeroLog = static_cast<uint16_t>(2 * field.order);
    cached.log.resize(checkCount);
    for (size_t j = 0; j < checkCount; ++j) cached.log[j] = g[j + 1] ? field.log[g[j + 1]] : zeroLog;
    cached.checkCount = checkCount;
    cached.runs = 1;
    cached.products.clear();
    return cached;
}

void buildProducts(const GaloisField& field, CachedGenerator& cached) {
    const size_t k = cached.checkCount;
    cached.products.assign((static_cast<size_t>(field.order) + 1) * k, 0);  // row 0: all zero
    for (uint32_t f = 1; f <= field.order; ++f) {
        const uint16_t* row = field.exp.data() + field.log[f];
        for (size_t j = 0; j < k; ++j) cached.products[f * k + j] = row[cached.log[j]];
    }
}

// The division with a product table: the remainder (r, checkCount words,
// our own storage, never one of the table's rows) shifts one word and takes
// the row of the feedback.
void shiftAndAdd(const uint16_t* products, const uint16_t* data, size_t count, uint16_t* __restrict r,
                 size_t checkCount) {
    const size_t last = checkCount - 1;
    for (size_t i = 0; i < count; ++i) {
        const uint16_t* __restrict row = products + static_cast<size_t>(data[i] ^ r[0]) * checkCount;
        for (size_t j = 0; j < last; ++j) r[j] = r[j + 1] ^ row[j];
        r[last] = row[last];
    }
}

}  // namespace

std::vector<uint16_t> checkWords(const GaloisField& field, const uint16_t* data, size_t count,
                                 size_t checkCount) {
    std::vector<uint16_t> remainder(checkCount, 0);
    if (checkCount == 0) return remainder;
    CachedGenerator& cached = cachedGenerator(field, checkCount);
    if (field.bits <= kMaxProductBits && cached.runs >= 2 && cached.products.empty()) buildProducts(field, cached);

    // Shifting the remainder one word towards the high end and adding the
    // feedback times the generator, in one pass.
    uint16_t* r = remainder.data();
    const size_t last = checkCount - 1;
    if (!cached.products.empty()) {
        shiftAndAdd(cached.products.data(), data, count, r, checkCount);
        return remainder;
    }
    const uint16_t* gLog = cached.log.data();
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
    return remainder;
}

uint16_t evaluatePolynomial(const GaloisField& field, const uint16_t* words, size_t count,
                            uint16_t x) {
    uint16_t value = 0;
    for (size_t i = 0; i < count; ++i) value = gfMultiply(field, value, x) ^ words[i];
    return value;
}

}  // namespace quillbank::aztec
