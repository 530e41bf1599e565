// The strs of element names and attribute keys, as the node properties give
// them.
#pragma once
#include <Python.h>

#include <string_view>

#include "python/boundary/object.hpp"

namespace arbolite {

// A str of a name or key stored in a node (readable past its end, as every
// node string is). Repeated names give the same str object while it stays in
// a small table; the interpreter lock must be held.
object name_string(std::string_view text);

// Drops the table's strs; the module calls it when it is freed.
void clear_name_strings() noexcept;

}  // namespace arbolite
