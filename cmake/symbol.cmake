# The symbol writer: error correction and layout of whole Aztec symbols.
