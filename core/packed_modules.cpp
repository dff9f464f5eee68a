#include "packed_modules.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace quillbank::aztec {

namespace {

// Eight modules into one byte, the first in bit 7, with no branch on
// their values: the modules of a symbol are as good as random, and a
// branch on each mispredicts half the time.  Read as a little-endian
// number, module j is bit 8j; the product moves it to bit 63 - j, and no
// two of its terms meet (so none carries).
std::uint8_t packedByte(const std::uint8_t* modules) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::uint64_t eight;
    std::memcpy(&eight, modules, 8);
    return static_cast<std::uint8_t>((eight * 0x8040201008040201ull) >> 56);
#else
    unsigned byte = 0;
    for (int j = 0; j < 8; ++j) byte = byte << 1 | modules[j];
    return static_cast<std::uint8_t>(byte);
#endif
}

// The shape of the work: rows of `size` modules packed into `rowBytes`
// bytes, the last of which keeps the bits of `lastMask`.
struct Rows {
    const std::uint8_t* modules;
    std::size_t size;
    std::size_t rowBytes;
    unsigned lastMask;
    std::uint8_t* out;

    std::size_t total() const { return size * size; }
    // How many rows from the first can be packed in steps of `step`
    // modules (8 or 32) read and written in place: a row's last step reads
    // the next row's first modules, and writes into the next row's place,
    // which that row then writes over; the last row's (or rows', in a tiny
    // grid) would run past the grid or the packed bytes.
    std::size_t inPlace(std::size_t step) const {
        const std::size_t steps = (size + step - 1) / step, read = steps * step, written = read / 8;
        if (total() < read || rowBytes * size < written) return 0;
        return std::min({size, (total() - read) / size + 1, (rowBytes * size - written) / rowBytes + 1});
    }
    void mask(std::size_t y) const {
        std::uint8_t& last = out[y * rowBytes + rowBytes - 1];
        last = static_cast<std::uint8_t>(last & lastMask);
    }
};

// Rows first to end - 1, eight modules at a time read in place.  The
// row's byte count is a template argument, so that the loop over a row
// unrolls: a symbol's rows are short (2 to 19 bytes), and a loop's
// overhead would cost more than the packing.
template <std::size_t RowBytes>
void packRowsByEight(const Rows& rows, std::size_t first, std::size_t end) {
    for (std::size_t y = first; y < end; ++y) {
        const std::uint8_t* modules = rows.modules + y * rows.size;
        std::uint8_t* out = rows.out + y * RowBytes;
        for (std::size_t k = 0; k < RowBytes; ++k) out[k] = packedByte(modules + 8 * k);
        rows.mask(y);
    }
}

template <std::size_t... RowBytes>
void packRowsByEightOf(const Rows& rows, std::size_t first, std::size_t end, std::index_sequence<RowBytes...>) {
    // The instance for the row's byte count (1 to 19: up to 151 modules a side).
    ((rows.rowBytes == RowBytes + 1 ? packRowsByEight<RowBytes + 1>(rows, first, end) : void()), ...);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUILLBANK_PACK_AVX2 1
// Rows first to end - 1, thirty-two modules at a time: each module's bit
// moved to bit 7 of its byte, the bytes of each eight reversed (the first
// module goes to the highest bit), and the bytes' top bits gathered.
__attribute__((target("avx2"))) void packRowsByThirtyTwo(const Rows& rows, std::size_t first, std::size_t end) {
    const __m256i reverse = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                             7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
    const std::size_t steps = (rows.size + 31) / 32;
    const std::uint8_t* modules = rows.modules + first * rows.size;
    std::uint8_t* out = rows.out + first * rows.rowBytes;
    for (std::size_t y = first; y < end; ++y, modules += rows.size, out += rows.rowBytes) {
        for (std::size_t k = 0; k < steps; ++k) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(modules + 32 * k));
            const __m256i topBits = _mm256_shuffle_epi8(_mm256_slli_epi16(v, 7), reverse);
            const auto four = static_cast<std::uint32_t>(_mm256_movemask_epi8(topBits));
            std::memcpy(out + 4 * k, &four, 4);  // little-endian: the first eight modules in the first byte
        }
        rows.mask(y);
    }
}

// Rows of at least this many bytes (57 modules) go thirty-two modules a
// step where the processor has AVX2; in shorter ones the steps save less
// than the choice of them costs.
constexpr std::size_t kWideRowBytes = 8;

bool hasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

}  // namespace

void packModules(const std::uint8_t* modules, std::size_t size, std::uint8_t* out) {
    const Rows rows{modules, size, (size + 7) / 8, (0xFF00u >> (size % 8 == 0 ? 8 : size % 8)) & 0xFFu, out};
    std::size_t done = 0;
#ifdef QUILLBANK_PACK_AVX2
    if (rows.rowBytes >= kWideRowBytes && hasAvx2()) {
        done = rows.inPlace(32);
        packRowsByThirtyTwo(rows, 0, done);
    }
#endif
    const std::size_t byEight = std::max(done, rows.inPlace(8));
    packRowsByEightOf(rows, done, byEight, std::make_index_sequence<19>());
    // The last rows from a copy where eight modules would run past the grid.
    for (std::size_t y = byEight; y < size; ++y) {
        for (std::size_t k = 0; k < rows.rowBytes; ++k) {
            const std::size_t at = y * size + 8 * k;
            std::uint8_t eight[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            std::memcpy(eight, modules + at, std::min<std::size_t>(8, rows.total() - at));
            out[y * rows.rowBytes + k] = packedByte(eight);
        }
        rows.mask(y);
    }
}

}  // namespace quillbank::aztec
