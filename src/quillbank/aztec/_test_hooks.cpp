// quillbank.aztec._test_hooks: the core's inner steps, for the tests, the
// benchmarks and the fuzzers only.
//
// Built only with the CMake option QUILLBANK_AZTEC_TEST_HOOKS (the README's
// test command sets it), so the installed package does not carry it.  It
// reaches into the core directly (a product binding goes through the
// public API), and every function still checks its arguments, so that no
// call can crash the interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "bit_stuffing.hpp"
#include "codeword_optimal.hpp"
#include "reed_solomon.hpp"
#include "smallest_symbol.hpp"
#include "stream_arguments.hpp"
#include "symbol_layout.hpp"

namespace az = quillbank::aztec;

namespace {

// Copies a sequence of truthy items into one byte per bit.  False with an
// exception set.
bool readBits(PyObject* sequence, std::vector<uint8_t>& bits) {
    PyObject* fast = PySequence_Fast(sequence, "the bit stream must be a sequence of booleans");
    if (fast == nullptr) return false;
    bool read = true;
    // The size and item are read afresh each time: an item's __bool__ may
    // change a list while it is read.
    for (Py_ssize_t i = 0; read && i < PySequence_Fast_GET_SIZE(fast); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast, i);  // borrowed
        Py_INCREF(item);  // kept alive through its own __bool__
        const int truth = PyObject_IsTrue(item);
        Py_DECREF(item);
        if (truth < 0) read = false;
        else bits.push_back(static_cast<uint8_t>(truth));
    }
    Py_DECREF(fast);
    return read;
}

// Reads a sequence of ints as codewords of `width` bits.  False with an
// exception set.
bool readWords(PyObject* sequence, int width, std::vector<uint16_t>& words) {
    PyObject* fast = PySequence_Fast(sequence, "codewords must be a sequence of ints");
    if (fast == nullptr) return false;
    bool read = true;
    // As in readBits: an item's __index__ may change the list.
    for (Py_ssize_t i = 0; read && i < PySequence_Fast_GET_SIZE(fast); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast, i);  // borrowed
        Py_INCREF(item);
        const long value = PyLong_AsLong(item);
        Py_DECREF(item);
        if (value == -1 && PyErr_Occurred()) {
            read = false;
        } else if (value < 0 || value >= (1L << width)) {
            PyErr_Format(PyExc_ValueError, "codeword %ld does not fit in %d bits", value, width);
            read = false;
        } else {
            words.push_back(static_cast<uint16_t>(value));
        }
    }
    Py_DECREF(fast);
    return read;
}

// A list of ints of any unsigned values: a new reference, or NULL with an
// exception set.
template <typename Number>
PyObject* listOf(const std::vector<Number>& values) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
    for (size_t i = 0; list != nullptr && i < values.size(); ++i) {
        PyObject* value = PyLong_FromUnsignedLong(values[i]);
        if (value == nullptr) Py_CLEAR(list);
        else PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);  // steals value
    }
    return list;
}

const az::GaloisField* fieldOrRaise(int width) {
    const az::GaloisField* field = az::galoisField(width);
    if (field == nullptr) PyErr_Format(PyExc_ValueError, "no Galois field for %d-bit words", width);
    return field;
}

bool shapeOrRaise(int compact, int layers) {
    if (az::shapeExists(compact != 0, layers)) return true;
    PyErr_Format(PyExc_ValueError, "no %s Aztec symbol has %d layers", compact ? "compact" : "full", layers);
    return false;
}

