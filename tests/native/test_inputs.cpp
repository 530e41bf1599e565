// What the core tells about a document before and after reading it: where
// UTF-8 validation fails, which encoding the first bytes name, the line and
// column of an offset, and the names and texts of the reader's error codes
// (which error gets which code is checked in tests/test_inputs.py).
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/base/core_error.hpp"
#include "core/text/encoding.hpp"
#include "core/text/position.hpp"
#include "core/text/utf8.hpp"

using namespace arbolite;
using namespace std::string_literals;

struct OffsetCase {
    const char* label;
    std::string bytes;
    std::size_t offset;  // of the first ill-formed sequence; bytes.size() when valid
};

void PrintTo(const OffsetCase& c, std::ostream* os) { *os << c.label; }

class Utf8ErrorOffset : public ::testing::TestWithParam<OffsetCase> {};

TEST_P(Utf8ErrorOffset, IsTheStartOfTheFirstIllFormedSequence) {
    const auto& c = GetParam();
    EXPECT_EQ(utf8_error_offset(c.bytes), c.offset);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.offset == c.bytes.size());
    // Behind ASCII runs longer and shorter than a vector, the offset moves with them.
    for (std::size_t pad : {1, 15, 16, 17, 40}) {
        const std::string padded = std::string(pad, 'a') + c.bytes;
        EXPECT_EQ(utf8_error_offset(padded), c.offset + pad) << pad;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8ErrorOffset,
    ::testing::Values(OffsetCase{"empty", "", 0}, OffsetCase{"valid", "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", 11},
                      OffsetCase{"lone continuation", "ab\x80", 2}, OffsetCase{"invalid lead", "\xFFxyz", 0},
                      OffsetCase{"truncated at the end", "ok\xE2\x82", 2},
                      OffsetCase{"bad continuation", "\xC3\xA9\xE2\x82x", 2},
                      OffsetCase{"overlong", "x\xC0\xAF", 1}, OffsetCase{"overlong three", "\xE0\x80\xAF", 0},
                      OffsetCase{"surrogate", "\xC3\xA9\xED\xA0\x80", 2},
                      OffsetCase{"above U+10FFFF", "\xF4\x90\x80\x80", 0},
                      OffsetCase{"second error ignored", "\xC3\xA9\xFE\xFF", 2},
                      OffsetCase{"far into a long ASCII run", std::string(100, 'x') + "\x80", 100}));

TEST(TextPosition, CountsLinesAndCodePoints) {
    const std::string text = "<a>\n  \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80<b>\r\n<c>\r<d>";
    EXPECT_EQ(text_position(text, 0).line, 1u);
    EXPECT_EQ(text_position(text, 0).column, 0u);
    EXPECT_EQ(text_position(text, 3).column, 3u);  // the line feed itself ends line 1
    const std::size_t b = text.find("<b>");
    EXPECT_EQ(text_position(text, b).line, 2u);
    EXPECT_EQ(text_position(text, b).column, 5u);  // two blanks and three characters of 2, 3 and 4 bytes
    const TextPosition c = text_position(text, text.find("<c>"));
    EXPECT_EQ(c.line, 3u);  // CR LF is one line end
    EXPECT_EQ(c.column, 0u);
    const TextPosition d = text_position(text, text.find("<d>"));
    EXPECT_EQ(d.line, 4u);  // so is a lone CR
    EXPECT_EQ(d.column, 0u);
    const TextPosition end = text_position(text, text.size());
    EXPECT_EQ(end.line, 4u);
    EXPECT_EQ(end.column, 3u);
    EXPECT_EQ(text_position(text, text.size() + 10).column, 3u);  // clamped
    EXPECT_EQ(text_position("a\r", 2).line, 2u);                  // a CR at the very end
}

TEST(TextPosition, AByteOrderMarkIsNotACharacter) {
    const std::string text = "\xEF\xBB\xBF<a></b>";
    EXPECT_EQ(text_position(text, 6).column, 3u);
    EXPECT_EQ(text_position(text, 3).column, 0u);
    EXPECT_EQ(text_position("x\n\xEF\xBB\xBFy", 5).column, 1u);  // only at the very start
}

struct EncodingCase {
    const char* label;
    std::string bytes;
    DetectedEncoding::Source source;
    std::string codec;
};

void PrintTo(const EncodingCase& c, std::ostream* os) { *os << c.label; }

class Detection : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(Detection, ByteOrderMarkThenDeclarationThenUtf8) {
    const auto& c = GetParam();
    const DetectedEncoding d = detect_encoding(c.bytes);
    EXPECT_EQ(d.source, c.source);
    EXPECT_EQ(std::string(d.codec), c.codec);
    EXPECT_EQ(d.utf8(), c.codec.empty());
}

