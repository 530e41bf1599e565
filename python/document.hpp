// A document as the reading functions take it: a str, a byte buffer in any
// encoding, or bytes read from a file; and the exceptions of reading one.
#pragma once
#include <Python.h>

#include <string>
#include <string_view>

#include "core/base/byte_buffer.hpp"
#include "core/base/core_error.hpp"
#include "core/text/encoding.hpp"
#include "core/text/position.hpp"
#include "python/boundary/error.hpp"

namespace arbolite {

// arbolite.ParseError for a reader error found at `at`.
Error parse_error(PyObject* parse_error_type, const CoreError& e, const TextPosition& at);

// The document's UTF-8 bytes. An ASCII str already is UTF-8 and is read in
// place (it is immutable and the caller's reference keeps it alive); any
// other is converted from its own storage without the lock, rather than by
// the interpreter's encoder, which would also cache the copy on the str.
Result<std::string_view> document_text(handle xml, ByteBuffer& converted);

// The codec that decodes a document, or an empty name for UTF-8. A declared
// name is looked up in the interpreter's registry (LookupError when it is
// unknown); one it knows as UTF-8 or ASCII, or as UTF-16 or UTF-32 (which a
// declaration read byte by byte cannot truly name), is read as UTF-8.
Result<std::string> codec_for(const DetectedEncoding& detected);

// The document decoded by the interpreter, or a null object when it is UTF-8.
Result<object> decoded_document(std::string_view bytes);

// What a strict UTF-8 decoder raises for `bytes`, whose first ill-formed
// sequence starts at `at`.
Error utf8_decode_error(std::string_view bytes, std::size_t at);

// The bytes of a buffer, held while they are read. Only an immutable object
// (bytes, or a memoryview of bytes) is read in place: any other may be
// changed by a thread while the lock is released, so it is copied, with the
// lock held.
class DocumentBytes {
public:
    DocumentBytes() = default;
    DocumentBytes(const DocumentBytes&) = delete;
    DocumentBytes& operator=(const DocumentBytes&) = delete;
    ~DocumentBytes() { release(); }

    Status hold(handle obj);
    std::string_view view() const noexcept { return bytes_; }

private:
    static bool immutable(PyObject* obj);
    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }

    Py_buffer view_{};
    bool held_ = false;
    std::string_view bytes_;
    ByteBuffer copy_;
};

}  // namespace arbolite
