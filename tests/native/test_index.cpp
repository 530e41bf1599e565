#include <gtest/gtest.h>

#include <random>
#include <string>

#include "index/mod.hpp"
#include "index/structural.hpp"

using arbolite::IndexResult;
using arbolite::StructuralIndex;
using arbolite::TagKind;
using arbolite::XmlError;

namespace {

const char* kind_name(TagKind k) {
    switch (k) {
        case TagKind::Open: return "Open";
        case TagKind::Close: return "Close";
        case TagKind::SelfClose: return "SelfClose";
        case TagKind::Comment: return "Comment";
        case TagKind::CData: return "CData";
        case TagKind::ProcessingInstruction: return "PI";
    }
    return "?";
}

// "Kind(start-end,name) ... | [start,end) ...", or "UnclosedTag@offset".
std::string describe(const IndexResult& r) {
    if (auto* e = std::get_if<XmlError>(&r)) {
        EXPECT_EQ(e->kind, XmlError::Kind::UnclosedTag);
        return "UnclosedTag@" + std::to_string(e->offset);
    }
    const StructuralIndex& ix = std::get<StructuralIndex>(r);
    EXPECT_EQ(ix.tag_ends.size(), ix.size());
    EXPECT_EQ(ix.tag_kinds.size(), ix.size());
    EXPECT_EQ(ix.tag_names.size(), ix.size());
    std::string out;
    for (std::size_t i = 0; i < ix.size(); ++i) {
        if (!out.empty()) out += ' ';
        out += kind_name(ix.tag_kinds[i]);
        out += '(' + std::to_string(ix.tag_starts[i]) + '-' + std::to_string(ix.tag_ends[i]);
        const TagKind k = ix.tag_kinds[i];
        if (k == TagKind::Comment || k == TagKind::CData) {
            EXPECT_EQ(ix.tag_names[i].offset, 0u);
            EXPECT_EQ(ix.tag_names[i].length, 0u);
        } else {
            out += ',' + std::string(ix.name(i));
        }
        out += ')';
    }
    if (!ix.text_ranges.empty()) out += " |";
    for (const auto& t : ix.text_ranges) {
        EXPECT_LT(t.start, t.end);
        out += " [" + std::to_string(t.start) + ',' + std::to_string(t.end) + ')';
    }
    return out;
}

struct IndexCase {
    const char* name;
    std::string input;
    std::string sequential;
    std::string bitmap;  // the same as sequential unless the builders differ
};

std::ostream& operator<<(std::ostream& os, const IndexCase& c) { return os << c.name; }

class BuilderCases : public ::testing::TestWithParam<IndexCase> {};

TEST_P(BuilderCases, RecordsAndTextRanges) {
    const IndexCase& c = GetParam();
    EXPECT_EQ(describe(arbolite::build_index_sequential(c.input)), c.sequential) << c.input;
    EXPECT_EQ(describe(arbolite::build_index_bitmap(c.input)), c.bitmap.empty() ? c.sequential : c.bitmap)
        << c.input;
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, BuilderCases,
    ::testing::Values(
        IndexCase{"empty", "", "", ""},
        IndexCase{"no_markup", "abc", "", ""},
        IndexCase{"element", "<a>x</a>", "Open(0-2,a) Close(4-7,a) | [3,4)", ""},
        IndexCase{"self_close", "<a/>", "SelfClose(0-3,a)", ""},
        IndexCase{"space_before_gt_is_open", "<a / >", "Open(0-5,a)", ""},
        IndexCase{"quoted_gt", "<a b='x>y'>", "Open(0-10,a)", ""},
        IndexCase{"slash_inside_value_is_open", "<a b='x/'>", "Open(0-9,a)", ""},
        IndexCase{"slash_after_value", "<a b=\"x\"/>", "SelfClose(0-9,a)", ""},
        IndexCase{"close_with_space", "</a >", "Close(0-4,a)", ""},
        IndexCase{"text_around", "t<a/>u<b/>v", "SelfClose(1-4,a) SelfClose(6-9,b) | [0,1) [5,6)", ""},
        IndexCase{"doctype_skipped", "<!DOCTYPE r>t<a/>", "SelfClose(13-16,a) | [12,13)", ""},
        IndexCase{"empty_cdata", "<![CDATA[]]>", "CData(0-11)", ""},
        IndexCase{"cdata_content", "<![CDATA[x]]>", "CData(0-12) | [9,10)", ""},
        IndexCase{"markup_in_cdata", "<a><![CDATA[<b>]]></a>", "Open(0-2,a) CData(3-17) Close(18-21,a) | [12,15)", ""},
        IndexCase{"markup_in_comment", "<a><!-- <b> --></a>", "Open(0-2,a) Comment(3-14) Close(15-18,a)", ""},
        IndexCase{"shortest_comment", "<!---->", "Comment(0-6)", ""},
        IndexCase{"xml_declaration", "<?xml version='1.0'?><r/>", "PI(0-20,xml) SelfClose(21-24,r)", ""},
        IndexCase{"empty_pi", "<?>", "PI(0-2,)", ""},
        IndexCase{"unclosed_open", "<a", "UnclosedTag@0", "UnclosedTag@0"},
        IndexCase{"unclosed_close", "<a></a", "UnclosedTag@3", "UnclosedTag@3"},
        IndexCase{"lone_quote_skips_gt", "<a b='>", "UnclosedTag@0", "UnclosedTag@0"},
        // The builders differ from here on.
        IndexCase{"lone_quote_then_gt", "<a b='x>", "Open(0-7,a)", "UnclosedTag@0"},
        IndexCase{"lone_quote_skips_slash", "<a '/>", "Open(0-5,a)", "UnclosedTag@0"},
        IndexCase{"lt_as_last_byte", "<a>x<", "UnclosedTag@4", "Open(0-2,a) | [3,4)"},
        IndexCase{"unterminated_comment", "<a><!-- x > y", "Open(0-2,a) Comment(3-13)", "Open(0-2,a) Comment(3-11)"},
        IndexCase{"comment_at_the_very_end", "<!-->", "Comment(0-5)", "Comment(0-4)"},
        IndexCase{"unterminated_cdata", "<![CDATA[a]b>", "CData(0-11)", "CData(0-11)"},
        IndexCase{"short_unterminated_cdata", "<![CDATA[>", "CData(0-9)", "CData(0-9)"},
        IndexCase{"unterminated_pi", "<?pi", "PI(0-4,pi)", "UnclosedTag@0"},
        IndexCase{"pi_without_end", "<?a b>", "PI(0-5,a)", "PI(0-5,a)"},
        IndexCase{"apostrophe_in_text", "<r>it's <b/> ok</r>", "Open(0-2,r) SelfClose(8-11,b) Close(15-18,r) | [3,8) [12,15)",
                  "Open(0-2,r)"},
        // An unquoted '<' inside a tag: the bitmap builder's records overlap.
        IndexCase{"nested_lt_in_open", "<<<a>", "Open(0-4,<<a)", "Open(0-4,<<a) Open(1-4,<a) Open(2-4,a)"},
        IndexCase{"nested_lt_after_space", "<a <b c>", "Open(0-7,a)", "Open(0-7,a) Open(3-7,b)"},
        IndexCase{"nested_lt_in_close", "</</a >", "Close(0-6,</a)", "Close(0-6,</a) Close(2-6,a)"},
        IndexCase{"repeated_unterminated_cdata", "<![CDATA[]<![CDATA[><![CDATA[>", "CData(0-10) CData(20-29) | [11,20)",
                  "CData(0-28)"},
        IndexCase{"quoted_lt_in_text", "<r>\"<b>\"</r>", "Open(0-2,r) Open(4-6,b) Close(8-11,r) | [3,4) [7,8)",
                  "Open(0-2,r) Close(8-11,r) | [3,8)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Index, NamesLongerThan65535BytesKeepTheirLength) {
    const std::string name(70000, 'n');
    const std::string doc = "<" + name + " a='1'>x</" + name + ">";
    for (bool bitmap : {false, true}) {
        IndexResult r = bitmap ? arbolite::build_index_bitmap(doc) : arbolite::build_index_sequential(doc);
        ASSERT_TRUE(std::holds_alternative<StructuralIndex>(r));
        const auto& ix = std::get<StructuralIndex>(r);
        ASSERT_EQ(ix.size(), 2u);
        EXPECT_EQ(ix.name(0), name);
        EXPECT_EQ(ix.name(1), name);
        EXPECT_EQ(ix.tag_names[1].offset, name.size() + 11);
    }
}

// Density choice on the first 4096 bytes: double quotes per '<'.
struct Density {
    std::string doc;
    bool bitmap;
};

class DensityChoice : public ::testing::TestWithParam<Density> {};

TEST_P(DensityChoice, PicksTheBuilder) {
    const Density& d = GetParam();
    EXPECT_EQ(arbolite::prefers_bitmap_index(d.doc), d.bitmap);
    IndexResult r = arbolite::build_index(d.doc);
    ASSERT_TRUE(std::holds_alternative<StructuralIndex>(r));
    EXPECT_EQ(std::get<StructuralIndex>(r).text_may_hold_lt, d.bitmap);
}

std::string repeat(const std::string& unit, std::size_t times) {
    std::string s;
    for (std::size_t i = 0; i < times; ++i) s += unit;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Ratios, DensityChoice,
    ::testing::Values(
        Density{repeat("<a x=\"\" y=\"\" z=\"\"/>", 400), true},                 // 6 per '<'
        Density{repeat("<a x=\"\" y=\"\" z=\"/>", 400), false},                 // 5 per '<' exactly
        Density{std::string(6, '"'), true},                                        // no '<' at all
        Density{std::string(5, '"'), false},
        Density{std::string(4096, 'x') + repeat("\"\"\"\"\"\"", 100) + "<a/>", false},  // quotes past the window
        Density{"", false}));

// Random documents whose quotes all sit in attribute values: there the two
// builders must produce the same index.
std::string random_document(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> pick(0, 99);
    std::string out = pick(rng) < 50 ? "<?xml version=\"1.0\"?>" : "";
    int depth = 0;
    const int steps = 5 + pick(rng);
    for (int i = 0; i < steps; ++i) {
        const int c = pick(rng);
        if (c < 25) {
            out += "<e" + std::to_string(depth);
            for (int a = pick(rng) % 4; a > 0; --a) {
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
            out += "</e" + std::to_string(depth) + (pick(rng) < 20 ? " >" : ">");
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
    while (depth > 0) out += "</e" + std::to_string(--depth) + ">";
    return out;
}

TEST(Index, BuildersAgreeWhereQuotesOnlyDelimitValues) {
    std::mt19937_64 rng(2024);
    for (int i = 0; i < 2000; ++i) {
        const std::string doc = random_document(rng);
        ASSERT_EQ(describe(arbolite::build_index_sequential(doc)), describe(arbolite::build_index_bitmap(doc)))
            << doc;
    }
}

TEST(Index, ConstructsAcrossManyBlocksAreSkippedWhole) {
    // Comments and CDATA longer than a 64-bit word of the bitmaps, full of
    // markup the bitmap walk must step over.
    const std::string inner = repeat("<x>", 100);
    const std::string doc = "<r><!--" + inner + "--><![CDATA[" + inner + "]]><?p " + inner + "?></r>";
    const std::string seq = describe(arbolite::build_index_sequential(doc));
    EXPECT_EQ(seq, describe(arbolite::build_index_bitmap(doc)));
    const IndexResult r = arbolite::build_index_sequential(doc);
    const auto& ix = std::get<StructuralIndex>(r);
    ASSERT_EQ(ix.size(), 5u);
    EXPECT_EQ(ix.tag_kinds[4], TagKind::Close);
    EXPECT_EQ(ix.tag_starts[4], doc.size() - 4);
}

TEST(Index, OnlyTheBitmapBuilderMakesOverlappingTags) {
    for (const char* doc : {"<a <b>", "<a x<y='1'>", "</</a>"}) {
        const IndexResult bitmap = arbolite::build_index_bitmap(doc);
        const IndexResult sequential = arbolite::build_index_sequential(doc);
        EXPECT_TRUE(arbolite::has_overlapping_tags(std::get<StructuralIndex>(bitmap))) << doc;
        EXPECT_FALSE(arbolite::has_overlapping_tags(std::get<StructuralIndex>(sequential))) << doc;
    }
    const IndexResult plain = arbolite::build_index_bitmap("<a><b/></a>");
    EXPECT_FALSE(arbolite::has_overlapping_tags(std::get<StructuralIndex>(plain)));
}

TEST(XmlErrorText, EveryKindHasItsMessage) {
    EXPECT_EQ(XmlError::unclosed_tag(7).message(), "malformed XML: Unclosed tag at byte 7");
    EXPECT_EQ(XmlError::malformed("unexpected '<'", 12).message(), "malformed XML at byte 12: unexpected '<'");
    EXPECT_EQ(XmlError::root_not_found("item").message(), "root tag <item> not found in document");
    EXPECT_EQ(XmlError::never_closed("a").message(), "unexpected end of document: <a> is never closed");
    EXPECT_EQ(XmlError::unknown_entity("nbsp", 3).message(), "unknown entity reference '&nbsp;' at byte 3");
}

}  // namespace
