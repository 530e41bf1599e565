// The window a stream is read through: the bytes from the first one its
// parser still needs to the last one read, behind readable padding. Bytes are
// shown to the parser only once checked as UTF-8; a sequence cut by the end
// of a chunk waits for the next one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/byte_buffer.hpp"
#include "core/read/parser.hpp"
#include "core/text/position.hpp"

namespace arbolite {

class StreamWindow {
public:
    StreamWindow();

    // Room for `n` more bytes after the last ones read; the bytes before the
    // parser's keep_from() are dropped first. Throws std::bad_alloc.
    char* room(const StreamParser& parser, std::size_t n);
    // `n` bytes were written at room()'s pointer.
    void grew(std::size_t n) noexcept { buf_.resize(buf_.size() + n); }
    // Appends bytes (room() and grew() in one).
    void append(const StreamParser& parser, std::string_view bytes);

    // Checks the bytes read since the last call as UTF-8 (all of them when
    // `eof`, else up to a sequence the next chunk may complete) and shows the
    // parser every checked byte. The offset in the document of the first
    // byte that is not UTF-8, once there is one: the parser is shown the
    // bytes before it, as if more were to come, and never anything after.
    std::optional<std::uint64_t> show(StreamParser& parser, bool eof);

    // Bytes the window has room for, padding included.
    std::size_t capacity() const noexcept { return buf_.capacity(); }

    // Bytes read so far, from the document's start.
    std::uint64_t end() const noexcept { return base_ + (buf_.size() - kStreamPadding); }

    // Where `offset` (not before the window's start) is, as text_position()
    // counts: the bytes already dropped were counted as they went.
    TextPosition position(std::uint64_t offset) const noexcept;

private:
    // Counts the lines and columns of the first `n` bytes of the window.
    void count(std::size_t n, TextPosition& at) const noexcept;

    ByteBuffer buf_;           // kStreamPadding bytes, then the window
    std::uint64_t base_ = 0;     // document offset of the window's first byte
    std::uint64_t checked_ = 0;  // document offset up to which the bytes are UTF-8
    std::optional<std::uint64_t> bad_;  // the first byte that is not
    TextPosition at_base_;       // the position of the window's first byte
};

}  // namespace arbolite
