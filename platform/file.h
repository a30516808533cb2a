#pragma once
// Whole-file writes that never leave a half-written file behind.
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Writes data to a temporary file beside path and renames it over path once every byte is on disk.
// On failure path is left as it was and error holds the system's code.
bool ReplaceFileContents(const std::string& path, const void* data, size_t size, uint32_t& error);

}  // namespace platform
