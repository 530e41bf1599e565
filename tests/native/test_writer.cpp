// The writer over nodes: the layout table, escapes, failures on both sinks,
// the indent check, million-deep trees, FileSink over pipes and /dev/full,
// and opening files. Trees are built as own nodes from element descriptions and
// released afterwards; the writer reads them only through the accessors.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/write/serializer.hpp"
#include "core/write/sink.hpp"
#include "tests/reference/compare.hpp"

using namespace arbolite;
using check::E;
using check::Element;
using check::Held;

namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

Element worked_example() {
    return E("root").attr("id", "1")
        .child(E("item").attr("k", "a<b").text("x & y"))
        .child(E("empty"))
        .child(E("parent").child(E("leaf")));
}

// Names, attributes and texts drawn from small pools, specials included.
Element random_tree(std::mt19937& rng, int depth, bool long_texts) {
    static const char* names[] = {"a", "item", "x-y", "n\xc3\xa9"};
    static const char* values[] = {"", "plain", "a<b&c", "'\"", "\t\r\n", "\xc3\xa9t\xc3\xa9"};
    Element e;
    e.name = names[rng() % 4];
    for (unsigned i = 0, n = rng() % 12; i < n; ++i) e.attrs.emplace_back("k" + std::to_string(i), values[rng() % 6]);
    if (rng() % 3 == 0) e.text = long_texts && rng() % 4 == 0 ? std::string(20000, 'z') + "&" : "t <" + std::to_string(rng() % 100);
    if (depth > 0) {
        for (unsigned i = 0, n = rng() % 5; i < n; ++i) e.children.push_back(random_tree(rng, depth - 1, long_texts));
    }
    return e;
}

std::string to_memory(Node* root, std::uint64_t indent, bool decl) {
    MemorySink sink;
    EXPECT_FALSE(write_document(sink, root, indent, decl, kMaxOutputBytes));
    return std::string(sink.view());
}

std::string to_memory(const Element& tree, std::uint64_t indent, bool decl) {
    Held root(check::build_own(tree));
    return to_memory(root.get(), indent, decl);
}

std::string read_all(int fd) {
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        if (n < 0) ADD_FAILURE() << "read: " << errno;
        if (n < 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

int pending_bytes(int fd) {
    int n = -1;
    EXPECT_EQ(::ioctl(fd, FIONREAD, &n), 0);
    return n;
}

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        r = fds[0];
        w = fds[1];
    }
    ~Pipe() {
        if (r >= 0) ::close(r);
        if (w >= 0) ::close(w);
    }
    int release_w() { return std::exchange(w, -1); }
};

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/arbolite-writer-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { (void)std::system(("rm -rf '" + path + "'").c_str()); }
};

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

// ---- layout and escapes -------------------------------------------------

struct LayoutCase {
    const char* label;
    std::function<Element()> tree;
    std::uint64_t indent;
    bool declaration;
    std::string expected;
};

class Layout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Layout, WritesExactBytesAndLeavesTheTreeAsItWas) {
    const LayoutCase& c = GetParam();
    const Element want = c.tree();
    Held root(check::build_own(want));
    EXPECT_EQ(to_memory(root.get(), c.indent, c.declaration), c.expected);
    EXPECT_EQ(check::diff_tree(root.get(), want), "");
    EXPECT_EQ(root.get()->head.refcount, 1);
    // The same tree written again, and to a file: the same bytes.
    EXPECT_EQ(to_memory(root.get(), c.indent, c.declaration), c.expected);
    Pipe p;
    std::string got;
    std::thread reader([&] { got = read_all(p.r); });
    {
        FileSink sink(p.release_w());
        EXPECT_TRUE(write_document(sink, root.get(), c.indent, c.declaration));
        EXPECT_TRUE(sink.flush());
    }
    reader.join();
    EXPECT_EQ(got, c.expected);
}

const std::string kWorkedBody =
    "<root id=\"1\">\n  <item k=\"a&lt;b\">x &amp; y</item>\n  <empty/>\n  <parent>\n    <leaf/>\n  </parent>\n</root>";

