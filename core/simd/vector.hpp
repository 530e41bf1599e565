// The vector kernels, written once over a register type `V` of W bytes; the
// kernel headers supply load, compare and mask extraction. Included inside a
// kernel namespace after those, within that kernel's target region.
#pragma once

struct Simd {
    static constexpr const char* kName = Lanes::kName;
    static constexpr std::size_t W = Lanes::W;

    // Bytes at most 0x20 (white space among them) or one of Extra.
    template <char... Extra>
    static std::uint32_t candidates(typename Lanes::V v, typename Lanes::V space) noexcept {
        return Lanes::mask(Lanes::any_of(Lanes::eq_v(Lanes::min(v, space), v), Lanes::eq(v, Extra)...));
    }

    template <char... Cs>
    static std::uint32_t match(typename Lanes::V v) noexcept {
        return Lanes::mask(Lanes::any_of(Lanes::eq(v, Cs)...));
    }

    // The first position in [i, n) whose byte is one of Cs, or n. Positions
    // past the end are never read: the last partial block is loaded as the
    // final W bytes of the input and its mask shifted.
    template <char... Cs>
    [[gnu::always_inline]] static std::size_t find_any(const char* d, std::size_t i, std::size_t n) noexcept {
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

    [[gnu::always_inline]] static std::size_t find_char(const char* d, std::size_t i, std::size_t n, char c) noexcept {
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

    template <std::uint8_t Cls, char... Extra>
    [[gnu::always_inline]] static std::size_t find_class(const char* d, std::size_t i, std::size_t n) noexcept {
        const typename Lanes::V space = Lanes::splat(0x20);
        for (;;) {
            std::uint32_t m;
            std::size_t base;
            if (i + W <= n) {
                base = i;
                m = candidates<Extra...>(Lanes::load(d + i), space);
            } else if (i >= n) {
                return n;
            } else if (n >= W) {
                base = i;
                m = candidates<Extra...>(Lanes::load(d + n - W), space) >> (W - (n - i));
            } else {
                while (i < n && !has_class(d[i], Cls)) ++i;
                return i;
            }
            while (m) {
                const std::size_t at = base + static_cast<std::size_t>(__builtin_ctz(m));
                if (has_class(d[at], Cls)) return at;
                m &= m - 1;
            }
            if (base + W >= n) return n;
            i = base + W;
        }
    }

    // Bytes that are tag white space: space, TAB, LF, FF, CR.
    static std::uint32_t tag_space(typename Lanes::V v) noexcept {
        return Lanes::mask(Lanes::any_of(Lanes::eq(v, ' '), Lanes::eq(v, '\t'), Lanes::eq(v, '\n'), Lanes::eq(v, '\f'),
                                         Lanes::eq(v, '\r')));
    }

    // Most runs are one space: that is settled without a vector.
    [[gnu::always_inline]] static std::size_t skip_tag_space(const char* d, std::size_t i, std::size_t n) noexcept {
        if (i >= n || !has_class(d[i], kTagSpace)) return i;
        ++i;
        if (i >= n || !has_class(d[i], kTagSpace)) return i;
        for (; i + W <= n; i += W) {
            const std::uint32_t rest = ~tag_space(Lanes::load(d + i));
            if (rest) return i + static_cast<std::size_t>(__builtin_ctz(rest));
        }
        while (i < n && has_class(d[i], kTagSpace)) ++i;
        return i;
    }

    static bool all_ascii_space(const char* d, std::size_t i, std::size_t n) noexcept {
        if (n - i < 16) {
            for (; i < n; ++i) {
                if (d[i] != ' ' && (d[i] < 0x09 || d[i] > 0x0D)) return false;
            }
            return true;
        }
        const typename Lanes::V nine = Lanes::splat(0x09), five = Lanes::splat(0x04);
        for (; i + W <= n; i += W) {
            const typename Lanes::V v = Lanes::load(d + i);
            // 0x09..0x0D: v - 9 is at most 4 (unsigned); or a space.
            const typename Lanes::V off = Lanes::sub(v, nine);
            const std::uint32_t space = Lanes::mask(Lanes::any_of(Lanes::eq(v, ' '), Lanes::eq_v(Lanes::min(off, five), off)));
            if (space != ~std::uint32_t{0} >> (32 - W)) return false;
        }
        for (; i < n; ++i) {
            if (d[i] != ' ' && (d[i] < 0x09 || d[i] > 0x0D)) return false;
        }
        return true;
    }

    [[gnu::always_inline]] static void copy(char* dst, const char* src, std::size_t n, const char* src_end) noexcept {
        if (n <= W && static_cast<std::size_t>(src_end - src) >= W) {
            Lanes::store(dst, Lanes::load(src));
            return;
        }
        std::memcpy(dst, src, n);
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
