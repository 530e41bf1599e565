// The writer and the reader together, over nodes: a tree decoded from the
// fuzzer's bytes is built as own nodes (repeated attribute keys merged by
// merge_duplicate_keys, as the module does), written with no indentation and
// with some, with and without the declaration, and must
// - be exactly what a plain serializer written here from the layout rules
//   produces;
// - read back as itself. The reader's only documented changes are to text:
//   Unicode White_Space trimmed at both ends, and a text left empty becomes
//   absent. Attribute values come back exactly, since the writer escapes the
//   TAB, CR and LF the reader would otherwise turn into spaces. Searching the
//   document for a descendant's name must give back the first element of that
//   name, subtree and all.
//
// Layout of the input: one header byte (indent, declaration, shape), then the
// tree in preorder. A byte source that has run dry yields zeros, so every
// input, however short, decodes to a tree.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "core/read/parser.hpp"
#include "core/write/serializer.hpp"
#include "core/write/sink.hpp"
#include "tests/reference/compare.hpp"

using namespace arbolite;
using check::Element;

namespace {

// Says what differed, control and non-ASCII bytes as \xNN, then traps.
[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "round trip: %s: \"", what);
    for (const char c : detail) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7F || b == '\\' || b == '"') {
            std::fprintf(stderr, "\\x%02X", b);
        } else {
            std::fputc(c, stderr);
        }
    }
    std::fputs("\"\n", stderr);
    __builtin_trap();
}

void require(bool ok, const char* what) {
    if (!ok) fail(what);
}

class Bytes {
public:
    Bytes(const std::uint8_t* d, std::size_t n) : d_(d), n_(n) {}
    std::uint8_t next() { return i_ < n_ ? d_[i_++] : 0; }
    std::uint32_t next16() { return static_cast<std::uint32_t>(next()) << 8 | next(); }
    std::uint32_t next24() { return next16() << 8 | next(); }
    bool dry() const { return i_ >= n_; }

private:
    const std::uint8_t* d_;
    std::size_t n_;
    std::size_t i_ = 0;
};

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes the code point at s[i] (the fuzzer only builds valid UTF-8) and
// advances i past it.
std::uint32_t decode_at(std::string_view s, std::size_t& i) {
    const auto b = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(s[k])); };
    const std::uint32_t c = b(i);
    if (c < 0x80) {
        i += 1;
        return c;
    }
    if (c < 0xE0) {
        const std::uint32_t cp = (c & 0x1F) << 6 | (b(i + 1) & 0x3F);
        i += 2;
        return cp;
    }
    if (c < 0xF0) {
        const std::uint32_t cp = (c & 0x0F) << 12 | (b(i + 1) & 0x3F) << 6 | (b(i + 2) & 0x3F);
        i += 3;
        return cp;
    }
    const std::uint32_t cp = (c & 0x07) << 18 | (b(i + 1) & 0x3F) << 12 | (b(i + 2) & 0x3F) << 6 | (b(i + 3) & 0x3F);
    i += 4;
    return cp;
}

// The Unicode White_Space property, written out from the character list
// rather than borrowed from the reader, so the two can disagree.
bool is_white_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

// The text the reader should give for an element written with `text`.
std::optional<std::string> expected_text(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    const std::string_view s = *text;
    std::size_t first = s.size(), last = 0;  // the non-White_Space span [first, last)
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t at = i;
        if (!is_white_space(decode_at(s, i))) {
            if (first == s.size()) first = at;
            last = i;
        }
    }
    if (first == s.size()) return std::nullopt;
    return std::string(s.substr(first, last - first));
}

// Any code point XML 1.0 can carry, from 24 bits: Char is TAB, LF, CR,
// U+0020..U+D7FF, U+E000..U+FFFD and U+10000..U+10FFFF.
std::uint32_t xml_char(std::uint32_t v) {
    std::uint32_t cp = v % 0x110000;
    if (cp < 0x20 && cp != 0x09 && cp != 0x0A && cp != 0x0D) cp += 0x20;
    if (cp >= 0xD800 && cp <= 0xDFFF) cp -= 0x800;
    if (cp == 0xFFFE || cp == 0xFFFF) cp = 0xFFFD;
    return cp;
}