INSTANTIATE_TEST_SUITE_P(Rules, Layout, ::testing::Values(
    LayoutCase{"worked_example", worked_example, 2, true, kDecl + kWorkedBody},
    LayoutCase{"worked_example_bare", worked_example, 2, false, kWorkedBody},
    LayoutCase{"worked_example_indent0", worked_example, 0, true,
               kDecl + "<root id=\"1\">\n<item k=\"a&lt;b\">x &amp; y</item>\n<empty/>\n<parent>\n<leaf/>\n</parent>\n</root>"},
    LayoutCase{"text_then_children", [] { return Element(E("r").text("hello").child(E("a")).child(E("b"))); }, 4, false,
               "<r>hello<a/>\n    <b/>\n</r>"},
    LayoutCase{"lone_root", [] { return Element(E("r")); }, 4, false, "<r/>"},
    LayoutCase{"lone_root_declared", [] { return Element(E("r")); }, 4, true, kDecl + "<r/>"},
    LayoutCase{"empty_text_is_not_self_closing", [] { return Element(E("a").text("")); }, 4, false, "<a></a>"},
    LayoutCase{"empty_text_with_child", [] { return Element(E("r").text("").child(E("a"))); }, 4, false, "<r><a/>\n</r>"},
    LayoutCase{"attributes_in_insertion_order", [] { return Element(E("r").attr("z", "1").attr("a", "").attr("m", "3")); }, 4,
               false, "<r z=\"1\" a=\"\" m=\"3\"/>"},
    LayoutCase{"many_attributes_in_order",
               [] {
                   Element e = E("r");
                   for (int i = 11; i >= 0; --i) e.attrs.emplace_back("k" + std::to_string(i), std::to_string(i));
                   return e;
               },
               4, false,
               "<r k11=\"11\" k10=\"10\" k9=\"9\" k8=\"8\" k7=\"7\" k6=\"6\" k5=\"5\" k4=\"4\" k3=\"3\" k2=\"2\" k1=\"1\" k0=\"0\"/>"},
    LayoutCase{"attribute_escapes", [] { return Element(E("r").attr("q", "'").attr("a", "&").attr("w", "\t\r\n")); }, 4,
               false, "<r q=\"&apos;\" a=\"&amp;\" w=\"&#9;&#13;&#10;\"/>"},
    LayoutCase{"text_escapes", [] { return Element(E("r").text("say \"hi\" <tag>\t\r\nit's")); }, 4, false,
               "<r>say &quot;hi&quot; &lt;tag&gt;\t\r\nit&apos;s</r>"},
    LayoutCase{"names_and_keys_unescaped", [] { return Element(E("a&\"b").attr("k&\"", "v")); }, 4, false,
               "<a&\"b k&\"=\"v\"/>"},
    LayoutCase{"non_ascii_and_controls_raw",
               [] { return Element(E("r").attr("t", "\xc3\xa9\x01").text("\xc3\xa9\x7f\x1f")); }, 4, false,
               "<r t=\"\xc3\xa9\x01\">\xc3\xa9\x7f\x1f</r>"},
    LayoutCase{"texts_at_two_levels",
               [] { return Element(E("root").text("t").child(E("c1").text("u").child(E("d"))).child(E("c2"))); }, 3,
               false, "<root>t<c1>u<d/>\n   </c1>\n   <c2/>\n</root>"},
    LayoutCase{"nested_end_tags", [] { return Element(E("a").child(E("b").child(E("c").child(E("d"))))); }, 1, false,
               "<a>\n <b>\n  <c>\n   <d/>\n  </c>\n </b>\n</a>"},
    LayoutCase{"indent_wider_than_one_run", [] { return Element(E("r").child(E("p").child(E("a")))); }, 5000, false,
               "<r>\n" + std::string(5000, ' ') + "<p>\n" + std::string(10000, ' ') + "<a/>\n" + std::string(5000, ' ') +
                   "</p>\n</r>"},
    LayoutCase{"long_text_and_value_escaped_across_blocks",
               [] { return Element(E("r").attr("v", std::string(20000, 'v') + "\n").text(std::string(9000, 'x') + "<" + std::string(9000, 'y'))); },
               0, false,
               "<r v=\"" + std::string(20000, 'v') + "&#10;\">" + std::string(9000, 'x') + "&lt;" + std::string(9000, 'y') + "</r>"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Writer, SharedChildIsWrittenWhereverItAppears) {
    const void* type = check::test_type();
    Node* leaf = make_own_node(type, "leaf", {{"k", "v"}}, nullptr, 0, "x");
    leaf->head.refcount = 3;
    Node* kids[] = {leaf, leaf, leaf};
    Held root(make_own_node(type, "r", {}, kids, 3, std::nullopt));
    EXPECT_EQ(to_memory(root.get(), 1, false),
              "<r>\n <leaf k=\"v\">x</leaf>\n <leaf k=\"v\">x</leaf>\n <leaf k=\"v\">x</leaf>\n</r>");
}

TEST(Writer, ParsedTreesWriteLikeTheirOwnCopies) {
    // Children in a sibling chain or in an array: the same bytes.
    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
        const Element want = random_tree(rng, 4, false);
        const std::string doc = to_memory(want, 2, true);
        Arena arena(doc.size());
        const ParseOutcome parsed = parse_document(doc, want.name, check::test_type(), arena);
        ASSERT_FALSE(parsed.error) << parsed.error->message();
        auto copy = reference::parse_root(doc, want.name);
        ASSERT_TRUE(std::holds_alternative<Element>(copy));
        Held own(check::build_own(std::get<Element>(copy)));
        for (std::uint64_t indent : {0, 1, 4}) {
            EXPECT_EQ(to_memory(parsed.root, indent, indent == 1), to_memory(own.get(), indent, indent == 1));
        }
    }
}

struct EscapeCase {
    std::string in;
    std::string text;       // through the text set
    std::string attribute;  // through the attribute set
};

class Escape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(Escape, ReplacesOnlyTheSetsCharacters) {
    const EscapeCase& c = GetParam();
    // Alone, and at every alignment within and across the 16-byte blocks.
    for (std::size_t pad : {0, 1, 7, 15, 16, 17, 31, 33}) {
        MemorySink t, a;
        const std::string p(pad, '.');
        escape_into(t, p + c.in + p, EscapeSet::Text);
        escape_into(a, p + c.in + p, EscapeSet::Attribute);
        EXPECT_EQ(t.view(), p + c.text + p) << pad;
        EXPECT_EQ(a.view(), p + c.attribute + p) << pad;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Escape, ::testing::Values(
    EscapeCase{"&", "&amp;", "&amp;"}, EscapeCase{"<", "&lt;", "&lt;"}, EscapeCase{">", "&gt;", "&gt;"},
    EscapeCase{"\"", "&quot;", "&quot;"}, EscapeCase{"'", "&apos;", "&apos;"}, EscapeCase{"\t", "\t", "&#9;"},
    EscapeCase{"\r", "\r", "&#13;"}, EscapeCase{"\n", "\n", "&#10;"}, EscapeCase{"", "", ""},
    EscapeCase{"&&x<", "&amp;&amp;x&lt;", "&amp;&amp;x&lt;"}, EscapeCase{"a\nb&", "a\nb&amp;", "a&#10;b&amp;"},
    EscapeCase{std::string("\0&\0", 3), std::string("\0&amp;\0", 7), std::string("\0&amp;\0", 7)},
    EscapeCase{"\x0b\x0c\x0e\x01", "\x0b\x0c\x0e\x01", "\x0b\x0c\x0e\x01"}));

TEST(Escape, EveryOtherByteIsCopied) {
    const std::string specials = "&<>\"'\t\r\n";
    std::string others;
    for (int b = 0; b < 256; ++b) {
        if (specials.find(static_cast<char>(b)) == std::string::npos) others.push_back(static_cast<char>(b));
    }
    for (EscapeSet set : {EscapeSet::Text, EscapeSet::Attribute}) {
        MemorySink s;
        escape_into(s, others, set);
        EXPECT_EQ(s.view(), others);
    }
}

// ---- failures ----------------------------------------------------------------

// A full pipe, or one that takes only `room` bytes without blocking: the
// write fails at whichever piece reaches it first, from any depth of the walk.
TEST(Writer, StopsAtTheFirstFailureFromAnyDepth) {
    std::mt19937 rng(5);
    int tried = 0;
    for (int round = 0; round < 120; ++round) {
        const Element want = random_tree(rng, 5, round % 3 == 0);
        const std::string full = kDecl + to_memory(want, 3, false);
        if (full.size() <= FileSink::kCapacity) continue;
        ++tried;
        Held root(check::build_own(want));
        Pipe p;
        const int cap = ::fcntl(p.w, F_SETPIPE_SZ, 4096);
        ASSERT_GT(cap, 0);
        ASSERT_EQ(::fcntl(p.w, F_SETFL, O_NONBLOCK), 0);
        ASSERT_EQ(::fcntl(p.r, F_SETFL, O_NONBLOCK), 0);
        const std::size_t prefill = rng() % static_cast<std::size_t>(cap + 1);
        const std::string fill(prefill, 'p');
        if (prefill) {
            ASSERT_EQ(::write(p.w, fill.data(), fill.size()), static_cast<ssize_t>(prefill));
        }
        FileSink sink(p.release_w());
        const bool ok = write_document(sink, root.get(), 3, true) && sink.flush();
        ASSERT_FALSE(ok) << round;
        ASSERT_TRUE(sink.error().has_value());
        EXPECT_EQ(sink.error()->sys, EAGAIN);
        EXPECT_FALSE(sink.append("x", 1)) << "the failure is kept";
        EXPECT_FALSE(sink.flush());
        const std::string got = read_all(p.r).substr(prefill);
        EXPECT_LE(got.size(), static_cast<std::size_t>(cap) - prefill);
        EXPECT_EQ(got, full.substr(0, got.size())) << round;
        EXPECT_EQ(check::diff_tree(root.get(), want), "");
    }
    EXPECT_GE(tried, 40);
}

TEST(Writer, ClosedReaderEndsTheWriteWithEpipe) {
    struct sigaction ignore {}, old{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old), 0);
    Element want = E("r");
    for (int i = 0; i < 3000; ++i) want.children.push_back(E("child").attr("i", std::to_string(i)));
    Held root(check::build_own(want));
    Pipe p;
    ::close(std::exchange(p.r, -1));
    {
        FileSink sink(p.release_w());
        EXPECT_FALSE(write_document(sink, root.get(), 2, true));
        ASSERT_TRUE(sink.error().has_value());
        EXPECT_EQ(sink.error()->sys, EPIPE);
    }
    ::sigaction(SIGPIPE, &old, nullptr);
}

TEST(Writer, MillionDeepChainWithoutRecursion) {
    constexpr std::size_t depth = 1'000'000;
    std::string expected;
    for (std::size_t i = 1; i < depth; ++i) expected += "<a>\n";
    expected += "<a/>";
    for (std::size_t i = 1; i < depth; ++i) expected += "\n</a>";
    const void* type = check::test_type();
    Node* n = make_own_node(type, "a", {}, nullptr, 0, std::nullopt);
    for (std::size_t i = 1; i < depth; ++i) n = make_own_node(type, "a", {}, &n, 1, std::nullopt);
    Held deep(n);
    EXPECT_EQ(to_memory(deep.get(), 0, false), expected);

    EXPECT_FALSE(check_indent(deep.get(), 4, true));
    auto bad = check_indent(deep.get(), kMax64 / 1000, true);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->code, CoreError::Code::OutputOverflow);
    const LayoutMeasure m = measure_layout(deep.get());
    EXPECT_EQ(m.max_indented_level, depth - 1);
    EXPECT_EQ(m.indented_lines, 2 * (depth - 1));
}

