// The fill of the optimal encoder's programme: every cell of a message,
// by state machines of transitions remembered per thread where the state
// has the shape of one (text, mostly; binary data in long runs), by the
// general programme elsewhere, with the same cells either way.  Private to
// the optimal encoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "optimal_programme.hpp"

namespace quillbank::aztec::optimal {

// The states met and their transitions, for one thread (not to be shared:
// every encoding updates it).
class StateCache;

struct StateCacheDeleter {
    void operator()(StateCache* cache) const;
};
using StateCachePointer = std::unique_ptr<StateCache, StateCacheDeleter>;

// An empty cache.
StateCachePointer makeStateCache();

// Fills the cells of positions 0 .. length and their flags into
// `decisions` (length + 1 + flags.count of them), the stream starting in
// Upper after `startBits` bits; returns the index of the last cell and
// sets `lastCost` to its costs.
std::size_t fillCells(const uint8_t* data, std::size_t length, const FlagList& flags, uint32_t startBits,
                      Decision* decisions, RunWindows& windows, StateCache& cache, uint32_t* lastCost);

}  // namespace quillbank::aztec::optimal
