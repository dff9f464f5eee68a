// Fault injection for the tests: a build made with QUILLBANK_FAULT_INJECTION
// can make chosen internal calls fail, so that the error paths that no
// Python input reaches (allocation failures, foreign exceptions, errors
// inside the internal operations) are exercised.  In every other build the
// checks are constant false and compile away.
#pragma once

#include <Python.h>

namespace quillbank::aztec {

enum class FaultSite {
    NewRoot,       // creating a root (construction, reset)
    ReplaceState,  // the live-list operations
    RemoveState,
    AddData,       // the data loop's own work
    GrowChild,     // allocating a child state during a step
    Output,        // assembling the output stream
    Count,
};

#ifdef QUILLBANK_FAULT_INJECTION
// True once, on the configured call at `site`.
bool faultDue(FaultSite site);
// Throws the configured C++ exception (setting a Python error first for the
// kind "python").
[[noreturn]] void throwInjectedFault();
// Sets the Python error of an injected failure; returns -1.
int raiseInjectedFault();
// Adds the test-only `_injectFault(site, kind, nth)` and `_nullCallable`.
int addFaultInjection(PyObject* module);
extern PyMethodDef injectFaultMethod[];
#else
constexpr bool faultDue(FaultSite) { return false; }
[[noreturn]] inline void throwInjectedFault() { throw 0; }
inline int raiseInjectedFault() { return -1; }
#endif

}  // namespace quillbank::aztec
