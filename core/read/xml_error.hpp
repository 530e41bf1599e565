// The reader's error value: returned, never thrown; message() is the text
// the Python layer raises.
#pragma once
#include <cstdint>
#include <string>

namespace arbolite {

struct XmlError {
    enum class Kind : std::uint8_t { UnclosedTag, Malformed, RootNotFound, NeverClosed, UnknownEntity };

    Kind kind = Kind::Malformed;
    // Malformed: the message; RootNotFound: the tag asked for;
    // NeverClosed: the element's name; UnknownEntity: the entity's name.
    std::string detail;
    // Byte offset into the input, for UnclosedTag, Malformed and UnknownEntity.
    std::uint64_t offset = 0;

    static XmlError unclosed_tag(std::uint64_t offset) { return {Kind::UnclosedTag, {}, offset}; }
    static XmlError malformed(std::string message, std::uint64_t offset) {
        return {Kind::Malformed, std::move(message), offset};
    }
    static XmlError root_not_found(std::string tag) { return {Kind::RootNotFound, std::move(tag), 0}; }
    static XmlError never_closed(std::string name) { return {Kind::NeverClosed, std::move(name), 0}; }
    static XmlError unknown_entity(std::string name, std::uint64_t offset) {
        return {Kind::UnknownEntity, std::move(name), offset};
    }

    std::string message() const;

    bool operator==(const XmlError&) const = default;
};

}  // namespace arbolite
