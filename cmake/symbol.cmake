# The symbol writer: error correction and layout of whole Aztec symbols.

# The core keeps caches per thread under thread keys (thread_cache.hpp).
find_package(Threads REQUIRED)
quillbank_core_library(aztec_symbol_core
  core/reed_solomon.cpp
  core/bit_stuffing.cpp
  core/symbol_layout.cpp
  core/raster.cpp
  core/png_deflate.cpp
  LINK Threads::Threads
  TEST symbol_tests
)
# PNG files are written in the core (raster.cpp, png_deflate.cpp), which
# needs no compression library; the tests check its streams with zlib's
# inflate.
# Batches of orders on threads the process keeps (batch_pool.hpp).
find_package(Threads REQUIRED)
quillbank_core_library(aztec_batch
  core/batch_pool.cpp
  LINK Threads::Threads
  TEST batch_tests
)
if(QUILLBANK_CORE_TESTS)
  find_package(ZLIB REQUIRED)
  target_link_libraries(symbol_tests PRIVATE ZLIB::ZLIB)
endif()
