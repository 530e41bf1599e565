#include "src/read/file_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "src/core/utf8.hpp"

namespace arbolite {
namespace {

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::variant<std::string, IoError> read_text_file(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return IoError{0, "file name contained an unexpected NUL byte"};
    }
    const std::string c_path(path);
    Descriptor file{-1};
    do {
        file.fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (file.fd < 0 && errno == EINTR);
    if (file.fd < 0) return IoError{errno, {}};

    std::string text;
    struct stat st;
    if (::fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        // One allocation for regular files; the loop below still copes with
        // files that grow or shrink while they are read.
        text.resize(static_cast<std::size_t>(st.st_size));
    } else {
        text.resize(64 * 1024);
    }
    std::size_t used = 0;
    for (;;) {
        char* dest = text.data() + used;
        std::size_t room = text.size() - used;
        char probe[16 * 1024];
        // A full buffer usually means the end of the file: probe with a small
        // read before growing, rather than doubling a large buffer for nothing.
        const bool probing = room == 0;
        if (probing) {
            dest = probe;
            room = sizeof probe;
        }
        const ssize_t n = ::read(file.fd, dest, room);
        if (n < 0) {
            if (errno == EINTR) continue;
            return IoError{errno, {}};
        }
        if (n == 0) break;
        if (probing) {
            text.append(probe, static_cast<std::size_t>(n));
            text.resize(text.capacity());
        }
        used += static_cast<std::size_t>(n);
    }
    text.resize(used);
    if (!is_valid_utf8(text)) return IoError{0, "stream did not contain valid UTF-8"};
    return text;
}

}  // namespace arbolite
