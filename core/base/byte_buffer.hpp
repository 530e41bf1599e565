// A growable byte buffer on malloc: never zero-fills, and grows large blocks
// with realloc, which moves pages rather than copying bytes.
#pragma once
#include <cstddef>
#include <cstdlib>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace arbolite {

class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    ByteBuffer(ByteBuffer&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), cap_(std::exchange(o.cap_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& o) noexcept {
        if (this != &o) {
            std::free(data_);
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            cap_ = std::exchange(o.cap_, 0);
        }
        return *this;
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { std::free(data_); }

    char* data() noexcept { return data_; }
    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return cap_; }
    std::string_view view() const noexcept { return {data_, size_}; }

    // Large buffers (a document converted to UTF-8) ask for huge pages: a
    // fault per 2 MB instead of per 4 KB, which is most of the cost of fresh
    // memory, and what keeps two threads reading large documents from
    // scaling.
    static constexpr std::size_t kHugeFrom = std::size_t{8} << 20;
    static void advise_huge(char* p, std::size_t n) noexcept {
        constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
        const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
        const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p) + n) & ~(kHuge - 1);
        if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    }

    // Room for `n` bytes in all; throws std::bad_alloc.
    void reserve(std::size_t n) {
        if (n <= cap_) return;
        if (n > (SIZE_MAX >> 2)) throw std::bad_alloc();
        std::size_t cap = cap_ < 256 ? 256 : cap_;
        while (cap < n) cap *= 2;
        char* grown = static_cast<char*>(std::realloc(data_, cap));
        if (!grown) throw std::bad_alloc();
        data_ = grown;
        cap_ = cap;
        if (cap >= kHugeFrom) advise_huge(data_, cap);
    }
    // Sets the size; new bytes are uninitialised.
    void resize(std::size_t n) {
        reserve(n);
        size_ = n;
    }
    void append(const char* p, std::size_t n) {
        if (n == 0) return;  // data_ may be null, and memcpy's arguments may not
        if (n > cap_ - size_) {
            if (n > (SIZE_MAX >> 2)) throw std::bad_alloc();
            reserve(size_ + n);
        }
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    void append(std::string_view s) { append(s.data(), s.size()); }
    void clear() noexcept { size_ = 0; }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

}  // namespace arbolite
