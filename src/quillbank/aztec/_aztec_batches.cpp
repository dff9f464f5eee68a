// make_list and render_list: the symbols (or PNG files) of many messages,
// each with its ECI number (and flags or a ready stream, as jobs) and the
// batch's shape options, made without the GIL on the library's batch
// threads (makeMany, pngMany) and stored in order by the calling thread,
// which takes each run of finished results as it is ready while the
// helpers go on.
#include "_aztec.hpp"  // first: Python.h

#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "_aztec_arguments.hpp"
#include "_aztec_make.hpp"

namespace quillbank::aztec::binding {
namespace {

// The widest picture, and the widest border, in pixels or modules.
constexpr int kMaxPixels = 1000000;

// A batch's orders, read before any is made, so that no list or buffer is
// read without the GIL (only the bytes of str and bytes objects, which
// cannot change, and which a copy of the list keeps alive): the messages
// with the batch's options and each its ECI number, or, where any message
// has flags or a stream of its own, a job a message.
struct Orders {
    PyObject* messages = nullptr;  // a copy of the caller's list (new reference): what each symbol is made from
    // Each message's bytes: a str's or bytes' own, which `messages` keeps
    // alive and unchanged, or a copy in `copies` (any other buffer, which
    // its owner could change while the GIL is released).
    std::vector<std::string_view> views;
    std::vector<std::vector<uint8_t>> copies;
    Options options;                      // the batch's
    std::vector<BitStream> streams;       // the streams given, in the places of their jobs
    std::vector<Job> jobs;                // in place of views: each message with its own options
    BatchOptions batch;                   // threads, and each message's ECI number (without jobs)

    ~Orders() { Py_XDECREF(messages); }

