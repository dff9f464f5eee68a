// quillbank.aztec._symbol: the binding of the symbol writer's core.
//
// Private to the package: quillbank.aztec.symbol and the writers call it
// with arguments they have already checked, but every function still checks
// its arguments so that no call can crash the interpreter.  Modules travel
// as bytes, one per module, row by row, 1 = dark.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>  // T_OBJECT_EX and READONLY, in Python.h itself from 3.12
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "bit_stuffing.hpp"
#include "optimal_encoder.hpp"
#include "raster.hpp"
#include "reed_solomon.hpp"
#include "smallest_symbol.hpp"
#include "stream_arguments.hpp"
#include "symbol_layout.hpp"

namespace az = quillbank::aztec;

namespace {

// Streams longer than this are laid out with the GIL released: every
// non-empty one, so that make() on callers' threads (make_many) runs in
// parallel.  The bits are the call's own copy.
constexpr size_t kReleaseGilBits = 0;

// The widest picture, and the widest border, in pixels or modules.
constexpr int kMaxPixels = 1000000;

// Copies a sequence of truthy items (the encoder's list of booleans) into
// one byte per bit.  False with an exception set on failure.
bool readBits(PyObject* sequence, std::vector<uint8_t>& bits) {
    PyObject* fast = PySequence_Fast(sequence, "the bit stream must be a sequence of booleans");
    if (fast == nullptr) return false;
    bits.clear();
    bits.reserve(static_cast<size_t>(PySequence_Fast_GET_SIZE(fast)));
    // The size and item are read afresh each time: an item's __bool__ may
    // change a list while it is read.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast, i);  // borrowed
        if (item == Py_True || item == Py_False) {
            bits.push_back(item == Py_True ? 1 : 0);
            continue;
        }
        Py_INCREF(item);  // kept alive through its own __bool__
        const int truth = PyObject_IsTrue(item);
        Py_DECREF(item);
        if (truth < 0) {
            Py_DECREF(fast);
            return false;
        }
        bits.push_back(static_cast<uint8_t>(truth));
    }
    Py_DECREF(fast);
    return true;
}

// Reads a sequence of ints as codewords of `width` bits.
bool readWords(PyObject* sequence, int width, std::vector<uint16_t>& words) {
    PyObject* fast = PySequence_Fast(sequence, "codewords must be a sequence of ints");
    if (fast == nullptr) return false;
    words.clear();
    // As in readBits: an item's __index__ may change the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fast); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast, i);  // borrowed
        Py_INCREF(item);
        const long value = PyLong_AsLong(item);
        Py_DECREF(item);
        if (value == -1 && PyErr_Occurred()) {
            Py_DECREF(fast);
            return false;
        }
        if (value < 0 || value >= (1L << width)) {
            Py_DECREF(fast);
            PyErr_Format(PyExc_ValueError, "codeword %ld does not fit in %d bits", value, width);
            return false;
        }
        words.push_back(static_cast<uint16_t>(value));
    }
    Py_DECREF(fast);
    return true;
}

PyObject* listOfWords(const std::vector<uint16_t>& words) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(words.size()));
    if (list == nullptr) return nullptr;
    for (size_t i = 0; i < words.size(); ++i) {
        PyObject* value = PyLong_FromLong(words[i]);
        if (value == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);  // steals value
    }
    return list;
}

// (compact, layers, size, data_words, check_words, modules): a new
// reference, or NULL with an exception set.  Filled item by item, since a
// format string would be parsed again on every symbol.
PyObject* matrixTuple(const az::AztecMatrix& m) {
    PyObject* tuple = PyTuple_New(6);
    if (tuple == nullptr) return nullptr;
    PyObject* compact = m.shape.compact ? Py_True : Py_False;
    Py_INCREF(compact);
    PyTuple_SET_ITEM(tuple, 0, compact);  // each SET_ITEM steals its new reference
    const int numbers[4] = {m.shape.layers, m.shape.size, m.dataWords, m.checkWords};
    for (Py_ssize_t i = 0; i < 4; ++i) {
        PyObject* number = PyLong_FromLong(numbers[i]);
        if (number == nullptr) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, i + 1, number);
    }
    PyObject* modules = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(m.modules.data()),
                                                  static_cast<Py_ssize_t>(m.modules.size()));
    if (modules == nullptr) {
        Py_DECREF(tuple);
        return nullptr;
    }
    PyTuple_SET_ITEM(tuple, 5, modules);
    return tuple;
}

const az::GaloisField* fieldOrRaise(int width) {
    const az::GaloisField* field = az::galoisField(width);
    if (field == nullptr) PyErr_Format(PyExc_ValueError, "no Galois field for %d-bit words", width);
    return field;
}

// Runs `work` with the GIL released where `release` is true.  A C++
// exception may not cross the released section: it is caught there and
// thrown again once the GIL is back.
template <typename Work>
void maybeWithoutGil(bool release, Work work) {
    if (!release) {
        work();
        return;
    }
    bool outOfMemory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (const std::bad_alloc&) {
        outOfMemory = true;
    }
    Py_END_ALLOW_THREADS
    if (outOfMemory) throw std::bad_alloc();
}

// The tuple build returns for a build's status and matrix: None when the
// stream does not fit, NULL with ValueError for a request no symbol meets.
PyObject* builtOrNone(az::BuildStatus status, const az::AztecMatrix& matrix) {
    switch (status) {
        case az::BuildStatus::Ok:
            return matrixTuple(matrix);
        case az::BuildStatus::TooLong:
            Py_RETURN_NONE;
        case az::BuildStatus::NoReaderInit:
            PyErr_SetString(PyExc_ValueError,
                            "reader initialisation needs a compact symbol of 1 layer or a full one of up to 22 layers");
            return nullptr;
        case az::BuildStatus::BadRequest:
            break;
    }
    PyErr_SetString(PyExc_ValueError, "no Aztec symbol has that kind, layer count and error correction");
    return nullptr;
}

