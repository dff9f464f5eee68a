// A make order as make and the batches read it and make its symbol
// (_aztec_make.cpp), so that one symbol and many follow the same rules.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <vector>

#include "_aztec_arguments.hpp"
#include "optimal_encoder.hpp"
#include "symbol_layout.hpp"

namespace quillbank::aztec::binding {

// What one symbol is made from: the binding's own copy of everything, so
// that the work needs no Python object.
struct SymbolOrder {
    std::vector<uint8_t> message;
    StreamLayout layout;  // the leading ECI designator, if any, is its first flag
    SymbolRequest request;
};

// compact, layers, ec_percent and reader_init (any nullptr: the default)
// into the request.  False with an exception set.
bool readShapeOptions(PyObject* compact, PyObject* layers, PyObject* ecPercent, PyObject* readerInit,
                      SymbolRequest& request);

// An ECI number (or None or nullptr: none) as the layout's first flag.
// False with an exception set.
bool addLeadingEci(PyObject* eci, StreamLayout& layout);

// Copies the message's bytes into the order, checking the flags' positions
// against it.  False with an exception set.
bool readMessage(PyObject* data, SymbolOrder& order);

// The smallest symbol of an order; touches no Python object.
Outcome makeSymbol(const SymbolOrder& order, BuildStatus& status, AztecMatrix& matrix) noexcept;

// The symbol of `type` for a made order, labelled with its first ECI
// number, `sequence` (nullptr: None) and `madeFrom` (nullptr: worked out
// from `message`, the caller's object, and the order).  A new reference,
// or NULL with an exception set.
PyObject* madeSymbol(PyTypeObject* type, PyObject* message, const SymbolOrder& order, const AztecMatrix& matrix,
                     PyObject* sequence, PyObject* madeFrom);

}  // namespace quillbank::aztec::binding
