#include "python/functions.hpp"

namespace arbolite {
namespace {

#define ARBOLITE_FUNCTION(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))
// The functions get no module object: METH_STATIC (flag word 0xa2).
constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef kFunctions[] = {
    {"read_file", ARBOLITE_FUNCTION(read_file), kFlags, "read_file(file_path, root_tag)\n--\n\n"},
    {"read_string", ARBOLITE_FUNCTION(read_string), kFlags, "read_string(xml_string, root_tag)\n--\n\n"},
    {"write_file", ARBOLITE_FUNCTION(write_file), kFlags,
     "write_file(node, file_path, indent=None, default_xml_def=None)\n--\n\n"},
    {"write_string", ARBOLITE_FUNCTION(write_string), kFlags,
     "write_string(node, indent=None, default_xml_def=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() { return kFunctions; }

}  // namespace arbolite
