// quillbank.aztec._aztec: the product's binding of the core, private to the
// package.  The Python package checks the user's options and calls these
// functions by keyword; each still checks its arguments, so that no call
// can crash the interpreter.  The module keeps its state per module object
// (multi-phase initialisation, a heap type), so each interpreter has its own.
#include "_aztec.hpp"

#include "_aztec_arguments.hpp"

namespace quillbank::aztec::binding {
namespace {

// set_symbol_class(cls): the class make, build, rune and make_list make
// their symbols of: Symbol or a subclass of it that adds no storage
// (AztecSymbol, whose __slots__ is empty).
PyObject* setSymbolClass(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"cls", nullptr};
    PyObject* values[1];
    if (!parseArguments("set_symbol_class", args, nargs, kwnames, names, 1, 1, values)) return nullptr;
    ModuleState* state = moduleState(module);
    PyObject* cls = values[0];
    // A subclass with a __dict__ would make every symbol cost more than its
    // bits, and could hold what holds the symbol.
    if (!PyType_Check(cls) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), state->symbolType) ||
        reinterpret_cast<PyTypeObject*>(cls)->tp_basicsize != state->symbolType->tp_basicsize ||
        reinterpret_cast<PyTypeObject*>(cls)->tp_dictoffset != 0) {
        PyErr_SetString(PyExc_TypeError, "the symbol class is Symbol or a subclass of it with __slots__ = ()");
        return nullptr;
    }
    Py_INCREF(cls);
    Py_SETREF(state->symbolClass, reinterpret_cast<PyTypeObject*>(cls));
    Py_RETURN_NONE;
}

#define QUILLBANK_METHOD(name, function, doc)                                                                      \
    {                                                                                                              \
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function)), METH_FASTCALL | METH_KEYWORDS, \
            doc                                                                                                    \
    }

PyMethodDef methods[] = {
    QUILLBANK_METHOD("make", make,
                     "make(message, *, ec_percent=23, plain=False, eci=None, flags=None, structured_append=False, "
                     "compact=None, layers=None, reader_init=False, sequence=None, made_from=None)\n--\n\n"
                     "The smallest symbol that holds the message's bytes (str as UTF-8), in a shortest stream with "
                     "the ECI designator of eci first, or the flags ((position, ECI number or None for FNC1), ...); "
                     "None when no allowed symbol holds it.  sequence labels a structured-append part; made_from is "
                     "what verify() compares with (default: the message and its flags).  plain=True is the package "
                     "make()'s common case: a message that is not bytes or ASCII text, an empty one, or an "
                     "ec_percent that is not an int of 0 to 99 gives None too, for the package to convert or refuse."),
    QUILLBANK_METHOD("build", build,
                     "build(packed, bit_count, *, compact=None, layers=None, ec_percent=23, reader_init=False, "
                     "eci=None, made_from=None)\n--\n\n"
                     "The smallest symbol that holds a data stream (stream bit k in bit k % 8 of byte k // 8), or "
                     "None; eci labels the symbol (the stream carries its designators)."),
    QUILLBANK_METHOD("rune", rune, "rune(value)\n--\n\nThe Aztec Rune of value, 0 to 255."),
    QUILLBANK_METHOD("capacity", capacity,
                     "capacity(compact, layers, ec_percent)\n--\n\n"
                     "(size, word_bits, total_words, max_data_words) of a shape."),
    QUILLBANK_METHOD("stuffed_count", stuffedCount,
                     "stuffed_count(packed, bit_count, width)\n--\n\n"
                     "The codewords of width bits (6, 8, 10 or 12) that a packed stream takes after bit stuffing."),
    QUILLBANK_METHOD("make_list", makeList,
                     "make_list(messages, ecis, *, flags=None, streams=None, compact=None, layers=None, "
                     "ec_percent=23, reader_init=False, threads=1)\n--\n\n"
                     "make's symbol of each message (a list of bytes-like objects) with its ECI number (a list of "
                     "as many ints or None) and flags (None, or a list of as many flag sequences or None), or "
                     "build's symbol of its stream (streams: None, or a list of as many (packed, bit_count) or "
                     "None), made with the GIL released on threads threads (1 to MAX_THREADS); None where no "
                     "allowed symbol holds it, ValueError where the library refused it otherwise."),
    QUILLBANK_METHOD("render_list", renderList,
                     "render_list(messages, ecis, *, flags=None, streams=None, compact=None, layers=None, "
                     "ec_percent=23, reader_init=False, threads=1, scale=1, border=0, colours=None, "
                     "pixels_per_metre=None, max_side=1000000)\n--\n\n"
                     "make_list's symbols as PNG files (png's settings), or make_list's failures; a picture wider "
                     "than max_side pixels fails as ValueError."),
    QUILLBANK_METHOD("encode", encode,
                     "encode(data, eci=None, asBits=False)\n--\n\n"
                     "A shortest data bit stream for data (str as UTF-8, or bytes-like), packed least significant "
                     "bit first into bytes, or as a list of booleans."),
    QUILLBANK_METHOD("encode_stream", encodeStream,
                     "encode_stream(data, eci=None)\n--\n\nA shortest data bit stream as (packed bytes, bit count)."),
    QUILLBANK_METHOD("fitting_start", fittingStart,
                     "fitting_start(data, eci=None, *, words, width)\n--\n\n"
                     "The shortest stream of data as (packed bytes, bit count, fitting), fitting the bytes of its "
                     "longest start whose own stream takes at most words codewords of width bits."),
    QUILLBANK_METHOD("encode_segments", encodeSegments,
                     "encode_segments(data, flags=(), structured_append=False)\n--\n\n"
                     "A shortest data bit stream as (packed bytes, bit count), with a flag before the byte at each "
                     "(position, value) of flags, in order of position: value None is FNC1, an int 0 to 999999 an "
                     "ECI designator.  structured_append starts the stream with M/L U/L."),
    QUILLBANK_METHOD("png", png,
                     "png(modules, size, scale, border, colours=None, pixels_per_metre=None)\n--\n\n"
                     "A whole PNG file: 1-bit greyscale for colours None, else a palette of colours' 8 bytes (light "
                     "RGBA, dark RGBA); a pHYs chunk unless pixels_per_metre is None."),
    QUILLBANK_METHOD("svg_path", svgPath,
                     "svg_path(modules, size, border)\n--\n\nSVG path data of the dark modules."),
    QUILLBANK_METHOD("read_modules", readModules,
                     "read_modules(cells, width, height)\n--\n\n"
                     "(data, ecis, gs1, reader_init, sequence, compact, layers, rune, corrected, size, data_words, "
                     "check_words) of the symbol in a grid of cells (0 light, 1 dark, 2 unreadable); ValueError "
                     "saying why it cannot be read."),
    QUILLBANK_METHOD("set_symbol_class", setSymbolClass,
                     "set_symbol_class(cls)\n--\n\n"
                     "The class symbols are made of: Symbol or a subclass with __slots__ = ()."),
    {nullptr, nullptr, 0, nullptr},
};

