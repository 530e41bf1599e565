#include "src/core/plain_element.hpp"

#include <new>

namespace arbolite {

PlainElement::~PlainElement() {
    if (children.empty()) return;
    std::vector<PlainElement> pending;
    try {
        pending = std::move(children);
        while (!pending.empty()) {
            PlainElement last = std::move(pending.back());
            pending.pop_back();
            for (PlainElement& child : last.children) pending.push_back(std::move(child));
            last.children.clear();  // moved-from children are leaves: no recursion
        }
    } catch (const std::bad_alloc&) {
        // Out of memory while flattening: the vectors still own everything left,
        // and their ordinary (recursive) destruction releases it.
    }
}

}  // namespace arbolite
