#include "src/read/tree_builder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "index/mod.hpp"
#include "simd/byte_search.hpp"
#include "src/read/decode.hpp"

namespace arbolite {
namespace {

using u64 = std::uint64_t;

constexpr bool ascii_ws(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

constexpr std::array<bool, 256> kAttrNameStop = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c) t[c] = ascii_ws(static_cast<unsigned char>(c));
    t['"'] = t['\''] = t['='] = true;
    return t;
}();

std::string quoted(const char* before, std::string_view name, const char* after) {
    std::string s(before);
    s.append(name);
    s.append(after);
    return s;
}

// The walk: a stack of frames for the elements open inside the root, names
// only for those outside it. No native recursion, so depth costs heap only.
class TreeWalker {
public:
    TreeWalker(const StructuralIndex& ix, std::string_view root_tag)
        : ix_(ix), d_(ix.input.data()), n_(ix.input.size()), root_(root_tag) {}

    std::variant<PlainElement, XmlError> run();

    // After a successful run: the records from the root's start tag to its
    // end; only their start tags had their attributes read.
    std::size_t root_first = 0, root_last = 0;

private:
    // An element whose end tag is still to come. Its text so far is
    // text_[text_start, end) plus, before any of that, `pending`: a raw piece
    // of the input not yet copied (most elements have one piece of text).
    // Its finished children are done_[children_start, end).
    struct Frame {
        std::string name;
        StringMap attrs;
        std::size_t text_start;
        std::size_t children_start;
        std::string_view pending;
    };

    bool fail(XmlError e) {
        error_ = std::move(e);
        return false;
    }

    bool parse_start_tag(std::size_t r, std::string& name, StringMap& attrs);
    bool parse_attributes(u64 region_start, u64 region_end, StringMap& attrs);
    bool take_text(const TextRange& range);
    bool add_text(std::string_view piece, u64 offset, bool decode);
    bool close_tag(std::size_t r, bool& finished);
    void push_frame(std::string name, StringMap attrs);
    PlainElement pop_frame();

    const StructuralIndex& ix_;
    const char* d_;
    u64 n_;
    std::string_view root_;