#undef QUILLBANK_METHOD

int moduleExec(PyObject* module) {
    ModuleState* state = moduleState(module);
    state->symbolType = createSymbolType(module);  // new reference
    if (state->symbolType == nullptr) return -1;
    Py_INCREF(state->symbolType);
    state->symbolClass = state->symbolType;
    // PyModule_AddObjectRef is 3.10's: AddObject steals a reference on success only.
    Py_INCREF(state->symbolType);
    if (PyModule_AddObject(module, "Symbol", reinterpret_cast<PyObject*>(state->symbolType)) < 0) {
        Py_DECREF(state->symbolType);
        return -1;
    }
    PyObject* front = reinterpret_cast<PyObject*>(createFrontType(module));  // new reference
    if (front == nullptr) return -1;
    if (PyModule_AddObject(module, "MakeFront", front) < 0) {  // steals on success only
        Py_DECREF(front);
        return -1;
    }
    for (Py_ssize_t i = 0; i < kMakeNameCount; ++i) {
        state->makeNames[i] = PyUnicode_InternFromString(kMakeNames[i]);  // new reference
        if (state->makeNames[i] == nullptr) return -1;
    }
    // The most threads a batch runs on: make_many clamps to it.
    return PyModule_AddIntConstant(module, "MAX_THREADS", kMostThreads);
}

int moduleTraverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = moduleState(module);
    if (state == nullptr) return 0;  // before exec
    Py_VISIT(state->symbolType);
    Py_VISIT(state->symbolClass);
    return 0;
}

int moduleClear(PyObject* module) {
    ModuleState* state = moduleState(module);
    if (state == nullptr) return 0;
    Py_CLEAR(state->symbolType);
    Py_CLEAR(state->symbolClass);
    for (PyObject*& name : state->makeNames) Py_CLEAR(name);
    return 0;
}

void moduleFree(void* module) { moduleClear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(moduleExec)},
#if PY_VERSION_HEX >= 0x030C0000
    // No state outside the module object: the core's threads never touch
    // Python objects, and each batch is stored by its caller's thread.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "quillbank.aztec._aztec",
    "The product's binding of the core (private): symbols, batches, streams, pictures and reading.",
    sizeof(ModuleState),
    methods,
    moduleSlots,
    moduleTraverse,
    moduleClear,
    moduleFree,
};

}  // namespace
}  // namespace quillbank::aztec::binding

PyMODINIT_FUNC PyInit__aztec(void) { return PyModuleDef_Init(&quillbank::aztec::binding::moduleDef); }
