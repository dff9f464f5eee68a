# The symbol writer: error correction and layout of whole Aztec symbols.

add_library(aztec_symbol_core STATIC
  core/reed_solomon.cpp
  core/bit_stuffing.cpp
  core/symbol_layout.cpp
  core/raster.cpp
)
target_include_directories(aztec_symbol_core PUBLIC core)
target_compile_options(aztec_symbol_core PRIVATE ${QUILLBANK_WARNINGS})

if(QUILLBANK_CORE_TESTS)
  add_executable(symbol_tests tests/cpp/symbol_tests.cpp)
  target_link_libraries(symbol_tests PRIVATE aztec_symbol_core)
  target_compile_options(symbol_tests PRIVATE ${QUILLBANK_WARNINGS})
endif()

# The private binding quillbank.aztec._symbol.
if(SKBUILD OR QUILLBANK_PYTHON_MODULES)
  find_package(Python REQUIRED COMPONENTS Interpreter Development.Module)
  Python_add_library(_symbol MODULE WITH_SOABI quillbank/aztec/_symbol.cpp)
  target_link_libraries(_symbol PRIVATE aztec_symbol_core)
  target_compile_options(_symbol PRIVATE ${QUILLBANK_WARNINGS})
  install(TARGETS _symbol LIBRARY DESTINATION quillbank/aztec)
endif()
