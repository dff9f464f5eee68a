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
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <vector>

#include "eci.hpp"
#include "optimal_encoder.hpp"
#include "stream_arguments.hpp"

namespace {

using quillbank::aztec::binding::MessageBytes;
using quillbank::aztec::binding::parseEci;
using quillbank::aztec::binding::parseFlags;
using quillbank::aztec::encodeOptimal;
using quillbank::aztec::PackedBits;
using quillbank::aztec::StreamFlag;
using quillbank::aztec::StreamLayout;

// Runs the encoder without the GIL.  0 on success, -1 with an exception set.
int runEncoder(PyObject* dataObject, PyObject* eciObject, PackedBits& stream) {
    std::optional<uint32_t> eci;
    if (parseEci(eciObject, eci) < 0) return -1;
    MessageBytes message;
    if (message.acquire(dataObject) < 0) return -1;

    enum { Ok, NoMemory, TooLong, Failed } outcome = Ok;
    Py_BEGIN_ALLOW_THREADS
    try {
        stream = encodeOptimal(message.data(), message.size(), eci);
    } catch (const std::bad_alloc&) {
        outcome = NoMemory;
    } catch (const std::length_error&) {
        outcome = TooLong;
    } catch (...) {
        outcome = Failed;
    }
    Py_END_ALLOW_THREADS

    switch (outcome) {
        case Ok: return 0;
        case NoMemory: PyErr_NoMemory(); return -1;
        case TooLong: PyErr_SetString(PyExc_ValueError, "message too long"); return -1;
        default: PyErr_SetString(PyExc_RuntimeError, "optimal encoder failed"); return -1;
    }
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
// -1 with an exception set.  (runEncoder can share this once it copies the
// caller's bytes too.)
int encodeWithoutGil(const std::vector<uint8_t>& message, const StreamLayout& layout, PackedBits& stream) {
    enum { Ok, NoMemory, TooLong, Failed } outcome = Ok;
    Py_BEGIN_ALLOW_THREADS
    try {
        stream = encodeOptimal(message.data(), message.size(), layout);
    } catch (const std::bad_alloc&) {
        outcome = NoMemory;
    } catch (const std::length_error&) {
        outcome = TooLong;
    } catch (...) {
        outcome = Failed;
    }
    Py_END_ALLOW_THREADS
    switch (outcome) {
        case Ok: return 0;
        case NoMemory: PyErr_NoMemory(); return -1;
        case TooLong: PyErr_SetString(PyExc_ValueError, "message too long"); return -1;
        default: PyErr_SetString(PyExc_RuntimeError, "optimal encoder failed"); return -1;
    }
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
        layout.structuredAppend = structuredAppend != 0;
        if (flagSequence && parseFlags(flagSequence, layout.flags) < 0) return nullptr;

        // Our own copy of the message: no caller's buffer is read without the GIL.
        std::vector<uint8_t> message;
        {
            MessageBytes view;
            if (view.acquire(data) < 0) return nullptr;
            message.assign(view.data(), view.data() + view.size());
        }
        if (!layout.flags.empty() && layout.flags.back().position > message.size()) {
            PyErr_Format(PyExc_ValueError, "flag position %zu is past the end of the %zu-byte message",
                         layout.flags.back().position, message.size());
            return nullptr;
        }

        PackedBits stream;
        if (encodeWithoutGil(message, layout, stream) < 0) return nullptr;
        return streamPair(stream);
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
