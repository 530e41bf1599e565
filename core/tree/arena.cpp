#include "core/tree/arena.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <mutex>
#include <new>

#include "core/tree/node.hpp"

namespace arbolite {
namespace {

constexpr std::size_t kMinSlab = 1024;
constexpr std::size_t kMaxSlab = std::size_t{1} << 20;
// Below this a slab comes from malloc, which serves small documents without a
// system call; from it on, from mmap, whose unused tail can be given back.
constexpr std::size_t kMapFrom = std::size_t{256} << 10;
constexpr std::size_t kHeader = sizeof(Slab);
// A large document's slabs are huge pages: fresh memory costs a fault per
// page, most of a large read's time at 4 KB, and the faults of two threads
// contend in the kernel. Slabs of 4 MB keep what a kept node can pin small
// against such a document.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeSlabFrom = std::size_t{16} << 20;  // expected bytes
constexpr std::size_t kHugeSlab = 2 * kHugePage - kHeader - kReadSlack;
static_assert(kHeader % 8 == 0);

std::size_t page_size() noexcept {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

std::size_t round_up(std::size_t n, std::size_t to) noexcept { return (n + to - 1) / to * to; }

// Fresh pages cost a fault and a clearing each (a microsecond a page here);
// a document read after another one reuses the slabs the last one gave back.
// A few only, so dropped documents still give their memory back.
class SlabPool {
public:
    static constexpr std::size_t kKept = 8;

    explicit SlabPool(std::size_t bytes) noexcept : bytes_(bytes) {}

    // The slab with the most pages still in memory: a document that fills
    // one slab and part of another then fills the whole one first and finds
    // the part it needs of the other already there, with no page to fault
    // in again, however the last document's slabs came back.
    Slab* take(std::size_t mapped) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == 0 || mapped != bytes_) return nullptr;
        std::size_t best = 0;
        for (std::size_t i = 1; i < count_; ++i) {
            if (slabs_[i]->present > slabs_[best]->present) best = i;
        }
        Slab* s = slabs_[best];
        slabs_[best] = slabs_[--count_];
        return s;
    }
    bool give(Slab* slab) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (count_ == kKept || slab->mapped != bytes_) return false;
        slabs_[count_++] = slab;
        return true;
    }
    void clear() noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < count_; ++i) munmap(slabs_[i], bytes_);
        count_ = 0;
    }

private:
    std::mutex mutex_;
    Slab* slabs_[kKept];
    std::size_t count_ = 0;
    const std::size_t bytes_;  // set once: threads of every interpreter share the pool
};

std::size_t pooled_bytes() noexcept {
    static const std::size_t bytes = round_up(kHeader + kMaxSlab + kReadSlack, page_size());
    return bytes;
}

SlabPool& pool() noexcept {
    static SlabPool* p = new SlabPool(pooled_bytes());  // never destroyed: slabs may be released at exit
    return *p;
}

void free_slab(Slab* slab) noexcept {
    if (slab->mapped) {
        if (slab->mapped == pooled_bytes() && pool().give(slab)) return;
        munmap(slab, slab->mapped);
    } else {
        std::free(slab);
    }
}

// Gives back the whole pages after the used part of a mapped slab (and the
// slack that may be read past its last string), when there are enough of
// them to matter.
// A slab of the pool's size keeps its mapping, so that it can go back to the
// pool: its tail pages are only dropped (those still in memory), and fault in
// again when reused.
void trim(Slab* slab) noexcept {
    if (!slab->mapped) return;
    const std::size_t kept = round_up(kHeader + slab->used + kReadSlack, page_size());
    const bool pooled = slab->mapped == pooled_bytes();
    // Pages written past what was in memory came in as they were written.
    const std::size_t present = std::max<std::size_t>(slab->present, std::min<std::size_t>(kept, slab->mapped));
    slab->present = present;
    if (kept + (slab->mapped >> 4) >= present) return;
    char* const tail = reinterpret_cast<char*>(slab) + kept;
    if (pooled) {
        madvise(tail, present - kept, MADV_DONTNEED);
        slab->present = kept;
    } else if (munmap(tail, slab->mapped - kept) == 0) {
        slab->mapped = slab->present = kept;
    }
}

