// Symbols one at a time: make (from message bytes), build (from a given
// stream), rune; and what the package asks of the shapes (capacity,
// stuffed_count).  Every symbol comes from newSymbol; the work runs with
// the GIL released, over the binding's own copy of the message or one
// that cannot change.
#include "_aztec.hpp"  // first: Python.h

#include <structmember.h>  // T_PYSSIZET, READONLY: Python.h has them from 3.12 only

#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "_aztec_arguments.hpp"
#include "_aztec_make.hpp"

namespace quillbank::aztec::binding {

// ---------------------------------------------------------------------------
// Reading a make order: the options a make call and a batch share.

// Reader initialisation rides in the mode message, which has room for it
// in compact symbols of 1 layer and full ones of up to 22 layers.
bool readShapeOptions(PyObject* compact, PyObject* layers, PyObject* ecPercent, PyObject* readerInit,
                      Options& options) {
    if (!shapeArguments(compact, layers, options) || !intArgument(ecPercent, "ec_percent", 0, 99, options.ecPercent) ||
        !boolArgument(readerInit, "reader_init", options.readerInit))
        return false;
    if (options.readerInit && options.layers && *options.layers > (options.compact.value_or(false) ? 1 : 22)) {
        PyErr_SetString(PyExc_ValueError,
                        "reader initialisation needs a compact symbol of 1 layer or a full one of up to 22 layers");
        return false;
    }
    return true;
}

bool readLeadingEci(PyObject* eciObject, Options& options) {
    if (!eciArgument(eciObject, options.eci)) return false;
    if (options.eci && !options.flags.empty()) {
        PyErr_SetString(PyExc_ValueError, "with flags, the ECI designator goes among them (position 0)");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// What a symbol was made from, for verify(), where the caller does not say.

// The options' flags as ((position, ECI number or None), ...), the
// leading ECI designator first: a new reference, or NULL.
PyObject* flagTuple(const Options& options) {
    const std::size_t leading = options.eci ? 1 : 0;
    PyObject* flags = PyTuple_New(static_cast<Py_ssize_t>(leading + options.flags.size()));
    if (flags == nullptr) return nullptr;
    for (std::size_t i = 0; i < leading + options.flags.size(); ++i) {
        const Flag flag = i < leading ? Flag::eciAt(0, *options.eci) : options.flags[i - leading];
        PyObject* pair = flag.eci ? Py_BuildValue("(nk)", static_cast<Py_ssize_t>(flag.position),
                                                  static_cast<unsigned long>(*flag.eci))
                                  : Py_BuildValue("(nO)", static_cast<Py_ssize_t>(flag.position), Py_None);
        if (pair == nullptr) {
            Py_DECREF(flags);
            return nullptr;
        }
        PyTuple_SET_ITEM(flags, static_cast<Py_ssize_t>(i), pair);  // steals pair
    }
    return flags;
}

// (message bytes, flags, reader_init): a new reference, or NULL.
PyObject* flaggedMadeFrom(PyObject* message, const std::uint8_t* data, std::size_t length, const Options& options) {
    PyObject* flags = flagTuple(options);
    if (flags == nullptr) return nullptr;
    PyObject* bytes = PyBytes_CheckExact(message)
                          ? newReference(message)
                          : PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length));
    PyObject* made = bytes == nullptr ? nullptr : PyTuple_Pack(3, bytes, flags, options.readerInit ? Py_True : Py_False);
    Py_XDECREF(bytes);
    Py_DECREF(flags);
    return made;
}

PyObject* defaultMadeFrom(PyObject* message, const std::uint8_t* data, std::size_t length, const Options& options) {
    if (options.eci || !options.flags.empty() || options.readerInit || options.headerInMessage)
        return flaggedMadeFrom(message, data, length, options);
    // The caller's message itself where verify reads it as these bytes.
    if (PyBytes_CheckExact(message) || (PyUnicode_CheckExact(message) && PyUnicode_IS_ASCII(message)))
        return newReference(message);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(length));
}

// The symbol's ECI number: the first ECI designator's, None without one.
PyObject* firstEci(const Options& options) {
    if (options.eci) return PyLong_FromUnsignedLong(*options.eci);
    for (const Flag& flag : options.flags)
        if (flag.eci) return PyLong_FromUnsignedLong(*flag.eci);
    return newReference(Py_None);
}

