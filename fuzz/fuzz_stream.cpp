// The stream reader on arbitrary bytes, fed in arbitrary pieces. Whatever the
// pieces and the kernel, it must give what the scalar kernel gives on the
// whole input at once: the same nodes, then the same end or the same error.
// Where the reference reads the document element whole (and the input is
// UTF-8), the stream starts with the reference's matches. The first byte
// picks the tag, the next ones the lengths of the pieces. Built with
// ARBOLITE_FUZZ_LONG (fuzz_stream_long), the document is a long one spelled
// short (fuzz/expand.hpp) and its pieces are kilobytes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/text/utf8.hpp"
#include "fuzz/expand.hpp"
#include "tests/reference/stream_run.hpp"

using namespace arbolite;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "stream: %s\n", what.substr(0, 3000).c_str());
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    static const char* const kTags[] = {"a", "b", "root", "", "item", "r\xC3\xA9", "x", "a b"};
    const std::string_view tag = kTags[data[0] % 8];
#ifdef ARBOLITE_FUZZ_LONG
    constexpr bool kLong = true;
#else
    constexpr bool kLong = false;
#endif
    // One to four piece lengths, of 1 to 64 bytes (kilobytes for a long document).
    std::vector<std::size_t> pieces;
    const std::size_t count = 1 + data[1] % 4;
    std::size_t at = 2;
    for (std::size_t i = 0; i < count && at < size; ++i) pieces.push_back((1 + data[at++] % 64) * (kLong ? 1024 : 1));
    const std::string expanded = kLong ? fuzz::expand(data + at, size - at) : std::string();
    const char* const text = kLong ? expanded.data() : reinterpret_cast<const char*>(data + at);
    // A heap block of exactly the document's size, so a read past the end
    // shows under the sanitizers.
    const std::size_t n = kLong ? expanded.size() : size - at;
    std::unique_ptr<char[]> copy(new char[n]);
    if (n) std::memcpy(copy.get(), text, n);
    const std::string_view doc(copy.get(), n);

    const check::StreamRun reference = check::run_stream(cpu::Kernel::Scalar, doc, tag);
    const std::string& whole = reference.out;
    if (reference.asked_past_end) fail(whole);
    for (cpu::Kernel k : check::runnable_kernels()) {
        for (const auto& split : {std::vector<std::size_t>{}, pieces, std::vector<std::size_t>{1}}) {
            if (split.size() == 1 && split[0] == 1 && doc.size() > 4096) continue;
            const std::string got = check::run_stream(k, doc, tag, split).out;
            if (got != whole) {
                fail(std::string(check::kernel_name(k)) + " in pieces of " +
                     (split.empty() ? std::string("all") : std::to_string(split[0])) + "...:\n got: " + got +
                     "\n whole: " + whole);
            }
        }
    }
    if (is_valid_utf8(doc)) {
        if (auto want = check::reference_matches(doc, tag)) {
            if (whole.compare(0, want->size(), *want) != 0) fail("reference: " + *want + "\n stream: " + whole);
        }
    }
    return 0;
}
