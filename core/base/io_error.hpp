// An I/O failure as a value: the errno of the failing call, or 0 with a fixed
// text for failures that have no code. The Python layer picks the exception.
#pragma once
#include <string>

namespace arbolite {

struct IoError {
    int code = 0;         // errno; 0 when the failure has no code
    std::string message;  // the text when code is 0
};

}  // namespace arbolite
