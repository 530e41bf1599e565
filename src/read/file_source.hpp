// Reading a whole document from a file, without the interpreter lock.
#pragma once
#include <string>
#include <string_view>
#include <variant>

#include "src/core/io_error.hpp"

namespace arbolite {

// The file's bytes, which must be valid UTF-8.
std::variant<std::string, IoError> read_text_file(std::string_view path);

}  // namespace arbolite
