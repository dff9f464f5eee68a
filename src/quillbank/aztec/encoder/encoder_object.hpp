// The Encoder object and its table of internal operations.
//
// The internal operations (the search driver and the output stage) are not
// reachable from Python; they call each other, and `encode` calls them,
// through the object's operationTable, in the fixed slot order below.  The
// table is published to other extension modules as the capsule
// Encoder.__pyx_vtable__.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "encode_state.hpp"

namespace quillbank::aztec {

struct EncoderObject;

// The stream as bits: element i is stream bit i, held packed (bit i in byte
// i / 8 under the mask 1 << (i % 8)).
struct BitVector {
    std::vector<uint8_t> bytes;
    std::size_t size = 0;

    bool operator[](std::size_t i) const { return (bytes[i >> 3] >> (i & 7)) & 1; }
};

// Operations that "cannot fail" still return a status: 0, or -1 with a
// Python exception set (only ever by the test build's fault injection).
struct EncoderOperations {
    int (*replaceState)(EncoderObject* self, EncodeState* old, EncodeState* fresh);
    int (*removeState)(EncoderObject* self, EncodeState* state);
    void (*addData)(EncoderObject* self, const uint8_t* data, std::size_t length);
    std::string (*toBytes)(EncoderObject* self);
    BitVector (*toBits)(EncoderObject* self);
    EncodeState* (*bestState)(EncoderObject* self);
    void (*cleanup)(EncoderObject* self);
    uint16_t (*binaryRunLength)(EncoderObject* self, const uint8_t* rest, std::size_t length);
    void (*addPair)(EncoderObject* self, uint8_t code);
    void (*addChar)(EncoderObject* self, uint8_t byte);
    void (*addBinary)(EncoderObject* self, const uint8_t* run, std::size_t length);
};

struct EncoderObject {
    PyObject_HEAD
    const EncoderOperations* operationTable;
    EncodeState* root;                     // owned through `tree`
    std::vector<EncodeState*> liveStates;  // leaves still in the search
    // Implementation details behind `root` and the steps: the storage of
    // the tree, and the snapshot a step walks (kept to avoid allocating one
    // per step).
    StateTree tree;
    std::vector<EncodeState*> snapshot;
    // Set for the duration of an encode call: a second call on the same
    // object (from Python code that the first one runs, or another thread)
    // is refused instead of mixing two messages in one tree.
    bool encoding;
};

// The module's single operation table, filled during module initialisation.
extern EncoderOperations encoderOperations;

// Fill `table` with the search driver's and the output stage's operations.
void fillSearchOperations(EncoderOperations& table);
void fillOutputOperations(EncoderOperations& table);

}  // namespace quillbank::aztec