// What names are built from. U+1680 is both a name character and White_Space.
constexpr std::uint32_t kNameStartNonAscii[] = {
    0xC0,  0xD6,   0xD8,   0xE9,   0xF6,   0xF8,   0xF1,   0x2FF,  0x370,   0x37D,   0x37F,   0x3B1,
    0x44F, 0x1680, 0x1FFF, 0x200C, 0x200D, 0x2070, 0x218F, 0x2C00, 0x2FEF,  0x3001,  0x65E5,  0x672C,
    0xD7FF, 0xF900, 0xFDCF, 0xFDF0, 0xFFFD, 0x10000, 0x10400, 0xEFFFF,
};
constexpr std::uint32_t kNameOnlyNonAscii[] = {0xB7, 0x300, 0x36F, 0x203F, 0x2040};
constexpr std::string_view kNameStartAscii = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_:";
constexpr std::string_view kNameOnlyAscii = "-.0123456789";

// The NameStartChar ranges, for code points beyond the lists above.
constexpr std::pair<std::uint32_t, std::uint32_t> kNameStartRanges[] = {
    {0xC0, 0xD6},     {0xD8, 0xF6},     {0xF8, 0x2FF},    {0x370, 0x37D},     {0x37F, 0x1FFF},
    {0x200C, 0x200D}, {0x2070, 0x218F}, {0x2C00, 0x2FEF}, {0x3001, 0xD7FF},   {0xF900, 0xFDCF},
    {0xFDF0, 0xFFFD}, {0x10000, 0xEFFFF},
};

void append_name_char(Bytes& in, std::string& out, bool start) {
    const std::uint8_t b = in.next();
    if (b < 160) {
        const std::size_t pool = kNameStartAscii.size() + (start ? 0 : kNameOnlyAscii.size());
        const std::size_t k = b % pool;
        out.push_back(k < kNameStartAscii.size() ? kNameStartAscii[k] : kNameOnlyAscii[k - kNameStartAscii.size()]);
    } else if (b < 220) {
        constexpr std::size_t n1 = std::size(kNameStartNonAscii), n2 = std::size(kNameOnlyNonAscii);
        const std::size_t k = in.next() % (start ? n1 : n1 + n2);
        append_utf8(out, k < n1 ? kNameStartNonAscii[k] : kNameOnlyNonAscii[k - n1]);
    } else {
        const auto [lo, hi] = kNameStartRanges[in.next() % std::size(kNameStartRanges)];
        append_utf8(out, lo + in.next24() % (hi - lo + 1));
    }
}

std::string make_name(Bytes& in) {
    std::string name;
    const std::uint8_t len = in.next();
    const std::size_t extra = len < 224 ? len % 6 : len % 40;
    append_name_char(in, name, true);
    for (std::size_t i = 0; i < extra; ++i) append_name_char(in, name, false);
    return name;
}

// Pieces of character data: markup characters and what looks like markup,
// line ends, every White_Space character and some that only look like one.
constexpr std::string_view kTextPieces[] = {
    "a", "b", "x", "Z", "0", "9", " ", "  ", "<", ">", "&", "\"", "'", "\t", "\r", "\n", "\r\n", "\n\r",
    "]]>", "]]", "]", "-->", "<!--", "<?", "?>", "<![CDATA[", "</", "/>", "=", "&amp;", "&lt;", "&#10;",
    "&#x9;", "&#13;", "&quot;", "&apos;", "&gt;", "&#", ";", "\x7f", "\u0080", "\u0085", "\u009f", "\u00a0",
    "\u00a1", "\u1680", "\u1681", "\u180e", "\u2000", "\u2005", "\u200a", "\u200b", "\u2028", "\u2029",
    "\u202f", "\u205e", "\u205f", "\u2060", "\u3000", "\u3001", "\ufeff", "\ufffd", "\ue000", "\ud7ff",
    "\u00e9", "\u65e5", "\U0001F600", "\U0010FFFF", "\u0300",
};
constexpr std::string_view kWhiteSpacePieces[] = {
    " ", "\t", "\n", "\r", "\r\n", "\u0085", "\u00a0", "\u1680", "\u2000", "\u200a", "\u2028", "\u2029",
    "\u202f", "\u205f", "\u3000",
};

