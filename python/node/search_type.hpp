// SearchType: the enumeration that selects the match rule of Node.search.
#pragma once
#include <Python.h>

#include "python/boundary/error.hpp"

namespace arbolite {

enum class SearchRule : unsigned char { Tag = 0, Attr = 1, Text = 2 };

// Null with an exception set on failure.
PyTypeObject* create_search_type(PyObject* module);
bool is_search_type(handle obj);
// The member value.
Result<SearchRule> search_type_value(handle obj);

}  // namespace arbolite
