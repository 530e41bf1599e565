// read_string and read_file: the whole read, nodes included, runs with the
// interpreter lock released; with the lock back, the finished tree is only
// handed over. A document given as bytes is read as it is when it is UTF-8;
// any other encoding is decoded by the interpreter's codec first and then
// read like a str.
#include <algorithm>
#include <optional>
#include <string>
#include <variant>

#include "core/read/file_source.hpp"
#include "core/read/parser.hpp"
#include "core/text/encoding.hpp"
#include "core/text/position.hpp"
#include "core/text/utf8.hpp"
#include "python/boundary/args.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/convert.hpp"
#include "python/boundary/lock.hpp"
#include "python/document.hpp"
#include "python/functions.hpp"
#include "python/module_state.hpp"
#include "python/node/node_object.hpp"
#include "python/node/tree_dict.hpp"
#include "python/read.hpp"

namespace arbolite {
namespace {

constexpr Params kReadStringParams{nullptr, "read_string", {"xml_string", "root_tag"}, 2, 2};
constexpr Params kReadFileParams{nullptr, "read_file", {"file_path", "root_tag"}, 2, 2};
constexpr Params kReadDictParams{nullptr, "read_dict", {"xml_string", "root_tag"}, 2, 2};

// A parse, and where its error is: found from the text while it still exists.
struct Parsed {
    ParseOutcome outcome;
    TextPosition position;
};

// What a read builds: the first element named `tag`, or the document element;
// with `use`, not a tree for Python but what `use` makes of the nodes, which
// are then freed with their arena and never handed over.
struct Wanted {
    ReadOptions read;  // its node_type is filled in by the parse
    const TreeUse* use = nullptr;
};

Wanted named(std::string_view tag) { return Wanted{{.root_tag = tag}}; }

// With the lock released: the parse, and on success the hand-over of the
// slabs to the nodes. An error without a place in the text is placed at its end.
Parsed parse_and_publish(std::string_view text, const Wanted& want, PyTypeObject* type, Arena& arena) {
    ReadOptions options = want.read;
    options.node_type = type;
    Parsed parsed{parse_document_with(cpu::active_kernel(), text, options, arena), {}};
    if (!parsed.outcome.error) {
        if (!want.use) arena.publish();
    } else {
        const CoreError& e = *parsed.outcome.error;
        parsed.position = text_position(text, e.has_offset() ? e.offset : text.size());
    }
    return parsed;
}

// With the lock: the tree's nodes take their references to the type, or
// `use` reads them while their arena still holds them.
Result<object> finish(const ModuleState& st, Parsed& parsed, const Wanted& want) {
    if (parsed.outcome.error) return parse_error(st.parse_error, *parsed.outcome.error, parsed.position);
    if (want.use) return (*want.use)(parsed.outcome.root);
    adopt_nodes(st.node_type, parsed.outcome.node_count);
    return steal(as_object(parsed.outcome.root));
}

Result<object> read_utf8(const ModuleState& st, std::string_view text, const Wanted& want) {
    Arena arena(text.size());
    PyTypeObject* type = st.node_type;
    Parsed parsed = without_lock([&] { return parse_and_publish(text, want, type, arena); });
    return finish(st, parsed, want);
}

// `root_tag` null: the document element, as `want` says.
Result<object> read_buffer(const ModuleState& st, handle xml, PyObject* root_tag, Wanted want, const char* param) {
    DocumentBytes document;
    if (auto held = document.hold(xml); !held) return argument_error(param, std::move(held).error());
    std::string tag;
    if (root_tag) {
        auto copied = utf8_copy(root_tag);
        if (!copied) return argument_error("root_tag", std::move(copied).error());
        tag = std::move(*copied);
        want.read.root_tag = tag;
    }
    const std::string_view bytes = document.view();
    auto decoded = decoded_document(bytes);
    if (!decoded) return argument_error(param, std::move(decoded).error());
    if (*decoded) {
        ByteBuffer converted;
        auto text = document_text(*decoded, converted);
        if (!text) return argument_error(param, std::move(text).error());
        return read_utf8(st, *text, want);
    }
    // UTF-8: checked and read in place, both without the lock.
    Arena arena(bytes.size());
    PyTypeObject* type = st.node_type;
    std::size_t invalid = 0;
    std::optional<Parsed> parsed = without_lock([&]() -> std::optional<Parsed> {
        invalid = utf8_error_offset(bytes);
        if (invalid != bytes.size()) return std::nullopt;
        return parse_and_publish(bytes, want, type, arena);
    });
    if (!parsed) return argument_error(param, utf8_decode_error(bytes, invalid));
    return finish(st, *parsed, want);
}

// A file's UTF-8 text, checked and read without the lock; invalid UTF-8 is
// the I/O error it always was.
using FileParse = std::variant<CoreError, Parsed>;
FileParse parse_utf8_file(std::string_view text, std::string_view tag, PyTypeObject* type, Arena& arena) {
    if (!is_valid_utf8(text)) return invalid_utf8_error();
    arena.expect(text.size());
    return parse_and_publish(text, named(tag), type, arena);
}

Result<object> finish_file(const ModuleState& st, FileParse& outcome) {
    if (auto* failure = std::get_if<CoreError>(&outcome)) return Error::core(*failure);
    return finish(st, std::get<Parsed>(outcome), Wanted{});
}

// A file in another encoding, handed back to be decoded with the lock. The
// codec name may point into `bytes`, which a move does not relocate.
struct Undecoded {
    ByteBuffer bytes;
    DetectedEncoding detected;
};

// read_string's and read_dict's arguments, read alike.
Result<object> read_named(const ModuleState& st, const Params& params, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, const TreeUse* use) {
    ARBOLITE_TRY(slots, extract_arguments(params, args, nargs, kwnames));
    Wanted want;
    want.use = use;
    handle xml = slots[0];
    if (!PyUnicode_Check(xml.ptr()) && PyObject_CheckBuffer(xml.ptr())) {
        return read_buffer(st, xml, slots[1], want, "xml_string");
    }
    ByteBuffer converted;
    auto text = document_text(xml, converted);
    if (!text) return argument_error("xml_string", std::move(text).error());
    auto tag = utf8_copy(slots[1]);
    if (!tag) return argument_error("root_tag", std::move(tag).error());
    want.read.root_tag = *tag;
    return read_utf8(st, *text, want);
}

}  // namespace

PyObject* read_string(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(state, live_state(module));
        return read_named(*state, kReadStringParams, args, nargs, kwnames, nullptr);
    });
}

