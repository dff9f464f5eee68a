// quillbank.aztec._optimal: the CPython binding of the optimal encoder.
//
// Two functions, both taking the message as str (encoded as UTF-8) or any
// bytes-like object, and an ECI number or None:
//   encode(data, eci=None, asBits=False) -> bytes | list[bool]
//   encode_stream(data, eci=None) -> (bytes, bit count)
// The stream is packed least significant bit first, as Encoder.encode packs
// it.  The GIL is released while the stream is computed.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>

#include "eci_argument.hpp"
#include "optimal_encoder.hpp"

namespace {

using quillbank::aztec::eciFromInt;
using quillbank::aztec::encodeOptimal;
using quillbank::aztec::PackedBits;

// The message's bytes, valid until release().  For a str the bytes are its
// cached UTF-8 form, owned by the (borrowed, caller-held) str itself; a
// bytes-like object is held through a buffer view, or copied into a bytes
// object when its buffer is not contiguous.
class MessageBytes {
public:
    MessageBytes() = default;
    MessageBytes(const MessageBytes&) = delete;
    MessageBytes& operator=(const MessageBytes&) = delete;
    ~MessageBytes() { release(); }

    // 0 on success, -1 with an exception set.
    int acquire(PyObject* data) {
        if (PyUnicode_Check(data)) {
            Py_ssize_t size;
            const char* utf8 = PyUnicode_AsUTF8AndSize(data, &size);
            if (!utf8) return -1;
            bytes_ = reinterpret_cast<const uint8_t*>(utf8);
            size_ = std::size_t(size);
            return 0;
        }
        if (!PyObject_CheckBuffer(data)) {
            PyErr_Format(PyExc_TypeError, "data must be str or a bytes-like object, not %.200s",
                         Py_TYPE(data)->tp_name);
            return -1;
        }
        if (PyObject_GetBuffer(data, &view_, PyBUF_SIMPLE) == 0) {
            hasView_ = true;
            bytes_ = static_cast<const uint8_t*>(view_.buf);
            size_ = std::size_t(view_.len);
            return 0;
        }
        // A strided buffer: copy it into contiguous bytes.
        if (!PyErr_ExceptionMatches(PyExc_BufferError)) return -1;
        PyErr_Clear();
        copy_ = PyBytes_FromObject(data);
        if (!copy_) return -1;
        bytes_ = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(copy_));
        size_ = std::size_t(PyBytes_GET_SIZE(copy_));
        return 0;
    }

    void release() {
        if (hasView_) PyBuffer_Release(&view_);
        hasView_ = false;
        Py_CLEAR(copy_);
    }

    const uint8_t* data() const { return bytes_; }
    std::size_t size() const { return size_; }

private:
    Py_buffer view_{};
    bool hasView_ = false;
    PyObject* copy_ = nullptr;  // owned
    const uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
};

// None, or an int (bool included) in 0 .. 2**32 - 1, refused with the same
// errors as Encoder.encode.  0 on success, -1 with an exception set.
int parseEci(PyObject* object, std::optional<uint32_t>& eci) {
    if (object == Py_None) return 0;
    if (!PyLong_Check(object)) {
        PyErr_Format(PyExc_TypeError, "eci must be an int or None, not %.200s",
                     Py_TYPE(object)->tp_name);
        return -1;
    }
    uint32_t number;
    if (eciFromInt(object, &number) < 0) return -1;
    eci = number;
    return 0;
}

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
    message.release();

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