// The symbol of a stream as the tuple build returns, None when it does not fit.
PyObject* layOut(const std::vector<uint8_t>& bits, const az::SymbolRequest& request) {
    az::AztecMatrix matrix;
    az::BuildStatus status = az::BuildStatus::BadRequest;
    maybeWithoutGil(bits.size() > kReleaseGilBits,
                    [&] { status = az::buildSymbol(bits.data(), bits.size(), request, matrix); });
    return builtOrNone(status, matrix);
}

PyObject* build(PyObject*, PyObject* args) {
    PyObject* sequence;
    az::SymbolRequest request;
    int readerInit = 0;
    if (!PyArg_ParseTuple(args, "Oiii|p:build", &sequence, &request.compact, &request.layers, &request.ecPercent,
                          &readerInit))
        return nullptr;
    request.readerInit = readerInit != 0;
    try {
        std::vector<uint8_t> bits;
        if (!readBits(sequence, bits)) return nullptr;
        return layOut(bits, request);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* buildPacked(PyObject*, PyObject* args) {
    Py_buffer packed;
    Py_ssize_t count;
    az::SymbolRequest request;
    int readerInit = 0;
    if (!PyArg_ParseTuple(args, "y*niii|p:build_packed", &packed, &count, &request.compact, &request.layers,
                          &request.ecPercent, &readerInit))
        return nullptr;
    request.readerInit = readerInit != 0;
    PyObject* result = nullptr;
    // count / 8 rather than len * 8: no product that could overflow.
    if (count < 0 || count / 8 + (count % 8 != 0) > packed.len) {
        PyErr_Format(PyExc_ValueError, "%zd bits do not fit in %zd bytes", count, packed.len);
    } else {
        try {
            // The GIL is released over a copy, as in png.
            const auto* first = static_cast<const uint8_t*>(packed.buf);
            const std::vector<uint8_t> stream(first, first + (count + 7) / 8);
            az::AztecMatrix matrix;
            az::BuildStatus status = az::BuildStatus::BadRequest;
            maybeWithoutGil(true, [&] {
                status = az::buildSymbolPacked(stream.data(), static_cast<size_t>(count), request, matrix);
            });
            result = builtOrNone(status, matrix);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    }
    PyBuffer_Release(&packed);
    return result;
}

// ---------------------------------------------------------------------------
// make: from message bytes to the symbol's modules in one call, the
// stream, check words and layout all computed with the GIL released.

// What one symbol is made from: the binding's own copy of everything, so
// that the work needs no Python object.
struct SymbolOrder {
    std::vector<uint8_t> message;
    az::StreamLayout layout;  // the leading ECI designator, if any, is its first flag
    az::SymbolRequest request;
};

// How the work without the GIL ended; the exceptions of encodeOptimal
// cannot cross Py_BEGIN_ALLOW_THREADS.
enum class Outcome { Done, NoMemory, TooLong, Failed };

Outcome makeSymbol(const SymbolOrder& order, az::BuildStatus& status, az::AztecMatrix& matrix) {
    try {
        // The smallest symbol that holds the message: usually the one the
        // shortest stream needs, but a longer stream that stuffs into fewer
        // codewords can fit a smaller one.
        status = az::buildSmallestSymbol(order.message.data(), order.message.size(), order.layout, order.request,
                                         matrix);
        return Outcome::Done;
    } catch (const std::bad_alloc&) {
        return Outcome::NoMemory;
    } catch (const std::length_error&) {
        return Outcome::TooLong;
    } catch (...) {
        return Outcome::Failed;
    }
}

// The result of makeSymbol as Python sees it: the tuple, None, or NULL
// with an exception set.
PyObject* madeOrError(Outcome outcome, az::BuildStatus status, const az::AztecMatrix& matrix) {
    switch (outcome) {
        case Outcome::Done:
            return builtOrNone(status, matrix);
        case Outcome::NoMemory:
            return PyErr_NoMemory();
        case Outcome::TooLong:
            PyErr_SetString(PyExc_ValueError, "message too long");
            return nullptr;
        case Outcome::Failed:
            break;
    }
    PyErr_SetString(PyExc_RuntimeError, "the symbol could not be made");
    return nullptr;
}

// An exact int (not bool) argument in low..high.  False with TypeError or
// ValueError set.
bool intArgument(PyObject* object, const char* name, long low, long high, int& value) {
    if (!PyLong_Check(object) || PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(object)->tp_name);
        return false;
    }
    const long number = PyLong_AsLong(object);
    if (number == -1 && PyErr_Occurred()) return false;
    if (number < low || number > high) {
        PyErr_Format(PyExc_ValueError, "%s is %ld to %ld, not %ld", name, low, high, number);
        return false;
    }
    value = static_cast<int>(number);
    return true;
}

// Reads the options shared by make and make_list: eci, kind, layers,
// ec_percent, reader_init, flags, structured_append (args[0] to [6]).
// False with an exception set.
bool readOptions(PyObject* const* args, SymbolOrder& order) {
    std::optional<uint32_t> eci;
    int readerInit, structuredAppend;
    if (az::binding::parseEci(args[0], eci) < 0 || !intArgument(args[1], "kind", -1, 1, order.request.compact) ||
        !intArgument(args[2], "layers", 0, az::kMaxFullLayers, order.request.layers) ||
        !intArgument(args[3], "ec_percent", 0, 99, order.request.ecPercent) ||
        (readerInit = PyObject_IsTrue(args[4])) < 0 ||
        (args[5] != Py_None && az::binding::parseFlags(args[5], order.layout.flags) < 0) ||
        (structuredAppend = PyObject_IsTrue(args[6])) < 0)
        return false;
    order.request.readerInit = readerInit != 0;
    order.layout.structuredAppend = structuredAppend != 0;
    if (eci) {
        if (*eci > az::kMaxEciNumber) {
            PyErr_SetString(PyExc_ValueError, "ECI numbers are 0 to 999999");
            return false;
        }
        if (!order.layout.flags.empty()) {
            PyErr_SetString(PyExc_ValueError, "with flags, the ECI designator goes among them (position 0)");
            return false;
        }
        order.layout.flags.push_back(az::StreamFlag::eciDesignator(0, *eci));
    }
    return true;
}

// Copies the message's bytes into the order, checking the flags' positions
// against it.  False with an exception set.
bool readMessage(PyObject* data, SymbolOrder& order) {
    az::binding::MessageBytes view;
    if (view.acquire(data) < 0) return false;
    order.message.assign(view.data(), view.data() + view.size());
    if (!order.layout.flags.empty() && order.layout.flags.back().position > order.message.size()) {
        PyErr_Format(PyExc_ValueError, "flag position %zu is past the end of the %zu-byte message",
                     order.layout.flags.back().position, order.message.size());
        return false;
    }
    return true;
}

constexpr Py_ssize_t kOptionCount = 7;

PyObject* newSymbol(const az::AztecMatrix& m);

// The symbol of an order, made with the GIL released: make's tuple, or
// with `filled` an object of the symbol class filled in (newSymbol); None
// where it does not fit, NULL with an exception set on failure.
PyObject* makeWithoutGil(const SymbolOrder& order, bool filled) {
    az::AztecMatrix matrix;
    az::BuildStatus status = az::BuildStatus::BadRequest;
    Outcome outcome;
    Py_BEGIN_ALLOW_THREADS
    outcome = makeSymbol(order, status, matrix);
    Py_END_ALLOW_THREADS
    if (filled && outcome == Outcome::Done && status == az::BuildStatus::Ok) return newSymbol(matrix);
    return madeOrError(outcome, status, matrix);
}

PyObject* make(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1 + kOptionCount) {
        PyErr_Format(PyExc_TypeError, "make takes %zd arguments (%zd given)", 1 + kOptionCount, nargs);
        return nullptr;
    }
    try {
        SymbolOrder order;
        if (!readOptions(args + 1, order) || !readMessage(args[0], order)) return nullptr;
        return makeWithoutGil(order, false);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// ---------------------------------------------------------------------------
// make_plain: make()'s common case, a message with no option but
// ec_percent, in one call that returns the AztecSymbol itself.  Its fixed
// cost is most of a short message's: the symbol is filled in here, slot by
// slot, rather than through a tuple and the class's __init__.

// The slots make_plain fills, in this order.  AztecSymbol.__init__ sets
// the same ones; a test compares the two ways.
constexpr const char* kSymbolSlots[] = {"compact", "layers", "size", "data_words", "check_words", "_modules",
                                        "eci", "sequence", "is_rune", "_rows"};
constexpr size_t kSymbolSlotCount = sizeof(kSymbolSlots) / sizeof(kSymbolSlots[0]);

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kObjectSlot = Py_T_OBJECT_EX;
constexpr int kReadOnlySlot = Py_READONLY;
#else
constexpr int kObjectSlot = T_OBJECT_EX;
constexpr int kReadOnlySlot = READONLY;
#endif

// A new reference to `object` (Py_NewRef, which 3.9 lacks).
PyObject* newReference(PyObject* object) {
    Py_INCREF(object);
    return object;
}

// What set_symbol_class gave: the class (a strong reference, kept for the
// life of the process), the offset of each of its slots, and the longest
// message make_plain takes.
struct SymbolClass {
    PyTypeObject* type = nullptr;
    Py_ssize_t offsets[kSymbolSlotCount] = {};
    Py_ssize_t mostBytes = 0;
};
SymbolClass symbolClass;

// The offset of `cls`'s own slot `name`.  False with TypeError set when it
// has no such slot (a property, a slot of a base class, none at all).
bool slotOffset(PyTypeObject* cls, const char* name, Py_ssize_t& offset) {
    // Borrowed; a built-in type may have no dictionary of its own.
    PyObject* descriptor = cls->tp_dict == nullptr ? nullptr : PyDict_GetItemString(cls->tp_dict, name);
    bool found = false;
    if (descriptor != nullptr && Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
        const auto* member = reinterpret_cast<PyMemberDescrObject*>(descriptor);
        found = member->d_common.d_type == cls && member->d_member->type == kObjectSlot &&
                !(member->d_member->flags & kReadOnlySlot);
        offset = member->d_member->offset;
    }
    if (!found) PyErr_Format(PyExc_TypeError, "%.200s has no slot %s of its own", cls->tp_name, name);
    return found;
}

// set_symbol_class(cls, most_bytes): the class make_plain fills in, and
// the longest message it makes (longer ones are None, for make()'s general
// way to refuse quickly).
PyObject* setSymbolClass(PyObject*, PyObject* args) {
    PyTypeObject* cls;
    Py_ssize_t mostBytes;
    if (!PyArg_ParseTuple(args, "O!n:set_symbol_class", &PyType_Type, &cls, &mostBytes)) return nullptr;
    SymbolClass found;
    for (size_t i = 0; i < kSymbolSlotCount; ++i)
        if (!slotOffset(cls, kSymbolSlots[i], found.offsets[i])) return nullptr;
    if (mostBytes < 0) {
        PyErr_SetString(PyExc_ValueError, "most_bytes is not negative");
        return nullptr;
    }
    Py_INCREF(cls);
    found.type = cls;
    found.mostBytes = mostBytes;
    PyTypeObject* previous = symbolClass.type;
    symbolClass = found;
    Py_XDECREF(previous);
    Py_RETURN_NONE;
}

// A new symbol of the class set for a made matrix, with no ECI number, no
// sequence and no rows yet: a new reference, or NULL with an exception set.
PyObject* newSymbol(const az::AztecMatrix& m) {
    PyObject* symbol = symbolClass.type->tp_alloc(symbolClass.type, 0);
    if (symbol == nullptr) return nullptr;
    // The slots of a new object are NULL, which its deallocation skips:
    // each takes its value's new reference, and the first value that
    // cannot be made ends the filling.
    size_t filled = 0;
    auto fill = [&](PyObject* value) {
        if (value == nullptr) return false;
        *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(symbol) + symbolClass.offsets[filled++]) = value;
        return true;
    };
    const bool complete =
        fill(PyBool_FromLong(m.shape.compact)) && fill(PyLong_FromLong(m.shape.layers)) &&
        fill(PyLong_FromLong(m.shape.size)) && fill(PyLong_FromLong(m.dataWords)) &&
        fill(PyLong_FromLong(m.checkWords)) &&
        fill(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(m.modules.data()),
                                       static_cast<Py_ssize_t>(m.modules.size()))) &&
        fill(newReference(Py_None)) && fill(newReference(Py_None)) && fill(newReference(Py_False)) &&
        fill(newReference(Py_None));
    if (!complete) Py_CLEAR(symbol);
    return symbol;
}

// The bytes make_plain writes for `data`: those of bytes, or of a str
// whose characters all are below 256 (ISO-8859-1).  False for anything
// else, with no exception set.
bool plainBytes(PyObject* data, const char*& bytes, Py_ssize_t& length) {
    if (PyBytes_CheckExact(data)) {
        bytes = PyBytes_AS_STRING(data);
        length = PyBytes_GET_SIZE(data);
        return true;
    }
    if (!PyUnicode_CheckExact(data)) return false;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(data) < 0) {
        PyErr_Clear();  // make()'s general way meets the same failure and raises it
        return false;
    }
#endif
    if (PyUnicode_KIND(data) != PyUnicode_1BYTE_KIND) return false;
    bytes = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(data));
    length = PyUnicode_GET_LENGTH(data);
    return true;
}

