// quillbank.aztec.encoder: the Encoder type and the module's initialisation.
//
// An Encoder turns a message into the data bit stream of an Aztec Code
// symbol.  It owns one candidate tree; `encode` feeds the message through
// the search (search.cpp), reads the best candidate's bits (output.cpp) and
// resets the object for the next message.

#include <Python.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "../eci_argument.hpp"
#include "eci.hpp"
#include "encoder_object.hpp"
#include "error_reporting.hpp"
#include "fault_injection.hpp"
#include "module_globals.hpp"

namespace quillbank::aztec {

ModuleGlobals globals;
EncoderOperations encoderOperations;

namespace {

// Source lines named by the traceback records of each failing step.
enum SourceLine {
    kLineCinit = 24,
    kLineReset = 34,
    kLineBinding = 37,
    kLineBytearray = 39,
    kLineText = 41,
    kLineOther = 43,
    kLineEci = 45,
    kLineData = 46,
    kLineAsBits = 47,
    kLineBits = 48,
    kLineBytes = 50,
    kLineCallReset = 51,
    kLineReduce = 2,
    kLineSetstate = 4,
    kLineInit = 2,
    kLineInitType = 19,
};

// Records of the conversions between Python objects and the core's byte
// strings and bit vectors.
const char kBytesFromPython[] = "string.from_py.__pyx_convert_string_from_py_std__in_string";
const char kBytesToPython[] = "string.to_py.__pyx_convert_PyBytes_string_to_py_std__in_string";
const char kBitsToPython[] = "vector.to_py.__pyx_convert_vector_to_py_bool";
enum ConversionLine { kLineBytesFromPython = 15, kLineBytesToPython = 50, kLineBitsToPython = 61 };

const char kEncodeName[] = "quillbank.aztec.encoder.Encoder.encode";

PyTypeObject EncoderType;

// ---------------------------------------------------------------------------
// The tree's root

// Creates a new root and makes it the only live state.  Throws on failure,
// leaving `root` null and the live list empty.
void plantRoot(EncoderObject* self) {
    try {
        if (faultDue(FaultSite::NewRoot)) throwInjectedFault();
        self->liveStates.reserve(8);
        self->root = newRoot(self->tree);
        self->liveStates.push_back(self->root);
    } catch (...) {
        // Without a tree: encode plants one before use.
        self->root = nullptr;
        self->liveStates.clear();
        throw;
    }
}

void releaseTree(EncoderObject* self) {
    if (self->root) freeTree(self->tree, self->root);
    self->root = nullptr;
    self->liveStates.clear();
}

// After a failed encode: a fresh tree, so that nothing of the failed message
// reaches the next one.  The exception in flight is kept; if no root can be
// planted the object stays without one, and encode plants one before use.
void discardFailedMessage(EncoderObject* self) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    releaseTree(self);
    try {
        plantRoot(self);
    } catch (...) {
        // The first error is the one raised; this one is dropped.
    }
    PyErr_Clear();  // an injected fault's own error, if any
    PyErr_Restore(type, value, traceback);
}

// ---------------------------------------------------------------------------
// Construction and destruction

void Encoder_dealloc(PyObject* o);

PyObject* Encoder_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    auto* self = reinterpret_cast<EncoderObject*>(o);
    self->operationTable = &encoderOperations;
    self->root = nullptr;
    self->encoding = false;
    // None of these constructors allocates.
    new (&self->liveStates) std::vector<EncodeState*>();
    new (&self->tree) StateTree();
    new (&self->snapshot) std::vector<EncodeState*>();
    try {
        plantRoot(self);
    } catch (...) {
        translateException();
        addTraceback("quillbank.aztec.encoder.Encoder.__cinit__", __LINE__, kLineCinit, kModuleFile);
        Py_DECREF(o);
        return nullptr;
    }
    return o;
}

