#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
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

#include "src/core/plain_element.hpp"
#include "src/write/byte_sink.hpp"
#include "src/write/xml_writer.hpp"

using namespace arbolite;

namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
const std::string kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

// Chainable tree construction: E("r").attr("k", "v").text("t").child(E("c")).
struct E {
    PlainElement e;
    explicit E(std::string name) : e(std::move(name)) {}
    E&& attr(std::string_view k, std::string_view v) && { e.attrs.set(k, v); return std::move(*this); }
    E&& text(std::string t) && { e.text = std::move(t); return std::move(*this); }
    E&& child(E&& c) && { e.children.push_back(std::move(c.e)); return std::move(*this); }
    operator PlainElement() && { return std::move(e); }
};

PlainElement worked_example() {
    return E("root").attr("id", "1")
        .child(E("item").attr("k", "a<b").text("x & y"))
        .child(E("empty"))
        .child(E("parent").child(E("leaf")));
}

PlainElement chain(std::size_t depth) {
    PlainElement root("a");
    PlainElement* cur = &root;
    for (std::size_t i = 1; i < depth; ++i) cur = &cur->children.emplace_back("a");
    return root;
}

// Names, attributes and texts drawn from small pools, specials included.
PlainElement random_tree(std::mt19937& rng, int depth, bool long_texts) {
    static const char* names[] = {"a", "item", "x-y", "n\xc3\xa9"};
    static const char* values[] = {"", "plain", "a<b&c", "'\"", "\t\r\n", "\xc3\xa9t\xc3\xa9"};
    PlainElement e(names[rng() % 4]);
    for (unsigned i = 0, n = rng() % 4; i < n; ++i) e.attrs.set(std::string("k").append(std::to_string(i)), values[rng() % 6]);
    if (rng() % 3 == 0) e.text = long_texts && rng() % 4 == 0 ? std::string(20000, 'z') + "&" : "t <" + std::to_string(rng() % 100);
    if (depth > 0) {
        for (unsigned i = 0, n = rng() % 5; i < n; ++i) e.children.push_back(random_tree(rng, depth - 1, long_texts));
    }
    return e;
}

std::string to_memory(PlainElement&& root, std::uint64_t indent, bool decl) {
    MemorySink sink;
    EXPECT_FALSE(write_document(sink, std::move(root), indent, decl));
    return sink.take();
}

std::string read_all(int fd) {
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
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
    std::function<PlainElement()> tree;
    std::uint64_t indent;
    bool declaration;
    std::string expected;
};

class Layout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Layout, WritesExactBytes) {
    const LayoutCase& c = GetParam();
    MemorySink sink;
    XmlWriter writer(sink, c.indent);
    if (c.declaration) {
        ASSERT_FALSE(sink.append(kXmlDeclaration));
    }
    PlainElement root = c.tree();
    ASSERT_FALSE(writer.write_element(std::move(root)));
    EXPECT_EQ(sink.view(), c.expected);
    EXPECT_EQ(writer.level(), 0u);
    EXPECT_TRUE(writer.newline_pending());
    EXPECT_TRUE(root.name.empty() && root.children.empty()) << "the snapshot is consumed";
}

const std::string kWorkedBody =
    "<root id=\"1\">\n  <item k=\"a&lt;b\">x &amp; y</item>\n  <empty/>\n  <parent>\n    <leaf/>\n  </parent>\n</root>";

