#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/file.h"

namespace platform {

bool ReplaceFileContents(const std::string& path, const void* data, size_t size, uint32_t& error) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = static_cast<uint32_t>(errno);
        return false;
    }
    auto fail = [&](int code) {
        error = static_cast<uint32_t>(code);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    };
    // mkostemp makes the file 0600; give it the usual permissions a plain create would.
    const mode_t mask = umask(0);
    umask(mask);
    if (fchmod(fd, 0666 & ~mask) != 0) return fail(errno);
    const char* p = static_cast<const char*>(data);
    size_t left = size;
    while (left > 0) {
        const ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return fail(errno);
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    if (fsync(fd) != 0) return fail(errno);
    if (::close(fd) != 0) {
        error = static_cast<uint32_t>(errno);
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = static_cast<uint32_t>(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace platform