void Encoder_dealloc(PyObject* o) {
    auto* self = reinterpret_cast<EncoderObject*>(o);
    // Only a subclass can add a finaliser; it may resurrect the object.
    destructor finalize = Py_TYPE(o)->tp_finalize;
    if (finalize && Py_TYPE(o)->tp_dealloc == Encoder_dealloc &&
        (!PyType_IS_GC(Py_TYPE(o)) || !PyObject_GC_IsFinalized(o))) {
        if (PyObject_CallFinalizerFromDealloc(o)) return;
    }
    {
        // Destruction never disturbs an exception in flight.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        Py_SET_REFCNT(o, Py_REFCNT(o) + 1);
        if (self->root) freeTree(self->tree, self->root);
        self->root = nullptr;
        self->liveStates.clear();
        Py_SET_REFCNT(o, Py_REFCNT(o) - 1);
        PyErr_Restore(type, value, traceback);
    }
    self->snapshot.~vector();
    self->tree.~StateTree();
    self->liveStates.~vector();
    Py_TYPE(o)->tp_free(o);
}

// ---------------------------------------------------------------------------
// reset()

PyObject* Encoder_reset(PyObject* o, PyObject*) {
    auto* self = reinterpret_cast<EncoderObject*>(o);
    releaseTree(self);
    try {
        plantRoot(self);
    } catch (...) {
        translateException();
        addTraceback("quillbank.aztec.encoder.Encoder.reset", __LINE__, kLineReset, kModuleFile);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// encode(): argument binding

void raiseArgumentCount(bool tooMany, Py_ssize_t given) {
    Py_ssize_t expected = tooMany ? 3 : 1;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 "encode", tooMany ? "at most" : "at least", expected,
                 expected == 1 ? "" : "s", given);
}

// Keywords left over once the named parameters were taken: set a parameter
// not filled positionally, or fail on the first offending keyword.
int bindRemainingKeywords(PyObject* kwds, PyObject* values[3], Py_ssize_t positional) {
    PyObject* const names[3] = {globals.nameData, globals.nameEci, globals.nameAsBits};
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        int found = -1;
        for (int i = int(positional); i < 3 && found < 0; ++i)
            if (names[i] == key) found = i;
        if (found >= 0) {
            values[found] = value;
            continue;
        }
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "encode");
            return -1;
        }
        for (int i = 0; i < 3; ++i) {
            int cmp = PyUnicode_GET_LENGTH(names[i]) != PyUnicode_GET_LENGTH(key)
                          ? 1
                          : PyUnicode_Compare(names[i], key);
            if (cmp < 0 && PyErr_Occurred()) return -1;
            if (cmp != 0) continue;
            if (i >= positional) {
                values[i] = value;
                found = i;
                break;
            }
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         "encode", key);
            return -1;
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "encode",
                         key);
            return -1;
        }
    }
    return 0;
}

// Fills values[] with data, eci and asBits (borrowed references).
int bindEncodeArguments(PyObject* args, PyObject* kwds, PyObject* values[3]) {
    Py_ssize_t positional = PyTuple_GET_SIZE(args);
    values[0] = nullptr;
    values[1] = Py_None;
    values[2] = Py_False;
    if (positional > 3) {
        raiseArgumentCount(true, positional);
        return -1;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) values[i] = PyTuple_GET_ITEM(args, i);
    if (!kwds) {
        if (positional == 0) {
            raiseArgumentCount(false, 0);
            return -1;
        }
        return 0;
    }
    Py_ssize_t unused = PyDict_Size(kwds);
    PyObject* const names[3] = {globals.nameData, globals.nameEci, globals.nameAsBits};
    for (Py_ssize_t i = positional; i < 3; ++i) {
        if (i > 0 && unused <= 0) break;
        PyObject* value = PyDict_GetItemWithError(kwds, names[i]);
        if (value) {
            values[i] = value;
            --unused;
        } else if (PyErr_Occurred()) {
            return -1;
        } else if (i == 0) {
            raiseArgumentCount(false, 0);
            return -1;
        }
    }
    if (unused > 0) return bindRemainingKeywords(kwds, values, positional);
    return 0;
}

// ---------------------------------------------------------------------------
// encode(): the message as bytes

// Bytes of an object that offers the buffer protocol, read as unsigned
// bytes; only C-contiguous buffers are taken.  New reference.
PyObject* bytesOfBuffer(PyObject* data) {
    Py_buffer view;
    // Ask for any layout, then refuse the ones that are not C-contiguous:
    // exporters differ in how they refuse a contiguous request.
    if (PyObject_GetBuffer(data, &view, PyBUF_FULL_RO) < 0) return nullptr;
    if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyBuffer_Release(&view);
        PyErr_Format(PyExc_TypeError,
                     "encode() needs a C-contiguous buffer; '%.200s' object is not contiguous",
                     Py_TYPE(data)->tp_name);
        return nullptr;
    }
    PyObject* bytes = PyBytes_FromStringAndSize(static_cast<const char*>(view.buf), view.len);
    PyBuffer_Release(&view);
    return bytes;
}