    std::vector<Frame> frames_;
    std::vector<NameRange> outer_;     // elements open outside the root
    std::vector<PlainElement> done_;   // finished children of open frames
    std::string text_;                 // text of open frames, innermost last
    std::string scratch_;              // decoded attribute values
    std::size_t cursor_ = 0;           // next unconsumed text range
    XmlError error_;
    PlainElement result_;
};

std::variant<PlainElement, XmlError> TreeWalker::run() {
    const std::size_t count = ix_.size();
    const auto& starts = ix_.tag_starts;
    const auto& ends = ix_.tag_ends;
    const auto& kinds = ix_.tag_kinds;
    const auto& texts = ix_.text_ranges;
    for (std::size_t r = 0; r < count; ++r) {
        const u64 s = starts[r], e = ends[r];
        if (e >= n_) return XmlError::malformed("unterminated markup", s);
        if (frames_.empty()) {
            while (cursor_ < texts.size() && texts[cursor_].start < s) ++cursor_;
        } else {
            for (; cursor_ < texts.size() && texts[cursor_].start < s; ++cursor_) {
                if (!take_text(texts[cursor_])) return std::move(error_);
            }
        }
        switch (kinds[r]) {
            case TagKind::Open: {
                const NameRange nr = ix_.tag_names[r];
                if (frames_.empty() && ix_.name(r) != root_) {
                    if (nr.length == 0) return XmlError::malformed("expected element name after '<'", s);
                    outer_.push_back(nr);
                    break;
                }
                std::string name;
                StringMap attrs;
                if (!parse_start_tag(r, name, attrs)) return std::move(error_);
                if (frames_.empty()) root_first = r;
                push_frame(std::move(name), std::move(attrs));
                break;
            }
            case TagKind::SelfClose: {
                PlainElement element;
                if (!parse_start_tag(r, element.name, element.attrs)) return std::move(error_);
                if (!frames_.empty()) {
                    done_.push_back(std::move(element));
                } else if (element.name == root_) {
                    root_first = root_last = r;
                    return element;
                }
                break;
            }
            case TagKind::Close: {
                bool finished = false;
                if (!close_tag(r, finished)) return std::move(error_);
                if (finished) {
                    root_last = r;
                    return std::move(result_);
                }
                break;
            }
            case TagKind::Comment:
                if (e < s + 6 || std::memcmp(d_ + e - 2, "-->", 3) != 0) {
                    return XmlError::malformed("unterminated comment", s);
                }
                break;
            case TagKind::CData: {
                if (e < s + 11 || std::memcmp(d_ + e - 2, "]]>", 3) != 0) {
                    return XmlError::malformed("unterminated CDATA section", s);
                }
                if (!frames_.empty() && e - 2 > s + 9) {
                    if (!add_text(ix_.input.substr(s + 9, e - 2 - (s + 9)), s + 9, false)) return std::move(error_);
                }
                // The section's own content range is not read a second time.
                while (cursor_ < texts.size() && texts[cursor_].start < e) ++cursor_;
                break;
            }
            case TagKind::ProcessingInstruction:
                if (d_[e - 1] != '?' || d_[e] != '>') {
                    return XmlError::malformed("unterminated processing instruction", s);
                }
                break;
        }
    }
    if (!frames_.empty()) return XmlError::never_closed(std::move(frames_.back().name));
    return XmlError::root_not_found(std::string(root_));
}

bool TreeWalker::parse_start_tag(std::size_t r, std::string& name, StringMap& attrs) {
    const u64 s = ix_.tag_starts[r], e = ix_.tag_ends[r];
    const NameRange nr = ix_.tag_names[r];
    if (nr.length == 0) return fail(XmlError::malformed("expected element name after '<'", s));
    const u64 region_start = s + 1 + nr.length;
    const u64 region_end = ix_.tag_kinds[r] == TagKind::SelfClose ? e - 1 : e;
    if (region_start > region_end) throw IndexRangeError{};
    name.assign(d_ + nr.offset, nr.length);
    return region_start == region_end || parse_attributes(region_start, region_end, attrs);
}

bool TreeWalker::parse_attributes(u64 region_start, u64 region_end, StringMap& attrs) {
    const char* R = d_ + region_start;
    const std::size_t len = region_end - region_start;
    std::size_t pos = 0, last_end = 0;
    bool reserved = false;
    for (;;) {
        while (pos < len && ascii_ws(static_cast<unsigned char>(R[pos]))) ++pos;
        if (pos == len) return true;
        if (pos == last_end) return fail(XmlError::malformed("expected whitespace before attribute", region_start + pos));
        const std::size_t name_start = pos;
        while (pos < len && !kAttrNameStop[static_cast<unsigned char>(R[pos])]) ++pos;
        if (pos == name_start) return fail(XmlError::malformed("expected attribute name", region_start + pos));
        const std::string_view name(R + name_start, pos - name_start);
        while (pos < len && ascii_ws(static_cast<unsigned char>(R[pos]))) ++pos;
        if (pos == len || R[pos] != '=') {
            return fail(XmlError::malformed(quoted("attribute '", name, "' has no value"), region_start + name_start));
        }
        ++pos;
        while (pos < len && ascii_ws(static_cast<unsigned char>(R[pos]))) ++pos;
        if (pos == len || (R[pos] != '"' && R[pos] != '\'')) {
            return fail(XmlError::malformed(quoted("value of attribute '", name, "' is not quoted"), region_start + pos));
        }
        const std::size_t value_start = pos + 1;
        const std::size_t close = find_byte(R, value_start, len, R[pos]);
        if (close == kNotFound) return fail(XmlError::malformed("unterminated attribute value", region_start + value_start));
        const std::string_view raw(R + value_start, close - value_start);
        const std::size_t lt = find_byte(raw.data(), 0, raw.size(), '<');
        if (lt != kNotFound) {
            return fail(XmlError::malformed("'<' is not allowed in attribute values", region_start + value_start + lt));
        }
        std::string_view value = raw;
        if (needs_decoding(raw, true)) {
            scratch_.clear();
            if (auto err = append_decoded(raw, region_start + value_start, true, scratch_)) return fail(std::move(*err));
            value = scratch_;
        }
        if (!reserved) {
            // Decoded values are never longer than their source, so the region
            // bounds the map's bytes; '=' bounds its entries.
            const std::size_t rest = len - name_start;
            attrs.reserve(static_cast<std::size_t>(std::count(R + name_start, R + len, '=')), rest);
            reserved = true;
        }
        if (!attrs.try_insert(name, value)) {
            return fail(XmlError::malformed(quoted("duplicate attribute '", name, "'"), region_start + name_start));
        }
        pos = close + 1;
        last_end = pos;
    }
}

bool TreeWalker::take_text(const TextRange& range) {
    if (range.end > n_ || range.start >= range.end) throw IndexRangeError{};
    const std::string_view piece = ix_.input.substr(range.start, range.end - range.start);
    if (ix_.text_may_hold_lt) {
        const std::size_t lt = find_byte(piece.data(), 0, piece.size(), '<');
        if (lt != kNotFound) return fail(XmlError::malformed("unexpected '<'", range.start + lt));
    }
    return add_text(piece, range.start, needs_decoding(piece, false));
}

bool TreeWalker::add_text(std::string_view piece, u64 offset, bool decode) {
    Frame& f = frames_.back();
    if (text_.size() == f.text_start && f.pending.empty()) {
        // Leading White_Space is trimmed anyway; dropping it now keeps the
        // whitespace between child elements from ever being copied. Raw
        // whitespace decodes to itself, so this is safe before decoding too.
        const std::size_t lead = leading_white_space(piece);
        piece.remove_prefix(lead);
        offset += lead;
        if (piece.empty()) return true;
        if (!decode) {
            f.pending = piece;
            return true;
        }
    } else if (!f.pending.empty()) {
        text_.append(f.pending);
        f.pending = {};
    }
    if (!decode) {
        text_.append(piece);
        return true;
    }
    if (auto err = append_decoded(piece, offset, false, text_)) return fail(std::move(*err));
    return true;
}

void TreeWalker::push_frame(std::string name, StringMap attrs) {
    frames_.push_back(Frame{std::move(name), std::move(attrs), text_.size(), done_.size(), {}});
}

PlainElement TreeWalker::pop_frame() {
    Frame& f = frames_.back();
    PlainElement element(std::move(f.name));
    element.attrs = std::move(f.attrs);
    const std::string_view all = text_.size() > f.text_start
                                     ? std::string_view(text_).substr(f.text_start)
                                     : f.pending;
    const std::string_view trimmed = trim_white_space(all);
    if (!trimmed.empty()) element.text.emplace(trimmed);
    text_.resize(f.text_start);
    if (done_.size() > f.children_start) {
        const auto first = done_.begin() + static_cast<std::ptrdiff_t>(f.children_start);
        element.children.reserve(static_cast<std::size_t>(done_.end() - first));
        element.children.insert(element.children.end(), std::make_move_iterator(first),
                                std::make_move_iterator(done_.end()));
        done_.erase(first, done_.end());
    }
    frames_.pop_back();
    return element;
}

bool TreeWalker::close_tag(std::size_t r, bool& finished) {
    const u64 s = ix_.tag_starts[r], e = ix_.tag_ends[r];
    const NameRange nr = ix_.tag_names[r];
    const std::string_view name = ix_.name(r);
    const u64 name_end = nr.offset + nr.length;
    if (name_end > e) throw IndexRangeError{};
    if (!all_white_space(ix_.input.substr(name_end, e - name_end))) {
        return fail(XmlError::malformed(quoted("malformed end tag </", name, ">"), s));
    }
    std::string_view expected;
    if (!frames_.empty()) {
        expected = frames_.back().name;
    } else if (!outer_.empty()) {
        expected = ix_.input.substr(outer_.back().offset, outer_.back().length);
    } else {
        return fail(XmlError::malformed(quoted("unexpected end tag </", name, ">"), s));
    }
    if (expected != name) {
        std::string msg = quoted("expected </", expected, ">, found </");
        msg.append(name);
        msg.push_back('>');
        return fail(XmlError::malformed(std::move(msg), s));
    }
    if (frames_.empty()) {
        outer_.pop_back();
        return true;
    }
    PlainElement element = pop_frame();
    if (frames_.empty()) {
        result_ = std::move(element);
        finished = true;
    } else {
        done_.push_back(std::move(element));
    }
    return true;
}

const XmlError* error_of(const std::variant<PlainElement, XmlError>& r) { return std::get_if<XmlError>(&r); }

// Whether `bytes` holds any of the given bytes. Most gaps between tags are a
// few bytes of white space, where a plain loop beats three library calls.
bool holds_any(std::string_view bytes, char a, char b, char c = '\0') noexcept {
    if (bytes.size() < 64) {
        for (char x : bytes) {
            if (x == a || x == b || (c != '\0' && x == c)) return true;
        }
        return false;
    }
    if (std::memchr(bytes.data(), a, bytes.size()) || std::memchr(bytes.data(), b, bytes.size())) return true;
    return c != '\0' && std::memchr(bytes.data(), c, bytes.size());
}

// Whether `bytes`, read from a point outside every quoted string, ends
// outside one too, by the classifier's rule: a quote opens a string that only
// the same quote closes.
bool quotes_balance(std::string_view bytes) noexcept {
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    while (p < end) {
        while (p < end && *p != '"' && *p != '\'') ++p;
        if (p == end) return true;
        const void* close = std::memchr(p + 1, *p, static_cast<std::size_t>(end - p - 1));
        if (!close) return false;
        p = static_cast<const char*>(close) + 1;
    }
    return true;
}

// Whether the bitmap index is the one the sequential builder would have made,
// given that the walk over it succeeded. The classifier honours quotes
// everywhere and the sequential builder only inside start tags; the two agree
// while the classifier's quote state is closed at every tag boundary, and no
// markup outside a record ('<!' declarations, a final '<') is in play. Start
// tags of the root's subtree passed the attribute parser, which leaves their
// quotes balanced; everything else is checked here. Character data and the
// bodies of comments, CDATA and PIs rarely hold a quote, so this is cheap.
bool agrees_with_sequential(const StructuralIndex& ix, std::size_t root_first, std::size_t root_last) noexcept {
    const std::string_view in = ix.input;
    // Outside the root's subtree a gap may hold declarations ('<!DOCTYPE',
    // DTD declarations), which neither builder records: the bitmap builder
    // moves on to the next '<', the sequential one to the first '>'. They
    // resume at the same record as long as that '>' falls inside the gap or
    // closes the comment, PI or CDATA section that follows it (a DOCTYPE's
    // internal subset). Inside the subtree any '<' in a gap is refused: there
    // the text around it is read.
    auto gap_ok = [&](std::uint64_t from, std::uint64_t to, std::size_t next_record, bool in_root) {
        if (!holds_any(in.substr(from, to - from), '<', '"', '\'')) return true;
        char open_quote = 0;  // the classifier's state; closed at every record boundary checked so far
        for (std::uint64_t i = from; i < to; ++i) {
            const char c = in[i];
            if (open_quote) {
                if (c == open_quote) open_quote = 0;
                // A '<' in a quoted string was hidden from the bitmap builder.
                else if (c == '<') return false;
                continue;
            }
            if (c == '"' || c == '\'') {
                open_quote = c;
                continue;
            }
            if (c != '<') continue;
            if (in_root || i + 1 >= to || in[i + 1] != '!') return false;
            const std::size_t close = in.find('>', i);
            if (close == std::string_view::npos) return false;
            if (close < to) continue;
            if (next_record >= ix.size() || close != ix.tag_ends[next_record]) return false;
            const TagKind k = ix.tag_kinds[next_record];
            if (k != TagKind::Comment && k != TagKind::ProcessingInstruction && k != TagKind::CData) return false;
        }
        return open_quote == 0;
    };
    std::uint64_t pos = 0;  // first byte not yet checked
    for (std::size_t r = 0; r < ix.size(); ++r) {
        const std::uint64_t s = ix.tag_starts[r], e = ix.tag_ends[r];
        if (s < pos || e >= in.size()) return false;
        if (!gap_ok(pos, s, r, r > root_first && r <= root_last)) return false;
        const std::string_view record = in.substr(s, e + 1 - s);
        const TagKind kind = ix.tag_kinds[r];
        if (kind == TagKind::Open || kind == TagKind::SelfClose) {
            if (holds_any(ix.name(r), '"', '\'')) return false;
            if ((r < root_first || r > root_last) && !quotes_balance(record)) return false;
        } else {
            // The builders end unterminated comments and CDATA sections at
            // different places; after the root nobody checked these records.
            const std::uint64_t len = e + 1 - s;
            if (kind == TagKind::Comment && (len < 7 || record.substr(len - 3) != "-->")) return false;
            if (kind == TagKind::CData && (len < 12 || record.substr(len - 3) != "]]>")) return false;
            if (kind == TagKind::ProcessingInstruction && (len < 3 || record.substr(len - 2) != "?>")) return false;
            if (holds_any(record, '"', '\'') && !quotes_balance(record)) return false;
            // The sequential builder ends an end tag at its first '>', where
            // quotes can carry the bitmap builder past it. The walk checked
            // the end tags up to the root's; it never saw the later ones.
            if (kind == TagKind::Close && r > root_last &&
                find_byte(record.data(), 0, record.size() - 1, '>') != kNotFound) {
                return false;
            }
        }
        pos = e + 1;
    }
    return gap_ok(pos, in.size(), ix.size(), false);
}

// The walk over the bitmap index, or nothing when that index cannot be
// trusted: the builder failed or tripped a guard, its tags overlap (only an
// unquoted '<' inside a tag does that, and walking such tags costs quadratic
// memory), or quotes outside start tags may have hidden markup from it.
std::optional<std::variant<PlainElement, XmlError>> parse_bitmap(std::string_view text, std::string_view root_tag) {
    try {
        IndexResult index = build_index_bitmap(text);
        if (std::holds_alternative<XmlError>(index)) return std::nullopt;
        const StructuralIndex& ix = std::get<StructuralIndex>(index);
        if (has_overlapping_tags(ix)) return std::nullopt;
        TreeWalker walker(ix, root_tag);
        auto outcome = walker.run();
        if (std::holds_alternative<XmlError>(outcome) ||
            !agrees_with_sequential(ix, walker.root_first, walker.root_last)) {
            return std::nullopt;
        }
        return outcome;
    } catch (const IndexRangeError&) {
        return std::nullopt;
    }
}

std::variant<PlainElement, XmlError> parse_sequential(std::string_view text, std::string_view root_tag) {
    IndexResult index = build_index_sequential(text);
    if (auto* err = std::get_if<XmlError>(&index)) return std::move(*err);
    return build_tree(std::get<StructuralIndex>(index), root_tag);
}

}  // namespace

std::variant<PlainElement, XmlError> build_tree(const StructuralIndex& index, std::string_view root_tag) {
    TreeWalker walker(index, root_tag);
    return walker.run();
}

std::variant<PlainElement, XmlError> parse_root(std::string_view text, std::string_view root_tag) {
    try {
        // Quotes in character data can hide markup from the bitmap builder;
        // wherever that may have happened, or the walk fails, the sequential
        // index gives the answer, so quote density never changes a result.
        if (prefers_bitmap_index(text)) {
            auto outcome = parse_bitmap(text, root_tag);
            if (outcome && !error_of(*outcome)) return std::move(*outcome);
        }
        return parse_sequential(text, root_tag);
    } catch (const IndexRangeError&) {
        return XmlError::malformed("unexpected end of document", text.size());
    }
}

}  // namespace arbolite
