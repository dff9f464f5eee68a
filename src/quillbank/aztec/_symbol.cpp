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
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "batch_pool.hpp"
#include "bit_stuffing.hpp"
#include "optimal_encoder.hpp"
#include "raster.hpp"
#include "reed_solomon.hpp"
#include "smallest_symbol.hpp"
#include "stream_arguments.hpp"
#include "symbol_layout.hpp"
#include "symbol_reader.hpp"
#include "thread_cache.hpp"

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

// The bytes make_plain writes for `data`: those of bytes, or of an ASCII
// str (text with a character above 0x7F is marked with an ECI designator,
// which make()'s general way writes).  False for anything else, with no
// exception set.
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
    if (!PyUnicode_IS_ASCII(data)) return false;
    bytes = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(data));
    length = PyUnicode_GET_LENGTH(data);
    return true;
}

// make_plain(data, ec_percent): the AztecSymbol of bytes or ASCII text
// with that error correction and no other option, or None where
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

// The result of one order, in the slot of orders i, i + slot count, ...
struct Slot {
    az::BuildStatus status = az::BuildStatus::BadRequest;
    Outcome outcome = Outcome::Failed;
    az::AztecMatrix matrix;
    std::vector<uint8_t> picture;  // render_list's PNG file of the symbol
};

// render_list's picture options, the same for every symbol of a call.  A
// symbol whose picture would be wider than maxSide pixels gets none (its
// caller makes it alone, to learn why).
struct PngOrder {
    int scale = 1;
    int border = 0;
    az::PngColours colours;
    std::optional<uint32_t> pixelsPerMetre;
    long long maxSide = kMaxPixels;
};

// The PNG file of a symbol made into `slot`, when it was made and fits the
// order's bound; an empty picture otherwise.
void drawInto(Slot& slot, const PngOrder& png) noexcept {
    slot.picture.clear();
    if (slot.outcome != Outcome::Done || slot.status != az::BuildStatus::Ok) return;
    const int size = slot.matrix.shape.size;
    if ((static_cast<long long>(size) + 2LL * png.border) * png.scale > png.maxSide) return;
    try {
        slot.picture = az::pngFile(slot.matrix.modules.data(), size, png.scale, png.border, png.colours,
                                   png.pixelsPerMetre);
    } catch (const std::bad_alloc&) {
        slot.outcome = Outcome::NoMemory;
    } catch (...) {  // none is expected; the caller makes this one alone and learns why
        slot.picture.clear();
    }
}

// make_list's item for a stored result: make's tuple, or None where make
// would give None or fail; passed through `wrap` unless that is None.  A
// new reference, or NULL with an exception set.
PyObject* storedItem(const Slot& slot, PyObject* wrap, PyObject* eci, bool picture) {
    if (slot.outcome == Outcome::NoMemory) return PyErr_NoMemory();
    if (slot.outcome != Outcome::Done || slot.status != az::BuildStatus::Ok) Py_RETURN_NONE;
    if (picture) {  // render_list's item: the PNG file, or None
        if (slot.picture.empty()) Py_RETURN_NONE;
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(slot.picture.data()),
                                         static_cast<Py_ssize_t>(slot.picture.size()));
    }
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

// One make_list call as the core's batch runs it (batch_pool.hpp): the
// orders are made without the GIL on any thread, and stored into `list`
// on the calling thread, which takes the GIL back for each run of them.
struct ListBatch {
    const std::vector<SymbolOrder>& orders;
    std::vector<Slot>& slots;
    PyObject* list;   // borrowed; its items are NULL until stored
    PyObject* ecis;   // borrowed
    PyObject* wrap;   // borrowed
    const PngOrder* png;  // with it, each symbol's picture is drawn by the thread that made it
    PyThreadState* saved = nullptr;  // the caller's thread state while the GIL is released

    static void make(void* context, size_t index) noexcept {
        auto& batch = *static_cast<ListBatch*>(context);
        Slot& slot = batch.slots[index % batch.slots.size()];
        slot.outcome = makeSymbol(batch.orders[index], slot.status, slot.matrix);
        if (batch.png != nullptr) drawInto(slot, *batch.png);
    }

