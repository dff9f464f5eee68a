# The reader: decoding symbols from their module grids, written apart from
# the writer (it shares only the Galois field tables of reed_solomon.cpp).
# Bound in quillbank.aztec._aztec as read_modules.
quillbank_core_library(aztec_reader
  core/reed_solomon_decoder.cpp
  core/stream_decoder.cpp
  core/symbol_reader.cpp
  LINK aztec_symbol_core
  TEST reader_tests
)
