#include "core/tree/arena.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>

namespace arbolite {

// The header at the start of every slab.
struct Arena::Slab {
    std::uint64_t live;    // objects in the slab not yet released
    std::uint64_t mapped;  // bytes mapped with mmap; 0 when the slab came from malloc
    std::uint64_t size;    // usable bytes after this header
    std::uint64_t used;    // bytes handed out so far
    char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
};

namespace {

constexpr std::size_t kMinSlab = 1024;
constexpr std::size_t kMaxSlab = std::size_t{1} << 20;
// Below this a slab comes from malloc, which serves small documents without a
// system call; from it on, from mmap, whose unused tail can be given back.
constexpr std::size_t kMapFrom = std::size_t{256} << 10;
constexpr std::size_t kHeader = 32;

std::size_t page_size() noexcept {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

std::size_t round_up(std::size_t n, std::size_t to) noexcept { return (n + to - 1) / to * to; }

void free_slab(void* slab, std::uint64_t mapped) noexcept {
    if (mapped) {
        munmap(slab, mapped);
    } else {
        std::free(slab);
    }
}

// Gives back the whole pages after the first `keep` bytes of a mapped slab.
void trim(void* slab, std::uint64_t& mapped, std::size_t keep) noexcept {
    if (!mapped) return;
    const std::size_t kept = round_up(keep, page_size());
    if (kept < mapped && munmap(static_cast<char*>(slab) + kept, mapped - kept) == 0) mapped = kept;
}

}  // namespace

static_assert(sizeof(Arena::Slab) == kHeader);

Arena::Arena(std::size_t expected_bytes) noexcept
    : next_size_(std::clamp(expected_bytes + expected_bytes / 4, kMinSlab, kMaxSlab)) {}

void Arena::expect(std::size_t expected_bytes) noexcept {
    if (slabs_.empty()) next_size_ = std::clamp(expected_bytes + expected_bytes / 4, kMinSlab, kMaxSlab);
}

Arena::~Arena() {
    for (Slab* s : slabs_) free_slab(s, s->mapped);
}

Arena::Slab* Arena::new_slab(std::size_t bytes) {
    if (bytes > (SIZE_MAX >> 2)) throw std::bad_alloc();
    std::size_t total = kHeader + bytes;
    void* raw;
    std::uint64_t mapped = 0;
    if (total >= kMapFrom) {
        total = round_up(total, page_size());
        raw = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (raw == MAP_FAILED) throw std::bad_alloc();
        mapped = total;
    } else {
        raw = std::malloc(total);
        if (!raw) throw std::bad_alloc();
    }
    try {
        slabs_.reserve(slabs_.size() + 1);
    } catch (...) {
        // Not yet recorded, so nothing else would ever free it.
        free_slab(raw, mapped);
        throw;
    }
    Slab* s = static_cast<Slab*>(raw);
    s->live = 0;
    s->mapped = mapped;
    s->size = total - kHeader;
    s->used = 0;
    slabs_.push_back(s);
    return s;
}

char* Arena::reserve(std::size_t bound) {
    bound = round_up(bound, 8);
    if (current_ && static_cast<std::size_t>(limit_ - (current_->data() + current_->used)) >= bound) {
        reserved_in_ = current_;
        cursor_ = current_->data() + current_->used;
        return cursor_;
    }
    if (bound > kMaxSlab / 4) {
        // A big object gets a slab of its own; small ones keep filling the current one.
        Slab* s;
        try {
            s = new_slab(bound);
        } catch (...) {
            throw std::bad_alloc();
        }
        reserved_in_ = s;
        cursor_ = s->data();
        return cursor_;
    }
    const std::size_t size = std::max(next_size_, bound);
    next_size_ = kMaxSlab;
    if (current_) trim(current_, current_->mapped, kHeader + current_->used);
    current_ = new_slab(size);
    limit_ = current_->data() + current_->size;
    reserved_in_ = current_;
    cursor_ = current_->data();
    return cursor_;
}

std::uint32_t Arena::commit(char* end) noexcept {
    Slab* s = reserved_in_;
    const std::size_t offset = static_cast<std::size_t>(cursor_ - reinterpret_cast<char*>(s));
    s->used = round_up(static_cast<std::size_t>(end - s->data()), 8);
    ++s->live;
    if (s != current_) trim(s, s->mapped, kHeader + s->used);
    return static_cast<std::uint32_t>(offset);
}

void Arena::publish() noexcept {
    for (Slab* s : slabs_) {
        if (s->live == 0) {
            free_slab(s, s->mapped);
        } else if (s == current_) {
            trim(s, s->mapped, kHeader + s->used);
        }
    }
    slabs_.clear();
    current_ = nullptr;
}

void slab_release(const void* object, std::uint32_t offset) noexcept {
    auto* slab = reinterpret_cast<Arena::Slab*>(const_cast<char*>(static_cast<const char*>(object)) - offset);
    if (--slab->live == 0) free_slab(slab, slab->mapped);
}

}  // namespace arbolite