// Sets the Python exception for what the core raised.  Always NULL.
PyObject* raised() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_SetString(PyExc_ValueError, "message too long");
    } catch (const std::invalid_argument& refused) {
        PyErr_SetString(PyExc_ValueError, refused.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "the core failed");
    }
    return nullptr;
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
        return listOf(az::checkWords(*field, words.data(), words.size(), static_cast<size_t>(checkCount)));
    } catch (...) {
        return raised();
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

PyObject* layerPositions(PyObject*, PyObject* args) {
    int compact, layers;
    if (!PyArg_ParseTuple(args, "pi:layer_positions", &compact, &layers) || !shapeOrRaise(compact, layers))
        return nullptr;
    try {
        return listOf(az::layerModulePositions(az::symbolShape(compact != 0, layers)));
    } catch (...) {
        return raised();
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
        return listOf(az::stuffBits(bits.data(), bits.size(), width));
    } catch (...) {
        return raised();
    }
}

// build(bits, compact, layers, ec_percent, reader_init=False) ->
// (compact, layers, size, data_words, check_words, modules) or None: the
// symbol of a stream given as a sequence of truthy items, compact -1
// either, 0 full, 1 compact and layers 0 for the fewest (the product's
// _aztec.build takes packed streams).
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
        az::AztecMatrix m;
        switch (az::buildSymbol(bits.data(), bits.size(), request, m)) {
            case az::BuildStatus::Ok: break;
            case az::BuildStatus::TooLong: Py_RETURN_NONE;
            default:
                PyErr_SetString(PyExc_ValueError, "no Aztec symbol has that kind, layer count, error correction "
                                                  "and reader initialisation");
                return nullptr;
        }
        return Py_BuildValue("(Oiiiiy#)", m.shape.compact ? Py_True : Py_False, m.shape.layers, m.shape.size,
                             m.dataWords, m.checkWords, reinterpret_cast<const char*>(m.modules.data()),
                             static_cast<Py_ssize_t>(m.modules.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// A copy of the message and its checked layout.  False with an exception set.
bool readSegments(PyObject* data, PyObject* flagSequence, int structuredAppend, std::vector<uint8_t>& message,
                  az::StreamLayout& layout) {
    layout.structuredAppend = structuredAppend != 0;
    if (flagSequence != nullptr && az::binding::parseFlags(flagSequence, layout.flags) < 0) return false;
    az::binding::MessageBytes view;
    if (view.acquire(data) < 0) return false;
    message.assign(view.data(), view.data() + view.size());
    return true;
}

// (packed bytes, bit count, extra) with `format` "(Onn)" or "(OnOi)" for
// the extra values: a new reference, or NULL with an exception set.
template <typename... Extra>
PyObject* streamTuple(const char* format, const az::PackedBits& stream, Extra... extra) {
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(stream.bytes.data()),
                                                static_cast<Py_ssize_t>(stream.bytes.size()));
    if (bytes == nullptr) return nullptr;
    PyObject* result = Py_BuildValue(format, bytes, static_cast<Py_ssize_t>(stream.bitCount), extra...);
    Py_DECREF(bytes);
    return result;
}

PyObject* fewestCodewords(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "width", "flags", "structured_append", "at_most", nullptr};
    PyObject* data;
    int width;
    PyObject* flagSequence = nullptr;
    int structuredAppend = 0;
    Py_ssize_t atMost = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Oi|Opn:fewest_codewords", const_cast<char**>(keywords), &data,
                                     &width, &flagSequence, &structuredAppend, &atMost))
        return nullptr;
    try {
        az::StreamLayout layout;
        std::vector<uint8_t> message;
        if (!readSegments(data, flagSequence, structuredAppend, message, layout)) return nullptr;
        const std::size_t bound = atMost < 0 ? az::kNoCodewordBound : static_cast<std::size_t>(atMost);
        const az::CodewordStream fewest = az::encodeFewestCodewords(message.data(), message.size(), layout, width, bound);
        if (!fewest.found) Py_RETURN_NONE;
        return streamTuple("(Onn)", fewest.stream, static_cast<Py_ssize_t>(fewest.words));
    } catch (...) {
        return raised();
    }
}

PyObject* smallestSymbol(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"data", "flags", "structured_append", "compact", "layers", "ec_percent",
                                     "reader_init", nullptr};
    PyObject* data;
    PyObject* flagSequence = nullptr;
    int structuredAppend = 0;
    int readerInit = 0;
    az::SymbolRequest request;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Opiiip:smallest_symbol", const_cast<char**>(keywords), &data,
                                     &flagSequence, &structuredAppend, &request.compact, &request.layers,
                                     &request.ecPercent, &readerInit))
        return nullptr;
    request.readerInit = readerInit != 0;
    try {
        az::StreamLayout layout;
        std::vector<uint8_t> message;
        if (!readSegments(data, flagSequence, structuredAppend, message, layout)) return nullptr;
        const az::SmallestSymbol chosen = az::chooseSmallestSymbol(message.data(), message.size(), layout, request);
        if (chosen.status == az::BuildStatus::TooLong) Py_RETURN_NONE;
        if (chosen.status != az::BuildStatus::Ok) {
            PyErr_SetString(PyExc_ValueError, "no symbol has that kind, layer count and reader initialisation");
            return nullptr;
        }
        return streamTuple("(OnOi)", chosen.stream, chosen.shape.compact ? Py_True : Py_False, chosen.shape.layers);
    } catch (...) {
        return raised();
    }
}

#define KEYWORDS(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function))

PyMethodDef methods[] = {
    {"build", build, METH_VARARGS,
     "build(bits, compact, layers, ec_percent, reader_init=False) -> (compact, layers, size, data_words, "
     "check_words, modules) or None: the symbol of a stream of booleans; compact -1 either, 0 full, 1 compact; "
     "layers 0 for the fewest"},
    {"check_words", checkWords, METH_VARARGS, "check_words(words, check_count, width) -> list of check words"},
    {"gf_multiply", gfMultiply, METH_VARARGS, "gf_multiply(a, b, width) -> product in GF(2^width)"},
    {"layer_positions", layerPositions, METH_VARARGS,
     "layer_positions(compact, layers) -> y * size + x of the module of each bit of the layers"},
    {"stuffed_words", stuffedWords, METH_VARARGS, "stuffed_words(bits, width) -> list of codewords"},
    {"fewest_codewords", KEYWORDS(fewestCodewords), METH_VARARGS | METH_KEYWORDS,
     "fewest_codewords(data, width, flags=(), structured_append=False, at_most=-1) -> (packed bytes, bit count, "
     "codewords) of a stream whose stuffed codewords of width bits are fewest; None when that is above at_most "
     "(negative: no bound)"},
    {"smallest_symbol", KEYWORDS(smallestSymbol), METH_VARARGS | METH_KEYWORDS,
     "smallest_symbol(data, flags=(), structured_append=False, compact=-1, layers=0, ec_percent=23, "
     "reader_init=False) -> (packed bytes, bit count, compact, layers) of the smallest symbol that holds data, "
     "None when none does"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "quillbank.aztec._test_hooks", "The core's inner steps, for tests (not installed).", 0,
    methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__test_hooks(void) { return PyModuleDef_Init(&moduleDef); }
