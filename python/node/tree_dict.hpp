// A node tree as to_dict's nested dicts, for the readers that make them
// straight from a parse (read_dict) as well as for Node.to_dict.
#pragma once
#include <Python.h>

#include "core/tree/node.hpp"
#include "python/boundary/error.hpp"
#include "python/boundary/object.hpp"
#include "python/boundary/strings.hpp"

namespace arbolite {

Result<object> tree_to_dict(Node* root, NameCache& names, NameCache& values);

}  // namespace arbolite
