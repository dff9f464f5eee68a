// Objects kept for each thread between calls (the optimal encoder's working
// storage, the Reed–Solomon generators, a writer's buffer), without C++
// thread_local objects.
//
// A thread_local object with a destructor registers that destructor on the
// thread's first use, and a shared library's thread-local storage is
// allocated on that first use too; when memory is short the C library
// aborts the process on either failure, which no caller can catch.  Here
// each kind of object has a thread key, created once per process, whose
// destructor deletes the thread's object when the thread ends, and the
// object is made with plain new, so that running out of memory is a
// std::bad_alloc like any other.  Where a thread cannot keep an object (no
// key could be created, or the thread's table of keys cannot grow), the
// call works with an object of its own, made for it alone: slower, never
// wrong, never fatal.
#pragma once

#include <exception>
#include <memory>
#include <optional>

#if !defined(_WIN32)
#include <pthread.h>
#endif

namespace quillbank::aztec {

namespace detail {

// Allocates what the C++ runtime keeps for the calling thread (where a
// throw is recorded) now, at the thread's start, rather than at its first
// exception: glibc aborts the process when that allocation fails, and a
// first std::bad_alloc comes exactly when no memory is left.
#if defined(__GLIBC__)
// An initial-exec thread-local variable: a library that has one is given
// static thread-local storage, made with each thread before it starts,
// instead of a block allocated on a thread's first use (see
// quillbank_own_runtime in CMakeLists.txt for the runtime linked in).
inline __thread char staticTlsAnchor __attribute__((tls_model("initial-exec")));
#endif

inline void prepareThread() noexcept {
#if defined(__GLIBC__)
    // Volatile: the call is pure, and a result left unused would drop it.
    volatile int unwinding = std::uncaught_exceptions();
    static_cast<void>(unwinding);
    staticTlsAnchor = 1;
#endif
}

#if defined(_WIN32)
// Windows allocates a module's thread-local storage when a thread starts
// and runs its destructors without registering them at first use.
template <class T>
T* keptForThread() {
    thread_local std::unique_ptr<T> kept;
    if (!kept) kept.reset(new T);
    return kept.get();
}
#else
template <class T>
void deleteKept(void* object) {
    delete static_cast<T*>(object);
}

// The key of every thread's T: trivially destructible, so that the static
// below registers nothing at exit, and never deleted (a thread may end at
// any time, and the key must outlive it).
template <class T>
struct ThreadKey {
    pthread_key_t key{};
    bool created;
    ThreadKey() : created(pthread_key_create(&key, &deleteKept<T>) == 0) {}
};

// This thread's T, made on first use; null when the thread cannot keep one.
// Raises std::bad_alloc when no T can be made.
template <class T>
T* keptForThread() {
    static const ThreadKey<T> key;
    if (!key.created) return nullptr;
    if (void* kept = pthread_getspecific(key.key)) return static_cast<T*>(kept);
    prepareThread();  // before the thread's first work, for threads the batch pool did not start
    std::unique_ptr<T> made(new T);
    if (pthread_setspecific(key.key, made.get()) != 0) return nullptr;
    return made.release();
}
#endif

}  // namespace detail

// The thread's kept T for as long as the holder lives, or a T of the
// holder's own where the thread cannot keep one.  A T must be left
// consistent by any call that fails part way: the next call on the thread
// gets it as it was left.
template <class T>
class ThreadCache {
public:
    ThreadCache() : kept_(detail::keptForThread<T>()) {
        if (!kept_) own_.emplace();
    }
    ThreadCache(const ThreadCache&) = delete;
    ThreadCache& operator=(const ThreadCache&) = delete;

    T& operator*() { return kept_ ? *kept_ : *own_; }
    T* operator->() { return &**this; }

private:
    T* kept_;
    std::optional<T> own_;
};

}  // namespace quillbank::aztec
