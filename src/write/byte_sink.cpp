#include "src/write/byte_sink.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace arbolite {

namespace {

// Writes all of [data, data + n), retrying interrupted calls. `stalled` is the
// failure for a call that makes no progress; `done` reports what got through.
IoStatus write_all(int fd, const char* data, std::size_t n, const char* stalled,
                   std::size_t& done) {
    done = 0;
    while (done < n) {
        std::size_t chunk = n - done;
        if (chunk > static_cast<std::size_t>(SSIZE_MAX)) chunk = SSIZE_MAX;
        ssize_t w = ::write(fd, data + done, chunk);
        if (w < 0) {
            if (errno == EINTR) continue;
            return IoError{errno, {}};
        }
        if (w == 0) return IoError{0, stalled};
        done += static_cast<std::size_t>(w);
    }
    return std::nullopt;
}

}  // namespace

IoStatus MemorySink::append(const char* data, std::size_t n) {
    // std::string reports this as length_error; to callers it is the same as
    // any other allocation that cannot be satisfied.
    if (n > buf_.max_size() - buf_.size()) throw std::bad_alloc();
    buf_.append(data, n);
    return std::nullopt;
}

FileSink::~FileSink() {
    (void)flush();
    if (fd_ >= 0) ::close(fd_);
}

IoStatus FileSink::append(const char* data, std::size_t n) {
    if (n == 0) return std::nullopt;
    if (n > kCapacity - len_) {
        if (IoStatus e = flush()) return e;
    }
    if (n < kCapacity) {
        std::memcpy(buf_ + len_, data, n);
        len_ += n;
        return std::nullopt;
    }
    std::size_t done;
    return write_all(fd_, data, n, "failed to write whole buffer", done);
}

IoStatus FileSink::flush() {
    if (len_ == 0) return std::nullopt;
    std::size_t done;
    IoStatus result = write_all(fd_, buf_, len_, "failed to write the buffered data", done);
    if (done != 0) {
        std::memmove(buf_, buf_ + done, len_ - done);
        len_ -= done;
    }
    return result;
}

std::variant<int, IoError> open_for_writing(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return IoError{0, "file name contained an unexpected NUL byte"};
    }
    const std::string terminated(path);
    for (;;) {
        int fd = ::open(terminated.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EINTR) return IoError{errno, {}};
    }
}

}  // namespace arbolite