TEST(Writer, MillionDeepParsedTreeWritesBackItsDocument) {
    constexpr std::size_t depth = 1'000'000;
    std::string doc;
    for (std::size_t i = 0; i < depth; ++i) doc += "<a>";
    doc += "x";
    for (std::size_t i = 0; i < depth; ++i) doc += "</a>";
    Arena arena(doc.size());
    const ParseOutcome got = parse_document(doc, "a", check::test_type(), arena);
    ASSERT_FALSE(got.error);
    std::string expected;
    for (std::size_t i = 1; i < depth; ++i) expected += "<a>\n";
    expected += "<a>x</a>";
    for (std::size_t i = 1; i < depth; ++i) expected += "\n</a>";
    EXPECT_EQ(to_memory(got.root, 0, false), expected);
}

// Under a 1 GiB address-space limit, a terabyte of indentation must end in
// std::bad_alloc rather than an abort.
[[noreturn]] void write_a_terabyte_of_spaces() {
    Held root(check::build_own(E("r").child(E("a"))));
    rlimit lim{};
    lim.rlim_cur = lim.rlim_max = rlim_t{1} << 30;
    ::setrlimit(RLIMIT_AS, &lim);
    MemorySink sink;
    try {
        (void)write_document(sink, root.get(), std::uint64_t{1} << 40, false, kMaxOutputBytes);
    } catch (const std::bad_alloc&) {
        std::_Exit(3);
    }
    std::_Exit(1);
}

