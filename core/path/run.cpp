#include "core/path/run.hpp"

namespace arbolite {

std::uint32_t SiblingPositions::append(const Node* n, std::vector<std::uint32_t>& out) {
    const auto at = static_cast<std::uint32_t>(out.size());
    const std::size_t k = n->child_count;
    out.resize(out.size() + 2 * k);
    std::uint32_t* pos = out.data() + at;
    names_.clear();
    ChildCursor children(n);
    while (const Node* c = children.next()) names_.push_back(node_name(c));
    if (k <= 16) {
        // Few siblings: comparing them beats hashing.
        for (std::size_t i = 0; i < k; ++i) {
            std::uint32_t before = 0, all = 0;
            for (std::size_t j = 0; j < k; ++j) {
                if (names_[j] == names_[i]) {
                    all += 1;
                    before += j < i;
                }
            }
            pos[2 * i] = before;
            pos[2 * i + 1] = all;
        }
        return at;
    }
    std::size_t capacity = 32;
    while (capacity < 2 * k) capacity *= 2;
    table_.assign(capacity, Slot{nullptr, 0, 0});
    // Keyed, so that names chosen to collide cannot make this quadratic.
    const SipKeys keys = next_map_keys();
    for (std::size_t i = 0; i < k; ++i) {
        const std::string_view name = names_[i];
        std::size_t slot = siphash13(keys, name) & (capacity - 1);
        while (table_[slot].name && std::string_view(table_[slot].name, table_[slot].len) != name) {
            slot = (slot + 1) & (capacity - 1);
        }
        if (!table_[slot].name) table_[slot] = Slot{name.data(), name.size(), 0};
        pos[2 * i] = table_[slot].count++;
        pos[2 * i + 1] = static_cast<std::uint32_t>(slot);
    }
    for (std::size_t i = 0; i < k; ++i) pos[2 * i + 1] = table_[pos[2 * i + 1]].count;
    return at;
}

}  // namespace arbolite