// The dictionaries of to_dict, made from the parse's nodes before they are
// freed: no tree is handed to Python, published or released node by node.
PyObject* read_dict(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(state, live_state(module));
        ModuleState& st = *state;
        const TreeUse use = [&](Node* root) { return tree_to_dict(root, st.names, st.values); };
        return read_named(*state, kReadDictParams, args, nargs, kwnames, &use);
    });
}

PyObject* read_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(state, live_state(module));
        const ModuleState& st = *state;
        ARBOLITE_TRY(slots, extract_arguments(kReadFileParams, args, nargs, kwnames));
        auto path = path_bytes(slots[0]);
        if (!path) return argument_error("file_path", std::move(path).error());
        auto tag = utf8_copy(slots[1]);
        if (!tag) return argument_error("root_tag", std::move(tag).error());
        Arena arena(0);
        PyTypeObject* type = st.node_type;
        using Outcome = std::variant<CoreError, Parsed, Undecoded>;
        Outcome outcome = without_lock([&]() -> Outcome {
            auto file = read_whole_file(*path);
            if (auto* failure = std::get_if<CoreError>(&file)) return std::move(*failure);
            ByteBuffer& bytes = std::get<ByteBuffer>(file);
            const DetectedEncoding detected = detect_encoding(bytes.view());
            if (!detected.utf8()) return Undecoded{std::move(bytes), detected};
            FileParse parsed = parse_utf8_file(bytes.view(), *tag, type, arena);
            if (auto* failure = std::get_if<CoreError>(&parsed)) return std::move(*failure);
            return std::move(std::get<Parsed>(parsed));
        });
        if (auto* failure = std::get_if<CoreError>(&outcome)) return Error::core(*failure);
        if (auto* parsed = std::get_if<Parsed>(&outcome)) return finish(st, *parsed, Wanted{});

        Undecoded& file = std::get<Undecoded>(outcome);
        ARBOLITE_TRY(codec, codec_for(file.detected));
        if (codec.empty()) {
            FileParse parsed = without_lock([&] { return parse_utf8_file(file.bytes.view(), *tag, type, arena); });
            return finish_file(st, parsed);
        }
        object text = steal(PyUnicode_Decode(file.bytes.data(), static_cast<Py_ssize_t>(file.bytes.size()),
                                              codec.c_str(), "strict"));
        if (!text) return Error::fetch();
        file.bytes = ByteBuffer();
        ByteBuffer converted;
        ARBOLITE_TRY(utf8, document_text(text, converted));
        return read_utf8(st, utf8, named(*tag));
    });
}

Result<object> read_document_element(const ModuleState& st, handle xml, bool raw_text, const char* param,
                                     const TreeUse* use) {
    const Wanted want{{.document_element = true, .raw_text = raw_text}, use};
    object read;  // what a file object's read() gave
    if (!PyUnicode_Check(xml.ptr()) && !PyObject_CheckBuffer(xml.ptr())) {
        object method = steal(PyObject_GetAttrString(xml.ptr(), "read"));
        if (!method) {
            PyErr_Clear();
            return argument_error(param, type_error(xml, "str, bytes-like object or binary file"));
        }
        read = steal(PyObject_CallNoArgs(method.ptr()));
        if (!read) return Error::fetch();
        xml = read;
        if (!PyUnicode_Check(xml.ptr()) && !PyObject_CheckBuffer(xml.ptr())) {
            return argument_error(param, type_error(xml, "bytes"));
        }
    }
    if (!PyUnicode_Check(xml.ptr())) return read_buffer(st, xml, nullptr, want, param);
    ByteBuffer converted;
    auto text = document_text(xml, converted);
    if (!text) return argument_error(param, std::move(text).error());
    return read_utf8(st, *text, want);
}

}  // namespace arbolite
