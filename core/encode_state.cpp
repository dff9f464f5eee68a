#include "encode_state.hpp"

#include <cstring>
#include <new>

namespace quillbank::aztec {

namespace {

// A state's word buffer is kept across messages up to this many words (a
// full binary run needs 261); a larger one, left by a long message, is given
// back to the allocator.
constexpr std::size_t kKeptWordCapacity = 512;
// The chunks of states always kept for the next message.
constexpr std::size_t kKeptChunks = 16;
// Beyond those, the chunks the last message used are kept too, up to this
// many (16 MiB of states, enough for text messages of about a megabyte):
// a steady stream of long messages then reuses the same warm storage
// instead of giving it back and taking it again, page faults and all, on
// every call (that tripled the time per byte at 64 KiB).  A long message
// followed by a short one gives its extra chunks back at the short one's
// end, so an encoder holds at most what its last message needed.
constexpr std::size_t kMostKeptChunks = 1024;
// The list of a result's path is kept when it is no more than twice the
// last message's path (or this small), up to the same 16 MiB; a list of
// tens of thousands of entries comes from fresh pages each time it is
// taken again.
constexpr std::size_t kKeptPathCapacity = 4096;
constexpr std::size_t kMostKeptPathCapacity = std::size_t(1) << 21;

// The eight bytes at `bytes` as one word, the first byte in the top bits.
inline uint64_t loadBigEndian(const uint8_t* bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap64(word);
#else
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = value << 8 | bytes[i];
    return value;
#endif
}

}  // namespace

void WordBuffer::grow(std::size_t count) {
    std::size_t target = std::max<std::size_t>({count, 2 * std::size_t(capacity_), 4});
    if (target > UINT32_MAX) {
        if (count > UINT32_MAX) throw std::bad_alloc();
        target = UINT32_MAX;
    }
    void* data = std::realloc(data_, target * sizeof(uint64_t));
    if (!data) throw std::bad_alloc();
    data_ = static_cast<uint64_t*>(data);
    capacity_ = uint32_t(target);
}

void StateTree::nextChunk() {
    if (chunksInUse_ == chunks_.size()) chunks_.push_back(std::make_unique<EncodeState[]>(kChunkSize));
    next_ = chunks_[chunksInUse_].get();
    end_ = next_ + kChunkSize;
    ++chunksInUse_;
}

void StateTree::releaseAll() {
    std::size_t remaining = used_;
    for (std::size_t c = 0; c < chunksInUse_ && remaining; ++c) {
        std::size_t count = remaining < kChunkSize ? remaining : kChunkSize;
        EncodeState* chunk = chunks_[c].get();
        for (std::size_t i = 0; i < count; ++i) {
            WordBuffer& words = chunk[i].words;
            if (words.capacity() > kKeptWordCapacity)
                words.release();
            else
                words.clear();
        }
        remaining -= count;
    }
    std::size_t keptPath = std::min(std::max(kKeptPathCapacity, 2 * path_.size()), kMostKeptPathCapacity);
    if (path_.capacity() > keptPath) std::vector<const EncodeState*>().swap(path_);
    std::size_t kept = std::min(std::max(kKeptChunks, chunksInUse_), kMostKeptChunks);
    if (chunks_.size() > kept) chunks_.resize(kept);
    used_ = 0;
    chunksInUse_ = 0;
    next_ = end_ = nullptr;
}

const std::vector<const EncodeState*>& StateTree::pathTo(const EncodeState* last) {
    path_.clear();
    for (const EncodeState* s = last; s; s = s->parent) path_.push_back(s);
    std::reverse(path_.begin(), path_.end());
    return path_;
}

void spillCode(EncodeState& state, uint64_t value, unsigned width) { appendBits(state, value, width); }

EncodeState* newRoot(StateTree& tree) { return tree.newState(Upper, nullptr); }

void appendByteBits(EncodeState& state, const uint8_t* bytes, std::size_t length) {
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) appendBits(state, loadBigEndian(bytes + i), 64);
    for (; i < length; ++i) appendBits(state, bytes[i], 8);
}

EncodeState* binaryShiftChild(StateTree& tree, EncodeState& parent, const uint8_t* run,
                              std::size_t length) {
    // Digit and Punct have no B/S code: latch to Upper first, and the decoder
    // stays in Upper after the run.
    bool needsLatch = parent.mode == Digit || parent.mode == Punct;
    EncodeState* child = tree.newState(needsLatch ? Upper : parent.mode, &parent);
    child->words.reserve((8 * length + 35) / 64 + 1);
    if (needsLatch) appendToken(*child, checkedLatchToken(parent.mode, Upper));
    // B/S (31), then the length: 5 bits for 1..31, else 5 zero bits and 11
    // bits of length - 31.
    if (length < 32)
        appendToken(*child, BitToken{10, 992 + length});
    else
        appendToken(*child, BitToken{21, 2031616 + (length - 31)});
    appendByteBits(*child, run, length);
    child->pathBits += 8 * uint64_t(length);
    linkChild(parent, child);
    return child;
}

void freeTree(StateTree& tree, EncodeState*) { tree.releaseAll(); }

}  // namespace quillbank::aztec
