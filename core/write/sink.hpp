// Where serialized bytes go: a growable memory buffer or a buffered file.
// append() returns false after an I/O failure, which the sink keeps; running
// out of memory throws std::bad_alloc, which the Python layer turns into
// MemoryError.
#pragma once
#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>
#include <variant>

#include "core/base/byte_buffer.hpp"
#include "core/base/core_error.hpp"

namespace arbolite {

class MemorySink {
public:
    static constexpr bool kCanFail = false;
    bool append(const char* data, std::size_t n) {
        buf_.append(data, n);
        return true;
    }
    bool append(std::string_view s) { return append(s.data(), s.size()); }
    std::string_view view() const noexcept { return buf_.view(); }
    ByteBuffer& buffer() noexcept { return buf_; }

private:
    ByteBuffer buf_;
};

// Owns a file descriptor and gathers small pieces in a fixed buffer; pieces of
// kCapacity bytes or more go straight to the descriptor.
class FileSink {
public:
    static constexpr bool kCanFail = true;
    static constexpr std::size_t kCapacity = 8192;

    explicit FileSink(int fd) noexcept : fd_(fd) {}
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;
    // Flushes once more, ignoring errors, then closes the descriptor.
    ~FileSink();

    bool append(const char* data, std::size_t n) {
        if (error_) return false;
        if (n < kCapacity - len_) {
            std::memcpy(buf_ + len_, data, n);
            len_ += n;
            return true;
        }
        return append_slow(data, n);
    }
    bool append(std::string_view s) { return append(s.data(), s.size()); }

    // Hands the buffer to the descriptor. Whatever was written leaves the front
    // of the buffer even when a later write fails; the rest stays buffered.
    bool flush();

    const std::optional<CoreError>& error() const noexcept { return error_; }
    std::size_t buffered() const noexcept { return len_; }
    int fd() const noexcept { return fd_; }

private:
    bool append_slow(const char* data, std::size_t n);
    std::optional<CoreError> flush_buffer();

    int fd_;
    std::size_t len_ = 0;
    std::optional<CoreError> error_;
    char buf_[kCapacity];
};

// Creates or truncates `path` for writing (close-on-exec, mode 0666 before the
// umask) and returns the descriptor, which the caller hands to a FileSink.
std::variant<int, CoreError> open_for_writing(std::string_view path);

}  // namespace arbolite