TEST(Writer, RunningOutOfMemoryThrows) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit breaks the sanitizer's shadow memory";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(write_a_terabyte_of_spaces(), ::testing::ExitedWithCode(3), "");
#endif
}

// ---- the indent check ----------------------------------------------------

struct IndentCase {
    const char* label;
    std::function<Element()> tree;
    std::uint64_t indent;
    std::uint64_t limit;
    int expected;  // -1 accepted, else a CoreError::Code
    bool by_size = false;  // refused for its output's size, not its indentation
};

class IndentCheck : public ::testing::TestWithParam<IndentCase> {};

TEST_P(IndentCheck, RejectsOnlyWhatCannotBeHeld) {
    const IndentCase& c = GetParam();
    Held root(check::build_own(c.tree()));
    auto bad = check_indent(root.get(), c.indent, true, c.limit);
    if (c.expected < 0) {
        EXPECT_FALSE(bad) << bad->detail;
        return;
    }
    ASSERT_TRUE(bad);
    EXPECT_EQ(static_cast<int>(bad->code), c.expected) << bad->detail;
    const std::string prefix = c.by_size ? "the document takes at least " : "indent " + std::to_string(c.indent) + " ";
    EXPECT_EQ(bad->detail.rfind(prefix, 0), 0u) << bad->detail;
}

