# The optimal (shortest-stream) encoder and its binding quillbank.aztec._optimal.
quillbank_core_library(aztec_optimal
  core/optimal_encoder.cpp
  core/optimal_machine.cpp
  LINK aztec_core
  TEST optimal_tests
)
# The fewest codewords for one width, and the exact choice of the smallest
# symbol for a message (stream and shape together).
quillbank_core_library(aztec_smallest
  core/codeword_optimal.cpp
  core/smallest_symbol.cpp
  LINK aztec_optimal aztec_symbol_core
  TEST smallest_tests
)
if(QUILLBANK_AZTEC_PYTHON)
  quillbank_extension(_optimal quillbank/aztec aztec_smallest src/quillbank/aztec/_optimal.cpp)
endif()
