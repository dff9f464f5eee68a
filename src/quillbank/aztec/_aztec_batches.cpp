// make_list and render_list: the symbols (or PNG files) of many messages
// with one set of options, made without the GIL on the core's batch
// threads (batch_pool.hpp) and stored in order by the calling thread.
#include "_aztec.hpp"  // first: Python.h

#include <algorithm>
#include <new>
#include <optional>
#include <vector>

#include "_aztec_arguments.hpp"
#include "_aztec_make.hpp"
#include "batch_pool.hpp"
#include "raster.hpp"

namespace quillbank::aztec::binding {
namespace {

// The widest picture, and the widest border, in pixels or modules.
constexpr int kMaxPixels = 1000000;

// The result of one order, in the slot of orders i, i + slot count, ...
struct Slot {
    BuildStatus status = BuildStatus::BadRequest;
    Outcome outcome = Outcome::Failed;
    AztecMatrix matrix;
    std::vector<uint8_t> picture;  // render_list's PNG file of the symbol
};

// render_list's picture options, the same for every symbol of a call.  A
// symbol whose picture would be wider than maxSide pixels gets none (its
// caller makes it alone, to learn why).
struct PngOrder {
    int scale = 1;
    int border = 0;
    PngColours colours;
    std::optional<uint32_t> pixelsPerMetre;
    int maxSide = kMaxPixels;
};

// The PNG file of a symbol made into `slot`, when it was made and fits the
// order's bound; an empty picture otherwise.
void drawInto(Slot& slot, const PngOrder& png) noexcept {
    slot.picture.clear();
    if (slot.outcome != Outcome::Done || slot.status != BuildStatus::Ok) return;
    const int size = slot.matrix.shape.size;
    if ((static_cast<long long>(size) + 2LL * png.border) * png.scale > png.maxSide) return;
    const Outcome drawn = attempt([&] {
        slot.picture = pngFile(slot.matrix.modules.data(), size, png.scale, png.border, png.colours, png.pixelsPerMetre);
    });
    if (drawn == Outcome::NoMemory) slot.outcome = Outcome::NoMemory;
    else if (drawn != Outcome::Done) slot.picture.clear();  // none expected; the caller makes this one alone
}

// One batch as the core runs it: the orders are made without the GIL on
// any thread, and stored into `list` on the calling thread, which takes
// the GIL back for each run of them.
struct ListBatch {
    const std::vector<SymbolOrder>& orders;
    std::vector<Slot>& slots;
    PyObject* list;      // borrowed; its items are NULL until stored
    PyObject* messages;  // borrowed: a copy of the caller's list, for what each symbol was made from
    PyTypeObject* symbolClass;
    const PngOrder* png;  // with it, each symbol's picture is drawn by the thread that made it
    PyThreadState* saved = nullptr;  // the caller's thread state while the GIL is released

    static void make(void* context, size_t index) noexcept {
        auto& batch = *static_cast<ListBatch*>(context);
        Slot& slot = batch.slots[index % batch.slots.size()];
        slot.outcome = makeSymbol(batch.orders[index], slot.status, slot.matrix);
        if (batch.png != nullptr) drawInto(slot, *batch.png);
    }

    // An item: the symbol or PNG file, or None where make would give None
    // or fail.  A new reference, or NULL with an exception set.
    PyObject* item(size_t i) const {
        const Slot& slot = slots[i % slots.size()];
        if (slot.outcome == Outcome::NoMemory) return PyErr_NoMemory();
        if (slot.outcome != Outcome::Done || slot.status != BuildStatus::Ok) return newReference(Py_None);
        if (png != nullptr) {
            if (slot.picture.empty()) return newReference(Py_None);
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(slot.picture.data()),
                                             static_cast<Py_ssize_t>(slot.picture.size()));
        }
        PyObject* message = PyList_GET_ITEM(messages, static_cast<Py_ssize_t>(i));  // borrowed
        return madeSymbol(symbolClass, message, orders[i], slot.matrix, nullptr, nullptr);
    }