// Writing into memory makes the same decision, whether the indentation runs
// past its unchecked budget or not; a refused document leaves no output, an
// accepted one is written whole, as the file writer writes it.
TEST_P(IndentCheck, TheMemoryWriterDecidesAlike) {
    const IndentCase& c = GetParam();
    Held root(check::build_own(c.tree()));
    const auto expected = check_indent(root.get(), c.indent, true, c.limit);
    for (std::uint64_t budget : {std::uint64_t{0}, std::uint64_t{7}, std::uint64_t{16} << 20}) {
        if (!expected && c.indent > (std::uint64_t{1} << 20)) continue;  // accepted but too large to write here
        if (c.by_size && budget > (std::uint64_t{1} << 20)) continue;  // the size is weighed only past the budget
        MemorySink sink;
        const auto got = write_document(sink, root.get(), c.indent, true, c.limit, budget, budget);
        ASSERT_EQ(bool(got), bool(expected)) << budget;
        if (got) {
            EXPECT_EQ(got->code, expected->code);
            EXPECT_EQ(got->detail, expected->detail);
        } else {
            EXPECT_EQ(std::string(sink.view()), to_memory(root.get(), c.indent, true)) << budget;
        }
    }
}

constexpr int kAccepted = -1, kOverflow = static_cast<int>(CoreError::Code::OutputOverflow),
              kMemory = static_cast<int>(CoreError::Code::OutputMemory);

Element two_deep() { return E("r").child(E("c").child(E("g"))); }

