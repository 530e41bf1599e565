// Paths to programs. The tokens are those of ElementTree's tokenizer, and a
// path with none of / * [ @ . outside braces is one child name, as
// ElementTree's findall takes it; the steps and predicate forms, and the
// messages of what it refuses, follow ElementPath.
#include <algorithm>
#include <string>

#include "core/path/program.hpp"

namespace arbolite {
namespace {

enum class Tok : std::uint8_t {
    Name,
    Space,
    Quoted,
    Slash,
    SlashSlash,
    Dot,
    DotDot,
    Star,
    Open,
    Close,
    Paren,  // ( or ) alone
    Call,   // ()
    At,
    Eq,
    NotEq,
    Colon,
    ColonColon,
};

struct Token {
    Tok type;
    std::size_t begin, end;
    std::string_view text;  // a name, a quoted string's content, or the token itself
};

// The code point at s[i] and its length; the text is valid UTF-8.
std::uint32_t code_point(std::string_view s, std::size_t i, std::size_t& len) noexcept {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        len = 1;
        return b;
    }
    len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
    std::uint32_t cp = b & (0x3F >> (len - 1));
    for (std::size_t k = 1; k < len && i + k < s.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return cp;
}

// What Python's \s matches in a str.
bool is_space(std::uint32_t cp) noexcept {
    if (cp <= 0x20) return (cp >= 9 && cp <= 13) || cp >= 0x1C;
    return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 ||
           cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool is_name_char(std::string_view s, std::size_t i, std::size_t& len) noexcept {
    const std::uint32_t cp = code_point(s, i, len);
    switch (cp) {
        case '/': case '[': case ']': case '(': case ')': case '@': case '!': case '=': return false;
        default: return !is_space(cp);
    }
}

std::size_t name_end(std::string_view s, std::size_t i) noexcept {
    std::size_t len;
    while (i < s.size() && is_name_char(s, i, len)) i += len;
    return i;
}

struct Fail {
    std::string message;
    std::size_t begin, end;
};

using Tokens = std::vector<Token>;

// One token per match of ElementTree's tokenizer, but for a '!' without
// '=', which it skips and this refuses.
std::variant<Tokens, Fail> tokenize(std::string_view s) {
    Tokens out;
    std::size_t i = 0;
    auto add = [&](Tok t, std::size_t n) {
        out.push_back(Token{t, i, i + n, s.substr(i, n)});
        i += n;
    };
    auto next_is = [&](char c) { return i + 1 < s.size() && s[i + 1] == c; };
    while (i < s.size()) {
        const char c = s[i];
        if (c == '\'' || c == '"') {
            const std::size_t close = s.find(c, i + 1);
            if (close != std::string_view::npos) {
                out.push_back(Token{Tok::Quoted, i, close + 1, s.substr(i + 1, close - i - 1)});
                i = close + 1;
                continue;
            }
            // An unclosed quote starts a name.
        }
        switch (c) {
            case ':': add(next_is(':') ? Tok::ColonColon : Tok::Colon, next_is(':') ? 2 : 1); continue;
            case '/': add(next_is('/') ? Tok::SlashSlash : Tok::Slash, next_is('/') ? 2 : 1); continue;
            case '.': add(next_is('.') ? Tok::DotDot : Tok::Dot, next_is('.') ? 2 : 1); continue;
            case '(': add(next_is(')') ? Tok::Call : Tok::Paren, next_is(')') ? 2 : 1); continue;
            case ')': add(Tok::Paren, 1); continue;
            case '*': add(Tok::Star, 1); continue;
            case '[': add(Tok::Open, 1); continue;
            case ']': add(Tok::Close, 1); continue;
            case '@': add(Tok::At, 1); continue;
            case '=': add(Tok::Eq, 1); continue;
            case '!':
                if (next_is('=')) {
                    add(Tok::NotEq, 2);
                    continue;
                }
                return Fail{"expected '=' after '!'", i, i + 1};
            default: break;
        }
        std::size_t len;
        if (is_space(code_point(s, i, len))) {
            const std::size_t start = i;
            while (i < s.size() && is_space(code_point(s, i, len))) i += len;
            out.push_back(Token{Tok::Space, start, i, {}});
            continue;
        }
        // A name, with an optional {...} in front whose content is anything
        // but '}'.
        std::size_t end = i;
        if (c == '{') {
            const std::size_t close = s.find('}', i + 1);
            if (close != std::string_view::npos && close > i + 1) {
                const std::size_t after = name_end(s, close + 1);
                if (after > close + 1) end = after;
            }
        }
        if (end == i) end = name_end(s, i);
        if (end == i) end = i + len;  // not reached: every other character was taken above
        out.push_back(Token{Tok::Name, i, end, s.substr(i, end - i)});
        i = end;
    }
    return out;
}

// What ElementTree's findall treats as one child name: no path character
// outside braces, and not a {}tag or {*}tag wildcard.
bool is_plain_name(std::string_view s) noexcept {
    if (s.size() >= 3 && s[0] == '{' && (s[1] == '}' || (s[1] == '*' && s[2] == '}'))) return false;
    bool check = true;
    for (const char c : s) {
        if (c == '{') {
            check = false;
        } else if (c == '}') {
            check = true;
        } else if (check && (c == '/' || c == '*' || c == '[' || c == '@' || c == '.')) {
            return false;
        }
    }
    return true;
}

constexpr const char* kUriForm =
    "names are matched as written, prefixes included: write 'prefix:name' as the document does, not '{uri}name'";

// Python's int() of an ASCII numeral: a sign, digits, single underscores
// between digits. Saturates at INT64's range.
bool parse_int(std::string_view s, std::int64_t& out) noexcept {
    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i >= s.size()) return false;
    std::uint64_t v = 0;
    bool digit_before = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '_') {
            if (!digit_before || i + 1 >= s.size()) return false;
            digit_before = false;
            continue;
        }
        if (c < '0' || c > '9') return false;
        digit_before = true;
        v = v > (UINT64_MAX - 9) / 10 ? UINT64_MAX : v * 10 + static_cast<unsigned>(c - '0');
    }
    if (!digit_before) return false;
    const std::uint64_t cap = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    v = std::min(v, cap);
    out = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
    return true;
}