    size_t count() const { return views.size(); }
    std::string_view message(size_t i) const { return jobs.empty() ? views[i] : jobs[i].message; }
    // The options message i is made with (held in `own` for a plain message).
    const Options& optionsOf(size_t i, Options& own) const {
        if (!jobs.empty()) return jobs[i].options;
        own.eci = batch.ecis[i];
        return own;
    }
};

// A list as long as the messages' (a copy: reading an item may run Python
// code that changes the caller's), or NULL for None and nullptr.  False
// with an exception set.
bool copiedList(PyObject* argument, const char* what, Py_ssize_t count, PyObject*& copy) {
    copy = nullptr;
    if (argument == nullptr || argument == Py_None) return true;
    if (!PyList_Check(argument) || PyList_GET_SIZE(argument) != count) {
        PyErr_Format(PyExc_TypeError, "%s is None or a list of one item a message", what);
        return false;
    }
    copy = PyList_GetSlice(argument, 0, count);
    return copy != nullptr;
}

// Job i: message i with its ECI number, flags (None or a sequence of
// (position, ECI number or None)) and stream (None or (packed bytes, bit
// count)), and the batch's other options.  False with an exception set.
bool readJob(Orders& orders, size_t i, PyObject* eci, PyObject* flags, PyObject* stream) {
    Job& job = orders.jobs[i];
    job.options = orders.options;
    job.message = orders.views[i];
    if ((flags != nullptr && flags != Py_None && parseFlags(flags, job.options.flags) < 0) ||
        !readLeadingEci(eci, job.options))
        return false;
    if (stream == nullptr || stream == Py_None) return true;
    if (!PyTuple_Check(stream) || PyTuple_GET_SIZE(stream) != 2) {
        PyErr_SetString(PyExc_TypeError, "a stream is None or (packed bytes, bit count)");
        return false;
    }
    job.stream = &orders.streams[i];
    return readStream(PyTuple_GET_ITEM(stream, 0), PyTuple_GET_ITEM(stream, 1), orders.streams[i]);
}

// The jobs of `orders`, whose messages and ECI numbers are read, from
// flags and streams (lists of as many items as readJob takes, or NULL).
// False with an exception set.
bool readJobs(Orders& orders, PyObject* ecis, PyObject* flags, PyObject* streams) {
    const size_t count = orders.count();
    orders.jobs.resize(count);
    if (streams != nullptr) orders.streams.resize(count);  // never moved: jobs point into it
    for (size_t i = 0; i < count; ++i) {
        const auto at = static_cast<Py_ssize_t>(i);
        if (!readJob(orders, i, PyList_GET_ITEM(ecis, at), flags == nullptr ? nullptr : PyList_GET_ITEM(flags, at),
                     streams == nullptr ? nullptr : PyList_GET_ITEM(streams, at)))
            return false;
    }
    orders.batch.ecis.clear();  // the jobs carry them
    return true;
}

// messages (a list of bytes-like objects), ecis (a list of as many ECI
// numbers or None), flags and streams (None, or lists of as many items as
// readJob takes them).  False with an exception set.
bool readOrders(PyObject* messagesArgument, PyObject* ecisArgument, PyObject* flagsArgument,
                PyObject* streamsArgument, Orders& orders) {
    if (!PyList_Check(messagesArgument) || !PyList_Check(ecisArgument) ||
        PyList_GET_SIZE(messagesArgument) != PyList_GET_SIZE(ecisArgument)) {
        PyErr_SetString(PyExc_TypeError, "a list of messages and a list of as many ECI numbers are needed");
        return false;
    }
    const Py_ssize_t count = PyList_GET_SIZE(messagesArgument);
    PyObject *ecis = nullptr, *flags = nullptr, *streams = nullptr;
    orders.messages = PyList_GetSlice(messagesArgument, 0, count);
    bool read = orders.messages != nullptr && copiedList(ecisArgument, "ecis", count, ecis) &&
                copiedList(flagsArgument, "flags", count, flags) && copiedList(streamsArgument, "streams", count, streams);
    orders.views.resize(static_cast<size_t>(count));
    orders.copies.resize(static_cast<size_t>(count));  // never moved: views point into them
    orders.batch.ecis.resize(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; read && i < count; ++i) {
        const auto at = static_cast<size_t>(i);
        MessageBytes message;
        read = eciArgument(PyList_GET_ITEM(ecis, i), orders.batch.ecis[at]) &&
               message.acquire(PyList_GET_ITEM(orders.messages, i)) == 0;
        if (!read) break;
        if (!message.lent()) orders.copies[at].assign(message.data(), message.data() + message.size());
        const uint8_t* bytes = message.lent() ? message.data() : orders.copies[at].data();
        orders.views[at] = std::string_view(reinterpret_cast<const char*>(bytes), message.size());
    }
    if (read && (flags != nullptr || streams != nullptr)) read = readJobs(orders, ecis, flags, streams);
    Py_XDECREF(ecis);
    Py_XDECREF(flags);
    Py_XDECREF(streams);
    return read;
}

// The width of a PNG file, from its header chunk (big-endian at byte 16).
long pngWidth(const std::vector<uint8_t>& file) {
    return static_cast<long>(file[16]) << 24 | static_cast<long>(file[17]) << 16 | static_cast<long>(file[18]) << 8 |
           file[19];
}

// A failed result's item: None where no allowed symbol holds the message
// (the package words that refusal), or ValueError with the library's text
// for any other refusal of this message alone.  A new reference, or NULL
// with an exception set (MemoryError: the batch stops).
PyObject* failure(const Error& error) {
    if (error.code() == ErrorCode::OutOfMemory) return PyErr_NoMemory();
    if (error.code() == ErrorCode::DataOverflow) return newReference(Py_None);
    return PyObject_CallFunction(PyExc_ValueError, "s", error.what());
}

// The list a batch fills, and how: each run of results is turned into
// Python objects under the GIL, on the calling thread, as it is ready.
struct Storing {
    const Orders& orders;
    Options own;  // a plain message's options, with its ECI number in turn
    PyTypeObject* symbolClass;
    long maxSide;                    // render_list: wider pictures fail
    PyObject* list;                  // borrowed; its items are NULL until stored
    PyThreadState* saved = nullptr;  // the caller's thread state while the GIL is released

