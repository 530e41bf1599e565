// The reader's fuzzer on long documents spelled short (fuzz/expand.hpp): a
// target of its own, since its runs are slow and would starve the quick ones.
#define ARBOLITE_FUZZ_LONG 1
#include "fuzz/fuzz_reader.cpp"
