#include "core/write/sink.hpp"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

namespace arbolite {
namespace {

// Writes all of [data, data + n), retrying interrupted calls. `stalled` is the
// failure for a call that makes no progress; `done` reports what got through.
std::optional<CoreError> write_all(int fd, const char* data, std::size_t n, const char* stalled, std::size_t& done) {
    done = 0;
    while (done < n) {
        std::size_t chunk = n - done;
        if (chunk > static_cast<std::size_t>(SSIZE_MAX)) chunk = SSIZE_MAX;
        const ssize_t w = ::write(fd, data + done, chunk);
        if (w < 0) {
            if (errno == EINTR) continue;
            return CoreError::io(errno);
        }
        if (w == 0) return CoreError::io(0, stalled);
        done += static_cast<std::size_t>(w);
    }
    return std::nullopt;
}

}  // namespace

FileSink::~FileSink() {
    (void)flush_buffer();
    if (fd_ >= 0) ::close(fd_);
}

std::optional<CoreError> FileSink::flush_buffer() {
    if (len_ == 0) return std::nullopt;
    std::size_t done;
    auto result = write_all(fd_, buf_, len_, "failed to write the buffered data", done);
    if (done != 0) {
        std::memmove(buf_, buf_ + done, len_ - done);
        len_ -= done;
    }
    return result;
}

bool FileSink::flush() {
    if (error_) return false;
    error_ = flush_buffer();
    return !error_;
}

bool FileSink::append_slow(const char* data, std::size_t n) {
    if (n == 0) return true;
    if (n > kCapacity - len_ && !flush()) return false;
    if (n < kCapacity) {
        std::memcpy(buf_ + len_, data, n);
        len_ += n;
        return true;
    }
    std::size_t done;
    error_ = write_all(fd_, data, n, "failed to write whole buffer", done);
    return !error_;
}

std::variant<int, CoreError> open_for_writing(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return CoreError::io(0, "file name contained an unexpected NUL byte");
    }
    const std::string terminated(path);
    for (;;) {
        const int fd = ::open(terminated.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EINTR) return CoreError::io(errno);
    }
}

}  // namespace arbolite
