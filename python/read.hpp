// The reader's entry for callers inside the module.
#pragma once
#include <Python.h>

#include "python/boundary/error.hpp"
#include "python/module_state.hpp"

namespace arbolite {

// The document element of `xml` (a str, a bytes-like object, or a file
// object whose read() gives either), decoded as read_string decodes it; with
// `raw_text`, texts keep all their white space. Argument errors name `param`.
Result<object> read_document_element(const ModuleState& st, handle xml, bool raw_text, const char* param);

}  // namespace arbolite
