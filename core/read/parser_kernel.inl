// The reader's one pass, compiled once per kernel: each parser_<kernel>.cpp
// includes this inside its own namespace, after its `Simd` search primitives,
// within that instruction set's target region. Only types of this namespace
// and templates defined outside the region are used, so no code built for
// one instruction set can be picked by the linker for another.
//
// Two layers share the loop in run():
// - finding markup: each '<' and what it starts (an element tag, an end tag,
//   a comment, a CDATA section, a processing instruction or a declaration)
//   and where it ends. The only error here is an unclosed tag, and it wins
//   over every other error wherever it occurs, so this layer runs to the end
//   of the input even after the element is complete or another error was
//   found;
// - the walk over those records while it matters: names of elements open
//   outside the wanted one, and from its start tag on, the nodes themselves.

namespace {

using u64 = std::uint64_t;
constexpr u64 kNone = ~u64{0};

enum class Kind : std::uint8_t { Open, Close, SelfClose, Comment, CData, Pi };

// The next occurrence of '>' at or after a position that only grows; a
// search that found nothing is not repeated for every later declaration.
class NextGt {
public:
    NextGt(const char* d, u64 n) noexcept : d_(d), n_(n) {}
    u64 from(u64 i) noexcept {
        if (at_ == kNone || at_ < i) at_ = Simd::template find_any<'>'>(d_, i, n_);
        return at_;
    }

private:
    const char* d_;
    u64 n_;
    u64 at_ = kNone;
};

// A growable byte buffer of this kernel's own (see the note at the top).
class Bytes {
public:
    Bytes() noexcept = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes() { std::free(data_); }
    char* data() noexcept { return data_; }
    u64 size() const noexcept { return size_; }
    void resize(u64 n) {
        reserve(n);
        size_ = n;
    }
    void reserve(u64 n) {
        if (n <= cap_) return;
        u64 cap = cap_ ? cap_ : 256;
        while (cap < n) {
            if (cap > (~u64{0} >> 2)) throw std::bad_alloc();
            cap *= 2;
        }
        char* grown = static_cast<char*>(std::realloc(data_, cap));
        if (!grown) throw std::bad_alloc();
        data_ = grown;
        cap_ = cap;
    }
    void append(const char* p, u64 n) {
        reserve(size_ + n);
        std::memcpy(data_ + size_, p, n);
        size_ += n;
    }

private:
    char* data_ = nullptr;
    u64 size_ = 0;
    u64 cap_ = 0;
};

struct Frame {
    Node* node;
    Node* last_child;
    u64 name_off;     // the element's name in the input, for its end tag
    u64 name_len;
    u64 text_start;   // where its text begins in the shared text buffer
    u64 pending_off;  // its first piece of text while it is the only one, not yet copied
    u64 pending_len;
};

struct Range {
    u64 start;
    u64 end;
};

std::string quoted(const char* before, std::string_view name, const char* after) {
    std::string s(before);
    s.append(name);
    s.append(after);
    return s;
}

class Parser {
public:
    Parser(std::string_view text, std::string_view root_tag, const void* node_type, Arena& arena) noexcept
        : d_(text.data()), n_(text.size()), root_(root_tag), type_(node_type), arena_(arena), gt_(d_, n_) {}

    ParseOutcome run();

private:
    // ----- the walk
    void walk(u64 s, u64 e, Kind kind, u64 name_off, u64 name_len);
    void fail(XmlError e) {
        if (walking_) {
            error_ = std::move(e);
            walking_ = false;
        }
    }
    bool start_tag(u64 s, u64 e, Kind kind, u64 name_off, u64 name_len, bool build, Node*& made);
    bool attributes(u64 rs, u64 re, char* out, char*& end, std::uint32_t& count);
    bool take_text(Range r);
    bool add_text(u64 off, u64 len, bool decode);
    bool end_tag(u64 s, u64 e, u64 name_off, u64 name_len);
    void close_frame();
    void link(Node* child);
    std::string_view in(u64 off, u64 len) const noexcept { return {d_ + off, static_cast<std::size_t>(len)}; }

    // ----- finding markup
    u64 comment_end(u64 p) noexcept;
    u64 cdata_end(u64 p) noexcept;
    u64 pi_end(u64 p, u64& name_end) noexcept;

    const char* d_;
    u64 n_;
    std::string_view root_;
    const void* type_;
    Arena& arena_;
    NextGt gt_;

    bool walking_ = true;           // false once the element is done or the walk failed
    std::optional<XmlError> error_;  // the walk's error
    Node* result_ = nullptr;
    u64 nodes_ = 0;

