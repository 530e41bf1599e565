#include "python/document.hpp"

#include <algorithm>

#include "core/text/utf8.hpp"
#include "python/boundary/convert.hpp"
#include "python/boundary/lock.hpp"

namespace arbolite {
namespace {

Status set_attribute(handle target, const char* name, handle value) {
    if (PyObject_SetAttrString(target.ptr(), name, value.ptr()) < 0) return Error::fetch();
    return ok();
}

}  // namespace

Error parse_error(PyObject* type, const CoreError& e, const TextPosition& at) {
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


Status DocumentBytes::hold(handle obj) {
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

bool DocumentBytes::immutable(PyObject* obj) {
    if (PyBytes_Check(obj)) return true;
    if (!PyMemoryView_Check(obj)) return false;
    PyObject* base = PyMemoryView_GET_BASE(obj);
    return base && PyBytes_Check(base);
}

}  // namespace arbolite