// The UTF-8 form of a text, through the object's own `encode`.
PyObject* encodeText(PyObject* text) {
    PyObject* method = PyObject_GetAttr(text, globals.nameEncode);
    if (!method) return nullptr;
    PyObject* bytes = callOneArg(method, globals.textUtf8);
    Py_DECREF(method);
    return bytes;
}

// The message as a bytes-like object (new reference), or null with the
// error and its record.
PyObject* coerceData(PyObject* data) {
    PyObject* result;
    int line;
    if (PyByteArray_Check(data)) {
        line = kLineBytearray;
        result = callOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), data);
    } else if (PyUnicode_Check(data)) {
        line = kLineText;
        result = encodeText(data);
    } else if (PyBytes_Check(data)) {
        Py_INCREF(data);
        return data;
    } else if (PyObject_CheckBuffer(data)) {
        line = kLineOther;
        result = bytesOfBuffer(data);
    } else {
        line = kLineOther;
        PyObject* text = callOneArg(reinterpret_cast<PyObject*>(&PyUnicode_Type), data);
        result = text ? encodeText(text) : nullptr;
        Py_XDECREF(text);
    }
    if (!result) addTraceback(kEncodeName, __LINE__, line, kModuleFile);
    return result;
}

// The contents of the coerced message: bytes, or a bytearray returned by a
// text's own encode.  A bytearray is copied into `*data` (which then holds
// bytes): Python code that runs while the message is fed (an unraisable
// hook) could resize it.
int messageContents(PyObject** data, char** buffer, Py_ssize_t* length) {
    if (PyByteArray_Check(*data)) {
        PyObject* copy = PyBytes_FromStringAndSize(PyByteArray_AS_STRING(*data),
                                                   PyByteArray_GET_SIZE(*data));
        if (!copy) return -1;
        Py_SETREF(*data, copy);
    }
    if (PyBytes_AsStringAndSize(*data, buffer, length) < 0) {
        addTraceback(kBytesFromPython, __LINE__, kLineBytesFromPython, kConversionFile);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// encode(): the ECI designator

// Appends the designator to the root's own tokens, before any data.
int placeDesignator(EncoderObject* self, PyObject* eci) {
    uint32_t number;
    if (eciFromNumber(eci, &number) < 0) return -1;
    try {
        if (!self->root) plantRoot(self);
        for (BitToken token : eciDesignator(number)) appendToken(*self->root, token);
    } catch (...) {
        translateException();
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// encode(): the result

// The `list` to build the result with, from the module's __builtins__.
PyObject* lookupList() {
    PyObject* holder = PyDict_GetItemWithError(globals.moduleDict, globals.nameBuiltins);
    if (holder) {
        Py_INCREF(holder);
    } else {
        if (PyErr_Occurred()) return nullptr;
        holder = PyObject_GetAttr(globals.builtins, globals.nameBuiltins);
        if (!holder) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", globals.nameBuiltins);
            }
            return nullptr;
        }
    }
    PyObject* list = PyObject_GetAttr(holder, globals.nameList);
    Py_DECREF(holder);
    return list;
}

// A new list of True and False, one per stream bit.
PyObject* bitsToList(const BitVector& bits) {
    PyObject* list = PyList_New(Py_ssize_t(bits.size));
    if (!list) {
        addTraceback(kBitsToPython, __LINE__, kLineBitsToPython, kConversionFile);
        return nullptr;
    }
    for (std::size_t i = 0; i < bits.size; ++i) {
        PyObject* bit = bits[i] ? Py_True : Py_False;
        Py_INCREF(bit);
        PyList_SET_ITEM(list, Py_ssize_t(i), bit);
    }
    return list;
}

PyObject* resultAsBits(EncoderObject* self) {
    PyObject* list = lookupList();
    if (!list) return nullptr;
    PyObject* bitList = nullptr;
    try {
        BitVector bits = self->operationTable->toBits(self);
        bitList = bitsToList(bits);
    } catch (...) {
        translateException();
    }
    PyObject* result = bitList ? callOneArg(list, bitList) : nullptr;
    Py_XDECREF(bitList);
    Py_DECREF(list);
    return result;
}

PyObject* resultAsBytes(EncoderObject* self) {
    PyObject* packed = nullptr;
    try {
        std::string bytes = self->operationTable->toBytes(self);
        packed = PyBytes_FromStringAndSize(bytes.data(), Py_ssize_t(bytes.size()));
        if (!packed) addTraceback(kBytesToPython, __LINE__, kLineBytesToPython, kConversionFile);
    } catch (...) {
        translateException();
    }
    if (!packed) return nullptr;
    PyObject* result = callOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), packed);
    Py_DECREF(packed);
    return result;
}

