// _aztec.Symbol: a made symbol, its modules packed one bit each as the
// library's Symbol packs them (rows padded to whole bytes, the leftmost
// module of a row in bit 7 of its first byte, 1 dark), with
// its shape, its labels (ECI number, sequence place) and what it was made
// from, all read-only.  quillbank.aztec.AztecSymbol is its Python subclass
// (with no slots of its own), which adds the pictures.
//
// A symbol holds no reference that could lead back to itself (the labels
// are checked), so Symbol needs no traversal by the garbage collector: 100,000
// kept symbols cost their bits and a small header each (a Python subclass
// adds the collector's header, which CPython gives every class statement).
#include "_aztec.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "_aztec_arguments.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUILLBANK_UNPACK_AVX2 1
#include <immintrin.h>
#endif

namespace quillbank::aztec::binding {
namespace {

struct SymbolObject {
    PyObject_VAR_HEAD  // ob_size: the bytes of `bits`
    PyObject* eci;       // None or an int
    PyObject* sequence;  // None or (position, count, id or None)
    PyObject* madeFrom;  // what verify() compares with, or None
    int32_t size;
    int16_t layers;
    int16_t dataWords;
    int16_t checkWords;
    bool compact;
    bool isRune;
    uint8_t bits[1];
};

constexpr Py_ssize_t kHeaderBytes = static_cast<Py_ssize_t>(offsetof(SymbolObject, bits));
constexpr int kMostSide = 151;

SymbolObject* asSymbol(PyObject* object) { return reinterpret_cast<SymbolObject*>(object); }

Py_ssize_t rowBytes(int size) { return (static_cast<Py_ssize_t>(size) + 7) / 8; }
Py_ssize_t packedBytes(int size) { return rowBytes(size) * size; }

bool isSymbol(PyObject* object);

// ---------------------------------------------------------------------------
// The labels' rules: plain values that hold nothing that could hold the symbol.

bool isIntOrNone(PyObject* object) { return object == Py_None || (PyLong_Check(object) && !PyBool_Check(object)); }

// (position, count, id or None), or None.
bool plainSequence(PyObject* object) {
    if (object == Py_None) return true;
    if (!PyTuple_CheckExact(object) || PyTuple_GET_SIZE(object) != 3) return false;
    PyObject* id = PyTuple_GET_ITEM(object, 2);
    return PyLong_CheckExact(PyTuple_GET_ITEM(object, 0)) && PyLong_CheckExact(PyTuple_GET_ITEM(object, 1)) &&
           (id == Py_None || PyUnicode_CheckExact(id));
}

// None, a rune's value, the message (bytes or str), or (message bytes,
// ((position, ECI number or None), ...), reader_init): verify's forms.
bool plainMadeFrom(PyObject* object) {
    if (object == Py_None || PyLong_CheckExact(object) || PyBytes_CheckExact(object) || PyUnicode_CheckExact(object))
        return true;
    if (!PyTuple_CheckExact(object) || PyTuple_GET_SIZE(object) != 3) return false;
    PyObject* flags = PyTuple_GET_ITEM(object, 1);
    if (!PyBytes_CheckExact(PyTuple_GET_ITEM(object, 0)) || !PyBool_Check(PyTuple_GET_ITEM(object, 2)) ||
        !PyTuple_CheckExact(flags))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(flags); ++i) {
        PyObject* flag = PyTuple_GET_ITEM(flags, i);
        if (!PyTuple_CheckExact(flag) || PyTuple_GET_SIZE(flag) != 2 || !PyLong_CheckExact(PyTuple_GET_ITEM(flag, 0)) ||
            !(PyTuple_GET_ITEM(flag, 1) == Py_None || PyLong_CheckExact(PyTuple_GET_ITEM(flag, 1))))
            return false;
    }
    return true;
}

// The labels checked.  False with TypeError set.
bool plainLabels(const SymbolLabels& labels) {
    if (!isIntOrNone(labels.eci)) {
        PyErr_Format(PyExc_TypeError, "a symbol's eci is an int or None, not %.200s", Py_TYPE(labels.eci)->tp_name);
        return false;
    }
    if (!plainSequence(labels.sequence)) {
        PyErr_SetString(PyExc_TypeError, "a symbol's sequence is (position, count, id or None) or None");
        return false;
    }
    if (!plainMadeFrom(labels.madeFrom)) {
        PyErr_SetString(PyExc_TypeError,
                        "made_from is None, an int, bytes, a str or (bytes, ((position, ECI or None), ...), bool)");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Construction and destruction.

// A symbol of `type` with its shape and labels, its bits all light.  A new
// reference, or NULL with an exception set.
PyObject* allocateSymbol(PyTypeObject* type, bool compact, int layers, int size, int dataWords, int checkWords,
                         const SymbolLabels& labels) {
    if (!plainLabels(labels)) return nullptr;
    PyObject* object = type->tp_alloc(type, packedBytes(size));  // zeroed
    if (object == nullptr) return nullptr;
    SymbolObject* symbol = asSymbol(object);
    symbol->eci = newReference(labels.eci);
    symbol->sequence = newReference(labels.sequence);
    symbol->madeFrom = newReference(labels.madeFrom);
    symbol->size = size;
    symbol->layers = static_cast<int16_t>(layers);
    symbol->dataWords = static_cast<int16_t>(dataWords);
    symbol->checkWords = static_cast<int16_t>(checkWords);
    symbol->compact = compact;
    symbol->isRune = labels.isRune;
    return object;
}

// Modules of one byte each (0 or 1, row by row) packed as the library packs them.
void packModules(SymbolObject* symbol, const uint8_t* modules) {
    const int size = symbol->size;
    uint8_t* out = symbol->bits;
    for (int y = 0; y < size; ++y, modules += size) {
        for (int x = 0; x < size; x += 8) {
            unsigned byte = 0;
            for (int k = x; k < x + 8; ++k) byte = byte << 1 | (k < size ? modules[k] : 0u);
            *out++ = static_cast<uint8_t>(byte);
        }
    }
}

void symbolDealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    SymbolObject* symbol = asSymbol(object);
    Py_XDECREF(symbol->eci);
    Py_XDECREF(symbol->sequence);
    Py_XDECREF(symbol->madeFrom);
    type->tp_free(object);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// Symbol(modules, size, layers, compact, data_words, check_words, eci=None,
// sequence=None, is_rune=False, made_from=None): the door for pickling and
// for tests that need a symbol with a given fault; make() and rune() make
// symbols.  modules are one byte each, 0 or 1, row by row.
PyObject* symbolNew(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"modules", "size", "layers", "compact", "data_words", "check_words",
                                     "eci", "sequence", "is_rune", "made_from", nullptr};
    Py_buffer modules;
    int size, layers, compact, dataWords, checkWords, isRune = 0;
    SymbolLabels labels;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*iipii|OOpO:Symbol", const_cast<char**>(keywords), &modules,
                                     &size, &layers, &compact, &dataWords, &checkWords, &labels.eci, &labels.sequence,
                                     &isRune, &labels.madeFrom))
        return nullptr;
    PyObject* result = nullptr;
    const auto* bytes = static_cast<const uint8_t*>(modules.buf);
    bool binary = true;
    for (Py_ssize_t k = 0; k < modules.len; ++k) binary = binary && bytes[k] <= 1;
    if (size < 1 || size > kMostSide || modules.len != static_cast<Py_ssize_t>(size) * size || !binary) {
        PyErr_Format(PyExc_ValueError, "modules are size * size bytes of 0 or 1, size 1 to %d", kMostSide);
    } else if (layers < 0 || layers > kMostLayers || dataWords < 0 || checkWords < 0 || dataWords > 0x7FFF ||
               checkWords > 0x7FFF) {
        PyErr_SetString(PyExc_ValueError, "layers is 0 to 32, data_words and check_words 0 to 32767");
    } else {
        labels.isRune = isRune != 0;
        result = allocateSymbol(type, compact != 0, layers, size, dataWords, checkWords, labels);
        if (result != nullptr) packModules(asSymbol(result), bytes);
    }
    PyBuffer_Release(&modules);
    return result;
}

