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
#include "python/functions.hpp"
#include "python/node/node_object.hpp"

namespace arbolite {
namespace {

constexpr Params kReadStringParams{nullptr, "read_string", {"xml_string", "root_tag"}, 2, 2};
constexpr Params kReadFileParams{nullptr, "read_file", {"file_path", "root_tag"}, 2, 2};

// A parse, and where its error is: found from the text while it still exists.
struct Parsed {
    ParseOutcome outcome;
    TextPosition position;
};

// With the lock released: the parse, and on success the hand-over of the
// slabs to the nodes. An error without a place in the text is placed at its end.
Parsed parse_and_publish(std::string_view text, std::string_view tag, PyTypeObject* type, Arena& arena) {
    Parsed parsed{parse_document(text, tag, type, arena), {}};
    if (!parsed.outcome.error) {
        arena.publish();
    } else {
        const XmlError& e = *parsed.outcome.error;
        parsed.position = text_position(text, e.has_offset() ? e.offset : text.size());
    }
    return parsed;
}

Status set_attribute(handle target, const char* name, handle value) {
    if (PyObject_SetAttrString(target.ptr(), name, value.ptr()) < 0) return Error::fetch();
    return ok();
}

Error parse_error(const XmlError& e, const TextPosition& at) {
    PyObject* type = parse_error_type();
    if (!type) return Error::fetch();
    const std::string message = e.message();
    object text = steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return Error::fetch();
    object exc = steal(PyObject_CallOneArg(type, text.ptr()));
    if (!exc) return Error::fetch();
    object position = steal(check_created(Py_BuildValue("(KK)", static_cast<unsigned long long>(at.line),
                                                        static_cast<unsigned long long>(at.column))));
    object byte = e.has_offset() ? steal(check_created(PyLong_FromUnsignedLongLong(e.offset))) : borrow(Py_None);
    object code = steal(check_created(PyUnicode_FromString(code_name(e.code))));
    ARBOLITE_CHECK(set_attribute(exc, "position", position));
    ARBOLITE_CHECK(set_attribute(exc, "byte", byte));
    ARBOLITE_CHECK(set_attribute(exc, "code", code));
    return Error::from_exception(std::move(exc));
}

// With the lock: the tree's nodes take their references to the type.
Result<object> finish(Parsed& parsed) {
    if (parsed.outcome.error) return parse_error(*parsed.outcome.error, parsed.position);
    adopt_nodes(parsed.outcome.node_count);
    return steal(as_object(parsed.outcome.root));
}

Result<object> read_utf8(std::string_view text, std::string_view tag) {
    Arena arena(text.size());
    PyTypeObject* type = node_type();
    Parsed parsed = without_lock([&] { return parse_and_publish(text, tag, type, arena); });
    return finish(parsed);
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

// The codec that decodes a document, or an empty name for UTF-8. A declared
// name is looked up in the interpreter's registry (LookupError when it is
// unknown); one it knows as UTF-8 or ASCII, or as UTF-16 or UTF-32 (which a
// declaration read byte by byte cannot truly name), is read as UTF-8.
Result<std::string> codec_for(const DetectedEncoding& detected) {
    if (detected.utf8()) return std::string();
    if (detected.source != DetectedEncoding::Source::Declaration) return std::string(detected.codec);
    if (detected.codec.find('\0') != std::string_view::npos) {
        // The registry would refuse it as an argument rather than as a name.
        return Error::deferred(PyExc_LookupError, "unknown encoding: " + std::string(detected.codec));
    }
    object codecs = steal(PyImport_ImportModule("codecs"));
    if (!codecs) return Error::fetch();
    object name = steal(check_created(
        PyUnicode_DecodeLatin1(detected.codec.data(), static_cast<Py_ssize_t>(detected.codec.size()), nullptr)));
    object info = steal(PyObject_CallMethod(codecs.ptr(), "lookup", "O", name.ptr()));
    if (!info) return Error::fetch();
    object canonical = steal(PyObject_GetAttrString(info.ptr(), "name"));
    if (!canonical) return Error::fetch();
    ARBOLITE_TRY(spelled, utf8_view(canonical));
    if (classify_encoding_name(spelled) != EncodingName::Other) return std::string();
    return std::string(spelled);
}

// The document decoded by the interpreter, or a null object when it is UTF-8.
Result<object> decoded_document(std::string_view bytes) {
    ARBOLITE_TRY(codec, codec_for(detect_encoding(bytes)));
    if (codec.empty()) return object();
    object text = steal(PyUnicode_Decode(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), codec.c_str(), "strict"));
    if (!text) return Error::fetch();
    return text;
}

// What a strict UTF-8 decoder raises for `bytes`, whose first ill-formed
// sequence starts at `at`. Decoding that sequence alone (at most four bytes)
// gives the interpreter's own reason and end.
Error utf8_decode_error(std::string_view bytes, std::size_t at) {
    const std::size_t length = std::min<std::size_t>(4, bytes.size() - at);
    object probe = steal(PyUnicode_DecodeUTF8(bytes.data() + at, static_cast<Py_ssize_t>(length), "strict"));
    if (probe) fatal("invariant: the UTF-8 validator and the interpreter's decoder disagree");
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return Error::fetch();
    object raised = steal(PyErr_GetRaisedException());
    Py_ssize_t start = 0, end = 0;
    if (PyUnicodeDecodeError_GetStart(raised.ptr(), &start) < 0 || PyUnicodeDecodeError_GetEnd(raised.ptr(), &end) < 0) {
        return Error::fetch();
    }
    object reason = steal(PyUnicodeDecodeError_GetReason(raised.ptr()));
    if (!reason) return Error::fetch();
    const char* reason_text = PyUnicode_AsUTF8(reason.ptr());
    if (!reason_text) return Error::fetch();
    const auto offset = static_cast<Py_ssize_t>(at);
    object error = steal(PyUnicodeDecodeError_Create("utf-8", bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                                     offset + start, offset + end, reason_text));
    if (!error) return Error::fetch();
    return Error::from_exception(std::move(error));
}

// The bytes of a buffer, held for the call. Only an immutable object (bytes,
// or a memoryview of bytes) is read in place: any other may be changed by a
// thread while the lock is released, so it is copied, with the lock held.
class DocumentBytes {
public:
    DocumentBytes() = default;
    DocumentBytes(const DocumentBytes&) = delete;
    DocumentBytes& operator=(const DocumentBytes&) = delete;
    ~DocumentBytes() { release(); }

