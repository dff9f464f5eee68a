// quillbank.aztec._symbol: the binding of the symbol writer's core.
//
// Private to the package: quillbank.aztec.symbol and the writers call it
// with arguments they have already checked, but every function still checks
// its arguments so that no call can crash the interpreter.  Modules travel
// as bytes, one per module, row by row, 1 = dark.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <string>
#include <vector>

#include "bit_stuffing.hpp"
#include "raster.hpp"
#include "reed_solomon.hpp"
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

// (compact, layers, size, data_words, check_words, modules)
PyObject* matrixTuple(const az::AztecMatrix& m) {
    PyObject* modules = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(m.modules.data()),
                                                  static_cast<Py_ssize_t>(m.modules.size()));
    if (modules == nullptr) return nullptr;
    return Py_BuildValue("(NiiiiN)", PyBool_FromLong(m.shape.compact), m.shape.layers, m.shape.size,
                         m.dataWords, m.checkWords, modules);
}

const az::GaloisField* fieldOrRaise(int width) {
    const az::GaloisField* field = az::galoisField(width);
    if (field == nullptr) PyErr_Format(PyExc_ValueError, "no Galois field for %d-bit words", width);
    return field;
}

// Unpacks `count` bits of packed bytes, stream bit k in bit k % 8 of byte
// k / 8 (the encoders' packed form).
bool unpackBits(const Py_buffer& packed, Py_ssize_t count, std::vector<uint8_t>& bits) {
    // count / 8 rather than len * 8: no product that could overflow.
    if (count < 0 || count / 8 + (count % 8 != 0) > packed.len) {
        PyErr_Format(PyExc_ValueError, "%zd bits do not fit in %zd bytes", count, packed.len);
        return false;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(packed.buf);
    bits.resize(static_cast<size_t>(count));
    for (size_t k = 0; k < bits.size(); ++k) bits[k] = (bytes[k / 8] >> (k % 8)) & 1;
    return true;
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

// The symbol of a stream as the tuple build returns, None when it does not fit.
PyObject* layOut(const std::vector<uint8_t>& bits, const az::SymbolRequest& request) {
    az::AztecMatrix matrix;
    az::BuildStatus status = az::BuildStatus::BadRequest;
    maybeWithoutGil(bits.size() > kReleaseGilBits,
                    [&] { status = az::buildSymbol(bits.data(), bits.size(), request, matrix); });
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
    try {
        std::vector<uint8_t> bits;
        if (unpackBits(packed, count, bits)) result = layOut(bits, request);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    PyBuffer_Release(&packed);
    return result;
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

PyObject* pngScanlines(PyObject*, PyObject* args) {
    Py_buffer modules;
    int size, scale, border, darkBit;
    if (!PyArg_ParseTuple(args, "y*iiip:png_scanlines", &modules, &size, &scale, &border, &darkBit)) return nullptr;
    PyObject* result = nullptr;
    // Each factor is bounded before the product is formed, so that no
    // product overflows.
    if (size < 0 || scale < 1 || border < 0 || scale > kMaxPixels || border > kMaxPixels ||
        modules.len != static_cast<Py_ssize_t>(size) * size ||
        (static_cast<long long>(size) + 2LL * border) * scale > kMaxPixels) {
        PyErr_SetString(PyExc_ValueError, "modules, size, scale or border out of range");
    } else {
        try {
            // The GIL is released over a copy: the caller's buffer (a
            // bytearray, say) may change meanwhile.
            const auto* first = static_cast<const uint8_t*>(modules.buf);
            const std::vector<uint8_t> data(first, first + modules.len);
            std::vector<uint8_t> image;
            maybeWithoutGil(true, [&] { image = az::pngScanlines(data.data(), size, scale, border, darkBit != 0); });
            result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(image.data()),
                                               static_cast<Py_ssize_t>(image.size()));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    }
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
            const std::string path = az::svgPath(static_cast<const uint8_t*>(modules.buf), size, border);
            result = PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
        } catch (const std::bad_alloc&) {
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
    {"rune", rune, METH_VARARGS, "rune(value) -> (compact, layers, size, data_words, check_words, modules)"},
    {"capacity", capacity, METH_VARARGS,
     "capacity(compact, layers, ec_percent) -> (size, word_bits, total_words, max_data_words)"},
    {"layer_positions", layerPositions, METH_VARARGS,
     "layer_positions(compact, layers) -> y * size + x of the module of each bit of the layers"},
    {"stuffed_words", stuffedWords, METH_VARARGS, "stuffed_words(bits, width) -> list of codewords"},
    {"check_words", checkWords, METH_VARARGS, "check_words(words, check_count, width) -> list of check words"},
    {"gf_multiply", gfMultiply, METH_VARARGS, "gf_multiply(a, b, width) -> product in GF(2^width)"},
    {"png_scanlines", pngScanlines, METH_VARARGS,
     "png_scanlines(modules, size, scale, border, dark_bit) -> filtered 1-bit PNG rows"},
    {"svg_path", svgPath, METH_VARARGS, "svg_path(modules, size, border) -> SVG path data of the dark modules"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT, "quillbank.aztec._symbol", "The symbol writer's core (private).", 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__symbol(void) { return PyModule_Create(&moduleDef); }
