// The scalar kernel: byte loops that state the search rules plainly. Every
// vector kernel must give the same answers; the fuzzers hold them to it.
// Included inside a kernel namespace (see core/read/parser_kernel.inl).
#pragma once

struct Simd {
    static constexpr const char* kName = "scalar";

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

    // Whether any byte in [i, n) has its high bit set.
    static bool any_high(const char* d, std::size_t i, std::size_t n) noexcept {
        for (; i < n; ++i) {
            if (static_cast<unsigned char>(d[i]) >= 0x80) return true;
        }
        return false;
    }
};
