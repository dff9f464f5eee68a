// The output stage: the bits of the best candidate, from the root down, as
// a bit vector or packed eight to a byte, least significant bit first.
//
// States hold their bits most significant first in 64-bit words.  The
// stream is assembled in 64-bit words of the same order, a state's word at
// a time, and each word is then bit-reversed once and stored little-endian,
// which puts stream bit k at bit k % 8 of byte k / 8.

#include <cstring>
#include <new>

#include "encoder_object.hpp"
#include "fault_injection.hpp"

namespace quillbank::aztec {

namespace {

// The 64 bits of `word` in reverse order.
inline uint64_t reverse64(uint64_t word) {
#if defined(__GNUC__)
    word = __builtin_bswap64(word);
#else
    word = (word >> 32) | (word << 32);
    word = ((word >> 16) & 0x0000FFFF0000FFFFull) | ((word & 0x0000FFFF0000FFFFull) << 16);
    word = ((word >> 8) & 0x00FF00FF00FF00FFull) | ((word & 0x00FF00FF00FF00FFull) << 8);
#endif
    word = ((word >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((word & 0x0F0F0F0F0F0F0F0Full) << 4);
    word = ((word >> 2) & 0x3333333333333333ull) | ((word & 0x3333333333333333ull) << 2);
    word = ((word >> 1) & 0x5555555555555555ull) | ((word & 0x5555555555555555ull) << 1);
    return word;
}

// The stream is built in the output buffer itself, as words holding stream
// bits most significant first, then each word is turned into its packed
// bytes in place.
inline uint64_t loadWord(const uint8_t* at) {
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

inline void storeWord(uint8_t* at, uint64_t word) { std::memcpy(at, &word, sizeof word); }

// Ors `width` (1 to 64) bits, the low bits of `value`, into the zeroed word
// buffer at stream bit `offset`.
inline void orBits(uint8_t* words, uint64_t offset, uint64_t value, unsigned width) {
    uint64_t chunk = width == 64 ? value : value << (64 - width);  // drops bits above width
    uint8_t* at = words + 8 * (offset >> 6);
    unsigned shift = unsigned(offset & 63);
    storeWord(at, loadWord(at) | chunk >> shift);
    if (shift + width > 64) storeWord(at + 8, loadWord(at + 8) | chunk << (64 - shift));
}

// Ors a state's own bits into the buffer so that they end at stream bit `end`.
inline void placeState(uint8_t* words, const EncodeState& state, uint64_t end) {
    uint64_t offset = end - ownBits(state);
    for (uint64_t word : state.words) {
        orBits(words, offset, word, 64);
        offset += 64;
    }
    if (state.tailBits) orBits(words, offset, state.tail, state.tailBits);
}

// Turns the words into packed bytes: stream bit k at bit k % 8 of byte k / 8.
void packWords(uint8_t* words, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        uint64_t packed = reverse64(loadWord(words + 8 * i));
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        packed = __builtin_bswap64(packed);
#endif
        storeWord(words + 8 * i, packed);
    }
}

// Packs the bits of the path from the root to `last` into `bytes` (a
// std::string or a vector of bytes), which ends up (bits + 7) / 8 long;
// returns the number of bits.  The path is walked upwards twice, once for
// its length and once placing each state's bits, the last state first, so
// it is never stored.
template <typename Bytes>
uint64_t packPath(const EncodeState* last, Bytes& bytes) {
    uint64_t bits = 0;
    for (const EncodeState* s = last; s; s = s->parent) bits += ownBits(*s);
    std::size_t words = std::size_t((bits + 63) / 64);
    if (words == 0) return 0;
    bytes.resize(8 * words);  // zeroed
    uint8_t* buffer = reinterpret_cast<uint8_t*>(&bytes[0]);
    uint64_t end = bits;
    for (const EncodeState* s = last; s; s = s->parent) {
        placeState(buffer, *s, end);
        end -= ownBits(*s);
    }
    packWords(buffer, words);
    bytes.resize(std::size_t((bits + 7) / 8));
    return bits;
}

const EncodeState* bestOf(EncoderObject* self) {
    if (faultDue(FaultSite::Output)) throw std::bad_alloc();
    return self->operationTable->bestState(self);
}

std::string toBytes(EncoderObject* self) {
    std::string bytes;
    packPath(bestOf(self), bytes);
    return bytes;
}

BitVector toBits(EncoderObject* self) {
    BitVector stream;
    stream.size = std::size_t(packPath(bestOf(self), stream.bytes));
    return stream;
}

}  // namespace

void fillOutputOperations(EncoderOperations& table) {
    table.toBytes = toBytes;
    table.toBits = toBits;
}

}  // namespace quillbank::aztec
