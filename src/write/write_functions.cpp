// write_string and write_file: copy the tree under the lock, then format and
// write with the lock released.
#include <sys/resource.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "boundary/args.hpp"
#include "boundary/call.hpp"
#include "boundary/convert.hpp"
#include "boundary/functions.hpp"
#include "boundary/lock.hpp"
#include "src/entities/node.hpp"
#include "src/write/byte_sink.hpp"
#include "src/write/xml_writer.hpp"

namespace arbolite {
namespace {

constexpr Params kWriteStringParams{nullptr, "write_string", {"node", "indent", "default_xml_def"}, 3, 1};
constexpr Params kWriteFileParams{nullptr, "write_file", {"node", "file_path", "indent", "default_xml_def"}, 4, 2};

constexpr std::uint64_t kDefaultIndent = 4;

std::uint64_t soft_limit(int resource) {
    struct rlimit lim;
    if (getrlimit(resource, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) return lim.rlim_cur;
    return UINT64_MAX;
}

// The largest document a memory buffer could hold: nothing beyond the
// machine's memory and swap, or the process's address-space limit. Checked up
// front, so an absurd indent fails at once instead of after filling memory.
std::uint64_t memory_output_limit() {
    std::uint64_t limit = kMaxOutputBytes;
    struct sysinfo info;
    if (sysinfo(&info) == 0) {
        const std::uint64_t unit = info.mem_unit ? info.mem_unit : 1;
        limit = std::min(limit, (static_cast<std::uint64_t>(info.totalram) + info.totalswap) * unit);
    }
    return std::min(limit, soft_limit(RLIMIT_AS));
}

// No file system holds a petabyte of indentation; the process may be limited further.
constexpr std::uint64_t kLargestFile = std::uint64_t{1} << 50;
std::uint64_t file_output_limit() { return std::min({kMaxOutputBytes, kLargestFile, soft_limit(RLIMIT_FSIZE)}); }

// Copies the tree into plain records, without recursing per level. Each
// element's children are reserved before any is added, so the pointers kept
// on the stack stay valid. A node shared by several parents is copied once
// per appearance.
PlainElement snapshot_node(const SharedRead& root) {
    struct Frame {
        const NodeData* node;
        PlainElement* element;
        size_t next_child;
    };
    auto copy_fields = [](const NodeData& d, PlainElement& e) {
        e.name = d.name;
        e.attrs = d.attrs;
        e.text = d.text;
        e.children.reserve(d.children.size());
    };
    PlainElement out;
    copy_fields(root.data(), out);
    // Nodes never change after creation and the caller's tree keeps every
    // node alive for the whole copy, so plain pointers are enough here.
    std::vector<Frame> stack{Frame{&root.data(), &out, 0}};
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next_child == top.node->children.size()) {
            stack.pop_back();
            continue;
        }
        const NodeData& child = as_node(top.node->children[top.next_child++])->data;
        PlainElement& e = top.element->children.emplace_back();
        copy_fields(child, e);
        stack.push_back(Frame{&child, &e, 0});
    }
    return out;
}

struct Options {
    std::uint64_t indent = kDefaultIndent;
    bool declaration = true;
};

Result<Options> convert_options(PyObject* indent, PyObject* declaration) {
    Options o;
    if (PyObject* v = given(indent)) {
        auto n = unsigned_index(v);
        if (!n) return argument_error("indent", std::move(n).error());
        o.indent = *n;
    }
    if (PyObject* v = given(declaration)) {
        auto b = strict_bool(v);
        if (!b) return argument_error("default_xml_def", std::move(b).error());
        o.declaration = *b;
    }
    return o;
}

Result<NodeObject*> convert_node(PyObject* obj) {
    auto node = node_receiver(obj);
    if (!node) return argument_error("node", std::move(node).error());
    return *node;
}

Error indent_error(const IndentError& e) {
    return Error::deferred(e.kind == IndentErrorKind::Overflow ? PyExc_OverflowError : PyExc_MemoryError, e.message);
}

// What the lock-free part of a call can end with.
using Failure = std::variant<std::monostate, IndentError, IoError>;

Error to_error(Failure&& f) {
    if (auto* e = std::get_if<IndentError>(&f)) return indent_error(*e);
    return Error::os(std::get<IoError>(f).code, std::move(std::get<IoError>(f).message));
}

}  // namespace

PyObject* write_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kWriteStringParams, args, nargs, kwnames));
        ARBOLITE_TRY(node, convert_node(slots[0]));
        ARBOLITE_TRY(options, convert_options(slots[1], slots[2]));
        ARBOLITE_TRY(read, SharedRead::enter(node));
        PlainElement snapshot = snapshot_node(read);
        MemorySink sink;
        Failure failure = without_lock([&]() -> Failure {
            if (auto bad = check_indent(snapshot, options.indent, options.declaration, memory_output_limit())) {
                return std::move(*bad);
            }
            // A memory sink cannot fail; running out of memory throws.
            (void)write_document(sink, std::move(snapshot), options.indent, options.declaration);
            return {};
        });
        if (!std::holds_alternative<std::monostate>(failure)) return to_error(std::move(failure));
        return new_str(sink.view());
    });
}

PyObject* write_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kWriteFileParams, args, nargs, kwnames));
        ARBOLITE_TRY(node, convert_node(slots[0]));
        auto path = utf8_copy(slots[1]);
        if (!path) return argument_error("file_path", std::move(path).error());
        ARBOLITE_TRY(options, convert_options(slots[2], slots[3]));
        ARBOLITE_TRY(read, SharedRead::enter(node));
        PlainElement snapshot = snapshot_node(read);
        Failure failure = without_lock([&]() -> Failure {
            // Checked before the file is opened, so a refused indent leaves it untouched.
            if (auto bad = check_indent(snapshot, options.indent, options.declaration, file_output_limit())) {
                return std::move(*bad);
            }
            auto opened = open_for_writing(*path);
            if (auto* e = std::get_if<IoError>(&opened)) return std::move(*e);
            FileSink sink(std::get<int>(opened));
            if (auto e = write_document(sink, std::move(snapshot), options.indent, options.declaration)) {
                return std::move(*e);
            }
            if (auto e = sink.flush()) return std::move(*e);
            return {};
        });
        if (!std::holds_alternative<std::monostate>(failure)) return to_error(std::move(failure));
        return borrow(Py_None);
    });
}

}  // namespace arbolite
