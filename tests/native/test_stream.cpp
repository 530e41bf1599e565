// The stream reader: fed in pieces of any length, every kernel gives what the
// whole input gives at once; it starts with the reference's matches; its
// window stays as small as the record being read; positions of faults are
// counted across the bytes it dropped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/text/position.hpp"
#include "core/text/utf8.hpp"
#include "tests/reference/stream_run.hpp"

using namespace arbolite;
using check::run_stream;

namespace {

struct StreamCase {
    const char* label;
    std::string doc;
    std::string tag;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.label; }

const std::string kConstructs =
    "<?xml version='1.0' encoding='UTF-8'?>\n<!DOCTYPE r [ <!ENTITY x 'y'> ]>\n<!-- a <comment> -->"
    "<r xmlns:p='urn:p'><?pi data?><rec id=\"1\" p:k='a&amp;b&#x263A;'>caf\xC3\xA9 &lt;\xE4\xB8\xAD&#65;&gt;"
    "<![CDATA[ <not> & ]] markup ]]><sub/> tail\xF0\x9F\x98\x80</rec>\r\n  <rec id='2' a=\"x>y\"/>"
    "<other><rec>inner</rec></other><rec  id = '3' ><rec>nested</rec></rec ></r>\n<!-- after -->";

const StreamCase kCases[] = {
    {"records", kConstructs, "rec"},
    {"empty_elements", kConstructs, "sub"},
    {"document_element", kConstructs, "r"},
    {"absent", kConstructs, "none"},
    {"after_the_document_element", "<r><a>1</a></r>\n<a>2</a><!-- c -->", "a"},
    {"nested_matches", "<a>1<a>2<a>3</a></a></a><a/>", "a"},
    {"many_attributes", "<r><a k0='0' k1='1' k2='2' k3='3' k4='4' k5='5' k6='6' k7='7' k8='8' k9='9'/></r>", "a"},
    {"unknown_entity", "<r><rec>ok</rec><rec>&bogus;</rec></r>", "rec"},
    {"duplicate_attribute", "<r><rec/><rec a='1' a='2'/></r>", "rec"},
    {"mismatched_end", "<r><rec>x</rex></r>", "rec"},
    {"unterminated_cdata", "<r><rec/><rec><![CDATA[ open </rec></r>", "rec"},
    {"unterminated_comment", "<r><rec/><!-- open </r>", "rec"},
    {"truncated", "<r><rec>text</rec><rec>more", "rec"},
    {"unclosed_tag", "<r><rec/></r><after", "rec"},
    {"fault_after_the_document_element", "<r><rec/></r></x>", "rec"},
    {"not_utf8", "<r><rec>ok</rec><rec>\xC3(</rec></r>", "rec"},
    {"cut_sequence_at_the_end", "<r><rec>ok</rec>\xE4\xB8", "rec"},
    {"nothing", "", "rec"},
    {"bom", "\xEF\xBB\xBF<r><rec/></r>", "rec"},
    {"doctype_subset_with_markup", "<!DOCTYPE r [<!ENTITY e \"<rec>]>\"><!-- ]><rec/> --><?p ]>?>]><r><rec>1</rec></r>", "rec"},
    {"unterminated_doctype", "<!DOCTYPE r [<!ENTITY e '<rec/>'><r><rec/></r>", "rec"},
};

class EveryPiece : public ::testing::TestWithParam<StreamCase> {};

TEST_P(EveryPiece, GivesWhatTheWholeGives) {
    const StreamCase& c = GetParam();
    const check::StreamRun reference = run_stream(cpu::Kernel::Scalar, c.doc, c.tag);
    const std::string& whole = reference.out;
    EXPECT_FALSE(reference.asked_past_end) << whole;
    for (cpu::Kernel k : check::runnable_kernels()) {
        EXPECT_EQ(run_stream(k, c.doc, c.tag).out, whole) << check::kernel_name(k);
        for (std::size_t piece = 1; piece <= c.doc.size(); ++piece) {
            ASSERT_EQ(run_stream(k, c.doc, c.tag, {piece}).out, whole) << check::kernel_name(k) << " " << piece;
        }
        ASSERT_EQ(run_stream(k, c.doc, c.tag, {3, 1, 7, 2}).out, whole) << check::kernel_name(k);
    }
    // The reference does not check UTF-8; the stream does.
    if (auto want = is_valid_utf8(c.doc) ? check::reference_matches(c.doc, c.tag) : std::nullopt) {
        EXPECT_EQ(whole.substr(0, want->size()), *want);
    }
}

INSTANTIATE_TEST_SUITE_P(Documents, EveryPiece, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.label); });