INSTANTIATE_TEST_SUITE_P(Rules, Layout, ::testing::Values(
    LayoutCase{"worked_example", worked_example, 2, true, kDecl + kWorkedBody},
    LayoutCase{"worked_example_bare", worked_example, 2, false, kWorkedBody},
    LayoutCase{"worked_example_indent0", worked_example, 0, true,
               kDecl + "<root id=\"1\">\n<item k=\"a&lt;b\">x &amp; y</item>\n<empty/>\n<parent>\n<leaf/>\n</parent>\n</root>"},
    LayoutCase{"text_then_children", [] { return E("r").text("hello").child(E("a")).child(E("b")); }, 4, false,
               "<r>hello<a/>\n    <b/>\n</r>"},
    LayoutCase{"lone_root", [] { return E("r"); }, 4, false, "<r/>"},
    LayoutCase{"lone_root_declared", [] { return E("r"); }, 4, true, kDecl + "<r/>"},
    LayoutCase{"empty_text_is_not_self_closing", [] { return E("a").text(""); }, 4, false, "<a></a>"},
    LayoutCase{"empty_text_with_child", [] { return E("r").text("").child(E("a")); }, 4, false, "<r><a/>\n</r>"},
    LayoutCase{"attributes_in_insertion_order", [] { return E("r").attr("z", "1").attr("a", "").attr("m", "3"); }, 4, false,
               "<r z=\"1\" a=\"\" m=\"3\"/>"},
    LayoutCase{"many_attributes_in_order",
               [] {
                   PlainElement e("r");
                   for (int i = 11; i >= 0; --i) e.attrs.set(std::string("k").append(std::to_string(i)), std::to_string(i));
                   return e;
               },
               4, false,
               "<r k11=\"11\" k10=\"10\" k9=\"9\" k8=\"8\" k7=\"7\" k6=\"6\" k5=\"5\" k4=\"4\" k3=\"3\" k2=\"2\" k1=\"1\" k0=\"0\"/>"},
    LayoutCase{"attribute_escapes", [] { return E("r").attr("q", "'").attr("a", "&").attr("w", "\t\r\n"); }, 4, false,
               "<r q=\"&apos;\" a=\"&amp;\" w=\"&#9;&#13;&#10;\"/>"},
    LayoutCase{"text_escapes", [] { return E("r").text("say \"hi\" <tag>\t\r\nit's"); }, 4, false,
               "<r>say &quot;hi&quot; &lt;tag&gt;\t\r\nit&apos;s</r>"},
    LayoutCase{"names_and_keys_unescaped", [] { return E("a&\"b").attr("k&\"", "v"); }, 4, false, "<a&\"b k&\"=\"v\"/>"},
    LayoutCase{"non_ascii_and_controls_raw", [] { return E("r").attr("t", "\xc3\xa9\x01").text("\xc3\xa9\x7f\x1f"); }, 4, false,
               "<r t=\"\xc3\xa9\x01\">\xc3\xa9\x7f\x1f</r>"},
    LayoutCase{"texts_at_two_levels", [] { return E("root").text("t").child(E("c1").text("u").child(E("d"))).child(E("c2")); }, 3,
               false, "<root>t<c1>u<d/>\n   </c1>\n   <c2/>\n</root>"},
    LayoutCase{"nested_end_tags", [] { return E("a").child(E("b").child(E("c").child(E("d")))); }, 1, false,
               "<a>\n <b>\n  <c>\n   <d/>\n  </c>\n </b>\n</a>"},
    LayoutCase{"indent_wider_than_one_run", [] { return E("r").child(E("p").child(E("a"))); }, 5000, false,
               "<r>\n" + std::string(5000, ' ') + "<p>\n" + std::string(10000, ' ') + "<a/>\n" + std::string(5000, ' ') +
                   "</p>\n</r>"}),
    [](const auto& info) { return std::string(info.param.label); });

struct EscapeCase {
    std::string in;
    std::string text;       // through the text set
    std::string attribute;  // through the attribute set
};

class Escape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(Escape, ReplacesOnlyTheSetsCharacters) {
    const EscapeCase& c = GetParam();
    MemorySink t, a;
    ASSERT_FALSE(escape_into(t, c.in, EscapeSet::Text));
    ASSERT_FALSE(escape_into(a, c.in, EscapeSet::Attribute));
    EXPECT_EQ(t.view(), c.text);
    EXPECT_EQ(a.view(), c.attribute);
}

INSTANTIATE_TEST_SUITE_P(Table, Escape, ::testing::Values(
    EscapeCase{"&", "&amp;", "&amp;"}, EscapeCase{"<", "&lt;", "&lt;"}, EscapeCase{">", "&gt;", "&gt;"},
    EscapeCase{"\"", "&quot;", "&quot;"}, EscapeCase{"'", "&apos;", "&apos;"}, EscapeCase{"\t", "\t", "&#9;"},
    EscapeCase{"\r", "\r", "&#13;"}, EscapeCase{"\n", "\n", "&#10;"}, EscapeCase{"", "", ""},
    EscapeCase{"&&x<", "&amp;&amp;x&lt;", "&amp;&amp;x&lt;"}, EscapeCase{"a\nb&", "a\nb&amp;", "a&#10;b&amp;"},
    EscapeCase{std::string("\0&\0", 3), std::string("\0&amp;\0", 7), std::string("\0&amp;\0", 7)}));

