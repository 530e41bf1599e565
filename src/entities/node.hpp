// The Node object: one immutable XML element. Its payload is plain C++ data,
// so creating a node makes no Python object beyond the node itself; strings
// are built only when a property is read.
#pragma once
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "boundary/error.hpp"
#include "src/core/string_map.hpp"

namespace arbolite {

// Owned references to child nodes; releasing the list releases one
// reference per entry (a shared child may occur several times).
class ChildList {
public:
    ChildList() noexcept = default;
    ChildList(ChildList&& o) noexcept : items_(std::move(o.items_)) {}
    ChildList& operator=(ChildList&& o) noexcept {
        ChildList old(std::move(*this));
        items_ = std::move(o.items_);
        return *this;
    }
    ChildList(const ChildList&) = delete;
    ChildList& operator=(const ChildList&) = delete;
    ~ChildList() { clear(); }

    void reserve(size_t n) { items_.reserve(n); }
    // Takes over the caller's reference.
    void push_steal(PyObject* child) {
        try {
            items_.push_back(child);
        } catch (...) {
            Py_DECREF(child);
            throw;
        }
    }
    size_t size() const noexcept { return items_.size(); }
    bool empty() const noexcept { return items_.empty(); }
    PyObject* operator[](size_t i) const noexcept { return items_[i]; }
    PyObject* const* begin() const noexcept { return items_.data(); }
    PyObject* const* end() const noexcept { return items_.data() + items_.size(); }
    // Hands the raw references over; the caller now owns them.
    std::vector<PyObject*> take() noexcept { return std::move(items_); }
    void clear() noexcept;

private:
    std::vector<PyObject*> items_;
};

struct NodeData {
    std::string name;                 // always present, may be empty
    StringMap attrs;                  // insertion order: document or dict order
    ChildList children;               // shared Node references, in order
    std::optional<std::string> text;  // absent and empty differ
};

struct NodeObject {
    PyObject_HEAD
    NodeData data;                     // constructed in place after tp_alloc
    std::atomic<std::int64_t> readers; // active shared reads; -1 would mean exclusive
};

PyTypeObject* node_type();
bool is_node(handle obj);
inline NodeObject* as_node(PyObject* obj) { return reinterpret_cast<NodeObject*>(obj); }

// Wraps a finished payload in a new Node. On failure the payload is released.
Result<object> new_node_object(NodeData&& data);

// A shared read of a node for the guard's lifetime. Nodes never change after
// creation, so in practice entering always succeeds.
class SharedRead {
public:
    SharedRead(const SharedRead&) = delete;
    SharedRead(SharedRead&& o) noexcept : node_(std::exchange(o.node_, nullptr)) {}
    ~SharedRead() {
        if (node_) node_->readers.fetch_sub(1, std::memory_order_release);
    }
    static Result<SharedRead> enter(NodeObject* node);
    const NodeData& data() const noexcept { return node_->data; }

private:
    explicit SharedRead(NodeObject* n) noexcept : node_(n) {}
    NodeObject* node_;
};

// The receiver check of every method: a Node, or the type error naming Node.
Result<NodeObject*> node_receiver(handle self);

}  // namespace arbolite
