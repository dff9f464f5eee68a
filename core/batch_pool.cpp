#include "batch_pool.hpp"

#include "thread_cache.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define QUILLBANK_GETPID _getpid
#else
#include <unistd.h>
#define QUILLBANK_GETPID getpid
#endif

namespace quillbank::aztec {
namespace {

// Results the caller lets pile up before it stores them: it makes orders
// itself meanwhile, and its store (which may take a lock, the interpreter's
// say) runs once for the run.
constexpr std::size_t kStoreRun = 16;

// The orders of one batch, shared by the caller and its helpers.  Each
// thread takes the next order whose slot is free, makes it and publishes
// it; the caller stores the results in order and frees their slots.  An
// order is taken only when its slot is free, so nobody waits on an order
// it took itself.  The helpers go from one order to the next without
// meeting the others until the batch's end: a helper put to sleep costs
// more to wake on a virtual machine than several symbols' work, so it
// sleeps only while every slot waits for the caller.
class OrderStream {
public:
    // `made` holds job.slotCount zeros.
    OrderStream(const BatchJob& job, std::atomic<std::size_t>* made) : job_(job), made_(made) {}

    // A helper's part: makes orders until every one is taken or stop() is
    // called, waiting for free slots while the caller is behind.
    void work() noexcept {
        for (;;) {
            std::size_t index;
            if (take(index)) {
                make(index);
                continue;
            }
            std::unique_lock<std::mutex> lock(mutex_);
            roomWaiters_.fetch_add(1, std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_seq_cst);  // against stored()'s
            changed_.wait(lock, [this] { return finished() || hasRoom(); });
            roomWaiters_.fetch_sub(1, std::memory_order_relaxed);
            if (finished()) return;
        }
    }

    // The caller's part: makes orders until the kStoreRun results from
    // `first` on are ready, and then until `first` is; waits for it only
    // when no order is left to take.
    void makeUntilReady(std::size_t first) noexcept {
        const std::size_t wanted = std::min(first + kStoreRun, job_.count);
        std::size_t index;
        while (!ready(wanted - 1) && take(index)) make(index);
        // Busy rather than asleep while another thread finishes `first`.
        while (!ready(first) && take(index)) make(index);
        if (ready(first)) return;
        std::unique_lock<std::mutex> lock(mutex_);
        awaited_.store(first + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_seq_cst);  // against make()'s
        changed_.wait(lock, [&] { return ready(first); });
        awaited_.store(0, std::memory_order_relaxed);
    }

    bool ready(std::size_t index) const {
        return made_[index % job_.slotCount].load(std::memory_order_acquire) == index + 1;
    }

    // Frees the slots of the orders before `count`, whose results the
    // caller has stored.
    void stored(std::size_t count) noexcept {
        stored_.store(count, std::memory_order_release);
        std::atomic_thread_fence(std::memory_order_seq_cst);  // against work()'s
        if (roomWaiters_.load(std::memory_order_relaxed) != 0) notify();
    }

    // Lets the helpers end after the order they are making.
    void stop() noexcept {
        stopped_.store(true, std::memory_order_relaxed);
        notify();
    }

private:
    bool finished() const {
        return stopped_.load(std::memory_order_relaxed) || next_.load(std::memory_order_relaxed) >= job_.count;
    }
    bool hasRoom() const {
        return next_.load(std::memory_order_relaxed) < stored_.load(std::memory_order_acquire) + job_.slotCount;
    }

    // The next order, when there is one and its slot is free.
    bool take(std::size_t& index) noexcept {
        std::size_t next = next_.load(std::memory_order_relaxed);
        do {
            if (next >= job_.count || next >= stored_.load(std::memory_order_acquire) + job_.slotCount ||
                stopped_.load(std::memory_order_relaxed))
                return false;
        } while (!next_.compare_exchange_weak(next, next + 1, std::memory_order_relaxed));
        index = next;
        return true;
    }

    void make(std::size_t index) noexcept {
        job_.make(job_.context, index);
        made_[index % job_.slotCount].store(index + 1, std::memory_order_release);
        std::atomic_thread_fence(std::memory_order_seq_cst);  // against makeUntilReady()'s
        if (awaited_.load(std::memory_order_relaxed) == index + 1) notify();
    }

    // Wakes whoever waits for a result or a free slot; called only when
    // someone may be waiting, since a wake-up costs a system call.  A
    // waiter says what it waits for, then (after a fence that pairs with
    // the one before the call) checks for it under the mutex: so either it
    // sees the change, or this sees it waiting, and taking the mutex here
    // means it is asleep on the condition variable by then.
    void notify() noexcept {
        { std::lock_guard<std::mutex> lock(mutex_); }
        changed_.notify_all();
    }

