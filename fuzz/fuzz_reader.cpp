// The reader on arbitrary bytes. Every kernel the processor runs must give
// the reference reader's outcome exactly: the same error (kind, detail,
// offset) or the same tree, read back through the accessors. A tree found is
// then written with no indentation and with some, and must read back as
// itself (its texts are already trimmed); one kernel's tree is published and
// released node by node, the others are freed with their arena. The first
// byte picks the root tag. Built with ARBOLITE_FUZZ_LONG (fuzz_reader_long),
// the rest spells a long document short (fuzz/expand.hpp). The read of the
// document element, whatever its name, must give what the read by that name
// gives, and its raw-text form the same tree with the texts untrimmed. The
// UTF-8 check finds the same first fault on every kernel.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/read/parser.hpp"
#include "core/base/cpu.hpp"
#include "core/text/utf8.hpp"
#include "core/text/white_space.hpp"
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

// The raw tree is the trimmed one with each text as written: trimmed, it is
// the other's text (an empty one none).
std::string diff_raw(const Node* raw, const Node* trimmed) {
    std::vector<std::pair<const Node*, const Node*>> stack{{raw, trimmed}};
    while (!stack.empty()) {
        const auto [r, t] = stack.back();
        stack.pop_back();
        if (node_name(r) != node_name(t)) return "names differ: " + std::string(node_name(t));
        std::vector<std::pair<std::string_view, std::string_view>> ra, ta;
        for (const Attr a : node_attrs(r)) ra.emplace_back(a.key, a.value);
        for (const Attr a : node_attrs(t)) ta.emplace_back(a.key, a.value);
        if (ra != ta) return "attributes differ in " + std::string(node_name(t));
        std::optional<std::string_view> rt = node_text(r);
        if (rt) rt = trim_white_space(*rt);
        if (rt && rt->empty()) rt.reset();
        if (rt != node_text(t)) return "texts differ in " + std::string(node_name(t));
        if (r->child_count != t->child_count) return "child counts differ in " + std::string(node_name(t));
        ChildCursor rc(const_cast<Node*>(r)), tc(const_cast<Node*>(t));
        while (Node* a = rc.next()) stack.emplace_back(a, tc.next());
    }
    return {};
}

void check_document_element(cpu::Kernel k, std::string_view doc) {
    Arena trimmed_arena(doc.size()), raw_arena(doc.size());
    const ParseOutcome trimmed = parse_document_element_with(k, doc, false, check::test_type(), trimmed_arena);
    const ParseOutcome raw = parse_document_element_with(k, doc, true, check::test_type(), raw_arena);
    const std::string where = std::string(check::kernel_name(k)) + ", document element: ";
    if (bool(trimmed.error) != bool(raw.error)) fail(where + "only one of the raw and trimmed reads failed");
    if (trimmed.error) {
        if (check::describe(*trimmed.error) != check::describe(*raw.error)) {
            fail(where + "errors differ: " + check::describe(*trimmed.error) + " / " + check::describe(*raw.error));
        }
        return;
    }
    const std::string d = diff_raw(raw.root, trimmed.root);
    if (!d.empty()) fail(where + d);
    const std::string name(node_name(trimmed.root));
    Arena named_arena(doc.size());
    const ParseOutcome named = parse_document_with(k, doc, name, check::test_type(), named_arena);
    if (named.error) fail(where + "read by its name, refused: " + check::describe(*named.error));
    if (check::render(named.root) != check::render(trimmed.root)) fail(where + "differs from the read by its name");
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
    std::size_t utf8_bad = SIZE_MAX;
    bool first = true;
    for (cpu::Kernel k : check::runnable_kernels()) {
        // Where the UTF-8 check stops is the same on every kernel.
        cpu::force_kernel(k);
        const std::size_t bad = utf8_error_offset(doc);
        cpu::unforce_kernel();
        if (utf8_bad != SIZE_MAX && bad != utf8_bad) fail(std::string(check::kernel_name(k)) + ": UTF-8 check differs");
        utf8_bad = bad;
        Arena arena(doc.size());
        const ParseOutcome got = parse_document_with(k, doc, root, check::test_type(), arena);
        const std::string d = check::diff_outcome(got, want, check::test_type());
        if (!d.empty()) fail(std::string(check::kernel_name(k)) + ": " + d);
#ifdef ARBOLITE_FUZZ_LONG
        // Documents of megabytes: the three more reads on one kernel only.
        if (first) check_document_element(k, doc);
#else
        check_document_element(k, doc);
#endif
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