// ---------------------------------------------------------------------------
// encode()

PyObject* encodeMessage(EncoderObject* self, PyObject* args, PyObject* kwds) {
    PyObject* o = reinterpret_cast<PyObject*>(self);
    PyObject* values[3];
    if (bindEncodeArguments(args, kwds, values) < 0) {
        addTraceback(kEncodeName, __LINE__, kLineBinding, kModuleFile);
        return nullptr;
    }
    PyObject* data = coerceData(values[0]);  // new reference
    if (!data) return nullptr;
    PyObject* eci = values[1];
    PyObject* asBits = values[2];
    PyObject* result = nullptr;
    PyObject* resetMethod;
    int line, wantBits;
    char* message;
    Py_ssize_t length;

    if (isEciNumber(eci) && placeDesignator(self, eci) < 0) {
        line = kLineEci;
        goto error;
    }
    line = kLineData;
    if (messageContents(&data, &message, &length) < 0) goto error;
    try {
        if (!self->root) plantRoot(self);
        self->operationTable->addData(self, reinterpret_cast<const uint8_t*>(message),
                                      std::size_t(length));
    } catch (...) {
        translateException();
        goto error;
    }

    line = kLineAsBits;
    wantBits = asBits == Py_True ? 1
               : (asBits == Py_False || asBits == Py_None) ? 0
                                                           : PyObject_IsTrue(asBits);
    if (wantBits < 0) goto error;
    line = wantBits ? kLineBits : kLineBytes;
    result = wantBits ? resultAsBits(self) : resultAsBytes(self);
    if (!result) goto error;

    line = kLineCallReset;
    resetMethod = PyObject_GetAttr(o, globals.nameReset);
    if (!resetMethod) goto error;
    {
        PyObject* none = callNoArgs(resetMethod);
        Py_DECREF(resetMethod);
        if (!none) goto error;
        Py_DECREF(none);
    }
    Py_DECREF(data);
    return result;

error:
    Py_XDECREF(result);
    Py_DECREF(data);
    addTraceback(kEncodeName, __LINE__, line, kModuleFile);
    return nullptr;
}

// One message at a time per object; a failed call leaves a fresh tree.
PyObject* Encoder_encode(PyObject* o, PyObject* args, PyObject* kwds) {
    auto* self = reinterpret_cast<EncoderObject*>(o);
    if (self->encoding) {
        PyErr_SetString(PyExc_RuntimeError, "encoder is already encoding a message");
        addTraceback(kEncodeName, __LINE__, kLineBinding, kModuleFile);
        return nullptr;
    }
    self->encoding = true;
    PyObject* result = encodeMessage(self, args, kwds);
    if (!result) discardFailedMessage(self);
    self->encoding = false;
    return result;
}

// ---------------------------------------------------------------------------
// The pickling refusal

PyObject* raiseRefusal(PyObject* args, const char* function, int line) {
    PyObject* error = callObject(globals.builtinTypeError, args);
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
        Py_DECREF(error);
    }
    addTraceback(function, __LINE__, line, kConversionFile);
    return nullptr;
}

PyObject* Encoder_reduce_cython(PyObject*, PyObject*) {
    return raiseRefusal(globals.refusalArgsReduce,
                        "quillbank.aztec.encoder.Encoder.__reduce_cython__", kLineReduce);
}

