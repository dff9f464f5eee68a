// Test-only fault injection; compiled into the module only when the build
// option QUILLBANK_FAULT_INJECTION is on.
#ifdef QUILLBANK_FAULT_INJECTION

#include "fault_injection.hpp"

#include <cstring>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

namespace quillbank::aztec {

namespace {

struct FaultPlan {
    int site = -1;
    char kind[32] = {};
    long remaining = 0;  // calls at the site until the fault
};

FaultPlan plan;

const char* const kSiteNames[] = {"newRoot", "replaceState", "removeState",
                                  "addData", "growChild",    "output"};

PyObject* injectFault(PyObject*, PyObject* args) {
    const char *site, *kind;
    long nth;
    if (!PyArg_ParseTuple(args, "ssl", &site, &kind, &nth)) return nullptr;
    plan = FaultPlan{};
    for (int i = 0; i < int(FaultSite::Count); ++i)
        if (std::strcmp(site, kSiteNames[i]) == 0) plan.site = i;
    if (plan.site < 0) {
        PyErr_Format(PyExc_ValueError, "unknown fault site %s", site);
        return nullptr;
    }
    std::strncpy(plan.kind, kind, sizeof plan.kind - 1);
    plan.remaining = nth;
    Py_RETURN_NONE;
}

// A callable that returns NULL without setting an error, which no Python
// code can do, for the check of the module's calls into Python.
PyObject* callReturningNull(PyObject*, PyObject*, PyObject*) { return nullptr; }

PyTypeObject NullCallableType = [] {
    PyTypeObject type{};
    type.tp_name = "quillbank.aztec.encoder._NullCallable";
    type.tp_basicsize = sizeof(PyObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_call = callReturningNull;
    type.tp_new = PyType_GenericNew;
    return type;
}();

}  // namespace

int addFaultInjection(PyObject* module) {
    if (PyType_Ready(&NullCallableType) < 0) return -1;
    PyObject* callable = PyType_GenericNew(&NullCallableType, nullptr, nullptr);
    if (!callable) return -1;
    if (PyModule_AddObject(module, "_nullCallable", callable) < 0) {
        Py_DECREF(callable);
        return -1;
    }
    return PyModule_AddFunctions(module, injectFaultMethod);
}

PyMethodDef injectFaultMethod[] = {
    {"_injectFault", injectFault, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

bool faultDue(FaultSite site) {
    if (plan.site != int(site) || plan.remaining <= 0) return false;
    return --plan.remaining == 0;
}

int raiseInjectedFault() {
    PyErr_SetString(PyExc_RuntimeError, "injected fault");
    return -1;
}

void throwInjectedFault() {
    const char* kind = plan.kind;
    if (!std::strcmp(kind, "python")) {
        PyErr_SetString(PyExc_KeyError, "pending");
        throw std::runtime_error("hidden by the pending error");
    }
    if (!std::strcmp(kind, "bad_alloc")) throw std::bad_alloc();
    if (!std::strcmp(kind, "bad_cast")) throw std::bad_cast();
    if (!std::strcmp(kind, "bad_typeid")) throw std::bad_typeid();
    if (!std::strcmp(kind, "domain_error")) throw std::domain_error("domain");
    if (!std::strcmp(kind, "invalid_argument")) throw std::invalid_argument("argument");
    if (!std::strcmp(kind, "ios_failure")) throw std::ios_base::failure("stream");
    if (!std::strcmp(kind, "out_of_range")) throw std::out_of_range("range");
    if (!std::strcmp(kind, "overflow_error")) throw std::overflow_error("overflow");
    if (!std::strcmp(kind, "range_error")) throw std::range_error("range error");
    if (!std::strcmp(kind, "underflow_error")) throw std::underflow_error("underflow");
    if (!std::strcmp(kind, "runtime_error")) throw std::runtime_error("runtime");
    throw 42;  // not a std::exception
}

}  // namespace quillbank::aztec

#endif
