// The reader's kernels: the scalar, SSE2 and AVX2 builds of the one pass must
// give the reference's outcome on every input, in particular where a vector
// search crosses a 16-, 32- or 64-byte boundary or runs into the end of the
// input. Each document is parsed from a heap block of exactly its size, so
// a read past the end shows under the sanitizers.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "core/base/cpu.hpp"
#include "core/read/parser.hpp"
#include "tests/reference/compare.hpp"

using arbolite::Arena;
using arbolite::ParseOutcome;
using arbolite::CoreError;
using arbolite::cpu::Kernel;
namespace check = arbolite::check;

namespace {

// "" when every kernel gives the reference's outcome for every root.
std::string agree(const std::string& doc, std::initializer_list<const char*> roots = {"a", "b", "r"}) {
    std::unique_ptr<char[]> exact(new char[doc.size() + (doc.empty() ? 1 : 0)]);
    if (!doc.empty()) std::memcpy(exact.get(), doc.data(), doc.size());
    const std::string_view text(exact.get(), doc.size());
    for (const char* root : roots) {
        const check::RefOutcome want = arbolite::reference::parse_root(text, root);
        for (Kernel k : check::runnable_kernels()) {
            std::string d = check::diff_kernel(k, text, root, want);
            if (!d.empty()) return d + " (root " + root + ")";
        }
    }
    return {};
}

#define EXPECT_AGREE(doc, ...)                                      \
    do {                                                            \
        const std::string doc_ = (doc);                             \
        ASSERT_EQ(agree(doc_, ##__VA_ARGS__), "") << "on: " << doc_; \
    } while (0)

}  // namespace

TEST(Cpu, KernelChoiceAndForcing) {
    // Every x86-64 processor has SSE2; without it the probe itself is broken.
    EXPECT_TRUE(arbolite::cpu::can_run(Kernel::Scalar));
    EXPECT_TRUE(arbolite::cpu::can_run(Kernel::Sse2));
    const Kernel best = arbolite::cpu::best_kernel();
    EXPECT_TRUE(arbolite::cpu::can_run(best));
    if (!arbolite::cpu::can_run(Kernel::Avx2)) GTEST_LOG_(INFO) << "AVX2 not available: scalar and SSE2 are compared";
    EXPECT_EQ(arbolite::cpu::active_kernel(), best);
    for (Kernel k : check::runnable_kernels()) {
        arbolite::cpu::force_kernel(k);
        EXPECT_EQ(arbolite::cpu::active_kernel(), k);
        Arena arena(64);
        const ParseOutcome got = arbolite::parse_document("<r a='1'>x</r>", "r", check::test_type(), arena);
        ASSERT_FALSE(got.error);
        EXPECT_EQ(check::render(got.root), "r{a=1}'x'");
    }
    arbolite::cpu::unforce_kernel();
    EXPECT_EQ(arbolite::cpu::active_kernel(), best);
    if (!arbolite::cpu::can_run(Kernel::Avx2)) {
        // Forcing what cannot run leaves the best kernel in charge.
        arbolite::cpu::force_kernel(Kernel::Avx2);
        EXPECT_EQ(arbolite::cpu::active_kernel(), best);
        arbolite::cpu::unforce_kernel();
    }
}

TEST(XmlErrorText, EveryKindHasItsMessage) {
    EXPECT_EQ(CoreError::unclosed_tag(7).message(), "malformed XML: Unclosed tag at byte 7");
    EXPECT_EQ(CoreError::malformed("unexpected '<'", 12).message(), "malformed XML at byte 12: unexpected '<'");
    EXPECT_EQ(CoreError::root_not_found("item").message(), "root tag <item> not found in document");
    EXPECT_EQ(CoreError::never_closed("a").message(), "unexpected end of document: <a> is never closed");
    EXPECT_EQ(CoreError::unknown_entity("nbsp", 3).message(), "unknown entity reference '&nbsp;' at byte 3");
}

// ---- markup edge cases, as outcomes -------------------------------------------

struct EdgeCase {
    const char* name;
    std::string input;
    std::string root;
    std::string expected;  // render() or "error: " + message
};

std::ostream& operator<<(std::ostream& os, const EdgeCase& c) { return os << c.name; }

class MarkupEdges : public ::testing::TestWithParam<EdgeCase> {};

TEST_P(MarkupEdges, OutcomeOfEveryKernelAndTheReference) {
    const EdgeCase& c = GetParam();
    EXPECT_EQ(check::render(arbolite::reference::parse_root(c.input, c.root)), c.expected) << "reference on " << c.input;
    for (Kernel k : check::runnable_kernels()) {
        Arena arena(c.input.size());
        const ParseOutcome got = arbolite::parse_document_with(k, c.input, c.root, check::test_type(), arena);
        EXPECT_EQ(got.error ? "error: " + got.error->message() : check::render(got.root), c.expected)
            << check::kernel_name(k) << " on " << c.input;
    }
    EXPECT_AGREE(c.input, {c.root.c_str(), "a", "b", "r", "z"});
}

INSTANTIATE_TEST_SUITE_P(
    Index, MarkupEdges,
    ::testing::Values(
        EdgeCase{"empty", "", "a", "error: root tag <a> not found in document"},
        EdgeCase{"no_markup", "abc", "a", "error: root tag <a> not found in document"},
        EdgeCase{"element", "<a>x</a>", "a", "a'x'"},
        EdgeCase{"self_close", "<a/>", "a", "a"},
        EdgeCase{"space_before_gt_is_open", "<a / >", "a", "error: malformed XML at byte 3: attribute '/' has no value"},
        EdgeCase{"quoted_gt", "<a b='x>y'>", "a", "error: unexpected end of document: <a> is never closed"},
        EdgeCase{"quoted_gt_closed", "<a b='x>y'></a>", "a", "a{b=x>y}"},
        EdgeCase{"slash_inside_value_is_open", "<a b='x/'>", "a", "error: unexpected end of document: <a> is never closed"},
        EdgeCase{"slash_after_value", "<a b=\"x\"/>", "a", "a{b=x}"},
        EdgeCase{"close_with_space", "</a >", "a", "error: malformed XML at byte 0: unexpected end tag </a>"},
        EdgeCase{"text_around", "t<a/>u<b/>v", "b", "b"},
        EdgeCase{"doctype_skipped", "<!DOCTYPE r>t<a/>", "a", "a"},
        EdgeCase{"empty_cdata", "<![CDATA[]]>", "a", "error: root tag <a> not found in document"},
        EdgeCase{"markup_in_cdata", "<a><![CDATA[<b>]]></a>", "a", "a'<b>'"},
        EdgeCase{"markup_in_comment", "<a><!-- <b> --></a>", "a", "a"},
        EdgeCase{"unclosed_markup_in_comment", "<a><!-- <b --></a>", "a", "a"},
        EdgeCase{"shortest_comment", "<!----><a/>", "a", "a"},
        EdgeCase{"xml_declaration", "<?xml version='1.0'?><r/>", "r", "r"},
        EdgeCase{"empty_pi", "<?>", "a", "error: root tag <a> not found in document"},
        EdgeCase{"empty_pi_needs_its_question_mark", "<?><a/>", "a",
                 "error: malformed XML at byte 0: unterminated processing instruction"},
        EdgeCase{"unclosed_open", "<a", "a", "error: malformed XML: Unclosed tag at byte 0"},
        EdgeCase{"unclosed_close", "<a></a", "a", "error: malformed XML: Unclosed tag at byte 3"},
        EdgeCase{"lone_quote_skips_gt", "<a b='>", "a", "error: malformed XML: Unclosed tag at byte 0"},
        EdgeCase{"lone_quote_then_gt", "<a b='x>", "a", "error: malformed XML at byte 6: unterminated attribute value"},
        EdgeCase{"lone_quote_then_gt_outside", "<a b='x>", "z", "error: root tag <z> not found in document"},
        EdgeCase{"lone_quote_skips_slash", "<a '/>", "a", "error: malformed XML at byte 3: expected attribute name"},
        EdgeCase{"lt_as_last_byte", "<a>x<", "a", "error: malformed XML: Unclosed tag at byte 4"},
        EdgeCase{"unterminated_comment", "<a><!-- x > y", "a", "error: malformed XML at byte 3: unterminated markup"},
        EdgeCase{"comment_at_the_very_end", "<!-->", "a", "error: malformed XML at byte 0: unterminated markup"},
        EdgeCase{"unterminated_cdata", "<![CDATA[a]b>", "a", "error: malformed XML at byte 0: unterminated CDATA section"},
        EdgeCase{"short_unterminated_cdata", "<![CDATA[>", "a", "error: malformed XML at byte 0: unterminated CDATA section"},
        EdgeCase{"unterminated_pi", "<?pi", "a", "error: malformed XML at byte 0: unterminated markup"},
        EdgeCase{"pi_without_end", "<?a b>", "a", "error: malformed XML at byte 0: unterminated processing instruction"},
        EdgeCase{"apostrophe_in_text", "<r>it's <b/> ok</r>", "r", "r'it's  ok'[b]"},
        EdgeCase{"nested_lt_in_open", "<<<a>", "a", "error: root tag <a> not found in document"},
        EdgeCase{"nested_lt_in_open_as_root", "<<<a>", "<<a", "error: unexpected end of document: <<<a> is never closed"},
        EdgeCase{"nested_lt_after_space", "<a <b c>", "a", "error: malformed XML at byte 3: attribute '<b' has no value"},
        EdgeCase{"nested_lt_in_close", "</</a >", "a", "error: malformed XML at byte 0: unexpected end tag </</a>"},
        EdgeCase{"repeated_unterminated_cdata", "<![CDATA[]<![CDATA[><![CDATA[>", "a",
                 "error: malformed XML at byte 0: unterminated CDATA section"},
        EdgeCase{"quoted_lt_in_text", "<r>\"<b>\"</r>", "r", "error: malformed XML at byte 8: expected </b>, found </r>"},
        // Past the wanted element's end only an unclosed tag still counts, and it wins.
        EdgeCase{"unclosed_tag_after_the_element", "<a>x</a><b", "a", "error: malformed XML: Unclosed tag at byte 8"},
        EdgeCase{"lt_at_the_end_after_the_element", "<a/><", "a", "error: malformed XML: Unclosed tag at byte 4"},
        EdgeCase{"unclosed_end_tag_after_the_element", "<a/></a", "a", "error: malformed XML: Unclosed tag at byte 4"},
        EdgeCase{"lone_quote_after_the_element", "<a/><b c='>", "a", "error: malformed XML: Unclosed tag at byte 4"},
        EdgeCase{"quote_pair_hides_the_gt", "<a/><b c='>'", "a", "error: malformed XML: Unclosed tag at byte 4"},
        EdgeCase{"unclosed_after_a_comment", "<a><!-- x --><b", "a", "error: malformed XML: Unclosed tag at byte 13"},
        EdgeCase{"unterminated_comment_after_the_element", "<a/><!-- x", "a", "a"},
        EdgeCase{"unterminated_comment_hides_a_later_lt", "<a/><!-- <b", "a", "a"},
        EdgeCase{"unterminated_cdata_after_the_element", "<a/><![CDATA[x", "a", "a"},
        EdgeCase{"unterminated_cdata_leaves_a_later_lt", "<a/><![CDATA[ <b", "a", "error: malformed XML: Unclosed tag at byte 14"},
        EdgeCase{"unterminated_cdata_up_to_its_last_bracket", "<a/><![CDATA[ ] <b ]x", "a", "a"},
        EdgeCase{"unterminated_pi_after_the_element", "<a/><?p <b", "a", "a"},
        EdgeCase{"declaration_without_gt_leaves_a_later_lt", "<a/><!x <b", "a", "error: malformed XML: Unclosed tag at byte 8"},
        EdgeCase{"declaration_swallows_to_its_gt", "<a/><!x <b>", "a", "a"},
        // A document type declaration ends at the '>' after its internal
        // subset; literals, comments and processing instructions in it are
        // stepped over whole.
        EdgeCase{"doctype_literal_with_markup", "<!DOCTYPE a [<!ENTITY e \"<b>x</b>\">]><a>hi</a>", "a", "a'hi'"},
        EdgeCase{"doctype_literal_with_the_root", "<!DOCTYPE a [<!ENTITY e '<a>fake</a>'>]><a>real</a>", "a", "a'real'"},
        EdgeCase{"doctype_literal_with_the_other_quote", "<!DOCTYPE a [<!ENTITY e \"']><a/>\">]><a>t</a>", "a", "a't'"},
        EdgeCase{"doctype_comment_and_pi", "<!DOCTYPE a [<!-- ]><a/> --><?p ]><a/>?>]><a>t</a>", "a", "a't'"},
        EdgeCase{"doctype_external_literal", "<!DOCTYPE a SYSTEM \"a>b\"><a>t</a>", "a", "a't'"},
        EdgeCase{"doctype_unterminated", "<!DOCTYPE a [<a/>", "a",
                 "error: malformed XML at byte 0: unterminated document type declaration"},
        EdgeCase{"doctype_unterminated_literal", "<!DOCTYPE a SYSTEM 'x><a/>", "a",
                 "error: malformed XML at byte 0: unterminated document type declaration"},
        EdgeCase{"doctype_short_lt_at_the_end", "<!DOCTYPE a [<!]", "a",
                 "error: malformed XML at byte 0: unterminated document type declaration"},
        EdgeCase{"doctype_unterminated_after_the_element", "<a/><!DOCTYPE a [<b", "a", "a"},
        EdgeCase{"doctype_cut_short", "<!DOCTYP", "a", "error: root tag <a> not found in document"},
        EdgeCase{"error_before_the_element_is_kept", "<x y=1/><a/><b", "a", "error: malformed XML: Unclosed tag at byte 12"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Markup, ConstructsAcrossManyBlocksAreSkippedWhole) {
    // Comments, CDATA and PIs much longer than a vector, full of markup the
    // search must step over.
    std::string inner;
    for (int i = 0; i < 100; ++i) inner += "<x>";
    const std::string doc = "<r><!--" + inner + "--><![CDATA[" + inner + "]]><?p " + inner + "?></r>";
    Arena arena(doc.size());
    for (Kernel k : check::runnable_kernels()) {
        const ParseOutcome got = arbolite::parse_document_with(k, doc, "r", check::test_type(), arena);
        ASSERT_FALSE(got.error) << got.error->message();
        EXPECT_EQ(check::render(got.root), "r'" + inner + "'");
    }
    EXPECT_AGREE(doc);
}

// ---- kernels agree -------------------------------------------------------------

// Text made mostly of the bytes the reader stops at.
std::string random_markup(std::mt19937_64& rng, std::size_t len) {
    static const char alphabet[] = "<>\"'<>\"'ab =/!-[]?&;\n";
    std::uniform_int_distribution<int> pick(0, sizeof(alphabet) - 2);
    std::string s(len, ' ');
    for (char& c : s) c = alphabet[pick(rng)];
    return s;
}

// Pieces of real markup, cut to an exact length.
std::string random_pieces(std::mt19937_64& rng, std::size_t len) {
    static const char* const pieces[] = {
        "<a>", "</a>", "<b>", "</b>", "<r>", "</r>", "<a/>", "<b x='1'>", "<a y=\"2\" z='3'/>", "<!--", "-->", "<!-- c -->",
        "<![CDATA[", "]]>", "<![CDATA[x]]>", "<?p", "?>", "<?p q?>", "<!DOCTYPE r>", "<!DOCTYPE r [", "]>", "<!ENTITY e '<a>'>", "<!x", "&amp;", "&#x41;", "&bad;",
        "'", "\"", "<", ">", "/", "=", " ", "\n", "text", "\xC2\xA0", "]", "-", "</a >", "<a / >"};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1);
    std::string s;
    while (s.size() < len) s += pieces[pick(rng)];
    s.resize(len);
    return s;
}

TEST(Kernels, AgreeOnEveryLengthUpTo200) {
    std::mt19937_64 rng(12345);
    for (std::size_t len = 0; len <= 200; ++len) {
        for (int round = 0; round < 6; ++round) {
            EXPECT_AGREE(random_markup(rng, len));
            EXPECT_AGREE(random_pieces(rng, len));
        }
    }
}

TEST(Kernels, AgreeOnEveryPrefixOfARichDocument) {
    // Markup right at the end of the input, at every length.
    const std::string doc =
        "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e \"<a>]>\"><!-- ]> --><?p ]>?>]><r a='1' b=\"x>y\"><!-- c --> t &amp; <b c='\"'/>"
        "<![CDATA[ <x> ]]><?p q?><a k0='0' k1='1' k2='2' k3='3' k4='4' k5='5' k6='6' k7='7' k8='8'>u</a >"
        "<b>\xC2\xA0v\xC2\xA0</b></r><!-- after --><a/>";
    for (std::size_t len = 0; len <= doc.size(); ++len) EXPECT_AGREE(doc.substr(0, len));
    for (std::size_t start = 0; start <= doc.size(); ++start) EXPECT_AGREE(doc.substr(start));
}

// Each construct at every offset from 0 to 130 behind a filler, inside an
// element, before the root, and cut off at the end of the input, so that
// each of its parts lands on each side of every vector boundary.
class ConstructsAtEveryOffset : public ::testing::TestWithParam<const char*> {};

TEST_P(ConstructsAtEveryOffset, Agree) {
    const std::string c = GetParam();
    for (std::size_t k = 0; k <= 130; ++k) {
        const std::string text(k, 't'), space(k, ' ');
        EXPECT_AGREE("<r>" + text + c + "</r>");
        EXPECT_AGREE("<r>" + text + c);
        EXPECT_AGREE(space + c + "<r/>");
        EXPECT_AGREE("<r a='" + text + "'>" + c + "</r>");
        EXPECT_AGREE("<r>" + text + c + text + c + "</r>");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Markup, ConstructsAtEveryOffset,
    ::testing::Values("<a b='x>y' c=\"p'q\">t</a>", "<a b='x>", "<a b=\"x>", "<!-- c -- > -->", "<!---->", "<!-- open",
                      "<![CDATA[ ]] ] ]> ]]>", "<![CDATA[x]]", "<![CDATA[", "<?p ? > ?>", "<?p", "&amp;&#x41;", "&bad;",
                      "</a >", "<a/>", "<a / >", "<!DOCTYPE r [<!x>]>", "\"'\"'", "<", "<a", "</r", "<a b='1' b='2'/>",
                      "<a k0='' k1='' k2='' k3='' k4='' k5='' k6='' k7='' k8='' k9=''/>", "\xE3\x80\x80", "a\t\r\nb"),
    [](const auto& info) { return "construct" + std::to_string(info.index); });

// Quote pairs around the borders of the first four blocks, each kind, opened
// in one block and closed in the same or a later one.
class QuotesAtBorders : public ::testing::TestWithParam<char> {};

TEST_P(QuotesAtBorders, Agree) {
    const char q = GetParam();
    const char other = q == '"' ? '\'' : '"';
    std::string base;
    for (int i = 0; i < 256; ++i) base.push_back("<a>b<>"[i % 6]);
    const std::size_t spots[] = {0, 1, 15, 16, 17, 31, 32, 33, 62, 63, 64, 65, 126, 127, 128, 129, 191, 192, 255};
    for (std::size_t open : spots) {
        for (std::size_t close : spots) {
            if (close <= open) continue;
            for (int variant = 0; variant < 3; ++variant) {
                std::string s = base;
                s[open] = q;
                s[close] = q;
                if (variant == 1) s[(open + close) / 2] = other;                  // inside the string
                if (variant == 2 && close + 1 < s.size()) s[close + 1] = other;  // right after it
                EXPECT_AGREE(s);
                EXPECT_AGREE(s.substr(0, close + 1));
                EXPECT_AGREE(s.substr(0, close));  // left open at the end
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothKinds, QuotesAtBorders, ::testing::Values('"', '\''),
                         [](const auto& info) { return info.param == '"' ? "double" : "single"; });

// Random documents shaped like real ones: nested elements with quoted
// markup in values, comments, CDATA, PIs and declarations.
std::string random_document(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> pick(0, 99);
    std::string out = pick(rng) < 50 ? "<?xml version=\"1.0\"?>" : "";
    int depth = 0;
    const int steps = 5 + pick(rng);
    for (int i = 0; i < steps; ++i) {
        const int c = pick(rng);
        if (c < 25) {
            out += "<e" + std::to_string(depth % 3);
            for (int a = pick(rng) % 12; a > 0; --a) {
                out += " a" + std::to_string(a) + (pick(rng) < 50 ? "=\"x>y'<z\"" : "='q\"/>r'");
            }
            if (pick(rng) < 30) {
                out += "/>";
            } else {
                out += ">";
                ++depth;
            }
        } else if (c < 45 && depth > 0) {
            --depth;
            out += "</e" + std::to_string(depth % 3) + (pick(rng) < 20 ? " >" : ">");
        } else if (c < 55) {
            out += "<!-- <c> -- > -->";
        } else if (c < 62) {
            out += "<![CDATA[ <d> ]] > ]]>";
        } else if (c < 66) {
            out += "<?pi <p> > ?>";
        } else if (c < 70) {
            out += "<!DOCTYPE x>";
        } else {
            out += pick(rng) < 50 ? " text > &amp; " : "\n";
        }
    }
    while (depth > 0) out += "</e" + std::to_string(--depth % 3) + ">";
    return out;
}

TEST(Kernels, AgreeOnRandomDocumentsAndTheirMutations) {
    std::mt19937_64 rng(2024);
    std::uniform_int_distribution<int> pick(0, 99);
    for (int i = 0; i < 2000; ++i) {
        std::string doc = random_document(rng);
        EXPECT_AGREE(doc, {"e0", "e1", "e2"});
        // One byte changed to one the reader stops at.
        if (!doc.empty()) {
            doc[static_cast<std::size_t>(rng() % doc.size())] = "<>\"'/&]-?"[pick(rng) % 9];
            EXPECT_AGREE(doc, {"e0", "e1", "e2"});
        }
    }
}

TEST(Kernels, AgreeOnLongInputs) {
    std::mt19937_64 rng(99);
    for (std::size_t len : {4096, 65536 + 17, 200003}) {
        EXPECT_AGREE(random_markup(rng, len));
        EXPECT_AGREE(random_pieces(rng, len));
        // Sparse specials: long strings and long quote-free runs.
        std::string sparse(len, 'x');
        std::uniform_int_distribution<std::size_t> at(0, len - 1);
        for (int i = 0; i < 200; ++i) sparse[at(rng)] = "<>\"'"[i % 4];
        EXPECT_AGREE(sparse);
        std::string element = "<r>" + sparse + "</r>";
        EXPECT_AGREE(element);
    }
}

TEST(Kernels, AgreeOnRepeatedUnterminatedConstructs) {
    // The reader remembers where no "]]>" or '>' follows; the answers must
    // still be the ones a fresh search gives.
    std::string cdata, decl, mixed;
    for (int i = 0; i < 300; ++i) {
        cdata += "<![CDATA[" + std::string(static_cast<std::size_t>(i % 40), ']') + "x";
        decl += "<!x " + std::string(static_cast<std::size_t>(i % 40), 'y');
        mixed += i % 3 == 0 ? "<a/><![CDATA[ ]" : i % 3 == 1 ? "<!d <a/>" : "<!-- ]]> -- ";
    }
    EXPECT_AGREE(cdata);
    EXPECT_AGREE(cdata + "]]>");
    EXPECT_AGREE(decl);
    EXPECT_AGREE(decl + ">");
    EXPECT_AGREE(mixed);
    EXPECT_AGREE("<r>" + mixed + "-->");
}