    // Stores the items first to end - 1 under the GIL.  False with an
    // exception set when one cannot be made or Ctrl-C was pressed, which
    // stops the batch here, not only at its end.
    static bool store(void* context, size_t first, size_t end) noexcept {
        auto& batch = *static_cast<ListBatch*>(context);
        PyEval_RestoreThread(batch.saved);
        bool stored = true;
        for (size_t i = first; stored && i < end; ++i) {
            PyObject* item = batch.item(i);
            if (item == nullptr) stored = false;
            else PyList_SET_ITEM(batch.list, static_cast<Py_ssize_t>(i), item);  // steals item
        }
        if (stored && PyErr_CheckSignals() < 0) stored = false;
        // Released at every run, even with results waiting: the helpers
        // may keep ahead of this thread for a whole batch, and the
        // interpreter's other threads need the GIL meanwhile.
        batch.saved = PyEval_SaveThread();
        return stored;
    }
};

// The orders of a batch: messages (a list of bytes-like objects) and ecis
// (a list of as many ECI numbers or None), each with the shared request.
// Everything is read first, while no Python code can run between the
// items: each message is copied, so no list or buffer is read without the
// GIL.  False with an exception set.
bool readOrders(PyObject* messages, PyObject* ecis, const SymbolRequest& request, std::vector<SymbolOrder>& orders) {
    if (!PyList_Check(messages) || !PyList_Check(ecis) || PyList_GET_SIZE(messages) != PyList_GET_SIZE(ecis)) {
        PyErr_SetString(PyExc_TypeError, "a list of messages and a list of as many ECI numbers are needed");
        return false;
    }
    const Py_ssize_t count = PyList_GET_SIZE(messages);
    orders.resize(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        SymbolOrder& order = orders[static_cast<size_t>(i)];
        order.request = request;
        if (!addLeadingEci(PyList_GET_ITEM(ecis, i), order.layout) ||
            !readMessage(PyList_GET_ITEM(messages, i), order))
            return false;
    }
    return true;
}

// The list of results for `orders` on `threads` threads, this one among
// them: a new reference, or NULL with an exception set.
PyObject* resultsInOrder(PyObject* module, const std::vector<SymbolOrder>& orders, PyObject* messagesArgument,
                         int threads, const PngOrder* png) {
    const Py_ssize_t count = static_cast<Py_ssize_t>(orders.size());
    // Storing runs Python code (a bytes subclass's allocation, Ctrl-C's
    // handler) that may change the caller's list: the messages are a copy's.
    PyObject* messages = PyList_GetSlice(messagesArgument, 0, count);
    if (messages == nullptr) return nullptr;
    PyObject* list = PyList_New(count);  // its items are NULL until stored
    if (list != nullptr) {
        try {
            std::vector<Slot> slots(std::min(orders.size(), kBatchSlots));
            ListBatch batch{orders, slots, list, messages, moduleState(module)->symbolClass, png};
            BatchJob job;
            job.count = orders.size();
            job.slotCount = slots.size();
            job.context = &batch;
            job.make = ListBatch::make;
            job.store = ListBatch::store;
            batch.saved = PyEval_SaveThread();
            const BatchEnd end = runBatch(job, threads);
            PyEval_RestoreThread(batch.saved);
            if (end == BatchEnd::NoMemory) PyErr_NoMemory();
            if (end != BatchEnd::Done) Py_CLEAR(list);
        } catch (const std::bad_alloc&) {  // the slots, before any order is made
            PyErr_NoMemory();
            Py_CLEAR(list);
        }
    }
    Py_DECREF(messages);
    return list;
}

// Reads png's colours: None for black on white, or 8 bytes, the light and
// then the dark colour as RGBA.  False with an exception set.
bool readPngColours(PyObject* object, PngColours& colours) {
    if (object == nullptr || object == Py_None) return true;
    if (!PyBytes_Check(object) || PyBytes_GET_SIZE(object) != 8) {
        PyErr_SetString(PyExc_TypeError, "png colours are None or 8 bytes: light and dark RGBA");
        return false;
    }
    const char* rgba = PyBytes_AS_STRING(object);
    colours.greyscale = false;
    for (int i = 0; i < 4; ++i) {
        colours.light[i] = static_cast<uint8_t>(rgba[i]);
        colours.dark[i] = static_cast<uint8_t>(rgba[4 + i]);
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

bool readPngOptions(PyObject* colours, PyObject* perMetre, PngColours& readColours,
                    std::optional<uint32_t>& readPerMetre) {
    return readPngColours(colours, readColours) && readPixelsPerMetre(perMetre, readPerMetre);
}

// make_list(messages, ecis, *, compact=None, layers=None, ec_percent=23,
//           reader_init=False, threads=1): a list of symbols, each made as
// make(message, eci=eci, ...) makes it, or None where make would give None
// or fail (the caller makes that one alone to learn why).
PyObject* makeList(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"messages", "ecis", "compact", "layers", "ec_percent", "reader_init",
                                        "threads", nullptr};
    PyObject* values[7];
    SymbolRequest request;
    int threads = 1;
    if (!parseArguments("make_list", args, nargs, kwnames, names, 2, 2, values) ||
        !readShapeOptions(values[2], values[3], values[4], values[5], request) ||
        !intArgument(values[6], "threads", 1, kMaxBatchThreads, threads))
        return nullptr;
    try {
        std::vector<SymbolOrder> orders;
        if (!readOrders(values[0], values[1], request, orders)) return nullptr;
        return resultsInOrder(module, orders, values[0], threads, nullptr);
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
    SymbolRequest request;
    int threads = 1;
    PngOrder png;
    if (!parseArguments("render_list", args, nargs, kwnames, names, 2, 2, values) ||
        !readShapeOptions(values[2], values[3], values[4], values[5], request) ||
        !intArgument(values[6], "threads", 1, kMaxBatchThreads, threads) ||
        !intArgument(values[7], "scale", 1, kMaxPixels, png.scale) ||
        !intArgument(values[8], "border", 0, kMaxPixels, png.border) ||
        !readPngOptions(values[9], values[10], png.colours, png.pixelsPerMetre) ||
        !intArgument(values[11], "max_side", 1, kMaxPixels, png.maxSide))
        return nullptr;
    try {
        std::vector<SymbolOrder> orders;
        if (!readOrders(values[0], values[1], request, orders)) return nullptr;
        return resultsInOrder(module, orders, values[0], threads, &png);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace quillbank::aztec::binding