using Source = DetectedEncoding::Source;
INSTANTIATE_TEST_SUITE_P(
    Documents, Detection,
    ::testing::Values(
        EncodingCase{"nothing", "<a/>", Source::Default, ""}, EncodingCase{"empty", "", Source::Default, ""},
        EncodingCase{"utf-8 mark", "\xEF\xBB\xBF<?xml version='1.0' encoding='latin-1'?><a/>", Source::ByteOrderMark, ""},
        EncodingCase{"utf-16 le mark", "\xFF\xFE<\0a\0/\0>\0"s, Source::ByteOrderMark, "utf-16"},
        EncodingCase{"utf-16 be mark", "\xFE\xFF\0<\0a"s, Source::ByteOrderMark, "utf-16"},
        EncodingCase{"utf-32 le mark", "\xFF\xFE\0\0<\0\0\0"s, Source::ByteOrderMark, "utf-32"},
        EncodingCase{"utf-32 be mark", "\0\0\xFE\xFF\0\0\0<"s, Source::ByteOrderMark, "utf-32"},
        EncodingCase{"utf-16 le without mark", "<\0?\0x\0m\0l\0"s, Source::Utf16Pattern, "utf-16-le"},
        EncodingCase{"utf-16 be without mark", "\0<\0?\0x\0m\0l"s, Source::Utf16Pattern, "utf-16-be"},
        EncodingCase{"declared", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>", Source::Declaration, "ISO-8859-1"},
        EncodingCase{"single quotes, blanks", "<?xml version='1.0'\n\tencoding = 'Shift_JIS' ?>", Source::Declaration, "Shift_JIS"},
        EncodingCase{"encoding first", "<?xml encoding='cp1252'?>", Source::Declaration, "cp1252"},
        EncodingCase{"declared utf-8", "<?xml version='1.0' encoding='UTF-8'?>", Source::Default, ""},
        EncodingCase{"declared utf_8", "<?xml version='1.0' encoding='utf_8'?>", Source::Default, ""},
        EncodingCase{"declared ascii", "<?xml version='1.0' encoding='US-ASCII'?>", Source::Default, ""},
        EncodingCase{"declared utf-16 in bytes", "<?xml version='1.0' encoding='UTF-16'?>", Source::Default, ""},
        EncodingCase{"declared utf-32be in bytes", "<?xml version='1.0' encoding='utf-32be'?>", Source::Default, ""},
        EncodingCase{"no encoding", "<?xml version='1.0' standalone='yes'?>", Source::Default, ""},
        EncodingCase{"not at the start", " <?xml version='1.0' encoding='latin-1'?>", Source::Default, ""},
        EncodingCase{"another instruction", "<?xml-stylesheet encoding='latin-1'?>", Source::Default, ""},
        EncodingCase{"unquoted", "<?xml version='1.0' encoding=latin-1?>", Source::Default, ""},
        EncodingCase{"unterminated value", "<?xml version='1.0' encoding='latin-1", Source::Default, ""},
        EncodingCase{"mismatched quotes", "<?xml version='1.0' encoding='latin-1\"?>", Source::Default, ""},
        EncodingCase{"no blank between", "<?xml version='1.0'encoding='latin-1'?>", Source::Default, ""},
        EncodingCase{"after the end", "<?xml version='1.0'?><a encoding='latin-1'/>", Source::Default, ""},
        EncodingCase{"unknown name kept", "<?xml version='1.0' encoding='no-such'?>", Source::Declaration, "no-such"}));

TEST(EncodingNames, CommonSpellings) {
    for (const char* name : {"UTF-8", "utf8", "Utf_8", "utf 8", "ascii", "US-ASCII", "us_ascii"}) {
        EXPECT_EQ(classify_encoding_name(name), EncodingName::Utf8) << name;
    }
    for (const char* name : {"UTF-16", "utf16", "UTF-16LE", "utf_16_be", "UTF-32", "utf-32-le"}) {
        EXPECT_EQ(classify_encoding_name(name), EncodingName::Utf16) << name;
    }
    for (const char* name : {"latin-1", "ISO-8859-1", "cp1252", "utf-7", "u8", "", "utf-8-sig", "a-very-long-name-utf8"}) {
        EXPECT_EQ(classify_encoding_name(name), EncodingName::Other) << name;
    }
}

// Every code has its own name, and the message text the reader always gave.
TEST(XmlErrorCodes, NamesAndTexts) {
    using Code = CoreError::Code;
    EXPECT_STREQ(code_name(CoreError::unclosed_tag(1).code), "unclosed_tag");
    EXPECT_EQ(CoreError::malformed(Code::DuplicateAttribute, "a", 9).message(),
              "malformed XML at byte 9: duplicate attribute 'a'");
    EXPECT_EQ(CoreError::malformed(Code::AttributeWithoutValue, "ab", 3).message(),
              "malformed XML at byte 3: attribute 'ab' has no value");
    EXPECT_EQ(CoreError::malformed(Code::UnquotedAttributeValue, "a", 5).message(),
              "malformed XML at byte 5: value of attribute 'a' is not quoted");
    EXPECT_EQ(CoreError::malformed(Code::InvalidCharacterReference, "#X42", 3).message(),
              "malformed XML at byte 3: invalid character reference '&#X42;'");
    EXPECT_EQ(CoreError::mismatched_end_tag("a", "b", 3).message(), "malformed XML at byte 3: expected </a>, found </b>");
    EXPECT_EQ(CoreError::malformed(Code::UnexpectedLt, 4).message(), "malformed XML at byte 4: unexpected '<'");
    EXPECT_EQ(CoreError::malformed("free text", 2).code, Code::Malformed);
    EXPECT_STREQ(code_name(Code::Malformed), "malformed");
    std::set<std::string> names;
    for (int i = 0; i <= static_cast<int>(Code::Malformed); ++i) {
        const std::string name = code_name(static_cast<Code>(i));
        EXPECT_FALSE(name.empty());
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz_"), std::string::npos) << name;
        EXPECT_TRUE(names.insert(name).second) << name;
    }
    EXPECT_FALSE(CoreError::root_not_found("r").has_offset());
    EXPECT_FALSE(CoreError::never_closed("r").has_offset());
    EXPECT_TRUE(CoreError::unknown_entity("x", 3).has_offset());
}
