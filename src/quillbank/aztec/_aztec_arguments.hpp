// The rules every function of quillbank.aztec._aztec reads its arguments
// by, each written once: arguments by name (parseArguments), integers
// (intArgument), booleans (boolArgument), a symbol's kind and layer count
// (shapeArguments), the library's errors (raiseError), and work done with
// the GIL released (withoutGil) or held (withGilHeld).  The
// message bytes, ECI numbers and flags are stream_arguments.hpp's.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <new>
#include <optional>

#include <quillbank/aztec.hpp>

#include "stream_arguments.hpp"

namespace quillbank::aztec::binding {

// A METH_FASTCALL | METH_KEYWORDS call's arguments in the order of `names`
// (nullptr-terminated): values[i] is the argument called names[i], borrowed,
// or nullptr where it was not given.  The first `positional` names may also
// be given by position, and the first `required` must be given.  `interned`
// (or nullptr) holds the names as interned str objects: a call's keyword
// names are interned too, so they are matched by pointer first, and by
// their text only where that fails.  False with TypeError set, worded as
// Python's own.
inline bool parseArguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           const char* const* names, Py_ssize_t positional, Py_ssize_t required, PyObject** values,
                           PyObject* const* interned = nullptr) {
    Py_ssize_t count = 0;
    while (names[count] != nullptr) values[count++] = nullptr;
    if (nargs > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zd positional arguments (%zd given)", function, positional,
                     nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);  // borrowed, a str
        Py_ssize_t i = 0;
        if (interned != nullptr)
            while (i < count && name != interned[i]) ++i;
        if (interned == nullptr || i == count)
            for (i = 0; i < count && PyUnicode_CompareWithASCIIString(name, names[i]) != 0;) ++i;
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, name);
            return false;
        }
        if (values[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function, names[i]);
            return false;
        }
        values[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (values[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, names[i]);
            return false;
        }
    }
    return true;
}

// An int (not a bool) in low..high; `object` nullptr keeps `value`.  False
// with TypeError or ValueError set.
inline bool intArgument(PyObject* object, const char* name, long low, long high, int& value) {
    if (object == nullptr) return true;
    if (!PyLong_Check(object) || PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(object)->tp_name);
        return false;
    }
    int overflow = 0;
    const long number = PyLong_AsLongAndOverflow(object, &overflow);
    if (number == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || number < low || number > high) {
        PyErr_Format(PyExc_ValueError, "%s is %ld to %ld, not %R", name, low, high, object);
        return false;
    }
    value = static_cast<int>(number);
    return true;
}

// True or False; `object` nullptr keeps `value`.  False with TypeError set.
inline bool boolArgument(PyObject* object, const char* name, bool& value) {
    if (object == nullptr) return true;
    if (!PyBool_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be True or False, not %.200s", name, Py_TYPE(object)->tp_name);
        return false;
    }
    value = object == Py_True;
    return true;
}

// The most layers of a symbol: full symbols have 1 to 32.
constexpr int kMostLayers = 32;

// compact (None: either kind, True or False) and layers (None: the fewest
// that fit, or 1 to 32) into the options.  False with an exception set.
inline bool shapeArguments(PyObject* compact, PyObject* layers, Options& options) {
    if (compact != nullptr && compact != Py_None) {
        bool only = false;
        if (!boolArgument(compact, "compact", only)) return false;
        options.compact = only;
    }
    if (layers != nullptr && layers != Py_None) {
        int count = 0;
        if (!intArgument(layers, "layers", 1, kMostLayers, count)) return false;
        options.layers = count;
    }
    return true;
}

// An ECI number to write, by the package's one rule (parseEci); `object`
// nullptr, None or False leaves `eci` empty.  False with an exception set.
inline bool eciArgument(PyObject* object, std::optional<uint32_t>& eci) {
    return object == nullptr || parseEci(object, eci) == 0;
}

// The library's error as Python's: MemoryError when memory ran out, else
// ValueError with its text (the package words its own errors first).  Always -1.
inline int raiseError(const Error& error) {
    if (error.code() == ErrorCode::OutOfMemory) PyErr_NoMemory();
    else PyErr_SetString(PyExc_ValueError, error.what());
    return -1;
}

// Runs `work` with the GIL released; C++ exceptions may not cross
// Py_BEGIN_ALLOW_THREADS, so they are caught there and raised here.  It
// must read only storage that the binding owns or that cannot change (see
// MessageBytes).  0 when done; 1, with no exception set, when it threw an
// Error of code `quiet` (a message that fits no symbol, which the package
// diagnoses itself); -1 with an exception set otherwise.
template <class Work>
int withoutGil(Work&& work, std::optional<ErrorCode> quiet = std::nullopt) {
    std::optional<Error> refused;
    bool noMemory = false, failed = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (const Error& error) {
        refused.emplace(error);  // copies share the text: throws nothing
    } catch (const std::bad_alloc&) {
        noMemory = true;
    } catch (...) {
        failed = true;
    }
    Py_END_ALLOW_THREADS
    if (noMemory) return PyErr_NoMemory(), -1;
    if (failed) return PyErr_SetString(PyExc_RuntimeError, "the library failed"), -1;
    if (!refused) return 0;
    if (quiet && refused->code() == *quiet) return 1;
    return raiseError(*refused);
}

// Runs `work` with the GIL held, for quick work: it gives a new reference,
// or NULL with an exception set; the library's errors and running out of
// memory become Python's exceptions here.
template <class Work>
PyObject* withGilHeld(Work&& work) {
    try {
        return work();
    } catch (const Error& error) {
        raiseError(error);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    return nullptr;
}

// A new reference to `object` (Py_NewRef, which 3.9 lacks).
inline PyObject* newReference(PyObject* object) {
    Py_INCREF(object);
    return object;
}

}  // namespace quillbank::aztec::binding
