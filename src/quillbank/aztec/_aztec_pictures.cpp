// Pictures the core draws (PNG files, SVG path data) from a symbol's
// modules, and the reader's core on a grid of cells (read_modules, for
// aztec.read).  Each works on its own copy of the caller's buffer, with
// the GIL released where the work is long.
#include "_aztec.hpp"  // first: Python.h

#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "_aztec_arguments.hpp"
#include "raster.hpp"
#include "symbol_reader.hpp"
#include "thread_cache.hpp"

namespace quillbank::aztec::binding {
namespace {

namespace az = quillbank::aztec;

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
        az::ModuleGrid grid;
        grid.width = width;
        grid.height = height;
        const auto* first = static_cast<const uint8_t*>(cells.buf);
        grid.cells.assign(first, first + cells.len);  // our copy: the caller's buffer may change meanwhile
        az::SymbolReading reading;
        az::ReadStatus status = az::ReadStatus::NoFinder;
        if (withoutGil([&] { status = az::readSymbol(grid, reading); }) < 0) goto done;
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
    PngColours colours;
    std::optional<uint32_t> perMetre;
    if (!parseArguments("png", args, nargs, kwnames, names, 6, 4, values) || !pictureInts(values + 1, names + 1, 3, ints) ||
        !readPngOptions(values[4], values[5], colours, perMetre))
        return nullptr;
    Py_buffer modules;
    if (PyObject_GetBuffer(values[0], &modules, PyBUF_SIMPLE) < 0) return nullptr;
    PyObject* result = nullptr;
    if (pictureInRange(modules, ints[0], ints[1], ints[2])) {
        try {
            // Our copy: the caller's buffer, a bytearray say, may change meanwhile.
            const auto* first = static_cast<const uint8_t*>(modules.buf);
            const std::vector<uint8_t> data(first, first + modules.len);
            std::vector<uint8_t> file;
            if (withoutGil([&] { file = pngFile(data.data(), ints[0], ints[1], ints[2], colours, perMetre); }) == 0)
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
        try {
            // ASCII, copied into the str as it is (no decoding); the buffer
            // is kept for the thread's next path.
            az::ThreadCache<std::vector<char>> buffer;
            const size_t length = writeSvgPath(static_cast<const uint8_t*>(modules.buf), size, border, *buffer);
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

}  // namespace quillbank::aztec::binding
