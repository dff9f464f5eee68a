// The options of a make order as make and the batches read them, and the
// labels of a symbol made from them (_aztec_make.cpp), so that one symbol
// and many follow the same rules.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include <quillbank/aztec.hpp>

namespace quillbank::aztec::binding {

// compact, layers, ec_percent and reader_init (any nullptr: the default)
// into the options.  False with an exception set.
bool readShapeOptions(PyObject* compact, PyObject* layers, PyObject* ecPercent, PyObject* readerInit,
                      Options& options);

// An ECI number (or None or nullptr: none) as the options' eci, which
// make() writes first.  False with an exception set.
bool readLeadingEci(PyObject* eci, Options& options);

// A data stream given as its packed bytes (bit k in bit k % 8 of byte
// k // 8, any buffer) and its bit count, copied into `stream`.  False with
// an exception set.
bool readStream(PyObject* packed, PyObject* bitCount, BitStream& stream);

// The symbol of `type` for `made`, made from the `length` bytes at `data`
// (the caller's `message` object) with `options`, labelled with its first
// ECI number, `sequence` (nullptr: None) and `madeFrom` (nullptr: worked
// out from the message and the options).  A new reference, or NULL with an
// exception set.
PyObject* madeSymbol(PyTypeObject* type, const Symbol& made, PyObject* message, const std::uint8_t* data,
                     std::size_t length, const Options& options, PyObject* sequence, PyObject* madeFrom);

}  // namespace quillbank::aztec::binding
