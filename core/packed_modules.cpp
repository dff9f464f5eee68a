#include "packed_modules.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

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
    // How many rows from the first can be packed eight modules at a time
    // read in place: a row's last byte reads the next row's first
    // modules; that of the last row (or rows, in a tiny grid) would read
    // past the grid.
    std::size_t inPlace() const {
        return total() < 8 * rowBytes ? 0 : std::min(size, (total() - 8 * rowBytes) / size + 1);
    }
    void mask(std::size_t y) const {
        std::uint8_t& last = out[y * rowBytes + rowBytes - 1];
        last = static_cast<std::uint8_t>(last & lastMask);
    }
};

// The first `count` rows, eight modules at a time read in place.  The
// row's byte count is a template argument, so that the loop over a row
// unrolls: a symbol's rows are short (2 to 19 bytes), and a loop's
// overhead would cost more than the packing.
template <std::size_t RowBytes>
void packRowsByEight(const Rows& rows, std::size_t count) {
    for (std::size_t y = 0; y < count; ++y) {
        const std::uint8_t* modules = rows.modules + y * rows.size;
        std::uint8_t* out = rows.out + y * RowBytes;
        for (std::size_t k = 0; k < RowBytes; ++k) out[k] = packedByte(modules + 8 * k);
        rows.mask(y);
    }
}

template <std::size_t... RowBytes>
void packRowsByEightOf(const Rows& rows, std::size_t count, std::index_sequence<RowBytes...>) {
    // The instance for the row's byte count (1 to 19: up to 151 modules a side).
    ((rows.rowBytes == RowBytes + 1 ? packRowsByEight<RowBytes + 1>(rows, count) : void()), ...);
}

}  // namespace

void packModules(const std::uint8_t* modules, std::size_t size, std::uint8_t* out) {
    const Rows rows{modules, size, (size + 7) / 8, (0xFF00u >> (size % 8 == 0 ? 8 : size % 8)) & 0xFFu, out};
    const std::size_t byEight = rows.inPlace();
    packRowsByEightOf(rows, byEight, std::make_index_sequence<19>());
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
