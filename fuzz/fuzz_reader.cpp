// The reader on arbitrary bytes. Every kernel the processor runs must give
// the reference reader's outcome exactly: the same error (kind, detail,
// offset) or the same tree, read back through the accessors. A tree found is
// then written with no indentation and with some, and must read back as
// itself (its texts are already trimmed); one kernel's tree is published and
// released node by node, the others are freed with their arena. The first
// byte picks the root tag. Built with ARBOLITE_FUZZ_LONG (fuzz_reader_long),
// the rest spells a long document short (fuzz/expand.hpp).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "core/read/parser.hpp"
#include "core/write/serializer.hpp"
#include "fuzz/expand.hpp"
#include "tests/reference/compare.hpp"

using namespace arbolite;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "reader: %s\n", what.substr(0, 2000).c_str());
    __builtin_trap();
}

// Written and read again, a parsed tree is itself.
void write_and_reread(const Node* root, std::string_view root_tag, const check::Element& want) {
    for (std::uint64_t indent : {0, 3}) {
        MemorySink sink;
        if (write_document(sink, const_cast<Node*>(root), indent, indent != 0, kMaxOutputBytes)) fail("the indent was refused");
        Arena arena(sink.view().size());
        const ParseOutcome again = parse_document(sink.view(), root_tag, check::test_type(), arena);
        if (again.error) fail("own output refused: " + again.error->message());
        const std::string d = check::diff_tree(again.root, want, check::test_type());
        if (!d.empty()) fail("written and read again, the tree differs: " + d);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const char* const kRoots[] = {"a", "b", "root", "", "item", "r\xC3\xA9", "x", "a b"};
    const std::string_view root = kRoots[data[0] % 8];
#ifdef ARBOLITE_FUZZ_LONG
    const std::string expanded = fuzz::expand(data + 1, size - 1);
    const char* const text = expanded.data();
    const std::size_t n = expanded.size();
#else
    const char* const text = reinterpret_cast<const char*>(data + 1);
    const std::size_t n = size - 1;
#endif
    // A heap block of exactly the document's size, so a read past the end
    // shows under the sanitizers.
    std::unique_ptr<char[]> copy(new char[n]);
    if (n) std::memcpy(copy.get(), text, n);
    const std::string_view doc(copy.get(), n);

    const check::RefOutcome want = reference::parse_root(doc, root);
    bool first = true;
    for (cpu::Kernel k : check::runnable_kernels()) {
        Arena arena(doc.size());
        const ParseOutcome got = parse_document_with(k, doc, root, check::test_type(), arena);
        const std::string d = check::diff_outcome(got, want, check::test_type());
        if (!d.empty()) fail(std::string(check::kernel_name(k)) + ": " + d);
        if (got.error) {
            (void)got.error->message();
            continue;
        }
        if (first) {
            write_and_reread(got.root, root, std::get<check::Element>(want));
            // Handed over and released one node at a time, as the module does.
            arena.publish();
            check::release(got.root);
            first = false;
        }
    }
    return 0;
}
