#include "code_tables.hpp"

namespace quillbank::aztec {

void throwMissingKey() { throw std::out_of_range("invalid map<K, T> key"); }

}  // namespace quillbank::aztec