    const BatchJob& job_;
    std::atomic<std::size_t>* made_;  // per slot: the index plus one of the order whose result is there
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> stored_{0};
    std::atomic<bool> stopped_{false};
    std::atomic<std::size_t> awaited_{0};      // the index plus one of the result the caller sleeps for
    std::atomic<std::size_t> roomWaiters_{0};  // helpers asleep until a slot is free
    std::mutex mutex_;
    std::condition_variable changed_;
};

// Threads kept from one batch to the next.  One batch at a time runs on
// them (take() says which); they sleep on a condition variable between
// batches.  The pool is never destroyed: its threads end with the process.
// A child of fork() has none of its threads, so it makes a pool of its own
// and leaves the parent's untouched.
class HelperPool {
public:
    // The pool of this process, or null when it cannot be made.
    static HelperPool* get() noexcept {
        static std::atomic<HelperPool*> kept{nullptr};
        HelperPool* pool = kept.load(std::memory_order_acquire);
        const auto self = QUILLBANK_GETPID();
        if (pool != nullptr && pool->owner_ == self) return pool;
        auto* made = new (std::nothrow) HelperPool(self);
        if (made == nullptr) return nullptr;
        // Two first batches at once: one pool wins, the other (no thread
        // started yet) is dropped.  The parent's pool in a child is left.
        if (kept.compare_exchange_strong(pool, made, std::memory_order_acq_rel)) return made;
        delete made;
        return pool != nullptr && pool->owner_ == self ? pool : nullptr;
    }

    bool take() noexcept { return !taken_.exchange(true, std::memory_order_acquire); }
    void give() noexcept { taken_.store(false, std::memory_order_release); }

    // Runs work.work() on up to `count` kept threads, starting more when
    // there are too few and it can.
    void start(OrderStream& work, std::size_t count) noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        try {
            while (threads_.size() < count) threads_.emplace_back([this, index = threads_.size()] { serve(index); });
        } catch (...) {  // std::system_error or bad_alloc: fewer helpers
        }
        job_ = &work;
        asked_ = std::min(count, threads_.size());
        finished_ = 0;
        ++generation_;
        lock.unlock();
        wake_.notify_all();
    }

    // Waits until every thread asked by start() is done with the work.
    void wait() noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return finished_ == asked_; });
        job_ = nullptr;
    }

private:
    explicit HelperPool(decltype(QUILLBANK_GETPID()) owner) : owner_(owner) {}

    void serve(std::size_t index) noexcept {
        detail::prepareThread();
        std::size_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return generation_ != seen && index < asked_ && job_ != nullptr; });
            seen = generation_;
            OrderStream* job = job_;
            lock.unlock();
            job->work();
            lock.lock();
            if (++finished_ == asked_) done_.notify_one();
        }
    }

    const decltype(QUILLBANK_GETPID()) owner_;
    std::atomic<bool> taken_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> threads_;
    OrderStream* job_ = nullptr;
    std::size_t generation_ = 0;
    std::size_t asked_ = 0;
    std::size_t finished_ = 0;
};

// The kept pool for one batch, when no other batch is using it.
class PoolTurn {
public:
    explicit PoolTurn(bool wanted) {
        if (!wanted) return;
        HelperPool* pool = HelperPool::get();
        if (pool != nullptr && pool->take()) pool_ = pool;
    }
    ~PoolTurn() {
        if (pool_ != nullptr) pool_->give();
    }
    PoolTurn(const PoolTurn&) = delete;
    PoolTurn& operator=(const PoolTurn&) = delete;

    HelperPool* pool() const { return pool_; }

private:
    HelperPool* pool_ = nullptr;
};

// Threads that share an OrderStream with the thread that starts them: the
// kept pool's when this batch has it, otherwise threads of their own.
// Joined however the starter leaves.  A thread that cannot be started
// leaves its share to the others.
class Helpers {
public:
    Helpers(OrderStream& work, std::size_t count, HelperPool* pool) noexcept {
        if (count == 0) return;
        if (pool != nullptr) {
            pool_ = pool;
            pool->start(work, count);
            return;
        }
        try {
            threads_.reserve(count);
            while (threads_.size() < count) threads_.emplace_back([&work] {
                detail::prepareThread();
                work.work();
            });
        } catch (...) {  // std::system_error or bad_alloc: fewer helpers
        }
    }
    ~Helpers() { join(); }
    Helpers(const Helpers&) = delete;
    Helpers& operator=(const Helpers&) = delete;

    void join() noexcept {
        if (pool_ != nullptr) {
            pool_->wait();
            pool_ = nullptr;
        }
        for (std::thread& thread : threads_)
            if (thread.joinable()) thread.join();
    }

private:
    HelperPool* pool_ = nullptr;
    std::vector<std::thread> threads_;
};

}  // namespace

BatchEnd runBatch(const BatchJob& job, int threads) noexcept {
    if (job.count == 0) return BatchEnd::Done;
    std::unique_ptr<std::atomic<std::size_t>[]> made(new (std::nothrow) std::atomic<std::size_t>[job.slotCount]());
    if (made == nullptr) return BatchEnd::NoMemory;
    OrderStream stream(job, made.get());
    const std::size_t wanted = static_cast<std::size_t>(std::clamp(threads, 1, kMaxBatchThreads));
    const std::size_t helperCount = std::min(wanted - 1, job.count - 1);
    PoolTurn turn(helperCount > 0);
    Helpers helpers(stream, helperCount, turn.pool());
    bool going = true;
    for (std::size_t first = 0; going && first < job.count;) {
        stream.makeUntilReady(first);
        std::size_t end = first + 1;
        while (end < job.count && stream.ready(end)) ++end;
        going = job.store(job.context, first, end);
        first = end;
        stream.stored(first);
    }
    if (!going) stream.stop();
    helpers.join();
    return going ? BatchEnd::Done : BatchEnd::Stopped;
}

}  // namespace quillbank::aztec
