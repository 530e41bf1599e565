// The reader: one forward pass from UTF-8 bytes to finished nodes. It finds
// each piece of markup, checks it, and builds the element asked for straight
// into the slabs of an Arena; no intermediate tree, no second pass.
//
// What it accepts and which error it reports are fixed: the first element in
// document order named `root_tag`, with its subtree; an unclosed tag anywhere
// in the document wins over every other error, which are otherwise reported
// in document order; nothing after the element's end tag is read except to
// look for an unclosed tag.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/cpu.hpp"
#include "core/read/xml_error.hpp"
#include "core/tree/arena.hpp"
#include "core/tree/node.hpp"

namespace arbolite {

struct ParseOutcome {
    Node* root = nullptr;          // the element, on success (in the arena, not yet published)
    std::optional<XmlError> error;  // otherwise
    std::uint64_t node_count = 0;   // nodes of the tree; each refers to `node_type`
};

// Reads `text` with the kernel cpu::active_kernel() names. Nodes get a
// reference count of 1 (held by the parent, or by the caller for the root)
// and `node_type` as their type. Throws std::bad_alloc when memory runs out.
ParseOutcome parse_document(std::string_view text, std::string_view root_tag, const void* node_type, Arena& arena);

// The same with a given kernel, which the processor must support.
ParseOutcome parse_document_with(cpu::Kernel kernel, std::string_view text, std::string_view root_tag,
                                 const void* node_type, Arena& arena);

namespace kernel_scalar {
ParseOutcome parse(std::string_view text, std::string_view root_tag, const void* node_type, Arena& arena);
}
namespace kernel_sse2 {
ParseOutcome parse(std::string_view text, std::string_view root_tag, const void* node_type, Arena& arena);
}
namespace kernel_avx2 {
ParseOutcome parse(std::string_view text, std::string_view root_tag, const void* node_type, Arena& arena);
}

}  // namespace arbolite
