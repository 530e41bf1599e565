// The compact byte form of a tree that pickling carries: one blob per tree,
// written and read without recursion, so a chain a million levels deep costs
// memory, not native stack.
//
// Layout (integers are the length prefixes of varint.hpp, in their shortest form):
//   "ARBT" kSerialVersion  node_count (8 bytes, little-endian)
//   record*                                  one per place in the tree, pre-order
// record:
//   kRecordRef index                         the node first written as node `index`
//   kRecordNode|flags                        a node written here for the first time:
//       attr_count child_count name (key value)*attr_count [text]  then its children's records
// Strings are a length and UTF-8 bytes, exactly as a node stores them, so the
// name and attributes are copied as one run each way. Nodes are numbered in
// the order their first record appears; a node that occurs in several places
// is written once and referred to afterwards, so sharing (and a child repeated
// in one list) comes back as it was. Flags: kHasText; kChildArray on a node
// one of whose children occurs in several places, which is rebuilt with an
// array of children (an own node); any other is rebuilt as a parsed node in
// slabs, its children linked through themselves, which each node can be for
// one parent only.
//
// The reader treats the blob as hostile: every length is checked against
// what is left, strings must be UTF-8, keys must be distinct, a reference must
// name a node that is complete (so no cycle can be built) and sit under a
// node with a child array, and a failure frees whatever had been built.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "core/base/byte_buffer.hpp"
#include "core/base/core_error.hpp"
#include "core/tree/node.hpp"

namespace arbolite {

inline constexpr char kSerialMagic[4] = {'A', 'R', 'B', 'T'};
inline constexpr unsigned char kSerialVersion = 1;
enum : unsigned char { kRecordRef = 0, kRecordNode = 1, kHasText = 2, kChildArray = 4 };

// Appends the blob of the tree under `root` to `out`. A node whose reference
// count is 1 can occur only once in the tree, so only the others are
// remembered for back-references. Throws std::bad_alloc.
void serialize_tree(const Node* root, ByteBuffer& out);

struct RestoredTree {
    Node* root;              // holds one reference, for the caller
    std::uint64_t node_count;  // distinct nodes made, each referring to `type`
};

// Rebuilds a tree from a blob as nodes of `type`, with reference counts that
// match their places in the tree; the slabs of its parsed nodes are
// published. Touches nothing but the blob and new memory. Throws
// std::bad_alloc (after freeing what it built).
std::variant<RestoredTree, CoreError> restore_tree(std::string_view blob, const void* type);

}  // namespace arbolite
