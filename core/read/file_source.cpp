#include "core/read/file_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "core/text/utf8.hpp"

namespace arbolite {
namespace {

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

std::variant<ByteBuffer, CoreError> read_whole_file(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return CoreError::io(0, "file name contained an unexpected NUL byte");
    }
    const std::string c_path(path);
    Descriptor file{-1};
    do {
        file.fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (file.fd < 0 && errno == EINTR);
    if (file.fd < 0) return CoreError::io(errno);

    ByteBuffer text;
    struct stat st;
    // One allocation for regular files; the loop still copes with files that
    // grow or shrink while they are read.
    const bool regular = ::fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    text.reserve(regular ? static_cast<std::size_t>(st.st_size) + 1 : 64 * 1024);
    for (;;) {
        // A full buffer usually means the end of the file: the read that
        // would tell is into spare room, grown only when it brought bytes.
        if (text.size() == text.capacity()) text.reserve(text.size() + 1);
        char* dest = text.data() + text.size();
        const std::size_t room = text.capacity() - text.size();
        const ssize_t n = ::read(file.fd, dest, room);
        if (n < 0) {
            if (errno == EINTR) continue;
            return CoreError::io(errno);
        }
        if (n == 0) break;
        text.resize(text.size() + static_cast<std::size_t>(n));
    }
    return text;
}

CoreError invalid_utf8_error() { return CoreError::io(0, "stream did not contain valid UTF-8"); }

std::variant<ByteBuffer, CoreError> read_text_file(std::string_view path) {
    auto file = read_whole_file(path);
    if (auto* text = std::get_if<ByteBuffer>(&file); text && !is_valid_utf8(text->view())) return invalid_utf8_error();
    return file;
}

}  // namespace arbolite
