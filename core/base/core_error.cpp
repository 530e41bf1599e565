#include "core/base/core_error.hpp"

namespace arbolite {
namespace {

using Code = CoreError::Code;

struct Template {
    const char* name;    // code_name()
    const char* before;  // the Malformed text, around the one name it may hold
    const char* after;
};

// Indexed by Code. The texts of the codes that are not Malformed are built in message().
constexpr Template kTemplates[] = {
    {"unclosed_tag", "", ""},
    {"unterminated_markup", "unterminated markup", ""},
    {"unexpected_lt", "unexpected '<'", ""},
    {"expected_element_name", "expected element name after '<'", ""},
    {"expected_whitespace", "expected whitespace before attribute", ""},
    {"expected_attribute_name", "expected attribute name", ""},
    {"attribute_without_value", "attribute '", "' has no value"},
    {"unquoted_attribute_value", "value of attribute '", "' is not quoted"},
    {"unterminated_attribute_value", "unterminated attribute value", ""},
    {"lt_in_attribute_value", "'<' is not allowed in attribute values", ""},
    {"duplicate_attribute", "duplicate attribute '", "'"},
    {"malformed_end_tag", "malformed end tag </", ">"},
    {"unexpected_end_tag", "unexpected end tag </", ">"},
    {"mismatched_end_tag", "expected </", ">, found </"},
    {"unterminated_comment", "unterminated comment", ""},
    {"unterminated_cdata", "unterminated CDATA section", ""},
    {"unterminated_processing_instruction", "unterminated processing instruction", ""},
    {"unterminated_doctype", "unterminated document type declaration", ""},
    {"unterminated_entity_reference", "unterminated entity reference", ""},
    {"invalid_character_reference", "invalid character reference '&", ";'"},
    {"unexpected_end_of_document", "unexpected end of document", ""},
    {"unknown_entity", "", ""},
    {"root_not_found", "", ""},
    {"never_closed", "", ""},
    {"malformed", "", ""},
    {"io", "", ""},
    {"bad_blob", "", ""},
    {"output_overflow", "", ""},
    {"output_memory", "", ""},
    {"path_syntax", "", ""},
    {"path_too_complex", "", ""},
};
static_assert(sizeof kTemplates / sizeof kTemplates[0] == static_cast<std::size_t>(Code::PathTooComplex) + 1);

const Template& template_of(Code code) noexcept { return kTemplates[static_cast<std::size_t>(code)]; }

}  // namespace

CoreError CoreError::malformed(Code code, std::uint64_t offset) {
    return {Kind::Malformed, code, template_of(code).before, offset};
}

CoreError CoreError::malformed(Code code, std::string_view name, std::uint64_t offset) {
    const Template& t = template_of(code);
    std::string text(t.before);
    text.append(name);
    text.append(t.after);
    return {Kind::Malformed, code, std::move(text), offset};
}

CoreError CoreError::mismatched_end_tag(std::string_view expected, std::string_view found, std::uint64_t offset) {
    CoreError e = malformed(Code::MismatchedEndTag, expected, offset);
    e.detail.append(found);
    e.detail.push_back('>');
    return e;
}

const char* code_name(CoreError::Code code) noexcept {
    const auto i = static_cast<std::size_t>(code);
    return i < sizeof kTemplates / sizeof kTemplates[0] ? kTemplates[i].name : "malformed";
}

std::string CoreError::message() const {
    const std::string at = std::to_string(offset);
    switch (kind) {
        case Kind::UnclosedTag:
            return "malformed XML: Unclosed tag at byte " + at;
        case Kind::Malformed:
            return "malformed XML at byte " + at + ": " + detail;
        case Kind::RootNotFound:
            return "root tag <" + detail + "> not found in document";
        case Kind::NeverClosed:
            return "unexpected end of document: <" + detail + "> is never closed";
        case Kind::UnknownEntity:
            return "unknown entity reference '&" + detail + ";' at byte " + at;
        case Kind::Blob:
            return "invalid node data at byte " + at + ": " + detail;
        case Kind::Io:
        case Kind::Output:
        case Kind::Path:
            return detail;
    }
    return {};
}

}  // namespace arbolite