// The [n] form: ElementTree's \-?\d+ (ASCII digits here).
bool is_position(std::string_view s) noexcept {
    std::size_t i = s.size() > 1 && s[0] == '-' ? 1 : 0;
    if (i >= s.size()) return false;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
    }
    return true;
}

struct Step {
    OpKind kind;
    NameTest name;
    std::uint32_t test;
};
using Branch = std::vector<Step>;

class Compiler {
public:
    explicit Compiler(std::string_view path) : path_(path) {}

    std::variant<PathProgram, CoreError> run() {
        if (is_plain_name(path_)) {
            if (!path_.empty() && path_[0] == '{') return error(kUriForm, 0, path_.size());
            prog_.ops.reserve(2);
            prog_.ops.push_back(PathOp{OpKind::Child, element_name(path_), 0});
            prog_.ops.push_back(PathOp{});
            prog_.starts.push_back(0);
            return std::move(prog_);
        }
        branches_.emplace_back();
        auto tokenized = tokenize(path_);
        if (auto* f = std::get_if<Fail>(&tokenized)) return error(f->message, f->begin, f->end);
        Tokens tokens = std::move(std::get<Tokens>(tokenized));
        // As ElementTree does: a path ending in '/' ends in '/*'.
        if (path_.back() == '/') tokens.push_back(Token{Tok::Star, path_.size(), path_.size(), "*"});
        if (path_.front() == '/') return error("cannot use absolute path on element", 0, 1);
        std::size_t k = 0;
        while (k < tokens.size()) {
            const Token& t = tokens[k++];
            switch (t.type) {
                case Tok::Name:
                case Tok::Space: {
                    auto name = element_name_token(t);
                    if (!name) return std::move(*error_);
                    add_step(Step{OpKind::Child, *name, 0});
                    break;
                }
                case Tok::Star: add_step(Step{OpKind::Child, NameTest{}, 0}); break;
                case Tok::Dot: break;
                case Tok::DotDot: parent(); break;
                case Tok::SlashSlash: {
                    const Token* n = k < tokens.size() ? &tokens[k++] : nullptr;
                    if (!n || (n->type != Tok::Star && n->type != Tok::Name && n->type != Tok::Space)) {
                        return n ? error("invalid descendant", n->begin, n->end) : error("invalid descendant", t.begin, t.end);
                    }
                    NameTest name;
                    if (n->type != Tok::Star) {
                        auto named = element_name_token(*n);
                        if (!named) return std::move(*error_);
                        name = *named;
                    }
                    add_step(Step{OpKind::Descendant, name, 0});
                    break;
                }
                case Tok::Open:
                    if (!predicate(tokens, k, t)) return std::move(*error_);
                    break;
                default: return error("invalid path", t.begin, t.end);
            }
            check_size();
            if (error_) return std::move(*error_);
            if (k < tokens.size() && tokens[k].type == Tok::Slash) ++k;
        }
        return finish();
    }

private:
    CoreError error(std::string message, std::size_t begin, std::size_t end) {
        return CoreError::path(CoreError::Code::PathSyntax, std::move(message), begin, end);
    }
    bool fail(std::string message, std::size_t begin, std::size_t end) {
        error_ = error(std::move(message), begin, end);
        return false;
    }

