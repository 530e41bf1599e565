#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "core/read/file_source.hpp"
#include "core/text/utf8.hpp"

using arbolite::ByteBuffer;
using arbolite::CoreError;
using arbolite::is_valid_utf8;
using arbolite::read_text_file;

struct Utf8Case {
    const char* label;
    std::string bytes;
    bool valid;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.label; }

class Utf8Validation : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validation, AcceptsExactlyWellFormedUtf8) {
    const auto& c = GetParam();
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.label;
    // The same sequence after a long ASCII run, so the word-at-a-time skip is crossed.
    EXPECT_EQ(is_valid_utf8(std::string(37, 'a') + c.bytes), c.valid) << c.label;
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Validation,
    ::testing::Values(Utf8Case{"empty", "", true}, Utf8Case{"ascii", "hello", true},
                      Utf8Case{"two-byte", "\xC3\xA9", true}, Utf8Case{"three-byte", "\xE2\x82\xAC", true},
                      Utf8Case{"four-byte", "\xF0\x9F\x98\x80", true},
                      Utf8Case{"largest", "\xF4\x8F\xBF\xBF", true},
                      Utf8Case{"above U+10FFFF", "\xF4\x90\x80\x80", false},
                      Utf8Case{"overlong slash", "\xC0\xAF", false},
                      Utf8Case{"overlong three", "\xE0\x80\xAF", false},
                      Utf8Case{"surrogate", "\xED\xA0\x80", false},
                      Utf8Case{"lone continuation", "\x80", false},
                      Utf8Case{"truncated", "\xE2\x82", false},
                      Utf8Case{"bad continuation", "\xE2\x28\xA1", false},
                      Utf8Case{"latin-1 byte", "caf\xE9", false}),
    [](const ::testing::TestParamInfo<Utf8Case>& info) { return "case" + std::to_string(info.index); });

namespace {

// CTest runs each case in its own process, several at once: the pid keeps
// their files apart.
std::string temp_path(const char* name) {
    return ::testing::TempDir() + std::to_string(::getpid()) + "_" + name;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

class FileSizes : public ::testing::TestWithParam<size_t> {};

TEST_P(FileSizes, ReadsTheWholeFile) {
    std::string content;
    for (size_t i = 0; i < GetParam(); ++i) content.push_back(static_cast<char>('a' + i % 26));
    const std::string path = temp_path("arbolite_read_sizes.xml");
    write_file(path, content);
    auto result = read_text_file(path);
    ASSERT_TRUE(std::holds_alternative<ByteBuffer>(result));
    EXPECT_EQ(std::get<ByteBuffer>(result).view(), content);
    std::remove(path.c_str());
}

// Around the probe read after a full buffer, and around the first buffer of
// a stream whose size is not known.
INSTANTIATE_TEST_SUITE_P(Boundaries, FileSizes,
                         ::testing::Values(0, 1, 255, 256, 257, 16383, 16384, 16385, 65535, 65536, 65537, 70000, 1 << 20));

TEST(FileSource, ReadsAPipeOfUnknownSize) {
    // No size to reserve for: the buffer grows as the bytes come.
    std::string content;
    for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>('a' + i % 26));
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < content.size()) {
            const ssize_t n = ::write(fds[1], content.data() + done, std::min<std::size_t>(4000, content.size() - done));
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(fds[1]);
    });
    auto result = read_text_file("/dev/fd/" + std::to_string(fds[0]));
    writer.join();
    ::close(fds[0]);
    ASSERT_TRUE(std::holds_alternative<ByteBuffer>(result));
    EXPECT_EQ(std::get<ByteBuffer>(result).view(), content);
}

TEST(FileSource, FailuresCarryTheirCodeOrText) {
    auto missing = read_text_file("/nonexistent/arbolite/x.xml");
    ASSERT_TRUE(std::holds_alternative<CoreError>(missing));
    EXPECT_EQ(std::get<CoreError>(missing).sys, ENOENT);

    auto directory = read_text_file("/");
    ASSERT_TRUE(std::holds_alternative<CoreError>(directory));
    EXPECT_EQ(std::get<CoreError>(directory).sys, EISDIR);

    auto nul = read_text_file(std::string("a\0b", 3));
    ASSERT_TRUE(std::holds_alternative<CoreError>(nul));
    EXPECT_EQ(std::get<CoreError>(nul).sys, 0);
    EXPECT_EQ(std::get<CoreError>(nul).detail, "file name contained an unexpected NUL byte");

    const std::string path = temp_path("arbolite_bad_utf8.xml");
    write_file(path, "<a>\xFF</a>");
    auto bad = read_text_file(path);
    ASSERT_TRUE(std::holds_alternative<CoreError>(bad));
    EXPECT_EQ(std::get<CoreError>(bad).detail, "stream did not contain valid UTF-8");
    std::remove(path.c_str());

    // Invalid UTF-8 only at the very end, past the first buffer.
    write_file(path, std::string(70000, 'a') + "\xE2\x82");
    auto cut = read_text_file(path);
    ASSERT_TRUE(std::holds_alternative<CoreError>(cut));
    EXPECT_EQ(std::get<CoreError>(cut).detail, "stream did not contain valid UTF-8");
    std::remove(path.c_str());
}
