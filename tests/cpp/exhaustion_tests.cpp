// Exhaustion: what the core keeps between calls (the state caches of both
// shortest-stream machines, the encoder's working storage, the Reed–Solomon
// generators and their tables, the tables built on first use) is left
// consistent when an allocation fails at any point.  The allocator below
// fails a thread's Nth allocation; for every N until a workload runs
// through, a fresh thread runs the workload with that fault, then runs it
// again and must give the results computed before any fault.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#define QUILLBANK_HAVE_FORK 1
#endif

#include "check.hpp"
#include "optimal_encoder.hpp"
#include "reed_solomon.hpp"
#include "smallest_symbol.hpp"

using namespace quillbank::aztec;
using testing::check;

// ---------------------------------------------------------------------------
// The allocator: every operator new of the program, failing once where a
// thread asks it to.

namespace {

thread_local long allocationsBeforeFault = -1;  // -1: no fault planned
thread_local bool faultInjected = false;

void* allocate(std::size_t size) {
    if (allocationsBeforeFault >= 0 && allocationsBeforeFault-- == 0) {
        faultInjected = true;
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size != 0 ? size : 1)) return block;
    throw std::bad_alloc();
}

void* allocateOrNull(std::size_t size) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// For types aligned beyond what new gives by default (the optimal
// encoder's transitions, 32 bytes): freed by std::free like the others.
void* allocateAligned(std::size_t size, std::align_val_t alignment) {
    if (allocationsBeforeFault >= 0 && allocationsBeforeFault-- == 0) {
        faultInjected = true;
        throw std::bad_alloc();
    }
    std::size_t align = static_cast<std::size_t>(alignment);
    std::size_t rounded = (size + align - 1) / align * align;
    if (void* block = std::aligned_alloc(align, rounded != 0 ? rounded : align)) return block;
    throw std::bad_alloc();
}

