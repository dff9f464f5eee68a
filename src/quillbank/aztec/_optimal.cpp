// quillbank.aztec._optimal: the CPython binding of the optimal encoder.
//
// Three functions, all taking the message as str (encoded as UTF-8) or any
// bytes-like object:
//   encode(data, eci=None, asBits=False) -> bytes | list[bool]
//   encode_stream(data, eci=None) -> (bytes, bit count)
//   encode_segments(data, flags=(), structured_append=False) -> (bytes, bit count)
// The stream is packed least significant bit first, as Encoder.encode packs
// it.  The GIL is released while the stream is computed, over a message the
// binding owns or that cannot change (see MessageBytes).
//
// Two private functions serve the tests: _fewest_codewords (the fewest
// codewords of one width) and _smallest_symbol (the exact choice of the
// smallest symbol, stream and shape).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codeword_optimal.hpp"
#include "eci.hpp"
#include "optimal_encoder.hpp"
#include "smallest_symbol.hpp"
#include "stream_arguments.hpp"

namespace {

using quillbank::aztec::binding::MessageBytes;
using quillbank::aztec::binding::parseEci;
using quillbank::aztec::binding::parseFlags;
using quillbank::aztec::encodeOptimal;
using quillbank::aztec::kMaxEciNumber;
using quillbank::aztec::PackedBits;
using quillbank::aztec::StreamFlag;
using quillbank::aztec::StreamLayout;

// Runs `work` (which reads only storage the binding owns) with the GIL
// released.  0 on success, -1 with an exception set.
template <class Work>
int runWithoutGil(Work&& work) {
    enum { Ok, NoMemory, TooLong, BadArgument, Failed } outcome = Ok;
    std::string reason;  // what a refused argument's exception says
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (const std::bad_alloc&) {
        outcome = NoMemory;
    } catch (const std::length_error&) {
        outcome = TooLong;
    } catch (const std::invalid_argument& refused) {
        outcome = BadArgument;
        try {
            reason = refused.what();
        } catch (const std::bad_alloc&) {
            outcome = NoMemory;
        }
    } catch (...) {
        outcome = Failed;
    }
    Py_END_ALLOW_THREADS
    switch (outcome) {
        case Ok: return 0;
        case NoMemory: PyErr_NoMemory(); return -1;
        case TooLong: PyErr_SetString(PyExc_ValueError, "message too long"); return -1;
        case BadArgument: PyErr_SetString(PyExc_ValueError, reason.c_str()); return -1;
        default: PyErr_SetString(PyExc_RuntimeError, "optimal encoder failed"); return -1;
    }
}

// Sets the package's InvalidOptionError (a ValueError), as make raises it,
// for an ECI number that no designator holds.  The errors module is
// imported on this path alone, so that loading the encoder loads nothing
// else.
void refuseEciNumber(uint32_t number) {
    PyObject* errors = PyImport_ImportModule("quillbank.aztec.errors");  // new reference
    if (!errors) return;
    PyObject* invalidOption = PyObject_GetAttrString(errors, "InvalidOptionError");  // new reference
    Py_DECREF(errors);
    if (!invalidOption) return;
    PyErr_Format(invalidOption, "ECI numbers are 0 to %u, not %u", unsigned(kMaxEciNumber), unsigned(number));
    Py_DECREF(invalidOption);
}

// Runs the encoder without the GIL.  0 on success, -1 with an exception set.
int runEncoder(PyObject* dataObject, PyObject* eciObject, PackedBits& stream) {
    std::optional<uint32_t> eci;
    if (parseEci(eciObject, eci) < 0) return -1;
    if (eci && *eci > kMaxEciNumber) {
        refuseEciNumber(*eci);
        return -1;
    }
    MessageBytes message;
    if (message.acquire(dataObject) < 0) return -1;

    return runWithoutGil([&] { stream = encodeOptimal(message.data(), message.size(), eci); });
}

PyObject* packedBytes(const PackedBits& stream) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream.bytes.data()),
                                     Py_ssize_t(stream.bytes.size()));
}