    Status hold(handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &view_, PyBUF_SIMPLE) < 0) return Error::fetch();
        held_ = true;
        bytes_ = {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
        if (!immutable(obj.ptr())) {
            copy_.append(bytes_);
            bytes_ = copy_.view();
            release();
        }
        return ok();
    }
    std::string_view view() const noexcept { return bytes_; }

private:
    static bool immutable(PyObject* obj) {
        if (PyBytes_Check(obj)) return true;
        if (!PyMemoryView_Check(obj)) return false;
        PyObject* base = PyMemoryView_GET_BASE(obj);
        return base && PyBytes_Check(base);
    }
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }

    Py_buffer view_{};
    bool held_ = false;
    std::string_view bytes_;
    ByteBuffer copy_;
};

Result<object> read_buffer(handle xml, handle root_tag) {
    DocumentBytes document;
    if (auto held = document.hold(xml); !held) return argument_error("xml_string", std::move(held).error());
    auto tag = utf8_copy(root_tag);
    if (!tag) return argument_error("root_tag", std::move(tag).error());
    const std::string_view bytes = document.view();
    auto decoded = decoded_document(bytes);
    if (!decoded) return argument_error("xml_string", std::move(decoded).error());
    if (*decoded) {
        ByteBuffer converted;
        auto text = document_text(*decoded, converted);
        if (!text) return argument_error("xml_string", std::move(text).error());
        return read_utf8(*text, *tag);
    }
    // UTF-8: checked and read in place, both without the lock.
    Arena arena(bytes.size());
    PyTypeObject* type = node_type();
    std::size_t invalid = 0;
    std::optional<Parsed> parsed = without_lock([&]() -> std::optional<Parsed> {
        invalid = utf8_error_offset(bytes);
        if (invalid != bytes.size()) return std::nullopt;
        return parse_and_publish(bytes, *tag, type, arena);
    });
    if (!parsed) return argument_error("xml_string", utf8_decode_error(bytes, invalid));
    return finish(*parsed);
}

