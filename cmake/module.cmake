# The product's extension module quillbank.aztec._aztec: symbols, batches,
# streams, pictures and the reader, binding the public C++ library alone.
if(QUILLBANK_AZTEC_PYTHON)
  quillbank_extension(_aztec quillbank/aztec quillbank::aztec
    src/quillbank/aztec/_aztec_module.cpp
    src/quillbank/aztec/_aztec_symbol.cpp
    src/quillbank/aztec/_aztec_make.cpp
    src/quillbank/aztec/_aztec_batches.cpp
    src/quillbank/aztec/_aztec_streams.cpp
    src/quillbank/aztec/_aztec_pictures.cpp
  )
  quillbank_own_runtime(_aztec)
endif()