TEST(Stream, YieldsTheOutermostMatchesThenEnds) {
    const std::string out = run_stream(cpu::Kernel::Scalar, kConstructs, "rec").out;
    // Four records: the nested one inside the last belongs to it.
    EXPECT_EQ(std::count(out.begin(), out.end(), ';'), 4) << out;
    EXPECT_EQ(out.substr(out.size() - 3), "end");
    EXPECT_EQ(run_stream(cpu::Kernel::Scalar, "<r><a/></r><a/>", "a").out, "a;a;end");
}

TEST(Stream, FaultsComeAfterTheNodesBeforeThem) {
    const std::string out = run_stream(cpu::Kernel::Scalar, "<r><rec>ok</rec><rec>\xC3(</rec></r>", "rec").out;
    EXPECT_EQ(out, "rec'ok';not UTF-8 at 21");
    const std::string bad = run_stream(cpu::Kernel::Scalar, "<r><rec/><rec>&x;</rec></r>", "rec").out;
    EXPECT_EQ(bad.substr(0, 4), "rec;");
    EXPECT_NE(bad.find("unknown entity reference '&x;' at byte 14"), std::string::npos) << bad;
}

// Records stream through a window the size of a few pieces, whatever the
// document's length; a large record widens it only while it is read.
TEST(Stream, TheWindowHoldsAboutARecord) {
    std::string doc = "<dump>";
    for (int i = 0; i < 120000; ++i) doc += "<rec id='" + std::to_string(i) + "'><v>some text &amp; more</v></rec>\n";
    const std::size_t big_at = doc.size();
    doc += "<rec><v>" + std::string(4 << 20, 'y') + "</v></rec>";
    for (int i = 0; i < 120000; ++i) doc += "<rec/>";
    doc += "</dump>";
    ASSERT_GT(doc.size(), std::size_t{10} << 20);
    for (cpu::Kernel k : check::runnable_kernels()) {
        const check::StreamRun run = run_stream(k, doc, "rec", {64 << 10});
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), ';'), 240001) << check::kernel_name(k);
        EXPECT_LT(run.most_held, std::size_t{12} << 20) << check::kernel_name(k);
        const check::StreamRun small = run_stream(k, doc.substr(0, big_at) + "</dump>", "rec", {64 << 10});
        EXPECT_LT(small.most_held, std::size_t{1} << 20) << check::kernel_name(k);
    }
}

// The line and column of a fault, counted across pieces the window dropped,
// with line ends and characters cut between pieces.
TEST(Stream, PositionsAreCountedAcrossDroppedPieces) {
    std::string doc = "\xEF\xBB\xBF<r>";
    for (int i = 0; i < 3000; ++i) doc += (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\r" : "\n") + std::string("<a>\xC3\xA9\xE4\xB8\xAD</a>");
    doc += "\r\n  \xE4\xB8\xAD <a>&bogus;</a></r>";
    const std::uint64_t fault = doc.find("&bogus;");
    const TextPosition want = text_position(doc, fault);
    for (std::size_t piece : {1, 2, 3, 5, 64, 4096}) {
        auto parser = make_stream(cpu::Kernel::Scalar, "a", check::test_type());
        StreamWindow window;
        std::size_t fed = 0;
        StreamStep step = StreamStep::NeedInput;
        for (;;) {
            if (fed != 0) step = parser->step();
            if (step == StreamStep::Node) {
                std::uint64_t count;
                check::release(parser->take_node(count));
                continue;
            }
            if (step != StreamStep::NeedInput) break;
            const std::size_t n = std::min(piece, doc.size() - fed);
            window.append(*parser, std::string_view(doc).substr(fed, n));
            fed += n;
            window.show(*parser, fed == doc.size());
        }
        ASSERT_EQ(step, StreamStep::Error) << piece;
        const CoreError e = parser->take_error();
        ASSERT_TRUE(e.has_offset());
        EXPECT_EQ(e.offset, fault);
        const TextPosition got = window.position(e.offset);
        EXPECT_EQ(got.line, want.line) << piece;
        EXPECT_EQ(got.column, want.column) << piece;
    }
}

}  // namespace
