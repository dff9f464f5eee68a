// make, makeMany and pngMany of the public API (quillbank/aztec.hpp): the
// options checked once (aztec_options.hpp), then the core's smallest
// symbol for each message, a batch's on the core's threads.
#include <quillbank/aztec.hpp>

#include <algorithm>
#include <exception>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "aztec_options.hpp"
#include "batch_pool.hpp"
#include "optimal_encoder.hpp"
#include "smallest_symbol.hpp"
#include "symbol_layout.hpp"
#include "thread_cache.hpp"

namespace quillbank::aztec {

namespace {

const std::uint8_t* bytesOf(std::string_view message) {
    return reinterpret_cast<const std::uint8_t*>(message.data());
}

// Builds one message's symbol with prepared options into `matrix` (the
// thread's own, kept between calls: no allocation once it is grown).
// Throws Error; where no allowed symbol holds the message, returns false
// instead when `figures` is false, without working out the error's
// figures (which may take one more encoding of the message).
bool buildMatrix(const Prepared& prepared, const std::uint8_t* data, std::size_t length, AztecMatrix& matrix,
                 bool figures = true) {
    if (length == 0) throw Error(ErrorCode::EmptyMessage, "there is nothing to encode: the message is empty");
    checkFlagsFit(prepared, length);
    // Every byte costs 2.5 bits at least (two of a punctuation pair share
    // a 5-bit code): a message longer than the largest symbol of all holds
    // by that bound is refused unencoded, at the cost of one comparison.
    if (length > kMostBits || length * 5 > kMostBits * 2) {
        if (!figures) return false;
        throw overflow(prepared, length, nullptr);
    }
    std::vector<std::uint8_t> joined;
    joinHead(prepared, data, length, joined);
    PackedBits stream;
    const BuildStatus status = buildSmallestSymbol(data, length, prepared.layout, prepared.request, matrix, &stream);
    if (status == BuildStatus::Ok) return true;
    if (status == BuildStatus::TooLong) {
        if (!figures) return false;
        if (stream.bitCount == 0) stream = encodeOptimal(data, length, prepared.layout);
        throw overflow(prepared, length, &stream);
    }
    // The options were checked: the core refuses none of them.
    throw invalid("no Aztec symbol meets these options");
}

// One batch's messages and options: the options prepared once, and again
// for a message whose own ECI number differs from theirs.
struct BatchOrders {
    const std::vector<std::string_view>& messages;
    const Options& options;
    const BatchOptions& batch;
    Prepared shared;

    BatchOrders(const std::vector<std::string_view>& messages, const Options& options, const BatchOptions& batch)
        : messages(messages), options(options), batch(batch), shared(prepare(options)) {
        if (!batch.ecis.empty() && batch.ecis.size() != messages.size())
            throw invalid("ecis has " + std::to_string(batch.ecis.size()) + " ECI numbers for " +
                          std::to_string(messages.size()) + " messages: give one a message, or none");
    }

    void build(std::size_t index, AztecMatrix& matrix) const {
        const std::string_view message = messages[index];
        if (batch.ecis.empty() || batch.ecis[index] == options.eci) {
            buildMatrix(shared, bytesOf(message), message.size(), matrix);
            return;
        }
        Options own = options;
        own.eci = batch.ecis[index];
        buildMatrix(prepare(own), bytesOf(message), message.size(), matrix);
    }
};

// Made once, when the library is loaded: copying an Error allocates
// nothing, so a batch can report running out of memory.
const Error kOutOfMemory(ErrorCode::OutOfMemory, "not enough memory to make this symbol");

// Runs `work`, and puts what it throws into `error`.
template <typename Work>
void errorInPlace(std::optional<Error>& error, Work work) noexcept {
    try {
        work();
    } catch (const Error& refused) {
        error.emplace(refused);
    } catch (...) {  // bad_alloc; nothing else escapes the core for checked options
        error.emplace(kOutOfMemory);
    }
}

// A batch whose results are made in place, one per message, handed to
// `ready` in runs as they are complete.
struct InPlaceBatch {
    const std::function<void(std::size_t)>& makeOne;            // throws nothing
    const std::function<bool(std::size_t, std::size_t)>& ready;  // the caller's hooks for a run
    std::exception_ptr failure;                                 // what a hook threw

