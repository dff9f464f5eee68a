// The arguments that the stream-making bindings share (_aztec and
// _test_hooks): the message's bytes, an ECI number and a list of flags, read
// from Python objects.  The rules for message bytes and ECI numbers are the
// package's, written once in Python (charsets.buffer_bytes and
// arguments.check_eci): the common cases (str, bytes, a plain int in range)
// are read here, and everything else is handed to those functions, so that
// every door takes and refuses the same objects with the same errors.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include <quillbank/aztec.hpp>

namespace quillbank::aztec::binding {

// A new reference to module.function(argument), or NULL with an exception
// set.  The module is imported on the uncommon paths alone, so that loading
// a binding loads nothing else.
inline PyObject* callPackageRule(const char* module, const char* function, PyObject* argument) {
    PyObject* owner = PyImport_ImportModule(module);  // new reference
    if (!owner) return nullptr;
    PyObject* rule = PyObject_GetAttrString(owner, function);  // new reference
    Py_DECREF(owner);
    if (!rule) return nullptr;
    PyObject* result = PyObject_CallOneArg(rule, argument);
    Py_DECREF(rule);
    return result;
}

// The message's bytes, read from the caller's object once, with the GIL
// held, into storage that no other thread can change while the encoder runs
// without the GIL (it reads the message more than once).  A str lends its
// cached UTF-8 form and a bytes object its contents (both immutable, and the
// caller's reference keeps them alive); any other object is taken by the
// package's rule and its bytes copied, since another thread may write to a
// bytearray, an array or a memoryview.
class MessageBytes {
public:
    // 0 on success, -1 with an exception set.
    int acquire(PyObject* data) {
        if (PyUnicode_Check(data)) {
            Py_ssize_t size;
            const char* utf8 = PyUnicode_AsUTF8AndSize(data, &size);
            if (!utf8) return -1;
            lend(utf8, size);
            return 0;
        }
        if (PyBytes_Check(data)) {
            lend(PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data));
            return 0;
        }
        // A contiguous buffer of single bytes, the rule's common case, is
        // copied here; any other object goes to the package's rule, which
        // gathers a strided buffer or gives the error.
        if (PyObject_CheckBuffer(data)) {
            Py_buffer view;
            if (PyObject_GetBuffer(data, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
                const bool bytes = view.itemsize == 1;
                int copied = bytes ? copy(view.buf, view.len) : 0;
                PyBuffer_Release(&view);
                if (bytes) return copied;
            } else if (PyErr_ExceptionMatches(PyExc_BufferError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
                       PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();  // a strided or released buffer: the rule says what to do with it
            } else {
                return -1;
            }
        }
        PyObject* gathered = callPackageRule("quillbank.aztec.charsets", "buffer_bytes", data);  // new reference
        if (!gathered) return -1;
        int copied = -1;
        if (PyBytes_Check(gathered)) {
            copied = copy(PyBytes_AS_STRING(gathered), PyBytes_GET_SIZE(gathered));
        } else {
            PyErr_SetString(PyExc_SystemError, "buffer_bytes gave no bytes");
        }
        Py_DECREF(gathered);
        return copied;
    }

    const uint8_t* data() const { return bytes_; }
    std::size_t size() const { return size_; }
    // Whether data() is the object's own (a str's or bytes'), unchanged and
    // alive for as long as the object is: else it is this copy.
    bool lent() const { return lent_; }

private:
    void lend(const char* bytes, Py_ssize_t size) {
        bytes_ = reinterpret_cast<const uint8_t*>(bytes);
        size_ = std::size_t(size);
        lent_ = true;
    }

    int copy(const void* bytes, Py_ssize_t size) {
        try {
            const auto* first = static_cast<const uint8_t*>(bytes);
            own_.assign(first, first + size);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return -1;
        }
        bytes_ = own_.data();
        size_ = own_.size();
        return 0;
    }

    std::vector<uint8_t> own_;
    const uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;
    bool lent_ = false;
};

// None, False (no designator) or an ECI number 0 to 999999, by the
// package's rule: a plain int in range is read here, any other object goes
// through arguments.check_eci, which gives the number (or False) or raises
// its error.  0 on success, -1 with an exception set.
inline int parseEci(PyObject* object, std::optional<uint32_t>& eci) {
    constexpr long long most = static_cast<long long>(quillbank::aztec::kMostEci);
    if (object == Py_None) return 0;
    if (PyLong_CheckExact(object)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (value == -1 && PyErr_Occurred()) return -1;
        if (overflow == 0 && value >= 0 && value <= most) {
            eci = uint32_t(value);
            return 0;
        }
    }
    PyObject* checked = callPackageRule("quillbank.aztec.arguments", "check_eci", object);  // new reference
    if (!checked) return -1;
    int result = 0;
    if (checked != Py_False && checked != Py_None) {
        long long value = PyLong_Check(checked) ? PyLong_AsLongLong(checked) : -1;
        if (value >= 0 && value <= most) {
            eci = uint32_t(value);
        } else {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "check_eci gave no ECI number");
            result = -1;
        }
    }
    Py_DECREF(checked);
    return result;
}

// One (position, value) item: position an int, value None (FNC1) or an
// ECI number 0 to 999999, into a Flag of the public API or of the core
// (both a position and an optional ECI number).  0 on success, -1 with an
// exception set.
template <typename Flag>
int parseFlag(PyObject* item, Flag& flag) {
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
        PyErr_Format(PyExc_TypeError, "each flag must be a (position, value) tuple, not %.200s",
                     Py_TYPE(item)->tp_name);
        return -1;
    }
    PyObject* position = PyTuple_GET_ITEM(item, 0);  // borrowed, held by the tuple
    PyObject* value = PyTuple_GET_ITEM(item, 1);
    if (!PyLong_Check(position) || !(value == Py_None || PyLong_Check(value))) {
        PyErr_Format(PyExc_TypeError, "a flag is (int position, None for FNC1 or an int ECI number), not (%.200s, %.200s)",
                     Py_TYPE(position)->tp_name, Py_TYPE(value)->tp_name);
        return -1;
    }
    Py_ssize_t at = PyLong_AsSsize_t(position);
    if (at == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return -1;
        PyErr_Clear();
        // Name the number as given: it is past any message, or below 0.
        PyErr_Format(PyExc_ValueError, "flag position %R is out of range", position);
        return -1;
    }
    if (at < 0) {
        PyErr_Format(PyExc_ValueError, "flag position %zd is negative", at);
        return -1;
    }
    flag.position = std::size_t(at);
    flag.eci = std::nullopt;
    if (value == Py_None) return 0;
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || number < 0 || number > static_cast<long long>(quillbank::aztec::kMostEci)) {
        PyErr_SetString(PyExc_ValueError, "ECI numbers are 0 to 999999 (None is FNC1)");
        return -1;
    }
    flag.eci = uint32_t(number);
    return 0;
}

// The flags of a sequence, checked against nothing but themselves: the
// positions against the message once it is copied.  0 on success, -1 with
// an exception set.
template <typename Flag>
int parseFlags(PyObject* sequence, std::vector<Flag>& flags) {
    PyObject* fast = PySequence_Fast(sequence, "flags must be a sequence of (position, value) tuples");
    if (!fast) return -1;
    int result = 0;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(fast);
    if (std::size_t(count) > quillbank::aztec::kMostFlags) {
        PyErr_Format(PyExc_ValueError, "at most %zu flags are taken", quillbank::aztec::kMostFlags);
        result = -1;
    }
    for (Py_ssize_t i = 0; result == 0 && i < count; ++i) {
        Flag flag{};
        // The items are tuples: reading them runs no Python code.
        if (parseFlag(PySequence_Fast_GET_ITEM(fast, i), flag) < 0) {
            result = -1;
        } else if (!flags.empty() && flag.position < flags.back().position) {
            PyErr_Format(PyExc_ValueError, "flag positions must not decrease (%zu after %zu)",
                         flag.position, flags.back().position);
            result = -1;
        } else {
            flags.push_back(flag);
        }
    }
    Py_DECREF(fast);
    return result;
}

}  // namespace quillbank::aztec::binding
