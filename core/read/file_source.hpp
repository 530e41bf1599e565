// Reading a whole document from a file, without the interpreter lock.
#pragma once
#include <string_view>
#include <variant>

#include "core/base/byte_buffer.hpp"
#include "core/base/core_error.hpp"

namespace arbolite {

// The file's bytes, whatever they are.
std::variant<ByteBuffer, CoreError> read_whole_file(std::string_view path);

// The file's bytes, which must be valid UTF-8.
std::variant<ByteBuffer, CoreError> read_text_file(std::string_view path);

// The error of a file whose bytes are not valid UTF-8.
CoreError invalid_utf8_error();

}  // namespace arbolite
