// The output stage: the bits of the best candidate, from the root down, as
// a bit vector or packed eight to a byte, least significant bit first.
//
// States hold their bits most significant first in 64-bit words; the stream
// is assembled a word at a time, and each finished word is bit-reversed once
// and stored little-endian, which puts stream bit k at bit k % 8 of byte
// k / 8.

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

// Writes a stream, given most significant bit first, into a buffer of
// whole words that then holds the packed bytes of the stream.
class StreamWriter {
public:
    explicit StreamWriter(uint8_t* out) : out_(out) {}

    // `width` is 1 to 64; bits of `value` above it are ignored.
    void append(uint64_t value, unsigned width) {
        if (width < 64) value &= (uint64_t(1) << width) - 1;
        if (pending_ + width < 64) {
            accumulator_ = (accumulator_ << width) | value;
            pending_ += width;
            return;
        }
        unsigned room = 64 - pending_;
        unsigned rest = width - room;
        emit((room == 64 ? 0 : accumulator_ << room) | (rest == 0 ? value : value >> rest));
        accumulator_ = value;
        pending_ = rest;
    }

    // Writes the final partial word, zero-filled.
    void finish() {
        if (pending_) emit(accumulator_ << (64 - pending_));
    }

private:
    void emit(uint64_t word) {
        uint64_t packed = reverse64(word);
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
        packed = __builtin_bswap64(packed);
#endif
        std::memcpy(out_, &packed, sizeof packed);
        out_ += sizeof packed;
    }

    uint8_t* out_;
    uint64_t accumulator_ = 0;
    unsigned pending_ = 0;
};

// Packs the bits of the path, root first, into `bytes` (a std::string or a
// vector of bytes), which ends up (bits + 7) / 8 long; returns the number of
// bits.
template <typename Bytes>
uint64_t packPath(const std::vector<const EncodeState*>& path, Bytes& bytes) {
    uint64_t bits = 0;
    for (const EncodeState* state : path) bits += ownBits(*state);
    std::size_t words = std::size_t((bits + 63) / 64);
    if (words == 0) return 0;
    bytes.resize(8 * words);
    StreamWriter writer(reinterpret_cast<uint8_t*>(&bytes[0]));
    for (const EncodeState* state : path) {
        for (uint64_t word : state->words) writer.append(word, 64);
        if (state->tailBits) writer.append(state->tail, state->tailBits);
    }
    writer.finish();
    bytes.resize(std::size_t((bits + 7) / 8));
    return bits;
}

const EncodeState* bestOf(EncoderObject* self) {
    if (faultDue(FaultSite::Output)) throw std::bad_alloc();
    return self->operationTable->bestState(self);
}

std::string toBytes(EncoderObject* self) {
    const std::vector<const EncodeState*>& path = self->tree.pathTo(bestOf(self));
    std::string bytes;
    packPath(path, bytes);
    return bytes;
}

BitVector toBits(EncoderObject* self) {
    const std::vector<const EncodeState*>& path = self->tree.pathTo(bestOf(self));
    BitVector stream;
    stream.size = std::size_t(packPath(path, stream.bytes));
    return stream;
}

}  // namespace

void fillOutputOperations(EncoderOperations& table) {
    table.toBytes = toBytes;
    table.toBits = toBits;
}

}  // namespace quillbank::aztec
