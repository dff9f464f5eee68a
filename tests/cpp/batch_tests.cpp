// The batch runner (batch_pool.hpp) without Python: every order made once
// and stored in order through a ring smaller than the batch, a store that
// stops the batch, thread counts out of range, and batches run from
// several threads at once (the kept pool is shared through an atomic).
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "batch_pool.hpp"
#include "check.hpp"

namespace az = quillbank::aztec;
using testing::check;

namespace {

// Squares order i into its slot; the store copies slots out in order.
struct Squares {
    std::vector<std::size_t> slots;
    std::vector<std::size_t> stored;
    std::atomic<std::size_t> made{0};
    std::size_t stopAt = SIZE_MAX;  // the store returns false once this many are stored

    static void make(void* context, std::size_t index) noexcept {
        auto& self = *static_cast<Squares*>(context);
        self.slots[index % self.slots.size()] = index * index;
        self.made.fetch_add(1, std::memory_order_relaxed);
    }
    static bool store(void* context, std::size_t first, std::size_t end) noexcept {
        auto& self = *static_cast<Squares*>(context);
        for (std::size_t i = first; i < end; ++i) self.stored.push_back(self.slots[i % self.slots.size()]);
        return self.stored.size() < self.stopAt;
    }
};

az::BatchEnd run(Squares& squares, std::size_t count, std::size_t slotCount, int threads) {
    squares.slots.assign(slotCount, 0);
    az::BatchJob job;
    job.count = count;
    job.slotCount = slotCount;
    job.context = &squares;
    job.make = Squares::make;
    job.store = Squares::store;
    return az::runBatch(job, threads);
}

bool inOrder(const Squares& squares, std::size_t count) {
    if (squares.stored.size() != count) return false;
    for (std::size_t i = 0; i < count; ++i)
        if (squares.stored[i] != i * i) return false;
    return true;
}

void everyOrderIsStoredOnceInOrder() {
    for (int threads : {-5, 0, 1, 2, 7, 1000}) {
        Squares squares;
        const bool done = run(squares, 20000, 64, threads) == az::BatchEnd::Done;
        check(done && inOrder(squares, 20000) && squares.made == 20000,
              "20000 orders through 64 slots on " + std::to_string(threads) + " threads");
    }
    Squares none;
    check(run(none, 0, 1, 4) == az::BatchEnd::Done && none.stored.empty(), "an empty batch");
}

void aStoreThatReturnsFalseStopsTheBatch() {
    Squares squares;
    squares.stopAt = 100;
    const bool stopped = run(squares, 100000, 32, 3) == az::BatchEnd::Stopped;
    // No order is started past the ring's free slots once the store stops.
    check(stopped && squares.stored.size() >= 100 && squares.made <= squares.stored.size() + 32,
          "a stopped batch makes no more than its ring holds beyond what was stored");
}

void batchesFromSeveralThreadsAtOnce() {
    std::vector<std::thread> callers;
    std::atomic<int> right{0};
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&right] {
            for (int round = 0; round < 20; ++round) {
                Squares squares;
                if (run(squares, 3000, 100, 3) == az::BatchEnd::Done && inOrder(squares, 3000)) ++right;
            }
        });
    for (std::thread& caller : callers) caller.join();
    check(right == 80, "80 batches from 4 threads at once, each in order");
}

}  // namespace

int main() {
    everyOrderIsStoredOnceInOrder();
    aStoreThatReturnsFalseStopsTheBatch();
    batchesFromSeveralThreadsAtOnce();
    return testing::finish();
}
