// The rules every function of quillbank.aztec._aztec reads its arguments
// by, each written once: arguments by name (parseArguments), integers
// (intArgument), booleans (boolArgument), a symbol's kind and layer count
// (shapeArguments), and work done with the GIL released (withoutGil).  The
// message bytes, ECI numbers and flags are stream_arguments.hpp's.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>

#include "stream_arguments.hpp"
#include "symbol_layout.hpp"

namespace quillbank::aztec::binding {

// A METH_FASTCALL | METH_KEYWORDS call's arguments in the order of `names`
// (nullptr-terminated): values[i] is the argument called names[i], borrowed,
// or nullptr where it was not given.  The first `positional` names may also
// be given by position, and the first `required` must be given.  False with
// TypeError set, worded as Python's own.
inline bool parseArguments(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           const char* const* names, Py_ssize_t positional, Py_ssize_t required, PyObject** values) {
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
        while (i < count && PyUnicode_CompareWithASCIIString(name, names[i]) != 0) ++i;
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

// compact (None: either kind, True or False) and layers (None: the fewest
// that fit, or 1 to 32) into the core's request.  False with an exception set.
inline bool shapeArguments(PyObject* compact, PyObject* layers, SymbolRequest& request) {
    if (compact != nullptr && compact != Py_None) {
        bool only;
        if (!boolArgument(compact, "compact", only)) return false;
        request.compact = only ? 1 : 0;
    }
    if (layers != nullptr && layers != Py_None && !intArgument(layers, "layers", 1, kMaxFullLayers, request.layers))
        return false;
    return true;
}

// An ECI number to write, by the package's one rule (parseEci); `object`
// nullptr, None or False leaves `eci` empty.  False with an exception set.
inline bool eciArgument(PyObject* object, std::optional<uint32_t>& eci) {
    return object == nullptr || parseEci(object, eci) == 0;
}

// How work done without the GIL ended: C++ exceptions may not cross
// Py_BEGIN_ALLOW_THREADS, so they are caught there and told here.
enum class Outcome { Done, NoMemory, TooLong, Refused, Failed };

// Runs `work`, catching what it throws; `reason` takes a refusal's text.
template <class Work>
Outcome attempt(Work&& work, std::string* reason = nullptr) noexcept {
    try {
        work();
        return Outcome::Done;
    } catch (const std::bad_alloc&) {
        return Outcome::NoMemory;
    } catch (const std::length_error&) {
        return Outcome::TooLong;
    } catch (const std::invalid_argument& refused) {
        try {
            if (reason != nullptr) *reason = refused.what();
        } catch (const std::bad_alloc&) {
            return Outcome::NoMemory;
        }
        return Outcome::Refused;
    } catch (...) {
        return Outcome::Failed;
    }
}

// The exception of an outcome other than Done.  Always -1.
inline int raiseOutcome(Outcome outcome, const std::string& reason) {
    switch (outcome) {
        case Outcome::NoMemory: PyErr_NoMemory(); break;
        case Outcome::TooLong: PyErr_SetString(PyExc_ValueError, "message too long"); break;
        case Outcome::Refused: PyErr_SetString(PyExc_ValueError, reason.c_str()); break;
        default: PyErr_SetString(PyExc_RuntimeError, "the core failed"); break;
    }
    return -1;
}

// Runs `work` with the GIL released.  It must read only storage that the
// binding owns or that cannot change (see MessageBytes).  0 on success, -1
// with an exception set.
template <class Work>
int withoutGil(Work&& work) {
    Outcome outcome;
    std::string reason;
    Py_BEGIN_ALLOW_THREADS
    outcome = attempt(work, &reason);
    Py_END_ALLOW_THREADS
    return outcome == Outcome::Done ? 0 : raiseOutcome(outcome, reason);
}

// A new reference to `object` (Py_NewRef, which 3.9 lacks).
inline PyObject* newReference(PyObject* object) {
    Py_INCREF(object);
    return object;
}

}  // namespace quillbank::aztec::binding
