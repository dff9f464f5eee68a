# The optimal (shortest-stream) encoder.
add_library(aztec_optimal STATIC
  core/optimal_encoder.cpp
)
target_include_directories(aztec_optimal PUBLIC core)
target_link_libraries(aztec_optimal PUBLIC aztec_core)
target_compile_options(aztec_optimal PRIVATE ${QUILLBANK_WARNINGS})

if(QUILLBANK_CORE_TESTS)
  add_executable(optimal_tests tests/cpp/optimal_tests.cpp)
  target_link_libraries(optimal_tests PRIVATE aztec_optimal)
  target_compile_options(optimal_tests PRIVATE ${QUILLBANK_WARNINGS})
endif()

if(SKBUILD OR QUILLBANK_PYTHON_MODULES)
  # find_package(Python) has run in the top-level file for the encoder.
  Python_add_library(_optimal MODULE WITH_SOABI
    quillbank/aztec/_optimal.cpp
  )
  target_link_libraries(_optimal PRIVATE aztec_optimal)
  target_compile_options(_optimal PRIVATE ${QUILLBANK_WARNINGS})
  install(TARGETS _optimal LIBRARY DESTINATION quillbank/aztec)
endif()