    // Stores the items first to end - 1 under the GIL.  False with an
    // exception set when one cannot be made or Ctrl-C was pressed, which
    // stops the batch here, not only at its end.
    static bool store(void* context, size_t first, size_t end) noexcept {
        auto& batch = *static_cast<ListBatch*>(context);
        PyEval_RestoreThread(batch.saved);
        bool stored = true;
        for (size_t i = first; stored && i < end; ++i) {
            PyObject* eci = PyList_GET_ITEM(batch.ecis, static_cast<Py_ssize_t>(i));  // borrowed
            PyObject* item = storedItem(batch.slots[i % batch.slots.size()], batch.wrap, eci, batch.png != nullptr);
            if (item == nullptr)
                stored = false;
            else
                PyList_SET_ITEM(batch.list, static_cast<Py_ssize_t>(i), item);  // steals item
        }
        if (stored && PyErr_CheckSignals() < 0) stored = false;
        // Released at every run, even with results waiting: the helpers
        // may keep ahead of this thread for a whole batch, and the
        // interpreter's other threads need the GIL meanwhile.
        batch.saved = PyEval_SaveThread();
        return stored;
    }
};

// Makes every order's symbol into `list` on `threads` threads, this one
// among them.  False with an exception set.
bool makeInOrder(const std::vector<SymbolOrder>& orders, int threads, PyObject* list, PyObject* ecis,
                 PyObject* wrap, const PngOrder* png) try {
    std::vector<Slot> slots(std::min(orders.size(), az::kBatchSlots));
    ListBatch batch{orders, slots, list, ecis, wrap, png};
    az::BatchJob job;
    job.count = orders.size();
    job.slotCount = slots.size();
    job.context = &batch;
    job.make = ListBatch::make;
    job.store = ListBatch::store;
    batch.saved = PyEval_SaveThread();
    const az::BatchEnd end = az::runBatch(job, threads);
    PyEval_RestoreThread(batch.saved);
    if (end == az::BatchEnd::NoMemory) PyErr_NoMemory();
    return end == az::BatchEnd::Done;
} catch (const std::bad_alloc&) {  // the slots, before any order is made
    PyErr_NoMemory();
    return false;
}

// The orders of make_list and render_list: messages (a list of bytes-like
// objects) and ecis (a list of as many ECI numbers or None) with kind,
// layers, ec_percent and reader_init, args[0] to [5].  Everything is read
// first, while no Python code can run between the items: each message is
// copied, so no list or buffer is read without the GIL.  False with an
// exception set.
bool readOrders(PyObject* const* args, std::vector<SymbolOrder>& orders) {
    if (!PyList_Check(args[0]) || !PyList_Check(args[1]) || PyList_GET_SIZE(args[0]) != PyList_GET_SIZE(args[1])) {
        PyErr_SetString(PyExc_TypeError, "a list of messages and a list of as many ECI numbers are needed");
        return false;
    }
    SymbolOrder options;
    PyObject* const shared[kOptionCount] = {Py_None, args[2], args[3], args[4], args[5], Py_None, Py_False};
    if (!readOptions(shared, options)) return false;
    const Py_ssize_t count = PyList_GET_SIZE(args[0]);
    orders.assign(static_cast<size_t>(count), options);
    for (Py_ssize_t i = 0; i < count; ++i) {
        SymbolOrder& order = orders[static_cast<size_t>(i)];
        PyObject* eci = PyList_GET_ITEM(args[1], i);  // borrowed
        if (eci != Py_None) {
            PyObject* const one[kOptionCount] = {eci, args[2], args[3], args[4], args[5], Py_None, Py_False};
            if (!readOptions(one, order)) return false;
        }
        if (!readMessage(PyList_GET_ITEM(args[0], i), order)) return false;
    }
    return true;
}

