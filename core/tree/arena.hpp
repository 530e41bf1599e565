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

// The header at the start of every slab.
struct Slab {
    std::uint64_t live;    // objects in the slab not yet released
    std::uint64_t mapped;  // bytes mapped with mmap; 0 when the slab came from malloc
    std::uint64_t size;    // usable bytes after this header
    std::uint64_t used;    // bytes handed out, once the slab is no longer filled
    std::uint64_t present;  // mapped slabs: bytes from the slab's start whose pages are in memory
    char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
};

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

    // At least `bound` writable bytes at the returned pointer, which is
    // 8-aligned. Throws std::bad_alloc when no memory is left. A reservation
    // not committed is simply forgotten by the next one.
    char* reserve(std::size_t bound) {
        if (bound <= static_cast<std::size_t>(limit_ - free_)) {
            big_ = nullptr;
            return free_;
        }
        return reserve_slow(bound);
    }
    // Widens the last reservation, made at `block`, to at least `bound`
    // bytes and returns where it now lies, its first `kept` bytes carried
    // over. The object being built is the caller's, but the slab it lies in
    // is the arena's: the bytes are copied out before that slab is retired,
    // since retiring gives the slab's unused tail back to the system.
    char* grow(char* block, std::size_t kept, std::size_t bound);
    // The object written at the last reserve(), ending before `end`: counts
    // it in its slab and moves past it. Returns the object's offset from its
    // slab's start (never 0).
    std::uint32_t commit(char* end) noexcept {
        if (big_) return commit_big(end);
        const auto offset = static_cast<std::uint32_t>(free_ - reinterpret_cast<char*>(current_));
        free_ = align(end);
        ++current_->live;
        return offset;
    }

    // Hands every slab over to the objects in it, which free it when the last
    // of them goes; unused tails are given back first. The bytes they hold;
    // the arena may be used again, from an empty start.
    std::size_t publish() noexcept;

    std::size_t slab_count() const noexcept { return slabs_.size(); }

private:
    static char* align(char* p) noexcept {
        return reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(p) + 7) & ~std::uintptr_t{7});
    }
    char* reserve_slow(std::size_t bound, const char* carry = nullptr, std::size_t carry_bytes = 0);
    void drop(Slab* unused) noexcept;
    std::uint32_t commit_big(char* end) noexcept;
    Slab* new_slab(std::size_t bytes);
    void retire_current() noexcept;
    bool advise_huge_pages() noexcept;
    void end_huge_pages() noexcept;

    std::vector<Slab*> slabs_;
    Slab* current_ = nullptr;  // where small objects go
    char* free_ = nullptr;     // its first free byte
    char* limit_ = nullptr;    // its end
    Slab* big_ = nullptr;      // the slab of its own that the last reservation got
    enum class Huge : std::uint8_t { Undecided, Advised, Plain };
    Huge huge_ = Huge::Undecided;  // decided at its first huge slab, until published
    std::size_t next_size_;
    std::size_t max_size_;  // the size slabs grow to: larger for large documents
};

// Releases one object of a published slab; `offset` is the object's distance
// from the slab's start, as commit() returned it.
void slab_release(const void* object, std::uint32_t offset) noexcept;

// Releases `count` objects of one published slab at once.
void slab_release_many(Slab* slab, std::uint64_t count) noexcept;

// Releases many objects, one decrement per run of objects in the same slab:
// a dying tree's objects lie slab by slab in walk order, and a decrement per
// object chained every release on the last one through the slab's counter.
// Everything given is released by flush() or the destructor.
class SlabReleaser {
public:
    SlabReleaser() noexcept = default;
    SlabReleaser(const SlabReleaser&) = delete;
    SlabReleaser& operator=(const SlabReleaser&) = delete;
    ~SlabReleaser() { flush(); }

    void release(const void* object, std::uint32_t offset) noexcept {
        Slab* const slab = reinterpret_cast<Slab*>(const_cast<char*>(static_cast<const char*>(object)) - offset);
        if (slab != slab_) {
            flush();
            slab_ = slab;
        }
        ++count_;
    }
    void flush() noexcept {
        if (count_) slab_release_many(slab_, count_);
        count_ = 0;
    }

private:
    Slab* slab_ = nullptr;
    std::uint64_t count_ = 0;
};

// Gives back to the system the few freed slabs kept for the next document.
void release_kept_slabs() noexcept;

}  // namespace arbolite