void append_white_space(Bytes& in, std::string& out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out.append(kWhiteSpacePieces[in.next() % std::size(kWhiteSpacePieces)]);
}

std::string make_text(Bytes& in) {
    std::string text;
    const std::uint8_t len = in.next();
    const std::size_t pieces = len < 224 ? len % 12 : 16 + len % 200;
    const std::uint8_t pad = in.next();
    // Runs of White_Space around the text, so trimming has something to do.
    append_white_space(in, text, pad & 7);
    for (std::size_t i = 0; i < pieces; ++i) {
        const std::uint8_t b = in.next();
        if (b < 200) {
            text.append(kTextPieces[b % std::size(kTextPieces)]);
        } else {
            append_utf8(text, xml_char(in.next24()));
        }
    }
    append_white_space(in, text, pad >> 5);
    return text;
}

constexpr std::size_t kMaxElements = 3000;
constexpr std::size_t kMaxDepth = 12;

// Name, attributes and text of one element; its children come later.
// Keys may repeat: the tree description keeps them all, as a dict's items would come.
void fill(Bytes& in, Element& e) {
    e.name = make_name(in);
    const std::uint8_t a = in.next();
    // Past kAttrScanLimit entries the node gets its hash index.
    const std::size_t attrs = a < 224 ? a % 4 : a % 20;
    for (std::size_t i = 0; i < attrs; ++i) {
        std::string key = make_name(in);
        std::string value = make_text(in);
        e.attrs.emplace_back(std::move(key), std::move(value));
    }
    const std::uint8_t t = in.next();
    if (t % 4 != 0) e.text = make_text(in);
}

// A random tree in preorder, bounded in depth and size.
void grow(Bytes& in, Element& root, std::size_t& elements) {
    struct Open {
        Element* element;
        std::size_t children_left;
        std::size_t depth;
    };
    auto child_count = [&](std::size_t depth) -> std::size_t {
        if (depth >= kMaxDepth || in.dry()) return 0;
        const std::uint8_t c = in.next();
        return c < 224 ? c % 4 : c % 24;
    };
    std::vector<Open> open{{&root, child_count(0), 0}};
    root.children.reserve(open.back().children_left);
    while (!open.empty()) {
        Open& top = open.back();
        if (top.children_left == 0 || elements >= kMaxElements) {
            open.pop_back();
            continue;
        }
        --top.children_left;
        // Room was reserved, so the elements still open never move.
        Element& child = top.element->children.emplace_back();
        ++elements;
        fill(in, child);
        const std::size_t depth = top.depth + 1;
        const std::size_t n = child_count(depth);
        child.children.reserve(n);
        open.push_back({&child, n, depth});
    }
}

// A chain of `depth` elements with a random tree at its bottom. The chain
// cycles through up to three names; when they repeat, an end tag can only be
// matched by its nesting, not by its name.
Element make_chain(Bytes& in, std::size_t depth, std::size_t& elements) {
    const std::uint8_t shape = in.next();
    std::string names[3];
    const std::size_t distinct = 1 + shape % 3;
    for (std::size_t i = 0; i < distinct; ++i) names[i] = make_name(in);
    std::optional<std::string> text;
    if (shape & 4) text = make_text(in);
    std::string key, value;
    if (shape & 8) {
        key = make_name(in);
        value = make_text(in);
    }
    Element root;
    root.name = names[0];
    Element* e = &root;
    for (std::size_t level = 1; level < depth; ++level) {
        if (text && level % 7 == 0) e->text = *text;
        if (!key.empty() && level % 5 == 0) e->attrs.emplace_back(key, value);
        // Now and then a sibling before the chain goes on, so levels differ.
        if (shape & 16 && level % 97 == 0) {
            e->children.reserve(2);
            e->children.emplace_back().name = names[(level + 1) % distinct];
            ++elements;
        }
        e = &e->children.emplace_back();
        e->name = names[level % distinct];
        ++elements;
    }
    fill(in, *e);
    grow(in, *e, elements);
    return root;
}

