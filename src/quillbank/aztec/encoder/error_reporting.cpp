#include "error_reporting.hpp"

#include <frameobject.h>

#include <exception>
#include <functional>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "module_globals.hpp"

namespace quillbank::aztec {

const char kModuleFile[] = "quillbank\\aztec\\encoder\\__init__";
const char kConversionFile[] = "stringsource";

// The implementation file named in records while cline_in_traceback is on.
static const char kImplementationFile[] = "quillbank/aztec/encoder/__init__";

// ---------------------------------------------------------------------------
// Translation of C++ exceptions

void translateException() {
    if (PyErr_Occurred()) return;  // a Python error raised on the way wins
    try {
        throw;
    } catch (const std::bad_alloc& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_typeid& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::ios_base::failure& e) {
        PyErr_SetString(PyExc_IOError, e.what());
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::range_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::underflow_error& e) {
        PyErr_SetString(PyExc_ArithmeticError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "Unknown exception");
    }
}

// ---------------------------------------------------------------------------
// Traceback records

namespace {

// Code objects of earlier records, sorted by (line key, function, file).
// A record that fails at the same place again costs only a frame.
struct CodeCacheEntry {
    int line;
    const char* function;
    const char* file;
    PyCodeObject* code;
};

struct CodeObjectCache {
    CodeCacheEntry* entries = nullptr;
    int count = 0;
    int capacity = 0;
};

CodeObjectCache codeObjectCache;

bool entryBefore(const CodeCacheEntry& e, int line, const char* function, const char* file) {
    if (e.line != line) return e.line < line;
    if (e.function != function) return std::less<const char*>()(e.function, function);
    return std::less<const char*>()(e.file, file);
}

// Index of the first entry not before the key.
int lowerBound(int line, const char* function, const char* file) {
    int lo = 0, hi = codeObjectCache.count;
    while (lo < hi) {
        int mid = (lo + hi) / 2;
        if (entryBefore(codeObjectCache.entries[mid], line, function, file))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

PyCodeObject* findCode(int line, const char* function, const char* file) {
    int i = lowerBound(line, function, file);
    if (i == codeObjectCache.count) return nullptr;
    const CodeCacheEntry& e = codeObjectCache.entries[i];
    if (e.line != line || e.function != function || e.file != file) return nullptr;
    Py_INCREF(e.code);
    return e.code;
}

// Takes a new reference to `code` when it is stored; a cache that cannot
// grow simply does not keep it.
void insertCode(int line, const char* function, const char* file, PyCodeObject* code) {
    int i = lowerBound(line, function, file);
    if (i < codeObjectCache.count) {
        CodeCacheEntry& e = codeObjectCache.entries[i];
        if (e.line == line && e.function == function && e.file == file) {
            Py_INCREF(code);
            Py_SETREF(e.code, code);
            return;
        }
    }
    if (codeObjectCache.count == codeObjectCache.capacity) {
        int capacity = codeObjectCache.capacity + 64;
        void* grown = PyMem_Realloc(codeObjectCache.entries, sizeof(CodeCacheEntry) * capacity);
        if (!grown) return;
        codeObjectCache.entries = static_cast<CodeCacheEntry*>(grown);
        codeObjectCache.capacity = capacity;
    }
    for (int j = codeObjectCache.count; j > i; --j)
        codeObjectCache.entries[j] = codeObjectCache.entries[j - 1];
    Py_INCREF(code);
    codeObjectCache.entries[i] = CodeCacheEntry{line, function, file, code};
    ++codeObjectCache.count;
}

// Whether records show the implementation line: the switch
// cline_in_traceback on the runtime-support module, False when missing.
bool showImplementationLine() {
    if (!globals.runtimeModule) return true;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    bool show = false;
    PyObject* dict = PyModule_GetDict(globals.runtimeModule);  // borrowed
    PyObject* flag = dict ? PyDict_GetItemWithError(dict, globals.nameClineInTraceback) : nullptr;
    if (flag) {
        int truth = flag == Py_True ? 1 : flag == Py_False ? 0 : PyObject_IsTrue(flag);
        show = truth > 0;
    } else {
        PyErr_Clear();
        if (PyObject_SetAttr(globals.runtimeModule, globals.nameClineInTraceback, Py_False) < 0)
            PyErr_Clear();
    }
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return show;
}

PyCodeObject* newTracebackCode(const char* function, int implementationLine, int sourceLine,
                               const char* fileName) {
    PyCodeObject* code;
    if (implementationLine) {
        PyObject* name = PyUnicode_FromFormat("%s (%s:%d)", function, kImplementationFile,
                                              implementationLine);
        if (!name) return nullptr;
        const char* utf8 = PyUnicode_AsUTF8(name);
        code = utf8 ? PyCode_NewEmpty(fileName, utf8, sourceLine) : nullptr;
        Py_DECREF(name);
    } else {
        code = PyCode_NewEmpty(fileName, function, sourceLine);
    }
    return code;
}

}  // namespace

void addTraceback(const char* function, int implementationLine, int sourceLine,
                  const char* fileName) {
    if (!showImplementationLine()) implementationLine = 0;
    int key = implementationLine ? -implementationLine : sourceLine;
    // While an exception is pending the code and frame are made with it set
    // aside, and a record that cannot be made is simply left out.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject* code = findCode(key, function, fileName);
    if (!code) {
        code = newTracebackCode(function, implementationLine, sourceLine, fileName);
        if (code) insertCode(key, function, fileName, code);
    }
    PyFrameObject* frame = nullptr;
    if (code && globals.moduleDict)
        frame = PyFrame_New(PyThreadState_Get(), code, globals.moduleDict, nullptr);
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

// ---------------------------------------------------------------------------
// The unraisable-error path

void writeUnraisable(const char* operation) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    // First the full report with its traceback (which also sets
    // sys.last_type, sys.last_value and sys.last_traceback) ...
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(1);
    // ... then the unraisable hook, naming the operation.
    PyObject* context = PyUnicode_FromString(operation);
    PyErr_Restore(type, value, traceback);
    PyErr_WriteUnraisable(context ? context : Py_None);
    Py_XDECREF(context);
}

// ---------------------------------------------------------------------------
// Calls into Python

PyObject* callObject(PyObject* callable, PyObject* args) {
    ternaryfunc call = Py_TYPE(callable)->tp_call;
    if (!call) return PyObject_Call(callable, args, nullptr);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = call(callable, args, nullptr);
    Py_LeaveRecursiveCall();
    if (!result && !PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    return result;
}

PyObject* callOneArg(PyObject* callable, PyObject* arg) {
    PyObject* args = PyTuple_Pack(1, arg);
    if (!args) return nullptr;
    PyObject* result = callObject(callable, args);
    Py_DECREF(args);
    return result;
}

PyObject* callNoArgs(PyObject* callable) { return callObject(callable, globals.emptyTuple); }

}  // namespace quillbank::aztec
