// The core's one error value: returned, never thrown. Its kind says which
// part failed and so which exception the Python layer raises; message() is
// the text it raises, code_name() the stable name a reader's error is known by.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace arbolite {

struct CoreError {
    enum class Kind : std::uint8_t {
        // The reader's.
        UnclosedTag,
        Malformed,
        RootNotFound,
        NeverClosed,
        UnknownEntity,
        Io,      // a system call failed: `sys` is its errno, or 0 with the text in `detail`
        Blob,    // node data that does not hold a tree (pickles): `detail` says why, at byte `offset`
        Output,  // output refused before it is written: OutputOverflow or OutputMemory
        Path,    // a path query refused: PathSyntax or PathTooComplex, about bytes [offset, end) of it
    };

    // One per message template, so a program can tell errors apart without
    // reading their text.
    enum class Code : std::uint8_t {
        UnclosedTag,
        UnterminatedMarkup,
        UnexpectedLt,
        ExpectedElementName,
        ExpectedWhitespace,
        ExpectedAttributeName,
        AttributeWithoutValue,
        UnquotedAttributeValue,
        UnterminatedAttributeValue,
        LtInAttributeValue,
        DuplicateAttribute,
        MalformedEndTag,
        UnexpectedEndTag,
        MismatchedEndTag,
        UnterminatedComment,
        UnterminatedCdata,
        UnterminatedProcessingInstruction,
        UnterminatedDoctype,
        UnterminatedEntityReference,
        InvalidCharacterReference,
        UnexpectedEndOfDocument,
        UnknownEntity,
        RootNotFound,
        NeverClosed,
        Malformed,  // a free text given by the caller
        Io,
        BadBlob,
        OutputOverflow,  // indent × level does not fit in 64 bits
        OutputMemory,    // the output would exceed the bytes that can be held
        PathSyntax,      // a malformed path
        PathTooComplex,  // a program far larger than its path
    };

    Kind kind = Kind::Malformed;
    Code code = Code::Malformed;
    // Malformed: the message; RootNotFound: the tag asked for;
    // NeverClosed: the element's name; UnknownEntity: the entity's name.
    std::string detail;
    // Byte offset into the input, for UnclosedTag, Malformed, UnknownEntity,
    // Blob and Path.
    std::uint64_t offset = 0;
    std::uint64_t end = 0;  // Path: where the bytes the message is about end
    int sys = 0;            // Io: errno, or 0

    static CoreError unclosed_tag(std::uint64_t offset) {
        return {Kind::UnclosedTag, Code::UnclosedTag, {}, offset};
    }
    // A Malformed error whose text is fixed by its code.
    static CoreError malformed(Code code, std::uint64_t offset);
    // A Malformed error whose text names one thing (an attribute, an end tag,
    // a reference's body).
    static CoreError malformed(Code code, std::string_view name, std::uint64_t offset);
    static CoreError mismatched_end_tag(std::string_view expected, std::string_view found, std::uint64_t offset);
    // A Malformed error with a text of the caller's; its code is Code::Malformed.
    static CoreError malformed(std::string message, std::uint64_t offset) {
        return {Kind::Malformed, Code::Malformed, std::move(message), offset};
    }
    static CoreError root_not_found(std::string tag) {
        return {Kind::RootNotFound, Code::RootNotFound, std::move(tag), 0};
    }
    static CoreError never_closed(std::string name) {
        return {Kind::NeverClosed, Code::NeverClosed, std::move(name), 0};
    }
    static CoreError unknown_entity(std::string name, std::uint64_t offset) {
        return {Kind::UnknownEntity, Code::UnknownEntity, std::move(name), offset};
    }

    static CoreError io(int sys, std::string text = {}) {
        CoreError e{Kind::Io, Code::Io, std::move(text), 0};
        e.sys = sys;
        return e;
    }
    static CoreError bad_blob(std::uint64_t offset, std::string reason) {
        return {Kind::Blob, Code::BadBlob, std::move(reason), offset};
    }
    // Code: OutputOverflow or OutputMemory.
    static CoreError output(Code code, std::string message) { return {Kind::Output, code, std::move(message), 0}; }
    // Code: PathSyntax or PathTooComplex.
    static CoreError path(Code code, std::string message, std::uint64_t begin, std::uint64_t end) {
        CoreError e{Kind::Path, code, std::move(message), begin};
        e.end = end;
        return e;
    }

    std::string message() const;
    // Whether the error is at a place in the input (`offset`); RootNotFound
    // and NeverClosed are about the document as a whole, I/O and output
    // about no input.
    bool has_offset() const noexcept {
        return kind != Kind::RootNotFound && kind != Kind::NeverClosed && kind != Kind::Io && kind != Kind::Output;
    }

    bool operator==(const CoreError&) const = default;
};

// The code's stable snake_case name, e.g. "duplicate_attribute".
const char* code_name(CoreError::Code code) noexcept;

}  // namespace arbolite