// Repeated keys merged the plain way: the first position, the last value.
void merge_keys(Element& root) {
    std::vector<Element*> todo{&root};
    while (!todo.empty()) {
        Element* e = todo.back();
        todo.pop_back();
        std::vector<std::pair<std::string, std::string>> out;
        for (auto& kv : e->attrs) {
            const std::string& key = kv.first;
            auto it = std::find_if(out.begin(), out.end(), [&](const auto& o) { return o.first == key; });
            if (it == out.end()) {
                out.push_back(std::move(kv));
            } else {
                it->second = std::move(kv.second);
            }
        }
        e->attrs = std::move(out);
        for (Element& c : e->children) todo.push_back(&c);
    }
}

// What the reader should give for the tree: texts trimmed, empty ones absent.
Element as_read(const Element& tree) {
    Element out = check::clone(tree);
    std::vector<Element*> todo{&out};
    while (!todo.empty()) {
        Element* e = todo.back();
        todo.pop_back();
        e->text = expected_text(e->text);
        for (Element& c : e->children) todo.push_back(&c);
    }
    return out;
}

// ---------------------------------------------------------------- plain writer
// The layout rules, stated directly: every tag that follows a tag starts a
// new line indented by `indent` spaces per level, except a first child right
// after its parent's text; an element with neither children nor text closes
// itself; the end tag of an element with children starts a line; no line
// break at the end.

void plain_escape(std::string& out, std::string_view s, bool attribute) {
    for (const char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            case '\t': out += attribute ? "&#9;" : "\t"; break;
            case '\r': out += attribute ? "&#13;" : "\r"; break;
            case '\n': out += attribute ? "&#10;" : "\n"; break;
            default: out += c;
        }
    }
}

void plain_element(std::string& out, const Element& e, std::uint64_t indent, std::uint64_t level, bool new_line) {
    if (new_line) {
        out += '\n';
        out.append(indent * level, ' ');
    }
    out += '<';
    out += e.name;
    for (const auto& [k, v] : e.attrs) {
        out += ' ';
        out += k;
        out += "=\"";
        plain_escape(out, v, true);
        out += '"';
    }
    if (e.children.empty() && !e.text) {
        out += "/>";
        return;
    }
    out += '>';
    if (e.text) plain_escape(out, *e.text, false);
    for (std::size_t i = 0; i < e.children.size(); ++i) {
        plain_element(out, e.children[i], indent, level + 1, !(i == 0 && e.text));
    }
    if (!e.children.empty()) {
        out += '\n';
        out.append(indent * level, ' ');
    }
    out += "</";
    out += e.name;
    out += '>';
}

std::string plain_document(const Element& tree, std::uint64_t indent, bool declaration) {
    std::string out = declaration ? "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n" : "";
    plain_element(out, tree, indent, 0, false);
    return out;
}

// ---------------------------------------------------------------- checks

// The first element named `name` in document order, which the writer keeps.
const Element* first_named(const Element& root, std::string_view name) {
    std::vector<const Element*> todo{&root};
    while (!todo.empty()) {
        const Element* e = todo.back();
        todo.pop_back();
        if (e->name == name) return e;
        for (std::size_t i = e->children.size(); i-- > 0;) todo.push_back(&e->children[i]);
    }
    return nullptr;
}

// The element at preorder position k (mod the tree's size).
const Element& nth(const Element& root, std::size_t k, std::size_t count) {
    k %= count;
    std::vector<const Element*> todo{&root};
    for (;;) {
        require(!todo.empty(), "element count does not match the tree");
        const Element* e = todo.back();
        todo.pop_back();
        if (k-- == 0) return *e;
        for (std::size_t i = e->children.size(); i-- > 0;) todo.push_back(&e->children[i]);
    }
}

// Spaces the writer would put in front of lines, at most: every element can
// break a line before its start tag and before its end tag.
std::uint64_t indentation_lines_weight(const Element& root) {
    std::uint64_t sum = 0;
    std::vector<std::pair<const Element*, std::uint64_t>> todo{{&root, 0}};
    while (!todo.empty()) {
        auto [e, level] = todo.back();
        todo.pop_back();
        sum += 2 * level;
        for (const Element& c : e->children) todo.push_back({&c, level + 1});
    }
    return sum;
}

