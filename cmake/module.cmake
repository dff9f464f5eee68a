# The product's extension module quillbank.aztec._aztec: symbols, batches,
# streams, pictures and the reader, on the core libraries.
if(QUILLBANK_AZTEC_PYTHON)
  quillbank_extension(_aztec quillbank/aztec aztec_smallest
    src/quillbank/aztec/_aztec_module.cpp
    src/quillbank/aztec/_aztec_symbol.cpp
    src/quillbank/aztec/_aztec_make.cpp
    src/quillbank/aztec/_aztec_batches.cpp
    src/quillbank/aztec/_aztec_streams.cpp
    src/quillbank/aztec/_aztec_pictures.cpp
  )
  target_link_libraries(_aztec PRIVATE aztec_batch aztec_reader quillbank_aztec)
  quillbank_own_runtime(_aztec)
endif()
