#include "engine/system_error.h"

#include "platform/error_text.h"

namespace engine {

std::string CannotOpenText(const std::string& path, bool write) {
    return "Cannot open " + path + (write ? " for write" : " for read");
}

std::string SystemErrorText(uint32_t code) {
    std::string description = platform::SystemErrorDescription(code);
    while (!description.empty() && (description.back() == '\n' || description.back() == '\r'))
        description.pop_back();
    return " Error Code = " + std::to_string(code) + " " + description;
}

void ShowSystemError(IDialogs& dialogs, const std::string& text, const std::string& detail, uint32_t code) {
    dialogs.SystemError("System error " + text, detail + " " + SystemErrorText(code));
}

const char* KindName(WorkerFailure::Kind kind) {
    switch (kind) {
        case WorkerFailure::Kind::Open:
            return "open";
        case WorkerFailure::Kind::Buffers:
            return "buffers";
        case WorkerFailure::Kind::RegisterBuffers:
            return "register_buffers";
        case WorkerFailure::Kind::Queue:
            return "queue";
    }
    return "open";
}

std::string FailureCaption(const WorkerFailure& f) {
    switch (f.kind) {
        case WorkerFailure::Kind::Open:
            return "System error " + CannotOpenText(f.path, f.write);
        case WorkerFailure::Kind::Buffers:
            return "System error Cannot allocate I/O buffers for " + f.path;
        case WorkerFailure::Kind::RegisterBuffers:
            return "System error Cannot register I/O buffers for " + f.path;
        case WorkerFailure::Kind::Queue:
            return "System error Cannot set up an I/O queue for " + f.path;
    }
    return {};
}

std::string FailureBody(const WorkerFailure& f) {
    return f.detail + " " + SystemErrorText(f.code);
}

}  // namespace engine