    void note_prefix(std::string_view name, bool element) {
        const std::size_t colon = name.find(':');
        if (colon == std::string_view::npos) {
            if (element && !name.empty()) prog_.unprefixed_elements = true;
            return;
        }
        const std::string_view prefix = name.substr(0, colon);
        if (std::find(prog_.prefixes.begin(), prog_.prefixes.end(), prefix) == prog_.prefixes.end()) {
            prog_.prefixes.push_back(prefix);
        }
    }

    NameTest element_name(std::string_view name) {
        note_prefix(name, true);
        if (name.size() >= 3 && name.substr(name.size() - 2) == ":*") {
            return NameTest::of(NameMatch::Prefix, name.substr(0, name.size() - 1));
        }
        return NameTest::of(NameMatch::Exact, name);
    }

    std::optional<NameTest> element_name_token(const Token& t) {
        if (!t.text.empty() && t.text[0] == '{') {
            fail(kUriForm, t.begin, t.end);
            return std::nullopt;
        }
        return element_name(t.text);
    }

    std::uint32_t add_test(PathTest t) {
        prog_.tests.push_back(t);
        return static_cast<std::uint32_t>(prog_.tests.size() - 1);
    }

    std::uint32_t add_clause(NameTest name, const std::vector<std::uint32_t>& tests) {
        ChildClause c{name, static_cast<std::uint32_t>(prog_.clause_tests.size()), static_cast<std::uint32_t>(tests.size()),
                      false};
        for (const std::uint32_t t : tests) {
            prog_.clause_tests.push_back(t);
            const TestKind kind = prog_.tests[t].kind;
            if (kind == TestKind::Position || kind == TestKind::FromEnd) c.positions = true;
        }
        prog_.clauses.push_back(c);
        return add_test(PathTest{TestKind::Child, {}, {}, 0, static_cast<std::uint32_t>(prog_.clauses.size() - 1)});
    }

    // Refuses a program that outgrows its path many times over, which only
    // `..` after descendant steps can make it do.
    std::size_t most() const { return std::max<std::size_t>(kMaxPathOps, kPathOpsPerByte * path_.size()); }
    bool too_large(std::size_t branch_ops) {
        if (branch_ops + prog_.clause_tests.size() + prog_.tests.size() <= most()) return false;
        if (!error_) {
            error_ = CoreError::path(CoreError::Code::PathTooComplex,
                               "the path compiles to more than " + std::to_string(most()) + " steps", 0, path_.size());
        }
        return true;
    }
    void check_size() {
        std::size_t size = 0;
        for (const Branch& b : branches_) size += b.size() + 1;
        too_large(size);
    }

    void add_step(const Step& s) {
        for (Branch& b : branches_) b.push_back(s);
    }

    void add_test_step(std::uint32_t test) { add_step(Step{OpKind::Test, NameTest{}, test}); }

    // `..`: every branch is replaced by the branches that reach the parents
    // of its places. A branch whose places can include the start has no
    // parent there (the start's parent is not in the tree searched).
    void parent() {
        std::vector<Branch> out;
        std::size_t produced = 0;
        for (Branch& work : branches_) {
            for (;;) {
                std::size_t k = work.size();
                while (k > 0 && work[k - 1].kind == OpKind::Test) --k;
                if (k == 0) break;
                const Step last = work[k - 1];
                std::vector<std::uint32_t> filters;
                for (std::size_t i = k; i < work.size(); ++i) filters.push_back(work[i].test);
                if (last.kind != OpKind::DescendantOrSelf) {
                    // A child's parent is the place the step started from; below
                    // a descendant step, any place from there down that has
                    // such a child.
                    const std::uint32_t test = add_clause(last.name, filters);
                    work.resize(k - 1);
                    if (last.kind == OpKind::Descendant) work.push_back(Step{OpKind::DescendantOrSelf, NameTest{}, 0});
                    work.push_back(Step{OpKind::Test, NameTest{}, test});
                    produced += work.size() + 1;
                    out.push_back(std::move(work));
                    too_large(produced);
                    break;
                }
                Branch up(work.begin(), work.begin() + static_cast<std::ptrdiff_t>(k));
                up.push_back(Step{OpKind::Test, NameTest{}, add_clause(NameTest{}, filters)});
                produced += up.size() + 1;
                out.push_back(std::move(up));
                if (too_large(produced)) return;
                // Descendant-or-self also kept the start itself: its parents are
                // those of the prefix's places that pass the filters.
                work.erase(work.begin() + static_cast<std::ptrdiff_t>(k - 1));
            }
            if (error_) return;
        }
        branches_ = std::move(out);
    }

