// Running a batch of independent orders on several threads, with the
// results taken in order by the thread that asked for them.
//
// The calling thread makes orders too, and stores the results in order as
// they are ready while the helpers go on: a ring of slots holds the results
// made ahead of it, and an order is started only when its slot is free.
// The helpers are threads the process keeps from one batch to the next, so
// that what each keeps for itself (the shortest-stream encoder's learnt
// transitions, the Reed-Solomon tables of recent sizes) stays warm.  One
// batch at a time runs on them; a batch started meanwhile (from another
// thread, or from a store of a running batch) starts threads of its own.
//
// Threads that cannot be started are not an error: the batch runs on those
// that did, down to the calling thread alone.  The caller's store decides
// when to stop (Ctrl-C in the Python binding).  Nothing here knows what an
// order is: make and store are the caller's.
#pragma once

#include <cstddef>

namespace quillbank::aztec {

// The most threads a batch runs on: far more than any machine's cores, few
// enough that no request can exhaust the process.  More are clamped to it.
constexpr int kMaxBatchThreads = 256;

// The most results a batch holds made ahead of its caller: enough that the
// helpers go on while the caller is held up, few enough that their storage
// is a fraction of what the results themselves take.
constexpr std::size_t kBatchSlots = 1024;

struct BatchJob {
    std::size_t count = 0;      // the orders, 0 to count - 1
    std::size_t slotCount = 0;  // 1 or more: order i's result is in slot i % slotCount until stored
    void* context = nullptr;    // given to make and store
    // Makes order `index` into its slot; runs on any thread and throws nothing.
    void (*make)(void* context, std::size_t index) noexcept = nullptr;
    // Takes the results of orders first to end - 1, all made, on the
    // calling thread and in order; their slots are free again after it.
    // False stops the batch: the orders being made are finished, no other
    // is started.  Throws nothing.
    bool (*store)(void* context, std::size_t first, std::size_t end) noexcept = nullptr;
};

// How a batch ended.
enum class BatchEnd {
    Done,      // every result was stored
    Stopped,   // a store returned false
    NoMemory,  // the batch's own bookkeeping could not be allocated: no order was made
};

// Runs every order of `job` on up to `threads` threads (the calling one
// among them; clamped to 1 to kMaxBatchThreads) and returns once every
// helper is done with it.
BatchEnd runBatch(const BatchJob& job, int threads) noexcept;

}  // namespace quillbank::aztec
