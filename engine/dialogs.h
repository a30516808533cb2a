#pragma once
// The one box the engine itself raises: a worker's system-error box. The window shows it; the command line
// keeps the failure as it is and reports it; tests answer it at once.
#include <cstdint>
#include <string>

namespace engine {

// Why a worker could not take part in a run: what failed, on which volume and worker, and the system's code.
struct WorkerFailure {
    enum class Kind { Open, Buffers, RegisterBuffers, Queue };
    Kind kind = Kind::Open;
    int volume = -1;
    int worker = 0;  // 1..1024
    std::string path;
    bool write = false;  // Open: opened for write
    uint32_t code = 0;
    std::string detail;  // what was asked for, when the system's code alone does not say it

    bool operator==(const WorkerFailure&) const = default;
};

// "open", "buffers", "register_buffers", "queue"
const char* KindName(WorkerFailure::Kind kind);
// The box's caption ("System error Cannot open /dev/sdb for read") and body (" Error Code = 13 ...").
std::string FailureCaption(const WorkerFailure& f);
std::string FailureBody(const WorkerFailure& f);

class IDialogs {
  public:
    virtual ~IDialogs() = default;
    // A system-error box with OK and Cancel. Called from worker threads; blocks the caller until the
    // operator has closed it (or the program is ending), never the window thread.
    virtual void SystemError(const std::string& caption, const std::string& body) = 0;
    // A worker's failure: by default the box made from it.
    virtual void WorkerFailed(const WorkerFailure& f) { SystemError(FailureCaption(f), FailureBody(f)); }
};

}  // namespace engine
