// The vector kernels, written once over a register type `V` of W bytes; the
// kernel headers supply load, compare and mask extraction. Included inside a
// kernel namespace after those, within that kernel's target region.
#pragma once

struct Simd {
    static constexpr const char* kName = Lanes::kName;
    static constexpr std::size_t W = Lanes::W;

    // A set of bytes matched with one byte shuffle: each byte looks up the
    // member that has its low nibble and compares equal to it or not. Members
    // whose nibble is taken (or from 0x80) are left to compares of their own.
    template <char... Cs>
    struct NibbleSet {
        struct Plan {
            char table[16];
            char rest[sizeof...(Cs) + 1];
            std::size_t rest_count;
        };
        static constexpr Plan plan = [] {
            Plan p{};
            // An empty entry holds 0x80, which no byte picking it equals.
            for (char& c : p.table) c = static_cast<char>(0x80);
            p.rest_count = 0;
            for (const char c : {Cs...}) {
                const auto b = static_cast<unsigned char>(c);
                if (b >= 0x80) {
                    p.rest[p.rest_count++] = c;
                } else if (p.table[b & 15] == static_cast<char>(0x80)) {
                    p.table[b & 15] = c;
                } else if (p.table[b & 15] != c) {
                    p.rest[p.rest_count++] = c;
                }
            }
            return p;
        }();
        // L is Lanes, named late: only kernels with a byte shuffle have lookup().
        template <class L = Lanes, std::size_t... I>
        static typename L::V hits(typename L::V v, std::index_sequence<I...>) noexcept {
            return L::any_of(L::eq_v(L::lookup(plan.table, v), v), L::eq(v, plan.rest[I])...);
        }
        static typename Lanes::V hits(typename Lanes::V v) noexcept {
            return hits(v, std::make_index_sequence<plan.rest_count>{});
        }
    };

    // The lanes holding one of Cs: a shuffle for three or more where there is
    // one, else a compare each.
    template <char... Cs>
    static typename Lanes::V lanes_of(typename Lanes::V v) noexcept {
        if constexpr (Lanes::kLookup && sizeof...(Cs) >= 3) return NibbleSet<Cs...>::hits(v);
        return Lanes::any_of(Lanes::eq(v, Cs)...);
    }

    // The lanes holding tag white space (space, TAB, LF, FF, CR) or one of Extra.
    template <char... Extra>
    static typename Lanes::V space_or(typename Lanes::V v) noexcept {
        return lanes_of<' ', '\t', '\n', '\f', '\r', Extra...>(v);
    }

    // The bytes of a class that is the tag white space and Extra, exactly.
    template <char... Extra>
    static std::uint32_t members(typename Lanes::V v) noexcept {
        return Lanes::mask(space_or<Extra...>(v));
    }

    // Whether class Cls is the tag white space and Extra, nothing more or less.
    template <std::uint8_t Cls, char... Extra>
    static constexpr bool spelled_out() noexcept {
        for (int b = 0; b < 256; ++b) {
            const char c = static_cast<char>(b);
            const bool listed = has_class(c, kTagSpace) || ((c == Extra) || ...);
            if (listed != has_class(c, Cls)) return false;
        }
        return true;
    }

    template <char... Cs>
    static std::uint32_t match(typename Lanes::V v) noexcept {
        return Lanes::mask(lanes_of<Cs...>(v));
    }

    // The first position in [i, n) whose vector lane `hits` marks, or n;
    // `hit` tells a byte alone. Positions past the end are never read: the
    // last partial block is loaded as the final W bytes of the input and its
    // mask shifted.
    template <class Hits, class Hit>
    [[gnu::always_inline]] static std::size_t first_hit(const char* d, std::size_t i, std::size_t n, Hits hits,
                                                        Hit hit) noexcept {
        for (; i + W <= n; i += W) {
            const std::uint32_t m = hits(Lanes::load(d + i));
            if (m) return i + static_cast<std::size_t>(__builtin_ctz(m));
        }
        if (i >= n) return n;
        if (n >= W) {
            const std::uint32_t m = hits(Lanes::load(d + n - W)) >> (W - (n - i));
            return m ? i + static_cast<std::size_t>(__builtin_ctz(m)) : n;
        }
        while (i < n && !hit(d[i])) ++i;
        return i;
    }

    // The first position in [i, n) whose byte is one of Cs, or n.
    template <char... Cs>
    [[gnu::always_inline]] static std::size_t find_any(const char* d, std::size_t i, std::size_t n) noexcept {
        return first_hit(d, i, n, [](typename Lanes::V v) { return match<Cs...>(v); },
                         [](char c) { return ((c == Cs) || ...); });
    }

    [[gnu::always_inline]] static std::size_t find_char(const char* d, std::size_t i, std::size_t n, char c) noexcept {
        const typename Lanes::V want = Lanes::splat(c);
        return first_hit(d, i, n, [want](typename Lanes::V v) { return Lanes::mask(Lanes::eq_v(v, want)); },
                         [c](char b) { return b == c; });
    }

