// What the files of quillbank.aztec._aztec share: the module's state, the
// symbol type's one constructor, and each file's functions for the method
// table (_aztec_module.cpp).  The module binds the public C++ API
// (quillbank/aztec.hpp) and nothing else of the core.
//
//   _aztec_module.cpp    the module: state, method table, initialisation
//   _aztec_symbol.cpp    the Symbol type: modules packed one bit each
//   _aztec_make.cpp      symbols from messages and streams, runes, capacity
//   _aztec_batches.cpp   many symbols (or PNG files) on the library's threads
//   _aztec_streams.cpp   the shortest data streams of messages
//   _aztec_pictures.cpp  PNG files, SVG paths, and reading a grid back
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <quillbank/aztec.hpp>

namespace quillbank::aztec::binding {

// make's argument names, in the order of its arguments (the common case's
// first: the package's make gives those alone).
inline constexpr const char* kMakeNames[] = {"message", "ec_percent", "plain", "eci", "flags",
                                             "structured_append", "compact", "layers", "reader_init", "sequence",
                                             "made_from", nullptr};
constexpr Py_ssize_t kMakeNameCount = sizeof kMakeNames / sizeof kMakeNames[0] - 1;

// The module's state: one a module object, so that each interpreter has
// its own (strong references, released by the module's clear).
struct ModuleState {
    PyTypeObject* symbolType;   // _aztec.Symbol
    PyTypeObject* symbolClass;  // the class symbols are made of: Symbol, or the subclass set_symbol_class gave
    PyObject* makeNames[kMakeNameCount];  // kMakeNames interned, for parseArguments
};

inline ModuleState* moduleState(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

// What a symbol holds besides its modules.  The objects are borrowed; the
// symbol takes its own references.  Each must hold no reference back to
// any container (Symbol has no traversal for the garbage collector): eci is
// None or an int, sequence None or (position, count, id or None), madeFrom
// as checkedMadeFrom accepts.
struct SymbolLabels {
    PyObject* eci = Py_None;
    PyObject* sequence = Py_None;
    PyObject* madeFrom = Py_None;
    bool isRune = false;
};

// The one constructor of symbols: an object of `type` (Symbol or a
// subclass) holding a made symbol's packed modules as they are.  A new
// reference, or NULL with an exception set.
PyObject* newSymbol(PyTypeObject* type, const Symbol& made, const SymbolLabels& labels);

// A PNG file's colours (None for black on white, or light and dark RGBA as
// 8 bytes) and resolution (None, or pixels a metre) into `options`;
// nullptr reads as None.  False with an exception set.
bool readPngOptions(PyObject* colours, PyObject* perMetre, PngOptions& options);

// Creates the Symbol type for `module`.  A new reference, or NULL.
PyTypeObject* createSymbolType(PyObject* module);

// Creates the MakeFront type (_aztec_make.cpp) for `module`.  A new
// reference, or NULL.
PyTypeObject* createFrontType(PyObject* module);

// The module's functions, METH_FASTCALL | METH_KEYWORDS.
#define QUILLBANK_FUNCTION(name) \
    PyObject* name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
QUILLBANK_FUNCTION(make);
QUILLBANK_FUNCTION(build);
QUILLBANK_FUNCTION(rune);
QUILLBANK_FUNCTION(capacity);
QUILLBANK_FUNCTION(stuffedCount);
QUILLBANK_FUNCTION(makeList);
QUILLBANK_FUNCTION(renderList);
QUILLBANK_FUNCTION(encode);
QUILLBANK_FUNCTION(encodeStream);
QUILLBANK_FUNCTION(encodeSegments);
QUILLBANK_FUNCTION(fittingStart);
QUILLBANK_FUNCTION(png);
QUILLBANK_FUNCTION(svgPath);
QUILLBANK_FUNCTION(readModules);
#undef QUILLBANK_FUNCTION

}  // namespace quillbank::aztec::binding
