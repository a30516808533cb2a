#pragma once
// volstress-cli's exit status: one rule for every way a run can end.
namespace cli {

constexpr int kAllSucceeded = 0;
constexpr int kSomeFailed = 1;   // an operation failed, or written data did not read back as written
constexpr int kUsage = 2;        // the command line cannot run as given; nothing was done
constexpr int kCannotOpen = 3;   // a volume cannot be opened (as asked)
constexpr int kCannotWrite = 4;  // the results could not be written
constexpr int kIncomplete = 5;   // an operation never completed: a worker did not return from a device call
constexpr int kInterrupted = 130;

struct RunVerdict {
    bool cannotWrite = false;
    bool cannotOpen = false;
    bool incomplete = false;
    bool someFailed = false;
};

// When several apply, the one a script must act on first: results that are missing (4) before a volume not
// tested (3) before a run whose figures lack what a stuck device held (5) before failed operations (1).
int ExitStatus(const RunVerdict& verdict);

}  // namespace cli
