#include "core/read/stream_window.hpp"

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
    const std::uint64_t keep = std::min(parser.keep_from(), checked_);
    const std::size_t drop = static_cast<std::size_t>(keep - base_);
    const std::size_t held = buf_.size() - kStreamPadding;
    if (drop > 0 && (drop >= held / 2 || buf_.capacity() - buf_.size() < n)) {
        std::memmove(buf_.data() + kStreamPadding, buf_.data() + kStreamPadding + drop, held - drop);
        buf_.resize(buf_.size() - drop);
        base_ += drop;
    }
    buf_.reserve(buf_.size() + n);
    return buf_.data() + buf_.size();
}

void StreamWindow::append(const StreamParser& parser, std::string_view bytes) {
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
    if (upto > checked_) {
        const std::string_view fresh(window + (checked_ - base_), static_cast<std::size_t>(upto - checked_));
        const std::size_t bad = utf8_error_offset(fresh);
        if (bad != fresh.size()) return checked_ + bad;
        checked_ = upto;
    }
    parser.window(window, base_, checked_ - base_, eof && checked_ == last);
    return std::nullopt;
}

}  // namespace arbolite