    // An item: the symbol, or failure()'s.  A new reference, or NULL with
    // an exception set.
    PyObject* item(size_t i, const Made& made) {
        if (made.error) return failure(*made.error);
        if (!made.symbol) return newReference(Py_None);
        const std::string_view message = orders.message(i);
        return madeSymbol(symbolClass, *made.symbol, PyList_GET_ITEM(orders.messages, static_cast<Py_ssize_t>(i)),
                          reinterpret_cast<const uint8_t*>(message.data()), message.size(), orders.optionsOf(i, own),
                          nullptr, nullptr);
    }

    // The PNG file's bytes, or failure()'s; a picture wider than maxSide
    // fails as ValueError.
    PyObject* item(size_t, const Drawn& drawn) const {
        if (drawn.error) return failure(*drawn.error);
        if (!drawn.png) return newReference(Py_None);
        if (pngWidth(*drawn.png) > maxSide)
            return PyObject_CallFunction(PyExc_ValueError, "s", "the picture is wider than max_side pixels");
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(drawn.png->data()),
                                         static_cast<Py_ssize_t>(drawn.png->size()));
    }

    // Stores results first to end - 1.  False with an exception set when
    // one cannot be made or Ctrl-C was pressed, which stops the batch here,
    // not only at its end.  The results' storage is left to the batch,
    // which frees it at its end without the GIL: freed here, while the
    // helpers allocate, it kept them waiting on the allocator (a third of
    // a batch's time on 2 threads).
    template <typename Result>
    bool store(size_t first, size_t end, const Result* results) {
        PyEval_RestoreThread(saved);
        bool stored = true;
        for (size_t i = first; stored && i < end; ++i) {
            PyObject* made = item(i, results[i - first]);
            if (made == nullptr) stored = false;
            else PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), made);  // steals made
        }
        if (stored && PyErr_CheckSignals() < 0) stored = false;
        // Released at every run, even with results waiting: the helpers
        // may keep ahead of this thread for a whole batch, and the
        // interpreter's other threads need the GIL meanwhile.
        saved = PyEval_SaveThread();
        return stored;
    }
};

// The list of results of `orders` (drawn with `picture`, when given) on
// the batch's threads, this one among them: a new reference, or NULL with
// an exception set.
PyObject* resultsInOrder(PyObject* module, Orders& orders, const PngOptions* picture, long maxSide) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(orders.count()));  // items NULL until stored
    if (list == nullptr) return nullptr;
    Storing storing{orders, orders.options, moduleState(module)->symbolClass, maxSide, list};
    if (picture == nullptr)
        orders.batch.onMade = [&storing](size_t first, size_t end, Made* results) {
            return storing.store(first, end, results);
        };
    else
        orders.batch.onDrawn = [&storing](size_t first, size_t end, Drawn* results) {
            return storing.store(first, end, results);
        };
    std::optional<Error> refused;
    bool noMemory = false;
    storing.saved = PyEval_SaveThread();
    try {
        if (!orders.jobs.empty() && picture == nullptr) makeMany(orders.jobs, orders.batch);
        else if (!orders.jobs.empty()) pngMany(orders.jobs, *picture, orders.batch);
        else if (picture == nullptr) makeMany(orders.views, orders.options, orders.batch);
        else pngMany(orders.views, orders.options, *picture, orders.batch);
    } catch (const Error& error) {  // options wrong for every message: none was made
        refused.emplace(error);
    } catch (const std::bad_alloc&) {
        noMemory = true;
    }
    PyEval_RestoreThread(storing.saved);
    if (noMemory) PyErr_NoMemory();
    else if (refused) raiseError(*refused);
    if (PyErr_Occurred()) Py_CLEAR(list);  // set here, or by a store that stopped the batch
    return list;
}

