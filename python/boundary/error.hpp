// Error values. Operations return Result<T>; only the boundary (call.hpp)
// turns an Error into a raised Python exception.
#pragma once
#include <Python.h>

#include <source_location>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/base/core_error.hpp"
#include "python/boundary/object.hpp"

namespace arbolite {

class Error {
public:
    // The exception the interpreter has set; a SystemError if it has none.
    static Error fetch();
    // An exception object that already exists.
    static Error from_exception(object exception) { return Error(std::move(exception)); }
    // An exception of `type` (a static type such as PyExc_ValueError) with a
    // message, built only when raised; safe to create without the lock.
    static Error deferred(PyObject* type, std::string message) { return Error(type, std::move(message), -1); }
    // An operating-system error: `code` is errno, or 0 for a failure without a
    // code, which is then raised as OSError with `message` as its text.
    static Error os(int code, std::string message = {}) { return Error(nullptr, std::move(message), code); }
    // What a core error raises when it needs nothing but itself: OSError for
    // I/O, ValueError for node data, OverflowError or MemoryError for output
    // refused, MemoryError for a path too complex. The reader's errors (a
    // ParseError placed in the text) and a path's syntax errors (a
    // SyntaxError pointing into the path) need more: parse_error and
    // path_error raise those.
    static Error core(const CoreError& e);

    // Builds the exception instance; needs the interpreter lock.
    object materialize() &&;

private:
    explicit Error(object e) : exception_(std::move(e)) {}
    Error(PyObject* type, std::string message, int os_code)
        : type_(type), message_(std::move(message)), os_code_(os_code) {}

    object exception_;     // set when the exception exists already
    PyObject* type_ = nullptr;  // deferred exception type (borrowed, static)
    std::string message_;  // deferred message, or the text of a code-less OS error
    int os_code_ = -1;     // >= 0 marks an OS error
};

struct Unit {};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}
    explicit operator bool() const noexcept { return v_.index() == 0; }
    T& operator*() & { return std::get<0>(v_); }
    T&& operator*() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &std::get<0>(v_); }
    Error&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, Error> v_;
};

using Status = Result<Unit>;
inline Status ok() { return Unit{}; }

// Unwraps a Result into `var`, or returns its error from the enclosing function.
#define ARBOLITE_CAT2(a, b) a##b
#define ARBOLITE_CAT(a, b) ARBOLITE_CAT2(a, b)
#define ARBOLITE_TRY(var, expr)                                        \
    auto ARBOLITE_CAT(try_, __LINE__) = (expr);                        \
    if (!ARBOLITE_CAT(try_, __LINE__)) return std::move(ARBOLITE_CAT(try_, __LINE__)).error(); \
    auto var = std::move(*ARBOLITE_CAT(try_, __LINE__))
#define ARBOLITE_CHECK(expr)                                           \
    do {                                                               \
        auto arbolite_status_ = (expr);                                \
        if (!arbolite_status_) return std::move(arbolite_status_).error(); \
    } while (0)

// "'{}' object is not an instance of '{}'" (or "'None' is not ...").
Error type_error(handle obj, const char* target);
// The conversion failure of a parameter: the exception gains the note
// "while processing '{}'".
Error argument_error(const char* parameter, Error error);
// The qualified name of an object's type, or "<failed to extract type name>".
std::string type_qualname(PyTypeObject* type);

// A violated invariant: stops the operation at once by unwinding to the
// boundary, which raises it as the module's internal error.
struct FatalError {
    std::string message;
    std::source_location where;
};
[[noreturn]] void fatal(std::string message, std::source_location where = std::source_location::current());

// For interpreter calls that create containers or strings: a null result is
// fatal, except that running out of memory stays a MemoryError.
PyObject* check_created(PyObject* p, std::source_location where = std::source_location::current());

// Raising, for the boundary only.
void raise_error(Error&& error);
void raise_fatal(const FatalError& fatal) noexcept;
// The module's exception classes, made once per module object; null with
// the exception set if they could not be made. InternalError derives
// directly from BaseException, ParseError from ValueError.
PyObject* new_internal_error_type();
PyObject* new_parse_error_type();

}  // namespace arbolite
