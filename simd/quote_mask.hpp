// What the vector classifiers share: turning the quote masks of one 64-byte
// block into the mask of bytes inside strings, and the byte rules for the tail.
// Everything here is plain integer code, so it inlines into any target.
#pragma once
#include <cstddef>
#include <cstdint>

namespace arbolite::classify_detail {

// The string carried from one block into the next; at most one flag is set.
struct QuoteState {
    bool in_double = false;
    bool in_single = false;
};

inline std::uint64_t prefix_xor(std::uint64_t x) noexcept {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}

inline bool parity(std::uint64_t x) noexcept { return __builtin_parityll(x) != 0; }

inline unsigned lowest(std::uint64_t x) noexcept { return static_cast<unsigned>(__builtin_ctzll(x)); }

// Bits lo through hi, both inclusive.
inline std::uint64_t bit_span(unsigned lo, unsigned hi) noexcept {
    const std::uint64_t upto = hi == 63 ? ~0ull : (1ull << (hi + 1)) - 1;
    return upto & (~0ull << lo);
}

// Both kinds of quote in one block (or double quotes inside a carried single
// quoted string): follow the strings one by one, since a quote of the other
// kind inside a string opens nothing.
inline std::uint64_t walk_quotes(std::uint64_t dq, std::uint64_t sq, QuoteState& st) noexcept {
    std::uint64_t inside = 0;
    std::uint64_t open = dq | sq;
    if (st.in_double || st.in_single) {
        const std::uint64_t same = st.in_double ? dq : sq;
        if (same == 0) return ~0ull;
        const unsigned c = lowest(same);
        st.in_double = st.in_single = false;
        inside = bit_span(0, c);
        open &= ~bit_span(0, c);
    }
    while (open != 0) {
        const unsigned o = lowest(open);
        const bool is_double = ((dq >> o) & 1) != 0;
        const std::uint64_t same = (is_double ? dq : sq) & ~bit_span(0, o);
        if (same == 0) {
            (is_double ? st.in_double : st.in_single) = true;
            inside |= ~0ull << o;
            break;
        }
        const unsigned c = lowest(same);
        inside |= bit_span(o, c);
        open &= ~bit_span(0, c);
    }
    return inside;
}

// The bytes of a block that lie inside a string; updates the carried state.
inline std::uint64_t in_string_mask(std::uint64_t dq, std::uint64_t sq, QuoteState& st) noexcept {
    if ((dq | sq) == 0 && !st.in_double && !st.in_single) return 0;
    if (dq == 0) {
        if (st.in_double) return ~0ull;
        std::uint64_t inside = prefix_xor(sq);
        if (st.in_single) inside = ~inside;
        st.in_single ^= parity(sq);
        return inside;
    }
    if (sq == 0 && !st.in_single) {
        std::uint64_t inside = prefix_xor(dq);
        if (st.in_double) inside = ~inside;
        st.in_double ^= parity(dq);
        return inside;
    }
    return walk_quotes(dq, sq, st);
}

// Byte-by-byte rules for the last partial block: n < 64 bytes into one word each.
inline void classify_tail(const unsigned char* p, std::size_t n, QuoteState& st, std::uint64_t& lt,
                          std::uint64_t& gt) noexcept {
    unsigned char open = st.in_double ? '"' : st.in_single ? '\'' : 0;
    std::uint64_t l = 0, g = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = p[i];
        if (open != 0) {
            if (c == open) open = 0;
        } else if (c == '"' || c == '\'') {
            open = c;
        } else if (c == '<') {
            l |= 1ull << i;
        } else if (c == '>') {
            g |= 1ull << i;
        }
    }
    st.in_double = open == '"';
    st.in_single = open == '\'';
    lt = l;
    gt = g;
}

}  // namespace arbolite::classify_detail
