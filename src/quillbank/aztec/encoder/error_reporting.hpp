// How failures reach Python: translation of C++ exceptions, traceback
// records naming the failing operation, the unraisable-error path of the
// internal operations, and calls into Python callables.
#pragma once

#include <Python.h>

namespace quillbank::aztec {

// File names of traceback records: the module's own operations, and the
// conversions between Python objects and the core's strings and vectors.
extern const char kModuleFile[];
extern const char kConversionFile[];

// Sets the Python exception matching the C++ exception in flight; call it
// only inside a catch handler.  A pending Python exception is kept.
void translateException();

// Adds a record to the traceback of the pending exception.
void addTraceback(const char* function, int implementationLine, int sourceLine,
                  const char* fileName);

// Reports the pending exception without raising it: printed with its
// traceback, recorded as sys.last_value, then passed to the unraisable hook.
void writeUnraisable(const char* operation);

// Calls counted against the recursion limit; a callable that returns NULL
// without an error gives SystemError.
PyObject* callObject(PyObject* callable, PyObject* args);
PyObject* callOneArg(PyObject* callable, PyObject* arg);
PyObject* callNoArgs(PyObject* callable);

}  // namespace quillbank::aztec
