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
//
// Start tags of nodes being built, and end tags of the innermost open
// element, take a fast path that does both layers in one scan. It stands only
// where it provably finds the same end and the same content as the two layers
// apart; anything unusual (every error among it) falls back to them.

namespace {

using u64 = std::uint64_t;
constexpr u64 kNone = ~u64{0};

// Doctype: a document type declaration whose end was not found.
enum class Kind : std::uint8_t { Open, Close, SelfClose, Comment, CData, Pi, Doctype };

// The next occurrence of '>' at or after a position that only grows; a
// search that found nothing is not repeated for every later declaration
// (until more input arrives, for a stream).
class NextGt {
public:
    u64 from(const char* d, u64 n, u64 i) noexcept {
        if (at_ == kNone || at_ < i) {
            at_ = Simd::template find_any<'>'>(d, i, n);
            searched_to_ = n;
        } else if (at_ == searched_to_ && n != searched_to_) {
            // Nothing up to the old end: only the bytes that came since are new.
            at_ = Simd::template find_any<'>'>(d, searched_to_, n);
            searched_to_ = n;
        }
        return at_;
    }

private:
    u64 at_ = kNone;
    u64 searched_to_ = 0;  // the input's end when at_ was found
};

// A growable byte buffer of this kernel's own (see the note at the top).
class Bytes {
public:
    Bytes() noexcept = default;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    ~Bytes() { std::free(data_); }
    char* data() noexcept { return data_; }
    const char* data() const noexcept { return data_; }
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

// A stack of plain records of this kernel's own (see the note at the top).
// A push that fits is a store and an increment, inlined into the scan; only
// growth is a call. (std::vector's push stayed a call, 7 percent of a parse.)
template <class T>
class Stack {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Stack() noexcept = default;
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;
    ~Stack() { std::free(data_); }
    bool empty() const noexcept { return size_ == 0; }
    u64 size() const noexcept { return size_; }
    T& back() noexcept { return data_[size_ - 1]; }
    const T& back() const noexcept { return data_[size_ - 1]; }
    const T& front() const noexcept { return data_[0]; }
    const T& operator[](u64 i) const noexcept { return data_[i]; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    void pop_back() noexcept { --size_; }
    void clear() noexcept { size_ = 0; }
    [[gnu::always_inline]] void push_back(const T& v) {
        if (size_ == cap_) [[unlikely]]
            grow();
        data_[size_++] = v;
    }

private:
    [[gnu::noinline]] void grow() {
        if (cap_ > (~u64{0} >> 2) / sizeof(T)) throw std::bad_alloc();
        const u64 cap = cap_ ? cap_ * 2 : 16;
        T* grown = static_cast<T*>(std::realloc(data_, cap * sizeof(T)));
        if (!grown) throw std::bad_alloc();
        data_ = grown;
        cap_ = cap;
    }

    T* data_ = nullptr;
    u64 size_ = 0;
    u64 cap_ = 0;
};

struct Frame {
    Node* node;       // null for an element only checked, not built (streams)
    Node* last_child;
    u64 name_off;     // the element's name, for its end tag: in the input, or
    u64 name_len;     // in the name stack when reading a stream
    u64 text_start;   // where its text begins in the shared text buffer
    u64 pending_off;  // its first piece of text while it is the only one, not yet copied
    u64 pending_len;
};

struct Range {
    u64 start;
    u64 end;
    bool amp;  // holds a '&'
};

// Most names are a few bytes long: a loop beats a call to memcmp.
bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    if (n >= 16) return std::memcmp(a, b, n) == 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

bool ascii_space(char c) noexcept { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Whether a character that starts with this byte may be multi-byte
// White_Space: every one of them starts with C2, E1, E2 or E3, so most
// non-ASCII text (Cyrillic, Greek, CJK) is told apart by one byte.
bool may_start_space(unsigned char c) noexcept { return c == 0xC2 || (c >= 0xE1 && c <= 0xE3); }

// White_Space at the start and the end of a piece of text; ASCII first, the
// full (multi-byte) rule only when a character that may be White_Space is
// reached.
std::size_t leading_space(const char* p, std::size_t n) noexcept {
    std::size_t i = 0;
    while (i < n && ascii_space(p[i])) ++i;
    if (i < n && may_start_space(static_cast<unsigned char>(p[i]))) i += leading_white_space({p + i, n - i});
    return i;
}

[[gnu::noinline]] std::string_view trim_text_ends(std::string_view t) noexcept {
    t.remove_prefix(leading_space(t.data(), t.size()));
    std::size_t end = t.size();
    while (end > 0 && ascii_space(t[end - 1])) --end;
    // Multi-byte White_Space is two or three bytes long.
    if (end > 0 && static_cast<unsigned char>(t[end - 1]) >= 0x80 &&
        ((end >= 2 && static_cast<unsigned char>(t[end - 2]) == 0xC2) ||
         (end >= 3 && may_start_space(static_cast<unsigned char>(t[end - 3]))))) {
        end -= trailing_white_space(t.substr(0, end));
    }
    return t.substr(0, end);
}

// Most text is empty or has nothing to trim: told from its first and last
// bytes (multi-byte White_Space ends in a byte from 0x80), without a call.
[[gnu::always_inline]] inline std::string_view trim_text(std::string_view t) noexcept {
    if (t.empty()) return t;
    const auto first = static_cast<unsigned char>(t.front()), last = static_cast<unsigned char>(t.back());
    if (!ascii_space(static_cast<char>(first)) && !may_start_space(first) && last < 0x80 && !ascii_space(static_cast<char>(last))) {
        return t;
    }
    return trim_text_ends(t);
}

// The searches inside one start tag, each a search of its own: the cheapest
// for a tag of a few attributes on one line (Simd::TagScan answers them from
// a window of bit masks for longer ones).
class PlainTagScan {
public:
    PlainTagScan(const char* d, std::size_t n) noexcept : d_(d), n_(n) {}
    // The first position at or after i that is not tag white space, or n.
    [[gnu::always_inline]] std::size_t skip_space(std::size_t i) const noexcept { return Simd::skip_tag_space(d_, i, n_); }
    // The first position at or after i that ends an attribute's name (tag
    // white space, either quote, '=', '/' or '>'), or n.
    [[gnu::always_inline]] std::size_t name_end(std::size_t i) const noexcept {
        return Simd::template find_class<kAttrNameEnd | kStartNameEnd, '"', '\'', '=', '/', '>'>(d_, i, n_);
    }
    // The first position at or after i holding `quote` (either quote
    // character), '<', '&', TAB, LF or CR, or n.
    [[gnu::always_inline]] std::size_t value_stop(std::size_t i, char quote) const noexcept {
        return quote == '"' ? Simd::template find_any<'"', '<', '&', '\t', '\n', '\r'>(d_, i, n_)
                            : Simd::template find_any<'\'', '<', '&', '\t', '\n', '\r'>(d_, i, n_);
    }

private:
    const char* d_;
    std::size_t n_;
};

// kRawText keeps every text whole: no white space is trimmed or skipped.
// kStream reads a document window by window, every element of one name as
// its own tree. Parameters of the type, not flags, so the usual read pays
// nothing for either.
template <bool kRawText, bool kStream>
class Parser {
public:
    // A whole document: the element the options name, built in `arena`.
    Parser(std::string_view text, const ReadOptions& options, Arena& arena) noexcept
        requires(!kStream)
        : d_(text.data()), n_(text.size()), any_root_(options.document_element), root_(options.root_tag),
          type_(options.node_type), arena_(&arena) {}

    // A stream: every element the options name (not inside another one),
    // each built in an arena of its own. The input comes window by window.
    explicit Parser(const ReadOptions& options) noexcept
        requires kStream
        : d_(nullptr), n_(0), eof_(false), root_(options.root_tag), type_(options.node_type), arena_(nullptr) {}

    ParseOutcome run();

    // Streams. The window holds bytes [base, base + size) of the document;
    // it must start at or before keep_from() and, after the first, reach at
    // least as far as the last one.
    void window(const char* data, u64 base, u64 size, bool eof) noexcept {
        d_ = data - base;
        base_ = base;
        n_ = base + size;
        eof_ = eof;
    }
    StreamStep step();
    u64 keep_from() const noexcept;
    // After StreamStep::Node: the element, its slabs published.
    Node* take_node(u64& node_count) noexcept {
        node_count = done_nodes_;
        return std::exchange(done_, nullptr);
    }
    CoreError take_error() noexcept { return std::move(*error_); }

private:
    enum class Halt { End, NeedInput, Node, Unclosed };
    Halt scan();
    // Whether a search that reached the end of the window saw the end of the
    // input; otherwise the record must wait for more.
    bool at_end() const noexcept {
        if constexpr (kStream) return eof_;
        return true;
    }

    // ----- the walk
    void walk(u64 s, u64 e, Kind kind, u64 name_off, u64 name_len);
    void fail(CoreError e) {
        if (walking_) {
            error_ = std::move(e);
            walking_ = false;
        }
    }
    bool inside() const noexcept { return walking_ && !frames_.empty(); }
    // Whether the character data [t, p) is ASCII white space that the
    // innermost element would drop: it has no text yet, and leading white
    // space is trimmed. The white space between child elements ends here.
    bool skippable_space(u64 t, u64 p, bool amp) const noexcept {
        if constexpr (kRawText) return false;
        if (amp || !pending_.empty()) return false;
        const Frame& f = frames_.back();
        if (f.pending_len != 0 || text_.size() != f.text_start) return false;
        return Simd::all_ascii_space(d_, t, p, n_);
    }
    // Whether the element with this name is built (or only checked).
    bool builds(std::string_view name) const noexcept {
        if constexpr (!kStream) return !frames_.empty() || name == root_ || any_root_;
        return match_depth_ != kNoMatch || name == root_;
    }
    void queue_text(const Range& r) {
        if (r.start < r.end) pending_.push_back(r);
    }
    bool take_pending();
    bool start_tag(u64 s, u64 e, Kind kind, u64 name_off, u64 name_len, bool build, Node*& made);
    bool attributes(u64 rs, u64 re, char* out, char*& end, std::uint32_t& count);
    template <class Scan>
    bool fast_start_tag(u64 p, u64 name_end, const Range& text, u64& end);
    Node* finish_node(char* block, char* end, std::uint32_t count);
    void opened(Node* node, Kind kind, u64 name_off, u64 name_len);
    bool add_text(u64 off, u64 len, bool decode);
    bool end_tag(u64 s, u64 e, u64 name_off, u64 name_len);
    void close_frame();
    void link(Node* child);
    void match_done(Node* node) noexcept;
    // The arena a node about to be built goes to (a new match starts one; a
    // whole document's is set from the start).
    Arena& build_arena() {
        if (kStream && !arena_) {
            // Records of a stream are mostly alike: the last one sizes the
            // first slab of the next.
            match_arena_.expect(match_bytes_);
            arena_ = &match_arena_;
        }
        return *arena_;
    }
    bool duplicate_key(const char* first, const char* entry, std::uint32_t count, std::string_view name);
    std::string_view in(u64 off, u64 len) const noexcept { return {d_ + off, static_cast<std::size_t>(len)}; }
    std::string_view frame_name(const Frame& f) const noexcept {
        return kStream ? std::string_view(names_.data() + f.name_off, static_cast<std::size_t>(f.name_len))
                       : in(f.name_off, f.name_len);
    }

    // ----- finding markup
    u64 open_tag_end(u64 p, u64 name_end, u64& after_strings) noexcept;
    u64 comment_end(u64 p) noexcept;
    u64 cdata_end(u64 p) noexcept;
    u64 pi_end(u64 p, u64& name_end) noexcept;
    u64 doctype_end(u64 p) noexcept;
    u64 doctype_item_end(u64 g, u64 from) noexcept;
    u64 item_resume(u64 g) const noexcept;

    static constexpr std::size_t kNoMatch = ~std::size_t{0};

    const char* d_;   // the input, indexed by positions in the whole document
    u64 n_;           // the end of what is there
    u64 base_ = 0;    // the start of what is there
    bool eof_ = true;
    bool any_root_ = false;
    std::string_view root_;  // the element asked for (streams: each one)
    const void* type_;
    Arena* arena_;    // where nodes go; a stream's is the current match's
    NextGt gt_;
    u64 q_ = 0;         // where the search for the next '<' starts
    struct {
        u64 q = kNone;  // the q_ of a search for '<' that ran out of input
        u64 to = 0;     // where it stopped
        bool amp = false;
    } text_searched_;
    // Likewise for the end of the markup at `at` (a stream's input ran out
    // first): the search goes on from `from`, so a long construct read in
    // small pieces is scanned once, not once per piece. Start tags also keep
    // the end of their last quoted string and any quote still open.
    struct {
        u64 at = kNone;
        Kind kind = Kind::Open;
        u64 from = 0;
        u64 after = 0;     // start tags: where the last string ended
        u64 open = kNone;  // start tags: a quote without its partner yet
        bool subset = false;  // doctypes: inside the internal subset
    } markup_searched_;
    bool searched(u64 p, Kind kind) const noexcept {
        if constexpr (!kStream) return false;  // a whole document is searched once
        return markup_searched_.at == p && markup_searched_.kind == kind;
    }
    // And for the name of the markup at `at`, which had not ended by `to`.
    struct {
        u64 at = kNone;
        u64 to = 0;
    } name_searched_;
    u64 name_from(u64 p, u64 start) const noexcept {
        if constexpr (!kStream) return start;
        return name_searched_.at == p ? name_searched_.to : start;
    }
    // Whether the attributes after a start tag's name at `name_end` look set
    // one per line (a run of white space before the first): those tags are
    // long, and their searches pay for a window of bit masks.
    bool attributes_by_line(u64 name_end) const noexcept {
        return name_end + 1 < n_ && has_class(d_[name_end], kTagSpace) && has_class(d_[name_end + 1], kTagSpace);
    }
    u64 prev_end_ = 0;  // the last byte of the previous markup

    bool walking_ = true;           // false once the element is done or the walk failed
    std::optional<CoreError> error_;  // the walk's error
    std::optional<CoreError> unclosed_;  // the markup layer's
    Node* result_ = nullptr;
    u64 nodes_ = 0;

    // Streams: the match being built, and the one finished.
    std::size_t match_depth_ = kNoMatch;  // its frame's index
    Arena match_arena_{0};
    std::size_t match_bytes_ = 0;  // what the last match took
    Node* done_ = nullptr;
    u64 done_nodes_ = 0;
    Bytes names_;             // names of the open frames

    Stack<Frame> frames_;     // elements open inside the wanted one
    // 1 + the index of the outermost frame holding pending text, 0 if none.
    // Only the innermost frame gains or loses pending text, so this one
    // holds the earliest: keep_from() stays constant time however deep.
    u64 outer_pending_ = 0;
    // The innermost frame took pending text, or gave it up (or closes).
    void held_pending() noexcept {
        if constexpr (kStream) {
            if (outer_pending_ == 0) outer_pending_ = frames_.size();
        }
    }
    void dropped_pending() noexcept {
        if constexpr (kStream) {
            if (outer_pending_ == frames_.size()) outer_pending_ = 0;
        }
    }
    Stack<Range> outer_;      // names of elements open outside it
    Stack<Range> pending_;    // text between markup, read when the next record is walked
    Bytes text_;                    // text of the open frames, innermost last
    Bytes scratch_;                 // attributes of tags that are checked but not kept
    AttrKeySet keys_;               // duplicate check of long attribute lists
    // The keys of the attribute list being read, while it is short.
    const char* key_ptr_[kAttrScanLimit];
    std::size_t key_len_[kAttrScanLimit];

    // CDATA sections without an end: once no "]]>" follows a position, none
    // follows a later one.
    u64 no_cdata_end_from_ = kNone;
    u64 last_bracket_ = kNone;
    bool last_bracket_known_ = false;
};

template <bool kRawText, bool kStream>
ParseOutcome Parser<kRawText, kStream>::run() {
    const Halt halt = scan();
    if (halt == Halt::Unclosed) return {nullptr, std::move(unclosed_), 0};
    if (walking_) {
        if (!frames_.empty()) {
            return {nullptr, CoreError::never_closed(std::string(frame_name(frames_.back()))), 0};
        }
        if (any_root_) return {nullptr, CoreError::malformed("no element found in document", n_), 0};
        return {nullptr, CoreError::root_not_found(std::string(root_)), 0};
    }
    if (error_) return {nullptr, std::move(error_), 0};
    return {result_, std::nullopt, nodes_};
}

template <bool kRawText, bool kStream>
StreamStep Parser<kRawText, kStream>::step() {
    switch (scan()) {
        case Halt::NeedInput: return StreamStep::NeedInput;
        case Halt::Node: return StreamStep::Node;
        case Halt::Unclosed:
            error_ = std::move(unclosed_);
            return StreamStep::Error;
        case Halt::End: break;
    }
    if (error_) return StreamStep::Error;
    if (walking_ && !frames_.empty()) {
        error_ = CoreError::never_closed(std::string(frame_name(frames_.back())));
        return StreamStep::Error;
    }
    return StreamStep::End;
}

template <bool kRawText, bool kStream>
u64 Parser<kRawText, kStream>::keep_from() const noexcept {
    u64 keep = q_;
    if (!pending_.empty()) keep = std::min(keep, pending_.front().start);
    if (outer_pending_ != 0) keep = std::min(keep, frames_[outer_pending_ - 1].pending_off);
    // The text of the markup before q_, which the next record may start from.
    return std::min(keep, prev_end_ == 0 ? u64{0} : prev_end_ + 1);
}

template <bool kRawText, bool kStream>
typename Parser<kRawText, kStream>::Halt Parser<kRawText, kStream>::scan() {
    const char* const d = d_;
    const u64 n = n_;
#define ARBOLITE_MORE_OR(result)                    \
    do {                                             \
        if (!at_end()) return Halt::NeedInput;       \
        result;                                      \
    } while (0)
    for (;;) {
        if (done_) return Halt::Node;
        if (kStream && error_) return Halt::End;  // a stream reports its error where it is found
        const u64 q = q_;
        u64 p;
        const bool in_element = inside();
        // A stream that waited for the next '<' searches on from where it
        // stopped: a long run of text read in small pieces is scanned once.
        const bool resume = kStream && text_searched_.q == q;
        const u64 from = resume ? text_searched_.to : q;
        bool amp = resume && text_searched_.amp;
        if (in_element && !amp) {
            // Character data inside the element is read later; whether it
            // holds a reference is noted on the way to the next '<'.
            p = Simd::template find_any<'<', '&'>(d, from, n);
            if (p < n && d[p] == '&') {
                amp = true;
                p = Simd::template find_any<'<'>(d, p + 1, n);
            }
        } else {
            p = Simd::template find_any<'<'>(d, from, n);
        }
        if (p >= n) {
            if (!at_end()) {
                text_searched_ = {q, n, amp};
                return Halt::NeedInput;
            }
            return Halt::End;
        }
        // The character data since the previous markup, read by the walk when
        // it reaches the next record, and only inside the element. It is
        // queued once the record that follows is known to be whole.
        const u64 t = prev_end_ == 0 ? 0 : prev_end_ + 1;
        Range text{t, p, amp};
        if (!in_element || t >= p || skippable_space(t, p, amp)) text.end = text.start;
        if (p + 1 >= n) {
            ARBOLITE_MORE_OR(unclosed_ = CoreError::unclosed_tag(p); return Halt::Unclosed);
        }
        const char c = d[p + 1];
        u64 end, name_off = 0, name_len = 0;
        Kind kind;
        if (c == '/') {
            if (in_element) {
                // The end tag of the innermost element, written plainly: the
                // name cannot hold white space or '>', so the markup layer
                // would find this very name and end.
                Frame& f = frames_.back();
                const u64 close = p + 2 + f.name_len;
                // Both names lie in the input (a stream's are copied out):
                // one vector compare when a whole vector can be read at each.
                const bool vector_compare =
                    !kStream && f.name_len <= Simd::W && close + Simd::W <= n && f.name_off + Simd::W <= n;
                if (close < n && d[close] == '>' &&
                    (vector_compare ? Simd::same_head(d + p + 2, d + f.name_off, f.name_len)
                                    : same_bytes(d + p + 2, frame_name(f).data(), f.name_len))) {
                    if (pending_.empty() && !text.amp && f.pending_len == 0 && text_.size() == f.text_start) {
                        // The element's one piece of character data, with no
                        // reference in it: taken from the input as it stands.
                        f.pending_off = text.start;
                        f.pending_len = text.end - text.start;
                        held_pending();
                        close_frame();
                    } else {
                        queue_text(text);
                        if (take_pending()) close_frame();
                    }
                    prev_end_ = close;
                    q_ = close + 1;
                    continue;
                }
            }
            const u64 k = Simd::template find_class<kEndNameEnd, '>'>(d, name_from(p, p + 2), n);
            if (k >= n) name_searched_ = {p, n};
            end = gt_.from(d, n, k);
            if (end >= n) ARBOLITE_MORE_OR(unclosed_ = CoreError::unclosed_tag(p); return Halt::Unclosed);
            name_off = p + 2;
            name_len = k - name_off;
            kind = Kind::Close;
        } else if (c == '!') {
            if (p + 4 > n || (p + 9 > n && (d[p + 2] == '[' || d[p + 2] == 'D'))) {
                // Too little to tell a comment, a CDATA section or a document
                // type from another declaration.
                if (!at_end()) return Halt::NeedInput;
            }
            if (p + 4 <= n && d[p + 2] == '-' && d[p + 3] == '-') {
                end = comment_end(p);
                if (end >= n) ARBOLITE_MORE_OR((void)0);
                kind = Kind::Comment;
            } else if (p + 9 <= n && std::memcmp(d + p + 2, "[CDATA[", 7) == 0) {
                end = cdata_end(p);
                if (end == kNone) return Halt::NeedInput;
                kind = Kind::CData;
            } else if (p + 9 <= n && std::memcmp(d + p + 2, "DOCTYPE", 7) == 0) {
                // No record either, unless it never ends: its internal subset
                // may hold '>' and markup that is not the document's.
                end = doctype_end(p);
                if (end == kNone) return Halt::NeedInput;
                if (end < n) {
                    queue_text(text);
                    prev_end_ = end;
                    q_ = end + 1;
                    continue;
                }
                kind = Kind::Doctype;
            } else {
                // A declaration: no record; the text after it starts past its '>'.
                const u64 g = gt_.from(d, n, p);
                if (g >= n) ARBOLITE_MORE_OR((void)0);
                end = g >= n ? p : g;
                queue_text(text);
                prev_end_ = end;
                q_ = end + 1;
                continue;
            }
        } else if (c == '?') {
            u64 name_end;
            end = pi_end(p, name_end);
            if (end == kNone) return Halt::NeedInput;
            name_off = p + 2;
            name_len = name_end - name_off;
            kind = Kind::Pi;
        } else {
            const u64 k = Simd::template find_class<kStartNameEnd, '/', '>'>(d, name_from(p, p + 1), n);
            if (k >= n) name_searched_ = {p, n};
            if (k >= n) ARBOLITE_MORE_OR(unclosed_ = CoreError::unclosed_tag(p); return Halt::Unclosed);
            name_off = p + 1;
            name_len = k - name_off;
            // A tag already found cut short is read by the two layers, which
            // resume where they stopped.
            if (walking_ && name_len != 0 && !searched(p, Kind::Open) && builds(in(name_off, name_len)) &&
                (attributes_by_line(k) ? fast_start_tag<typename Simd::template TagScan<PlainTagScan>>(p, k, text, end)
                                       : fast_start_tag<PlainTagScan>(p, k, text, end))) {
                prev_end_ = end;
                q_ = end + 1;
                continue;
            }
            u64 after_strings;
            end = open_tag_end(p, k, after_strings);
            if (end == kNone) return Halt::NeedInput;
            if (end >= n) {
                unclosed_ = CoreError::unclosed_tag(p);
                return Halt::Unclosed;
            }
            // A '/' right before the '>' counts only if the scan reached it.
            kind = end > after_strings && d[end - 1] == '/' ? Kind::SelfClose : Kind::Open;
        }
        queue_text(text);
        if (walking_) walk(p, end, kind, name_off, name_len);
        prev_end_ = end;
        q_ = end + 1;
    }
#undef ARBOLITE_MORE_OR
}

// The '>' that ends a start tag whose name ends at `k`, or n. Quoted strings
// are stepped over whole; a quote with no partner later in the input is
// skipped with the byte after it. `after_strings` is where the last step
// left off.
template <bool kRawText, bool kStream>
u64 Parser<kRawText, kStream>::open_tag_end(u64 p, u64 k, u64& after_strings) noexcept {
    u64 i = k, from = k;
    if (searched(p, Kind::Open)) {
        i = markup_searched_.after;
        from = markup_searched_.from;
        if (const u64 g = markup_searched_.open; g != kNone) {
            const u64 close = Simd::find_char(d_, from, n_, d_[g]);
            if (close >= n_ && !at_end()) {
                markup_searched_.from = n_;
                return kNone;
            }
            i = from = close >= n_ ? g + 2 : close + 1;
        }
    }
    for (;;) {
        const u64 g = Simd::template find_any<'>', '"', '\''>(d_, from, n_);
        if (g >= n_ && !at_end()) {
            // The rest of the tag is still to come.
            markup_searched_ = {p, Kind::Open, n_, i, kNone, false};
            return kNone;
        }
        if (g >= n_ || d_[g] == '>') {
            after_strings = i;
            return g;
        }
        const u64 close = Simd::find_char(d_, g + 1, n_, d_[g]);
        // Whether a partner comes later is known only at the end of the input.
        if (close >= n_ && !at_end()) {
            markup_searched_ = {p, Kind::Open, n_, i, g, false};
            return kNone;
        }
        i = from = close >= n_ ? g + 2 : close + 1;
    }
}

template <bool kRawText, bool kStream>
u64 Parser<kRawText, kStream>::comment_end(u64 p) noexcept {
    // The '>' of the first "-->" that starts at or after p + 4.
    for (u64 i = searched(p, Kind::Comment) ? std::max(p + 6, markup_searched_.from) : p + 6;;) {
        const u64 g = Simd::template find_any<'>'>(d_, i, n_);
        if (g >= n_) {
            if (!at_end()) markup_searched_ = {p, Kind::Comment, n_, 0, kNone, false};
            return n_;
        }
        if (d_[g - 1] == '-' && d_[g - 2] == '-') return g;
        i = g + 1;
    }
}

template <bool kRawText, bool kStream>
u64 Parser<kRawText, kStream>::cdata_end(u64 p) noexcept {
    if (p + 9 < no_cdata_end_from_) {
        for (u64 i = searched(p, Kind::CData) ? std::max(p + 11, markup_searched_.from) : p + 11;;) {
            const u64 g = Simd::template find_any<'>'>(d_, i, n_);
            if (g >= n_) break;
            if (d_[g - 1] == ']' && d_[g - 2] == ']') return g;
            i = g + 1;
        }
        if (!at_end()) {
            markup_searched_ = {p, Kind::CData, n_, 0, kNone, false};
            return kNone;  // the end may still come
        }
        no_cdata_end_from_ = p + 9;
    }
    // No end: one past the last ']' a search for "]]>" would have looked at
    // (only those from p + 9 on matter, and the window holds them).
    if (!last_bracket_known_) {
        const void* last = n_ > base_ ? memrchr(d_ + base_, ']', n_ - base_) : nullptr;
        last_bracket_ = last ? static_cast<u64>(static_cast<const char*>(last) - d_) : kNone;
        last_bracket_known_ = true;
    }
    return last_bracket_ != kNone && last_bracket_ >= p + 9 ? last_bracket_ + 1 : p + 9;
}

template <bool kRawText, bool kStream>
u64 Parser<kRawText, kStream>::pi_end(u64 p, u64& name_end) noexcept {
    u64 k = name_from(p, p + 2);
    while (k < n_ && !has_class(d_[k], kPiNameEnd)) ++k;
    name_end = k;
    if (k + 1 >= n_ && !at_end()) {
        name_searched_ = {p, k};
        return kNone;
    }
    if (k == n_) return n_;
    if (k + 1 == n_) return k;
    // The first "?>" at or after k; without one, the last byte of the input.
    for (u64 i = searched(p, Kind::Pi) ? std::max(k, markup_searched_.from) : k;;) {
        const u64 qm = Simd::find_char(d_, i, n_ - 1, '?');
        if (qm >= n_ - 1) {
            if (at_end()) return n_ - 1;
            markup_searched_ = {p, Kind::Pi, n_ - 1, 0, kNone, false};
            return kNone;
        }
        if (d_[qm + 1] == '>') return qm + 1;
        i = qm + 1;
    }
}

// The '>' that ends the document type declaration at p, or n when the input
// ends first. Quoted literals are stepped over whole, and inside the internal
// subset so are comments and processing instructions: any of them may hold
// '>', ']' or what looks like an element.
template <bool kRawText, bool kStream>
u64 Parser<kRawText, kStream>::doctype_end(u64 p) noexcept {
    const u64 n = n_;
    const auto wait = [&](u64 from, u64 open, bool subset) noexcept {
        markup_searched_ = {p, Kind::Doctype, from, 0, open, subset};
        return at_end() ? n : kNone;
    };
    u64 i = p + 9;
    bool subset = false;
    if (searched(p, Kind::Doctype)) {
        i = markup_searched_.from;
        subset = markup_searched_.subset;
        if (const u64 g = markup_searched_.open; g != kNone) {
            const u64 e = doctype_item_end(g, i);
            if (e >= n) return wait(item_resume(g), g, subset);
            i = e + 1;
        }
    }
    for (;;) {
        const u64 g = subset ? Simd::template find_any<']', '"', '\'', '<'>(d_, i, n)
                             : Simd::template find_any<'>', '"', '\'', '['>(d_, i, n);
        if (g >= n) return wait(n, kNone, subset);
        const char c = d_[g];
        if (c == '>') return g;
        if (c == '[' || c == ']') {
            subset = c == '[';
            i = g + 1;
            continue;
        }
        u64 from = g + 1;
        if (c == '<') {
            if (g + 4 > n) return wait(g, kNone, subset);
            if (d_[g + 1] == '?') {
                from = g + 2;
            } else if (d_[g + 1] == '!' && d_[g + 2] == '-' && d_[g + 3] == '-') {
                from = g + 4;
            } else {
                // A markup declaration: its literals are met one by one.
                i = g + 1;
                continue;
            }
        }
        const u64 e = doctype_item_end(g, from);
        if (e >= n) return wait(item_resume(g), g, subset);
        i = e + 1;
    }
}

// The last byte of the literal, comment or processing instruction at g of a
// document type declaration, searched for from `from`; n when it is not in
// the input.
template <bool kRawText, bool kStream>
u64 Parser<kRawText, kStream>::doctype_item_end(u64 g, u64 from) noexcept {
    const u64 n = n_;
    const char c = d_[g];
    if (c != '<') return Simd::find_char(d_, from, n, c);
    if (d_[g + 1] == '?') {
        for (u64 i = from;;) {
            const u64 qm = Simd::find_char(d_, i, n, '?');
            if (qm + 1 >= n) return n;
            if (d_[qm + 1] == '>') return qm + 1;
            i = qm + 1;
        }
    }
    for (u64 i = from;;) {
        const u64 gt = Simd::template find_any<'>'>(d_, i, n);
        if (gt >= n) return n;
        if (gt >= g + 6 && d_[gt - 1] == '-' && d_[gt - 2] == '-') return gt;
        i = gt + 1;
    }
}

// Where the search for the end of that item goes on once more input comes:
// every position before it has been looked at (a '?' in the last byte waits
// for the '>' that may follow).
template <bool kRawText, bool kStream>
u64 Parser<kRawText, kStream>::item_resume(u64 g) const noexcept {
    if (d_[g] == '<' && d_[g + 1] == '?') return std::max(g + 2, n_ - 1);
    return n_;
}

// ------------------------------------------------------------------ the walk

// The character data before the record being walked, into the innermost
// element's text.
template <bool kRawText, bool kStream>
[[gnu::always_inline]] inline bool Parser<kRawText, kStream>::take_pending() {
    if (pending_.empty()) return true;
    for (const Range& r : pending_) {
        if (!add_text(r.start, r.end - r.start, r.amp)) return false;
    }
    pending_.clear();
    return true;
}

template <bool kRawText, bool kStream>
void Parser<kRawText, kStream>::walk(u64 s, u64 e, Kind kind, u64 name_off, u64 name_len) {
    if (e >= n_) {
        return fail(CoreError::malformed(kind == Kind::Doctype ? CoreError::Code::UnterminatedDoctype : CoreError::Code::UnterminatedMarkup, s));
    }
    if (!frames_.empty() && !take_pending()) return;
    if (kStream && (kind == Kind::Open || kind == Kind::SelfClose)) {
        // Every element of a stream is checked; those of a match are built.
        Node* node = nullptr;
        if (!start_tag(s, e, kind, name_off, name_len, builds(in(name_off, name_len)), node)) return;
        opened(node, kind, name_off, name_len);
        return;
    }
    switch (kind) {
        case Kind::Open: {
            if (frames_.empty() && !any_root_ && in(name_off, name_len) != root_) {
                if (name_len == 0) return fail(CoreError::malformed(CoreError::Code::ExpectedElementName, s));
                outer_.push_back(Range{name_off, name_off + name_len, false});
                return;
            }
            Node* node;
            if (!start_tag(s, e, kind, name_off, name_len, true, node)) return;
            opened(node, kind, name_off, name_len);
            return;
        }
        case Kind::SelfClose: {
            const bool build = !frames_.empty() || any_root_ || in(name_off, name_len) == root_;
            Node* node = nullptr;
            if (!start_tag(s, e, kind, name_off, name_len, build, node)) return;
            if (build) opened(node, kind, name_off, name_len);
            return;
        }
        case Kind::Close:
            end_tag(s, e, name_off, name_len);
            return;
        case Kind::Comment:
            if (e < s + 6 || std::memcmp(d_ + e - 2, "-->", 3) != 0) {
                fail(CoreError::malformed(CoreError::Code::UnterminatedComment, s));
            }
            return;
        case Kind::CData:
            if (e < s + 11 || std::memcmp(d_ + e - 2, "]]>", 3) != 0) {
                return fail(CoreError::malformed(CoreError::Code::UnterminatedCdata, s));
            }
            if (!frames_.empty() && e - 2 > s + 9) add_text(s + 9, e - 2 - (s + 9), false);
            return;
        case Kind::Pi:
            if (d_[e - 1] != '?' || d_[e] != '>') fail(CoreError::malformed(CoreError::Code::UnterminatedProcessingInstruction, s));
            return;
        case Kind::Doctype:
            return;  // only an unterminated one is a record, failed above
    }
}

// A node was built for a start tag (or an empty-element tag): it joins the
// tree, and an open one becomes the innermost frame.
template <bool kRawText, bool kStream>
[[gnu::always_inline]] inline void Parser<kRawText, kStream>::opened(Node* node, Kind kind, u64 name_off, u64 name_len) {
    const bool is_root = frames_.empty();
    if constexpr (kStream) {
        bool starts_match = false;
        if (node) {
            if (match_depth_ == kNoMatch) {
                match_depth_ = frames_.size();
                starts_match = true;
            } else {
                link(node);
            }
        }
        if (kind == Kind::Open) {
            // The name is copied: the window moves on before the end tag comes.
            const u64 at = names_.size();
            names_.append(d_ + name_off, name_len);
            frames_.push_back(Frame{node, nullptr, at, name_len, text_.size(), 0, 0});
        } else {
            if (starts_match) match_done(node);
        }
        return;
    }
    if (!is_root) link(node);
    if (kind == Kind::Open) {
        frames_.push_back(Frame{node, nullptr, name_off, name_len, text_.size(), 0, 0});
    } else if (is_root) {
        result_ = node;
        walking_ = false;
    }
}

// A stream's match is complete: its arena is handed over with it.
template <bool kRawText, bool kStream>
void Parser<kRawText, kStream>::match_done(Node* node) noexcept {
    match_bytes_ = match_arena_.publish();
    arena_ = nullptr;
    match_depth_ = kNoMatch;
    done_ = node;
    done_nodes_ = nodes_;
    nodes_ = 0;
}

template <bool kRawText, bool kStream>
[[gnu::always_inline]] inline void Parser<kRawText, kStream>::link(Node* child) {
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

// Fills in the header of a node whose name and attributes were written at
// block + sizeof(Node) up to `end`, and commits it.
template <bool kRawText, bool kStream>
[[gnu::always_inline]] inline Node* Parser<kRawText, kStream>::finish_node(char* block, char* end, std::uint32_t count) {
    Node* node = commit_parsed_node(*arena_, block, end, count, 0, type_, keys_);
    ++nodes_;
    return node;
}

// Whether `name`, the key of the entry at `entry`, repeats one of the
// `count` keys before it: a scan while the list is short, a keyed hash set
// from then on.
template <bool kRawText, bool kStream>
[[gnu::always_inline]] inline bool Parser<kRawText, kStream>::duplicate_key(const char* first, const char* entry, std::uint32_t count, std::string_view name) {
    if (count < kAttrScanLimit) {
        for (std::uint32_t k = 0; k < count; ++k) {
            if (key_len_[k] == name.size() && same_bytes(key_ptr_[k], name.data(), name.size())) return true;
        }
        key_ptr_[count] = name.data();
        key_len_[count] = name.size();
        return false;
    }
    if (count == kAttrScanLimit) {
        keys_.reset();
        for (AttrRange::iterator it(first, count); it.position() != entry; ++it) {
            keys_.insert(first, static_cast<u64>(it.position() - first));
        }
    }
    return !keys_.insert(first, static_cast<u64>(entry - first));
}

// The fast path for the start tag of a node to build, whose name ends at
// `name_end`: reads the attributes while it looks for the tag's end, writing
// the node as it goes. It finishes only where the two layers would agree:
// at a '>' or "/>" between attributes, after attributes each of the plain
// form name, optional white space, '=', optional white space, a quoted value
// whose closing quote is the next such quote in the input, no '<' in a value,
// references that decode, no duplicate. Every quote it met then opened a
// value, so the markup layer would have stepped over the same strings and
// stopped at the same '>'. Anything else returns false having changed
// nothing, and the two layers run as usual. The record's character data is
// queued only once the tag is known whole, so a stream that must wait for
// more input finds everything as it was.
template <bool kRawText, bool kStream>
template <class Scan>
bool Parser<kRawText, kStream>::fast_start_tag(u64 p, u64 name_end, const Range& text, u64& end) {
    const char* d = d_;
    const u64 n = n_;
    const char* const input_end = d + n;
    const u64 name_len = name_end - (p + 1);
    // Room for the node and its name; each attribute asks for its own.
    std::size_t room = sizeof(Node) + kMaxVarintBytes + name_len + 64 + 2 * Simd::W;
    char* block = build_arena().reserve(room);
    char* out = put_varint(block + sizeof(Node), name_len);
    Simd::copy(out, d + p + 1, name_len, input_end);
    out += name_len;
    char* first = out;
    std::uint32_t count = 0;
    u64 pos = name_end, last_end = name_end;
    Kind kind;
    Scan scan(d, n);
    for (;;) {
        pos = scan.skip_space(pos);
        if (pos >= n) return false;
        if (d[pos] == '>') {
            end = pos;
            kind = Kind::Open;
            break;
        }
        if (d[pos] == '/' && pos + 1 < n && d[pos + 1] == '>') {
            end = pos + 1;
            kind = Kind::SelfClose;
            break;
        }
        if (pos == last_end) return false;
        const u64 name_start = pos;
        pos = scan.name_end(pos);
        u64 key_len = pos - name_start;
        if (pos + 1 < n && d[pos] == '=' && key_len != 0 && (d[pos + 1] == '"' || d[pos + 1] == '\'')) {
            ++pos;  // the common form: name="value"
        } else {
            // A '/' not before a '>' is part of the name.
            while (pos < n && d[pos] == '/' && !(pos + 1 < n && d[pos + 1] == '>')) pos = scan.name_end(pos + 1);
            if (pos >= n || pos == name_start) return false;
            key_len = pos - name_start;
            if (d[pos] == '>' || d[pos] == '/') return false;
            while (pos < n && has_class(d[pos], kTagSpace)) ++pos;
            if (pos >= n || d[pos] != '=') return false;
            ++pos;
            while (pos < n && has_class(d[pos], kTagSpace)) ++pos;
            if (pos >= n || (d[pos] != '"' && d[pos] != '\'')) return false;
        }
        const u64 vs = pos + 1;
        const u64 stop = scan.value_stop(vs, d[pos]);
        if (stop >= n || d[stop] == '<') return false;
        const bool plain = d[stop] == d[pos];
        const u64 close = plain ? stop : Simd::find_char(d, stop, n, d[pos]);
        if (close >= n) return false;
        const u64 raw = close - vs;
        // Make room for this entry (decoded values are never longer than
        // their source); the partial node moves when the slab is full.
        const std::size_t need = static_cast<std::size_t>(out - block) + 2 * kMaxVarintBytes + key_len + raw + 2 * Simd::W;
        if (need > room) {
            room = need + need / 2;
            char* moved = arena_->grow(block, static_cast<std::size_t>(out - block), room);
            if (moved != block) {
                for (std::uint32_t k = 0; k < count && k < kAttrScanLimit; ++k) {
                    if (key_ptr_[k] >= block && key_ptr_[k] < out) key_ptr_[k] = moved + (key_ptr_[k] - block);
                }
                first = moved + (first - block);
                out = moved + (out - block);
                block = moved;
            }
        }
        char* const entry = out;
        char* const key = put_varint(out, key_len);
        Simd::copy(key, d + name_start, key_len, input_end);
        out = key + key_len;
        if (plain) {
            out = put_varint(out, raw);
            Simd::copy(out, d + vs, raw, input_end);
            out += raw;
        } else {
            if (Simd::template find_any<'<'>(d, stop, close) < close) return false;
            const std::size_t width = varint_size(raw);
            CoreError ignored;
            char* value_end = decode_references(in(vs, raw), vs, true, out + width, ignored);
            if (!value_end) return false;
            const u64 len = static_cast<u64>(value_end - (out + width));
            const std::size_t fits = varint_size(len);
            if (fits != width) std::memmove(out + fits, out + width, static_cast<std::size_t>(len));
            out = put_varint(out, len) + len;
        }
        if (duplicate_key(first, entry, count, {key, static_cast<std::size_t>(key_len)})) return false;
        if (count == UINT32_MAX) throw std::bad_alloc();  // more attributes than a node can count
        ++count;
        pos = close + 1;
        last_end = pos;
    }
    // The tag is whole and sound: now the character data before it (whose
    // errors come first) and the node.
    queue_text(text);
    if (!frames_.empty() && !take_pending()) return true;  // the walk failed; the tag still ends here
    Node* node = finish_node(block, out, count);
    opened(node, kind, p + 1, name_len);
    return true;
}

// Reads a start tag or an empty-element tag. With `build`, its node is
// written to the arena (and counted); otherwise the attributes are only checked.
template <bool kRawText, bool kStream>
bool Parser<kRawText, kStream>::start_tag(u64 s, u64 e, Kind kind, u64 name_off, u64 name_len, bool build, Node*& made) {
    if (name_len == 0) {
        fail(CoreError::malformed(CoreError::Code::ExpectedElementName, s));
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
        block = build_arena().reserve(bound);
    } else {
        scratch_.resize(bound);
        block = scratch_.data();
    }
    char* out = put_string(block + sizeof(Node), in(name_off, name_len));
    char* end = out;
    std::uint32_t count = 0;
    if (rs < re && !attributes(rs, re, out, end, count)) return false;
    if (build) made = finish_node(block, end, count);
    return true;
}

// The attributes between a tag's name and its end, written at `out` as
// length-prefixed keys and values.
template <bool kRawText, bool kStream>
bool Parser<kRawText, kStream>::attributes(u64 rs, u64 re, char* out, char*& end, std::uint32_t& count) {
    const char* d = d_;
    char* const first = out;
    u64 pos = rs, last_end = rs;
    for (;;) {
        while (pos < re && has_class(d[pos], kTagSpace)) ++pos;
        if (pos == re) break;
        if (pos == last_end) {
            fail(CoreError::malformed(CoreError::Code::ExpectedWhitespace, pos));
            return false;
        }
        const u64 name_start = pos;
        while (pos < re && !has_class(d[pos], kAttrNameEnd)) ++pos;
        if (pos == name_start) {
            fail(CoreError::malformed(CoreError::Code::ExpectedAttributeName, pos));
            return false;
        }
        const std::string_view name = in(name_start, pos - name_start);
        while (pos < re && has_class(d[pos], kTagSpace)) ++pos;
        if (pos == re || d[pos] != '=') {
            fail(CoreError::malformed(CoreError::Code::AttributeWithoutValue, name, name_start));
            return false;
        }
        ++pos;
        while (pos < re && has_class(d[pos], kTagSpace)) ++pos;
        if (pos == re || (d[pos] != '"' && d[pos] != '\'')) {
            fail(CoreError::malformed(CoreError::Code::UnquotedAttributeValue, name, pos));
            return false;
        }
        const u64 vs = pos + 1;
        const u64 close = Simd::find_char(d, vs, re, d[pos]);
        if (close >= re) {
            fail(CoreError::malformed(CoreError::Code::UnterminatedAttributeValue, vs));
            return false;
        }
        const u64 special = Simd::template find_any<'<', '&', '\t', '\n', '\r'>(d, vs, close);
        char* const entry = out;
        char* const key = put_varint(out, name.size());
        std::memcpy(key, name.data(), name.size());
        out = key + name.size();
        if (special >= close) {
            out = put_string(out, in(vs, close - vs));
        } else {
            const u64 lt = d[special] == '<' ? special : Simd::template find_any<'<'>(d, special, close);
            if (lt < close) {
                fail(CoreError::malformed(CoreError::Code::LtInAttributeValue, lt));
                return false;
            }
            // Decoded in place after a prefix sized for the raw length; the
            // prefix shrinks (and the value moves down) when the decoded
            // length needs fewer bytes.
            const u64 raw = close - vs;
            const std::size_t width = varint_size(raw);
            CoreError error;
            char* value_end = decode_references(in(vs, raw), vs, true, out + width, error);
            if (!value_end) {
                fail(std::move(error));
                return false;
            }
            const u64 len = static_cast<u64>(value_end - (out + width));
            const std::size_t fits = varint_size(len);
            if (fits != width) std::memmove(out + fits, out + width, static_cast<std::size_t>(len));
            out = put_varint(out, len) + len;
        }
        if (duplicate_key(first, entry, count, {key, name.size()})) {
            fail(CoreError::malformed(CoreError::Code::DuplicateAttribute, name, name_start));
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

// Appends a piece of character data to the innermost frame's text.
template <bool kRawText, bool kStream>
bool Parser<kRawText, kStream>::add_text(u64 off, u64 len, bool decode) {
    Frame& f = frames_.back();
    if (!f.node) {
        // An element only checked: its text is decoded for its errors, not kept.
        if (!decode) return true;
        scratch_.resize(len);
        CoreError error;
        if (!decode_references(in(off, len), off, false, scratch_.data(), error)) {
            fail(std::move(error));
            return false;
        }
        return true;
    }
    if (text_.size() == f.text_start && f.pending_len == 0) {
        if constexpr (!kRawText) {
            // Leading White_Space is trimmed anyway; dropping it now keeps the
            // white space between child elements from ever being copied. Raw
            // white space decodes to itself, so this is safe before decoding too.
            const std::size_t lead = leading_space(d_ + off, static_cast<std::size_t>(len));
            off += lead;
            len -= lead;
            if (len == 0) return true;
        }
        if (!decode) {
            f.pending_off = off;
            f.pending_len = len;
            held_pending();
            return true;
        }
    } else if (f.pending_len != 0) {
        text_.append(d_ + f.pending_off, f.pending_len);
        f.pending_len = 0;
        dropped_pending();
    }
    if (!decode) {
        text_.append(d_ + off, len);
        return true;
    }
    const u64 at = text_.size();
    text_.reserve(at + len);
    CoreError error;
    char* out = decode_references(in(off, len), off, false, text_.data() + at, error);
    if (!out) {
        fail(std::move(error));
        return false;
    }
    text_.resize(static_cast<u64>(out - text_.data()));
    return true;
}

template <bool kRawText, bool kStream>
bool Parser<kRawText, kStream>::end_tag(u64 s, u64 e, u64 name_off, u64 name_len) {
    const std::string_view name = in(name_off, name_len);
    const u64 name_end = name_off + name_len;
    if (name_end != e && !all_white_space(in(name_end, e - name_end))) {
        fail(CoreError::malformed(CoreError::Code::MalformedEndTag, name, s));
        return false;
    }
    std::string_view expected;
    if (!frames_.empty()) {
        expected = frame_name(frames_.back());
    } else if (!outer_.empty()) {
        expected = in(outer_.back().start, outer_.back().end - outer_.back().start);
    } else {
        fail(CoreError::malformed(CoreError::Code::UnexpectedEndTag, name, s));
        return false;
    }
    if (expected != name) {
        fail(CoreError::mismatched_end_tag(expected, name, s));
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
template <bool kRawText, bool kStream>
void Parser<kRawText, kStream>::close_frame() {
    Frame& f = frames_.back();
    Node* node = f.node;
    if (node) {
        std::string_view all;
        if (text_.size() > f.text_start) {
            all = std::string_view(text_.data() + f.text_start, static_cast<std::size_t>(text_.size() - f.text_start));
        } else if (f.pending_len != 0) {
            all = in(f.pending_off, f.pending_len);
        }
        const std::string_view trimmed = kRawText ? all : trim_text(all);
        if (!trimmed.empty()) {
            const TextRoom room = reserve_text(*arena_, trimmed.size(), Simd::W);
            const bool from_input = trimmed.data() >= d_ + base_ && trimmed.data() < d_ + n_;
            Simd::copy(room.bytes, trimmed.data(), trimmed.size(), from_input ? d_ + n_ : trimmed.data() + trimmed.size());
            commit_text(*arena_, node, room, trimmed.size());
        }
    }
    text_.resize(f.text_start);
    if constexpr (kStream) {
        dropped_pending();
        names_.resize(f.name_off);
        frames_.pop_back();
        // Past the document element the walk goes on, as a whole read's
        // would: what follows is checked, and a later match is found.
        if (node && frames_.size() == match_depth_) match_done(node);
        return;
    }
    frames_.pop_back();
    if (frames_.empty()) {
        result_ = node;
        walking_ = false;
    }
}

}  // namespace

ParseOutcome parse(std::string_view text, const ReadOptions& options, Arena& arena) {
    if (options.raw_text) return Parser<true, false>(text, options, arena).run();
    return Parser<false, false>(text, options, arena).run();
}

namespace {

class Stream final : public StreamParser {
public:
    explicit Stream(const ReadOptions& options) : tag_(options.root_tag), parser_(with_tag(options, tag_)) {}
    void window(const char* data, std::uint64_t base, std::uint64_t size, bool eof) noexcept override {
        parser_.window(data, base, size, eof);
    }
    StreamStep step() override { return parser_.step(); }
    std::uint64_t keep_from() const noexcept override { return parser_.keep_from(); }
    Node* take_node(std::uint64_t& node_count) noexcept override {
        return parser_.take_node(node_count);
    }
    CoreError take_error() noexcept override { return parser_.take_error(); }

private:
    static ReadOptions with_tag(ReadOptions options, std::string_view tag) noexcept {
        options.root_tag = tag;
        return options;
    }
    std::string tag_;  // the parser keeps a view of it
    Parser<false, true> parser_;
};

}  // namespace

std::unique_ptr<StreamParser> make_stream(const ReadOptions& options) {
    return std::make_unique<Stream>(options);
}
