#pragma once
// Output files that never destroy what stands at their path and never report a failed write as done.
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// One output file, written whole:
// - a symbolic link is followed and its target is what gets written;
// - a path that exists and is not a regular file (a character device, FIFO or socket) is written straight
//   through, never renamed over or unlinked;
// - a regular file, or a new one, is written to a temporary file in the same directory, flushed and renamed
//   over the path, then the directory is flushed; an old file's permissions are kept. Until Commit nothing
//   at the path changes, and a failure or an Abort (the destructor, or a signal) removes the temporary file.
class OutputFile {
  public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Each returns false with the system's error code; after a failure only Abort is left.
    bool Open(const std::string& path, uint32_t& error);
    bool Write(const void* data, size_t size, uint32_t& error);
    bool Commit(uint32_t& error);
    void Abort();

  private:
    int fd_ = -1;
    int slot_ = -1;       // the temporary file's entry among those a signal removes; -1: written in place
    std::string target_;  // the path as resolved through symbolic links
    std::string temp_;
    bool hadFile_ = false;
    unsigned mode_ = 0;
    unsigned uid_ = 0, gid_ = 0;
};

// A file written as the program goes, for a reader that follows it (--live, a streamed log): opened in place
// (created, or emptied), each Write all of its bytes or none that stay, so a reader never meets a part of
// one (a regular file is cut back to where it was when a write fails part way, as on a full disk).
class StreamFile {
  public:
    StreamFile() = default;
    ~StreamFile();
    StreamFile(const StreamFile&) = delete;
    StreamFile& operator=(const StreamFile&) = delete;

    // "-": standard output, which is never closed here.
    bool Open(const std::string& path, uint32_t& error);
    bool Write(const void* data, size_t size, uint32_t& error);
    // Flushed to the device, then closed.
    bool Close(uint32_t& error);

  private:
    intptr_t handle_ = -1;
    bool own_ = false;
    bool regular_ = false;
    int64_t at_ = 0;  // bytes written whole
};

// Open, Write and Commit in one.
bool WriteWholeFile(const std::string& path, const void* data, size_t size, uint32_t& error);

// Before a long run: true when path could be written later. Its directory must exist and be writable, and
// the path must not be a directory.
bool CheckOutputPath(const std::string& path, uint32_t& error);

// Removes the temporary files of output files still being written. Safe in a signal handler.
void RemovePendingTemporaryFiles();

// Follows symbolic links (relative ones against their own directory) to the last path of the chain, which may
// not exist yet. False with ELOOP for a cycle.
bool ResolveLinks(const std::string& path, std::string& resolved, uint32_t& error);
// The directory part of a path ("." for a bare name).
std::string DirectoryOf(const std::string& path);

}  // namespace platform
