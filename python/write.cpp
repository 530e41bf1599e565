// write_string and write_file: the whole serialisation runs with the
// interpreter lock released, straight from the nodes (they never change, and
// the caller's reference keeps the tree alive for the call).
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <variant>

#include "core/text/utf8.hpp"
#include "core/tree/places.hpp"
#include "core/write/serializer.hpp"
#include "core/write/sink.hpp"
#include "python/boundary/args.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/convert.hpp"
#include "python/boundary/limits.hpp"
#include "python/boundary/lock.hpp"
#include "python/functions.hpp"
#include "python/node/node_object.hpp"

namespace arbolite {
namespace {

constexpr Params kWriteStringParams{nullptr, "write_string", {"node", "indent", "default_xml_def", "pretty"}, 4, 1, 1};
constexpr Params kWriteFileParams{
    nullptr, "write_file", {"node", "file_path", "indent", "default_xml_def", "pretty"}, 5, 2, 1};

constexpr std::uint64_t kDefaultIndent = 4;

std::uint64_t soft_limit(int resource) {
    struct rlimit lim;
    if (getrlimit(resource, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) return lim.rlim_cur;
    return UINT64_MAX;
}

// The largest document a memory buffer could hold, checked up front, so an
// absurd indent fails at once instead of after filling memory.
std::uint64_t memory_output_limit() { return std::min(kMaxOutputBytes, memory_limit()); }

// No file system holds a petabyte of indentation; the process may be limited further.
constexpr std::uint64_t kLargestFile = std::uint64_t{1} << 50;
std::uint64_t file_output_limit() { return std::min({kMaxOutputBytes, kLargestFile, soft_limit(RLIMIT_FSIZE)}); }

// The bytes the file may take: what its file system has free, and what the
// file holds now (it is truncated first).
std::uint64_t file_room(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct statvfs fs;
    if (statvfs(dir.c_str(), &fs) != 0) return file_output_limit();  // opening it will say what is wrong
    std::uint64_t room = saturating_mul(fs.f_bavail, fs.f_frsize);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) room = saturating_add(room, static_cast<std::uint64_t>(st.st_size));
    return std::min(room, file_output_limit());
}

struct Options {
    std::uint64_t indent = kDefaultIndent;
    bool declaration = true;
    bool pretty = true;
};

Result<Options> convert_options(const Params& params, PyObject* indent, PyObject* declaration, PyObject* pretty) {
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
    if (PyObject* v = given(pretty)) {
        auto b = strict_bool(v);
        if (!b) return argument_error("pretty", std::move(b).error());
        o.pretty = *b;
    }
    if (!o.pretty && given(indent)) {
        return Error::deferred(PyExc_TypeError, params.full_name() +
                                                    " got indent with pretty=False: compact output has no "
                                                    "line breaks to indent");
    }
    return o;
}

Result<Node*> convert_node(PyObject* obj) {
    auto node = node_receiver(obj);
    if (!node) return argument_error("node", std::move(node).error());
    return *node;
}

// What the lock-free part of a call can end with: output refused, or I/O failed.
using Failure = std::optional<CoreError>;

// The str of UTF-8 output. The str is allocated with the lock (only that);
// its characters are written without it, straight in their final width.
Result<object> output_str(std::string_view bytes) {
    const Utf8Shape shape = without_lock([&] { return utf8_shape(bytes); });
    object str = steal(check_created(
        PyUnicode_New(static_cast<Py_ssize_t>(shape.code_points), static_cast<Py_UCS4>(shape.max_code_point))));
    void* data = PyUnicode_DATA(str.ptr());
    const int unit = static_cast<int>(PyUnicode_KIND(str.ptr()));
    const bool valid = without_lock([&] {
        if (shape.max_code_point == 127 && shape.code_points == bytes.size()) {
            std::memcpy(data, bytes.data(), bytes.size());
            return true;
        }
        return utf8_to_units(bytes, shape, data, unit);
    });
    if (!valid) fatal("invariant: the XML writer only emits valid UTF-8");
    return str;
}

}  // namespace

PyObject* write_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kWriteStringParams, args, nargs, kwnames));
        ARBOLITE_TRY(node, convert_node(slots[0]));
        ARBOLITE_TRY(options, convert_options(kWriteStringParams, slots[1], slots[2], slots[3]));
        object keep = borrow(as_object(node));
        MemorySink sink;
        Failure failure = without_lock([&]() -> Failure {
            auto bad = options.pretty
                           ? write_document(sink, node, options.indent, options.declaration, memory_output_limit())
                           : write_compact(sink, node, options.declaration, memory_output_limit());
            if (bad) return std::move(*bad);
            return {};
        });
        if (failure) return Error::core(*failure);
        return output_str(sink.view());
    });
}

PyObject* write_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kWriteFileParams, args, nargs, kwnames));
        ARBOLITE_TRY(node, convert_node(slots[0]));
        auto path = path_bytes(slots[1]);
        if (!path) return argument_error("file_path", std::move(path).error());
        ARBOLITE_TRY(options, convert_options(kWriteFileParams, slots[2], slots[3], slots[4]));
        object keep = borrow(as_object(node));
        Failure failure = without_lock([&]() -> Failure {
            // Checked before the file is opened, so a refused size or indent leaves it untouched.
            if (auto bad = check_size(node, file_room(*path))) {
                return CoreError::io(0, "not enough space on the file system: " + bad->detail);
            }
            if (options.pretty) {
                if (auto bad = check_indent(node, options.indent, options.declaration, file_output_limit())) {
                    return std::move(*bad);
                }
            }
            auto opened = open_for_writing(*path);
            if (auto* e = std::get_if<CoreError>(&opened)) return std::move(*e);
            FileSink sink(std::get<int>(opened));
            const bool written = options.pretty ? write_document(sink, node, options.indent, options.declaration)
                                                : write_compact(sink, node, options.declaration);
            if (!written || !sink.flush()) return *sink.error();
            return {};
        });
        if (failure) return Error::core(*failure);
        return borrow(Py_None);
    });
}

}  // namespace arbolite
