// make, makeMany and pngMany of the public API (quillbank/aztec.hpp): the
// options checked once (aztec_options.hpp), or once a job, then the core's
// smallest symbol for each message (or the layout of a job's stream), a
// batch's on the core's threads.
#include <quillbank/aztec.hpp>

#include <algorithm>
#include <exception>
#include <functional>
#include <new>
#include <optional>
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

// The symbol, or the PNG file, of the matrix that build(matrix) fills (the
// thread's own, kept between calls).
template <typename Build>
Symbol symbolBuilt(const Build& build) {
    ThreadCache<AztecMatrix> matrix;
    build(*matrix);
    return SymbolAccess::of(*matrix);
}

template <typename Build>
std::vector<std::uint8_t> pictureBuilt(const Build& build, const PngOptions& picture) {
    ThreadCache<AztecMatrix> matrix;
    build(*matrix);
    checkPicture(picture, matrix->shape.size);
    return pngOfModules(matrix->modules.data(), matrix->shape.size, picture);
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

    std::size_t count() const { return messages.size(); }

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

    Symbol symbol(std::size_t index) const {
        return symbolBuilt([&](AztecMatrix& matrix) { build(index, matrix); });
    }

    std::vector<std::uint8_t> picture(std::size_t index, const PngOptions& picture) const {
        return pictureBuilt([&](AztecMatrix& matrix) { build(index, matrix); }, picture);
    }
};

// Whether two options ask for the same thing, so that one Prepared serves
// both.  Each record is taken apart by a structured binding, which must
// name every field: a field added to Options, Flag or SequencePart stops
// this from compiling until it is compared too.
bool sameFlag(const Flag& x, const Flag& y) {
    const auto& [xPosition, xEci] = x;
    const auto& [yPosition, yEci] = y;
    return xPosition == yPosition && xEci == yEci;
}

bool samePart(const SequencePart& x, const SequencePart& y) {
    const auto& [xPosition, xCount, xId] = x;
    const auto& [yPosition, yCount, yId] = y;
    return xPosition == yPosition && xCount == yCount && xId == yId;
}

bool sameOptions(const Options& a, const Options& b) {
    const auto& [aEc, aCompact, aLayers, aEci, aFlags, aGs1, aInit, aSequence, aHeader] = a;
    const auto& [bEc, bCompact, bLayers, bEci, bFlags, bGs1, bInit, bSequence, bHeader] = b;
    return aEc == bEc && aCompact == bCompact && aLayers == bLayers && aEci == bEci && aGs1 == bGs1 &&
           aInit == bInit && aHeader == bHeader && aSequence.has_value() == bSequence.has_value() &&
           (!aSequence || samePart(*aSequence, *bSequence)) &&
           std::equal(aFlags.begin(), aFlags.end(), bFlags.begin(), bFlags.end(), sameFlag);
}

// A batch of jobs: the first job's options prepared once, for every job
// that asks the same; any other job's prepared on the thread that makes
// it, its error its own.
struct JobOrders {
    const std::vector<Job>& jobs;
    std::optional<Prepared> first;  // empty when the first job's options are wrong: that job fails alone

    JobOrders(const std::vector<Job>& jobs, const BatchOptions& batch) : jobs(jobs) {
        if (!batch.ecis.empty()) throw invalid("ecis is for a batch of messages: a job carries its own ECI number");
        if (jobs.empty()) return;
        try {
            first.emplace(prepare(jobs.front().options));
        } catch (const Error&) {
        }
    }

    std::size_t count() const { return jobs.size(); }

    void build(const Job& job, AztecMatrix& matrix) const {
        const auto* data = bytesOf(job.message);
        if (first && sameOptions(job.options, jobs.front().options))
            buildMatrix(*first, data, job.message.size(), matrix);
        else
            buildMatrix(prepare(job.options), data, job.message.size(), matrix);
    }

    Symbol symbol(std::size_t index) const {
        const Job& job = jobs[index];
        if (job.stream != nullptr) return layOut(*job.stream, job.options);
        return symbolBuilt([&](AztecMatrix& matrix) { build(job, matrix); });
    }

    std::vector<std::uint8_t> picture(std::size_t index, const PngOptions& picture) const {
        const Job& job = jobs[index];
        if (job.stream != nullptr) return png(layOut(*job.stream, job.options), picture);
        return pictureBuilt([&](AztecMatrix& matrix) { build(job, matrix); }, picture);
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

// The symbols of `orders` (BatchOrders or JobOrders), each made by the
// thread that takes it, its error in its place.
template <typename Orders>
std::vector<Made> madeInPlace(const Orders& orders, const BatchOptions& batch) {
    std::vector<Made> results(orders.count());
    runInPlace(
        results.size(), batch,
        [&](std::size_t index) {
            Made& made = results[index];
            errorInPlace(made.error, [&] { made.symbol = orders.symbol(index); });
        },
        runHooks(batch, batch.onMade, results));
    return results;
}

// The same as PNG files, each drawn by the thread that made its symbol.
template <typename Orders>
std::vector<Drawn> drawnInPlace(const Orders& orders, const PngOptions& picture, const BatchOptions& batch) {
    checkPicture(picture, 0);
    std::vector<Drawn> results(orders.count());
    runInPlace(
        results.size(), batch,
        [&](std::size_t index) {
            Drawn& drawn = results[index];
            errorInPlace(drawn.error, [&] { drawn.png = orders.picture(index, picture); });
        },
        runHooks(batch, batch.onDrawn, results));
    return results;
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
    return madeInPlace(BatchOrders(messages, options, batch), batch);
}

std::vector<Made> makeMany(const std::vector<std::string_view>& messages, const Options& options, int threads) {
    BatchOptions batch;
    batch.threads = threads;
    return makeMany(messages, options, batch);
}

std::vector<Made> makeMany(const std::vector<Job>& jobs, const BatchOptions& batch) {
    return madeInPlace(JobOrders(jobs, batch), batch);
}

std::vector<Drawn> pngMany(const std::vector<std::string_view>& messages, const Options& options,
                           const PngOptions& picture, const BatchOptions& batch) {
    return drawnInPlace(BatchOrders(messages, options, batch), picture, batch);
}

std::vector<Drawn> pngMany(const std::vector<Job>& jobs, const PngOptions& picture, const BatchOptions& batch) {
    return drawnInPlace(JobOrders(jobs, batch), picture, batch);
}

}  // namespace quillbank::aztec
