// The conversion of the search encoder's ECI argument (Encoder.encode): an
// int (bool included) or an integer-like object (one with __index__, such
// as a NumPy integer) taken as an unsigned 32-bit number, with the errors
// that callers of the encoder rely on.  The product's doors take ECI numbers
// by the package's own rule instead (stream_arguments.hpp, parseEci).
#pragma once

#include <Python.h>

#include <cstdint>

namespace quillbank::aztec {

// 0 and the number, or -1 with OverflowError for negative values and for
// values of 2**32 and more.  `eci` must be an int.
inline int eciFromInt(PyObject* eci, uint32_t* number) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(eci, &overflow);
    if (value == -1 && PyErr_Occurred()) return -1;
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint32_t");
        return -1;
    }
    if (overflow > 0 || value > 0xFFFFFFFFLL) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to uint32_t");
        return -1;
    }
    *number = uint32_t(value);
    return 0;
}

// True for the objects taken as an ECI number: ints (bool included) and
// objects that operator.index accepts.
inline bool isEciNumber(PyObject* eci) { return PyLong_Check(eci) || PyIndex_Check(eci); }

// As eciFromInt for any object isEciNumber accepts; the integer-like ones
// go through their __index__ first, whose error, if any, is the result.
inline int eciFromNumber(PyObject* eci, uint32_t* number) {
    if (PyLong_Check(eci)) return eciFromInt(eci, number);
    PyObject* value = PyNumber_Index(eci);
    if (!value) return -1;
    int result = eciFromInt(value, number);
    Py_DECREF(value);
    return result;
}

}  // namespace quillbank::aztec