INSTANTIATE_TEST_SUITE_P(Cases, IndentCheck, ::testing::Values(
    IndentCase{"ordinary", worked_example, 4, kMaxOutputBytes, kAccepted},
    IndentCase{"zero", two_deep, 0, 64, kAccepted},
    IndentCase{"four_gib_per_level", worked_example, std::uint64_t{1} << 32, kMaxOutputBytes, kAccepted},
    IndentCase{"huge_on_lone_root", [] { return Element(E("r")); }, kMax64, kMaxOutputBytes, kAccepted},
    // Only the root's end tag breaks a line, at level 0.
    IndentCase{"huge_where_text_absorbs_breaks", [] { return Element(E("r").text("t").child(E("a"))); }, kMax64,
               kMaxOutputBytes, kAccepted},
    IndentCase{"huge_at_level_one", [] { return Element(E("r").child(E("a"))); }, kMax64, kMaxOutputBytes, kMemory},
    IndentCase{"huge_at_level_two", two_deep, kMax64, kMaxOutputBytes, kOverflow},
    IndentCase{"product_is_two_to_the_64", two_deep, std::uint64_t{1} << 63, kMaxOutputBytes, kOverflow},
    IndentCase{"product_fits_sum_does_not", two_deep, std::uint64_t{1} << 62, kMaxOutputBytes, kMemory},
    IndentCase{"exabytes_of_spaces", worked_example, std::uint64_t{1} << 61, kMaxOutputBytes, kMemory},
    IndentCase{"over_a_caller_limit", worked_example, 1u << 20, 1u << 20, kMemory},
    IndentCase{"under_a_caller_limit", worked_example, 4, 1u << 20, kAccepted},
    // A large text under the limit is no reason to refuse; over it, the size is, whatever the indent.
    IndentCase{"large_text_small_indent", [] { return Element(E("r").child(E("a").text(std::string(1 << 20, '&')))); },
               4, 6u << 20, kAccepted},
    IndentCase{"large_text_over_the_limit", [] { return Element(E("r").child(E("a").text(std::string(1 << 20, '&')))); },
               0, 1u << 16, kMemory, true}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(IndentCheck, MeasureAgreesWithTheWrittenLayout) {
    std::mt19937 rng(42);
    for (int round = 0; round < 30; ++round) {
        Held a(check::build_own(random_tree(rng, 5, false)));
        const LayoutMeasure m = measure_layout(a.get());
        const std::string out = to_memory(a.get(), 3, false);
        std::uint64_t lines = 0, spaces = 0, widest = 0;
        for (std::size_t i = out.find('\n'); i != std::string::npos; i = out.find('\n', i + 1)) {
            std::size_t run = out.find_first_not_of(' ', i + 1) - (i + 1);
            ++lines;
            spaces += run;
            widest = std::max<std::uint64_t>(widest, run);
            EXPECT_EQ(out[i + 1 + run], '<');
        }
        EXPECT_EQ(lines, m.indented_lines);
        EXPECT_EQ(spaces, 3 * m.level_sum);
        EXPECT_EQ(widest, 3 * m.max_indented_level);
        EXPECT_LE(out.size(), m.indented_lines + spaces + m.max_other_bytes);
    }
}

// ---- FileSink ---------------------------------------------------------------

TEST(FileSink, WritesTheSameBytesAsMemoryThroughAPipe) {
    std::mt19937 a(3);
    const Element want = random_tree(a, 6, true);
    const std::string expected = kDecl + to_memory(want, 2, false);
    ASSERT_GT(expected.size(), 10 * FileSink::kCapacity);
    Held root(check::build_own(want));
    Pipe p;
    std::string got;
    std::thread reader([&] { got = read_all(p.r); });
    {
        FileSink sink(p.release_w());
        EXPECT_TRUE(write_document(sink, root.get(), 2, true));
        EXPECT_TRUE(sink.flush());
        EXPECT_EQ(sink.buffered(), 0u);
    }  // closes the write end: the reader sees the end
    reader.join();
    EXPECT_EQ(got, expected);
}

TEST(FileSink, GathersSmallPiecesAndPassesLargeOnes) {
    Pipe p;
    FileSink sink(p.release_w());
    const std::string small(100, 's'), fill(FileSink::kCapacity - 100, 'f'), large(FileSink::kCapacity, 'L');
    ASSERT_TRUE(sink.append(small));
    ASSERT_TRUE(sink.append(fill));  // exactly fills the buffer: nothing written yet
    EXPECT_EQ(pending_bytes(p.r), 0);
    EXPECT_EQ(sink.buffered(), FileSink::kCapacity);
    ASSERT_TRUE(sink.append("x", 1));  // no room: the full buffer goes first
    EXPECT_EQ(pending_bytes(p.r), static_cast<int>(FileSink::kCapacity));
    EXPECT_EQ(sink.buffered(), 1u);
    ASSERT_TRUE(sink.append(large));  // flushes the byte, then bypasses the buffer
    EXPECT_EQ(sink.buffered(), 0u);
    EXPECT_EQ(pending_bytes(p.r), static_cast<int>(2 * FileSink::kCapacity + 1));
    ASSERT_TRUE(sink.append(std::string(FileSink::kCapacity - 1, 'b')));
    EXPECT_EQ(sink.buffered(), FileSink::kCapacity - 1);
    std::string got(2 * FileSink::kCapacity + 1, '\0');
    ASSERT_EQ(::read(p.r, got.data(), got.size()), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, small + fill + "x" + large);
}

TEST(FileSink, ClosingFlushesWhatIsBuffered) {
    Pipe p;
    {
        FileSink sink(p.release_w());
        ASSERT_TRUE(sink.append("unflushed", 9));
        EXPECT_EQ(pending_bytes(p.r), 0);
    }
    EXPECT_EQ(read_all(p.r), "unflushed") << "and the descriptor is closed, so the read ends";
}

TEST(FileSink, KeepsTheUnwrittenRestAfterAPartialFlush) {
    Pipe p;
    const int cap = ::fcntl(p.w, F_SETPIPE_SZ, 4096);
    ASSERT_GT(cap, 0);
    ASSERT_LT(cap, 8000);
    ASSERT_EQ(::fcntl(p.w, F_SETFL, O_NONBLOCK), 0);
    FileSink sink(p.release_w());
    std::string data;
    for (int i = 0; i < 8000; ++i) data.push_back(static_cast<char>('a' + i % 26));
    ASSERT_TRUE(sink.append(data));
    ASSERT_FALSE(sink.flush());
    ASSERT_TRUE(sink.error().has_value());
    EXPECT_EQ(sink.error()->sys, EAGAIN);
    EXPECT_EQ(sink.buffered(), data.size() - cap) << "what was written left the front of the buffer";
    std::string got(static_cast<std::size_t>(cap), '\0');
    ASSERT_EQ(::read(p.r, got.data(), got.size()), cap);
    EXPECT_EQ(got, data.substr(0, got.size()));
    // The failure is kept: nothing more is written, even with room again.
    EXPECT_FALSE(sink.flush());
    EXPECT_EQ(pending_bytes(p.r), 0);
    EXPECT_EQ(sink.buffered(), data.size() - cap);
}

class DevFull : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DevFull, CarriesTheErrorCode) {
    const std::size_t n = GetParam();
    int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    FileSink sink(fd);
    bool ok = sink.append(std::string(n, 'x'));
    if (n < FileSink::kCapacity) {
        ASSERT_TRUE(ok) << "small pieces wait in the buffer";
        EXPECT_EQ(sink.buffered(), n);
        ok = sink.flush();
        EXPECT_EQ(sink.buffered(), n) << "nothing was written, so nothing leaves the buffer";
    }
    ASSERT_FALSE(ok);
    ASSERT_TRUE(sink.error().has_value());
    EXPECT_EQ(sink.error()->sys, ENOSPC);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DevFull, ::testing::Values(1, FileSink::kCapacity - 1, FileSink::kCapacity, 100000));

TEST(FileSink, DocumentOnAFullDeviceFails) {
    int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    Element want = E("r");
    for (int i = 0; i < 2000; ++i) want.children.push_back(E("child"));  // well past one buffer
    Held root(check::build_own(want));
    FileSink sink(fd);
    EXPECT_FALSE(write_document(sink, root.get(), 4, true));
    ASSERT_TRUE(sink.error().has_value());
    EXPECT_EQ(sink.error()->sys, ENOSPC);
    EXPECT_EQ(check::diff_tree(root.get(), want), "");

    // Small enough to stay in the buffer: the failure shows at the flush.
    int fd2 = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    Held small(check::build_own(worked_example()));
    FileSink sink2(fd2);
    EXPECT_TRUE(write_document(sink2, small.get(), 4, true));
    EXPECT_FALSE(sink2.flush());
    EXPECT_EQ(sink2.error()->sys, ENOSPC);
}

std::atomic<int> g_signals{0};
extern "C" void count_signal(int) { g_signals.fetch_add(1); }

class Interrupted : public ::testing::TestWithParam<std::size_t> {};

TEST_P(Interrupted, WritesAreRetried) {
    struct sigaction sa {}, old{};
    sa.sa_handler = count_signal;  // no SA_RESTART: a blocked write returns EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
    g_signals = 0;
    Pipe p;
    const int cap = ::fcntl(p.w, F_SETPIPE_SZ, 4096);
    ASSERT_GT(cap, 0);
    const std::string prefill(static_cast<std::size_t>(cap), 'p');
    ASSERT_EQ(::write(p.w, prefill.data(), prefill.size()), cap);  // the pipe is now full
    const std::string data(GetParam(), 'd');
    bool ok = false;
    std::optional<CoreError> error;
    std::thread writer([&] {
        FileSink sink(p.release_w());
        ok = sink.append(data) && sink.flush();
        error = sink.error();
    });
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::pthread_kill(writer.native_handle(), SIGUSR1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string got = read_all(p.r);
    writer.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(ok) << (error ? error->sys : 0);
    EXPECT_GT(g_signals.load(), 0);
    EXPECT_EQ(got, prefill + data);
}

INSTANTIATE_TEST_SUITE_P(Paths, Interrupted, ::testing::Values(100, 3 * FileSink::kCapacity));

// ---- opening --------------------------------------------------------------

TEST(Open, CreatesTruncatesAndClosesOnExec) {
    TempDir dir;
    const std::string path = dir.path + "/out.xml";
    std::ofstream(path) << std::string(50000, 'o');
    const mode_t old_mask = ::umask(022);
    auto opened = open_for_writing(path);
    ::umask(old_mask);
    ASSERT_TRUE(std::holds_alternative<int>(opened));
    const int fd = std::get<int>(opened);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    {
        Held root(check::build_own(worked_example()));
        FileSink sink(fd);
        EXPECT_TRUE(write_document(sink, root.get(), 2, true));
        EXPECT_TRUE(sink.flush());
    }
    EXPECT_EQ(file_bytes(path), kDecl + kWorkedBody);

    const std::string fresh = dir.path + "/new.xml";
    ::umask(022);
    opened = open_for_writing(fresh);
    ::umask(old_mask);
    ASSERT_TRUE(std::holds_alternative<int>(opened));
    ::close(std::get<int>(opened));
    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

struct OpenFailure {
    const char* label;
    std::string suffix;  // appended to a fresh directory's path; "" means the empty path
    int code;
    std::string message;
};

class OpenFails : public ::testing::TestWithParam<OpenFailure> {};

TEST_P(OpenFails, ReportsWithoutCreating) {
    const OpenFailure& c = GetParam();
    TempDir dir;
    const std::string path = c.suffix.empty() ? std::string() : dir.path + c.suffix;
    auto opened = open_for_writing(path);
    ASSERT_TRUE(std::holds_alternative<CoreError>(opened));
    EXPECT_EQ(std::get<CoreError>(opened).sys, c.code);
    EXPECT_EQ(std::get<CoreError>(opened).detail, c.message);
    EXPECT_NE(::access((dir.path + "/a").c_str(), F_OK), 0) << "nothing is created";
}

INSTANTIATE_TEST_SUITE_P(Paths, OpenFails, ::testing::Values(
    OpenFailure{"nul_byte", std::string("/a\0b", 4), 0, "file name contained an unexpected NUL byte"},
    OpenFailure{"missing_directory", "/a/b.xml", ENOENT, ""},
    OpenFailure{"directory", "/", EISDIR, ""},
    OpenFailure{"empty", "", ENOENT, ""}),
    [](const auto& info) { return std::string(info.param.label); });