    // The tokens after '[' up to its ']'; k moves past it.
    bool predicate(const Tokens& tokens, std::size_t& k, const Token& open) {
        std::vector<const Token*> parts;
        std::string signature;
        for (;;) {
            if (k >= tokens.size()) return fail("unterminated predicate", open.begin, path_.size());
            const Token& t = tokens[k++];
            if (t.type == Tok::Close) break;
            if (t.type == Tok::Space) continue;
            parts.push_back(&t);
            signature += t.type == Tok::Name ? "-" : t.type == Tok::Quoted ? "'" : std::string(t.text);
        }
        const std::size_t begin = open.begin, end = tokens[k - 1].end;
        auto value = [&](std::size_t i) { return parts[i]->text; };
        if (signature == "@-" || signature == "@-='" || signature == "@-!='") {
            const std::string_view key = value(1);
            if (!key.empty() && key[0] == '{') return fail(kUriForm, parts[1]->begin, parts[1]->end);
            note_prefix(key, false);
            const TestKind kind = signature == "@-" ? TestKind::HasAttr : signature == "@-='" ? TestKind::AttrEq : TestKind::AttrNe;
            add_test_step(add_test(PathTest{kind, key, kind == TestKind::HasAttr ? std::string_view{} : value(parts.size() - 1)}));
            return true;
        }
        const bool named = !parts.empty() && parts[0]->type == Tok::Name && !is_position(value(0));
        if (signature == "-" && named) return child_test(*parts[0], {});
        if (signature == ".='" || signature == ".!='" || ((signature == "-='" || signature == "-!='") && named)) {
            const TestKind kind = signature.find('!') != std::string::npos ? TestKind::TextNe : TestKind::TextEq;
            const std::uint32_t text = add_test(PathTest{kind, {}, value(parts.size() - 1)});
            if (signature[0] == '.') {
                add_test_step(text);
                return true;
            }
            return child_test(*parts[0], {text});
        }
        if (signature == "-") {
            std::int64_t n = 0;
            parse_int(value(0), n);
            if (n < 1) return fail("XPath position >= 1 expected", parts[0]->begin, parts[0]->end);
            add_test_step(add_test(PathTest{TestKind::Position, {}, {}, static_cast<std::uint64_t>(n - 1)}));
            return true;
        }
        if (signature == "-()" || signature == "-()-") {
            if (value(0) != "last") return fail("unsupported function", parts[0]->begin, parts[0]->end);
            std::uint64_t from_end = 1;
            if (signature == "-()-") {
                std::int64_t n = 0;
                if (!parse_int(value(2), n)) return fail("unsupported expression", parts[2]->begin, parts[2]->end);
                if (n > -1) return fail("XPath offset from last() must be negative", parts[2]->begin, parts[2]->end);
                from_end = 1 + (0 - static_cast<std::uint64_t>(n));  // last()-1 is the second from the end
            }
            add_test_step(add_test(PathTest{TestKind::FromEnd, {}, {}, from_end}));
            return true;
        }
        return fail("invalid predicate", begin, end);
    }

    bool child_test(const Token& name, const std::vector<std::uint32_t>& tests) {
        auto test = element_name_token(name);
        if (!test) return false;
        add_test_step(add_clause(*test, tests));
        return true;
    }

    std::variant<PathProgram, CoreError> finish() {
        if (error_) return std::move(*error_);
        for (const Branch& b : branches_) {
            prog_.starts.push_back(static_cast<std::uint32_t>(prog_.ops.size()));
            for (const Step& s : b) prog_.ops.push_back(PathOp{s.kind, s.name, s.test});
            prog_.ops.push_back(PathOp{});
        }
        return std::move(prog_);
    }

    std::string_view path_;
    PathProgram prog_;
    std::vector<Branch> branches_;
    std::optional<CoreError> error_;
};

}  // namespace

std::variant<PathProgram, CoreError> compile_path(std::string_view path) { return Compiler(path).run(); }

std::optional<NameTest> plain_child_name(std::string_view path) noexcept {
    if (!is_plain_name(path) || (!path.empty() && path[0] == '{')) return std::nullopt;
    return NameTest::of(NameMatch::Exact, path);
}

}  // namespace arbolite
