// The reader: one forward pass from UTF-8 bytes to finished nodes. It finds
// each piece of markup, checks it, and builds the element asked for straight
// into the slabs of an Arena; no intermediate tree, no second pass.
//
// What it accepts and which error it reports are fixed: the first element in
// document order named `root_tag`, with its subtree; an unclosed tag anywhere
// in the document wins over every other error, which are otherwise reported
// in document order; nothing after the element's end tag is read except to
// look for an unclosed tag.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/base/cpu.hpp"
#include "core/base/core_error.hpp"
#include "core/tree/arena.hpp"
#include "core/tree/node.hpp"

namespace arbolite {

struct ParseOutcome {
    Node* root = nullptr;          // the element, on success (in the arena, not yet published)
    std::optional<CoreError> error;  // otherwise
    std::uint64_t node_count = 0;   // nodes of the tree; each refers to `node_type`
};

// Reads `text` with the kernel cpu::active_kernel() names. Nodes get a
// reference count of 1 (held by the parent, or by the caller for the root)
// and `node_type` as their type. Throws std::bad_alloc when memory runs out.
// What a read asks of the reader, in one place: a new option is a field
// here, not a parameter of every kernel's entry points.
struct ReadOptions {
    // The element read: the first one so named (a stream: every one so
    // named that is not inside another), unless `document_element`.
    std::string_view root_tag;
    // The document's first element, whatever its name (whole documents).
    bool document_element = false;
    // Text and attribute values as written, their references not decoded
    // (whole documents; a stream decodes).
    bool raw_text = false;
    // What every node built refers to (the Python layer's node class).
    const void* node_type = nullptr;
};

ParseOutcome parse_document_with(cpu::Kernel kernel, std::string_view text, const ReadOptions& options, Arena& arena);

ParseOutcome parse_document(std::string_view text, std::string_view root_tag, const void* node_type, Arena& arena);

// The same with a given kernel, which the processor must support.
ParseOutcome parse_document_with(cpu::Kernel kernel, std::string_view text, std::string_view root_tag,
                                 const void* node_type, Arena& arena);

// The document element, whatever its name. With `raw_text`, every text is
// kept as it is, white space included (also white space alone between child
// elements); otherwise texts are trimmed as parse_document trims them. No
// element at all is an error of its own.
ParseOutcome parse_document_element(std::string_view text, bool raw_text, const void* node_type, Arena& arena);
ParseOutcome parse_document_element_with(cpu::Kernel kernel, std::string_view text, bool raw_text,
                                         const void* node_type, Arena& arena);

// Reading a stream: every element named `tag` that is not inside another
// one, each finished as soon as its end tag is read and built in slabs of
// its own, while the input comes window by window. The document is checked
// as a whole document is, with its first element as the one asked for:
// same messages, offsets counted from the document's start. An error is
// reported where the scan meets it (an unclosed tag further on is not
// looked for first).
inline constexpr std::size_t kStreamPadding = 64;

enum class StreamStep {
    Node,       // an element is ready: take_node()
    NeedInput,  // the window ends inside a piece of markup or text: extend it
    Error,      // take_error()
    End,        // the input is over and nothing is wrong
};

class StreamParser {
public:
    virtual ~StreamParser() = default;
    // Bytes [base, base + size) of the document; `eof` when none follow. A
    // window starts at or before keep_from() and reaches at least as far as
    // the previous one. The kStreamPadding bytes before `data` must be
    // readable: vector searches near the window's end load whole registers.
    virtual void window(const char* data, std::uint64_t base, std::uint64_t size, bool eof) noexcept = 0;
    // Throws std::bad_alloc when memory runs out.
    virtual StreamStep step() = 0;
    // The first byte the parser still needs; the window may drop the rest.
    virtual std::uint64_t keep_from() const noexcept = 0;
    // The element of the last StreamStep::Node, its slabs handed over as a
    // published tree, and how many nodes it has.
    virtual Node* take_node(std::uint64_t& node_count) noexcept = 0;
    virtual CoreError take_error() noexcept = 0;
};

std::unique_ptr<StreamParser> make_stream(cpu::Kernel kernel, const ReadOptions& options);
inline std::unique_ptr<StreamParser> make_stream(cpu::Kernel kernel, std::string_view tag, const void* node_type) {
    return make_stream(kernel, ReadOptions{.root_tag = tag, .node_type = node_type});
}

namespace kernel_scalar {
ParseOutcome parse(std::string_view text, const ReadOptions& options, Arena& arena);
std::unique_ptr<StreamParser> make_stream(const ReadOptions& options);
}
namespace kernel_sse2 {
ParseOutcome parse(std::string_view text, const ReadOptions& options, Arena& arena);
std::unique_ptr<StreamParser> make_stream(const ReadOptions& options);
}
namespace kernel_avx2 {
ParseOutcome parse(std::string_view text, const ReadOptions& options, Arena& arena);
std::unique_ptr<StreamParser> make_stream(const ReadOptions& options);
}

}  // namespace arbolite
