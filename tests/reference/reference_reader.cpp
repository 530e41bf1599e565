#include "tests/reference/reference_reader.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>

namespace arbolite::reference {
namespace {

using u64 = std::uint64_t;
constexpr u64 kNotFound = static_cast<u64>(-1);

u64 find_byte(const char* d, u64 from, u64 to, char c) {
    if (from >= to) return kNotFound;
    const void* hit = std::memchr(d + from, static_cast<unsigned char>(c), to - from);
    return hit ? static_cast<u64>(static_cast<const char*>(hit) - d) : kNotFound;
}

bool ascii_ws(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }
bool open_name_stop(unsigned char c) { return ascii_ws(c) || c == '/' || c == '>'; }
bool close_name_stop(unsigned char c) { return ascii_ws(c) || c == '>'; }
bool pi_name_stop(unsigned char c) { return ascii_ws(c) || c == '?' || c == '>'; }
bool attr_name_stop(unsigned char c) { return ascii_ws(c) || c == '"' || c == '\'' || c == '='; }

template <class Stop>
u64 scan_until(const char* d, u64 i, u64 end, Stop stop) {
    while (i < end && !stop(static_cast<unsigned char>(d[i]))) ++i;
    return i;
}

// ------------------------------------------------------------------ index

// Doctype: a document type declaration that never ends.
enum class TagKind : std::uint8_t { Open, Close, SelfClose, Comment, CData, ProcessingInstruction, Doctype };

struct Record {
    u64 start, end;
    TagKind kind;
    u64 name_off, name_len;
};
struct TextRange {
    u64 start, end;
};
struct Index {
    std::string_view input;
    std::vector<Record> records;
    std::vector<TextRange> texts;
};

u64 find_close_pair(const char* d, u64 n, u64 from, char ch) {
    for (u64 i = from + 2;;) {
        const u64 g = find_byte(d, i, n, '>');
        if (g == kNotFound) return kNotFound;
        if (d[g - 1] == ch && d[g - 2] == ch) return g;
        i = g + 1;
    }
}

u64 pi_end(const char* d, u64 n, u64 p, u64& name_end) {
    const u64 k = scan_until(d, p + 2, n, pi_name_stop);
    name_end = k;
    if (k == n) return n;
    if (k + 1 == n) return k;
    for (u64 i = k;;) {
        const u64 q = find_byte(d, i, n - 1, '?');
        if (q == kNotFound) return n - 1;
        if (d[q + 1] == '>') return q + 1;
        i = q + 1;
    }
}

// The '>' ending the document type declaration at p, or n. Byte by byte:
// literals, and inside the internal subset comments and processing
// instructions, are stepped over whole.
u64 doctype_end_at(const char* d, u64 n, u64 p) {
    bool subset = false;
    u64 i = p + 9;
    auto skip_to = [&](u64 from, const char* end, u64 len) {
        for (u64 k = from; k + len <= n; ++k) {
            if (std::memcmp(d + k, end, len) == 0) return k + len;
        }
        return n + 1;
    };
    while (i < n) {
        const char c = d[i];
        if (c == '"' || c == '\'') {
            const u64 close = find_byte(d, i + 1, n, c);
            if (close == kNotFound) return n;
            i = close + 1;
        } else if (!subset && c == '>') {
            return i;
        } else if (!subset && c == '[') {
            subset = true;
            ++i;
        } else if (subset && c == ']') {
            subset = false;
            ++i;
        } else if (subset && n - i >= 4 && std::memcmp(d + i, "<!--", 4) == 0) {
            i = skip_to(i + 4, "-->", 3);
        } else if (subset && n - i >= 4 && std::memcmp(d + i, "<?", 2) == 0) {
            i = skip_to(i + 2, "?>", 2);
        } else if (subset && c == '<' && n - i < 4) {
            return n;
        } else {
            ++i;
        }
    }
    return n;
}

// The first '>' at or after i, searched afresh every time: the reference
// may be slow, it must be plain.
u64 gt_from(const char* d, u64 n, u64 i) {
    const u64 g = find_byte(d, i, n, '>');
    return g == kNotFound ? n : g;
}

std::variant<Index, CoreError> build_index(std::string_view text) {
    const char* d = text.data();
    const u64 n = text.size();
    Index ix;
    ix.input = text;
    u64 prev_end = 0;
    auto text_before = [&](u64 p) {
        const u64 t = prev_end == 0 ? 0 : prev_end + 1;
        if (t < p) ix.texts.push_back({t, p});
    };
    auto record = [&](u64 s, u64 e, TagKind k, u64 no, u64 nl) {
        ix.records.push_back({s, e, k, no, nl});
        prev_end = e;
    };
    u64 no_cdata_end_from = kNotFound;
    u64 no_gt_from = kNotFound;
    u64 last_bracket = kNotFound;  // the input's last ']', once looked for
    bool bracket_known = false;
    for (u64 q = 0;;) {
        const u64 p = find_byte(d, q, n, '<');
        if (p == kNotFound) break;
        text_before(p);
        if (p + 1 >= n) return CoreError::unclosed_tag(p);
        const char c = d[p + 1];
        u64 end;
        if (c == '!') {
            if (p + 4 <= n && d[p + 2] == '-' && d[p + 3] == '-') {
                const u64 g = find_close_pair(d, n, p + 4, '-');
                end = g == kNotFound ? n : g;
                record(p, end, TagKind::Comment, 0, 0);
            } else if (p + 9 <= n && std::memcmp(d + p + 2, "[CDATA[", 7) == 0) {
                // Once no "]]>" follows, none follows a later start either:
                // many unterminated sections cost one search, not one each.
                const u64 g = p + 9 >= no_cdata_end_from ? kNotFound : find_close_pair(d, n, p + 9, ']');
                if (g == kNotFound) {
                    no_cdata_end_from = std::min(no_cdata_end_from, p + 9);
                    // One past the last ']' a search for "]]>" would have looked at.
                    if (!bracket_known) {
                        bracket_known = true;
                        for (u64 i = n; i > 0; --i) {
                            if (d[i - 1] == ']') {
                                last_bracket = i - 1;
                                break;
                            }
                        }
                    }
                    const u64 last = last_bracket != kNotFound && last_bracket >= p + 9 ? last_bracket : kNotFound;
                    end = last != kNotFound ? last + 1 : p + 9;
                    record(p, end, TagKind::CData, 0, 0);
                } else {
                    end = g;
                    record(p, end, TagKind::CData, 0, 0);
                    if (g - 2 > p + 9) ix.texts.push_back({p + 9, g - 2});
                }
            } else if (p + 9 <= n && std::memcmp(d + p + 2, "DOCTYPE", 7) == 0) {
                end = doctype_end_at(d, n, p);
                if (end == n) record(p, end, TagKind::Doctype, 0, 0);
                prev_end = end;
            } else {
                // Once no '>' follows, none follows a later declaration either.
                const u64 g = p >= no_gt_from ? n : gt_from(d, n, p);
                if (g == n) no_gt_from = std::min(no_gt_from, p);
                end = g == n ? p : g;
                prev_end = end;
            }
        } else if (c == '/') {
            const u64 name_end = scan_until(d, p + 2, n, close_name_stop);
            end = gt_from(d, n, name_end);
            if (end == n) return CoreError::unclosed_tag(p);
            record(p, end, TagKind::Close, p + 2, name_end - (p + 2));
        } else if (c == '?') {
            u64 name_end;
            end = pi_end(d, n, p, name_end);
            record(p, end, TagKind::ProcessingInstruction, p + 2, name_end - (p + 2));
        } else {
            const u64 name_end = scan_until(d, p + 1, n, open_name_stop);
            if (name_end == n) return CoreError::unclosed_tag(p);
            // Byte by byte to the first '>' or quote, a quoted string
            // stepped over whole: linear however many strings the tag holds.
            u64 i = name_end;
            for (;;) {
                const u64 g = scan_until(d, i, n, [](unsigned char c) { return c == '>' || c == '"' || c == '\''; });
                if (g >= n) return CoreError::unclosed_tag(p);
                if (d[g] == '>') {
                    end = g;
                    break;
                }
                const u64 close = find_byte(d, g + 1, n, d[g]);
                i = close == kNotFound ? g + 2 : close + 1;
            }
            const TagKind kind = end > i && d[end - 1] == '/' ? TagKind::SelfClose : TagKind::Open;
            record(p, end, kind, p + 1, name_end - (p + 1));
        }
        q = end + 1;
    }
    return ix;
}

// ------------------------------------------------------------------ text

std::size_t white_space_at(std::string_view t, std::size_t i) {
    const std::size_t n = t.size();
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(t[k]); };
    const unsigned char c = b(i);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
    if (c == 0xC2) return i + 1 < n && (b(i + 1) == 0x85 || b(i + 1) == 0xA0) ? 2 : 0;
    if (c < 0xE1 || c > 0xE3 || i + 2 >= n) return 0;
    const unsigned char c1 = b(i + 1), c2 = b(i + 2);
    if (c == 0xE1) return c1 == 0x9A && c2 == 0x80 ? 3 : 0;
    if (c == 0xE3) return c1 == 0x80 && c2 == 0x80 ? 3 : 0;
    if (c1 == 0x80) return (c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF ? 3 : 0;
    return c1 == 0x81 && c2 == 0x9F ? 3 : 0;
}

std::size_t leading_ws(std::string_view t) {
    std::size_t i = 0;
    while (i < t.size()) {
        const std::size_t k = white_space_at(t, i);
        if (k == 0) break;
        i += k;
    }
    return i;
}

std::size_t trailing_ws(std::string_view t) {
    std::size_t end = t.size();
    while (end > 0) {
        const auto last = static_cast<unsigned char>(t[end - 1]);
        if (last < 0x80) {
            if (last == ' ' || (last >= 0x09 && last <= 0x0D)) {
                --end;
                continue;
            }
            break;
        }
        if (end >= 2 && white_space_at(t.substr(0, end), end - 2) == 2) {
            end -= 2;
        } else if (end >= 3 && white_space_at(t.substr(0, end), end - 3) == 3) {
            end -= 3;
        } else {
            break;
        }
    }
    return t.size() - end;
}

std::string_view trim(std::string_view t) {
    t.remove_prefix(leading_ws(t));
    t.remove_suffix(trailing_ws(t));
    return t;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::optional<std::uint32_t> read_number(std::string_view s, unsigned base) {
    std::size_t i = 0;
    if (i < s.size() && s[i] == '+') ++i;
    if (i == s.size()) return std::nullopt;
    std::uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        unsigned digit;
        if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
        else return std::nullopt;
        v = v * base + digit;
        if (v > UINT32_MAX) return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

std::optional<CoreError> decode(std::string_view seg, u64 offset, bool attr_mode, std::string& out) {
    for (std::size_t i = 0; i < seg.size();) {
        const char c = seg[i];
        if (c == '&') {
            const std::size_t semi = seg.find(';', i + 1);
            if (semi == std::string_view::npos) return CoreError::malformed(CoreError::Code::UnterminatedEntityReference, offset + i);
            const std::string_view body = seg.substr(i + 1, semi - i - 1);
            if (body == "lt") out += '<';
            else if (body == "gt") out += '>';
            else if (body == "amp") out += '&';
            else if (body == "quot") out += '"';
            else if (body == "apos") out += '\'';
            else if (!body.empty() && body[0] == '#') {
                const bool hex = body.size() > 1 && body[1] == 'x';
                const auto cp = read_number(body.substr(hex ? 2 : 1), hex ? 16 : 10);
                if (!cp || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) {
                    return CoreError::malformed(CoreError::Code::InvalidCharacterReference, body, offset + i);
                }
                append_utf8(out, *cp);
            } else {
                return CoreError::unknown_entity(std::string(body), offset + i);
            }
            i = semi + 1;
        } else if (attr_mode && (c == '\t' || c == '\n' || c == '\r')) {
            out += ' ';
            i += c == '\r' && i + 1 < seg.size() && seg[i + 1] == '\n' ? 2 : 1;
        } else {
            out += c;
            ++i;
        }
    }
    return std::nullopt;
}

bool all_ws(std::string_view t) { return leading_ws(t) == t.size(); }

// ------------------------------------------------------------------ walk

class Walker {
public:
    Walker(const Index& ix, std::string_view root) : ix_(ix), d_(ix.input.data()), n_(ix.input.size()), root_(root) {}

    std::variant<Element, CoreError> run() {
        std::size_t cursor = 0;
        for (const Record& r : ix_.records) {
            const u64 s = r.start, e = r.end;
            if (e >= n_) {
                return CoreError::malformed(r.kind == TagKind::Doctype ? CoreError::Code::UnterminatedDoctype : CoreError::Code::UnterminatedMarkup, s);
            }
            for (; cursor < ix_.texts.size() && ix_.texts[cursor].start < s; ++cursor) {
                if (frames_.empty()) continue;
                const TextRange& t = ix_.texts[cursor];
                if (auto err = decode(ix_.input.substr(t.start, t.end - t.start), t.start, false, frames_.back().text)) {
                    return *err;
                }
            }
            const std::string_view name = ix_.input.substr(r.name_off, r.name_len);
            switch (r.kind) {
                case TagKind::Open:
                    if (frames_.empty() && name != root_) {
                        if (name.empty()) return CoreError::malformed(CoreError::Code::ExpectedElementName, s);
                        outer_.push_back(std::string(name));
                        break;
                    }
                    frames_.emplace_back();
                    if (auto err = start_tag(r, frames_.back().element)) return *err;
                    break;
                case TagKind::SelfClose: {
                    Element el;
                    if (auto err = start_tag(r, el)) return *err;
                    if (!frames_.empty()) {
                        frames_.back().element.children.push_back(std::move(el));
                    } else if (el.name == root_) {
                        return el;
                    }
                    break;
                }
                case TagKind::Close: {
                    const u64 name_end = r.name_off + r.name_len;
                    if (!all_ws(ix_.input.substr(name_end, e - name_end))) {
                        return CoreError::malformed(CoreError::Code::MalformedEndTag, name, s);
                    }
                    std::string expected;
                    if (!frames_.empty()) expected = frames_.back().element.name;
                    else if (!outer_.empty()) expected = outer_.back();
                    else return CoreError::malformed(CoreError::Code::UnexpectedEndTag, name, s);
                    if (expected != name) {
                        return CoreError::mismatched_end_tag(expected, name, s);
                    }
                    if (frames_.empty()) {
                        outer_.pop_back();
                        break;
                    }
                    Frame f = std::move(frames_.back());
                    frames_.pop_back();
                    const std::string_view t = trim(f.text);
                    if (!t.empty()) f.element.text = std::string(t);
                    if (frames_.empty()) return std::move(f.element);
                    frames_.back().element.children.push_back(std::move(f.element));
                    break;
                }
                case TagKind::Comment:
                    if (e < s + 6 || std::memcmp(d_ + e - 2, "-->", 3) != 0) return CoreError::malformed(CoreError::Code::UnterminatedComment, s);
                    break;
                case TagKind::CData:
                    if (e < s + 11 || std::memcmp(d_ + e - 2, "]]>", 3) != 0) {
                        return CoreError::malformed(CoreError::Code::UnterminatedCdata, s);
                    }
                    if (!frames_.empty() && e - 2 > s + 9) frames_.back().text.append(d_ + s + 9, e - 2 - (s + 9));
                    while (cursor < ix_.texts.size() && ix_.texts[cursor].start < e) ++cursor;
                    break;
                case TagKind::ProcessingInstruction:
                    if (d_[e - 1] != '?' || d_[e] != '>') return CoreError::malformed(CoreError::Code::UnterminatedProcessingInstruction, s);
                    break;
                case TagKind::Doctype:
                    break;
            }
        }
        if (!frames_.empty()) return CoreError::never_closed(frames_.back().element.name);
        return CoreError::root_not_found(std::string(root_));
    }

private:
    struct Frame {
        Element element;
        std::string text;
    };

    std::optional<CoreError> start_tag(const Record& r, Element& el) {
        const u64 s = r.start, e = r.end;
        if (r.name_len == 0) return CoreError::malformed(CoreError::Code::ExpectedElementName, s);
        el.name.assign(d_ + r.name_off, r.name_len);
        const u64 rs = r.name_off + r.name_len;
        const u64 re = r.kind == TagKind::SelfClose ? e - 1 : e;
        std::set<std::string> seen;
        u64 pos = rs, last_end = rs;
        for (;;) {
            while (pos < re && ascii_ws(static_cast<unsigned char>(d_[pos]))) ++pos;
            if (pos == re) return std::nullopt;
            if (pos == last_end) return CoreError::malformed(CoreError::Code::ExpectedWhitespace, pos);
            const u64 name_start = pos;
            pos = scan_until(d_, pos, re, attr_name_stop);
            if (pos == name_start) return CoreError::malformed(CoreError::Code::ExpectedAttributeName, pos);
            const std::string name(d_ + name_start, pos - name_start);
            while (pos < re && ascii_ws(static_cast<unsigned char>(d_[pos]))) ++pos;
            if (pos == re || d_[pos] != '=') return CoreError::malformed(CoreError::Code::AttributeWithoutValue, name, name_start);
            ++pos;
            while (pos < re && ascii_ws(static_cast<unsigned char>(d_[pos]))) ++pos;
            if (pos == re || (d_[pos] != '"' && d_[pos] != '\'')) {
                return CoreError::malformed(CoreError::Code::UnquotedAttributeValue, name, pos);
            }
            const u64 vs = pos + 1;
            const u64 close = find_byte(d_, vs, re, d_[pos]);
            if (close == kNotFound) return CoreError::malformed(CoreError::Code::UnterminatedAttributeValue, vs);
            const u64 lt = find_byte(d_, vs, close, '<');
            if (lt != kNotFound) return CoreError::malformed(CoreError::Code::LtInAttributeValue, lt);
            std::string value;
            if (auto err = decode(ix_.input.substr(vs, close - vs), vs, true, value)) return err;
            if (!seen.insert(name).second) return CoreError::malformed(CoreError::Code::DuplicateAttribute, name, name_start);
            el.attrs.emplace_back(name, std::move(value));
            pos = close + 1;
            last_end = pos;
        }
    }

    const Index& ix_;
    const char* d_;
    u64 n_;
    std::string_view root_;
    std::vector<Frame> frames_;
    std::vector<std::string> outer_;
};

}  // namespace

Element::~Element() {
    std::vector<Element> pending = std::move(children);
    while (!pending.empty()) {
        Element last = std::move(pending.back());
        pending.pop_back();
        for (Element& c : last.children) pending.push_back(std::move(c));
        last.children.clear();
    }
}

std::uint64_t doctype_end(std::string_view text, std::uint64_t p) { return doctype_end_at(text.data(), text.size(), p); }

std::variant<Element, CoreError> parse_root(std::string_view text, std::string_view root_tag) {
    auto index = build_index(text);
    if (auto* err = std::get_if<CoreError>(&index)) return std::move(*err);
    Walker walker(std::get<Index>(index), root_tag);
    return walker.run();
}

}  // namespace arbolite::reference
