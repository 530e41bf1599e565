#include "index/structural.hpp"

#include <array>
#include <cstring>

#include "simd/byte_search.hpp"
#include "simd/classify.hpp"

namespace arbolite {
namespace {

using u64 = std::uint64_t;

constexpr bool ascii_ws(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

template <class Pred>
constexpr std::array<bool, 256> byte_table(Pred pred) {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = pred(static_cast<unsigned char>(c));
    return t;
}

constexpr auto kWs = byte_table(ascii_ws);
constexpr auto kOpenNameStop = byte_table([](unsigned char c) { return ascii_ws(c) || c == '/' || c == '>'; });
constexpr auto kCloseNameStop = byte_table([](unsigned char c) { return ascii_ws(c) || c == '>'; });
constexpr auto kPiNameStop = byte_table([](unsigned char c) { return ascii_ws(c) || c == '?' || c == '>'; });

u64 scan_until(const char* d, u64 i, u64 end, const std::array<bool, 256>& stop) {
    while (i < end && !stop[static_cast<unsigned char>(d[i])]) ++i;
    return i;
}

// Appends records and text ranges, tracking the end of the previous markup.
class Recorder {
public:
    Recorder(StructuralIndex& ix, u64 n) : ix_(ix), n_(n) {
        ix_.tag_starts.reserve(n / 128);
        ix_.tag_ends.reserve(n / 128);
        ix_.tag_kinds.reserve(n / 128);
        ix_.tag_names.reserve(n / 128);
        ix_.text_ranges.reserve(n / 256);
    }

    // The character data between the previous markup and the '<' at p.
    void text_before(u64 p) {
        const u64 t = prev_end_ == 0 ? 0 : prev_end_ + 1;
        if (t < p) ix_.text_ranges.push_back({t, p});
    }
    void text(u64 start, u64 end) {
        if (!(start < end && end <= n_)) throw IndexRangeError{};
        ix_.text_ranges.push_back({start, end});
    }
    void record(u64 start, u64 end, TagKind kind, u64 name_off, u64 name_len) {
        if (!(start < end && end <= n_ && name_off + name_len <= end)) throw IndexRangeError{};
        ix_.tag_starts.push_back(start);
        ix_.tag_ends.push_back(end);
        ix_.tag_kinds.push_back(kind);
        ix_.tag_names.push_back({name_off, name_len});
        prev_end_ = end;
    }
    // A declaration: no record, but the text after it starts past `end`.
    void skip(u64 end) { prev_end_ = end; }

private:
    StructuralIndex& ix_;
    u64 n_;
    u64 prev_end_ = 0;
};

// The next occurrence of one byte at or after a position that only grows, so
// each kind of byte is searched across the document once, not once per tag.
class Ahead {
public:
    Ahead(const char* d, u64 n, char c) : d_(d), n_(n), c_(c) {}
    // Position of the first `c` at or after i, or n when there is none.
    u64 from(u64 i) {
        if (!known_ || at_ < i) {
            const u64 f = find_byte(d_, i, n_, c_);
            at_ = f == kNotFound ? n_ : f;
            known_ = true;
        }
        return at_;
    }

private:
    const char* d_;
    u64 n_;
    char c_;
    u64 at_ = 0;
    bool known_ = false;
};

// A name scan bounded by a tag's '>', remembering where the last one stopped.
class NameScan {
public:
    u64 end(const char* d, u64 from, u64 bound, const std::array<bool, 256>& stop) {
        if (bound != bound_ || from > stop_) {
            stop_ = scan_until(d, from, bound, stop);
            bound_ = bound;
        }
        return stop_;
    }

private:
    u64 bound_ = kNotFound;
    u64 stop_ = 0;
};

bool is_comment(const char* d, u64 n, u64 p) { return p + 4 <= n && d[p + 2] == '-' && d[p + 3] == '-'; }

bool is_cdata(const char* d, u64 n, u64 p) { return p + 9 <= n && std::memcmp(d + p + 2, "[CDATA[", 7) == 0; }

// The '>' of the first "-->" (or "]]>", with ch = ']') that starts at or after `from`.
u64 find_close_pair(const char* d, u64 n, u64 from, char ch) {
    u64 i = from + 2;
    for (;;) {
        const u64 g = find_byte(d, i, n, '>');
        if (g == kNotFound) return kNotFound;
        if (d[g - 1] == ch && d[g - 2] == ch) return g;
        i = g + 1;
    }
}

// The end of the processing instruction at p; its name ends at `name_end`.
u64 pi_end(const char* d, u64 n, u64 p, u64& name_end) {
    const u64 k = scan_until(d, p + 2, n, kPiNameStop);
    name_end = k;
    if (k == n) return n;
    if (k + 1 == n) return k;
    // The first "?>" at or after k; without one, the last byte of the input.
    for (u64 i = k;;) {
        const u64 q = find_byte(d, i, n - 1, '?');
        if (q == kNotFound) return n - 1;
        if (d[q + 1] == '>') return q + 1;
        i = q + 1;
    }
}

}  // namespace

IndexResult build_index_sequential(std::string_view text) {
    const char* d = text.data();
    const u64 n = text.size();
    StructuralIndex ix;
    ix.input = text;
    Recorder rec(ix, n);
    Ahead gt(d, n, '>'), dq(d, n, '"'), sq(d, n, '\'');
    u64 no_cdata_end_from = n + 1;  // no "]]>" starts at or after this
    u64 last_bracket = kNotFound;
    bool last_bracket_known = false;
    u64 q = 0;
    for (;;) {
        const u64 p = find_byte(d, q, n, '<');
        if (p == kNotFound) break;
        rec.text_before(p);
        if (p + 1 >= n) return XmlError::unclosed_tag(p);
        const char c = d[p + 1];
        u64 end;
        if (c == '!') {
            if (is_comment(d, n, p)) {
                const u64 g = find_close_pair(d, n, p + 4, '-');
                end = g == kNotFound ? n : g;
                rec.record(p, end, TagKind::Comment, 0, 0);
            } else if (is_cdata(d, n, p)) {
                // Once no "]]>" follows some position, none follows any later
                // one: many unterminated sections must not rescan the rest.
                const u64 g = p + 9 >= no_cdata_end_from ? kNotFound : find_close_pair(d, n, p + 9, ']');
                if (g == kNotFound) {
                    if (p + 9 < no_cdata_end_from) no_cdata_end_from = p + 9;
                    // One past the last ']' a search for "]]>" would have looked at.
                    if (!last_bracket_known) {
                        const void* last = n > 0 ? memrchr(d, ']', n) : nullptr;
                        last_bracket = last ? static_cast<u64>(static_cast<const char*>(last) - d) : kNotFound;
                        last_bracket_known = true;
                    }
                    end = last_bracket != kNotFound && last_bracket >= p + 9 ? last_bracket + 1 : p + 9;
                    rec.record(p, end, TagKind::CData, 0, 0);
                } else {
                    end = g;
                    rec.record(p, end, TagKind::CData, 0, 0);
                    if (g - 2 > p + 9) rec.text(p + 9, g - 2);
                }
            } else {
                const u64 g = gt.from(p);
                end = g == n ? p : g;
                rec.skip(end);
            }
        } else if (c == '/') {
            const u64 name_end = scan_until(d, p + 2, n, kCloseNameStop);
            end = gt.from(name_end);
            if (end == n) return XmlError::unclosed_tag(p);
            rec.record(p, end, TagKind::Close, p + 2, name_end - (p + 2));
        } else if (c == '?') {
            u64 name_end;
            end = pi_end(d, n, p, name_end);
            rec.record(p, end, TagKind::ProcessingInstruction, p + 2, name_end - (p + 2));
        } else {
            const u64 name_end = scan_until(d, p + 1, n, kOpenNameStop);
            if (name_end == n) return XmlError::unclosed_tag(p);
            // Quoted values are stepped over whole; a quote with no partner
            // later in the input is skipped with the byte after it.
            u64 i = name_end;
            for (;;) {
                const u64 g = gt.from(i);
                if (g == n) return XmlError::unclosed_tag(p);
                const u64 a = dq.from(i), b = sq.from(i);
                const u64 quote = a < b ? a : b;
                if (quote >= g) {
                    end = g;
                    break;
                }
                const u64 close = (quote == a ? dq : sq).from(quote + 1);
                i = close == n ? quote + 2 : close + 1;
            }
            // A '/' right before the '>' counts only if the scan reached it.
            const TagKind kind = end > i && d[end - 1] == '/' ? TagKind::SelfClose : TagKind::Open;
            rec.record(p, end, kind, p + 1, name_end - (p + 1));
        }
        q = end + 1;
    }
    return ix;
}

bool has_overlapping_tags(const StructuralIndex& index) noexcept {
    for (std::size_t r = 1; r < index.size(); ++r) {
        if (index.tag_starts[r] <= index.tag_ends[r - 1]) return true;
    }
    return false;
}

IndexResult build_index_bitmap(std::string_view text) {
    const char* d = text.data();
    const u64 n = text.size();
    StructuralIndex ix;
    ix.input = text;
    ix.text_may_hold_lt = true;
    Recorder rec(ix, n);

    TagBitmaps bits = classify(d, n);
    std::vector<u64> gts;
    {
        std::size_t count = 0;
        for (u64 w : bits.gt_bits) count += static_cast<std::size_t>(__builtin_popcountll(w));
        gts.reserve(count);
        for (std::size_t w = 0; w < bits.gt_bits.size(); ++w) {
            for (u64 m = bits.gt_bits[w]; m != 0; m &= m - 1) gts.push_back(64 * w + __builtin_ctzll(m));
        }
        std::vector<u64>().swap(bits.gt_bits);
    }

    // Tags that overlap (an unquoted '<' inside a tag) share their '>', so a
    // name scan may run into the next tag's; the first stop at or after p + 1
    // is then the one the previous scan found. Remembered per stop set, this
    // keeps "<<<<...>" linear.
    NameScan open_scan, close_scan;

    std::size_t gi = 0;  // first '>' not yet passed
    u64 resume = 0;      // '<' before this position lie inside a skipped construct
    const std::size_t words = bits.lt_bits.size();
    for (std::size_t w = 0; w < words; ++w) {
        const u64 base = 64 * static_cast<u64>(w);
        if (base + 64 <= resume) continue;
        u64 m = bits.lt_bits[w];
        if (base < resume) m &= ~0ull << (resume - base);
        while (m != 0) {
            const u64 p = base + __builtin_ctzll(m);
            m &= m - 1;
            rec.text_before(p);
            if (p + 1 >= n) return ix;
            while (gi < gts.size() && gts[gi] <= p) ++gi;
            if (gi == gts.size()) return XmlError::unclosed_tag(p);
            const u64 g = gts[gi];
            const char c = d[p + 1];
            u64 skip_past = 0;  // the end of a construct whose inside is never markup
            bool skips = false;
            if (c == '!') {
                if (is_comment(d, n, p)) {
                    u64 end = p + 4;
                    if (p + 6 < n) {
                        const u64 f = find_close_pair(d, n, p + 4, '-');
                        end = f == kNotFound ? n - 2 : f;
                    }
                    rec.record(p, end, TagKind::Comment, 0, 0);
                    skip_past = end;
                    skips = true;
                } else if (is_cdata(d, n, p)) {
                    u64 end = p + 9;
                    u64 content_end = 0;
                    if (p + 11 < n) {
                        const u64 f = find_close_pair(d, n, p + 9, ']');
                        end = f == kNotFound ? n - 2 : f;
                        if (f != kNotFound && f - 2 > p + 9) content_end = f - 2;
                    }
                    rec.record(p, end, TagKind::CData, 0, 0);
                    if (content_end != 0) rec.text(p + 9, content_end);
                    skip_past = end;
                    skips = true;
                } else {
                    rec.skip(g);
                }
            } else if (c == '/') {
                const u64 name_end = close_scan.end(d, p + 2, g, kWs);
                rec.record(p, g, TagKind::Close, p + 2, name_end - (p + 2));
            } else if (c == '?') {
                u64 name_end;
                const u64 end = pi_end(d, n, p, name_end);
                rec.record(p, end, TagKind::ProcessingInstruction, p + 2, name_end - (p + 2));
                skip_past = end;
                skips = true;
            } else {
                const u64 name_end = open_scan.end(d, p + 1, g, kOpenNameStop);
                const TagKind kind = d[g - 1] == '/' ? TagKind::SelfClose : TagKind::Open;
                rec.record(p, g, kind, p + 1, name_end - (p + 1));
            }
            if (skips) {
                resume = skip_past + 1;
                while (gi < gts.size() && gts[gi] < resume) ++gi;
                if (resume >= base + 64) break;
                m &= ~0ull << (resume - base);
            }
        }
    }
    return ix;
}

}  // namespace arbolite