// ---------------------------------------------------------------------------
// Properties.

// The eight module bytes (1 dark, 0 light) of each packed byte, leftmost
// module first: unpacking copies eight bytes at a time, since `modules` is
// read by every writer and conversion.
struct ModuleBytesTable {
    uint8_t bytes[256][8];
    constexpr ModuleBytesTable() : bytes() {
        for (int packed = 0; packed < 256; ++packed)
            for (int bit = 0; bit < 8; ++bit) bytes[packed][bit] = static_cast<uint8_t>((packed >> (7 - bit)) & 1);
    }
};
constexpr ModuleBytesTable kModuleBytes;

// Rows of a symbol's modules to unpack: `size` modules a row, packed into
// `rowBytes` bytes each.
struct PackedRows {
    const uint8_t* packed;
    Py_ssize_t size;
    Py_ssize_t rowBytes;
    uint8_t* out;

    // How many rows from the first can be unpacked in steps of `step`
    // modules (8 or 32) read and written in place: a row's last step writes
    // into the next row's place, which that row then writes over; the last
    // row's (or rows', in a tiny symbol) would run past the modules or the
    // packed bytes.
    Py_ssize_t inPlace(Py_ssize_t step) const {
        const Py_ssize_t steps = (size + step - 1) / step, written = steps * step, read = written / 8;
        const Py_ssize_t total = size * size;
        if (total < written || rowBytes * size < read) return 0;
        return std::min({size, (total - written) / size + 1, (rowBytes * size - read) / rowBytes + 1});
    }
};

