// Objects the module creates once, during initialisation, and keeps for the
// life of the process: interned names, constants and cached builtins.
#pragma once

#include <Python.h>

namespace quillbank::aztec {

struct ModuleGlobals {
    PyObject* module;          // the module, once execModule got past its checks
    PyObject* moduleDict;      // borrowed from `module`, with a reference of its own
    PyObject* builtins;        // the builtins module
    PyObject* runtimeModule;   // holds the cline_in_traceback switch
    PyObject* emptyTuple;
    PyObject* emptyBytes;
    PyObject* emptyUnicode;
    // Interned names.
    PyObject* nameData;
    PyObject* nameEci;
    PyObject* nameAsBits;
    PyObject* nameEncode;
    PyObject* nameReset;
    PyObject* nameList;
    PyObject* nameBuiltins;    // "__builtins__"
    PyObject* nameClineInTraceback;
    PyObject* nameGetstate;
    PyObject* nameReduce;
    PyObject* nameReduceEx;
    PyObject* nameReduceCython;
    PyObject* nameSetstate;
    PyObject* nameSetstateCython;
    PyObject* nameName;        // "__name__"
    PyObject* nameTest;        // "__test__"
    PyObject* nameVtable;      // "__pyx_vtable__"
    PyObject* nameEncoder;     // "Encoder"
    // Constants.
    PyObject* textUtf8;        // "utf8"
    PyObject* builtinRange;
    PyObject* builtinTypeError;
    PyObject* refusalArgsReduce;    // ("no default __reduce__ ...",)
    PyObject* refusalArgsSetstate;
};

extern ModuleGlobals globals;

}  // namespace quillbank::aztec