PyObject* madeSymbol(PyTypeObject* type, const Symbol& made, PyObject* message, const std::uint8_t* data,
                     std::size_t length, const Options& options, PyObject* sequence, PyObject* madeFrom) {
    SymbolLabels labels;
    labels.sequence = sequence == nullptr ? Py_None : sequence;
    PyObject* eci = firstEci(options);
    PyObject* from = madeFrom != nullptr ? newReference(madeFrom) : defaultMadeFrom(message, data, length, options);
    PyObject* symbol = nullptr;
    if (eci != nullptr && from != nullptr) {
        labels.eci = eci;
        labels.madeFrom = from;
        symbol = newSymbol(type, made, labels);
    }
    Py_XDECREF(eci);
    Py_XDECREF(from);
    return symbol;
}

// ---------------------------------------------------------------------------
// make(message, *, ec_percent=23, plain=False, eci=None, flags=None,
//      structured_append=False, compact=None, layers=None,
//      reader_init=False, sequence=None, made_from=None)

// Whether make(plain=True) takes the message and ec_percent (nullptr: not
// given) as they are: bytes or ASCII text of one byte at least, and an int
// of 0 to 99.  Anything else is the package's to convert or refuse.
bool plainOrder(PyObject* message, PyObject* ecPercent) {
    if (PyBytes_CheckExact(message)) {
        if (PyBytes_GET_SIZE(message) == 0) return false;
    } else if (!PyUnicode_CheckExact(message) || !PyUnicode_IS_ASCII(message) || PyUnicode_GET_LENGTH(message) == 0) {
        return false;
    }
    if (ecPercent == nullptr) return true;
    if (!PyLong_CheckExact(ecPercent)) return false;
    const long value = PyLong_AsLong(ecPercent);  // -1 with OverflowError set for a huge int
    if (value == -1 && PyErr_Occurred()) PyErr_Clear();
    return value >= 0 && value <= 99;
}

// make's work on its arguments, in the order of kMakeNames (nullptr where
// not given; plain already dealt with).  A new reference, or NULL.
PyObject* makeOf(ModuleState* state, PyObject* const* values) {
    try {
        Options options;
        MessageBytes message;  // a str's or bytes' own, or our copy: unchanged while the GIL is released
        if (!readShapeOptions(values[6], values[7], values[1], values[8], options) ||
            !boolArgument(values[5], "structured_append", options.headerInMessage) ||
            (values[4] != nullptr && values[4] != Py_None && parseFlags(values[4], options.flags) < 0) ||
            !readLeadingEci(values[3], options) || message.acquire(values[0]) < 0)
            return nullptr;
        std::optional<Symbol> made;
        // No symbol holds it: None, for the package to word the refusal.
        if (withoutGil([&] { made = makeIfFits(message.data(), message.size(), options); }) != 0) return nullptr;
        if (!made) return newReference(Py_None);
        return madeSymbol(state->symbolClass, *made, values[0], message.data(), message.size(), options, values[9],
                          values[10]);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* make(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ModuleState* state = moduleState(module);
    PyObject* values[kMakeNameCount];
    if (!parseArguments("make", args, nargs, kwnames, kMakeNames, 1, 1, values, state->makeNames)) return nullptr;
    bool plain = false;
    if (!boolArgument(values[2], "plain", plain)) return nullptr;
    if (plain && !plainOrder(values[0], values[1])) return newReference(Py_None);
    return makeOf(state, values);
}

// ---------------------------------------------------------------------------
// MakeFront(make, refused): the package's make() as it is called, which
// makes the common case itself: one message, bytes or ASCII text, with at
// most ec_percent (an int of 0 to 99), as make(plain=True) takes it.  A
// call of the common case that no symbol holds goes to refused(message,
// ec_percent), which words the refusal; every other call goes to make as
// it came.  A Python function's keyword-only defaults are looked up by name
// at every call, and a frame made: the front spares the common case both.

namespace {

struct FrontObject {
    PyObject_HEAD
    PyObject* make;     // the package's make
    PyObject* refused;  // refused(message, ec_percent)
    PyObject* module;   // _aztec, whose state holds the symbol class and the names
    PyObject* dict;     // __name__, __doc__, __wrapped__ ... (functools.update_wrapper's)
    vectorcallfunc vectorcall;
};

FrontObject* asFront(PyObject* object) { return reinterpret_cast<FrontObject*>(object); }

PyObject* frontCall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FrontObject* front = asFront(self);
    ModuleState* state = moduleState(front->module);
    if (PyVectorcall_NARGS(nargsf) == 1) {
        PyObject* ecPercent = nullptr;
        bool common = kwnames == nullptr;
        if (!common && PyTuple_GET_SIZE(kwnames) == 1) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, 0);  // borrowed
            common = name == state->makeNames[1] || PyUnicode_CompareWithASCIIString(name, kMakeNames[1]) == 0;
            ecPercent = args[1];
        }
        if (common && plainOrder(args[0], ecPercent)) {
            PyObject* values[kMakeNameCount] = {args[0], ecPercent};  // the rest nullptr: not given
            PyObject* made = makeOf(state, values);
            if (made != Py_None) return made;  // the symbol, or NULL with the error
            Py_DECREF(made);
            // refused(message, ec_percent), ec_percent where it was given.
            return PyObject_Vectorcall(front->refused, args, ecPercent != nullptr ? 2 : 1, nullptr);
        }
    }
    return PyObject_Vectorcall(front->make, args, nargsf, kwnames);
}

