# The optimal (shortest-stream) encoder and its binding quillbank.aztec._optimal.
quillbank_core_library(aztec_optimal
  core/optimal_encoder.cpp
  LINK aztec_core
  TEST optimal_tests
)
if(SKBUILD OR QUILLBANK_PYTHON_MODULES)
  quillbank_extension(_optimal quillbank/aztec aztec_optimal src/quillbank/aztec/_optimal.cpp)
endif()
