// The one-pass reader: every case with every kernel the processor runs, each
// checked against its written expectation and against the reference reader.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>

#include "core/read/parser.hpp"
#include "core/text/references.hpp"
#include "core/text/white_space.hpp"
#include "tests/reference/compare.hpp"

using arbolite::Arena;
using arbolite::ParseOutcome;
using arbolite::CoreError;
using arbolite::cpu::Kernel;
namespace check = arbolite::check;

namespace {

// The element rendered, or "error: " and the message; also demands the
// reference's exact outcome.
std::string parse(Kernel k, const std::string& doc, const std::string& root) {
    const check::RefOutcome want = arbolite::reference::parse_root(doc, root);
    Arena arena(doc.size());
    const ParseOutcome got = arbolite::parse_document_with(k, doc, root, check::test_type(), arena);
    const std::string diff = check::diff_outcome(got, want, check::test_type());
    EXPECT_EQ(diff, "") << check::kernel_name(k) << " differs from the reference on " << doc.substr(0, 200);
    if (got.error) return "error: " + got.error->message();
    return got.root ? check::render(got.root) : "(no root)";
}

// The outcome as a value, for comparing two parses whose offsets differ.
std::variant<std::string, CoreError> outcome(Kernel k, const std::string& doc, const std::string& root) {
    Arena arena(doc.size());
    const ParseOutcome got = arbolite::parse_document_with(k, doc, root, check::test_type(), arena);
    if (got.error) return *got.error;
    return check::render(got.root);
}

struct Case {
    const char* name;
    std::string doc;
    std::string root;
    std::string expected;  // render() of the element, or "error: " + message
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

class ParseCases : public ::testing::TestWithParam<std::tuple<Case, Kernel>> {};

TEST_P(ParseCases, GivesTheElementOrTheError) {
    const auto& [c, kernel] = GetParam();
    EXPECT_EQ(parse(kernel, c.doc, c.root), c.expected) << c.doc;
    EXPECT_EQ(check::render(arbolite::reference::parse_root(c.doc, c.root)), c.expected) << "reference, " << c.doc;
}

std::string case_name(const ::testing::TestParamInfo<std::tuple<Case, Kernel>>& info) {
    return std::string(std::get<0>(info.param).name) + "_" + check::kernel_name(std::get<1>(info.param));
}

std::string kernel_param_name(const ::testing::TestParamInfo<Kernel>& info) { return check::kernel_name(info.param); }

INSTANTIATE_TEST_SUITE_P(
    Elements, ParseCases,
    ::testing::Combine(
        ::testing::Values(
            Case{"bare_root", "<root/>", "root", "root"},
            Case{"nested_root_text_joined", "<a><root x='1'> hi <b/> there </root></a>", "root", "root{x=1}'hi  there'[b]"},
            Case{"whitespace_only_text_is_absent", "<root>  </root>", "root", "root"},
            Case{"cdata_trimmed", "<root><![CDATA[ x ]]></root>", "root", "root'x'"},
            Case{"one_byte_cdata", "<root>a<![CDATA[b]]>c</root>", "root", "root'abc'"},
            Case{"cdata_not_decoded", "<root><![CDATA[&amp;<b>]]></root>", "root", "root'&amp;<b>'"},
            Case{"empty_cdata_adds_nothing", "<root><![CDATA[]]></root>", "root", "root"},
            Case{"space_then_cdata_space", "<root> <![CDATA[ x]]>&#32;</root>", "root", "root'x'"},
            Case{"references", "<root>&lt;&#65;&#x42;&#+67;&#x+44;&#x0045;</root>", "root", "root'<ABCDE'"},
            Case{"replacement_not_rescanned", "<root>&amp;lt;</root>", "root", "root'&lt;'"},
            Case{"multibyte_reference", "<root>&#x20AC;&#128512;</root>", "root", "root'\xE2\x82\xAC\xF0\x9F\x98\x80'"},
            Case{"nul_reference", "<root>a&#0;</root>", "root", std::string("root'a\0'", 8)},
            Case{"reference_whitespace_trimmed", "<root>&#32;x&#x20;</root>", "root", "root'x'"},
            Case{"reference_after_raw_space", "<root>  &#32; x</root>", "root", "root'x'"},
            Case{"attribute_normalisation", "<root a='x&#10;y' b='p\nq' c='r\r\ns\tt\ru'/>", "root",
                 "root{a=x\ny,b=p q,c=r s t u}"},
            Case{"attribute_references", "<root a=\"&quot;&apos;&gt;&lt;&amp;\"/>", "root", "root{a=\"'><&}"},
            Case{"attribute_order_kept", "<root z='1' a=\"2\" m = '3'/>", "root", "root{z=1,a=2,m=3}"},
            Case{"empty_attribute_value", "<root a=''/>", "root", "root{a=}"},
            Case{"quote_of_other_kind_in_value", "<root a='\"' b=\"'\"/>", "root", "root{a=\",b='}"},
            Case{"gt_in_value", "<root a='>' b=\"x>y\">t</root>", "root", "root{a=>,b=x>y}'t'"},
            Case{"nine_attributes_indexed", "<root a='1' b='2' c='3' d='4' e='5' f='6' g='7' h='8' i='9'/>", "root",
                 "root{a=1,b=2,c=3,d=4,e=5,f=6,g=7,h=8,i=9}"},
            Case{"indexed_attributes_on_children",
                 "<root><c k0='0' k1='1' k2='2' k3='3' k4='4' k5='5' k6='6' k7='7' k8='8'>x</c><c/></root>", "root",
                 "root[c{k0=0,k1=1,k2=2,k3=3,k4=4,k5=5,k6=6,k7=7,k8=8}'x',c]"},
            Case{"value_shrinks_past_its_prefix",
                 "<root a='" + std::string(64, 'x') + std::string(20, '\t') + "&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;&amp;'/>",
                 "root", "root{a=" + std::string(64, 'x') + std::string(20, ' ') + "&&&&&&&&&&}"},
            Case{"empty_root_nested_returns_at_once", "<r><root/>", "root", "root"},
            Case{"same_name_nested", "<root><root>x</root></root>", "root", "root[root'x']"},
            Case{"declaration_dropped", "<?xml version='1.0'?><!DOCTYPE root><root/>", "root", "root"},
            Case{"comment_and_pi_removed_from_text", "<root>x<!-- c -->y<?p q?>z</root>", "root", "root'xyz'"},
            Case{"text_after_children", "<root><a/>tail</root>", "root", "root'tail'[a]"},
            Case{"texts_around_children_joined", "<root> a <b/> b <c>x</c> c </root>", "root", "root'a  b  c'[b,c'x']"},
            Case{"indented_children", "<root>\n  <a>1</a>\n  <b>2</b>\n</root>", "root", "root[a'1',b'2']"},
            Case{"root_at_depth", "<a><b><c><root k=\"v\"/></c></b></a>", "root", "root{k=v}"},
            Case{"first_in_document_order", "<root>1</root><root>2</root>", "root", "root'1'"},
            Case{"outer_attributes_not_read", "<a b=1 <<><root/></a>", "root", "root"},
            Case{"nothing_after_root_read", "<root>x</root></zzz>&bogus; <a b=1/>", "root", "root'x'"},
            Case{"text_outside_root_not_read", "& <root/>", "root", "root"},
            Case{"end_tag_unicode_tail", "<root>x</root \xC2\xA0\xE3\x80\x80>", "root", "root'x'"},
            Case{"gt_in_text", "<root>a > b</root>", "root", "root'a > b'"},
            Case{"apostrophes_in_text", "<r>it's <b/> it's</r>", "r", "r'it's  it's'[b]"},
            Case{"apostrophe_alone", "<r>don't</r>", "r", "r'don't'"},
            Case{"quote_in_text", "<r>\"<b>\"</b></r>", "r", "r'\"'[b'\"']"},
            Case{"unicode_names", "<\xC3\xA9l \xC3\xA0='1'>t</\xC3\xA9l>", "\xC3\xA9l", "\xC3\xA9l{\xC3\xA0=1}'t'"},
            Case{"declaration_without_any_gt", "<root>1</root><!x", "root", "root'1'"},
            Case{"declaration_inside_the_element", "<root>1<!x y>2</root>", "root", "root'12'"}),
        ::testing::ValuesIn(check::runnable_kernels())),
    case_name);

INSTANTIATE_TEST_SUITE_P(
    Errors, ParseCases,
    ::testing::Combine(
        ::testing::Values(
            Case{"mismatch_outside_root", "<a></b>", "z", "error: malformed XML at byte 3: expected </a>, found </b>"},
            Case{"mismatch_inside_root", "<root><a>x<b></root>", "root",
                 "error: malformed XML at byte 13: expected </b>, found </root>"},
            Case{"unexpected_end_tag", "</a>", "a", "error: malformed XML at byte 0: unexpected end tag </a>"},
            Case{"malformed_end_tag", "<root>x</root y>", "root",
                 "error: malformed XML at byte 7: malformed end tag </root>"},
            Case{"duplicate_attribute", "<root a='1' a='2'/>", "root",
                 "error: malformed XML at byte 12: duplicate attribute 'a'"},
            Case{"duplicate_in_indexed_list",
                 "<root a='1' b='2' c='3' d='4' e='5' f='6' g='7' h='8' i='9' j='0' c='x'/>", "root",
                 "error: malformed XML at byte 66: duplicate attribute 'c'"},
            Case{"duplicate_at_the_index_threshold", "<root a='1' b='2' c='3' d='4' e='5' f='6' g='7' h='8' h='9'/>",
                 "root", "error: malformed XML at byte 54: duplicate attribute 'h'"},
            Case{"duplicate_in_an_outer_tag", "<x a='1' b='2' c='3' d='4' e='5' f='6' g='7' h='8' i='9' a=''/><root/>",
                 "root", "error: malformed XML at byte 57: duplicate attribute 'a'"},
            Case{"duplicate_after_decoding_error_order", "<root a='1' a='&x;'/>", "root",
                 "error: unknown entity reference '&x;' at byte 15"},
            Case{"no_whitespace_between", "<root a='1'b='2'/>", "root",
                 "error: malformed XML at byte 11: expected whitespace before attribute"},
            Case{"no_whitespace_after_name", "<root/b>", "root",
                 "error: malformed XML at byte 5: expected whitespace before attribute"},
            Case{"no_value", "<root a/>", "root", "error: malformed XML at byte 6: attribute 'a' has no value"},
            Case{"no_value_before_next", "<root a b='1'/>", "root",
                 "error: malformed XML at byte 6: attribute 'a' has no value"},
            Case{"not_quoted", "<root a=1/>", "root", "error: malformed XML at byte 8: value of attribute 'a' is not quoted"},
            Case{"not_quoted_at_region_end", "<root a= />", "root",
                 "error: malformed XML at byte 9: value of attribute 'a' is not quoted"},
            Case{"no_attribute_name", "<root ='1'/>", "root", "error: malformed XML at byte 6: expected attribute name"},
            Case{"unterminated_value", "<root a='1/>", "root", "error: malformed XML at byte 9: unterminated attribute value"},
            Case{"lt_in_value", "<root a='x<y'/>", "root",
                 "error: malformed XML at byte 10: '<' is not allowed in attribute values"},
            Case{"lt_after_reference_in_value", "<root a='&amp;x<y'/>", "root",
                 "error: malformed XML at byte 15: '<' is not allowed in attribute values"},
            Case{"lt_wins_over_a_later_bad_reference", "<root a='x<y&bad;'/>", "root",
                 "error: malformed XML at byte 10: '<' is not allowed in attribute values"},
            Case{"outer_self_close_validated", "<x b=1/><root/>", "root",
                 "error: malformed XML at byte 5: value of attribute 'b' is not quoted"},
            Case{"empty_name_outside", "<a>< b></a>", "z", "error: malformed XML at byte 3: expected element name after '<'"},
            Case{"empty_name_as_root", "< a/>", "", "error: malformed XML at byte 0: expected element name after '<'"},
            Case{"empty_name_inside", "<root>< b/></root>", "root",
                 "error: malformed XML at byte 6: expected element name after '<'"},
            Case{"never_closed", "<root>", "root", "error: unexpected end of document: <root> is never closed"},
            Case{"innermost_never_closed", "<root><a>", "root", "error: unexpected end of document: <a> is never closed"},
            Case{"root_not_found", "<x/>", "root", "error: root tag <root> not found in document"},
            Case{"root_not_found_in_empty_input", "", "root", "error: root tag <root> not found in document"},
            Case{"empty_root_tag_not_found", "<a/>", "", "error: root tag <> not found in document"},
            Case{"unterminated_entity", "<root>a & b</root>", "root",
                 "error: malformed XML at byte 8: unterminated entity reference"},
            Case{"entity_name_with_space", "<root>a & b;</root>", "root", "error: unknown entity reference '& b;' at byte 8"},
            Case{"unknown_entity", "<root>&nbsp;</root>", "root", "error: unknown entity reference '&nbsp;' at byte 6"},
            Case{"entity_after_leading_space", "<root>\n  &nbsp;</root>", "root",
                 "error: unknown entity reference '&nbsp;' at byte 9"},
            Case{"entity_in_a_later_piece", "<root>ok<!-- -->&nbsp;</root>", "root",
                 "error: unknown entity reference '&nbsp;' at byte 16"},
            Case{"empty_entity", "<root>&;</root>", "root", "error: unknown entity reference '&;' at byte 6"},
            Case{"entity_in_attribute", "<root a='&bogus;'/>", "root", "error: unknown entity reference '&bogus;' at byte 9"},
            Case{"upper_case_x", "<root>&#X42;</root>", "root",
                 "error: malformed XML at byte 6: invalid character reference '&#X42;'"},
            Case{"surrogate", "<root>&#xD800;</root>", "root",
                 "error: malformed XML at byte 6: invalid character reference '&#xD800;'"},
            Case{"above_unicode", "<root>&#x110000;</root>", "root",
                 "error: malformed XML at byte 6: invalid character reference '&#x110000;'"},
            Case{"above_32_bits", "<root>&#4294967296;</root>", "root",
                 "error: malformed XML at byte 6: invalid character reference '&#4294967296;'"},
            Case{"no_digits", "<root>&#x;</root>", "root", "error: malformed XML at byte 6: invalid character reference '&#x;'"},
            Case{"only_plus", "<root>&#+;</root>", "root", "error: malformed XML at byte 6: invalid character reference '&#+;'"},
            Case{"bad_digit", "<root>&#12a;</root>", "root",
                 "error: malformed XML at byte 6: invalid character reference '&#12a;'"},
            Case{"unterminated_comment_markup", "<root><!-- x </root>", "root",
                 "error: malformed XML at byte 6: unterminated markup"},
            Case{"unterminated_cdata", "<root><![CDATA[x]]</root>", "root",
                 "error: malformed XML at byte 6: unterminated CDATA section"},
            Case{"unterminated_pi", "<root><?pi x</root>", "root",
                 "error: malformed XML at byte 6: unterminated processing instruction"},
            Case{"unclosed_tag", "<root>x<", "root", "error: malformed XML: Unclosed tag at byte 7"},
            Case{"unclosed_tag_reported_first", "</x><a", "a", "error: malformed XML: Unclosed tag at byte 4"},
            Case{"unclosed_tag_after_the_element_wins", "<root>x</root><a", "root",
                 "error: malformed XML: Unclosed tag at byte 14"},
            Case{"unclosed_tag_wins_over_an_earlier_error", "<root a=1/><b", "root",
                 "error: malformed XML: Unclosed tag at byte 11"},
            Case{"declaration_ends_at_the_next_gt", "<!x <root>1</root>", "root",
                 "error: malformed XML at byte 11: unexpected end tag </root>"},
            Case{"unclosed_end_tag_after_the_element", "<root/></root", "root",
                 "error: malformed XML: Unclosed tag at byte 7"}),
        ::testing::ValuesIn(check::runnable_kernels())),
    case_name);

// ---- quote density never matters ------------------------------------------

class EveryKernel : public ::testing::TestWithParam<Kernel> {};
INSTANTIATE_TEST_SUITE_P(Kernels, EveryKernel, ::testing::ValuesIn(check::runnable_kernels()), kernel_param_name);

TEST_P(EveryKernel, QuoteDenseDocumentWithApostrophesParses) {
    const Kernel k = GetParam();
    const std::string item = "<item a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\">don't</item>";
    std::string doc = "<list>";
    for (int i = 0; i < 200; ++i) doc += item;
    doc += "</list>";
    std::string expected = "list[";
    for (int i = 0; i < 200; ++i) expected += std::string(i ? "," : "") + "item{a=1,b=2,c=3,d=4,e=5,f=6}'don't'";
    EXPECT_EQ(parse(k, doc, "list"), expected + "]");
    EXPECT_EQ(parse(k, doc, "item"), "item{a=1,b=2,c=3,d=4,e=5,f=6}'don't'");
    EXPECT_EQ(parse(k, doc.substr(0, doc.size() - 7), "list"), "error: unexpected end of document: <list> is never closed");
}

TEST_P(EveryKernel, QuoteDenseDocumentWithMarkupInValues) {
    std::string doc = "<list>";
    for (int i = 0; i < 100; ++i) doc += "<item a=\"x>y\" b=\"&amp;\" c=\"3\" d=\"4\" e=\"5\" f=\"6\">t</item>";
    doc += "</list>";
    const std::string got = parse(GetParam(), doc, "list");
    EXPECT_EQ(got.rfind("list[item{a=x>y,b=&,c=3,d=4,e=5,f=6}'t',", 0), 0u) << got.substr(0, 80);
}

TEST_P(EveryKernel, UnquotedLessThanInsideTags) {
    const Kernel k = GetParam();
    const std::string pad(4096, '"');
    const std::string doc = pad + "<a x<y=\"1\"></y=\"1\"></a>";
    EXPECT_EQ(parse(k, doc, "a"), "error: malformed XML at byte 4107: expected </a>, found </y=\"1\">");

    std::string attrs;
    for (int i = 0; i < 300; ++i) attrs += " <b" + std::to_string(i) + "=\"1\"";
    const std::string got = parse(k, pad + "<a><c" + attrs + "/></a>", "a");
    EXPECT_EQ(got.rfind("a[c{<b0=1,<b1=1,", 0), 0u) << got.substr(0, 40);
    EXPECT_EQ(got.substr(got.size() - 10), ",<b299=1}]") << got.substr(got.size() - 40);
}

// Markup that a reader tracking quotes outside tags would misread: padding a
// document with quote-dense markup never changes what it gives, offsets apart.
class DensityIndependence : public ::testing::TestWithParam<std::tuple<const char*, Kernel>> {};

TEST_P(DensityIndependence, PaddingWithDenseQuotesNeverChangesTheOutcome) {
    const auto& [raw, k] = GetParam();
    const std::string doc = raw;
    std::string pad = "<z";
    for (int i = 0; i < 700; ++i) pad += " a" + std::to_string(i) + "=\"\"";
    pad += "/>";
    const auto plain = outcome(k, doc, "root");
    auto padded = outcome(k, pad + doc, "root");
    if (auto* e = std::get_if<CoreError>(&padded)) {
        if (e->kind != CoreError::Kind::RootNotFound && e->kind != CoreError::Kind::NeverClosed) e->offset -= pad.size();
    }
    EXPECT_EQ(padded, plain);
    EXPECT_EQ(check::diff_all_kernels(pad + doc, "root"), "");
    EXPECT_EQ(check::diff_all_kernels(doc, "root"), "");
}

INSTANTIATE_TEST_SUITE_P(
    HiddenMarkup, DensityIndependence,
    ::testing::Combine(::testing::Values("<a>'</a><root>1</root><a>'</a><root>2</root>",
                                         "<x><!-- it's --><root>1</root><!-- ' --><root>2</root></x>",
                                         "<x><?pi don't?><root>1</root><?pi '?><root>2</root></x>",
                                         "<x a='1' \"><root>1</root>\"<root>2</root></x>",
                                         "<!DOCTYPE x [<!ENTITY e 'v'>]><x><root>1</root></x>",
                                         "<!x <root>1</root> ><root>2</root>", "<root>1</root><!-- never closed ' <",
                                         "<root>1</root><![CDATA[ ' <", "<root>1</root></\"\"\">< \"\"\">",
                                         "<root a='1'b='2'/><x", "<root>&bad;</root>"),
                       ::testing::ValuesIn(check::runnable_kernels())),
    [](const auto& info) {
        return "doc" + std::to_string(info.index / check::runnable_kernels().size()) + "_" +
               check::kernel_name(std::get<1>(info.param));
    });

// ---- sizes ----------------------------------------------------------------

TEST_P(EveryKernel, MillionLevelsDeep) {
    constexpr std::size_t kDepth = 1'000'000;
    std::string doc;
    doc.reserve(kDepth * 7 + 1);
    for (std::size_t i = 0; i < kDepth; ++i) doc += "<a>";
    doc += "x";
    for (std::size_t i = 0; i < kDepth; ++i) doc += "</a>";
    {
        Arena arena(doc.size());
        const ParseOutcome got = arbolite::parse_document_with(GetParam(), doc, "a", check::test_type(), arena);
        ASSERT_FALSE(got.error) << got.error->message();
        EXPECT_EQ(got.node_count, kDepth);
        EXPECT_EQ(check::diff_tree(got.root, check::chain(kDepth, "a", "x"), check::test_type()), "");
    }
    // The same depth left open: the error path releases the open frames.
    doc.resize(kDepth * 3);
    EXPECT_EQ(parse(GetParam(), doc, "a"), "error: unexpected end of document: <a> is never closed");
}

TEST_P(EveryKernel, NamesLongerThan65535BytesReadBackWhole) {
    const Kernel k = GetParam();
    const std::string name(70000, 'n');
    const std::string attr(66000, 'k');
    const std::string value(200000, 'v');
    const std::string doc = "<" + name + " " + attr + "='" + value + "'><c/></" + name + ">";
    EXPECT_EQ(parse(k, doc, name), name + "{" + attr + "=" + value + "}[c]");

    // A mismatch names both long names in full.
    const std::string other(70000, 'm');
    const std::string bad = "<" + name + "></" + other + ">";
    EXPECT_EQ(parse(k, bad, "z"), "error: malformed XML at byte 70002: expected </" + name + ">, found </" + other + ">");
}

TEST_P(EveryKernel, TextsAndValuesLongerThanASlab) {
    const Kernel k = GetParam();
    // Two megabytes of text in pieces, some decoded: the text outgrows any
    // slab and must come back whole.
    std::string text;
    for (int i = 0; i < 20000; ++i) text += i % 3 ? std::string(100, 'a' + i % 26) : "x&amp;y" + std::string(93, 'z');
    std::string expected;
    for (int i = 0; i < 20000; ++i) expected += i % 3 ? std::string(100, 'a' + i % 26) : "x&y" + std::string(93, 'z');
    const std::string doc = "<r v='" + text + "'><c>" + text + "</c>" + text + "<!---->" + text + "</r>";
    EXPECT_EQ(parse(k, doc, "r"), "r{v=" + expected + "}'" + expected + expected + "'[c'" + expected + "']");
}

TEST_P(EveryKernel, ManyAttributesWithCollidingShapes) {
    const Kernel k = GetParam();
    // 20,000 keys of one length sharing a long prefix, then a duplicate of one
    // in the middle: found through the keyed set, reported at its own offset.
    std::string tag = "<r";
    std::string expected = "r{";
    for (int i = 0; i < 20000; ++i) {
        char key[32];
        std::snprintf(key, sizeof key, "prefix_%06d", i);
        tag += std::string(" ") + key + "='" + std::to_string(i) + "'";
        expected += std::string(i ? "," : "") + key + "=" + std::to_string(i);
    }
    EXPECT_EQ(parse(k, tag + "/>", "r"), expected + "}");
    const std::string dup = tag + " prefix_010000='x'/>";
    EXPECT_EQ(parse(k, dup, "r"),
              "error: malformed XML at byte " + std::to_string(tag.size() + 1) + ": duplicate attribute 'prefix_010000'");
}

// ---- white space ------------------------------------------------------------

// Every character with the White_Space property, and a few that lack it.
class WhiteSpace : public ::testing::TestWithParam<std::pair<std::string, bool>> {};

TEST_P(WhiteSpace, TrimmedFromTextAndAllowedInEndTags) {
    const auto& [ch, is_space] = GetParam();
    const std::string text = ch + ch + "x" + ch + "y" + ch;
    for (Kernel k : check::runnable_kernels()) {
        SCOPED_TRACE(check::kernel_name(k));
        const std::string got = parse(k, "<r>" + text + "</r>", "r");
        const std::string tail = parse(k, "<r>x</r " + ch + ">", "r");
        // Split by markup, the pieces are trimmed only as a whole.
        const std::string split = parse(k, "<r>" + ch + "<!---->" + ch + "x<b/>" + ch + "</r>", "r");
        if (is_space) {
            EXPECT_EQ(got, "r'x" + ch + "y'");
            EXPECT_EQ(tail, "r'x'");
            EXPECT_EQ(split, "r'x'[b]");
        } else {
            EXPECT_EQ(got, "r'" + text + "'");
            EXPECT_EQ(tail, "error: malformed XML at byte 4: malformed end tag </r>");
            EXPECT_EQ(split, "r'" + ch + ch + "x" + ch + "'[b]");
        }
    }
    EXPECT_EQ(arbolite::trim_white_space(text), is_space ? "x" + ch + "y" : text);
}

INSTANTIATE_TEST_SUITE_P(
    Characters, WhiteSpace,
    ::testing::Values(std::pair<std::string, bool>{"\t", true}, std::pair<std::string, bool>{"\n", true},
                      std::pair<std::string, bool>{"\v", true}, std::pair<std::string, bool>{"\f", true},
                      std::pair<std::string, bool>{"\r", true}, std::pair<std::string, bool>{" ", true},
                      std::pair<std::string, bool>{"\xC2\x85", true}, std::pair<std::string, bool>{"\xC2\xA0", true},
                      std::pair<std::string, bool>{"\xE1\x9A\x80", true}, std::pair<std::string, bool>{"\xE2\x80\x80", true},
                      std::pair<std::string, bool>{"\xE2\x80\x85", true}, std::pair<std::string, bool>{"\xE2\x80\x8A", true},
                      std::pair<std::string, bool>{"\xE2\x80\xA8", true}, std::pair<std::string, bool>{"\xE2\x80\xA9", true},
                      std::pair<std::string, bool>{"\xE2\x80\xAF", true}, std::pair<std::string, bool>{"\xE2\x81\x9F", true},
                      std::pair<std::string, bool>{"\xE3\x80\x80", true},
                      // Not White_Space: U+001C, U+0084, U+180E, U+200B, U+2060, U+FEFF, U+3001.
                      std::pair<std::string, bool>{"\x1C", false}, std::pair<std::string, bool>{"\xC2\x84", false},
                      std::pair<std::string, bool>{"\xE1\xA0\x8E", false}, std::pair<std::string, bool>{"\xE2\x80\x8B", false},
                      std::pair<std::string, bool>{"\xE2\x81\xA0", false}, std::pair<std::string, bool>{"\xEF\xBB\xBF", false},
                      std::pair<std::string, bool>{"\xE3\x80\x81", false}));

// ---- references ---------------------------------------------------------------

std::variant<std::string, CoreError> decode(std::string_view in, std::uint64_t offset, bool attr_mode) {
    std::string out(in.size(), '\0');
    CoreError error;
    char* end = arbolite::decode_references(in, offset, attr_mode, out.data(), error);
    if (!end) return error;
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

TEST(Decode, AttributeModeTurnsLineEndsAndTabsIntoSpaces) {
    EXPECT_EQ(decode("a\tb\nc\rd\r\ne\n\rf", 0, true), (std::variant<std::string, CoreError>("a b c d e  f")));
    EXPECT_EQ(decode("a\tb\nc\rd\r\ne", 0, false), (std::variant<std::string, CoreError>("a\tb\nc\rd\r\ne")));
    // A CR LF produced by references stays two characters.
    EXPECT_EQ(decode("&#13;&#10;\r", 0, true), (std::variant<std::string, CoreError>("\r\n ")));
}

TEST(Decode, ErrorOffsetsCountFromTheSegmentStart) {
    EXPECT_EQ(decode("ab&lt;&zz;", 100, false), (std::variant<std::string, CoreError>(CoreError::unknown_entity("zz", 106))));
    EXPECT_EQ(decode("ab&lt;&zz", 100, true),
              (std::variant<std::string, CoreError>(
                  CoreError::malformed(CoreError::Code::UnterminatedEntityReference, 106))));
}

TEST(Decode, InPlaceWhenTheOutputTrailsTheInput) {
    std::string buf = "&lt;&amp;x&#x1F600;\r\ny";
    const std::string in = buf;
    CoreError error;
    char* end = arbolite::decode_references(buf, 0, true, buf.data(), error);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(std::string(buf.data(), end), "<&x\xF0\x9F\x98\x80 y");
}

// ---- random pieces ----------------------------------------------------------

// Random documents from markup pieces: every kernel gives the reference's outcome.
TEST(Reader, EveryKernelAgreesWithTheReferenceOnRandomPieces) {
    std::mt19937_64 rng(77);
    std::uniform_int_distribution<int> pick(0, 99);
    const char* pieces[] = {"<a>", "</a>", "<b x=\"1>2\" y='&amp;'>", "</b>", "<c/>", "text &lt; ", "&bad;",
                            "<!-- <a> -->", "<![CDATA[ <b> ]]>", "<?p x?>", "\n  ", "</c>", "<a y=\"1\" y=\"2\"/>",
                            "'", "\"", "<", ">", "<!x>", "]]>", "-->", "<c a0='' a1='' a2='' a3='' a4='' a5='' a6='' a7='' a8=''>",
                            "\xC2\xA0", "&#32;"};
    constexpr int kPieces = sizeof pieces / sizeof *pieces;
    for (int i = 0; i < 3000; ++i) {
        std::string doc;
        const int n = 1 + pick(rng) % 14;
        for (int k = 0; k < n; ++k) doc += pieces[pick(rng) % kPieces];
        for (const char* root : {"a", "b", "c"}) {
            ASSERT_EQ(check::diff_all_kernels(doc, root), "") << doc << " root " << root;
        }
    }
}

}  // namespace