// MakeFront(make, refused)
PyObject* frontNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"make", "refused", nullptr};
    PyObject *make = nullptr, *refused = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:MakeFront", const_cast<char**>(keywords), &make, &refused))
        return nullptr;
    if (!PyCallable_Check(make) || !PyCallable_Check(refused)) {
        PyErr_SetString(PyExc_TypeError, "MakeFront takes two callables: make and refused");
        return nullptr;
    }
    PyObject* module = PyType_GetModule(type);  // borrowed
    if (module == nullptr) return nullptr;
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    FrontObject* front = asFront(object);
    front->make = newReference(make);
    front->refused = newReference(refused);
    front->module = newReference(module);
    front->dict = nullptr;  // made by the first write to __dict__
    front->vectorcall = frontCall;
    return object;
}

int frontTraverse(PyObject* self, visitproc visit, void* arg) {
    FrontObject* front = asFront(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(front->make);
    Py_VISIT(front->refused);
    Py_VISIT(front->module);
    Py_VISIT(front->dict);
    return 0;
}

int frontClear(PyObject* self) {
    FrontObject* front = asFront(self);
    Py_CLEAR(front->make);
    Py_CLEAR(front->refused);
    Py_CLEAR(front->module);
    Py_CLEAR(front->dict);
    return 0;
}

void frontDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    frontClear(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// A function of a class's body binds to the instance; so does the front,
// which makes help() and inspect take it for a function.
PyObject* frontGet(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return newReference(self);
    return PyMethod_New(self, instance);
}

// Pickled by name, as a function is: __qualname__ in __module__.
PyObject* frontReduce(PyObject* self, PyObject*) { return PyObject_GetAttrString(self, "__qualname__"); }

PyMethodDef frontMethods[] = {
    {"__reduce__", frontReduce, METH_NOARGS, "pickles the front by name"},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef frontMembers[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FrontObject, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FrontObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef frontGetSet[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot frontSlots[] = {
    {Py_tp_doc, const_cast<char*>("MakeFront(make, refused)\n--\n\n"
                                  "make() with its common case made in the binding.")},
    {Py_tp_new, reinterpret_cast<void*>(frontNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(frontDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(frontTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(frontClear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(frontGet)},
    {Py_tp_methods, frontMethods},
    {Py_tp_members, frontMembers},
    {Py_tp_getset, frontGetSet},
    {0, nullptr},
};

PyType_Spec frontSpec = {
    "quillbank.aztec._aztec.MakeFront", static_cast<int>(sizeof(FrontObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL, frontSlots,
};

}  // namespace

PyTypeObject* createFrontType(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &frontSpec, nullptr));
}

// The most bits a stream passed in may have: far more than any symbol holds.
constexpr long kMostStreamBits = 0x7FFFFFFFL;

// Whether a packed buffer holds `count` bits.  False with ValueError set.
bool streamInBuffer(int count, const Py_buffer& packed) {
    if (count / 8 + (count % 8 != 0) <= packed.len) return true;  // no product that could overflow
    PyErr_Format(PyExc_ValueError, "%d bits do not fit in %zd bytes", count, packed.len);
    return false;
}

bool readStream(PyObject* packedObject, PyObject* bitCount, BitStream& stream) {
    int count = 0;
    Py_buffer packed;
    if (!intArgument(bitCount, "bit_count", 0, kMostStreamBits, count) ||
        PyObject_GetBuffer(packedObject, &packed, PyBUF_SIMPLE) < 0)
        return false;
    const bool read = streamInBuffer(count, packed);
    if (read) {
        const auto* first = static_cast<const uint8_t*>(packed.buf);
        stream.bytes.assign(first, first + (count + 7) / 8);  // ours: read without the GIL
        stream.bitCount = static_cast<size_t>(count);
    }
    PyBuffer_Release(&packed);
    return read;
}

// ---------------------------------------------------------------------------
// build(packed, bit_count, *, compact=None, layers=None, ec_percent=23,
//       reader_init=False, eci=None, made_from=None): the symbol of a stream
// already made (stream bit k in bit k % 8 of byte k // 8); eci is only the
// symbol's label, the stream carries its designators.

PyObject* build(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"packed", "bit_count", "compact", "layers", "ec_percent",
                                        "reader_init", "eci", "made_from", nullptr};
    PyObject* values[8];
    if (!parseArguments("build", args, nargs, kwnames, names, 2, 2, values)) return nullptr;
    Options options;
    SymbolLabels labels;
    if (!readShapeOptions(values[2], values[3], values[4], values[5], options)) return nullptr;
    if (values[6] != nullptr) labels.eci = values[6];
    if (values[7] != nullptr) labels.madeFrom = values[7];
    try {
        BitStream stream;
        if (!readStream(values[0], values[1], stream)) return nullptr;
        std::optional<Symbol> made;
        const int ended = withoutGil([&] { made = layOut(stream, options); }, ErrorCode::DataOverflow);
        if (ended == 0) return newSymbol(moduleState(module)->symbolClass, *made, labels);
        return ended > 0 ? newReference(Py_None) : nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// rune(value): the Aztec Rune of value (0 to 255).
PyObject* rune(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"value", nullptr};
    PyObject* values[1];
    int value = 0;
    if (!parseArguments("rune", args, nargs, kwnames, names, 1, 1, values) ||
        !intArgument(values[0], "a rune value", 0, 255, value))
        return nullptr;
    try {
        SymbolLabels labels;
        labels.isRune = true;
        labels.madeFrom = values[0];
        return newSymbol(moduleState(module)->symbolClass, aztec::rune(value), labels);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// capacity(compact, layers, ec_percent) -> (size, word_bits, total_words, max_data_words)
PyObject* capacity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"compact", "layers", "ec_percent", nullptr};
    PyObject* values[3];
    bool compact = false;
    int layers = 0, ecPercent = 0;
    if (!parseArguments("capacity", args, nargs, kwnames, names, 3, 3, values) ||
        !boolArgument(values[0], "compact", compact) || !intArgument(values[1], "layers", 1, kMostLayers, layers) ||
        !intArgument(values[2], "ec_percent", 0, 99, ecPercent))
        return nullptr;
    return withGilHeld([&] {
        const Capacity shape = aztec::capacity(compact, layers, ecPercent);
        return Py_BuildValue("(iiii)", shape.size, shape.wordBits, shape.totalWords, shape.maxDataWords);
    });
}

// stuffed_count(packed, bit_count, width) -> the codewords of width bits
// that the stream takes after bit stuffing.
PyObject* stuffedCount(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"packed", "bit_count", "width", nullptr};
    PyObject* values[3];
    int count = 0, width = 0;
    Py_buffer packed;
    if (!parseArguments("stuffed_count", args, nargs, kwnames, names, 3, 3, values) ||
        !intArgument(values[1], "bit_count", 0, kMostStreamBits, count) ||
        !intArgument(values[2], "width", 6, 12, width) || PyObject_GetBuffer(values[0], &packed, PyBUF_SIMPLE) < 0)
        return nullptr;
    PyObject* result = nullptr;
    if (streamInBuffer(count, packed)) {  // else ValueError set
        result = withGilHeld([&] {
            BitStream stream;
            const auto* first = static_cast<const uint8_t*>(packed.buf);
            stream.bytes.assign(first, first + (count + 7) / 8);
            stream.bitCount = static_cast<size_t>(count);
            return PyLong_FromSize_t(stuffedWordCount(stream, width));
        });
    }
    PyBuffer_Release(&packed);
    return result;
}

}  // namespace quillbank::aztec::binding