// A document that would get a mapped slab of its own gets one of the pool's
// size instead: mapping and unmapping a slab per read costs more than the
// read of a few hundred kilobytes, and the calls of concurrent readers
// serialise in the kernel.
std::size_t first_slab(std::size_t expected_bytes) noexcept {
    if (expected_bytes >= kHugeSlabFrom) return kHugeSlab;
    const std::size_t wanted = expected_bytes + expected_bytes / 4;
    if (kHeader + wanted + kReadSlack >= kMapFrom) return kMaxSlab;
    return std::max(wanted, kMinSlab);
}

std::size_t max_slab(std::size_t expected_bytes) noexcept {
    return expected_bytes >= kHugeSlabFrom ? kHugeSlab : kMaxSlab;
}

// Arenas of the process filling huge slabs right now. Huge pages are asked
// for by one at a time: faulting in fresh huge pages from two threads at once
// was measured here at five to ten times the time of one thread doing both
// (the kernel clearing 2 MB pages for each), while one arena with huge pages
// beside others with small ones keeps both threads near full speed.
std::atomic<int> g_huge_fillers{0};

// A mapping of `total` bytes (a multiple of kHugePage) aligned to a huge
// page, advised to use them when `huge`, or nullptr.
void* map_huge(std::size_t total, bool huge) noexcept {
    void* raw = mmap(nullptr, total + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto at = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (at + kHugePage - 1) & ~(kHugePage - 1);
    if (aligned > at) munmap(raw, aligned - at);
    if (const std::size_t tail = kHugePage - (aligned - at)) munmap(reinterpret_cast<void*>(aligned + total), tail);
    if (huge) madvise(reinterpret_cast<void*>(aligned), total, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

Arena::Arena(std::size_t expected_bytes) noexcept
    : next_size_(first_slab(expected_bytes)), max_size_(max_slab(expected_bytes)) {}

void Arena::expect(std::size_t expected_bytes) noexcept {
    if (slabs_.empty()) {
        next_size_ = first_slab(expected_bytes);
        max_size_ = max_slab(expected_bytes);
    }
}

Arena::~Arena() {
    end_huge_pages();
    for (Slab* s : slabs_) free_slab(s);
}

Slab* Arena::new_slab(std::size_t bytes) {
    if (bytes > (SIZE_MAX >> 2)) throw std::bad_alloc();
    slabs_.reserve(slabs_.size() + 1);  // so that the push below cannot fail
    std::size_t total = kHeader + bytes;
    void* raw;
    std::uint64_t mapped = 0;
    bool raw_from_pool = false;
    if (total >= kHugePage) {
        total = round_up(total, kHugePage);
        raw = map_huge(total, advise_huge_pages());
        if (!raw) throw std::bad_alloc();
        mapped = total;
    } else if (total >= kMapFrom) {
        total = round_up(total, page_size());
        raw = total == pooled_bytes() ? pool().take(total) : nullptr;
        raw_from_pool = raw != nullptr;
        if (!raw) {
            // Populated at once: one system call instead of a fault per page.
            raw = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
            if (raw == MAP_FAILED) throw std::bad_alloc();
        }
        mapped = total;
    } else {
        raw = std::malloc(total);
        if (!raw) throw std::bad_alloc();
    }
    Slab* s = static_cast<Slab*>(raw);
    s->live = 0;
    s->mapped = mapped;
    s->size = total - kHeader;
    s->used = 0;
    if (!raw_from_pool) s->present = mapped;  // mapped slabs are populated at once (huge ones as they are touched)
    slabs_.push_back(s);
    return s;
}

void Arena::retire_current() noexcept {
    if (!current_) return;
    current_->used = static_cast<std::uint64_t>(free_ - current_->data());
    trim(current_);
}

char* Arena::reserve_slow(std::size_t bound, const char* carry, std::size_t carry_bytes) {
    bound = round_up(bound, 8);
    if (bound > kMaxSlab / 4) {
        // A big object gets a slab of its own; small ones keep filling the current one.
        big_ = new_slab(bound + kReadSlack);
        if (carry_bytes) std::memcpy(big_->data(), carry, carry_bytes);
        return big_->data();
    }
    Slab* s = new_slab(std::max(next_size_, bound) + kReadSlack);
    // Before the current slab is retired: the bytes carried may lie in its tail.
    if (carry_bytes) std::memcpy(s->data(), carry, carry_bytes);
    // Doubling: a guess too small for the first slab costs a few more slabs,
    // not a full-size one for a small tree.
    next_size_ = std::min(std::max(next_size_, bound) * 2, max_size_);
    retire_current();
    current_ = s;
    free_ = s->data();
    // The slack is never handed out: it is read past the last string. The
    // limit is 8-aligned, as free_ is, so that a commit that rounds its end
    // up stays within it even when an object fills its reservation exactly.
    limit_ = s->data() + ((s->size - kReadSlack) & ~std::size_t{7});
    big_ = nullptr;
    return free_;
}

char* Arena::grow(char* block, std::size_t kept, std::size_t bound) {
    Slab* const was_big = big_;
    const bool fits = bound <= static_cast<std::size_t>(limit_ - free_);
    if (!was_big && fits) return block;  // the reservation is at free_ and already wide enough
    char* moved;
    if (fits) {
        big_ = nullptr;
        moved = free_;
        std::memcpy(moved, block, kept);
    } else {
        moved = reserve_slow(bound, block, kept);
    }
    // A slab of its own that held nothing else: it goes now, not at publish().
    if (was_big) drop(was_big);
    return moved;
}

void Arena::drop(Slab* unused) noexcept {
    for (std::size_t i = slabs_.size(); i-- > 0;) {
        if (slabs_[i] == unused) {
            slabs_.erase(slabs_.begin() + static_cast<std::ptrdiff_t>(i));
            free_slab(unused);
            return;
        }
    }
}

std::uint32_t Arena::commit_big(char* end) noexcept {
    Slab* s = big_;
    big_ = nullptr;
    s->used = round_up(static_cast<std::size_t>(end - s->data()), 8);
    ++s->live;
    trim(s);
    return static_cast<std::uint32_t>(kHeader);
}

std::size_t Arena::publish() noexcept {
    retire_current();
    std::size_t used = 0;
    for (Slab* s : slabs_) {
        used += s->used;
        if (s->live == 0) free_slab(s);
    }
    slabs_.clear();
    current_ = nullptr;
    free_ = limit_ = nullptr;
    end_huge_pages();
    return used;
}

bool Arena::advise_huge_pages() noexcept {
    if (huge_ == Huge::Undecided) huge_ = g_huge_fillers.fetch_add(1) == 0 ? Huge::Advised : Huge::Plain;
    return huge_ == Huge::Advised;
}

void Arena::end_huge_pages() noexcept {
    if (huge_ != Huge::Undecided) g_huge_fillers.fetch_sub(1);
    huge_ = Huge::Undecided;
}

void release_kept_slabs() noexcept { pool().clear(); }

void slab_release(const void* object, std::uint32_t offset) noexcept {
    slab_release_many(reinterpret_cast<Slab*>(const_cast<char*>(static_cast<const char*>(object)) - offset), 1);
}

void slab_release_many(Slab* slab, std::uint64_t count) noexcept {
    if ((slab->live -= count) == 0) free_slab(slab);
}

}  // namespace arbolite