TEST(Escape, EveryOtherByteIsCopied) {
    const std::string specials = "&<>\"'\t\r\n";
    std::string others;
    for (int b = 0; b < 256; ++b) {
        if (specials.find(static_cast<char>(b)) == std::string::npos) others.push_back(static_cast<char>(b));
    }
    for (EscapeSet set : {EscapeSet::Text, EscapeSet::Attribute}) {
        MemorySink s;
        ASSERT_FALSE(escape_into(s, others, set));
        EXPECT_EQ(s.view(), others);
    }
}

// ---- consumption and failure ---------------------------------------------

// Fails the `fail_at`-th append (1-based) and notes any append after it.
struct FailingSink : ByteSink {
    std::size_t fail_at, calls = 0;
    bool appended_after_failure = false;
    std::string out;
    explicit FailingSink(std::size_t k) : fail_at(k) {}
    IoStatus append(const char* p, std::size_t n) override {
        ++calls;
        if (calls > fail_at) appended_after_failure = true;
        if (calls == fail_at) return IoError{EIO, {}};
        out.append(p, n);
        return std::nullopt;
    }
};

TEST(Writer, StopsAtTheFirstFailureFromAnyDepth) {
    const std::string full = kDecl + to_memory(worked_example(), 3, false);
    FailingSink counter(kMax64);
    ASSERT_FALSE(write_document(counter, worked_example(), 3, true));
    ASSERT_EQ(counter.out, full);
    for (std::size_t k = 1; k <= counter.calls; ++k) {
        FailingSink sink(k);
        PlainElement root = worked_example();
        IoStatus st = write_document(sink, std::move(root), 3, true);
        ASSERT_TRUE(st) << k;
        EXPECT_EQ(st->code, EIO);
        EXPECT_FALSE(sink.appended_after_failure) << k;
        EXPECT_EQ(sink.out, full.substr(0, sink.out.size())) << k;
        EXPECT_TRUE(root.children.empty()) << "the unwritten rest is released, at append " << k;
    }
}

TEST(Writer, ReleasesEachSubtreeOnceWritten) {
    PlainElement root = E("r").child(E("first").attr("k", "v").child(E("g").text("x"))).child(E("second"));
    struct Watch : ByteSink {
        const PlainElement* root;
        int seen = 0;
        bool first_released = false;
        IoStatus append(const char* p, std::size_t n) override {
            if (std::string_view(p, n) == "second" && seen++ == 0) {
                const PlainElement& f = root->children[0];
                first_released = f.name.empty() && f.attrs.empty() && f.children.empty();
            }
            return std::nullopt;
        }
    } watch;
    watch.root = &root;
    ASSERT_FALSE(write_document(watch, std::move(root), 2, false));
    EXPECT_EQ(watch.seen, 1);
    EXPECT_TRUE(watch.first_released);
}

TEST(Writer, MillionDeepChainWithoutRecursion) {
    constexpr std::size_t depth = 1'000'000;
    std::string expected;
    for (std::size_t i = 1; i < depth; ++i) expected += "<a>\n";
    expected += "<a/>";
    for (std::size_t i = 1; i < depth; ++i) expected += "\n</a>";
    EXPECT_EQ(to_memory(chain(depth), 0, false), expected);

    PlainElement deep = chain(depth);
    EXPECT_FALSE(check_indent(deep, 4, true));
    auto bad = check_indent(deep, kMax64 / 1000, true);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->kind, IndentErrorKind::Overflow);
}

