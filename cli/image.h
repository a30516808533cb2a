#pragma once
// Image files for tests of the command line: random contents, built under a temporary name.
#include <cstdint>
#include <functional>
#include <string>

namespace cli {

// Creates path with size random bytes (a sparse or zero-filled image is read from memory and measures
// nothing). The file appears only when complete: a failure, or stop() turning true, leaves nothing behind.
// progress gets the percentage done. False with a message in error.
bool CreateImage(const std::string& path, int64_t size, const std::function<bool()>& stop,
                 const std::function<void(int)>& progress, std::string& error);

}  // namespace cli
