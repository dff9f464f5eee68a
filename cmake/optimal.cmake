# The optimal (shortest-stream) encoder.
quillbank_core_library(aztec_optimal
  core/optimal_encoder.cpp
  core/optimal_machine.cpp
  LINK aztec_core Threads::Threads
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
# The exhaustion tests replace the program's allocator, so they are a
# program of their own, over everything that keeps state between calls.
if(QUILLBANK_CORE_TESTS)
  add_executable(exhaustion_tests tests/cpp/exhaustion_tests.cpp)
  target_link_libraries(exhaustion_tests PRIVATE aztec_smallest)
  target_compile_options(exhaustion_tests PRIVATE ${QUILLBANK_WARNINGS})
endif()
# The core's inner steps for the tests, benchmarks and fuzzers
# (quillbank.aztec._test_hooks): only with QUILLBANK_AZTEC_TEST_HOOKS, so
# that the installed package does not carry them.
if(QUILLBANK_AZTEC_PYTHON AND QUILLBANK_AZTEC_TEST_HOOKS)
  quillbank_extension(_test_hooks quillbank/aztec aztec_smallest src/quillbank/aztec/_test_hooks.cpp)
  target_link_libraries(_test_hooks PRIVATE quillbank_aztec)  # the public limits of stream_arguments.hpp
endif()
