# The symbol writer: error correction and layout of whole Aztec symbols,
# and its private binding quillbank.aztec._symbol, which also makes whole
# symbols from message bytes (stream included) in one call.

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
if(QUILLBANK_AZTEC_PYTHON)
  quillbank_extension(_symbol quillbank/aztec aztec_symbol_core src/quillbank/aztec/_symbol.cpp)
  quillbank_own_runtime(_symbol)
  # make() crosses once: the stream (the shortest one, or the one with the
  # fewest codewords where that makes a smaller symbol) is computed inside
  # the binding.
  target_link_libraries(_symbol PRIVATE aztec_smallest)
  # make_list spreads a batch over the core's threads.
  target_link_libraries(_symbol PRIVATE aztec_batch)
endif()