// Reads png's colours: None for black on white, or 8 bytes, the light and
// then the dark colour as RGBA.  False with an exception set.
bool readPngColours(PyObject* object, PngOptions& options) {
    if (object == nullptr || object == Py_None) return true;
    if (!PyBytes_Check(object) || PyBytes_GET_SIZE(object) != 8) {
        PyErr_SetString(PyExc_TypeError, "png colours are None or 8 bytes: light and dark RGBA");
        return false;
    }
    const char* rgba = PyBytes_AS_STRING(object);
    for (int i = 0; i < 4; ++i) {
        options.light[i] = static_cast<uint8_t>(rgba[i]);
        options.dark[i] = static_cast<uint8_t>(rgba[4 + i]);
    }
    return true;
}

// Reads png's resolution: None, or pixels a metre, 0 to 2^31 - 1 (PNG's
// four-byte numbers).  False with an exception set.
bool readPixelsPerMetre(PyObject* object, std::optional<uint32_t>& perMetre) {
    if (object == nullptr || object == Py_None) return true;
    int value = 0;
    if (!intArgument(object, "pixels_per_metre", 0, 0x7FFFFFFFL, value)) return false;
    perMetre = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

bool readPngOptions(PyObject* colours, PyObject* perMetre, PngOptions& options) {
    return readPngColours(colours, options) && readPixelsPerMetre(perMetre, options.pixelsPerMetre);
}

// make_list(messages, ecis, *, flags=None, streams=None, compact=None,
//           layers=None, ec_percent=23, reader_init=False, threads=1): a
// list of symbols, each made as make(message, eci=eci, flags=flags, ...)
// makes it, or laid out from its stream as build() lays it out where
// streams gives one; None where no allowed symbol holds it, or ValueError
// where the library refused it otherwise.
PyObject* makeList(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"messages", "ecis", "flags", "streams", "compact", "layers", "ec_percent",
                                        "reader_init", "threads", nullptr};
    PyObject* values[9];
    Orders orders;
    orders.batch.threads = 1;
    if (!parseArguments("make_list", args, nargs, kwnames, names, 2, 2, values) ||
        !readShapeOptions(values[4], values[5], values[6], values[7], orders.options) ||
        !intArgument(values[8], "threads", 1, kMostThreads, orders.batch.threads))
        return nullptr;
    try {
        if (!readOrders(values[0], values[1], values[2], values[3], orders)) return nullptr;
        return resultsInOrder(module, orders, nullptr, 0);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// render_list(messages, ecis, *, flags=None, streams=None, compact=None,
//             layers=None, ec_percent=23, reader_init=False, threads=1,
//             scale=1, border=0, colours=None, pixels_per_metre=None,
//             max_side=1000000): make_list's symbols as PNG files (png's
// settings), each drawn by the thread that made it, so that no symbol
// object is made at all.  An item is the file's bytes, or make_list's
// failure; a picture wider than max_side pixels fails as ValueError.
PyObject* renderList(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"messages", "ecis", "flags", "streams", "compact", "layers", "ec_percent",
                                        "reader_init", "threads", "scale", "border", "colours", "pixels_per_metre",
                                        "max_side", nullptr};
    PyObject* values[14];
    Orders orders;
    orders.batch.threads = 1;
    PngOptions picture;
    picture.scale = 1;
    picture.border = 0;
    int maxSide = kMaxPixels;
    if (!parseArguments("render_list", args, nargs, kwnames, names, 2, 2, values) ||
        !readShapeOptions(values[4], values[5], values[6], values[7], orders.options) ||
        !intArgument(values[8], "threads", 1, kMostThreads, orders.batch.threads) ||
        !intArgument(values[9], "scale", 1, kMaxPixels, picture.scale) ||
        !intArgument(values[10], "border", 0, kMaxPixels, picture.border) ||
        !readPngOptions(values[11], values[12], picture) ||
        !intArgument(values[13], "max_side", 1, kMaxPixels, maxSide))
        return nullptr;
    try {
        if (!readOrders(values[0], values[1], values[2], values[3], orders)) return nullptr;
        return resultsInOrder(module, orders, &picture, maxSide);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace quillbank::aztec::binding
