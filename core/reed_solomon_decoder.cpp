#include "reed_solomon_decoder.hpp"

#include <algorithm>

namespace quillbank::aztec {

namespace {

// Polynomials below are lowest degree first: p[i] is the coefficient of x^i.
using Polynomial = std::vector<uint16_t>;

struct Field {
    const GaloisField& tables;

    uint16_t power(long exponent) const {  // a^exponent for any integer exponent
        const long order = static_cast<long>(tables.order);
        return tables.exp[static_cast<size_t>(((exponent % order) + order) % order)];
    }
    uint16_t times(uint16_t a, uint16_t b) const {
        if (a == 0 || b == 0) return 0;
        // exp holds two periods of powers: the sum of two logs needs no reduction.
        return tables.exp[static_cast<size_t>(tables.log[a]) + tables.log[b]];
    }
    uint16_t inverse(uint16_t a) const { return tables.exp[(tables.order - tables.log[a]) % tables.order]; }
    uint16_t evaluate(const Polynomial& p, uint16_t x) const {
        uint16_t value = 0;
        for (size_t i = p.size(); i-- > 0;) value = static_cast<uint16_t>(times(value, x) ^ p[i]);
        return value;
    }
};

// The syndromes S_1..S_k (s[j - 1] = S_j): the block evaluated at a^j.
Polynomial syndromes(const Field& f, const std::vector<uint16_t>& words, size_t checkCount) {
    Polynomial s(checkCount, 0);
    for (size_t j = 1; j <= checkCount; ++j) {
        const uint16_t root = f.power(static_cast<long>(j));
        uint16_t value = 0;
        for (uint16_t word : words) value = static_cast<uint16_t>(f.times(value, root) ^ word);
        s[j - 1] = value;
    }
    return s;
}

// a^p for the word at `index`: the block's words are the coefficients of
// x^(n-1) down to x^0.
long exponentOf(size_t index, size_t count) { return static_cast<long>(count - 1 - index); }

// The errata locator by Berlekamp–Massey, started from the erasures'
// locator so that only the errors are searched for.  Its degree is the
// number of errata it accounts for; false when no locator within the
// code's reach matches the syndromes.
bool erratumLocator(const Field& f, const Polynomial& s, const std::vector<long>& erasureExponents,
                    Polynomial& locator) {
    const size_t k = s.size();
    const size_t erased = erasureExponents.size();
    Polynomial lambda{1};
    for (long exponent : erasureExponents) {  // times (1 + a^p x)
        Polynomial next(lambda.size() + 1, 0);
        const uint16_t x = f.power(exponent);
        for (size_t i = 0; i < lambda.size(); ++i) {
            next[i] ^= lambda[i];
            next[i + 1] ^= f.times(lambda[i], x);
        }
        lambda.swap(next);
    }
    Polynomial previous = lambda;
    size_t length = erased;
    for (size_t r = erased + 1; r <= k; ++r) {
        uint16_t discrepancy = 0;
        for (size_t j = 0; j < lambda.size() && j < r; ++j) discrepancy ^= f.times(lambda[j], s[r - 1 - j]);
        previous.insert(previous.begin(), 0);  // x * B(x)
        if (discrepancy == 0) continue;
        Polynomial next = lambda;
        if (next.size() < previous.size()) next.resize(previous.size(), 0);
        for (size_t i = 0; i < previous.size(); ++i) next[i] ^= f.times(discrepancy, previous[i]);
        if (2 * length <= r + erased - 1) {
            const uint16_t scale = f.inverse(discrepancy);
            previous = lambda;
            for (uint16_t& c : previous) c = f.times(c, scale);
            length = r + erased - length;
        }
        lambda.swap(next);
    }
    while (lambda.size() > 1 && lambda.back() == 0) lambda.pop_back();
    if (lambda.size() - 1 != length) return false;
    // Errors count twice against the check words, erasures once.
    if (2 * (length - erased) + erased > k) return false;
    locator.swap(lambda);
    return true;
}

}  // namespace

RepairResult repairCodewords(const GaloisField& field, std::vector<uint16_t>& words, size_t checkCount,
                             const std::vector<size_t>& erasures) {
    const Field f{field};
    const size_t n = words.size();
    RepairResult result;
    if (n == 0 || checkCount == 0 || checkCount > n || n > field.order) return result;
    std::vector<size_t> erased = erasures;
    std::sort(erased.begin(), erased.end());
    erased.erase(std::unique(erased.begin(), erased.end()), erased.end());
    if (!erased.empty() && erased.back() >= n) return result;
    if (erased.size() > checkCount) return result;

    std::vector<uint16_t> block = words;
    for (size_t index : erased) block[index] = 0;
    const Polynomial s = syndromes(f, block, checkCount);
    if (std::all_of(s.begin(), s.end(), [](uint16_t v) { return v == 0; })) {
        result.repaired = static_cast<int>(erased.size());
        words.swap(block);
        result.ok = true;
        return result;
    }
    std::vector<long> erasureExponents;
    for (size_t index : erased) erasureExponents.push_back(exponentOf(index, n));
    Polynomial locator;
    if (!erratumLocator(f, s, erasureExponents, locator)) return result;

    // The evaluator S(x) * locator(x) mod x^k, and the locator's derivative
    // (only its odd terms survive in characteristic 2).
    Polynomial evaluator(checkCount, 0);
    for (size_t i = 0; i < locator.size(); ++i)
        for (size_t j = 0; i + j < checkCount; ++j) evaluator[i + j] ^= f.times(locator[i], s[j]);
    Polynomial derivative(locator.size() > 1 ? locator.size() - 1 : 1, 0);
    for (size_t i = 1; i < locator.size(); i += 2) derivative[i - 1] = locator[i];

    // Chien search over the block's own positions, Forney's values there.
    size_t found = 0;
    for (size_t index = 0; index < n; ++index) {
        const long exponent = exponentOf(index, n);
        const uint16_t inverseX = f.power(-exponent);
        if (f.evaluate(locator, inverseX) != 0) continue;
        ++found;
        const uint16_t slope = f.evaluate(derivative, inverseX);
        if (slope == 0) return result;
        block[index] ^= f.times(f.evaluate(evaluator, inverseX), f.inverse(slope));
    }
    if (found != locator.size() - 1) return result;  // roots outside the block: not a repair
    const Polynomial check = syndromes(f, block, checkCount);
    if (!std::all_of(check.begin(), check.end(), [](uint16_t v) { return v == 0; })) return result;
    // Every erasure counts (what was read there meant nothing), and every
    // other word that changed.
    result.repaired = static_cast<int>(erased.size());
    for (size_t index = 0; index < n; ++index)
        result.repaired += block[index] != words[index] && !std::binary_search(erased.begin(), erased.end(), index);
    words.swap(block);
    result.ok = true;
    return result;
}

}  // namespace quillbank::aztec
