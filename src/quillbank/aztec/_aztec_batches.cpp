// make_list and render_list: the symbols (or PNG files) of many messages
// with one set of options, made without the GIL on the library's batch
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

// A batch's messages and ECI numbers, read into the binding's own storage
// before any is made, so that no list or buffer is read without the GIL.
struct Orders {
    PyObject* messages = nullptr;  // a copy of the caller's list (new reference): what each symbol is made from
    std::vector<std::vector<uint8_t>> bytes;
    std::vector<std::string_view> views;  // of `bytes`, as the library takes them
    BatchOptions batch;                   // threads, and each message's ECI number

    ~Orders() { Py_XDECREF(messages); }
};

// messages (a list of bytes-like objects) and ecis (a list of as many ECI
// numbers or None).  Both lists are copied first: reading an item may run
// Python code (the package's rules) that changes the caller's lists.
// False with an exception set.
bool readOrders(PyObject* messagesArgument, PyObject* ecisArgument, Orders& orders) {
    if (!PyList_Check(messagesArgument) || !PyList_Check(ecisArgument) ||
        PyList_GET_SIZE(messagesArgument) != PyList_GET_SIZE(ecisArgument)) {
        PyErr_SetString(PyExc_TypeError, "a list of messages and a list of as many ECI numbers are needed");
        return false;
    }
    const Py_ssize_t count = PyList_GET_SIZE(messagesArgument);
    orders.messages = PyList_GetSlice(messagesArgument, 0, count);
    PyObject* ecis = PyList_GetSlice(ecisArgument, 0, count);
    bool read = orders.messages != nullptr && ecis != nullptr;
    orders.bytes.resize(static_cast<size_t>(count));
    orders.batch.ecis.resize(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; read && i < count; ++i) {
        MessageBytes message;
        read = eciArgument(PyList_GET_ITEM(ecis, i), orders.batch.ecis[static_cast<size_t>(i)]) &&
               message.acquire(PyList_GET_ITEM(orders.messages, i)) == 0;
        if (read) orders.bytes[static_cast<size_t>(i)].assign(message.data(), message.data() + message.size());
    }
    Py_XDECREF(ecis);
    if (!read) return false;
    orders.views.reserve(orders.bytes.size());
    for (const std::vector<uint8_t>& message : orders.bytes)
        orders.views.emplace_back(reinterpret_cast<const char*>(message.data()), message.size());
    return true;
}

// The width of a PNG file, from its header chunk (big-endian at byte 16).
long pngWidth(const std::vector<uint8_t>& file) {
    return static_cast<long>(file[16]) << 24 | static_cast<long>(file[17]) << 16 | static_cast<long>(file[18]) << 8 |
           file[19];
}

// The list a batch fills, and how: each run of results is turned into
// Python objects under the GIL, on the calling thread, as it is ready.
struct Storing {
    const Orders& orders;
    Options labels;  // the batch's options, with each symbol's ECI number in turn
    PyTypeObject* symbolClass;
    long maxSide;                    // render_list: wider pictures are None
    PyObject* list;                  // borrowed; its items are NULL until stored
    PyThreadState* saved = nullptr;  // the caller's thread state while the GIL is released

    // An item: the symbol, or None where make would give None or fail.  A
    // new reference, or NULL with an exception set.
    PyObject* item(size_t i, const Made& made) {
        if (made.error) return made.error->code() == ErrorCode::OutOfMemory ? PyErr_NoMemory() : newReference(Py_None);
        if (!made.symbol) return newReference(Py_None);
        labels.eci = orders.batch.ecis[i];
        const std::vector<uint8_t>& message = orders.bytes[i];
        return madeSymbol(symbolClass, *made.symbol, PyList_GET_ITEM(orders.messages, static_cast<Py_ssize_t>(i)),
                          message.data(), message.size(), labels, nullptr, nullptr);
    }

    // The PNG file's bytes, or None where make would give None or fail, or
    // the picture is wider than maxSide.
    PyObject* item(size_t, const Drawn& drawn) const {
        if (drawn.error) return drawn.error->code() == ErrorCode::OutOfMemory ? PyErr_NoMemory() : newReference(Py_None);
        if (!drawn.png || pngWidth(*drawn.png) > maxSide) return newReference(Py_None);
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

// The list of results of `orders`, made with `options` (and drawn with
// `picture`, when given) on the batch's threads, this one among them: a
// new reference, or NULL with an exception set.
PyObject* resultsInOrder(PyObject* module, Orders& orders, const Options& options, const PngOptions* picture,
                         long maxSide) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(orders.views.size()));  // items NULL until stored
    if (list == nullptr) return nullptr;
    Storing storing{orders, options, moduleState(module)->symbolClass, maxSide, list};
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
        if (picture == nullptr) makeMany(orders.views, options, orders.batch);
        else pngMany(orders.views, options, *picture, orders.batch);
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

// make_list(messages, ecis, *, compact=None, layers=None, ec_percent=23,
//           reader_init=False, threads=1): a list of symbols, each made as
// make(message, eci=eci, ...) makes it, or None where make would give None
// or fail (the caller makes that one alone to learn why).
PyObject* makeList(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"messages", "ecis", "compact", "layers", "ec_percent", "reader_init",
                                        "threads", nullptr};
    PyObject* values[7];
    Options options;
    int threads = 1;
    if (!parseArguments("make_list", args, nargs, kwnames, names, 2, 2, values) ||
        !readShapeOptions(values[2], values[3], values[4], values[5], options) ||
        !intArgument(values[6], "threads", 1, kMostThreads, threads))
        return nullptr;
    try {
        Orders orders;
        orders.batch.threads = threads;
        if (!readOrders(values[0], values[1], orders)) return nullptr;
        return resultsInOrder(module, orders, options, nullptr, 0);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// render_list(messages, ecis, *, compact=None, layers=None, ec_percent=23,
//             reader_init=False, threads=1, scale=1, border=0, colours=None,
//             pixels_per_metre=None, max_side=1000000): make_list's symbols
// as PNG files (png's settings), each drawn by the thread that made it, so
// that no symbol object is made at all.  An item is the file's bytes, or
// None where make would give None or fail, or the picture would be wider
// than max_side pixels.
PyObject* renderList(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"messages", "ecis", "compact", "layers", "ec_percent", "reader_init",
                                        "threads", "scale", "border", "colours", "pixels_per_metre", "max_side",
                                        nullptr};
    PyObject* values[12];
    Options options;
    PngOptions picture;
    picture.scale = 1;
    picture.border = 0;
    int threads = 1, maxSide = kMaxPixels;
    if (!parseArguments("render_list", args, nargs, kwnames, names, 2, 2, values) ||
        !readShapeOptions(values[2], values[3], values[4], values[5], options) ||
        !intArgument(values[6], "threads", 1, kMostThreads, threads) ||
        !intArgument(values[7], "scale", 1, kMaxPixels, picture.scale) ||
        !intArgument(values[8], "border", 0, kMaxPixels, picture.border) ||
        !readPngOptions(values[9], values[10], picture) || !intArgument(values[11], "max_side", 1, kMaxPixels, maxSide))
        return nullptr;
    try {
        Orders orders;
        orders.batch.threads = threads;
        if (!readOrders(values[0], values[1], orders)) return nullptr;
        return resultsInOrder(module, orders, options, &picture, maxSide);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace quillbank::aztec::binding