PyObject* Encoder_setstate_cython(PyObject*, PyObject*) {
    return raiseRefusal(globals.refusalArgsSetstate,
                        "quillbank.aztec.encoder.Encoder.__setstate_cython__", kLineSetstate);
}

// ---------------------------------------------------------------------------
// The type

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
#endif
PyMethodDef encoderMethods[] = {
    {"reset", Encoder_reset, METH_NOARGS, nullptr},
    {"encode", reinterpret_cast<PyCFunction>(Encoder_encode), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"__reduce_cython__", Encoder_reduce_cython, METH_NOARGS, nullptr},
    {"__setstate_cython__", Encoder_setstate_cython, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

void initEncoderType() {
    PyTypeObject& t = EncoderType;
    t.tp_name = "quillbank.aztec.encoder.Encoder";
    t.tp_basicsize = sizeof(EncoderObject);
    t.tp_dealloc = Encoder_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_methods = encoderMethods;
    t.tp_new = Encoder_new;
}

// ---------------------------------------------------------------------------
// Pickling set-up: the refusing methods take the places of __reduce__ and
// __setstate__.

bool isNamed(PyObject* method, PyObject* name) {
    PyObject* methodName = PyObject_GetAttr(method, globals.nameName);
    if (!methodName) {
        PyErr_Clear();
        return false;
    }
    int equal = PyObject_RichCompareBool(methodName, name, Py_EQ);
    Py_DECREF(methodName);
    if (equal < 0) PyErr_Clear();
    return equal > 0;
}

// getattr(type, name) or null without an error for a missing attribute.
PyObject* lookupOptional(PyObject* type, PyObject* name) {
    PyObject* value = PyObject_GetAttr(type, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return value;
}

int moveMethod(PyObject* dict, PyObject* from, PyObject* to, PyObject* method) {
    if (PyDict_SetItem(dict, to, method) < 0) return -1;
    return PyDict_DelItem(dict, from);
}

int setupPicklingRefusal(PyTypeObject* type) {
    PyObject* typeObject = reinterpret_cast<PyObject*>(type);
    PyObject* dict = type->tp_dict;
    PyObject *reduceEx = nullptr, *reduce = nullptr, *reduceCython = nullptr;
    PyObject *setstate = nullptr, *setstateCython = nullptr;
    int result = -1;

    PyObject* getstate = _PyType_Lookup(type, globals.nameGetstate);  // borrowed
    if (getstate && getstate != _PyType_Lookup(&PyBaseObject_Type, globals.nameGetstate))
        return 0;  // the type pickles its own way
    PyObject* objectReduceEx = _PyType_Lookup(&PyBaseObject_Type, globals.nameReduceEx);
    PyObject* objectReduce = _PyType_Lookup(&PyBaseObject_Type, globals.nameReduce);
    if (!objectReduceEx || !objectReduce) goto done;
    reduceEx = PyObject_GetAttr(typeObject, globals.nameReduceEx);
    if (!reduceEx) goto done;
    if (reduceEx != objectReduceEx) {
        result = 0;
        goto done;
    }
    reduce = PyObject_GetAttr(typeObject, globals.nameReduce);
    if (!reduce) goto done;
    if (reduce != objectReduce && !isNamed(reduce, globals.nameReduceCython)) {
        result = 0;
        goto done;
    }
    reduceCython = lookupOptional(typeObject, globals.nameReduceCython);
    if (reduceCython) {
        if (moveMethod(dict, globals.nameReduceCython, globals.nameReduce, reduceCython) < 0)
            goto done;
    } else if (reduce == objectReduce || PyErr_Occurred()) {
        goto done;
    }
    setstate = lookupOptional(typeObject, globals.nameSetstate);
    if (!setstate) PyErr_Clear();
    if (!setstate || isNamed(setstate, globals.nameSetstateCython)) {
        setstateCython = lookupOptional(typeObject, globals.nameSetstateCython);
        if (setstateCython) {
            if (moveMethod(dict, globals.nameSetstateCython, globals.nameSetstate,
                           setstateCython) < 0)
                goto done;
        } else if (!setstate || PyErr_Occurred()) {
            goto done;
        }
    }
    PyType_Modified(type);
    result = 0;
done:
    if (result < 0 && !PyErr_Occurred())
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %s", type->tp_name);
    Py_XDECREF(reduceEx);
    Py_XDECREF(reduce);
    Py_XDECREF(reduceCython);
    Py_XDECREF(setstate);
    Py_XDECREF(setstateCython);
    return result;
}

}  // namespace
}  // namespace quillbank::aztec

// ---------------------------------------------------------------------------
// Module initialisation

namespace quillbank::aztec {
namespace {

const char kModuleName[] = "quillbank.aztec.encoder";
const char kRuntimeModuleName[] = "_quillbank_aztec_runtime";
const char kRefusal[] = "no default __reduce__ due to non-trivial __cinit__";

int64_t loadedInterpreter = -1;

// One interpreter per process: the tree and the cached objects are shared.
int checkSingleInterpreter() {
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (loadedInterpreter == -1) {
        loadedInterpreter = current;
        return current == -1 ? -1 : 0;
    }
    if (loadedInterpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies spec.<from> into the module dictionary as <to>; a missing
// attribute is skipped.
int copySpecAttribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                      bool allowNone) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int result = 0;
    if (allowNone || value != Py_None) result = PyDict_SetItemString(dict, to, value);
    Py_DECREF(value);
    return result;
}

PyObject* createModule(PyObject* spec, PyModuleDef*) {
    if (checkSingleInterpreter() < 0) return nullptr;
    if (globals.module) {
        Py_INCREF(globals.module);
        return globals.module;
    }
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!dict || copySpecAttribute(spec, dict, "loader", "__loader__", true) < 0 ||
        copySpecAttribute(spec, dict, "origin", "__file__", true) < 0 ||
        copySpecAttribute(spec, dict, "parent", "__package__", true) < 0 ||
        copySpecAttribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// The running interpreter's major and minor version, read from
// sys.version (falling back to the C library's version string).
void runtimeVersion(int* major, int* minor) {
    const char* text = nullptr;
    PyObject* version = PySys_GetObject("version");  // borrowed
    if (version && PyUnicode_Check(version)) text = PyUnicode_AsUTF8(version);
    if (!text) {
        PyErr_Clear();
        text = Py_GetVersion();
    }
    *major = *minor = -1;
    if (sscanf(text, "%d.%d", major, minor) != 2) *minor = -1;
}

// Warns when the module runs on another minor version than it was built for.
int checkVersion() {
    int major, minor;
    runtimeVersion(&major, &minor);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %d.%d of module '%.100s' does not match runtime version "
                  "%d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

struct InternedName {
    PyObject** slot;
    const char* text;
};

int createConstants() {
    const InternedName names[] = {
        {&globals.nameData, "data"},
        {&globals.nameEci, "eci"},
        {&globals.nameAsBits, "asBits"},
        {&globals.nameEncode, "encode"},
        {&globals.nameReset, "reset"},
        {&globals.nameList, "list"},
        {&globals.nameBuiltins, "__builtins__"},
        {&globals.nameClineInTraceback, "cline_in_traceback"},
        {&globals.nameGetstate, "__getstate__"},
        {&globals.nameReduce, "__reduce__"},
        {&globals.nameReduceEx, "__reduce_ex__"},
        {&globals.nameReduceCython, "__reduce_cython__"},
        {&globals.nameSetstate, "__setstate__"},
        {&globals.nameSetstateCython, "__setstate_cython__"},
        {&globals.nameName, "__name__"},
        {&globals.nameTest, "__test__"},
        {&globals.nameVtable, "__pyx_vtable__"},
        {&globals.nameEncoder, "Encoder"},
        {&globals.textUtf8, "utf8"},
    };
    for (const InternedName& name : names) {
        if (*name.slot) continue;
        *name.slot = PyUnicode_InternFromString(name.text);
        if (!*name.slot || PyObject_Hash(*name.slot) == -1) return -1;
    }
    return 0;
}

// A builtin fetched once, or NameError.
PyObject* fetchBuiltin(const char* name) {
    PyObject* value = PyObject_GetAttrString(globals.builtins, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    }
    return value;
}

int registerInModules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* existing = PyDict_GetItemString(modules, kModuleName);
    if (existing) return 0;
    return PyDict_SetItemString(modules, kModuleName, module);
}

// Steps of initialisation that concern the type; their records name line 19.
int initType(PyObject* module) {
    fillSearchOperations(encoderOperations);
    fillOutputOperations(encoderOperations);
    if (PyType_Ready(&EncoderType) < 0) return -1;
    PyObject* capsule = PyCapsule_New(&encoderOperations, nullptr, nullptr);
    if (!capsule) return -1;
    int stored = PyDict_SetItem(EncoderType.tp_dict, globals.nameVtable, capsule);
    Py_DECREF(capsule);
    if (stored < 0) return -1;
    if (PyObject_SetAttr(module, globals.nameEncoder, reinterpret_cast<PyObject*>(&EncoderType)) < 0)
        return -1;
    return setupPicklingRefusal(&EncoderType);
}

int keepReference(PyObject** slot, PyObject* value) {
    if (!value) return -1;
    Py_XSETREF(*slot, value);
    return 0;
}

int execModule(PyObject* module) {
    int line = kLineInit;
    if (globals.module) {
        if (globals.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'encoder' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (checkVersion() < 0) goto error;
    if (keepReference(&globals.emptyTuple, PyTuple_New(0)) < 0 ||
        keepReference(&globals.emptyBytes, PyBytes_FromStringAndSize("", 0)) < 0 ||
        keepReference(&globals.emptyUnicode, PyUnicode_FromStringAndSize("", 0)) < 0)
        goto error;

    Py_INCREF(module);
    globals.module = module;
    globals.moduleDict = PyModule_GetDict(module);
    if (!globals.moduleDict) goto error;
    Py_INCREF(globals.moduleDict);
    globals.builtins = PyImport_AddModule("builtins");  // borrowed
    if (!globals.builtins) goto error;
    Py_INCREF(globals.builtins);
    globals.runtimeModule = PyImport_AddModule(kRuntimeModuleName);  // borrowed
    if (!globals.runtimeModule) goto error;
    Py_INCREF(globals.runtimeModule);
    if (PyObject_SetAttrString(module, "__builtins__", globals.builtins) < 0) goto error;
    if (createConstants() < 0) goto error;
    if (registerInModules(module) < 0) goto error;
    if (keepReference(&globals.builtinRange, fetchBuiltin("range")) < 0 ||
        keepReference(&globals.builtinTypeError, fetchBuiltin("TypeError")) < 0)
        goto error;
    if (keepReference(&globals.refusalArgsReduce, Py_BuildValue("(s)", kRefusal)) < 0 ||
        keepReference(&globals.refusalArgsSetstate, Py_BuildValue("(s)", kRefusal)) < 0)
        goto error;
    line = kLineInitType;
    if (initType(module) < 0) goto error;
    line = kLineInit;
#ifdef QUILLBANK_FAULT_INJECTION
    if (addFaultInjection(module) < 0) goto error;
#endif
    {
        PyObject* test = PyDict_New();
        if (!test) goto error;
        int stored = PyDict_SetItem(globals.moduleDict, globals.nameTest, test);
        Py_DECREF(test);
        if (stored < 0) goto error;
    }
    return 0;

error:
    if (globals.module) {
        if (globals.moduleDict) addTraceback("init quillbank.aztec.encoder", __LINE__, line, kModuleFile);
        Py_CLEAR(globals.module);
        Py_CLEAR(globals.moduleDict);
        Py_CLEAR(globals.builtins);
        Py_CLEAR(globals.runtimeModule);
    } else if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init quillbank.aztec.encoder");
    }
    return -1;
}

PyModuleDef_Slot moduleSlots[] = {
    {Py_mod_create, reinterpret_cast<void*>(createModule)},
    {Py_mod_exec, reinterpret_cast<void*>(execModule)},
    {0, nullptr},
};

PyModuleDef moduleDef = {
    PyModuleDef_HEAD_INIT,
    "encoder",  // m_name
    nullptr,    // m_doc
    0,          // m_size
    nullptr,    // m_methods
    moduleSlots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace
}  // namespace quillbank::aztec

PyMODINIT_FUNC PyInit_encoder(void) {
    // Set up this thread's C++ exception state now, while memory is
    // plentiful, so that a later allocation failure can be thrown.
    (void)std::uncaught_exceptions();
    quillbank::aztec::initEncoderType();
    return PyModuleDef_Init(&quillbank::aztec::moduleDef);
}
