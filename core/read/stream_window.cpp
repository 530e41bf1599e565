#include "core/read/stream_window.hpp"

#include <algorithm>
#include <cstring>

#include "core/text/utf8.hpp"

namespace arbolite {

StreamWindow::StreamWindow() {
    buf_.resize(kStreamPadding);
    std::memset(buf_.data(), 0, kStreamPadding);
}

char* StreamWindow::room(const StreamParser& parser, std::size_t n) {
    // Drop what the parser no longer needs, when that is at least half the
    // window: the copy is then paid for by the bytes it frees.
    std::uint64_t keep = std::min(parser.keep_from(), checked_);
    // A CR is a line end only when no LF follows: keep it with its follower.
    if (keep > base_ && keep == end() && buf_.data()[kStreamPadding + (keep - 1 - base_)] == '\r') --keep;
    const std::size_t drop = static_cast<std::size_t>(keep - base_);
    const std::size_t held = buf_.size() - kStreamPadding;
    if (drop > 0 && (drop >= held / 2 || buf_.capacity() - buf_.size() < n)) {
        count(drop, at_base_);
        std::memmove(buf_.data() + kStreamPadding, buf_.data() + kStreamPadding + drop, held - drop);
        buf_.resize(buf_.size() - drop);
        base_ += drop;
    }
    buf_.reserve(buf_.size() + n);
    return buf_.data() + buf_.size();
}

void StreamWindow::append(const StreamParser& parser, std::string_view bytes) {
    if (bytes.empty()) return;
    char* at = room(parser, bytes.size());
    std::memcpy(at, bytes.data(), bytes.size());
    grew(bytes.size());
}

std::optional<std::uint64_t> StreamWindow::show(StreamParser& parser, bool eof) {
    const char* window = buf_.data() + kStreamPadding;
    const std::uint64_t last = end();
    std::uint64_t upto = last;
    if (!eof) {
        // A sequence cut at the end waits: back up over its continuation
        // bytes (at most three) to its lead byte.
        std::uint64_t k = last;
        int seen = 0;
        while (k > checked_ && seen < 3 && (static_cast<unsigned char>(window[k - 1 - base_]) & 0xC0) == 0x80) {
            --k;
            ++seen;
        }
        if (k > checked_ && static_cast<unsigned char>(window[k - 1 - base_]) >= 0xC0) upto = k - 1;
    }
    if (!bad_ && upto > checked_) {
        const std::string_view fresh(window + (checked_ - base_), static_cast<std::size_t>(upto - checked_));
        const std::size_t bad = utf8_error_offset(fresh);
        checked_ += bad;
        if (bad != fresh.size()) bad_ = checked_;
    }
    // Before a fault the parser reads on as if more were to come: what it
    // finds there, and every node that ends there, comes first.
    parser.window(window, base_, checked_ - base_, !bad_ && eof && checked_ == last);
    return bad_;
}

void StreamWindow::count(std::size_t n, TextPosition& at) const noexcept {
    const char* d = buf_.data() + kStreamPadding;
    const std::size_t held = buf_.size() - kStreamPadding;
    std::size_t from = 0;
    // A byte-order mark at the document's start is no character.
    if (base_ == 0 && n >= 3 && held >= 3 && std::memcmp(d, "\xEF\xBB\xBF", 3) == 0) from = 3;
    if (from >= n) return;
    // Every dropped byte is counted: a fault's position is told long after.
    // Without a CR, lines end at LF only, and counting runs at memory speed.
    if (!std::memchr(d + from, '\r', n - from)) {
        const char* begin = d + from;
        const char* end = d + n;
        const auto lines = static_cast<std::uint64_t>(std::count(begin, end, '\n'));
        if (lines != 0) {
            at.line += lines;
            at.column = 0;
            while (end[-1] != '\n') --end;  // the last line end: the line counted from there
            begin = end;
            end = d + n;
        }
        std::uint64_t continuation = 0;
        for (const char* p = begin; p != end; ++p) continuation += (static_cast<unsigned char>(*p) & 0xC0) == 0x80;
        at.column += static_cast<std::uint64_t>(end - begin) - continuation;
        return;
    }
    for (std::size_t i = from; i < n; ++i) {
        const char c = d[i];
        if (c == '\n' || (c == '\r' && !(i + 1 < held && d[i + 1] == '\n'))) {
            ++at.line;
            at.column = 0;
        } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++at.column;
        }
    }
}

TextPosition StreamWindow::position(std::uint64_t offset) const noexcept {
    TextPosition at = at_base_;
    count(static_cast<std::size_t>(std::min(offset, end()) - base_), at);
    return at;
}

}  // namespace arbolite
