// The reader's entry for callers inside the module.
#pragma once
#include <Python.h>

#include <functional>

#include "core/tree/node.hpp"
#include "python/boundary/error.hpp"
#include "python/module_state.hpp"

namespace arbolite {

// What a reader makes of a parsed tree with the lock held, instead of
// handing the tree over; the nodes are freed after it returns.
using TreeUse = std::function<Result<object>(Node*)>;

// The document element of `xml` (a str, a bytes-like object, or a file
// object whose read() gives either), decoded as read_string decodes it; with
// `raw_text`, texts keep all their white space. Argument errors name `param`.
// What `use` makes of it, or the tree itself without one.
Result<object> read_document_element(const ModuleState& st, handle xml, bool raw_text, const char* param,
                                     const TreeUse* use = nullptr);

}  // namespace arbolite
