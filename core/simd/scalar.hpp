// The scalar kernel: byte loops that state the search rules plainly. Every
// vector kernel must give the same answers; the fuzzers hold them to it.
// Included inside a kernel namespace (see core/read/parser_kernel.inl).
#pragma once

struct Simd {
    static constexpr const char* kName = "scalar";
    static constexpr std::size_t W = 1;

    static bool same_head(const char* a, const char* b, std::size_t n) noexcept { return n == 0 || *a == *b; }

    // The first position in [i, n) whose byte is one of Cs, or n.
    template <char... Cs>
    static std::size_t find_any(const char* d, std::size_t i, std::size_t n) noexcept {
        for (; i < n; ++i) {
            const char c = d[i];
            if (((c == Cs) || ...)) return i;
        }
        return n;
    }

    static std::size_t find_char(const char* d, std::size_t i, std::size_t n, char c) noexcept {
        for (; i < n; ++i) {
            if (d[i] == c) return i;
        }
        return n;
    }

    // The first position in [i, n) whose byte has one of the classes `cls`
    // (core/read/byte_class.hpp), or n. The vector kernels prefilter with
    // "at most 0x20 or one of Extra", so every byte of those classes must be
    // white space or listed in Extra.
    template <std::uint8_t Cls, char... Extra>
    static std::size_t find_class(const char* d, std::size_t i, std::size_t n) noexcept {
        while (i < n && !has_class(d[i], Cls)) ++i;
        return i;
    }

    // Copies n bytes; the vector kernels may read up to `src_end` and write
    // up to 32 bytes past the copy.
    static void copy(char* dst, const char* src, std::size_t n, const char* src_end) noexcept {
        (void)src_end;
        std::memcpy(dst, src, n);
    }

    // The first position in [i, n) whose byte is not white space of a tag
    // (space, TAB, LF, FF, CR), or n.
    static std::size_t skip_tag_space(const char* d, std::size_t i, std::size_t n) noexcept {
        while (i < n && has_class(d[i], kTagSpace)) ++i;
        return i;
    }

    // The vector kernels answer a start tag's searches from the bit masks of
    // a window; here each is a search of its own.
    template <class Plain>
    using TagScan = Plain;

    // Whether [i, n) holds only ASCII white space (space and 0x09..0x0D).
    static bool all_ascii_space(const char* d, std::size_t i, std::size_t n, std::size_t /*readable*/) noexcept {
        for (; i < n; ++i) {
            if (d[i] != ' ' && (d[i] < 0x09 || d[i] > 0x0D)) return false;
        }
        return true;
    }

    // Whether any byte in [i, n) has its high bit set.
    static bool any_high(const char* d, std::size_t i, std::size_t n) noexcept {
        for (; i < n; ++i) {
            if (static_cast<unsigned char>(d[i]) >= 0x80) return true;
        }
        return false;
    }
};