// make_plain(data, ec_percent): the AztecSymbol of bytes or ISO-8859-1
// text with that error correction and no other option, or None where
// make()'s general way must decide (another type, a non-int or out of range
// ec_percent, an empty or too long message, one that does not fit).
PyObject* makePlain(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "make_plain takes 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (symbolClass.type == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "make_plain needs set_symbol_class first");
        return nullptr;
    }
    const char* bytes = nullptr;
    Py_ssize_t length = 0;
    if (!plainBytes(args[0], bytes, length) || length == 0 || length > symbolClass.mostBytes ||
        !PyLong_CheckExact(args[1]))
        Py_RETURN_NONE;
    int overflow;
    const long ecPercent = PyLong_AsLongAndOverflow(args[1], &overflow);
    if (overflow != 0 || ecPercent < 0 || ecPercent > 99) Py_RETURN_NONE;
    try {
        SymbolOrder order;
        order.message.assign(bytes, bytes + length);
        order.request.ecPercent = static_cast<int>(ecPercent);
        return makeWithoutGil(order, true);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// The most threads make_list starts: far more than any machine's cores,
// few enough that a bad argument cannot exhaust the process.
constexpr int kMaxThreads = 256;

// Results made ahead of the caller, who turns them into Python objects in
// order: enough that the helpers go on while the caller is held up (the
// interpreter's garbage collection, which the objects it makes set off, can
// take milliseconds; a helper that runs out of slots sleeps, and waking it
// costs more), few enough that their storage is a fraction of what the
// results themselves take.  The slots are reused order after order.
constexpr size_t kSlotCount = 1024;

// Results the caller lets pile up before it stores them: it makes orders
// itself meanwhile, and takes the GIL back once for the run.
constexpr size_t kStoreRun = 16;

// The result of one order, in the slot of orders i, i + slot count, ...
struct Slot {
    std::atomic<size_t> made{0};  // the index plus one of the order whose result is here
    az::BuildStatus status = az::BuildStatus::BadRequest;
    Outcome outcome = Outcome::Failed;
    az::AztecMatrix matrix;
};

// The orders of one make_list call, shared by the caller and its helpers.
// Each thread takes the next order whose slot is free, makes it and
// publishes it; the caller stores the results in order and frees their
// slots.  An order is taken only when its slot is free, so nobody waits on
// an order it took itself.  The helpers go from one order to the next
// without meeting the others until the call's end: a helper put to sleep
// costs more to wake on a virtual machine than several symbols' work, so
// it sleeps only while every slot waits for the caller.  Touches no Python
// object and lets no exception out.
class OrderStream {
public:
    OrderStream(const std::vector<SymbolOrder>& orders, std::vector<Slot>& slots)
        : orders_(orders), slots_(slots) {}

    // A helper's part: makes orders until every one is taken or stop() is
    // called, waiting for free slots while the caller is behind.
    void work() noexcept {
        for (;;) {
            size_t index;
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

    // The caller's part, without the GIL: makes orders until the kStoreRun
    // results from `first` on are ready, and then until `first` is; waits
    // for it only when no order is left to take.
    void makeUntilReady(size_t first) noexcept {
        const size_t wanted = std::min(first + kStoreRun, orders_.size());
        size_t index;
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

    bool ready(size_t index) const { return slot(index).made.load(std::memory_order_acquire) == index + 1; }
    const Slot& slot(size_t index) const { return slots_[index % slots_.size()]; }

    // Frees the slots of the orders before `count`, whose results the
    // caller has stored.
    void stored(size_t count) noexcept {
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
        return stopped_.load(std::memory_order_relaxed) || next_.load(std::memory_order_relaxed) >= orders_.size();
    }
    bool hasRoom() const {
        return next_.load(std::memory_order_relaxed) < stored_.load(std::memory_order_acquire) + slots_.size();
    }

    // The next order, when there is one and its slot is free.
    bool take(size_t& index) noexcept {
        size_t next = next_.load(std::memory_order_relaxed);
        do {
            if (next >= orders_.size() || next >= stored_.load(std::memory_order_acquire) + slots_.size() ||
                stopped_.load(std::memory_order_relaxed))
                return false;
        } while (!next_.compare_exchange_weak(next, next + 1, std::memory_order_relaxed));
        index = next;
        return true;
    }

    void make(size_t index) noexcept {
        Slot& slot = slots_[index % slots_.size()];
        slot.outcome = makeSymbol(orders_[index], slot.status, slot.matrix);
        slot.made.store(index + 1, std::memory_order_release);
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

    const std::vector<SymbolOrder>& orders_;
    std::vector<Slot>& slots_;
    std::atomic<size_t> next_{0};
    std::atomic<size_t> stored_{0};
    std::atomic<bool> stopped_{false};
    std::atomic<size_t> awaited_{0};       // the index plus one of the result the caller sleeps for
    std::atomic<size_t> roomWaiters_{0};   // helpers asleep until a slot is free
    std::mutex mutex_;
    std::condition_variable changed_;
};

// Threads kept for make_list from one call to the next, so that what each
// keeps for itself (the shortest-stream encoder's learnt transitions, the
// Reed-Solomon tables of recent sizes, its working storage) stays warm: a
// thread started for each call would learn them again every time.  One
// caller at a time runs its orders on them (take() says who, and a call
// made from within another, by its wrap, finds the pool taken and starts
// threads of its own); they sleep on a condition variable between calls.
// The pool is never destroyed: its
// threads end with the process.  A child of fork() has none of its threads,
// so it makes a pool of its own and leaves the parent's untouched.
class HelperPool {
public:
    // The pool of this process, or null when it cannot be made.
    static HelperPool* get() noexcept {
        static HelperPool* pool = nullptr;
        static pid_t owner = 0;
        if (pool == nullptr || owner != getpid()) {  // under the GIL: one caller at a time here
            pool = new (std::nothrow) HelperPool;
            owner = getpid();
        }
        return pool;
    }

    bool take() noexcept { return !taken_.exchange(true, std::memory_order_acquire); }
    void give() noexcept { taken_.store(false, std::memory_order_release); }

    // Runs work.work() on up to `count` kept threads, starting more when
    // there are too few and it can.
    void start(OrderStream& work, size_t count) noexcept {
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
    void serve(size_t index) noexcept {
        size_t seen = 0;
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

    std::atomic<bool> taken_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> threads_;
    OrderStream* job_ = nullptr;
    size_t generation_ = 0;
    size_t asked_ = 0;
    size_t finished_ = 0;
};

// Threads that share a OrderStream with the thread that starts them: the kept
// pool's when this caller has it, otherwise threads of their own.  Joined
// however the starter leaves (an error while they run included).  A thread
// that cannot be started leaves its share to the others.
class Helpers {
public:
    Helpers(OrderStream& work, size_t count, HelperPool* pool) {
        if (count == 0) return;
        if (pool != nullptr) {
            pool_ = pool;
            pool->start(work, count);
            return;
        }
        try {
            threads_.reserve(count);
            while (threads_.size() < count) threads_.emplace_back([&work] { work.work(); });
        } catch (...) {  // std::system_error or bad_alloc: fewer helpers
        }
    }
    ~Helpers() { join(); }
    Helpers(const Helpers&) = delete;
    Helpers& operator=(const Helpers&) = delete;

    void join() {
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

// The kept pool for one make_list call, when no other call is using it.
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

// make_list's item for a stored result: make's tuple, or None where make
// would give None or fail; passed through `wrap` unless that is None.  A
// new reference, or NULL with an exception set.
PyObject* storedItem(const Slot& slot, PyObject* wrap, PyObject* eci) {
    if (slot.outcome == Outcome::NoMemory) return PyErr_NoMemory();
    if (slot.outcome != Outcome::Done || slot.status != az::BuildStatus::Ok) Py_RETURN_NONE;
    // The symbol class filled in directly, as make_plain does, where its
    // __init__ would be given no ECI number.
    if (wrap == reinterpret_cast<PyObject*>(symbolClass.type) && eci == Py_None) return newSymbol(slot.matrix);
    PyObject* built = matrixTuple(slot.matrix);
    if (built == nullptr || wrap == Py_None) return built;
    PyObject* const arguments[3] = {built, eci, Py_False};
    PyObject* item = PyObject_Vectorcall(wrap, arguments, 3, nullptr);
    Py_DECREF(built);
    return item;
}

// Makes every order's symbol into `list` on `threads` threads, this one
// among them: it makes orders too, and stores the results in order as
// they are ready, under the GIL, while the helpers go on without it.
// False with an exception set.
bool makeInOrder(const std::vector<SymbolOrder>& orders, int threads, PyObject* list, PyObject* ecis,
                 PyObject* wrap) try {
    const size_t count = orders.size();
    if (count == 0) return true;
    std::vector<Slot> slots(std::min(count, kSlotCount));
    OrderStream stream(orders, slots);
    const size_t helperCount = std::min(static_cast<size_t>(threads) - 1, count - 1);
    PoolTurn turn(helperCount > 0);
    Helpers helpers(stream, helperCount, turn.pool());
    bool stored = true;
    for (size_t first = 0; stored && first < count;) {
        // Released at every round, even with results waiting: the helpers
        // may keep ahead of this thread for a whole batch, and the
        // interpreter's other threads need the GIL meanwhile.
        Py_BEGIN_ALLOW_THREADS
        stream.makeUntilReady(first);
        Py_END_ALLOW_THREADS
        for (; first < count && stream.ready(first); ++first) {
            PyObject* eci = PyList_GET_ITEM(ecis, static_cast<Py_ssize_t>(first));  // borrowed
            PyObject* item = storedItem(stream.slot(first), wrap, eci);
            if (item == nullptr) {
                stored = false;
                break;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(first), item);  // steals item
        }
        stream.stored(first);
        // Ctrl-C stops the batch here, not only at its end.
        if (stored && PyErr_CheckSignals() < 0) stored = false;
    }
    if (!stored) stream.stop();
    Py_BEGIN_ALLOW_THREADS
    helpers.join();
    Py_END_ALLOW_THREADS
    return stored;
} catch (const std::bad_alloc&) {  // the slots, before any helper starts
    PyErr_NoMemory();
    return false;
}

// make_list(messages, ecis, kind, layers, ec_percent, reader_init, threads=1,
//           wrap=None):
// the symbols of many messages with the options of one make call, made
// without the GIL and spread over `threads` threads.  messages is a list of
// bytes-like objects and ecis a list of as many ECI numbers or None.  An
// item is the tuple, or wrap(tuple, eci, False) when wrap is not None (the
// arguments of AztecSymbol), or None where make would give None or fail
// (the caller makes that one alone to learn why).  Wrapping here lets the
// helpers go on making symbols while this thread wraps the ones made.
PyObject* makeList(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 6 || nargs > 8) {
        PyErr_Format(PyExc_TypeError, "make_list takes 6 to 8 arguments (%zd given)", nargs);
        return nullptr;
    }
    int threads = 1;
    if (nargs >= 7 && !intArgument(args[6], "threads", 1, kMaxThreads, threads)) return nullptr;
    PyObject* wrap = nargs == 8 ? args[7] : Py_None;
    if (wrap != Py_None && !PyCallable_Check(wrap)) {
        PyErr_Format(PyExc_TypeError, "wrap must be callable or None, not %.200s", Py_TYPE(wrap)->tp_name);
        return nullptr;
    }
    if (!PyList_Check(args[0]) || !PyList_Check(args[1]) || PyList_GET_SIZE(args[0]) != PyList_GET_SIZE(args[1])) {
        PyErr_SetString(PyExc_TypeError, "make_list takes a list of messages and a list of as many ECI numbers");
        return nullptr;
    }
    try {
        // Everything is read first, while no Python code can run between
        // the items: each message is copied, so no list or buffer is read
        // without the GIL.
        SymbolOrder options;
        PyObject* const shared[kOptionCount] = {Py_None, args[2], args[3], args[4], args[5], Py_None, Py_False};
        if (!readOptions(shared, options)) return nullptr;
        const Py_ssize_t count = PyList_GET_SIZE(args[0]);
        std::vector<SymbolOrder> orders(static_cast<size_t>(count), options);
        for (Py_ssize_t i = 0; i < count; ++i) {
            SymbolOrder& order = orders[static_cast<size_t>(i)];
            PyObject* eci = PyList_GET_ITEM(args[1], i);  // borrowed
            if (eci != Py_None) {
                PyObject* const one[kOptionCount] = {eci, args[2], args[3], args[4], args[5], Py_None, Py_False};
                if (!readOptions(one, order)) return nullptr;
            }
            if (!readMessage(PyList_GET_ITEM(args[0], i), order)) return nullptr;
        }
        // wrap may run any Python code, the ECI list's owner's included:
        // the numbers it is given are a copy's.
        PyObject* ecis = PyList_GetSlice(args[1], 0, count);
        if (ecis == nullptr) return nullptr;
        PyObject* list = PyList_New(count);  // its items are NULL until stored
        if (list != nullptr && !makeInOrder(orders, threads, list, ecis, wrap)) Py_CLEAR(list);
        Py_DECREF(ecis);
        return list;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* rune(PyObject*, PyObject* args) {
    int value;
    if (!PyArg_ParseTuple(args, "i:rune", &value)) return nullptr;
    try {
        az::AztecMatrix matrix;
        if (!az::buildRune(value, matrix)) {
            PyErr_Format(PyExc_ValueError, "rune values are 0 to 255, not %d", value);
            return nullptr;
        }
        return matrixTuple(matrix);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* capacity(PyObject*, PyObject* args) {
    int compact, layers, ecPercent;
    if (!PyArg_ParseTuple(args, "pii:capacity", &compact, &layers, &ecPercent)) return nullptr;
    if (!az::shapeExists(compact != 0, layers)) {
        PyErr_Format(PyExc_ValueError, "no %s Aztec symbol has %d layers", compact ? "compact" : "full", layers);
        return nullptr;
    }
    // Checked before maxDataWords multiplies it by the codeword count.
    if (ecPercent < 0 || ecPercent > 99) {
        PyErr_Format(PyExc_ValueError, "error correction is 0 to 99 percent, not %d", ecPercent);
        return nullptr;
    }
    const az::SymbolShape shape = az::symbolShape(compact != 0, layers);
    return Py_BuildValue("(iiii)", shape.size, shape.wordBits, shape.totalWords, az::maxDataWords(shape, ecPercent));
}

PyObject* layerPositions(PyObject*, PyObject* args) {
    int compact, layers;
    if (!PyArg_ParseTuple(args, "pi:layer_positions", &compact, &layers)) return nullptr;
    if (!az::shapeExists(compact != 0, layers)) {
        PyErr_Format(PyExc_ValueError, "no %s Aztec symbol has %d layers", compact ? "compact" : "full", layers);
        return nullptr;
    }
    try {
        const std::vector<uint32_t> positions = az::layerModulePositions(az::symbolShape(compact != 0, layers));
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(positions.size()));
        if (list == nullptr) return nullptr;
        for (size_t i = 0; i < positions.size(); ++i) {
            PyObject* value = PyLong_FromUnsignedLong(positions[i]);
            if (value == nullptr) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);  // steals value
        }
        return list;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* stuffedWords(PyObject*, PyObject* args) {
    PyObject* sequence;
    int width;
    if (!PyArg_ParseTuple(args, "Oi:stuffed_words", &sequence, &width)) return nullptr;
    if (width < 2 || width > 16) {
        PyErr_Format(PyExc_ValueError, "codeword width must be 2 to 16 bits, not %d", width);
        return nullptr;
    }
    try {
        std::vector<uint8_t> bits;
        if (!readBits(sequence, bits)) return nullptr;
        return listOfWords(az::stuffBits(bits.data(), bits.size(), width));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* stuffedCount(PyObject*, PyObject* args) {
    Py_buffer packed;
    Py_ssize_t count;
    int width;
    if (!PyArg_ParseTuple(args, "y*ni:stuffed_count", &packed, &count, &width)) return nullptr;
    PyObject* result = nullptr;
    if (width < 2 || width > 16) {
        PyErr_Format(PyExc_ValueError, "codeword width must be 2 to 16 bits, not %d", width);
    } else if (count < 0 || count / 8 + (count % 8 != 0) > packed.len) {
        PyErr_Format(PyExc_ValueError, "%zd bits do not fit in %zd bytes", count, packed.len);
    } else {
        try {
            result = PyLong_FromSize_t(
                az::stuffedPackedWordCount(static_cast<const uint8_t*>(packed.buf), static_cast<size_t>(count), width));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    }
    PyBuffer_Release(&packed);
    return result;
}

PyObject* checkWords(PyObject*, PyObject* args) {
    PyObject* sequence;
    Py_ssize_t checkCount;
    int width;
    if (!PyArg_ParseTuple(args, "Oni:check_words", &sequence, &checkCount, &width)) return nullptr;
    const az::GaloisField* field = fieldOrRaise(width);
    if (field == nullptr) return nullptr;
    try {
        std::vector<uint16_t> words;
        if (!readWords(sequence, width, words)) return nullptr;
        if (checkCount < 0 || static_cast<size_t>(checkCount) > field->order ||
            words.size() > field->order - static_cast<size_t>(checkCount)) {
            PyErr_Format(PyExc_ValueError, "%zd data and %zd check words do not fit a code over GF(2^%d)",
                         static_cast<Py_ssize_t>(words.size()), checkCount, width);
            return nullptr;
        }
        return listOfWords(az::checkWords(*field, words.data(), words.size(), static_cast<size_t>(checkCount)));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* gfMultiply(PyObject*, PyObject* args) {
    int a, b, width;
    if (!PyArg_ParseTuple(args, "iii:gf_multiply", &a, &b, &width)) return nullptr;
    const az::GaloisField* field = fieldOrRaise(width);
    if (field == nullptr) return nullptr;
    if (a < 0 || b < 0 || a > static_cast<int>(field->order) || b > static_cast<int>(field->order)) {
        PyErr_Format(PyExc_ValueError, "elements of GF(2^%d) are 0 to %u", width, field->order);
        return nullptr;
    }
    return PyLong_FromLong(az::gfMultiply(*field, static_cast<uint16_t>(a), static_cast<uint16_t>(b)));
}

// A picture's modules and size options are in range: each factor is
// bounded before the product is formed, so that no product overflows.
// False with ValueError set.
bool pictureInRange(const Py_buffer& modules, int size, int scale, int border) {
    if (size < 0 || scale < 1 || border < 0 || scale > kMaxPixels || border > kMaxPixels ||
        modules.len != static_cast<Py_ssize_t>(size) * size ||
        (static_cast<long long>(size) + 2LL * border) * scale > kMaxPixels) {
        PyErr_SetString(PyExc_ValueError, "modules, size, scale or border out of range");
        return false;
    }
    return true;
}

// Makes `picture` from a copy of the modules with the GIL released (the
// caller's buffer, a bytearray say, may change meanwhile) and returns it as
// bytes: a new reference, or NULL with an exception set.
template <typename Picture>
PyObject* pictureBytes(const Py_buffer& modules, Picture picture) {
    try {
        const auto* first = static_cast<const uint8_t*>(modules.buf);
        const std::vector<uint8_t> data(first, first + modules.len);
        std::vector<uint8_t> bytes;
        maybeWithoutGil(true, [&] { bytes = picture(data.data()); });
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// Reads png's colours: None for black on white, or 8 bytes, the light and
// then the dark colour as RGBA.  False with an exception set.
bool readPngColours(PyObject* object, az::PngColours& colours) {
    if (object == Py_None) return true;
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
    if (object == Py_None) return true;
    int value;
    if (!intArgument(object, "pixels a metre", 0, 0x7FFFFFFFL, value)) return false;
    perMetre = static_cast<uint32_t>(value);
    return true;
}

PyObject* pngFile(PyObject*, PyObject* args) {
    Py_buffer modules;
    int size, scale, border;
    PyObject *colourObject, *perMetreObject;
    if (!PyArg_ParseTuple(args, "y*iiiOO:png", &modules, &size, &scale, &border, &colourObject, &perMetreObject))
        return nullptr;
    PyObject* result = nullptr;
    az::PngColours colours;
    std::optional<uint32_t> perMetre;
    if (pictureInRange(modules, size, scale, border) && readPngColours(colourObject, colours) &&
        readPixelsPerMetre(perMetreObject, perMetre))
        result = pictureBytes(modules, [&](const uint8_t* data) {
            return az::pngFile(data, size, scale, border, colours, perMetre);
        });
    PyBuffer_Release(&modules);
    return result;
}

PyObject* svgPath(PyObject*, PyObject* args) {
    Py_buffer modules;
    int size, border;
    if (!PyArg_ParseTuple(args, "y*ii:svg_path", &modules, &size, &border)) return nullptr;
    PyObject* result = nullptr;
    if (size < 0 || border < 0 || border > kMaxPixels || modules.len != static_cast<Py_ssize_t>(size) * size) {
        PyErr_SetString(PyExc_ValueError, "modules, size or border out of range");
    } else {
        try {
            // ASCII, copied into the str as it is (no decoding); the buffer
            // is kept for the thread's next path.
            thread_local std::vector<char> buffer;
            const size_t length =
                az::writeSvgPath(static_cast<const uint8_t*>(modules.buf), size, border, buffer);
            result = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
            if (result != nullptr && length > 0) std::memcpy(PyUnicode_1BYTE_DATA(result), buffer.data(), length);
        } catch (const std::bad_alloc&) {
            Py_CLEAR(result);
            PyErr_NoMemory();
        }
    }
    PyBuffer_Release(&modules);
    return result;
}

PyMethodDef methods[] = {
    {"build", build, METH_VARARGS,
     "build(bits, compact, layers, ec_percent, reader_init=False) -> (compact, layers, size, data_words, "
     "check_words, modules) or None when no allowed symbol holds the stream.  compact: -1 either, 0 full, "
     "1 compact; layers: 0 fewest.  reader_init sets the reader-initialisation bit and allows only compact "
     "1-layer and full symbols of up to 22 layers."},
    {"build_packed", buildPacked, METH_VARARGS,
     "build_packed(packed, bit_count, compact, layers, ec_percent, reader_init=False): build for a packed stream, "
     "stream bit k in bit k % 8 of byte k // 8"},
    {"make", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(make)), METH_FASTCALL,
     "make(message, eci, kind, layers, ec_percent, reader_init, flags, structured_append) -> (compact, layers, "
     "size, data_words, check_words, modules) or None when no allowed symbol holds the message.  The shortest "
     "stream of the message bytes (ECI designator of eci first, unless None; flags None or as "
     "_optimal.encode_segments takes them, with eci None), laid out as build does, in one call with the GIL "
     "released."},
    {"make_plain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(makePlain)), METH_FASTCALL,
     "make_plain(data, ec_percent) -> an AztecSymbol of the class set_symbol_class set, made as make(data, "
     "ec_percent=ec_percent) makes it, or None where make must decide: data neither bytes nor text of "
     "ISO-8859-1, ec_percent not an int of 0 to 99, a message empty, longer than most_bytes or too long for "
     "any symbol."},
    {"set_symbol_class", setSymbolClass, METH_VARARGS,
     "set_symbol_class(cls, most_bytes): the class make_plain fills in (its __init__ is not called; each slot "
     "that AztecSymbol.__init__ sets is filled in), and the longest message it makes."},
    {"make_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(makeList)), METH_FASTCALL,
     "make_list(messages, ecis, kind, layers, ec_percent, reader_init, threads=1, wrap=None) -> a list of make's "
     "results for each message (bytes-like) with its ECI number (or None), all made with the GIL released on "
     "threads threads (1 to 256), each passed as wrap(result, eci, False) unless wrap is None; None where make "
     "would give None or fail."},
    {"rune", rune, METH_VARARGS, "rune(value) -> (compact, layers, size, data_words, check_words, modules)"},
    {"capacity", capacity, METH_VARARGS,
     "capacity(compact, layers, ec_percent) -> (size, word_bits, total_words, max_data_words)"},
    {"layer_positions", layerPositions, METH_VARARGS,
     "layer_positions(compact, layers) -> y * size + x of the module of each bit of the layers"},
    {"stuffed_words", stuffedWords, METH_VARARGS, "stuffed_words(bits, width) -> list of codewords"},
    {"stuffed_count", stuffedCount, METH_VARARGS,
     "stuffed_count(packed, bit_count, width) -> the number of codewords of a packed stream"},
    {"check_words", checkWords, METH_VARARGS, "check_words(words, check_count, width) -> list of check words"},
    {"gf_multiply", gfMultiply, METH_VARARGS, "gf_multiply(a, b, width) -> product in GF(2^width)"},
    {"png", pngFile, METH_VARARGS,
     "png(modules, size, scale, border, colours, pixels_per_metre) -> a whole PNG file: 1-bit greyscale for "
     "colours None, else a palette of colours' 8 bytes (light RGBA, dark RGBA); a pHYs chunk unless "
     "pixels_per_metre is None"},
    {"svg_path", svgPath, METH_VARARGS, "svg_path(modules, size, border) -> SVG path data of the dark modules"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "quillbank.aztec._symbol", "The symbol writer's core (private).", 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__symbol(void) { return PyModule_Create(&moduleDef); }
