// The outline of a node: str(node) and node.__to_string(spacing).
#include <string>
#include <vector>

#include "boundary/args.hpp"
#include "boundary/call.hpp"
#include "boundary/convert.hpp"
#include "src/entities/methods.hpp"
#include "src/entities/node.hpp"

namespace arbolite {
namespace {

constexpr Params kToStringParams{"Node", "__to_string", {"spacing"}, 1, 0};

void append_spaces(std::string& out, unsigned width) { out.append(width, ' '); }

// A child's block is its own outline placed after LF + the parent's pad, and
// followed by LF. The walk keeps one frame per open node instead of recursing,
// so a chain a million deep renders without exhausting the native stack.
Result<std::string> render(NodeObject* root, unsigned char root_width) {
    struct Frame {
        SharedRead read;
        unsigned char width;
        size_t next_child;
    };
    std::string out;
    std::vector<Frame> stack;

    auto open_node = [&](NodeObject* node, unsigned char w) -> Status {
        ARBOLITE_TRY(read, SharedRead::enter(node));
        const NodeData& d = read.data();
        append_spaces(out, w);
        out += "Name: ";
        out += d.name;
        if (!d.attrs.empty()) {
            out += '\n';
            append_spaces(out, w);
            out += "Attributes:";
            for (auto e : d.attrs) {
                out += '\n';
                append_spaces(out, w);
                out += e.key;
                out += ": ";
                out += e.value;
            }
        }
        if (d.text) {
            out += '\n';
            append_spaces(out, w);
            out += "Text: ";
            out += *d.text;
        }
        if (!d.children.empty()) {
            out += '\n';
            append_spaces(out, w);
            out += "Children:";
        }
        stack.push_back(Frame{std::move(read), w, 0});
        return ok();
    };

    ARBOLITE_CHECK(open_node(root, root_width));
    while (!stack.empty()) {
        Frame& top = stack.back();
        const NodeData& d = top.read.data();
        if (top.next_child == d.children.size()) {
            stack.pop_back();
            if (!stack.empty()) out += '\n';  // closes the block of the child just finished
            continue;
        }
        NodeObject* child = as_node(d.children[top.next_child++]);
        const unsigned char w = top.width;
        out += '\n';
        append_spaces(out, w);
        ARBOLITE_CHECK(open_node(child, static_cast<unsigned char>(w + 2)));
    }
    return out;
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
