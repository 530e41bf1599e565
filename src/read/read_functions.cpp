// read_string and read_file: parse with the interpreter lock released, then
// turn the plain tree into Node objects.
#include <string>
#include <variant>
#include <vector>

#include "boundary/args.hpp"
#include "boundary/call.hpp"
#include "boundary/convert.hpp"
#include "boundary/functions.hpp"
#include "boundary/lock.hpp"
#include "src/entities/node.hpp"
#include "src/read/file_source.hpp"
#include "src/read/tree_builder.hpp"

namespace arbolite {
namespace {

constexpr Params kReadStringParams{nullptr, "read_string", {"xml_string", "root_tag"}, 2, 2};
constexpr Params kReadFileParams{nullptr, "read_file", {"file_path", "root_tag"}, 2, 2};

// Converts bottom-up with an explicit stack: one frame per open element, so
// depth costs memory, not native stack. Each element's strings and map move
// into its node; nothing is copied.
Result<object> to_node_tree(PlainElement& root) {
    struct Frame {
        PlainElement* element;
        ChildList built;
        size_t next_child;
    };
    std::vector<Frame> stack;
    stack.push_back(Frame{&root, {}, 0});
    stack.back().built.reserve(root.children.size());
    for (;;) {
        Frame& top = stack.back();
        if (top.next_child < top.element->children.size()) {
            PlainElement* child = &top.element->children[top.next_child++];
            stack.push_back(Frame{child, {}, 0});
            stack.back().built.reserve(child->children.size());
            continue;
        }
        PlainElement& e = *top.element;
        NodeData data{std::move(e.name), std::move(e.attrs), std::move(top.built), std::move(e.text)};
        e.children.clear();  // the moved-from shells of its children
        ARBOLITE_TRY(node, new_node_object(std::move(data)));
        stack.pop_back();
        if (stack.empty()) return node;
        stack.back().built.push_steal(node.release());
    }
}

Error xml_error(const XmlError& e) { return Error::deferred(PyExc_ValueError, e.message()); }

Error io_error(const IoError& e) { return Error::os(e.code, e.message); }

Result<object> finish(std::variant<PlainElement, XmlError>& outcome) {
    if (auto* error = std::get_if<XmlError>(&outcome)) return xml_error(*error);
    return to_node_tree(std::get<PlainElement>(outcome));
}

}  // namespace

PyObject* read_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kReadStringParams, args, nargs, kwnames));
        // The document is read in place: a str is immutable and its UTF-8 form
        // lives as long as the object, which we hold for the whole call.
        object xml = borrow(slots[0]);
        auto text = utf8_view(xml);
        if (!text) return argument_error("xml_string", std::move(text).error());
        auto tag = utf8_copy(slots[1]);
        if (!tag) return argument_error("root_tag", std::move(tag).error());
        auto outcome = without_lock([&] { return parse_root(*text, *tag); });
        return finish(outcome);
    });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kReadFileParams, args, nargs, kwnames));
        auto path = utf8_copy(slots[0]);
        if (!path) return argument_error("file_path", std::move(path).error());
        auto tag = utf8_copy(slots[1]);
        if (!tag) return argument_error("root_tag", std::move(tag).error());
        using Outcome = std::variant<std::monostate, IoError, std::variant<PlainElement, XmlError>>;
        Outcome outcome = without_lock([&]() -> Outcome {
            auto file = read_text_file(*path);
            if (auto* failure = std::get_if<IoError>(&file)) return std::move(*failure);
            std::string text = std::move(std::get<std::string>(file));
            return parse_root(text, *tag);
        });
        if (auto* failure = std::get_if<IoError>(&outcome)) return io_error(*failure);
        return finish(std::get<2>(outcome));
    });
}

}  // namespace arbolite
