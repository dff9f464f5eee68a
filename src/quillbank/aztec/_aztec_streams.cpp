// The shortest data streams of messages, as quillbank.aztec.optimal gives
// them: packed least significant bit first, as Encoder.encode packs them.
//   encode(data, eci=None, asBits=False) -> bytes | list[bool]
//   encode_stream(data, eci=None) -> (bytes, bit count)
//   encode_segments(data, flags=(), structured_append=False) -> (bytes, bit count)
//   fitting_start(data, eci=None, *, words, width) -> (bytes, bit count, fitting bytes)
// The message is str (encoded as UTF-8) or any bytes-like object, read by
// MessageBytes; the stream is computed with the GIL released.
#include "_aztec.hpp"  // first: Python.h

#include <cstdint>
#include <new>
#include <vector>

#include "_aztec_arguments.hpp"

namespace quillbank::aztec::binding {
namespace {

PyObject* packedBytes(const BitStream& stream) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream.bytes.data()),
                                     static_cast<Py_ssize_t>(stream.bytes.size()));
}

PyObject* bitList(const BitStream& stream) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(stream.bitCount));
    if (list == nullptr) return nullptr;
    for (std::size_t k = 0; k < stream.bitCount; ++k)
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), newReference(stream.bit(k) ? Py_True : Py_False));
    return list;
}

// (packed bytes, bit count): a new reference, or NULL with an exception set.
PyObject* streamPair(const BitStream& stream) {
    PyObject* bytes = packedBytes(stream);
    if (bytes == nullptr) return nullptr;
    return Py_BuildValue("(Nn)", bytes, static_cast<Py_ssize_t>(stream.bitCount));  // steals bytes
}

// The shortest stream of a message with `options`: 0, or -1 with an
// exception set.
int encodeMessage(PyObject* data, const Options& options, BitStream& stream) {
    MessageBytes message;  // a str's or bytes' own, or our copy: unchanged while the GIL is released
    if (message.acquire(data) < 0) return -1;
    return withoutGil([&] { stream = shortestStream(message.data(), message.size(), options); });
}

// A message with a leading ECI number: 0, or -1 with an exception set.
int encodeWithEci(PyObject* data, PyObject* eciObject, BitStream& stream) {
    Options options;
    if (!eciArgument(eciObject, options.eci)) return -1;
    return encodeMessage(data, options, stream);
}

}  // namespace

PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "eci", "asBits", nullptr};
    PyObject* values[3];
    if (!parseArguments("encode", args, nargs, kwnames, names, 3, 1, values)) return nullptr;
    const int asBits = values[2] == nullptr ? 0 : PyObject_IsTrue(values[2]);
    if (asBits < 0) return nullptr;
    try {
        BitStream stream;
        if (encodeWithEci(values[0], values[1], stream) < 0) return nullptr;
        return asBits ? bitList(stream) : packedBytes(stream);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* encodeStream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "eci", nullptr};
    PyObject* values[2];
    if (!parseArguments("encode_stream", args, nargs, kwnames, names, 2, 1, values)) return nullptr;
    try {
        BitStream stream;
        if (encodeWithEci(values[0], values[1], stream) < 0) return nullptr;
        return streamPair(stream);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* encodeSegments(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "flags", "structured_append", nullptr};
    PyObject* values[3];
    if (!parseArguments("encode_segments", args, nargs, kwnames, names, 3, 1, values)) return nullptr;
    const int structuredAppend = values[2] == nullptr ? 0 : PyObject_IsTrue(values[2]);
    if (structuredAppend < 0) return nullptr;
    try {
        Options options;  // the message starts with the caller's sequence header
        options.headerInMessage = structuredAppend != 0;
        BitStream stream;
        if ((values[1] != nullptr && parseFlags(values[1], options.flags) < 0) ||
            encodeMessage(values[0], options, stream) < 0)
            return nullptr;
        return streamPair(stream);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// The shortest stream of a message too long for the symbols allowed, and
// the bytes of its longest start whose own stream fits `words` codewords of
// `width` bits: the figures of its DataOverflowError from one encoding.
PyObject* fittingStart(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"data", "eci", "words", "width", nullptr};
    PyObject* values[4];
    if (!parseArguments("fitting_start", args, nargs, kwnames, names, 4, 1, values)) return nullptr;
    Options options;
    int words = 0;
    int width = 0;
    if (!eciArgument(values[1], options.eci) || !intArgument(values[2], "words", 0, 1 << 20, words) ||
        !intArgument(values[3], "width", 6, 12, width))
        return nullptr;
    if (values[2] == nullptr || values[3] == nullptr) {
        PyErr_SetString(PyExc_TypeError, "fitting_start() needs words and width");
        return nullptr;
    }
    try {
        MessageBytes message;
        if (message.acquire(values[0]) < 0) return nullptr;
        StreamAndFit found;
        if (withoutGil([&] {
                found = shortestStreamAndFit(message.data(), message.size(), std::size_t(words), width, options);
            }) < 0)
            return nullptr;
        PyObject* bytes = packedBytes(found.stream);
        if (bytes == nullptr) return nullptr;
        return Py_BuildValue("(Nnn)", bytes, static_cast<Py_ssize_t>(found.stream.bitCount),
                             static_cast<Py_ssize_t>(found.fittingBytes));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace quillbank::aztec::binding
