#pragma once
// The operation log written out as "SrcStats.dat": headerless 32-byte records in slot order.
#include <cstdint>
#include <string>

#include "engine/dialogs.h"
#include "engine/operation_log.h"

namespace stats {

inline constexpr const char* kLogFileName = "SrcStats.dat";

enum class LogWrite { Empty, Written, Failed };

// Writes the complete entries of the log to path, replacing it only when every byte is written.
// Empty: nothing logged, no file touched. records gets the number written, error the system's code.
LogWrite WriteOperationLog(const engine::OperationLog& log, const std::string& path, uint32_t& records,
                           uint32_t& error);
// The statistics button: writes kLogFileName in the current directory; a failure is shown in a box.
// records gets the number of entries written.
LogWrite WriteOperationLog(const engine::OperationLog& log, engine::IDialogs& dialogs,
                           const std::string& path = kLogFileName, uint32_t* records = nullptr);

}  // namespace stats