// Rows first to end - 1, eight modules at a time.  The row's byte count
// is a template argument, so that the loop over a row unrolls (rows are 1
// to 19 bytes, and a loop's overhead would cost more than the copies).
template <Py_ssize_t RowBytes>
void unpackRowsByEight(const PackedRows& rows, Py_ssize_t first, Py_ssize_t end) {
    for (Py_ssize_t y = first; y < end; ++y)
        for (Py_ssize_t k = 0; k < RowBytes; ++k)
            std::memcpy(rows.out + y * rows.size + 8 * k, kModuleBytes.bytes[rows.packed[y * RowBytes + k]], 8);
}

template <Py_ssize_t... RowBytes>
void unpackRowsByEightOf(const PackedRows& rows, Py_ssize_t first, Py_ssize_t end,
                         std::integer_sequence<Py_ssize_t, RowBytes...>) {
    // The instance for the row's byte count (1 to 19: 1 to 151 modules a side).
    ((rows.rowBytes == RowBytes + 1 ? unpackRowsByEight<RowBytes + 1>(rows, first, end) : void()), ...);
}

#ifdef QUILLBANK_UNPACK_AVX2
// Rows first to end - 1, thirty-two modules at a time: four packed bytes
// spread over eight bytes each, each of which keeps its own bit, turned
// into 0 or 1.
__attribute__((target("avx2"))) void unpackRowsByThirtyTwo(const PackedRows& rows, Py_ssize_t first,
                                                           Py_ssize_t end) {
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1,
                                            2, 2, 2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i bits = _mm256_set1_epi64x(static_cast<long long>(0x0102040810204080ull));  // bit 7 first
    const Py_ssize_t steps = (rows.size + 31) / 32;
    for (Py_ssize_t y = first; y < end; ++y) {
        const uint8_t* packed = rows.packed + y * rows.rowBytes;
        uint8_t* out = rows.out + y * rows.size;
        for (Py_ssize_t k = 0; k < steps; ++k) {
            int four;
            std::memcpy(&four, packed + 4 * k, 4);
            const __m256i set = _mm256_and_si256(_mm256_shuffle_epi8(_mm256_set1_epi32(four), spread), bits);
            const __m256i modules = _mm256_abs_epi8(_mm256_cmpeq_epi8(set, bits));  // -1 where dark, made 1
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * k), modules);
        }
    }
}

// Rows of at least this many bytes (57 modules) go thirty-two modules a
// step where the processor has AVX2; in shorter ones the steps save less
// than the choice of them costs.
constexpr Py_ssize_t kWideRowBytes = 8;

bool hasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

PyObject* unpackedModules(const SymbolObject* symbol) {
    const Py_ssize_t size = symbol->size;
    const Py_ssize_t total = size * size;
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, total);
    if (bytes == nullptr) return nullptr;
    auto* const out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes));
    const PackedRows rows{symbol->bits, size, (size + 7) / 8, out};
    Py_ssize_t done = 0;
#ifdef QUILLBANK_UNPACK_AVX2
    if (rows.rowBytes >= kWideRowBytes && hasAvx2()) {
        done = rows.inPlace(32);
        unpackRowsByThirtyTwo(rows, 0, done);
    }
#endif
    const Py_ssize_t byEight = std::max(done, rows.inPlace(8));
    unpackRowsByEightOf(rows, done, byEight, std::make_integer_sequence<Py_ssize_t, 19>());
    // The last rows with the steps cut where they would run past the end.
    for (Py_ssize_t y = byEight; y < size; ++y) {
        for (Py_ssize_t x = 0; x < size; x += 8) {
            const Py_ssize_t at = y * size + x;
            std::memcpy(out + at, kModuleBytes.bytes[symbol->bits[y * rows.rowBytes + x / 8]],
                        static_cast<size_t>(std::min<Py_ssize_t>(8, total - at)));
        }
    }
    return bytes;
}

PyObject* getModules(PyObject* self, void*) { return unpackedModules(asSymbol(self)); }
PyObject* getSize(PyObject* self, void*) { return PyLong_FromLong(asSymbol(self)->size); }
PyObject* getLayers(PyObject* self, void*) { return PyLong_FromLong(asSymbol(self)->layers); }
PyObject* getDataWords(PyObject* self, void*) { return PyLong_FromLong(asSymbol(self)->dataWords); }
PyObject* getCheckWords(PyObject* self, void*) { return PyLong_FromLong(asSymbol(self)->checkWords); }
PyObject* getCompact(PyObject* self, void*) { return PyBool_FromLong(asSymbol(self)->compact); }
PyObject* getIsRune(PyObject* self, void*) { return PyBool_FromLong(asSymbol(self)->isRune); }
PyObject* getEci(PyObject* self, void*) { return newReference(asSymbol(self)->eci); }
PyObject* getSequence(PyObject* self, void*) { return newReference(asSymbol(self)->sequence); }
PyObject* getMadeFrom(PyObject* self, void*) { return newReference(asSymbol(self)->madeFrom); }

