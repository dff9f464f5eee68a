// The output stage: the bits of the best candidate, from the root down, as
// a bit vector or packed eight to a byte, least significant bit first.

#include <algorithm>
#include <array>
#include <new>

#include "encoder_object.hpp"
#include "fault_injection.hpp"

namespace quillbank::aztec {

namespace {

constexpr std::array<uint8_t, 256> buildByteReversal() {
    std::array<uint8_t, 256> table{};
    for (int b = 0; b < 256; ++b) {
        int reversed = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (b & (1 << bit)) reversed |= 0x80 >> bit;
        table[b] = uint8_t(reversed);
    }
    return table;
}

constexpr std::array<uint8_t, 256> kByteReversal = buildByteReversal();

// The low `width` bits of `value` in reverse order (width 1 to 32).
inline uint64_t reverseBits(uint64_t value, unsigned width) {
    uint32_t v = uint32_t(value);
    uint32_t reversed = uint32_t(kByteReversal[v & 0xff]) << 24 |
                        uint32_t(kByteReversal[(v >> 8) & 0xff]) << 16 |
                        uint32_t(kByteReversal[(v >> 16) & 0xff]) << 8 |
                        uint32_t(kByteReversal[v >> 24]);
    return reversed >> (32 - width);
}

// Packs tokens into bytes in stream order.  Stream bit k goes to bit k % 8
// of byte k / 8, so a token's bits, written most significant first, enter
// the little-endian accumulator reversed.
class StreamPacker {
public:
    explicit StreamPacker(std::vector<uint8_t>& out) : out_(out) {}

    void append(BitToken token) {
        unsigned width = token.bitCount;
        uint64_t value = width < 64 ? token.value & ((uint64_t(1) << width) - 1) : token.value;
        if (width > 32) {
            appendNarrow(value >> 32, width - 32);
            width = 32;
        }
        appendNarrow(value, width);
    }

    // Writes the final partial byte; returns the number of bits written.
    std::size_t finish() {
        if (pending_) out_.push_back(uint8_t(accumulator_));
        return bits_;
    }

private:
    void appendNarrow(uint64_t value, unsigned width) {
        if (width == 0) return;
        accumulator_ |= reverseBits(value, width) << pending_;
        pending_ += width;
        bits_ += width;
        while (pending_ >= 8) {
            out_.push_back(uint8_t(accumulator_));
            accumulator_ >>= 8;
            pending_ -= 8;
        }
    }

    std::vector<uint8_t>& out_;
    uint64_t accumulator_ = 0;
    unsigned pending_ = 0;
    std::size_t bits_ = 0;
};

// The states on the path from the root to `state`, root first.
void collectPath(EncodeState* state, std::vector<const EncodeState*>& path) {
    for (const EncodeState* s = state; s; s = s->parent) path.push_back(s);
    std::reverse(path.begin(), path.end());
}

BitVector assembleStream(EncoderObject* self) {
    if (faultDue(FaultSite::Output)) throw std::bad_alloc();
    EncodeState* best = self->operationTable->bestState(self);
    std::vector<const EncodeState*> path;
    collectPath(best, path);
    BitVector stream;
    stream.bytes.reserve(best ? (bitCost(*best) + 7) / 8 : 0);
    StreamPacker packer(stream.bytes);
    for (const EncodeState* state : path)
        for (BitToken token : state->tokens) packer.append(token);
    stream.size = packer.finish();
    return stream;
}

std::string toBytes(EncoderObject* self) {
    BitVector stream = assembleStream(self);
    return std::string(stream.bytes.begin(), stream.bytes.end());
}

BitVector toBits(EncoderObject* self) { return assembleStream(self); }

}  // namespace

void fillOutputOperations(EncoderOperations& table) {
    table.toBytes = toBytes;
    table.toBits = toBits;
}

}  // namespace quillbank::aztec