// The list of make_list's or render_list's results for `orders`: a new
// reference, or NULL with an exception set.
PyObject* resultsInOrder(const std::vector<SymbolOrder>& orders, PyObject* ecisArgument, int threads, PyObject* wrap,
                         const PngOrder* png) {
    // wrap may run any Python code, the ECI list's owner's included: the
    // numbers it is given are a copy's.
    const Py_ssize_t count = static_cast<Py_ssize_t>(orders.size());
    PyObject* ecis = PyList_GetSlice(ecisArgument, 0, count);
    if (ecis == nullptr) return nullptr;
    PyObject* list = PyList_New(count);  // its items are NULL until stored
    if (list != nullptr && !makeInOrder(orders, threads, list, ecis, wrap, png)) Py_CLEAR(list);
    Py_DECREF(ecis);
    return list;
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
    // make_many clamps its threads to the core's most; this private call
    // takes no more.
    int threads = 1;
    if (nargs >= 7 && !intArgument(args[6], "threads", 1, az::kMaxBatchThreads, threads)) return nullptr;
    PyObject* wrap = nargs == 8 ? args[7] : Py_None;
    if (wrap != Py_None && !PyCallable_Check(wrap)) {
        PyErr_Format(PyExc_TypeError, "wrap must be callable or None, not %.200s", Py_TYPE(wrap)->tp_name);
        return nullptr;
    }
    try {
        std::vector<SymbolOrder> orders;
        if (!readOrders(args, orders)) return nullptr;
        return resultsInOrder(orders, args[1], threads, wrap, nullptr);
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

// fitting_start(data, eci, words, width) -> (packed, bit_count, fitting):
// the shortest stream of data (after the ECI designator of eci, an int, or
// none for None) and the most bytes from its start whose own shortest
// stream fits `words` codewords of `width` bits: az::encodeWithFittingStart,
// for the error of a message that does not fit.
PyObject* fittingStart(PyObject*, PyObject* args) {
    Py_buffer data;
    PyObject* eciObject;
    Py_ssize_t words;
    int width;
    if (!PyArg_ParseTuple(args, "y*Oni:fitting_start", &data, &eciObject, &words, &width)) return nullptr;
    PyObject* result = nullptr;
    std::optional<uint32_t> eci;
    long number = eciObject == Py_None ? 0 : PyLong_AsLong(eciObject);
    if (number == -1 && PyErr_Occurred()) {
        // a TypeError or OverflowError, set
    } else if (number < 0 || number > 999999) {
        PyErr_Format(PyExc_ValueError, "ECI numbers are 0 to 999999, not %ld", number);
    } else if (words < 0) {
        PyErr_SetString(PyExc_ValueError, "a symbol holds 0 codewords or more");
    } else {
        if (eciObject != Py_None) eci = uint32_t(number);
        try {
            const az::FittingStart found = az::encodeWithFittingStart(
                static_cast<const uint8_t*>(data.buf), std::size_t(data.len), eci, std::size_t(words), width);
            result = Py_BuildValue("(y#nn)", reinterpret_cast<const char*>(found.stream.bytes.data()),
                                   Py_ssize_t(found.stream.bytes.size()), Py_ssize_t(found.stream.bitCount),
                                   Py_ssize_t(found.fitting));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& error) {  // a width or length refused
            PyErr_SetString(PyExc_ValueError, error.what());
        }
    }
    PyBuffer_Release(&data);
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
            az::ThreadCache<std::vector<char>> buffer;
            const size_t length =
                az::writeSvgPath(static_cast<const uint8_t*>(modules.buf), size, border, *buffer);
            result = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
            if (result != nullptr && length > 0) std::memcpy(PyUnicode_1BYTE_DATA(result), buffer->data(), length);
        } catch (const std::bad_alloc&) {
            Py_CLEAR(result);
            PyErr_NoMemory();
        }
    }
    PyBuffer_Release(&modules);
    return result;
}

