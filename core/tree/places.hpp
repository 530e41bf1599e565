// One node may sit under several parents (an own node's children are shared
// references), so the places a walk visits can outnumber the distinct nodes
// exponentially: 41 nodes, each holding the next twice, make 2^40 places.
// Every operation that visits places weighs them first when sharing is
// possible, and refuses a result that cannot be held before building any of
// it. The weighing visits each distinct node once: only a node reached
// through an own node's child array can be met again (a parsed node's
// children are linked to it alone), so those, and only those, are
// remembered.
#pragma once
#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/tree/node.hpp"

namespace arbolite {

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// The value of every subtree that may be met in several places, by its root.
using PlaceWeights = std::unordered_map<const Node*, std::uint64_t>;

// A value per subtree, folded over its places: own(node) for the node, then
// fold(value, child's value) for each child in order. `memo` keeps the values
// of the subtrees that may be shared. Linear in the distinct nodes; throws
// std::bad_alloc.
template <class Own, class Fold>
std::uint64_t fold_places(const Node* root, Own&& own, Fold&& fold, PlaceWeights& memo) {
    struct Frame {
        const Node* node;
        ChildCursor cursor;
        std::uint64_t value;
        bool remember;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{root, ChildCursor(root), own(root), true});
    for (;;) {
        Frame& top = stack.back();
        if (const Node* child = top.cursor.next()) {
            const bool shared = top.node->is_own();
            if (shared) {
                if (auto it = memo.find(child); it != memo.end()) {
                    top.value = fold(top.value, it->second);
                    continue;
                }
            }
            stack.push_back(Frame{child, ChildCursor(child), own(child), shared});
            continue;
        }
        const Frame done = top;
        stack.pop_back();
        if (done.remember) memo.emplace(done.node, done.value);
        if (stack.empty()) return done.value;
        stack.back().value = fold(stack.back().value, done.value);
    }
}

// The sum over the places of root's subtree of weight(node), saturating at
// UINT64_MAX.
template <class Weight>
std::uint64_t weigh_places(const Node* root, Weight&& weight, PlaceWeights& memo) {
    return fold_places(root, weight, saturating_add, memo);
}

template <class Weight>
std::uint64_t weigh_places(const Node* root, Weight&& weight) {
    PlaceWeights memo;
    return weigh_places(root, weight, memo);
}

// The depth below each subtree's root of the nearest node that `is` holds
// for, or UINT64_MAX when none does.
template <class Is>
std::uint64_t nearest_place(const Node* root, Is&& is, PlaceWeights& memo) {
    return fold_places(
        root, [&](const Node* n) -> std::uint64_t { return is(n) ? 0 : UINT64_MAX; },
        [](std::uint64_t v, std::uint64_t child) { return child == UINT64_MAX ? v : std::min(v, child + 1); }, memo);
}

}  // namespace arbolite
