// Reading a whole document from a file, without the interpreter lock.
#pragma once
#include <string_view>
#include <variant>

#include "core/base/byte_buffer.hpp"
#include "core/base/io_error.hpp"

namespace arbolite {

// The file's bytes, which must be valid UTF-8.
std::variant<ByteBuffer, IoError> read_text_file(std::string_view path);

}  // namespace arbolite