    static void make(void* context, std::size_t index) noexcept {
        static_cast<InPlaceBatch*>(context)->makeOne(index);
    }
    static bool store(void* context, std::size_t first, std::size_t end) noexcept {
        auto& batch = *static_cast<InPlaceBatch*>(context);
        try {
            return batch.ready(first, end);
        } catch (...) {
            batch.failure = std::current_exception();
            return false;
        }
    }
};

void runInPlace(std::size_t count, const BatchOptions& options, const std::function<void(std::size_t)>& makeOne,
                const std::function<bool(std::size_t, std::size_t)>& ready) {
    int threads = options.threads;
    if (threads <= 0) threads = static_cast<int>(std::min(std::thread::hardware_concurrency(), 256u));
    InPlaceBatch batch{makeOne, ready, nullptr};
    BatchJob job;
    job.count = count;
    // Every result has a place of its own: the ring never waits for the hooks.
    job.slotCount = std::max<std::size_t>(count, 1);
    job.context = &batch;
    job.make = InPlaceBatch::make;
    job.store = InPlaceBatch::store;
    if (runBatch(job, threads) == BatchEnd::NoMemory) throw std::bad_alloc();
    if (batch.failure) std::rethrow_exception(batch.failure);
}

// The hooks of `options` for a run of `results`: the run's own, then keepGoing.
template <typename Result, typename Hook>
std::function<bool(std::size_t, std::size_t)> runHooks(const BatchOptions& options, const Hook& onRun,
                                                       std::vector<Result>& results) {
    return [&options, &onRun, &results](std::size_t first, std::size_t end) {
        if (onRun && !onRun(first, end, results.data() + first)) return false;
        return !options.keepGoing || options.keepGoing(end);
    };
}

}  // namespace

Symbol make(const std::uint8_t* data, std::size_t length, const Options& options) {
    ThreadCache<AztecMatrix> matrix;
    buildMatrix(prepare(options), data, length, *matrix);
    return SymbolAccess::of(*matrix);
}

std::optional<Symbol> makeIfFits(const std::uint8_t* data, std::size_t length, const Options& options) {
    ThreadCache<AztecMatrix> matrix;
    if (!buildMatrix(prepare(options), data, length, *matrix, false)) return std::nullopt;
    return SymbolAccess::of(*matrix);
}

Symbol make(std::string_view message, const Options& options) {
    return make(bytesOf(message), message.size(), options);
}

Symbol make(const std::vector<std::uint8_t>& message, const Options& options) {
    return make(message.data(), message.size(), options);
}

std::vector<Made> makeMany(const std::vector<std::string_view>& messages, const Options& options,
                           const BatchOptions& batch) {
    const BatchOrders orders(messages, options, batch);
    std::vector<Made> results(messages.size());
    runInPlace(
        messages.size(), batch,
        [&](std::size_t index) {
            Made& made = results[index];
            errorInPlace(made.error, [&] {
                ThreadCache<AztecMatrix> matrix;
                orders.build(index, *matrix);
                made.symbol = SymbolAccess::of(*matrix);
            });
        },
        runHooks(batch, batch.onMade, results));
    return results;
}

std::vector<Made> makeMany(const std::vector<std::string_view>& messages, const Options& options, int threads) {
    BatchOptions batch;
    batch.threads = threads;
    return makeMany(messages, options, batch);
}

std::vector<Drawn> pngMany(const std::vector<std::string_view>& messages, const Options& options,
                           const PngOptions& picture, const BatchOptions& batch) {
    const BatchOrders orders(messages, options, batch);
    checkPicture(picture, 0);
    std::vector<Drawn> results(messages.size());
    runInPlace(
        messages.size(), batch,
        [&](std::size_t index) {
            Drawn& drawn = results[index];
            errorInPlace(drawn.error, [&] {
                ThreadCache<AztecMatrix> matrix;
                orders.build(index, *matrix);
                checkPicture(picture, matrix->shape.size);
                drawn.png = pngOfModules(matrix->modules.data(), matrix->shape.size, picture);
            });
        },
        runHooks(batch, batch.onDrawn, results));
    return results;
}

}  // namespace quillbank::aztec
