#include <gtest/gtest.h>

#include <random>
#include <string>

#include "index/mod.hpp"
#include "index/structural.hpp"
#include "src/read/decode.hpp"
#include "src/read/tree_builder.hpp"

using arbolite::PlainElement;
using arbolite::XmlError;

namespace {

// name{k=v,...}'text'[child,...]; absent parts are left out.
std::string render(const PlainElement& e) {
    std::string out = e.name;
    if (!e.attrs.empty()) {
        out += '{';
        bool first = true;
        for (auto kv : e.attrs) {
            if (!first) out += ',';
            first = false;
            out.append(kv.key).append("=").append(kv.value);
        }
        out += '}';
    }
    if (e.text) out += "'" + *e.text + "'";
    if (!e.children.empty()) {
        out += '[';
        for (std::size_t i = 0; i < e.children.size(); ++i) {
            if (i) out += ',';
            out += render(e.children[i]);
        }
        out += ']';
    }
    return out;
}

std::string outcome(const std::variant<PlainElement, XmlError>& r) {
    if (auto* e = std::get_if<XmlError>(&r)) return "error: " + e->message();
    const PlainElement& el = std::get<PlainElement>(r);
    if (el.text) {
        EXPECT_FALSE(el.text->empty()) << "a present text is never empty";
    }
    return render(el);
}

std::string parse(const std::string& doc, const std::string& root) { return outcome(arbolite::parse_root(doc, root)); }

struct Case {
    const char* name;
    std::string doc;
    std::string root;
    std::string expected;  // render() of the element, or "error: " + message
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

class ParseCases : public ::testing::TestWithParam<Case> {};

TEST_P(ParseCases, GivesTheElementOrTheError) {
    const Case& c = GetParam();
    EXPECT_EQ(parse(c.doc, c.root), c.expected) << c.doc;
}

const auto kName = [](const auto& info) { return std::string(info.param.name); };

INSTANTIATE_TEST_SUITE_P(
    Elements, ParseCases,
    ::testing::Values(
        Case{"bare_root", "<root/>", "root", "root"},
        Case{"nested_root_text_joined", "<a><root x='1'> hi <b/> there </root></a>", "root", "root{x=1}'hi  there'[b]"},
        Case{"whitespace_only_text_is_absent", "<root>  </root>", "root", "root"},
        Case{"cdata_trimmed", "<root><![CDATA[ x ]]></root>", "root", "root'x'"},
        Case{"one_byte_cdata", "<root>a<![CDATA[b]]>c</root>", "root", "root'abc'"},
        Case{"cdata_not_decoded", "<root><![CDATA[&amp;<b>]]></root>", "root", "root'&amp;<b>'"},
        Case{"references", "<root>&lt;&#65;&#x42;&#+67;&#x+44;&#x0045;</root>", "root", "root'<ABCDE'"},
        Case{"replacement_not_rescanned", "<root>&amp;lt;</root>", "root", "root'&lt;'"},
        Case{"multibyte_reference", "<root>&#x20AC;&#128512;</root>", "root", "root'\xE2\x82\xAC\xF0\x9F\x98\x80'"},
        Case{"nul_reference", "<root>a&#0;</root>", "root", std::string("root'a\0'", 8)},
        Case{"reference_whitespace_trimmed", "<root>&#32;x&#x20;</root>", "root", "root'x'"},
        Case{"attribute_normalisation", "<root a='x&#10;y' b='p\nq' c='r\r\ns\tt\ru'/>", "root",
             "root{a=x\ny,b=p q,c=r s t u}"},
        Case{"attribute_references", "<root a=\"&quot;&apos;&gt;&lt;&amp;\"/>", "root", "root{a=\"'><&}"},
        Case{"attribute_order_kept", "<root z='1' a=\"2\" m = '3'/>", "root", "root{z=1,a=2,m=3}"},
        Case{"empty_attribute_value", "<root a=''/>", "root", "root{a=}"},
        Case{"quote_of_other_kind_in_value", "<root a='\"' b=\"'\"/>", "root", "root{a=\",b='}"},
        Case{"empty_root_nested_returns_at_once", "<r><root/>", "root", "root"},
        Case{"same_name_nested", "<root><root>x</root></root>", "root", "root[root'x']"},
        Case{"declaration_dropped", "<?xml version='1.0'?><!DOCTYPE root><root/>", "root", "root"},
        Case{"comment_and_pi_removed_from_text", "<root>x<!-- c -->y<?p q?>z</root>", "root", "root'xyz'"},
        Case{"text_after_children", "<root><a/>tail</root>", "root", "root'tail'[a]"},
        Case{"indented_children", "<root>\n  <a>1</a>\n  <b>2</b>\n</root>", "root", "root[a'1',b'2']"},
        Case{"root_at_depth", "<a><b><c><root k=\"v\"/></c></b></a>", "root", "root{k=v}"},
        Case{"first_in_document_order", "<root>1</root><root>2</root>", "root", "root'1'"},
        Case{"outer_attributes_not_read", "<a b=1 <<><root/></a>", "root", "root"},
        Case{"nothing_after_root_read", "<root>x</root></zzz>&bogus; <a b=1/>", "root", "root'x'"},
        Case{"text_outside_root_not_read", "& <root/>", "root", "root"},
        Case{"end_tag_unicode_tail", "<root>x</root \xC2\xA0\xE3\x80\x80>", "root", "root'x'"},
        Case{"gt_in_text", "<root>a > b</root>", "root", "root'a > b'"},
        Case{"unicode_names", "<\xC3\xA9l \xC3\xA0='1'>t</\xC3\xA9l>", "\xC3\xA9l", "\xC3\xA9l{\xC3\xA0=1}'t'"}),
    kName);

INSTANTIATE_TEST_SUITE_P(
    Errors, ParseCases,
    ::testing::Values(
        Case{"mismatch_outside_root", "<a></b>", "z", "error: malformed XML at byte 3: expected </a>, found </b>"},
        Case{"mismatch_inside_root", "<root><a>x<b></root>", "root",
             "error: malformed XML at byte 13: expected </b>, found </root>"},
        Case{"unexpected_end_tag", "</a>", "a", "error: malformed XML at byte 0: unexpected end tag </a>"},
        Case{"malformed_end_tag", "<root>x</root y>", "root", "error: malformed XML at byte 7: malformed end tag </root>"},
        Case{"duplicate_attribute", "<root a='1' a='2'/>", "root", "error: malformed XML at byte 12: duplicate attribute 'a'"},
        Case{"duplicate_after_decoding_error_order", "<root a='1' a='&x;'/>", "root",
             "error: unknown entity reference '&x;' at byte 15"},
        Case{"no_whitespace_between", "<root a='1'b='2'/>", "root",
             "error: malformed XML at byte 11: expected whitespace before attribute"},
        Case{"no_whitespace_after_name", "<root/b>", "root", "error: malformed XML at byte 5: expected whitespace before attribute"},
        Case{"no_value", "<root a/>", "root", "error: malformed XML at byte 6: attribute 'a' has no value"},
        Case{"no_value_before_next", "<root a b='1'/>", "root", "error: malformed XML at byte 6: attribute 'a' has no value"},
        Case{"not_quoted", "<root a=1/>", "root", "error: malformed XML at byte 8: value of attribute 'a' is not quoted"},
        Case{"not_quoted_at_region_end", "<root a= />", "root",
             "error: malformed XML at byte 9: value of attribute 'a' is not quoted"},
        Case{"no_attribute_name", "<root ='1'/>", "root", "error: malformed XML at byte 6: expected attribute name"},
        Case{"unterminated_value", "<root a='1/>", "root", "error: malformed XML at byte 9: unterminated attribute value"},
        Case{"lt_in_value", "<root a='x<y'/>", "root", "error: malformed XML at byte 10: '<' is not allowed in attribute values"},
        Case{"outer_self_close_validated", "<x b=1/><root/>", "root",
             "error: malformed XML at byte 5: value of attribute 'b' is not quoted"},
        Case{"empty_name_outside", "<a>< b></a>", "z", "error: malformed XML at byte 3: expected element name after '<'"},
        Case{"empty_name_as_root", "< a/>", "", "error: malformed XML at byte 0: expected element name after '<'"},
        Case{"never_closed", "<root>", "root", "error: unexpected end of document: <root> is never closed"},
        Case{"innermost_never_closed", "<root><a>", "root", "error: unexpected end of document: <a> is never closed"},
        Case{"root_not_found", "<x/>", "root", "error: root tag <root> not found in document"},
        Case{"empty_root_tag_not_found", "<a/>", "", "error: root tag <> not found in document"},
        Case{"unterminated_entity", "<root>a & b</root>", "root", "error: malformed XML at byte 8: unterminated entity reference"},
        Case{"entity_name_with_space", "<root>a & b;</root>", "root", "error: unknown entity reference '& b;' at byte 8"},
        Case{"unknown_entity", "<root>&nbsp;</root>", "root", "error: unknown entity reference '&nbsp;' at byte 6"},
        Case{"entity_after_leading_space", "<root>\n  &nbsp;</root>", "root", "error: unknown entity reference '&nbsp;' at byte 9"},
        Case{"empty_entity", "<root>&;</root>", "root", "error: unknown entity reference '&;' at byte 6"},
        Case{"entity_in_attribute", "<root a='&bogus;'/>", "root", "error: unknown entity reference '&bogus;' at byte 9"},
        Case{"upper_case_x", "<root>&#X42;</root>", "root", "error: malformed XML at byte 6: invalid character reference '&#X42;'"},
        Case{"surrogate", "<root>&#xD800;</root>", "root", "error: malformed XML at byte 6: invalid character reference '&#xD800;'"},
        Case{"above_unicode", "<root>&#x110000;</root>", "root",
             "error: malformed XML at byte 6: invalid character reference '&#x110000;'"},
        Case{"above_32_bits", "<root>&#4294967296;</root>", "root",
             "error: malformed XML at byte 6: invalid character reference '&#4294967296;'"},
        Case{"no_digits", "<root>&#x;</root>", "root", "error: malformed XML at byte 6: invalid character reference '&#x;'"},
        Case{"only_plus", "<root>&#+;</root>", "root", "error: malformed XML at byte 6: invalid character reference '&#+;'"},
        Case{"bad_digit", "<root>&#12a;</root>", "root", "error: malformed XML at byte 6: invalid character reference '&#12a;'"},
        Case{"unterminated_comment_markup", "<root><!-- x </root>", "root", "error: malformed XML at byte 6: unterminated markup"},
        Case{"unterminated_cdata", "<root><![CDATA[x]]</root>", "root",
             "error: malformed XML at byte 6: unterminated CDATA section"},
        Case{"unterminated_pi", "<root><?pi x</root>", "root",
             "error: malformed XML at byte 6: unterminated processing instruction"},
        Case{"unclosed_tag", "<root>x<", "root", "error: malformed XML: Unclosed tag at byte 7"},
        Case{"unclosed_tag_reported_first", "</x><a", "a", "error: malformed XML: Unclosed tag at byte 4"}),
    kName);

// The bitmap index on its own, without the fallback parse_root adds.
std::string walk_bitmap(const std::string& doc, const std::string& root) {
    const arbolite::IndexResult ix = arbolite::build_index_bitmap(doc);
    if (auto* e = std::get_if<XmlError>(&ix)) return "error: " + e->message();
    return outcome(arbolite::build_tree(std::get<arbolite::StructuralIndex>(ix), root));
}

std::string walk_sequential(const std::string& doc, const std::string& root) {
    const arbolite::IndexResult ix = arbolite::build_index_sequential(doc);
    if (auto* e = std::get_if<XmlError>(&ix)) return "error: " + e->message();
    return outcome(arbolite::build_tree(std::get<arbolite::StructuralIndex>(ix), root));
}

TEST(TreeBuilder, MarkupHiddenInTextByApostrophesIsRejectedOnTheBitmapIndex) {
    EXPECT_EQ(walk_bitmap("<r>it's <b/> it's</r>", "r"), "error: malformed XML at byte 8: unexpected '<'");
    EXPECT_EQ(walk_bitmap("<r>don't</r>", "r"), "error: unexpected end of document: <r> is never closed");
}

TEST(TreeBuilder, QuoteDenseDocumentWithApostrophesParses) {
    const std::string item = "<item a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\" f=\"6\">don't</item>";
    std::string doc = "<list>";
    for (int i = 0; i < 200; ++i) doc += item;
    doc += "</list>";
    ASSERT_TRUE(arbolite::prefers_bitmap_index(doc));
    // Taken alone, the bitmap index hides the markup between apostrophes.
    EXPECT_EQ(walk_bitmap(doc, "list").rfind("error: ", 0), 0u);

    auto r = arbolite::parse_root(doc, "list");
    ASSERT_TRUE(std::holds_alternative<PlainElement>(r)) << outcome(r);
    const PlainElement& list = std::get<PlainElement>(r);
    ASSERT_EQ(list.children.size(), 200u);
    for (const PlainElement& it : list.children) {
        ASSERT_EQ(render(it), "item{a=1,b=2,c=3,d=4,e=5,f=6}'don't'");
    }
    EXPECT_EQ(parse(doc, "item"), "item{a=1,b=2,c=3,d=4,e=5,f=6}'don't'");
    // A real error is the sequential builder's, whatever the density.
    EXPECT_EQ(parse(doc.substr(0, doc.size() - 7), "list"), "error: unexpected end of document: <list> is never closed");
}

TEST(TreeBuilder, QuoteDenseDocumentWithoutApostrophesUsesTheBitmapIndexAlone) {
    std::string doc = "<list>";
    for (int i = 0; i < 100; ++i) doc += "<item a=\"x>y\" b=\"&amp;\" c=\"3\" d=\"4\" e=\"5\" f=\"6\">t</item>";
    doc += "</list>";
    ASSERT_TRUE(arbolite::prefers_bitmap_index(doc));
    const std::string expected = walk_sequential(doc, "list");
    EXPECT_EQ(expected.rfind("list[item{a=x>y,b=&,c=3,d=4,e=5,f=6}'t',", 0), 0u) << expected.substr(0, 80);
    EXPECT_EQ(walk_bitmap(doc, "list"), expected);
    EXPECT_EQ(parse(doc, "list"), expected);
}

TEST(TreeBuilder, OverlappingTagsOnTheBitmapIndexFallBackToTheSequentialOne) {
    const std::string pad(4096, '"');  // closed pairs, dense enough for the bitmap builder
    // The bitmap walk alone would accept this, with a child named y="1".
    const std::string doc = pad + "<a x<y=\"1\"></y=\"1\"></a>";
    ASSERT_TRUE(arbolite::prefers_bitmap_index(doc));
    EXPECT_EQ(walk_bitmap(doc, "a"), "a{x<y=1}[y=\"1\"]");
    EXPECT_EQ(parse(doc, "a"), walk_sequential(doc, "a"));
    EXPECT_EQ(parse(doc, "a"), "error: malformed XML at byte 4107: expected </a>, found </y=\"1\">");

    // Every '<' of an unquoted run inside a tag would become a record of its own.
    std::string attrs;
    for (int i = 0; i < 300; ++i) attrs += " <b" + std::to_string(i) + "=\"1\"";
    const std::string wide = pad + "<a><c" + attrs + "/></a>";
    const std::string expected = walk_sequential(wide, "a");
    EXPECT_EQ(expected.rfind("a[c{<b0=1,<b1=1,", 0), 0u) << expected.substr(0, 40);
    EXPECT_EQ(parse(wide, "a"), expected);
}

// Markup that the bitmap walk alone reads differently, often without failing: the
// outcome must still be the sequential one, so padding a document with
// quote-dense markup never changes what it gives.
class DensityIndependence : public ::testing::TestWithParam<const char*> {};

TEST_P(DensityIndependence, PaddingWithDenseQuotesNeverChangesTheOutcome) {
    const std::string doc = GetParam();
    std::string pad = "<z";
    for (int i = 0; i < 700; ++i) pad += " a" + std::to_string(i) + "=\"\"";
    pad += "/>";
    ASSERT_TRUE(arbolite::prefers_bitmap_index(pad + doc));
    // Offsets shift with the padding, so the comparison is with the sequential walk of the same text.
    EXPECT_EQ(parse(pad + doc, "root"), walk_sequential(pad + doc, "root"));
}

INSTANTIATE_TEST_SUITE_P(
    HiddenMarkup, DensityIndependence,
    ::testing::Values("<a>'</a><root>1</root><a>'</a><root>2</root>",
                      "<x><!-- it's --><root>1</root><!-- ' --><root>2</root></x>",
                      "<x><?pi don't?><root>1</root><?pi '?><root>2</root></x>",
                      "<x a='1' \"><root>1</root>\"<root>2</root></x>",
                      "<!DOCTYPE x [<!ENTITY e 'v'>]><x><root>1</root></x>",
                      "<!x <root>1</root> ><root>2</root>",
                      "<root>1</root><!-- never closed ' <",
                      "<root>1</root><![CDATA[ ' <",
                      "<root>1</root></\"\"\">< \"\"\">"),
    [](const ::testing::TestParamInfo<const char*>& info) { return "doc" + std::to_string(info.index); });

TEST(TreeBuilder, MillionLevelsDeep) {
    constexpr int kDepth = 1'000'000;
    std::string doc;
    doc.reserve(kDepth * 7 + 1);
    for (int i = 0; i < kDepth; ++i) doc += "<a>";
    doc += "x";
    for (int i = 0; i < kDepth; ++i) doc += "</a>";
    auto r = arbolite::parse_root(doc, "a");
    ASSERT_TRUE(std::holds_alternative<PlainElement>(r)) << outcome(r);
    const PlainElement* e = &std::get<PlainElement>(r);
    int depth = 1;
    while (!e->children.empty()) {
        ASSERT_EQ(e->children.size(), 1u);
        ASSERT_FALSE(e->text.has_value());
        e = &e->children[0];
        ++depth;
    }
    EXPECT_EQ(depth, kDepth);
    EXPECT_EQ(e->text, "x");

    // The same depth left open: the error path releases the open frames.
    doc.resize(kDepth * 3);
    EXPECT_EQ(parse(doc, "a"), "error: unexpected end of document: <a> is never closed");
}

TEST(TreeBuilder, NamesLongerThan65535BytesReadBackWhole) {
    const std::string name(70000, 'n');
    const std::string attr(66000, 'k');
    const std::string doc = "<" + name + " " + attr + "='v'><c/></" + name + ">";
    auto r = arbolite::parse_root(doc, name);
    ASSERT_TRUE(std::holds_alternative<PlainElement>(r)) << outcome(r).substr(0, 100);
    const PlainElement& e = std::get<PlainElement>(r);
    EXPECT_EQ(e.name, name);
    ASSERT_EQ(e.attrs.size(), 1u);
    EXPECT_EQ(e.attrs.at(0).key, attr);
    ASSERT_EQ(e.children.size(), 1u);

    // A mismatch names both long names in full.
    const std::string other(70000, 'm');
    const std::string bad = "<" + name + "></" + other + ">";
    EXPECT_EQ(parse(bad, "z"), "error: malformed XML at byte 70002: expected </" + name + ">, found </" + other + ">");
}

// Every character with the White_Space property, and a few that lack it.
class WhiteSpace : public ::testing::TestWithParam<std::pair<std::string, bool>> {};

TEST_P(WhiteSpace, TrimmedFromTextAndAllowedInEndTags) {
    const auto& [ch, is_space] = GetParam();
    const std::string text = ch + ch + "x" + ch + "y" + ch;
    const std::string got = parse("<r>" + text + "</r>", "r");
    const std::string tail = parse("<r>x</r " + ch + ">", "r");
    if (is_space) {
        EXPECT_EQ(got, "r'x" + ch + "y'");
        EXPECT_EQ(tail, "r'x'");
    } else {
        EXPECT_EQ(got, "r'" + text + "'");
        EXPECT_EQ(tail, "error: malformed XML at byte 4: malformed end tag </r>");
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

TEST(Decode, UnchangedSegmentsAreNotCopied) {
    std::string scratch;
    const std::string text = "plain text with \t tab";
    auto r = arbolite::decode_entities(text, 0, false, scratch);
    ASSERT_TRUE(std::holds_alternative<std::string_view>(r));
    EXPECT_EQ(std::get<std::string_view>(r).data(), text.data());
    // In attribute mode the tab must be rewritten, so a new string is built.
    r = arbolite::decode_entities(text, 0, true, scratch);
    ASSERT_TRUE(std::holds_alternative<std::string_view>(r));
    EXPECT_EQ(std::get<std::string_view>(r), "plain text with   tab");
    EXPECT_NE(std::get<std::string_view>(r).data(), text.data());
}

TEST(Decode, ErrorOffsetsCountFromTheSegmentStart) {
    std::string scratch;
    auto r = arbolite::decode_entities("ab&lt;&zz;", 100, false, scratch);
    ASSERT_TRUE(std::holds_alternative<XmlError>(r));
    EXPECT_EQ(std::get<XmlError>(r), XmlError::unknown_entity("zz", 106));
}

// Random documents whose quotes all sit in attribute values: both indexes
// must lead to the same element or the same error.
TEST(TreeBuilder, BothIndexesGiveTheSameOutcomeOnQuoteSafeDocuments) {
    std::mt19937_64 rng(77);
    std::uniform_int_distribution<int> pick(0, 99);
    const char* pieces[] = {"<a>", "</a>", "<b x=\"1>2\" y='&amp;'>", "</b>", "<c/>", "text &lt; ", "&bad;",
                            "<!-- <a> -->", "<![CDATA[ <b> ]]>", "<?p x?>", "\n  ", "</c>", "<a y=\"1\" y=\"2\"/>"};
    for (int i = 0; i < 3000; ++i) {
        std::string doc;
        const int n = 1 + pick(rng) % 12;
        for (int k = 0; k < n; ++k) doc += pieces[pick(rng) % 13];
        for (const char* root : {"a", "b", "c"}) {
            ASSERT_EQ(walk_sequential(doc, root), walk_bitmap(doc, root)) << doc << " root " << root;
            ASSERT_EQ(parse(doc, root), walk_sequential(doc, root)) << doc;
        }
    }
}

}  // namespace