PyObject* bitList(const PackedBits& stream) {
    PyObject* list = PyList_New(Py_ssize_t(stream.bitCount));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < stream.bitCount; ++k) {
        PyObject* bit = stream.bit(k) ? Py_True : Py_False;
        Py_INCREF(bit);
        PyList_SET_ITEM(list, Py_ssize_t(k), bit);  // steals the new reference
    }
    return list;
}

// (packed bytes, bit count): a new reference, or NULL with an exception set.
PyObject* streamPair(const PackedBits& stream) {
    PyObject* bytes = packedBytes(stream);
    if (!bytes) return nullptr;
    PyObject* count = PyLong_FromSize_t(stream.bitCount);
    if (!count) {
        Py_DECREF(bytes);
        return nullptr;
    }
    PyObject* pair = PyTuple_Pack(2, bytes, count);  // new references to both
    Py_DECREF(bytes);
    Py_DECREF(count);
    return pair;
}

PyObject* encode(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "eci", "asBits", nullptr};
    PyObject* data;
    PyObject* eci = Py_None;
    int asBits = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Op:encode", const_cast<char**>(keywords),
                                     &data, &eci, &asBits))
        return nullptr;
    try {
        PackedBits stream;
        if (runEncoder(data, eci, stream) < 0) return nullptr;
        return asBits ? bitList(stream) : packedBytes(stream);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* encodeStream(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "eci", nullptr};
    PyObject* data;
    PyObject* eci = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:encode_stream",
                                     const_cast<char**>(keywords), &data, &eci))
        return nullptr;
    try {
        PackedBits stream;
        if (runEncoder(data, eci, stream) < 0) return nullptr;
        return streamPair(stream);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// ---------------------------------------------------------------------------
// encode_segments: the message with flags at byte positions.


// Encodes our own copy of a message with the GIL released.  0 on success,
// -1 with an exception set.
int encodeWithoutGil(const std::vector<uint8_t>& message, const StreamLayout& layout, PackedBits& stream) {
    return runWithoutGil([&] { stream = encodeOptimal(message.data(), message.size(), layout); });
}

// Our own copy of the message and its checked layout: no caller's buffer is
// read without the GIL.  0 on success, -1 with an exception set.
int readSegments(PyObject* data, PyObject* flagSequence, int structuredAppend, std::vector<uint8_t>& message,
                 StreamLayout& layout) {
    layout.structuredAppend = structuredAppend != 0;
    if (flagSequence && parseFlags(flagSequence, layout.flags) < 0) return -1;
    {
        MessageBytes view;
        if (view.acquire(data) < 0) return -1;
        message.assign(view.data(), view.data() + view.size());
    }
    if (!layout.flags.empty() && layout.flags.back().position > message.size()) {
        PyErr_Format(PyExc_ValueError, "flag position %zu is past the end of the %zu-byte message",
                     layout.flags.back().position, message.size());
        return -1;
    }
    return 0;
}

PyObject* encodeSegments(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "flags", "structured_append", nullptr};
    PyObject* data;
    PyObject* flagSequence = nullptr;
    int structuredAppend = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Op:encode_segments", const_cast<char**>(keywords),
                                     &data, &flagSequence, &structuredAppend))
        return nullptr;
    try {
        StreamLayout layout;
        std::vector<uint8_t> message;
        if (readSegments(data, flagSequence, structuredAppend, message, layout) < 0) return nullptr;
        PackedBits stream;
        if (encodeWithoutGil(message, layout, stream) < 0) return nullptr;
        return streamPair(stream);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// ---------------------------------------------------------------------------
// Private, for the tests: the codeword-optimal programme and the choice of
// the smallest symbol (the product path reaches them from C++).

PyObject* fewestCodewords(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "width", "flags", "structured_append", "at_most", nullptr};
    PyObject* data;
    int width;
    PyObject* flagSequence = nullptr;
    int structuredAppend = 0;
    Py_ssize_t atMost = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oi|Opn:_fewest_codewords", const_cast<char**>(keywords),
                                     &data, &width, &flagSequence, &structuredAppend, &atMost))
        return nullptr;
    try {
        StreamLayout layout;
        std::vector<uint8_t> message;
        if (readSegments(data, flagSequence, structuredAppend, message, layout) < 0) return nullptr;
        quillbank::aztec::CodewordStream fewest;
        const std::size_t bound = atMost < 0 ? quillbank::aztec::kNoCodewordBound : std::size_t(atMost);
        if (runWithoutGil([&] { fewest = encodeFewestCodewords(message.data(), message.size(), layout, width, bound); }) < 0)
            return nullptr;
        if (!fewest.found) Py_RETURN_NONE;
        PyObject* bytes = packedBytes(fewest.stream);  // new reference
        if (!bytes) return nullptr;
        PyObject* result = Py_BuildValue("(Onn)", bytes, Py_ssize_t(fewest.stream.bitCount), Py_ssize_t(fewest.words));
        Py_DECREF(bytes);
        return result;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* smallestSymbol(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "flags", "structured_append", "compact", "layers", "ec_percent",
                                     "reader_init", nullptr};
    PyObject* data;
    PyObject* flagSequence = nullptr;
    int structuredAppend = 0;
    quillbank::aztec::SymbolRequest request;
    int readerInit = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Opiiip:_smallest_symbol", const_cast<char**>(keywords),
                                     &data, &flagSequence, &structuredAppend, &request.compact, &request.layers,
                                     &request.ecPercent, &readerInit))
        return nullptr;
    request.readerInit = readerInit != 0;
    try {
        StreamLayout layout;
        std::vector<uint8_t> message;
        if (readSegments(data, flagSequence, structuredAppend, message, layout) < 0) return nullptr;
        quillbank::aztec::SmallestSymbol chosen;
        if (runWithoutGil([&] { chosen = chooseSmallestSymbol(message.data(), message.size(), layout, request); }) < 0)
            return nullptr;
        switch (chosen.status) {
            case quillbank::aztec::BuildStatus::Ok: break;
            case quillbank::aztec::BuildStatus::TooLong: Py_RETURN_NONE;
            default: PyErr_SetString(PyExc_ValueError, "no symbol has that kind, layer count and reader initialisation"); return nullptr;
        }
        PyObject* bytes = packedBytes(chosen.stream);  // new reference
        if (!bytes) return nullptr;
        PyObject* result = Py_BuildValue("(OnOi)", bytes, Py_ssize_t(chosen.stream.bitCount),
                                         chosen.shape.compact ? Py_True : Py_False, chosen.shape.layers);
        Py_DECREF(bytes);
        return result;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(encode)),
     METH_VARARGS | METH_KEYWORDS,
     "encode(data, eci=None, asBits=False)\n--\n\n"
     "A shortest data bit stream for data (str as UTF-8, or bytes-like), packed\n"
     "least significant bit first into bytes, or as a list of booleans."},
    {"encode_stream", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(encodeStream)),
     METH_VARARGS | METH_KEYWORDS,
     "encode_stream(data, eci=None)\n--\n\n"
     "A shortest data bit stream for data as (packed bytes, bit count)."},
    {"encode_segments", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(encodeSegments)),
     METH_VARARGS | METH_KEYWORDS,
     "encode_segments(data, flags=(), structured_append=False)\n--\n\n"
     "A shortest data bit stream for data as (packed bytes, bit count), with a\n"
     "flag before the byte at each (position, value) of flags, in order of\n"
     "position: value None is FNC1, an int 0 to 999999 an ECI designator.\n"
     "structured_append starts the stream with M/L U/L."},
    {"_fewest_codewords", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fewestCodewords)),
     METH_VARARGS | METH_KEYWORDS,
     "_fewest_codewords(data, width, flags=(), structured_append=False, at_most=-1)\n--\n\n"
     "Private: (packed bytes, bit count, codewords) of a stream whose stuffed\n"
     "codewords of width bits are fewest; None when that is above at_most\n"
     "(negative: no bound)."},
    {"_smallest_symbol", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(smallestSymbol)),
     METH_VARARGS | METH_KEYWORDS,
     "_smallest_symbol(data, flags=(), structured_append=False, compact=-1, layers=0, ec_percent=23, reader_init=False)\n--\n\n"
     "Private: (packed bytes, bit count, compact, layers) of the smallest symbol\n"
     "that holds data, None when none does."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "quillbank.aztec._optimal",
    "The optimal (shortest-stream) Aztec data encoder.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__optimal(void) { return PyModuleDef_Init(&moduleDef); }