    std::vector<Frame> frames_;     // elements open inside the wanted one
    std::vector<Range> outer_;      // names of elements open outside it
    std::vector<Range> pending_;    // text between markup, read when the next record is walked
    Bytes text_;                    // text of the open frames, innermost last
    Bytes scratch_;                 // attributes of tags that are checked but not kept
    AttrKeySet keys_;               // duplicate check of long attribute lists

    // CDATA sections without an end: once no "]]>" follows a position, none
    // follows a later one.
    u64 no_cdata_end_from_ = kNone;
    u64 last_bracket_ = kNone;
    bool last_bracket_known_ = false;
};

ParseOutcome Parser::run() {
    const char* d = d_;
    const u64 n = n_;
    u64 q = 0;         // where the search for the next '<' starts
    u64 prev_end = 0;  // the last byte of the previous markup
    for (;;) {
        const u64 p = Simd::template find_any<'<'>(d, q, n);
        if (p >= n) break;
        // The character data since the previous markup, read by the walk when
        // it reaches the next record, and only inside the element.
        const u64 t = prev_end == 0 ? 0 : prev_end + 1;
        if (walking_ && !frames_.empty() && t < p) pending_.push_back(Range{t, p});
        if (p + 1 >= n) return {nullptr, XmlError::unclosed_tag(p), 0};
        const char c = d[p + 1];
        u64 end, name_off = 0, name_len = 0;
        Kind kind;
        if (c == '!') {
            if (p + 4 <= n && d[p + 2] == '-' && d[p + 3] == '-') {
                end = comment_end(p);
                kind = Kind::Comment;
            } else if (p + 9 <= n && std::memcmp(d + p + 2, "[CDATA[", 7) == 0) {
                end = cdata_end(p);
                kind = Kind::CData;
            } else {
                // A declaration: no record; the text after it starts past its '>'.
                const u64 g = gt_.from(p);
                end = g >= n ? p : g;
                prev_end = end;
                q = end + 1;
                continue;
            }
        } else if (c == '/') {
            u64 k = p + 2;
            while (k < n && !has_class(d[k], kEndNameEnd)) ++k;
            end = gt_.from(k);
            if (end >= n) return {nullptr, XmlError::unclosed_tag(p), 0};
            name_off = p + 2;
            name_len = k - name_off;
            kind = Kind::Close;
        } else if (c == '?') {
            u64 name_end;
            end = pi_end(p, name_end);
            name_off = p + 2;
            name_len = name_end - name_off;
            kind = Kind::Pi;
        } else {
            u64 k = p + 1;
            while (k < n && !has_class(d[k], kStartNameEnd)) ++k;
            if (k >= n) return {nullptr, XmlError::unclosed_tag(p), 0};
            name_off = p + 1;
            name_len = k - name_off;
            // Quoted strings are stepped over whole; a quote with no partner
            // later in the input is skipped with the byte after it.
            u64 i = k;
            for (;;) {
                const u64 g = Simd::template find_any<'>', '"', '\''>(d, i, n);
                if (g >= n) return {nullptr, XmlError::unclosed_tag(p), 0};
                if (d[g] == '>') {
                    end = g;
                    break;
                }
                const u64 close = Simd::find_char(d, g + 1, n, d[g]);
                i = close >= n ? g + 2 : close + 1;
            }
            // A '/' right before the '>' counts only if the scan reached it.
            kind = end > i && d[end - 1] == '/' ? Kind::SelfClose : Kind::Open;
        }
        if (walking_) walk(p, end, kind, name_off, name_len);
        prev_end = end;
        q = end + 1;
    }
    if (walking_) {
        if (!frames_.empty()) {
            const Frame& f = frames_.back();
            return {nullptr, XmlError::never_closed(std::string(in(f.name_off, f.name_len))), 0};
        }
        return {nullptr, XmlError::root_not_found(std::string(root_)), 0};
    }
    if (error_) return {nullptr, std::move(error_), 0};
    return {result_, std::nullopt, nodes_};
}

u64 Parser::comment_end(u64 p) noexcept {
    // The '>' of the first "-->" that starts at or after p + 4.
    for (u64 i = p + 6;;) {
        const u64 g = Simd::template find_any<'>'>(d_, i, n_);
        if (g >= n_) return n_;
        if (d_[g - 1] == '-' && d_[g - 2] == '-') return g;
        i = g + 1;
    }
}

u64 Parser::cdata_end(u64 p) noexcept {
    if (p + 9 < no_cdata_end_from_) {
        for (u64 i = p + 11;;) {
            const u64 g = Simd::template find_any<'>'>(d_, i, n_);
            if (g >= n_) break;
            if (d_[g - 1] == ']' && d_[g - 2] == ']') return g;
            i = g + 1;
        }
        no_cdata_end_from_ = p + 9;
    }
    // No end: one past the last ']' a search for "]]>" would have looked at.
    if (!last_bracket_known_) {
        const void* last = n_ > 0 ? memrchr(d_, ']', n_) : nullptr;
        last_bracket_ = last ? static_cast<u64>(static_cast<const char*>(last) - d_) : kNone;
        last_bracket_known_ = true;
    }
    return last_bracket_ != kNone && last_bracket_ >= p + 9 ? last_bracket_ + 1 : p + 9;
}

u64 Parser::pi_end(u64 p, u64& name_end) noexcept {
    u64 k = p + 2;
    while (k < n_ && !has_class(d_[k], kPiNameEnd)) ++k;
    name_end = k;
    if (k == n_) return n_;
    if (k + 1 == n_) return k;
    // The first "?>" at or after k; without one, the last byte of the input.
    for (u64 i = k;;) {
        const u64 qm = Simd::find_char(d_, i, n_ - 1, '?');
        if (qm >= n_ - 1) return n_ - 1;
        if (d_[qm + 1] == '>') return qm + 1;
        i = qm + 1;
    }
}

// ------------------------------------------------------------------ the walk

void Parser::walk(u64 s, u64 e, Kind kind, u64 name_off, u64 name_len) {
    if (e >= n_) return fail(XmlError::malformed("unterminated markup", s));
    if (!pending_.empty()) {
        for (const Range& r : pending_) {
            if (!take_text(r)) return;
        }
        pending_.clear();
    }
    switch (kind) {
        case Kind::Open: {
            const bool inside = !frames_.empty();
            if (!inside && in(name_off, name_len) != root_) {
                if (name_len == 0) return fail(XmlError::malformed("expected element name after '<'", s));
                outer_.push_back(Range{name_off, name_off + name_len});
                return;
            }
            Node* node;
            if (!start_tag(s, e, kind, name_off, name_len, true, node)) return;
            if (inside) link(node);
            frames_.push_back(Frame{node, nullptr, name_off, name_len, text_.size(), 0, 0});
            return;
        }
        case Kind::SelfClose: {
            const bool inside = !frames_.empty();
            const bool wanted = !inside && in(name_off, name_len) == root_;
            Node* node = nullptr;
            if (!start_tag(s, e, kind, name_off, name_len, inside || wanted, node)) return;
            if (inside) {
                link(node);
            } else if (wanted) {
                result_ = node;
                walking_ = false;
            }
            return;
        }
        case Kind::Close:
            end_tag(s, e, name_off, name_len);
            return;
        case Kind::Comment:
            if (e < s + 6 || std::memcmp(d_ + e - 2, "-->", 3) != 0) {
                fail(XmlError::malformed("unterminated comment", s));
            }
            return;
        case Kind::CData:
            if (e < s + 11 || std::memcmp(d_ + e - 2, "]]>", 3) != 0) {
                return fail(XmlError::malformed("unterminated CDATA section", s));
            }
            if (!frames_.empty() && e - 2 > s + 9) add_text(s + 9, e - 2 - (s + 9), false);
            return;
        case Kind::Pi:
            if (d_[e - 1] != '?' || d_[e] != '>') fail(XmlError::malformed("unterminated processing instruction", s));
            return;
    }
}

void Parser::link(Node* child) {
    Frame& parent = frames_.back();
    if (parent.last_child) {
        parent.last_child->next_sibling = child;
    } else {
        parent.node->first_child = child;
    }
    parent.last_child = child;
    if (parent.node->child_count == UINT32_MAX) throw std::bad_alloc();  // more children than a node can count
    ++parent.node->child_count;
}

// Reads a start tag or an empty-element tag. With `build`, its node is
// written to the arena (and counted); otherwise the attributes are only checked.
bool Parser::start_tag(u64 s, u64 e, Kind kind, u64 name_off, u64 name_len, bool build, Node*& made) {
    if (name_len == 0) {
        fail(XmlError::malformed("expected element name after '<'", s));
        return false;
    }
    const u64 rs = name_off + name_len;
    const u64 re = kind == Kind::SelfClose ? e - 1 : e;
    // Decoded strings are never longer than their source, and each attribute's
    // quotes, '=' and space pay for its two length prefixes; the slack covers
    // the name's prefix, the index pointer and lengths past 127 bytes.
    const u64 bound = sizeof(Node) + 2 * (e - s) + 64;
    char* block;
    if (build) {
        block = arena_.reserve(bound);
    } else {
        scratch_.resize(bound);
        block = scratch_.data();
    }
    char* out = put_string(block + sizeof(Node), in(name_off, name_len));
    char* end = out;
    std::uint32_t count = 0;
    if (rs < re && !attributes(rs, re, out, end, count)) return false;
    if (!build) return true;

    Node* node = reinterpret_cast<Node*>(block);
    node->head.refcount = 1;
    node->head.type = type_;
    node->first_child = nullptr;
    node->next_sibling = nullptr;
    node->text = nullptr;
    node->child_count = 0;
    node->attr_count = count;
    node->reserved = 0;
    if (count > kAttrScanLimit) {
        // The index pointer goes in front of the name; the index itself is an
        // object of its own in the arena.
        char* payload = block + sizeof(Node);
        std::memmove(payload + sizeof(void*), payload, static_cast<std::size_t>(end - payload));
        end += sizeof(void*);
        node->slab_offset = arena_.commit(end);
        const std::size_t index_bytes = AttrIndex::size_for(keys_);
        char* at = arena_.reserve(8 + index_bytes);
        AttrIndex* index = AttrIndex::write(at + 8, keys_);
        const std::uint32_t offset = arena_.commit(at + 8 + index_bytes);
        std::memcpy(at, &offset, sizeof offset);
        std::memcpy(payload, &index, sizeof index);
    } else {
        node->slab_offset = arena_.commit(end);
    }
    ++nodes_;
    made = node;
    return true;
}

// The attributes between a tag's name and its end, written at `out` as
// length-prefixed keys and values.
bool Parser::attributes(u64 rs, u64 re, char* out, char*& end, std::uint32_t& count) {
    const char* d = d_;
    char* const first = out;
    u64 pos = rs, last_end = rs;
    for (;;) {
        while (pos < re && has_class(d[pos], kTagSpace)) ++pos;
        if (pos == re) break;
        if (pos == last_end) {
            fail(XmlError::malformed("expected whitespace before attribute", pos));
            return false;
        }
        const u64 name_start = pos;
        while (pos < re && !has_class(d[pos], kAttrNameEnd)) ++pos;
        if (pos == name_start) {
            fail(XmlError::malformed("expected attribute name", pos));
            return false;
        }
        const std::string_view name = in(name_start, pos - name_start);
        while (pos < re && has_class(d[pos], kTagSpace)) ++pos;
        if (pos == re || d[pos] != '=') {
            fail(XmlError::malformed(quoted("attribute '", name, "' has no value"), name_start));
            return false;
        }
        ++pos;
        while (pos < re && has_class(d[pos], kTagSpace)) ++pos;
        if (pos == re || (d[pos] != '"' && d[pos] != '\'')) {
            fail(XmlError::malformed(quoted("value of attribute '", name, "' is not quoted"), pos));
            return false;
        }
        const u64 vs = pos + 1;
        const u64 close = Simd::find_char(d, vs, re, d[pos]);
        if (close >= re) {
            fail(XmlError::malformed("unterminated attribute value", vs));
            return false;
        }
        const u64 special = Simd::template find_any<'<', '&', '\t', '\n', '\r'>(d, vs, close);
        char* const entry = out;
        out = put_string(out, name);
        if (special >= close) {
            out = put_string(out, in(vs, close - vs));
        } else {
            const u64 lt = d[special] == '<' ? special : Simd::template find_any<'<'>(d, special, close);
            if (lt < close) {
                fail(XmlError::malformed("'<' is not allowed in attribute values", lt));
                return false;
            }
            // Decoded in place after a prefix sized for the raw length; the
            // prefix shrinks (and the value moves down) when the decoded
            // length needs fewer bytes.
            const u64 raw = close - vs;
            const std::size_t room = varint_size(raw);
            XmlError error;
            char* value_end = decode_references(in(vs, raw), vs, true, out + room, error);
            if (!value_end) {
                fail(std::move(error));
                return false;
            }
            const u64 len = static_cast<u64>(value_end - (out + room));
            const std::size_t need = varint_size(len);
            if (need != room) std::memmove(out + need, out + room, static_cast<std::size_t>(len));
            out = put_varint(out, len) + len;
        }
        // Duplicates: a scan of the keys so far while the list is short, a
        // keyed hash set from then on.
        const u64 entry_offset = static_cast<u64>(entry - first);
        bool duplicate = false;
        if (count < kAttrScanLimit) {
            for (AttrRange::iterator it(first, count); it.position() != entry; ++it) {
                if ((*it).key == name) {
                    duplicate = true;
                    break;
                }
            }
        } else {
            if (count == kAttrScanLimit) {
                keys_.reset();
                for (AttrRange::iterator it(first, count); it.position() != entry; ++it) {
                    keys_.insert(first, static_cast<u64>(it.position() - first));
                }
            }
            duplicate = !keys_.insert(first, entry_offset);
        }
        if (duplicate) {
            fail(XmlError::malformed(quoted("duplicate attribute '", name, "'"), name_start));
            return false;
        }
        if (count == UINT32_MAX) throw std::bad_alloc();  // more attributes than a node can count
        ++count;
        pos = close + 1;
        last_end = pos;
    }
    end = out;
    return true;
}

bool Parser::take_text(Range r) {
    const u64 len = r.end - r.start;
    const bool decode = Simd::template find_any<'&'>(d_, r.start, r.end) < r.end;
    return add_text(r.start, len, decode);
}

// Appends a piece of character data to the innermost frame's text.
bool Parser::add_text(u64 off, u64 len, bool decode) {
    Frame& f = frames_.back();
    if (text_.size() == f.text_start && f.pending_len == 0) {
        // Leading White_Space is trimmed anyway; dropping it now keeps the
        // white space between child elements from ever being copied. Raw white
        // space decodes to itself, so this is safe before decoding too.
        const std::size_t lead = leading_white_space(in(off, len));
        off += lead;
        len -= lead;
        if (len == 0) return true;
        if (!decode) {
            f.pending_off = off;
            f.pending_len = len;
            return true;
        }
    } else if (f.pending_len != 0) {
        text_.append(d_ + f.pending_off, f.pending_len);
        f.pending_len = 0;
    }
    if (!decode) {
        text_.append(d_ + off, len);
        return true;
    }
    const u64 at = text_.size();
    text_.reserve(at + len);
    XmlError error;
    char* out = decode_references(in(off, len), off, false, text_.data() + at, error);
    if (!out) {
        fail(std::move(error));
        return false;
    }
    text_.resize(static_cast<u64>(out - text_.data()));
    return true;
}

bool Parser::end_tag(u64 s, u64 e, u64 name_off, u64 name_len) {
    const std::string_view name = in(name_off, name_len);
    const u64 name_end = name_off + name_len;
    if (name_end != e && !all_white_space(in(name_end, e - name_end))) {
        fail(XmlError::malformed(quoted("malformed end tag </", name, ">"), s));
        return false;
    }
    std::string_view expected;
    if (!frames_.empty()) {
        expected = in(frames_.back().name_off, frames_.back().name_len);
    } else if (!outer_.empty()) {
        expected = in(outer_.back().start, outer_.back().end - outer_.back().start);
    } else {
        fail(XmlError::malformed(quoted("unexpected end tag </", name, ">"), s));
        return false;
    }
    if (expected != name) {
        std::string msg = quoted("expected </", expected, ">, found </");
        msg.append(name);
        msg.push_back('>');
        fail(XmlError::malformed(std::move(msg), s));
        return false;
    }
    if (frames_.empty()) {
        outer_.pop_back();
        return true;
    }
    close_frame();
    return true;
}

// Ends the innermost frame: its text, trimmed, becomes an object of the arena.
void Parser::close_frame() {
    Frame& f = frames_.back();
    std::string_view all;
    if (text_.size() > f.text_start) {
        all = std::string_view(text_.data() + f.text_start, static_cast<std::size_t>(text_.size() - f.text_start));
    } else if (f.pending_len != 0) {
        all = in(f.pending_off, f.pending_len);
    }
    const std::string_view trimmed = trim_white_space(all);
    Node* node = f.node;
    if (!trimmed.empty()) {
        char* at = arena_.reserve(4 + kMaxVarintBytes + trimmed.size());
        char* end = put_string(at + 4, trimmed);
        const std::uint32_t offset = arena_.commit(end);
        std::memcpy(at, &offset, sizeof offset);
        node->text = at + 4;
    }
    text_.resize(f.text_start);
    frames_.pop_back();
    if (frames_.empty()) {
        result_ = node;
        walking_ = false;
    }
}

}  // namespace

ParseOutcome parse(std::string_view text, std::string_view root_tag, const void* node_type, Arena& arena) {
    Parser parser(text, root_tag, node_type, arena);
    return parser.run();
}
