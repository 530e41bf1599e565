// Memory for the nodes of one parsed document: slabs filled front to back in
// document order, so that a walk of the tree reads memory forward. Each slab
// counts the objects (nodes and texts) that live in it and is freed when the
// last of them is released: a node kept after its document was dropped keeps
// its own slab alive, not the whole document, and releasing a tree costs a
// decrement per node instead of a call to the allocator.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace arbolite {

class Arena {
public:
    // `expected_bytes` sizes the first slab (the input's length is a fair guess).
    explicit Arena(std::size_t expected_bytes) noexcept;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    // Frees every slab not yet published: a failed parse leaves nothing behind.
    ~Arena();
    // Resizes the first slab, before anything was reserved.
    void expect(std::size_t expected_bytes) noexcept;

    // At least `bound` writable bytes at the cursor, 8-aligned. Throws
    // std::bad_alloc when no memory is left.
    char* reserve(std::size_t bound);
    // The object written at the pointer reserve() gave, ending before `end`:
    // counts it in its slab and moves the cursor. Returns the object's offset
    // from its slab's start (never 0).
    std::uint32_t commit(char* end) noexcept;

    // Hands every slab over to the objects in it, which free it when the last
    // of them goes; unused tails are given back first.
    void publish() noexcept;

    std::size_t slab_count() const noexcept { return slabs_.size(); }

    struct Slab;

private:
    Slab* new_slab(std::size_t bytes);

    std::vector<Slab*> slabs_;
    Slab* current_ = nullptr;     // where small objects go
    Slab* reserved_in_ = nullptr;  // the slab of the last reserve()
    char* cursor_ = nullptr;       // in reserved_in_
    char* limit_ = nullptr;        // end of current_
    std::size_t next_size_;
};

// Releases one object of a published slab; `offset` is the object's distance
// from the slab's start, as commit() returned it.
void slab_release(const void* object, std::uint32_t offset) noexcept;

}  // namespace arbolite