void read_back(std::string_view doc, std::string_view root_tag, const Element& want, cpu::Kernel kernel, const char* what) {
    Arena arena(doc.size());
    const ParseOutcome got = parse_document_with(kernel, doc, root_tag, check::test_type(), arena);
    if (got.error) fail(what, got.error->message());
    const std::string d = check::diff_tree(got.root, want, check::test_type());
    if (!d.empty()) fail(what, d);
}

// The same document through a file descriptor.
void through_a_file(Node* root, std::uint64_t indent, bool declaration, std::string_view expected) {
    const int fd = memfd_create("roundtrip", MFD_CLOEXEC);
    if (fd < 0) return;
    const int reading = dup(fd);
    {
        FileSink sink(fd);
        require(write_document(sink, root, indent, declaration) && sink.flush(), "the file sink failed");
    }
    std::string got(expected.size() + 1, '\0');
    const ssize_t n = pread(reading, got.data(), got.size(), 0);
    close(reading);
    require(n == static_cast<ssize_t>(expected.size()) && std::string_view(got.data(), expected.size()) == expected,
            "the file sink wrote other bytes");
}

void round_trip(Node* node, const Element& tree, const Element& read, std::uint64_t indent, bool declaration,
                std::string_view search, cpu::Kernel kernel) {
    MemorySink sink;
    require(!check_indent(node, indent, declaration).has_value(), "an ordinary indent was refused");
    require(!write_document(sink, node, indent, declaration, kMaxOutputBytes), "the indent was refused");
    const std::string_view doc = sink.view();
    const std::string plain = plain_document(tree, indent, declaration);
    if (doc != plain) {
        std::size_t at = 0;
        while (at < doc.size() && at < plain.size() && doc[at] == plain[at]) ++at;
        fail("written bytes differ from the plain writer's", doc.substr(at > 40 ? at - 40 : 0, 100));
    }
    if (indent == 0) through_a_file(node, indent, declaration, doc);

    read_back(doc, tree.name, read, cpu::best_kernel(), "own output read back");
    if (search == tree.name) return;  // the same question again
    const Element* want = first_named(read, search);
    require(want != nullptr, "searched name not in the tree");
    read_back(doc, search, *want, kernel, "own output searched");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in(data, size);
    const std::uint8_t header = in.next();
    // Bits 0-2 pick the second indent, bit 3 the declaration, bits 4-7 the
    // shape: one input in sixteen is a deep chain, which costs a hundred
    // ordinary trees. Not 0x0 or 0xF, which mutations produce most.
    constexpr std::uint64_t kIndents[] = {1, 2, 3, 4, 8, 17, 4095, 4097};
    const std::uint64_t indent = kIndents[header & 7];
    const bool declaration = header & 8;
    std::size_t elements = 1;
    Element tree;
    if (header >> 4 == 0xA) {
        tree = make_chain(in, 1000 + in.next16() % 2001, elements);
    } else {
        fill(in, tree);
        grow(in, tree, elements);
    }
    const std::string search = nth(tree, in.next16(), elements).name;

    // The nodes from the raw description, merged by the core; the expectation from
    // the plain merge. They must agree before anything is written.
    check::Held node(check::build_own(tree, check::test_type(), true));
    merge_keys(tree);
    const std::string built = check::diff_tree(node.get(), tree, check::test_type());
    if (!built.empty()) fail("the built nodes differ from the description", built);
    const Element read = as_read(tree);
    const std::vector<cpu::Kernel> kernels = check::runnable_kernels();
    const cpu::Kernel kernel = kernels[size % kernels.size()];

    round_trip(node.get(), tree, read, 0, declaration, search, kernel);
    // Indentation grows with depth times lines; past a budget the widest
    // indent that fits is used instead, or none, so each run stays quick.
    constexpr std::uint64_t kSpaceBudget = 1u << 18;
    const std::uint64_t weight = indentation_lines_weight(tree);
    const std::uint64_t fitting = weight == 0 ? indent : std::min<std::uint64_t>(indent, kSpaceBudget / weight);
    if (fitting > 0) round_trip(node.get(), tree, read, fitting, !declaration, search, kernel);
    return 0;
}