// render_list(messages, ecis, kind, layers, ec_percent, reader_init, threads,
//             scale, border, colours, pixels_per_metre, max_side):
// make_list's symbols as PNG files (png's settings), each drawn by the
// thread that made it, so that no symbol object is made at all.  An item
// is the file's bytes, or None where make would give None or fail, or the
// picture would be wider than max_side pixels.
PyObject* renderList(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 12) {
        PyErr_Format(PyExc_TypeError, "render_list takes 12 arguments (%zd given)", nargs);
        return nullptr;
    }
    int threads, maxSide;
    PngOrder png;
    if (!intArgument(args[6], "threads", 1, az::kMaxBatchThreads, threads) ||
        !intArgument(args[7], "scale", 1, kMaxPixels, png.scale) ||
        !intArgument(args[8], "border", 0, kMaxPixels, png.border) || !readPngColours(args[9], png.colours) ||
        !readPixelsPerMetre(args[10], png.pixelsPerMetre) ||
        !intArgument(args[11], "max_side", 1, kMaxPixels, maxSide))
        return nullptr;
    png.maxSide = maxSide;
    try {
        std::vector<SymbolOrder> orders;
        if (!readOrders(args, orders)) return nullptr;
        return resultsInOrder(orders, args[1], threads, Py_None, &png);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// ---------------------------------------------------------------------------
// read_modules: the reader's core on a grid of cells, for aztec.read.

// The reason a grid could not be read, as the ValueError's text (the
// package raises it again as AztecError).
void setReadError(az::ReadStatus status, const az::SymbolReading& reading) {
    switch (status) {
        case az::ReadStatus::NoFinder:
            PyErr_SetString(PyExc_ValueError,
                            "no Aztec symbol found: no bullseye finder pattern with its orientation marks");
            break;
        case az::ReadStatus::ModeMessage:
            PyErr_SetString(PyExc_ValueError,
                            "the symbol's mode message is damaged beyond what its check words repair");
            break;
        case az::ReadStatus::OutsideGrid:
            PyErr_Format(PyExc_ValueError,
                         "the mode message describes a symbol of %d modules a side, which reaches outside the "
                         "picture: the symbol is cut off or its mode message is damaged",
                         reading.size);
            break;
        case az::ReadStatus::TooDamaged:
            PyErr_Format(PyExc_ValueError,
                         "the symbol is damaged beyond what its %d check words repair (at most %d wrong or %d "
                         "unreadable codewords); nothing is returned that could not be checked",
                         reading.checkWords, reading.checkWords / 2, reading.checkWords);
            break;
        default:
            PyErr_SetString(PyExc_ValueError,
                            "the symbol's repaired data words are not a well-formed Aztec data stream");
            break;
    }
}

// The ECI designators as ((position, number), ...): a new reference.
PyObject* eciTuple(const az::DecodedStream& stream) {
    PyObject* ecis = PyTuple_New(static_cast<Py_ssize_t>(stream.ecis.size()));
    for (size_t i = 0; ecis != nullptr && i < stream.ecis.size(); ++i) {
        PyObject* pair = Py_BuildValue("(nk)", static_cast<Py_ssize_t>(stream.ecis[i].first),
                                       static_cast<unsigned long>(stream.ecis[i].second));
        if (pair == nullptr) Py_CLEAR(ecis);
        else PyTuple_SET_ITEM(ecis, static_cast<Py_ssize_t>(i), pair);  // steals pair
    }
    return ecis;
}

// (position, count, id or None), or None outside a sequence: a new reference.
PyObject* sequenceOrNone(const az::DecodedStream& stream) {
    if (!stream.inSequence) return newReference(Py_None);
    if (!stream.hasId) return Py_BuildValue("(iiO)", stream.position, stream.count, Py_None);
    return Py_BuildValue("(iis#)", stream.position, stream.count, stream.id.data(),
                         static_cast<Py_ssize_t>(stream.id.size()));
}

// read_modules(cells, width, height): the reading of a grid of cells (one
// byte each, row by row: 0 light, 1 dark, 2 unreadable) as (data, ecis,
// gs1, reader_init, sequence, compact, layers, rune, corrected, size,
// data_words, check_words); ValueError saying why it cannot be read.
PyObject* readModules(PyObject*, PyObject* args) {
    Py_buffer cells;
    int width, height;
    if (!PyArg_ParseTuple(args, "y*ii:read_modules", &cells, &width, &height)) return nullptr;
    PyObject* result = nullptr;
    PyObject* ecis = nullptr;
    PyObject* sequence = nullptr;
    PyObject* rune = nullptr;
    if (width < 1 || height < 1 || width > kMaxPixels || height > kMaxPixels ||
        cells.len != static_cast<Py_ssize_t>(width) * height) {
        PyErr_SetString(PyExc_ValueError, "cells, width or height out of range");
        goto done;
    }
    try {
        az::ModuleGrid grid;
        grid.width = width;
        grid.height = height;
        const auto* first = static_cast<const uint8_t*>(cells.buf);
        grid.cells.assign(first, first + cells.len);  // our copy: the caller's buffer may change meanwhile
        az::SymbolReading reading;
        az::ReadStatus status = az::ReadStatus::NoFinder;
        maybeWithoutGil(true, [&] { status = az::readSymbol(grid, reading); });
        if (status != az::ReadStatus::Ok) {
            setReadError(status, reading);
            goto done;
        }
        const az::DecodedStream& stream = reading.stream;
        ecis = eciTuple(stream);
        sequence = ecis == nullptr ? nullptr : sequenceOrNone(stream);
        rune = reading.rune < 0 ? newReference(Py_None) : PyLong_FromLong(reading.rune);
        if (sequence == nullptr || rune == nullptr) goto done;
        static const char kNothing[1] = {0};  // "y#" makes None of a null pointer: a rune's data is b""
        result = Py_BuildValue("(y#OOOOOiOiiii)",
                               stream.data.empty() ? kNothing : reinterpret_cast<const char*>(stream.data.data()),
                               static_cast<Py_ssize_t>(stream.data.size()), ecis, stream.gs1 ? Py_True : Py_False,
                               reading.readerInit ? Py_True : Py_False, sequence,
                               reading.compact ? Py_True : Py_False, reading.layers, rune, reading.corrected,
                               reading.size, reading.dataWords, reading.checkWords);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
done:
    Py_XDECREF(ecis);
    Py_XDECREF(sequence);
    Py_XDECREF(rune);
    PyBuffer_Release(&cells);
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
     "ec_percent=ec_percent) makes it, or None where make must decide: data neither bytes nor ASCII "
     "text, ec_percent not an int of 0 to 99, a message empty, longer than most_bytes or too long for "
     "any symbol."},
    {"set_symbol_class", setSymbolClass, METH_VARARGS,
     "set_symbol_class(cls, most_bytes): the class make_plain fills in (its __init__ is not called; each slot "
     "that AztecSymbol.__init__ sets is filled in), and the longest message it makes."},
    {"make_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(makeList)), METH_FASTCALL,
     "make_list(messages, ecis, kind, layers, ec_percent, reader_init, threads=1, wrap=None) -> a list of make's "
     "results for each message (bytes-like) with its ECI number (or None), all made with the GIL released on "
     "threads threads (1 to 256), each passed as wrap(result, eci, False) unless wrap is None; None where make "
     "would give None or fail."},
    {"render_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(renderList)), METH_FASTCALL,
     "render_list(messages, ecis, kind, layers, ec_percent, reader_init, threads, scale, border, colours, "
     "pixels_per_metre, max_side) -> list of PNG files (bytes) or None"},
    {"rune", rune, METH_VARARGS, "rune(value) -> (compact, layers, size, data_words, check_words, modules)"},
    {"capacity", capacity, METH_VARARGS,
     "capacity(compact, layers, ec_percent) -> (size, word_bits, total_words, max_data_words)"},
    {"layer_positions", layerPositions, METH_VARARGS,
     "layer_positions(compact, layers) -> y * size + x of the module of each bit of the layers"},
    {"stuffed_words", stuffedWords, METH_VARARGS, "stuffed_words(bits, width) -> list of codewords"},
    {"stuffed_count", stuffedCount, METH_VARARGS,
     "stuffed_count(packed, bit_count, width) -> the number of codewords of a packed stream"},
    {"fitting_start", fittingStart, METH_VARARGS,
     "fitting_start(data, eci, words, width) -> (packed, bit_count, bytes of the longest start that fits)"},
    {"check_words", checkWords, METH_VARARGS, "check_words(words, check_count, width) -> list of check words"},
    {"gf_multiply", gfMultiply, METH_VARARGS, "gf_multiply(a, b, width) -> product in GF(2^width)"},
    {"png", pngFile, METH_VARARGS,
     "png(modules, size, scale, border, colours, pixels_per_metre) -> a whole PNG file: 1-bit greyscale for "
     "colours None, else a palette of colours' 8 bytes (light RGBA, dark RGBA); a pHYs chunk unless "
     "pixels_per_metre is None"},
    {"svg_path", svgPath, METH_VARARGS, "svg_path(modules, size, border) -> SVG path data of the dark modules"},
    {"read_modules", readModules, METH_VARARGS,
     "read_modules(cells, width, height) -> (data, ecis, gs1, reader_init, sequence, compact, layers, rune, "
     "corrected, size, data_words, check_words) of the symbol in a grid of cells (0 light, 1 dark, 2 unreadable); "
     "ValueError saying why it cannot be read"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "quillbank.aztec._symbol", "The symbol writer's core (private).", 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__symbol(void) {
    PyObject* module = PyModule_Create(&moduleDef);  // new reference
    // The most threads a batch runs on: make_many clamps to it.
    if (module != nullptr && PyModule_AddIntConstant(module, "MAX_THREADS", az::kMaxBatchThreads) < 0) Py_CLEAR(module);
    return module;
}