PyGetSetDef symbolGetSet[] = {
    {"size", getSize, nullptr, "modules on a side (11 to 151)", nullptr},
    {"layers", getLayers, nullptr, "data layers around the core; 0 for a rune", nullptr},
    {"compact", getCompact, nullptr, "compact (11x11 core) or full (15x15 core, reference grid)", nullptr},
    {"is_rune", getIsRune, nullptr, "an Aztec Rune (a compact symbol carrying one value 0 to 255)", nullptr},
    {"data_words", getDataWords, nullptr, "codewords carrying the data stream", nullptr},
    {"check_words", getCheckWords, nullptr, "Reed-Solomon check codewords", nullptr},
    {"eci", getEci, nullptr, "the ECI number the message is marked with, if any", nullptr},
    {"sequence", getSequence, nullptr,
     "(position from 1, count, id or None) in a structured-append sequence; None for a single symbol", nullptr},
    {"modules", getModules, nullptr, "the modules as bytes, row by row from the top: 1 dark, 0 light", nullptr},
    {"_made_from", getMadeFrom, nullptr, "what the symbol was made from, for verify(); None where unknown",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Comparison, hashing and pickling: two symbols are equal when their modules are.

bool sameModules(const SymbolObject* a, const SymbolObject* b) {
    return a->size == b->size && std::memcmp(a->bits, b->bits, static_cast<size_t>(packedBytes(a->size))) == 0;
}

PyObject* symbolRichCompare(PyObject* self, PyObject* other, int op) {
    if (!isSymbol(other) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = sameModules(asSymbol(self), asSymbol(other));
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

Py_hash_t symbolHash(PyObject* self) {
    const SymbolObject* symbol = asSymbol(self);
    uint64_t hash = 14695981039346656037ull ^ static_cast<uint64_t>(symbol->size);  // FNV-1a
    for (Py_ssize_t i = 0; i < packedBytes(symbol->size); ++i) hash = (hash ^ symbol->bits[i]) * 1099511628211ull;
    const auto result = static_cast<Py_hash_t>(hash);
    return result == -1 ? -2 : result;
}

PyObject* symbolReduce(PyObject* self, PyObject*) {
    const SymbolObject* symbol = asSymbol(self);
    PyObject* modules = unpackedModules(symbol);
    if (modules == nullptr) return nullptr;
    PyObject* result = Py_BuildValue("(O(NiiOiiOOOO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), modules,
                                     symbol->size, symbol->layers, symbol->compact ? Py_True : Py_False,
                                     symbol->dataWords, symbol->checkWords, symbol->eci, symbol->sequence,
                                     symbol->isRune ? Py_True : Py_False, symbol->madeFrom);
    return result;
}

PyMethodDef symbolMethods[] = {
    {"__reduce__", symbolReduce, METH_NOARGS, "pickles the symbol"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot symbolSlots[] = {
    {Py_tp_doc, const_cast<char*>("Symbol(modules, size, layers, compact, data_words, check_words, eci=None, "
                                  "sequence=None, is_rune=False, made_from=None)\n--\n\n"
                                  "An Aztec symbol's modules (one bit each) and shape.")},
    {Py_tp_new, reinterpret_cast<void*>(symbolNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(symbolDealloc)},
    {Py_tp_getset, symbolGetSet},
    {Py_tp_methods, symbolMethods},
    {Py_tp_richcompare, reinterpret_cast<void*>(symbolRichCompare)},
    {Py_tp_hash, reinterpret_cast<void*>(symbolHash)},
    {0, nullptr},
};

PyType_Spec symbolSpec = {
    "quillbank.aztec._aztec.Symbol", static_cast<int>(kHeaderBytes), 1,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, symbolSlots,
};

// A symbol is an object whose type compares as Symbol does: Symbol or a
// subclass that keeps its comparison (AztecSymbol).
bool isSymbol(PyObject* object) { return Py_TYPE(object)->tp_richcompare == symbolRichCompare; }

}  // namespace

PyObject* newSymbol(PyTypeObject* type, const Symbol& made, const SymbolLabels& labels) {
    PyObject* object =
        allocateSymbol(type, made.compact(), made.layers(), made.size(), made.dataWords(), made.checkWords(), labels);
    if (object != nullptr) std::memcpy(asSymbol(object)->bits, made.packed().data(), made.packed().size());
    return object;
}

PyTypeObject* createSymbolType(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &symbolSpec, nullptr));
}

}  // namespace quillbank::aztec::binding
