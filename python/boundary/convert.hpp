// The argument conversions shared by the operations, and string creation.
#pragma once
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "python/boundary/error.hpp"
#include "python/boundary/strings.hpp"

namespace arbolite {

// The UTF-8 text of a `str` (or subclass); the view lives as long as the object.
Result<std::string_view> utf8_view(handle obj);
inline Result<std::string> utf8_copy(handle obj) {
    ARBOLITE_TRY(view, utf8_view(obj));
    return std::string(view);
}

// A file system path as open() takes it: a `str` (encoded with the file
// system encoding and its error handler), `bytes` as they are, or an
// os.PathLike giving either. Anything else is the type error naming `str`.
Result<std::string> path_bytes(handle obj);

// Exactly `bool` (an int such as 1 is refused), or a numpy boolean scalar.
Result<bool> strict_bool(handle obj);

// PyLong_AsLong, then a range check with the fixed overflow message.
Result<long> long_in_range(handle obj, long lowest, long highest);

// A non-negative integer below 2**64 through the index protocol.
Result<std::uint64_t> unsigned_index(handle obj);

Error out_of_range();

}  // namespace arbolite
