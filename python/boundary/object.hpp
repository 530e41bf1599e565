// Owning and borrowed Python references. Every ownership change is spelled
// out: `steal` adopts a new reference, `borrow` takes an extra one.
#pragma once
#include <Python.h>

#include <utility>

namespace arbolite {

// A borrowed reference: the caller keeps the object alive.
class handle {
public:
    handle() noexcept = default;
    handle(PyObject* p) noexcept : p_(p) {}
    PyObject* ptr() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is_none() const noexcept { return p_ == Py_None; }

protected:
    PyObject* p_ = nullptr;
};

// An owned reference, released when the object goes out of scope.
class object : public handle {
public:
    object() noexcept = default;
    object(const object& o) noexcept : handle(o.p_) { Py_XINCREF(p_); }
    object(object&& o) noexcept : handle(o.p_) { o.p_ = nullptr; }
    object& operator=(object o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~object() { Py_XDECREF(p_); }

    // Gives the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

    friend object steal(PyObject* p) noexcept;
    friend object borrow(PyObject* p) noexcept;

private:
    explicit object(PyObject* p) noexcept : handle(p) {}
};

// Adopts a reference the caller already owns (a "new reference" result).
inline object steal(PyObject* p) noexcept { return object(p); }
// Takes a reference of our own to an object someone else owns.
inline object borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return object(p);
}

}  // namespace arbolite