// Under a 1 GiB address-space limit, a terabyte of indentation must end in
// std::bad_alloc rather than an abort.
[[noreturn]] void write_a_terabyte_of_spaces() {
    rlimit lim{};
    lim.rlim_cur = lim.rlim_max = rlim_t{1} << 30;
    ::setrlimit(RLIMIT_AS, &lim);
    MemorySink sink;
    try {
        (void)write_document(sink, E("r").child(E("a")), std::uint64_t{1} << 40, false);
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
    std::function<PlainElement()> tree;
    std::uint64_t indent;
    std::uint64_t limit;
    int expected;  // -1 accepted, else an IndentErrorKind
};

class IndentCheck : public ::testing::TestWithParam<IndentCase> {};

TEST_P(IndentCheck, RejectsOnlyWhatCannotBeHeld) {
    const IndentCase& c = GetParam();
    auto bad = check_indent(c.tree(), c.indent, true, c.limit);
    if (c.expected < 0) {
        EXPECT_FALSE(bad) << bad->message;
        return;
    }
    ASSERT_TRUE(bad);
    EXPECT_EQ(static_cast<int>(bad->kind), c.expected) << bad->message;
    EXPECT_EQ(bad->message.rfind("indent " + std::to_string(c.indent) + " ", 0), 0u) << bad->message;
}

constexpr int kAccepted = -1, kOverflow = static_cast<int>(IndentErrorKind::Overflow),
              kMemory = static_cast<int>(IndentErrorKind::Memory);

PlainElement two_deep() { return E("r").child(E("c").child(E("g"))); }

INSTANTIATE_TEST_SUITE_P(Cases, IndentCheck, ::testing::Values(
    IndentCase{"ordinary", worked_example, 4, kMaxOutputBytes, kAccepted},
    IndentCase{"zero", two_deep, 0, 1, kAccepted},
    IndentCase{"four_gib_per_level", worked_example, std::uint64_t{1} << 32, kMaxOutputBytes, kAccepted},
    IndentCase{"huge_on_lone_root", [] { return E("r"); }, kMax64, kMaxOutputBytes, kAccepted},
    // Only the root's end tag breaks a line, at level 0.
    IndentCase{"huge_where_text_absorbs_breaks", [] { return E("r").text("t").child(E("a")); }, kMax64, kMaxOutputBytes, kAccepted},
    IndentCase{"huge_at_level_one", [] { return E("r").child(E("a")); }, kMax64, kMaxOutputBytes, kMemory},
    IndentCase{"huge_at_level_two", two_deep, kMax64, kMaxOutputBytes, kOverflow},
    IndentCase{"product_is_two_to_the_64", two_deep, std::uint64_t{1} << 63, kMaxOutputBytes, kOverflow},
    IndentCase{"product_fits_sum_does_not", two_deep, std::uint64_t{1} << 62, kMaxOutputBytes, kMemory},
    IndentCase{"exabytes_of_spaces", worked_example, std::uint64_t{1} << 61, kMaxOutputBytes, kMemory},
    IndentCase{"over_a_caller_limit", worked_example, 1u << 20, 1u << 20, kMemory},
    IndentCase{"under_a_caller_limit", worked_example, 4, 1u << 20, kAccepted},
    // A large text is no reason to refuse: only the indentation is weighed against the limit.
    IndentCase{"large_text_small_indent", [] { return E("r").child(E("a").text(std::string(1 << 20, '&'))); }, 4,
               1u << 16, kAccepted}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(IndentCheck, MeasureAgreesWithTheWrittenLayout) {
    std::mt19937 rng(42);
    for (int round = 0; round < 30; ++round) {
        PlainElement a = random_tree(rng, 5, false);
        const LayoutMeasure m = measure_layout(a);
        const std::string out = to_memory(std::move(a), 3, false);
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
    std::mt19937 a(3), b(3);
    const std::string expected = kDecl + to_memory(random_tree(a, 6, true), 2, false);
    ASSERT_GT(expected.size(), 10 * FileSink::kCapacity);
    Pipe p;
    std::string got;
    std::thread reader([&] { got = read_all(p.r); });
    {
        FileSink sink(p.release_w());
        EXPECT_FALSE(write_document(sink, random_tree(b, 6, true), 2, true));
        EXPECT_FALSE(sink.flush());
        EXPECT_EQ(sink.buffered(), 0u);
    }  // closes the write end: the reader sees the end
    reader.join();
    EXPECT_EQ(got, expected);
}

TEST(FileSink, GathersSmallPiecesAndPassesLargeOnes) {
    Pipe p;
    FileSink sink(p.release_w());
    const std::string small(100, 's'), fill(FileSink::kCapacity - 100, 'f'), large(FileSink::kCapacity, 'L');
    ASSERT_FALSE(sink.append(small));
    ASSERT_FALSE(sink.append(fill));  // exactly fills the buffer: nothing written yet
    EXPECT_EQ(pending_bytes(p.r), 0);
    EXPECT_EQ(sink.buffered(), FileSink::kCapacity);
    ASSERT_FALSE(sink.append("x", 1));  // no room: the full buffer goes first
    EXPECT_EQ(pending_bytes(p.r), static_cast<int>(FileSink::kCapacity));
    EXPECT_EQ(sink.buffered(), 1u);
    ASSERT_FALSE(sink.append(large));  // flushes the byte, then bypasses the buffer
    EXPECT_EQ(sink.buffered(), 0u);
    EXPECT_EQ(pending_bytes(p.r), static_cast<int>(2 * FileSink::kCapacity + 1));
    ASSERT_FALSE(sink.append(std::string(FileSink::kCapacity - 1, 'b')));
    EXPECT_EQ(sink.buffered(), FileSink::kCapacity - 1);
    std::string got(2 * FileSink::kCapacity + 1, '\0');
    ASSERT_EQ(::read(p.r, got.data(), got.size()), static_cast<ssize_t>(got.size()));
    EXPECT_EQ(got, small + fill + "x" + large);
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
    ASSERT_FALSE(sink.append(data));
    IoStatus st = sink.flush();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, EAGAIN);
    EXPECT_EQ(sink.buffered(), data.size() - cap);
    std::string got(static_cast<std::size_t>(cap), '\0');
    ASSERT_EQ(::read(p.r, got.data(), got.size()), cap);
    EXPECT_FALSE(sink.flush());
    EXPECT_EQ(sink.buffered(), 0u);
    std::string rest(data.size() - cap, '\0');
    ASSERT_EQ(::read(p.r, rest.data(), rest.size()), static_cast<ssize_t>(rest.size()));
    EXPECT_EQ(got + rest, data);
}

class DevFull : public ::testing::TestWithParam<std::size_t> {};

TEST_P(DevFull, CarriesTheErrorCode) {
    const std::size_t n = GetParam();
    int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    FileSink sink(fd);
    IoStatus st = sink.append(std::string(n, 'x'));
    if (n < FileSink::kCapacity) {
        ASSERT_FALSE(st) << "small pieces wait in the buffer";
        EXPECT_EQ(sink.buffered(), n);
        st = sink.flush();
        EXPECT_EQ(sink.buffered(), n) << "nothing was written, so nothing leaves the buffer";
    }
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, ENOSPC);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DevFull, ::testing::Values(1, FileSink::kCapacity - 1, FileSink::kCapacity, 100000));

TEST(FileSink, DocumentOnAFullDeviceFails) {
    int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    FileSink sink(fd);
    PlainElement root("r");
    for (int i = 0; i < 2000; ++i) root.children.emplace_back("child");  // well past one buffer
    IoStatus st = write_document(sink, std::move(root), 4, true);
    ASSERT_TRUE(st);
    EXPECT_EQ(st->code, ENOSPC);
    EXPECT_TRUE(root.children.empty());
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
    IoStatus st = IoError{-1, "not run"};
    std::thread writer([&] {
        FileSink sink(p.release_w());
        st = sink.append(data);
        if (!st) st = sink.flush();
    });
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::pthread_kill(writer.native_handle(), SIGUSR1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string got = read_all(p.r);
    writer.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_FALSE(st) << st->code << " " << st->message;
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
        FileSink sink(fd);
        EXPECT_FALSE(write_document(sink, worked_example(), 2, true));
        EXPECT_FALSE(sink.flush());
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
    ASSERT_TRUE(std::holds_alternative<IoError>(opened));
    EXPECT_EQ(std::get<IoError>(opened).code, c.code);
    EXPECT_EQ(std::get<IoError>(opened).message, c.message);
    EXPECT_NE(::access((dir.path + "/a").c_str(), F_OK), 0) << "nothing is created";
}

INSTANTIATE_TEST_SUITE_P(Paths, OpenFails, ::testing::Values(
    OpenFailure{"nul_byte", std::string("/a\0b", 4), 0, "file name contained an unexpected NUL byte"},
    OpenFailure{"missing_directory", "/a/b.xml", ENOENT, ""},
    OpenFailure{"directory", "/", EISDIR, ""},
    OpenFailure{"empty", "", ENOENT, ""}),
    [](const auto& info) { return std::string(info.param.label); });
