// The outline of a node: str(node) and node.__to_string(spacing).
#include <algorithm>
#include <optional>
#include <string>

#include "core/tree/places.hpp"
#include "core/tree/walk.hpp"
#include "python/boundary/args.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/convert.hpp"
#include "python/boundary/limits.hpp"
#include "python/node/methods.hpp"
#include "python/node/node_object.hpp"

namespace arbolite {
namespace {

constexpr Params kToStringParams{"Node", "__to_string", {"spacing"}, 1, 0};

// A child's block is its own outline placed after LF + the parent's pad, and
// followed by LF. Each level's pad is 2 more than its parent's, modulo 256.
Result<std::string> render(Node* root, unsigned char root_width) {
    struct Visitor {
        std::string out;
        std::vector<unsigned char> widths;  // per open node
        unsigned char root_width;
        Node* root;
        SignalCheck signals;
        std::optional<Error> error;
        bool weighed = false;

        // A tree that shares nodes has an outline line per place: weighed at
        // the first node that may be shared, and refused before more is
        // written when the outline could never be held.
        Status check(Node* n, std::size_t depth) {
            ARBOLITE_CHECK(signals());
            if (weighed || depth == 0 || n->head.refcount <= 1) return ok();
            weighed = true;
            const std::uint64_t bytes =
                weigh_places(root, [](const Node* m) -> std::uint64_t { return 7 + node_name(m).size(); });
            if (bytes > std::min<std::uint64_t>(PY_SSIZE_T_MAX, memory_limit())) return result_too_large("the outline", bytes);
            return ok();
        }

        void pad(unsigned width) { out.append(width, ' '); }
        Walk enter(Node* n, std::size_t depth) {
            if (Status s = check(n, depth); !s) {
                error.emplace(std::move(s).error());
                return Walk::Stop;
            }
            unsigned char w = root_width;
            if (depth > 0) {
                const unsigned char parent = widths.back();
                out += '\n';
                pad(parent);
                w = static_cast<unsigned char>(parent + 2);
            }
            pad(w);
            out += "Name: ";
            out += node_name(n);
            const AttrRange attrs = node_attrs(n);
            if (!attrs.empty()) {
                out += '\n';
                pad(w);
                out += "Attributes:";
                for (const Attr a : attrs) {
                    out += '\n';
                    pad(w);
                    out += a.key;
                    out += ": ";
                    out += a.value;
                }
            }
            if (const auto text = node_text(n)) {
                out += '\n';
                pad(w);
                out += "Text: ";
                out += *text;
            }
            if (n->child_count) {
                out += '\n';
                pad(w);
                out += "Children:";
            }
            widths.push_back(w);
            return Walk::Into;
        }
        void leave(Node*, std::size_t depth) {
            widths.pop_back();
            if (depth > 0) out += '\n';  // closes the block of the child just finished
        }
    } visitor{{}, {}, root_width, root, {}, std::nullopt};
    if (!walk_preorder(root, visitor)) return std::move(*visitor.error);
    return std::move(visitor.out);
}

Result<object> render_to_str(handle self, unsigned char width) {
    ARBOLITE_TRY(node, node_receiver(self));
    ARBOLITE_TRY(text, render(node, width));
    return new_str(text);
}

}  // namespace

PyObject* node_str(PyObject* self) {
    return guarded([&]() -> Result<object> { return render_to_str(self, 0); });
}

PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kToStringParams, args, nargs, kwnames));
        ARBOLITE_TRY(node, node_receiver(self));
        (void)node;
        unsigned char width = 0;
        if (PyObject* spacing = given(slots[0])) {
            auto v = long_in_range(spacing, 0, 255);
            if (!v) return argument_error("spacing", std::move(v).error());
            width = static_cast<unsigned char>(*v);
        }
        return render_to_str(self, width);
    });
}

}  // namespace arbolite
