#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/console.h"
#include "platform/file.h"

namespace platform {
namespace {

// Temporary files a signal handler may have to remove: fixed storage, no allocation in the handler.
constexpr int kPendingSlots = 8;
char pendingPath[kPendingSlots][PATH_MAX];
std::atomic<bool> pendingUsed[kPendingSlots];

int ClaimPendingSlot(const std::string& path) {
    if (path.size() >= PATH_MAX) return -1;
    for (int i = 0; i < kPendingSlots; ++i) {
        bool expected = false;
        if (pendingUsed[i].load(std::memory_order_acquire)) continue;
        std::memcpy(pendingPath[i], path.c_str(), path.size() + 1);
        // The path is complete before the slot counts as used.
        if (pendingUsed[i].compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return i;
    }
    return -1;
}

void ReleasePendingSlot(int slot) {
    if (slot >= 0) pendingUsed[slot].store(false, std::memory_order_release);
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

namespace {

bool WriteAll(int fd, const void* data, size_t size, uint32_t& error) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t w = ::write(fd, p, size);
        if (w < 0) {
            if (errno == EINTR && InterruptCount() == 0) continue;
            error = static_cast<uint32_t>(errno);
            return false;
        }
        if (w == 0) {
            error = EIO;
            return false;
        }
        p += w;
        size -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

// Follows symbolic links (relative ones against their own directory); the last path of the chain, which
// may not exist yet. False with ELOOP for a cycle.
bool ResolveLinks(const std::string& path, std::string& out, uint32_t& error) {
    out = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (::lstat(out.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char buf[PATH_MAX];
        const ssize_t n = ::readlink(out.c_str(), buf, sizeof buf - 1);
        if (n < 0) {
            error = static_cast<uint32_t>(errno);
            return false;
        }
        const std::string link(buf, static_cast<size_t>(n));
        out = link.front() == '/' ? link : DirectoryOf(out) + "/" + link;
    }
    error = ELOOP;
    return false;
}

OutputFile::~OutputFile() {
    Abort();
}

bool OutputFile::Open(const std::string& path, uint32_t& error) {
    Abort();
    if (!ResolveLinks(path, target_, error)) return false;
    struct stat st {};
    if (::stat(target_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error = EISDIR;
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            // A device, FIFO or socket: what the operator named is written to, never replaced. A FIFO's open
            // waits for a reader; Ctrl-C ends that wait (the handler does not restart the call).
            do {
                fd_ = ::open(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
            } while (fd_ < 0 && errno == EINTR && InterruptCount() == 0);
            if (fd_ < 0) {
                error = static_cast<uint32_t>(errno);
                return false;
            }
            return true;
        }
        hadFile_ = true;
        mode_ = st.st_mode & 07777;
        uid_ = st.st_uid;
        gid_ = st.st_gid;
    } else if (errno != ENOENT) {
        error = static_cast<uint32_t>(errno);
        return false;
    }
    temp_ = target_ + ".XXXXXX";
    fd_ = mkostemp(temp_.data(), O_CLOEXEC);
    if (fd_ < 0) {
        error = static_cast<uint32_t>(errno);
        temp_.clear();
        return false;
    }
    slot_ = ClaimPendingSlot(temp_);
    if (hadFile_) {
        // Best effort for the owner: only root may give a file away.
        if (fchown(fd_, uid_, gid_) != 0) {
        }
    } else {
        // mkostemp makes the file 0600; a new file gets what a plain create would give it.
        const mode_t mask = umask(0);
        umask(mask);
        mode_ = 0666 & ~mask;
    }
    if (fchmod(fd_, mode_) != 0) {
        error = static_cast<uint32_t>(errno);
        Abort();
        return false;
    }
    return true;
}

bool OutputFile::Write(const void* data, size_t size, uint32_t& error) {
    if (fd_ < 0) {
        error = EBADF;
        return false;
    }
    if (WriteAll(fd_, data, size, error)) return true;
    Abort();
    return false;
}

bool OutputFile::Commit(uint32_t& error) {
    if (fd_ < 0) {
        error = EBADF;
        return false;
    }
    if (temp_.empty()) {
        // Written in place: a device may not flush (EINVAL), but a failed close is a failed write.
        const bool synced = ::fsync(fd_) == 0 || errno == EINVAL || errno == EROFS;
        const int savedErrno = errno;
        const bool closed = ::close(fd_) == 0;
        fd_ = -1;
        if (!synced || !closed) {
            error = static_cast<uint32_t>(!synced ? savedErrno : errno);
            return false;
        }
        return true;
    }
    if (::fsync(fd_) != 0) {
        error = static_cast<uint32_t>(errno);
        Abort();
        return false;
    }
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || ::rename(temp_.c_str(), target_.c_str()) != 0) {
        error = static_cast<uint32_t>(errno);
        ::unlink(temp_.c_str());
        ReleasePendingSlot(slot_);
        slot_ = -1;
        temp_.clear();
        return false;
    }
    ReleasePendingSlot(slot_);
    slot_ = -1;
    temp_.clear();
    // The rename itself must survive a crash.
    const int dir = ::open(DirectoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

void OutputFile::Abort() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    ReleasePendingSlot(slot_);
    slot_ = -1;
    hadFile_ = false;
}

bool WriteWholeFile(const std::string& path, const void* data, size_t size, uint32_t& error) {
    OutputFile file;
    return file.Open(path, error) && file.Write(data, size, error) && file.Commit(error);
}

bool CheckOutputPath(const std::string& path, uint32_t& error) {
    std::string target;
    if (!ResolveLinks(path, target, error)) return false;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error = EISDIR;
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            if (::access(target.c_str(), W_OK) != 0) {
                error = static_cast<uint32_t>(errno);
                return false;
            }
            return true;
        }
    }
    // A regular or new file is replaced through a temporary file in its directory.
    const std::string dir = DirectoryOf(target);
    if (::stat(dir.c_str(), &st) != 0) {
        error = static_cast<uint32_t>(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = ENOTDIR;
        return false;
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        error = static_cast<uint32_t>(errno);
        return false;
    }
    // The name, and its temporary sibling (".XXXXXX" longer), must fit the directory's file system.
    const long nameMax = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    const size_t slash = target.rfind('/');
    const size_t name = slash == std::string::npos ? target.size() : target.size() - slash - 1;
    if (nameMax > 0 && name + 7 > static_cast<size_t>(nameMax)) {
        error = ENAMETOOLONG;
        return false;
    }
    return true;
}

void RemovePendingTemporaryFiles() {
    for (int i = 0; i < kPendingSlots; ++i)
        if (pendingUsed[i].load(std::memory_order_acquire)) ::unlink(pendingPath[i]);
}

StreamFile::~StreamFile() {
    uint32_t error = 0;
    Close(error);
}

bool StreamFile::Open(const std::string& path, uint32_t& error) {
    if (path == "-") {
        handle_ = STDOUT_FILENO;
        own_ = false;
    } else {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = static_cast<uint32_t>(errno);
            return false;
        }
        handle_ = fd;
        own_ = true;
    }
    struct stat st {};
    regular_ = ::fstat(static_cast<int>(handle_), &st) == 0 && S_ISREG(st.st_mode);
    at_ = regular_ ? ::lseek(static_cast<int>(handle_), 0, SEEK_CUR) : 0;
    if (at_ < 0) at_ = 0;
    return true;
}

bool StreamFile::Write(const void* data, size_t size, uint32_t& error) {
    if (handle_ < 0) {
        error = EBADF;
        return false;
    }
    const int fd = static_cast<int>(handle_);
    if (WriteAll(fd, data, size, error)) {
        at_ += static_cast<int64_t>(size);
        return true;
    }
    // What went before stays whole: the part of this one that did land is taken back.
    if (regular_ && ::ftruncate(fd, at_) == 0) ::lseek(fd, at_, SEEK_SET);
    return false;
}

bool StreamFile::Close(uint32_t& error) {
    if (handle_ < 0) return true;
    const int fd = static_cast<int>(handle_);
    handle_ = -1;
    if (!own_) return true;
    const bool synced = !regular_ || ::fsync(fd) == 0;
    if (!synced) error = static_cast<uint32_t>(errno);
    if (::close(fd) != 0 && synced) {
        error = static_cast<uint32_t>(errno);
        return false;
    }
    return synced;
}

}  // namespace platform
