// read_string and read_file: the whole read, nodes included, runs with the
// interpreter lock released; with the lock back, the finished tree is only
// handed over.
#include <string>
#include <variant>

#include "core/read/file_source.hpp"
#include "core/read/parser.hpp"
#include "core/text/utf8.hpp"
#include "python/boundary/args.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/convert.hpp"
#include "python/boundary/lock.hpp"
#include "python/functions.hpp"
#include "python/node/node_object.hpp"

namespace arbolite {
namespace {

constexpr Params kReadStringParams{nullptr, "read_string", {"xml_string", "root_tag"}, 2, 2};
constexpr Params kReadFileParams{nullptr, "read_file", {"file_path", "root_tag"}, 2, 2};

// With the lock released: the parse, and on success the hand-over of the
// slabs to the nodes.
ParseOutcome parse_and_publish(std::string_view text, std::string_view tag, PyTypeObject* type, Arena& arena) {
    ParseOutcome outcome = parse_document(text, tag, type, arena);
    if (!outcome.error) arena.publish();
    return outcome;
}

// With the lock: the tree's nodes take their references to the type.
Result<object> finish(ParseOutcome& outcome) {
    if (outcome.error) return Error::deferred(PyExc_ValueError, outcome.error->message());
    adopt_nodes(outcome.node_count);
    return steal(as_object(outcome.root));
}

// The document's UTF-8 bytes. An ASCII str already is UTF-8 and is read in
// place (it is immutable and the caller's reference keeps it alive); any
// other is converted from its own storage without the lock, rather than by
// the interpreter's encoder, which would also cache the copy on the str.
Result<std::string_view> document_text(handle xml, ByteBuffer& converted) {
    if (!PyUnicode_Check(xml.ptr())) return type_error(xml, "str");
    PyObject* s = xml.ptr();
    const void* data = PyUnicode_DATA(s);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (PyUnicode_IS_ASCII(s)) return std::string_view(static_cast<const char*>(data), length);
    const int unit = static_cast<int>(PyUnicode_KIND(s));
    const bool converts = without_lock([&] { return utf8_from_units(data, length, unit, converted); });
    // A lone surrogate has no UTF-8 form: the interpreter's encoder gives the error.
    if (!converts) return std::move(utf8_view(xml)).error();
    return converted.view();
}

}  // namespace

PyObject* read_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kReadStringParams, args, nargs, kwnames));
        ByteBuffer converted;
        auto text = document_text(slots[0], converted);
        if (!text) return argument_error("xml_string", std::move(text).error());
        auto tag = utf8_copy(slots[1]);
        if (!tag) return argument_error("root_tag", std::move(tag).error());
        Arena arena(text->size());
        PyTypeObject* type = node_type();
        ParseOutcome outcome = without_lock([&] { return parse_and_publish(*text, *tag, type, arena); });
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
        Arena arena(0);
        PyTypeObject* type = node_type();
        using Outcome = std::variant<IoError, ParseOutcome>;
        Outcome outcome = without_lock([&]() -> Outcome {
            auto file = read_text_file(*path);
            if (auto* failure = std::get_if<IoError>(&file)) return std::move(*failure);
            const ByteBuffer& text = std::get<ByteBuffer>(file);
            arena.expect(text.size());
            return parse_and_publish(text.view(), *tag, type, arena);
        });
        if (auto* failure = std::get_if<IoError>(&outcome)) return Error::os(failure->code, std::move(failure->message));
        return finish(std::get<ParseOutcome>(outcome));
    });
}

}  // namespace arbolite
