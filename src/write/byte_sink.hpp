// Where serialized bytes go: a growable memory buffer or a buffered file.
// Sinks report I/O failures as values; running out of memory throws
// std::bad_alloc, which the Python layer turns into MemoryError.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "src/core/io_error.hpp"

namespace arbolite {

// Empty on success, otherwise the first failure.
using IoStatus = std::optional<IoError>;

class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual IoStatus append(const char* data, std::size_t n) = 0;
    IoStatus append(std::string_view s) { return append(s.data(), s.size()); }
};

class MemorySink final : public ByteSink {
public:
    // Never fails; throws std::bad_alloc when the buffer cannot grow.
    IoStatus append(const char* data, std::size_t n) override;
    using ByteSink::append;

    std::string_view view() const noexcept { return buf_; }
    std::string take() noexcept { return std::move(buf_); }

private:
    std::string buf_;
};

// Owns a file descriptor and gathers small pieces in a fixed buffer; pieces of
// kCapacity bytes or more go straight to the descriptor.
class FileSink final : public ByteSink {
public:
    static constexpr std::size_t kCapacity = 8192;

    explicit FileSink(int fd) noexcept : fd_(fd) {}
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;
    // Flushes once more, ignoring errors, then closes the descriptor.
    ~FileSink() override;

    IoStatus append(const char* data, std::size_t n) override;
    using ByteSink::append;

    // Hands the buffer to the descriptor. Whatever was written leaves the front
    // of the buffer even when a later write fails; the rest stays buffered.
    IoStatus flush();

    std::size_t buffered() const noexcept { return len_; }
    int fd() const noexcept { return fd_; }

private:
    int fd_;
    std::size_t len_ = 0;
    char buf_[kCapacity];
};

// Creates or truncates `path` for writing (close-on-exec, mode 0666 before the
// umask) and returns the descriptor, which the caller hands to a FileSink.
std::variant<int, IoError> open_for_writing(std::string_view path);

}  // namespace arbolite
