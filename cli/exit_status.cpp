#include "cli/exit_status.h"

namespace cli {

int ExitStatus(const RunVerdict& v) {
    if (v.cannotWrite) return kCannotWrite;
    if (v.cannotOpen) return kCannotOpen;
    if (v.incomplete) return kIncomplete;
    if (v.someFailed) return kSomeFailed;
    return kAllSucceeded;
}

}  // namespace cli
