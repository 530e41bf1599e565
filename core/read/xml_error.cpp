#include "core/read/xml_error.hpp"

namespace arbolite {

std::string XmlError::message() const {
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
    }
    return {};
}

}  // namespace arbolite