    // The first position in [i, n) whose byte is of class Cls, or n; the
    // class is spelled out as the tag white space and Extra, so the vector
    // test is exact and its first bit is the answer.
    template <std::uint8_t Cls, char... Extra>
    [[gnu::always_inline]] static std::size_t find_class(const char* d, std::size_t i, std::size_t n) noexcept {
        static_assert(spelled_out<Cls, Extra...>(), "Extra must list the class's bytes beside the tag white space");
        return first_hit(d, i, n, [](typename Lanes::V v) { return members<Extra...>(v); },
                         [](char c) { return has_class(c, Cls); });
    }

    // Bytes that are tag white space: space, TAB, LF, FF, CR.
    static std::uint32_t tag_space(typename Lanes::V v) noexcept {
        return Lanes::mask(space_or<>(v));
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

    // Whether the first n bytes (at most W) at a and b agree; W bytes must be
    // readable at both.
    static bool same_head(const char* a, const char* b, std::size_t n) noexcept {
        const std::uint32_t differ = ~Lanes::mask(Lanes::eq_v(Lanes::load(a), Lanes::load(b)));
        return n == 0 || (differ << (32 - n)) == 0;
    }

    // Whether [i, n) is all ASCII white space; bytes up to `readable` may be
    // loaded, so a short run (the indentation between two tags) is one vector.
    static bool all_ascii_space(const char* d, std::size_t i, std::size_t n, std::size_t readable) noexcept {
        const typename Lanes::V nine = Lanes::splat(0x09), five = Lanes::splat(0x04);
        if (n - i <= W && i + W <= readable) {
            const typename Lanes::V v = Lanes::load(d + i);
            const typename Lanes::V off = Lanes::sub(v, nine);
            const std::uint32_t space = Lanes::mask(Lanes::any_of(Lanes::eq(v, ' '), Lanes::eq_v(Lanes::min(off, five), off)));
            if (n == i) return true;
            const std::uint32_t wanted = ~std::uint32_t{0} >> (32 - (n - i));
            return (space & wanted) == wanted;
        }
        if (n - i < 16) {
            for (; i < n; ++i) {
                if (d[i] != ' ' && (d[i] < 0x09 || d[i] > 0x0D)) return false;
            }
            return true;
        }
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

    // The searches of a start tag (Plain: name_end, value_stop and
    // skip_space, each a search of its own) answered from the bit masks of a
    // 64-byte window, for a tag whose attributes stand one per line: a
    // window's masks come from independent loads, so the walk from one
    // attribute to the next is a chain of shifts and bit scans rather than of
    // loads and compares. Near the end of the input (no whole window left)
    // Plain answers.
    template <class Plain>
    class TagScan {
    public:
        TagScan(const char* d, std::size_t n) noexcept : plain_(d, n), d_(d), n_(n), base_(n + kSpan) {}

        [[gnu::always_inline]] std::size_t skip_space(std::size_t i) noexcept {
            if (i >= n_ || !has_class(d_[i], kTagSpace)) return i;
            return next(i, [this] { return ~space_; }, [this](std::size_t at) { return plain_.skip_space(at); });
        }
        [[gnu::always_inline]] std::size_t name_end(std::size_t i) noexcept {
            return next(i, [this] { return name_end_; }, [this](std::size_t at) { return plain_.name_end(at); });
        }
        [[gnu::always_inline]] std::size_t value_stop(std::size_t i, char quote) noexcept {
            return next(i, [this, quote] { return (quote == '"' ? double_ : single_) | stop_; },
                        [this, quote](std::size_t at) { return plain_.value_stop(at, quote); });
        }

    private:
        static constexpr std::size_t kSpan = 64;

        // The first position at or after i with its bit set in bits(), window
        // by window; plain(i) where no whole window is left.
        template <class Bits, class PlainSearch>
        [[gnu::always_inline]] std::size_t next(std::size_t i, Bits bits, PlainSearch plain) noexcept {
            for (;;) {
                const std::size_t off = i - base_;
                if (off < kSpan) {
                    const std::uint64_t m = bits() >> off;
                    if (m) return i + static_cast<std::size_t>(__builtin_ctzll(m));
                    i = base_ + kSpan;
                }
                if (i + kSpan > n_) return plain(i);
                load(i);
            }
        }

        void load(std::size_t at) noexcept {
            base_ = at;
            space_ = name_end_ = double_ = single_ = stop_ = 0;
            for (std::size_t k = 0; k < kSpan; k += W) {
                const typename Lanes::V v = Lanes::load(d_ + at + k);
                const typename Lanes::V space = space_or<>(v);
                const typename Lanes::V dq = Lanes::eq(v, '"');
                const typename Lanes::V sq = Lanes::eq(v, '\'');
                space_ |= std::uint64_t{Lanes::mask(space)} << k;
                double_ |= std::uint64_t{Lanes::mask(dq)} << k;
                single_ |= std::uint64_t{Lanes::mask(sq)} << k;
                name_end_ |= std::uint64_t{members<'"', '\'', '=', '/', '>'>(v)} << k;
                stop_ |= std::uint64_t{match<'<', '&', '\t', '\n', '\r'>(v)} << k;
            }
        }

        Plain plain_;
        const char* d_;
        std::size_t n_;
        std::size_t base_;  // where the window starts; n + kSpan before the first load, so no position is in it
        std::uint64_t space_ = 0, name_end_ = 0, double_ = 0, single_ = 0, stop_ = 0;
    };

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
