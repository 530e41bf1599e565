#include "boundary/functions.hpp"

namespace arbolite {
namespace {

#define ARBOLITE_FUNCTION(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
// The functions get no module object: METH_STATIC (flag word 0xa2).
constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef kFunctions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() { return kFunctions; }

}  // namespace arbolite
