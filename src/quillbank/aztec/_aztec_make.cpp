// Symbols one at a time: make (from message bytes, the stream chosen in
// the core), build (from a given stream), rune; and what the package asks
// of the shapes (capacity, stuffed_count).  Every symbol comes from
// newSymbol; the work runs with the GIL released, over the binding's own
// copy of the message or one that cannot change.
#include "_aztec.hpp"  // first: Python.h

#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "_aztec_arguments.hpp"
#include "_aztec_make.hpp"
#include "bit_stuffing.hpp"
#include "smallest_symbol.hpp"

namespace quillbank::aztec::binding {

// ---------------------------------------------------------------------------
// Reading a make order: the options a make call and a batch share.

bool readShapeOptions(PyObject* compact, PyObject* layers, PyObject* ecPercent, PyObject* readerInit,
                      SymbolRequest& request) {
    return shapeArguments(compact, layers, request) && intArgument(ecPercent, "ec_percent", 0, 99, request.ecPercent) &&
           boolArgument(readerInit, "reader_init", request.readerInit);
}

bool addLeadingEci(PyObject* eciObject, StreamLayout& layout) {
    std::optional<uint32_t> eci;
    if (!eciArgument(eciObject, eci)) return false;
    if (!eci) return true;
    if (!layout.flags.empty()) {
        PyErr_SetString(PyExc_ValueError, "with flags, the ECI designator goes among them (position 0)");
        return false;
    }
    layout.flags.push_back(StreamFlag::eciDesignator(0, *eci));
    return true;
}

bool readMessage(PyObject* data, SymbolOrder& order) {
    MessageBytes view;
    if (view.acquire(data) < 0) return false;
    order.message.assign(view.data(), view.data() + view.size());
    if (!order.layout.flags.empty() && order.layout.flags.back().position > order.message.size()) {
        PyErr_Format(PyExc_ValueError, "flag position %zu is past the end of the %zu-byte message",
                     order.layout.flags.back().position, order.message.size());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// What a symbol was made from, for verify(), where the caller does not say.

// (message bytes, ((position, ECI number or None), ...), reader_init): a
// new reference, or NULL with an exception set.
PyObject* flaggedMadeFrom(PyObject* message, const SymbolOrder& order) {
    PyObject* flags = PyTuple_New(static_cast<Py_ssize_t>(order.layout.flags.size()));
    if (flags == nullptr) return nullptr;
    for (size_t i = 0; i < order.layout.flags.size(); ++i) {
        const StreamFlag& flag = order.layout.flags[i];
        PyObject* pair = flag.eci ? Py_BuildValue("(nk)", static_cast<Py_ssize_t>(flag.position),
                                                  static_cast<unsigned long>(*flag.eci))
                                  : Py_BuildValue("(nO)", static_cast<Py_ssize_t>(flag.position), Py_None);
        if (pair == nullptr) {
            Py_DECREF(flags);
            return nullptr;
        }
        PyTuple_SET_ITEM(flags, static_cast<Py_ssize_t>(i), pair);  // steals pair
    }
    PyObject* bytes = PyBytes_CheckExact(message)
                          ? newReference(message)
                          : PyBytes_FromStringAndSize(reinterpret_cast<const char*>(order.message.data()),
                                                      static_cast<Py_ssize_t>(order.message.size()));
    PyObject* made = bytes == nullptr ? nullptr
                                      : PyTuple_Pack(3, bytes, flags, order.request.readerInit ? Py_True : Py_False);
    Py_XDECREF(bytes);
    Py_DECREF(flags);
    return made;
}

PyObject* defaultMadeFrom(PyObject* message, const SymbolOrder& order) {
    if (!order.layout.flags.empty() || order.request.readerInit || order.layout.structuredAppend)
        return flaggedMadeFrom(message, order);
    // The caller's message itself where verify reads it as these bytes.
    if (PyBytes_CheckExact(message) || (PyUnicode_CheckExact(message) && PyUnicode_IS_ASCII(message)))
        return newReference(message);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(order.message.data()),
                                     static_cast<Py_ssize_t>(order.message.size()));
}

// The symbol's ECI number: the first ECI designator's, None without one.
PyObject* firstEci(const SymbolOrder& order) {
    for (const StreamFlag& flag : order.layout.flags)
        if (flag.eci) return PyLong_FromUnsignedLong(*flag.eci);
    return newReference(Py_None);
}

PyObject* madeSymbol(PyTypeObject* type, PyObject* message, const SymbolOrder& order, const AztecMatrix& matrix,
                     PyObject* sequence, PyObject* madeFrom) {
    SymbolLabels labels;
    labels.sequence = sequence == nullptr ? Py_None : sequence;
    PyObject* eci = firstEci(order);
    PyObject* made = madeFrom != nullptr ? newReference(madeFrom) : defaultMadeFrom(message, order);
    PyObject* symbol = nullptr;
    if (eci != nullptr && made != nullptr) {
        labels.eci = eci;
        labels.madeFrom = made;
        symbol = newSymbol(type, matrix, labels);
    }
    Py_XDECREF(eci);
    Py_XDECREF(made);
    return symbol;
}

Outcome makeSymbol(const SymbolOrder& order, BuildStatus& status, AztecMatrix& matrix) noexcept {
    // The smallest symbol that holds the message: usually the one the
    // shortest stream needs, but a longer stream that stuffs into fewer
    // codewords can fit a smaller one.
    return attempt([&] {
        status = buildSmallestSymbol(order.message.data(), order.message.size(), order.layout, order.request, matrix);
    });
}

// 1 for a made symbol, 0 where the stream does not fit, -1 with ValueError
// for a request that no symbol meets.
int builtOrRaise(BuildStatus status) {
    switch (status) {
        case BuildStatus::Ok: return 1;
        case BuildStatus::TooLong: return 0;
        case BuildStatus::NoReaderInit:
            PyErr_SetString(PyExc_ValueError,
                            "reader initialisation needs a compact symbol of 1 layer or a full one of up to 22 layers");
            return -1;
        case BuildStatus::BadRequest: break;
    }
    PyErr_SetString(PyExc_ValueError, "no Aztec symbol has that kind, layer count and error correction");
    return -1;
}

// ---------------------------------------------------------------------------
// make(message, *, eci=None, flags=None, structured_append=False,
//      compact=None, layers=None, ec_percent=23, reader_init=False,
//      sequence=None, made_from=None)

PyObject* make(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // ec_percent first: make()'s common case gives it alone.
    static const char* const names[] = {"message", "ec_percent", "eci", "flags", "structured_append", "compact",
                                        "layers", "reader_init", "sequence", "made_from", nullptr};
    PyObject* values[10];
    if (!parseArguments("make", args, nargs, kwnames, names, 1, 1, values)) return nullptr;
    try {
        SymbolOrder order;
        if (!readShapeOptions(values[5], values[6], values[1], values[7], order.request) ||
            !boolArgument(values[4], "structured_append", order.layout.structuredAppend) ||
            (values[3] != nullptr && values[3] != Py_None && parseFlags(values[3], order.layout.flags) < 0) ||
            !addLeadingEci(values[2], order.layout) || !readMessage(values[0], order))
            return nullptr;
        AztecMatrix matrix;
        BuildStatus status = BuildStatus::BadRequest;
        if (withoutGil([&] {
                status = buildSmallestSymbol(order.message.data(), order.message.size(), order.layout, order.request,
                                             matrix);
            }) < 0)
            return nullptr;
        const int built = builtOrRaise(status);
        if (built <= 0) return built == 0 ? newReference(Py_None) : nullptr;
        return madeSymbol(moduleState(module)->symbolClass, values[0], order, matrix, values[8], values[9]);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// The most bits a stream passed in may have: far more than any symbol holds.
constexpr long kMostStreamBits = 0x7FFFFFFFL;

// Whether a packed buffer holds `count` bits.  False with ValueError set.
bool streamInBuffer(int count, const Py_buffer& packed) {
    if (count / 8 + (count % 8 != 0) <= packed.len) return true;  // no product that could overflow
    PyErr_Format(PyExc_ValueError, "%d bits do not fit in %zd bytes", count, packed.len);
    return false;
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
    SymbolRequest request;
    SymbolLabels labels;
    if (!readShapeOptions(values[2], values[3], values[4], values[5], request)) return nullptr;
    if (values[6] != nullptr) labels.eci = values[6];
    if (values[7] != nullptr) labels.madeFrom = values[7];
    int count = 0;
    Py_buffer packed;
    if (!intArgument(values[1], "bit_count", 0, kMostStreamBits, count) ||
        PyObject_GetBuffer(values[0], &packed, PyBUF_SIMPLE) < 0)
        return nullptr;
    PyObject* result = nullptr;
    if (!streamInBuffer(count, packed)) {
        // ValueError set
    } else {
        try {
            const auto* first = static_cast<const uint8_t*>(packed.buf);
            const std::vector<uint8_t> stream(first, first + (count + 7) / 8);  // ours: read without the GIL
            AztecMatrix matrix;
            BuildStatus status = BuildStatus::BadRequest;
            if (withoutGil([&] { status = buildSymbolPacked(stream.data(), static_cast<size_t>(count), request, matrix); }) == 0) {
                const int built = builtOrRaise(status);
                if (built > 0) result = newSymbol(moduleState(module)->symbolClass, matrix, labels);
                else if (built == 0) result = newReference(Py_None);
            }
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    }
    PyBuffer_Release(&packed);
    return result;
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
        AztecMatrix matrix;
        buildRune(value, matrix);
        SymbolLabels labels;
        labels.isRune = true;
        labels.madeFrom = values[0];
        return newSymbol(moduleState(module)->symbolClass, matrix, labels);
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
        !boolArgument(values[0], "compact", compact) || !intArgument(values[1], "layers", 1, kMaxFullLayers, layers) ||
        !intArgument(values[2], "ec_percent", 0, 99, ecPercent))
        return nullptr;
    if (!shapeExists(compact, layers)) {
        PyErr_Format(PyExc_ValueError, "no %s Aztec symbol has %d layers", compact ? "compact" : "full", layers);
        return nullptr;
    }
    const SymbolShape shape = symbolShape(compact, layers);
    return Py_BuildValue("(iiii)", shape.size, shape.wordBits, shape.totalWords, maxDataWords(shape, ecPercent));
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
        !intArgument(values[2], "width", 2, 16, width) || PyObject_GetBuffer(values[0], &packed, PyBUF_SIMPLE) < 0)
        return nullptr;
    PyObject* result = nullptr;
    if (!streamInBuffer(count, packed)) {
        // ValueError set
    } else {
        try {
            result = PyLong_FromSize_t(
                stuffedPackedWordCount(static_cast<const uint8_t*>(packed.buf), static_cast<size_t>(count), width));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        }
    }
    PyBuffer_Release(&packed);
    return result;
}

}  // namespace quillbank::aztec::binding
