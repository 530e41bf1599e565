// The reader's error value: returned, never thrown; message() is the text
// the Python layer raises, code_name() the stable name it is known by.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace arbolite {

struct XmlError {
    enum class Kind : std::uint8_t { UnclosedTag, Malformed, RootNotFound, NeverClosed, UnknownEntity };

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
    };

    Kind kind = Kind::Malformed;
    Code code = Code::Malformed;
    // Malformed: the message; RootNotFound: the tag asked for;
    // NeverClosed: the element's name; UnknownEntity: the entity's name.
    std::string detail;
    // Byte offset into the input, for UnclosedTag, Malformed and UnknownEntity.
    std::uint64_t offset = 0;

    static XmlError unclosed_tag(std::uint64_t offset) {
        return {Kind::UnclosedTag, Code::UnclosedTag, {}, offset};
    }
    // A Malformed error whose text is fixed by its code.
    static XmlError malformed(Code code, std::uint64_t offset);
    // A Malformed error whose text names one thing (an attribute, an end tag,
    // a reference's body).
    static XmlError malformed(Code code, std::string_view name, std::uint64_t offset);
    static XmlError mismatched_end_tag(std::string_view expected, std::string_view found, std::uint64_t offset);
    // A Malformed error with a text of the caller's; its code is Code::Malformed.
    static XmlError malformed(std::string message, std::uint64_t offset) {
        return {Kind::Malformed, Code::Malformed, std::move(message), offset};
    }
    static XmlError root_not_found(std::string tag) {
        return {Kind::RootNotFound, Code::RootNotFound, std::move(tag), 0};
    }
    static XmlError never_closed(std::string name) {
        return {Kind::NeverClosed, Code::NeverClosed, std::move(name), 0};
    }
    static XmlError unknown_entity(std::string name, std::uint64_t offset) {
        return {Kind::UnknownEntity, Code::UnknownEntity, std::move(name), offset};
    }

    std::string message() const;
    // Whether the error is at a place in the input (`offset`); RootNotFound
    // and NeverClosed are about the document as a whole.
    bool has_offset() const noexcept { return kind != Kind::RootNotFound && kind != Kind::NeverClosed; }

    bool operator==(const XmlError&) const = default;
};

// The code's stable snake_case name, e.g. "duplicate_attribute".
const char* code_name(XmlError::Code code) noexcept;

}  // namespace arbolite
