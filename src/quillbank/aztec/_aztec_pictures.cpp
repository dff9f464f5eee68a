// Pictures the library draws (PNG files, SVG path data) from a symbol's
// modules, and the library's reader on a grid of cells (read_modules, for
// aztec.read).  The long work (PNG files, reading) runs with the GIL
// released on the binding's own copy of the caller's buffer; SVG path data,
// quick, is drawn with the GIL held from the caller's buffer as it is.
#include "_aztec.hpp"  // first: Python.h

#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "_aztec_arguments.hpp"

namespace quillbank::aztec::binding {
namespace {

// The widest picture, and the widest border, in pixels or modules.
constexpr int kMaxPixels = 1000000;

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

// The ints of a picture call, any size (range checks are pictureInRange's).
bool pictureInts(PyObject* const* values, const char* const* names, int count, int* ints) {
    for (int i = 0; i < count; ++i)
        if (!intArgument(values[i], names[i], -0x7FFFFFFFL - 1, 0x7FFFFFFFL, ints[i])) return false;
    return true;
}

// The ECI designators as ((position, number), ...): a new reference.
PyObject* eciTuple(const Reading& reading) {
    PyObject* ecis = PyTuple_New(static_cast<Py_ssize_t>(reading.ecis.size()));
    for (size_t i = 0; ecis != nullptr && i < reading.ecis.size(); ++i) {
        PyObject* pair = Py_BuildValue("(nk)", static_cast<Py_ssize_t>(reading.ecis[i].position),
                                       static_cast<unsigned long>(reading.ecis[i].eci.value_or(0)));
        if (pair == nullptr) Py_CLEAR(ecis);
        else PyTuple_SET_ITEM(ecis, static_cast<Py_ssize_t>(i), pair);  // steals pair
    }
    return ecis;
}

// (position, count, id or None), or None outside a sequence: a new reference.
PyObject* sequenceOrNone(const Reading& reading) {
    if (!reading.sequence) return newReference(Py_None);
    const SequencePart& part = *reading.sequence;
    if (part.id.empty()) return Py_BuildValue("(iiO)", part.position, part.count, Py_None);
    return Py_BuildValue("(iis#)", part.position, part.count, part.id.data(), static_cast<Py_ssize_t>(part.id.size()));
}

// read_modules's result for a buffer of cells; releases the buffer.
PyObject* readGrid(Py_buffer& cells, int width, int height) {
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
        // Our copy: the caller's buffer may change meanwhile.
        const auto* first = static_cast<const uint8_t*>(cells.buf);
        const std::vector<uint8_t> grid(first, first + cells.len);
        std::optional<Reading> reading;
        if (withoutGil([&] { reading = read(grid.data(), width, height); }) < 0) goto done;
        ecis = eciTuple(*reading);
        sequence = ecis == nullptr ? nullptr : sequenceOrNone(*reading);
        rune = !reading->rune ? newReference(Py_None) : PyLong_FromLong(*reading->rune);
        if (sequence == nullptr || rune == nullptr) goto done;
        static const char kNothing[1] = {0};  // "y#" makes None of a null pointer: a rune's data is b""
        result = Py_BuildValue("(y#OOOOOiOiiii)",
                               reading->data.empty() ? kNothing : reinterpret_cast<const char*>(reading->data.data()),
                               static_cast<Py_ssize_t>(reading->data.size()), ecis,
                               reading->gs1 ? Py_True : Py_False, reading->readerInit ? Py_True : Py_False, sequence,
                               reading->compact ? Py_True : Py_False, reading->layers, rune, reading->corrected,
                               reading->size, reading->dataWords, reading->checkWords);
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

}  // namespace

// read_modules(cells, width, height): the reading of a grid of cells (one
// byte each, row by row: 0 light, 1 dark, 2 unreadable) as (data, ecis,
// gs1, reader_init, sequence, compact, layers, rune, corrected, size,
// data_words, check_words); ValueError saying why it cannot be read.
PyObject* readModules(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"cells", "width", "height", nullptr};
    PyObject* values[3];
    int ints[2];
    if (!parseArguments("read_modules", args, nargs, kwnames, names, 3, 3, values) ||
        !pictureInts(values + 1, names + 1, 2, ints))
        return nullptr;
    Py_buffer cells;
    if (PyObject_GetBuffer(values[0], &cells, PyBUF_SIMPLE) < 0) return nullptr;
    return readGrid(cells, ints[0], ints[1]);
}

// png(modules, size, scale, border, colours=None, pixels_per_metre=None)
// -> a whole PNG file: 1-bit greyscale for colours None, else a palette of
// colours' 8 bytes (light RGBA, dark RGBA); a pHYs chunk unless
// pixels_per_metre is None.
PyObject* png(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"modules", "size", "scale", "border", "colours", "pixels_per_metre", nullptr};
    PyObject* values[6];
    int ints[3];
    PngOptions options;
    if (!parseArguments("png", args, nargs, kwnames, names, 6, 4, values) || !pictureInts(values + 1, names + 1, 3, ints) ||
        !readPngOptions(values[4], values[5], options))
        return nullptr;
    options.scale = ints[1];
    options.border = ints[2];
    Py_buffer modules;
    if (PyObject_GetBuffer(values[0], &modules, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* result = nullptr;
    if (pictureInRange(modules, ints[0], ints[1], ints[2])) {
        try {
            // Our copy: the caller's buffer, a bytearray say, may change meanwhile.
            const auto* first = static_cast<const uint8_t*>(modules.buf);
            const std::vector<uint8_t> data(first, first + modules.len);
            std::vector<uint8_t> file;
            if (withoutGil([&] { file = aztec::png(data.data(), ints[0], options); }) == 0)
                result = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(file.data()),
                                                   static_cast<Py_ssize_t>(file.size()));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    }
    PyBuffer_Release(&modules);
    return result;
}

// svg_path(modules, size, border) -> SVG path data of the dark modules.
PyObject* svgPath(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"modules", "size", "border", nullptr};
    PyObject* values[3];
    int ints[2];
    if (!parseArguments("svg_path", args, nargs, kwnames, names, 3, 3, values) ||
        !pictureInts(values + 1, names + 1, 2, ints))
        return nullptr;
    const int size = ints[0], border = ints[1];
    Py_buffer modules;
    if (PyObject_GetBuffer(values[0], &modules, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* result = nullptr;
    if (size < 0 || border < 0 || border > kMaxPixels || modules.len != static_cast<Py_ssize_t>(size) * size) {
        PyErr_SetString(PyExc_ValueError, "modules, size or border out of range");
    } else {
        // Quick: drawn with the GIL held, from the caller's buffer as it is.
        result = withGilHeld([&] {
            const std::string path = aztec::svgPath(static_cast<const uint8_t*>(modules.buf), size, border);
            return PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, path.data(), static_cast<Py_ssize_t>(path.size()));
        });
    }
    PyBuffer_Release(&modules);
    return result;
}

}  // namespace quillbank::aztec::binding
