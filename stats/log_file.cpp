#include "stats/log_file.h"

#include "engine/system_error.h"
#include "platform/file.h"

namespace stats {

LogWrite WriteOperationLog(const engine::OperationLog& log, const std::string& path, uint32_t& records,
                           uint32_t& error) {
    // Only the complete prefix: a slot a worker has reserved but not yet filled is never written.
    records = static_cast<uint32_t>(log.CompleteCount());  // kept whole: at most its capacity
    if (records == 0) return LogWrite::Empty;
    const size_t bytes = static_cast<size_t>(records) * sizeof(engine::LogEntry);
    return platform::WriteWholeFile(path, log.Entries(), bytes, error) ? LogWrite::Written : LogWrite::Failed;
}

LogWrite WriteOperationLog(const engine::OperationLog& log, engine::IDialogs& dialogs,
                           const std::string& path, uint32_t* written) {
    uint32_t records = 0, error = 0;
    const LogWrite result = WriteOperationLog(log, path, records, error);
    if (written) *written = records;
    if (result == LogWrite::Failed)
        engine::ShowSystemError(dialogs, "Cannot write " + path,
                                "The operation log (" + std::to_string(records) +
                                    " records) was not saved; the previous file is unchanged.",
                                error);
    return result;
}

}  // namespace stats