void* allocateAlignedOrNull(std::size_t size, std::align_val_t alignment) noexcept {
    try {
        return allocateAligned(size, alignment);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocateOrNull(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void* operator new(std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAlignedOrNull(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return allocateAlignedOrNull(size, alignment);
}
void operator delete(void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { std::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { std::free(block); }

namespace {

// ---------------------------------------------------------------------------
// Workloads: each a few calls, with their inputs made before any fault and
// each result kept as a hash of its bytes (one allocation in all).

using Results = std::vector<uint64_t>;

uint64_t hashOf(const uint8_t* bytes, std::size_t count, uint64_t h = 0xCBF29CE484222325u) {
    for (std::size_t i = 0; i < count; ++i) h = (h ^ bytes[i]) * 0x100000001B3u;
    return h;
}

uint64_t hashOf(const PackedBits& stream) { return hashOf(stream.bytes.data(), stream.bytes.size(), stream.bitCount); }

// Short runs of one kind of character (lower, upper, digits, any
// printable): the text machine meets new states all along.
std::string mixedText(std::mt19937& rng, std::size_t length) {
    std::string text;
    while (text.size() < length) {
        const unsigned kind = rng() % 4, count = 1 + rng() % 6;
        for (unsigned i = 0; i < count; ++i)
            text += kind == 0 ? char('a' + rng() % 26) : kind == 1 ? char('A' + rng() % 26)
                  : kind == 2 ? char('0' + rng() % 10) : char(' ' + rng() % 95);
    }
    text.resize(length);
    return text;
}

// Bytes below `top`: all of them (binary data), or below 128 (ASCII with
// its control characters, much of it in binary runs from old starts).
std::string randomBytes(std::mt19937& rng, std::size_t length, unsigned top = 256) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) byte = char(rng() % top);
    return bytes;
}

// Long binary stretches between text: the long-run machine, then the text
// machine, in one message.
std::string binaryAndText(std::mt19937& rng, std::size_t length) {
    std::string message;
    while (message.size() < length)
        message += rng() % 2 ? randomBytes(rng, 200 + rng() % 900) : mixedText(rng, 20 + rng() % 300);
    message.resize(length);
    return message;
}

struct Message {
    std::string bytes;
    StreamLayout layout;
    SymbolRequest request;
};

struct Inputs {
    std::vector<Message> text, longRuns, symbols;
};

const Inputs* inputs = nullptr;

Inputs makeInputs() {
    std::mt19937 rng(24);
    Inputs made;
    // 50 KB of text in short messages: more than the 4,096 states the
    // text machine keeps, so its cache fills and starts again.
    for (int i = 0; i < 50; ++i) made.text.push_back({mixedText(rng, 1000), {}, {}});
    // The same for the long-run machine, and messages of both machines
    // with flags and the structured-append start.
    for (int i = 0; i < 3; ++i) made.longRuns.push_back({randomBytes(rng, 24000, 128), {}, {}});
    made.longRuns.push_back({randomBytes(rng, 9000), {}, {}});
    made.longRuns.push_back({binaryAndText(rng, 12000), {}, {}});
    StreamLayout flagged;
    flagged.flags = {StreamFlag::eciDesignator(0, 26), StreamFlag::fnc1(700), StreamFlag::eciDesignator(3000, 7)};
    flagged.structuredAppend = true;
    made.longRuns.push_back({binaryAndText(rng, 5000), flagged, {}});
    // Symbols of several sizes (compact and full, up to 32 layers); the
    // first is smaller with a stream longer than the shortest.
    SymbolRequest full;
    full.compact = 0;
    SymbolRequest largest;
    largest.compact = 0;
    largest.layers = 32;
    largest.ecPercent = 50;
    made.symbols = {{"0@91b@", {}, {}},
                    {mixedText(rng, 300), {}, {}},
                    {binaryAndText(rng, 1200), {}, full},
                    {randomBytes(rng, 1500), {}, largest},
                    {"HELLO", {}, largest}};
    return made;
}

const uint8_t* dataOf(const Message& message) { return reinterpret_cast<const uint8_t*>(message.bytes.data()); }

Results shortestStreams(const std::vector<Message>& messages) {
    Results results;
    results.reserve(messages.size());
    for (const Message& message : messages)
        results.push_back(hashOf(encodeOptimal(dataOf(message), message.bytes.size(), message.layout)));
    return results;
}

Results textMachine() { return shortestStreams(inputs->text); }
Results longRunMachine() { return shortestStreams(inputs->longRuns); }

// Every field, check counts that come once and twice (product tables
// built on the second), and a long message over a wide field (its piece
// tables at once).
Results reedSolomon() {
    struct Case {
        int bits;
        std::size_t count, checks;
    };
    static const Case cases[] = {{4, 2, 5},     {4, 4, 6},    {6, 10, 7},   {6, 10, 7},     {8, 40, 30},
                                 {8, 40, 30},   {8, 100, 155}, {10, 20, 12}, {10, 20, 12}, {10, 600, 300},
                                 {12, 900, 700}, {12, 30, 9}};
    static uint16_t data[900];
    static uint16_t checks[700];
    Results results;
    results.reserve(sizeof cases / sizeof *cases);
    for (const Case& c : cases) {
        const GaloisField& field = *galoisField(c.bits);
        for (std::size_t i = 0; i < c.count; ++i) data[i] = uint16_t((i * 7919 + c.checks) & field.order);
        checkWordsInto(field, data, c.count, c.checks, checks);
        results.push_back(hashOf(reinterpret_cast<const uint8_t*>(checks), c.checks * sizeof *checks));
    }
    return results;
}

Results wholeSymbols() {
    Results results;
    results.reserve(inputs->symbols.size());
    for (const Message& message : inputs->symbols) {
        AztecMatrix matrix;
        const BuildStatus status =
            buildSmallestSymbol(dataOf(message), message.bytes.size(), message.layout, message.request, matrix);
        results.push_back(hashOf(matrix.modules.data(), matrix.modules.size(), uint64_t(status)));
    }
    return results;
}

// ---------------------------------------------------------------------------
// The runs.

// The workload's results on a fresh thread of this process.
Results onFreshThread(Results (*workload)()) {
    Results results;
    std::thread([&] { results = workload(); }).join();
    return results;
}

Results everyWorkload() {
    Results results;
    for (Results (*workload)() : {wholeSymbols, textMachine, longRunMachine, reedSolomon}) {
        const Results some = workload();
        results.insert(results.end(), some.begin(), some.end());
    }
    return results;
}

#ifdef QUILLBANK_HAVE_FORK
// Takes every thread key the process may still create: the core's caches
// then cannot be kept, and each call works with its own.
void useUpThreadKeys() {
    pthread_key_t key;
    while (pthread_key_create(&key, nullptr) == 0) {
    }
}

// The workload's results from a child process forked now (before any
// fault, so that no table built on first use is built yet in this one):
// the reference for what this process builds under faults.  With
// `withoutKeys`, the child first takes every thread key.
Results inChildProcess(Results (*workload)(), bool withoutKeys = false) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        if (withoutKeys) useUpThreadKeys();
        const Results results = workload();
        const ssize_t size = ssize_t(results.size() * sizeof results[0]);
        _exit(write(pipeEnds[1], results.data(), std::size_t(size)) == size ? 0 : 1);
    }
    close(pipeEnds[1]);
    Results results;
    uint64_t result;
    while (child > 0 && read(pipeEnds[0], &result, sizeof result) == ssize_t(sizeof result)) results.push_back(result);
    close(pipeEnds[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    return results;
}
#endif

// For N = 0, 1, 2, ... until the workload runs through: a fresh thread
// fails its Nth allocation in the workload, then runs the workload again
// with its caches as the fault left them.  Every result after a fault,
// and any result of the run with the fault that was not refused, must be
// the reference.
void runUnderFaults(const char* name, Results (*workload)(), const Results& reference) {
    check(!reference.empty(), std::string(name) + ": a reference to compare with");
    long wrong = 0, faults = 0;
    for (long n = 0;; ++n) {
        bool injected = false, faultedRight = true, recovered = false;
        std::thread([&] {
            allocationsBeforeFault = n;
            try {
                faultedRight = workload() == reference;
            } catch (const std::bad_alloc&) {
            }
            allocationsBeforeFault = -1;
            injected = faultInjected;
            recovered = workload() == reference;
        }).join();
        if (!faultedRight || !recovered) {
            if (++wrong <= 3)
                std::printf("%s: wrong results after a fault at allocation %ld%s\n", name, n,
                            faultedRight ? "" : " (in the run with the fault)");
        }
        if (!injected) break;
        ++faults;
    }
    std::printf("%s: %ld faults injected, %ld runs wrong\n", name, faults, wrong);
    check(faults > 10, std::string(name) + ": faults were injected");
    check(wrong == 0, std::string(name) + ": every run after a fault gives the reference results");
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // what ran before a crash is shown
    const Inputs made = makeInputs();
    inputs = &made;
    // First, while nothing is built: the tables built on first use are
    // built under faults here and compared with a child's.
#ifdef QUILLBANK_HAVE_FORK
    const Results symbols = inChildProcess(wholeSymbols);
    const Results uncached = inChildProcess(everyWorkload, true);
#else
    const Results symbols = onFreshThread(wholeSymbols);
#endif
    runUnderFaults("whole symbols", wholeSymbols, symbols);
    check(onFreshThread(wholeSymbols) == symbols, "whole symbols: a fresh thread after the faults agrees");
    runUnderFaults("text machine", textMachine, onFreshThread(textMachine));
    runUnderFaults("long-run machine", longRunMachine, onFreshThread(longRunMachine));
    runUnderFaults("Reed-Solomon", reedSolomon, onFreshThread(reedSolomon));
#ifdef QUILLBANK_HAVE_FORK
    check(uncached == everyWorkload(), "a process without thread keys to spare makes the same results uncached");
#endif
    return testing::finish();
}