// A file's UTF-8 text, checked and read without the lock; invalid UTF-8 is
// the I/O error it always was.
using FileParse = std::variant<IoError, Parsed>;
FileParse parse_utf8_file(std::string_view text, std::string_view tag, PyTypeObject* type, Arena& arena) {
    if (!is_valid_utf8(text)) return invalid_utf8_error();
    arena.expect(text.size());
    return parse_and_publish(text, tag, type, arena);
}

Result<object> finish_file(FileParse& outcome) {
    if (auto* failure = std::get_if<IoError>(&outcome)) return Error::os(failure->code, std::move(failure->message));
    return finish(std::get<Parsed>(outcome));
}

// A file in another encoding, handed back to be decoded with the lock. The
// codec name may point into `bytes`, which a move does not relocate.
struct Undecoded {
    ByteBuffer bytes;
    DetectedEncoding detected;
};

}  // namespace

PyObject* read_string(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kReadStringParams, args, nargs, kwnames));
        handle xml = slots[0];
        if (!PyUnicode_Check(xml.ptr()) && PyObject_CheckBuffer(xml.ptr())) return read_buffer(xml, slots[1]);
        ByteBuffer converted;
        auto text = document_text(xml, converted);
        if (!text) return argument_error("xml_string", std::move(text).error());
        auto tag = utf8_copy(slots[1]);
        if (!tag) return argument_error("root_tag", std::move(tag).error());
        return read_utf8(*text, *tag);
    });
}

PyObject* read_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kReadFileParams, args, nargs, kwnames));
        auto path = path_bytes(slots[0]);
        if (!path) return argument_error("file_path", std::move(path).error());
        auto tag = utf8_copy(slots[1]);
        if (!tag) return argument_error("root_tag", std::move(tag).error());
        Arena arena(0);
        PyTypeObject* type = node_type();
        using Outcome = std::variant<IoError, Parsed, Undecoded>;
        Outcome outcome = without_lock([&]() -> Outcome {
            auto file = read_whole_file(*path);
            if (auto* failure = std::get_if<IoError>(&file)) return std::move(*failure);
            ByteBuffer& bytes = std::get<ByteBuffer>(file);
            const DetectedEncoding detected = detect_encoding(bytes.view());
            if (!detected.utf8()) return Undecoded{std::move(bytes), detected};
            FileParse parsed = parse_utf8_file(bytes.view(), *tag, type, arena);
            if (auto* failure = std::get_if<IoError>(&parsed)) return std::move(*failure);
            return std::move(std::get<Parsed>(parsed));
        });
        if (auto* failure = std::get_if<IoError>(&outcome)) return Error::os(failure->code, std::move(failure->message));
        if (auto* parsed = std::get_if<Parsed>(&outcome)) return finish(*parsed);

        Undecoded& file = std::get<Undecoded>(outcome);
        ARBOLITE_TRY(codec, codec_for(file.detected));
        if (codec.empty()) {
            FileParse parsed = without_lock([&] { return parse_utf8_file(file.bytes.view(), *tag, type, arena); });
            return finish_file(parsed);
        }
        object text = steal(PyUnicode_Decode(file.bytes.data(), static_cast<Py_ssize_t>(file.bytes.size()),
                                              codec.c_str(), "strict"));
        if (!text) return Error::fetch();
        file.bytes = ByteBuffer();
        ByteBuffer converted;
        ARBOLITE_TRY(utf8, document_text(text, converted));
        return read_utf8(utf8, *tag);
    });
}

}  // namespace arbolite
