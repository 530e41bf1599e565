// The vector kernels, written once over a register type `V` of W bytes; the
// kernel headers supply load, compare and mask extraction. Included inside a
// kernel namespace after those, within that kernel's target region.
#pragma once

struct Simd {
    static constexpr const char* kName = Lanes::kName;
    static constexpr std::size_t W = Lanes::W;

    template <char... Cs>
    static std::uint32_t match(typename Lanes::V v) noexcept {
        return Lanes::mask(Lanes::any_of(Lanes::eq(v, Cs)...));
    }

    // The first position in [i, n) whose byte is one of Cs, or n. Positions
    // past the end are never read: the last partial block is loaded as the
    // final W bytes of the input and its mask shifted.
    template <char... Cs>
    static std::size_t find_any(const char* d, std::size_t i, std::size_t n) noexcept {
        for (; i + W <= n; i += W) {
            const std::uint32_t m = match<Cs...>(Lanes::load(d + i));
            if (m) return i + static_cast<std::size_t>(__builtin_ctz(m));
        }
        if (i >= n) return n;
        if (n >= W) {
            const std::uint32_t m = match<Cs...>(Lanes::load(d + n - W)) >> (W - (n - i));
            return m ? i + static_cast<std::size_t>(__builtin_ctz(m)) : n;
        }
        for (; i < n; ++i) {
            const char c = d[i];
            if (((c == Cs) || ...)) return i;
        }
        return n;
    }

    static std::size_t find_char(const char* d, std::size_t i, std::size_t n, char c) noexcept {
        const typename Lanes::V want = Lanes::splat(c);
        for (; i + W <= n; i += W) {
            const std::uint32_t m = Lanes::mask(Lanes::eq_v(Lanes::load(d + i), want));
            if (m) return i + static_cast<std::size_t>(__builtin_ctz(m));
        }
        if (i >= n) return n;
        if (n >= W) {
            const std::uint32_t m = Lanes::mask(Lanes::eq_v(Lanes::load(d + n - W), want)) >> (W - (n - i));
            return m ? i + static_cast<std::size_t>(__builtin_ctz(m)) : n;
        }
        for (; i < n; ++i) {
            if (d[i] == c) return i;
        }
        return n;
    }

    static bool any_high(const char* d, std::size_t i, std::size_t n) noexcept {
        for (; i + W <= n; i += W) {
            if (Lanes::mask(Lanes::load(d + i))) return true;
        }
        for (; i < n; ++i) {
            if (static_cast<unsigned char>(d[i]) >= 0x80) return true;
        }
        return false;
    }
};
