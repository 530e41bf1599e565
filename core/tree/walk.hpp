// The one pre-order walk behind every operation that visits a tree (search,
// outline, dictionaries, the writer and its size check). An explicit stack,
// so a tree a million levels deep costs memory, not native stack.
//
// The visitor's enter(node, depth) returns Walk::Into to visit the node's
// children, Walk::Over to skip them, or Walk::Stop to end the walk; its
// leave(node, depth) runs after the children of a node that was entered
// Into. Depth is 0 at the root.
#pragma once
#include <cstddef>
#include <vector>

#include "core/tree/node.hpp"

namespace arbolite {

enum class Walk { Into, Over, Stop };

template <class Visitor>
bool walk_preorder(Node* root, Visitor&& visitor) {
    struct Frame {
        Node* node;
        ChildCursor cursor;
    };
    Walk w = visitor.enter(root, std::size_t{0});
    if (w == Walk::Stop) return false;
    if (w == Walk::Over) return true;
    std::vector<Frame> stack;
    stack.push_back(Frame{root, ChildCursor(root)});
    while (!stack.empty()) {
        Frame& top = stack.back();
        Node* child = top.cursor.next();
        if (!child) {
            Node* done = top.node;
            stack.pop_back();
            visitor.leave(done, stack.size());
            continue;
        }
        w = visitor.enter(child, stack.size());
        if (w == Walk::Stop) return false;
        if (w == Walk::Into) stack.push_back(Frame{child, ChildCursor(child)});
    }
    return true;
}

}  // namespace arbolite
