#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iostream>

#include "platform/console.h"
#include "platform/file.h"

namespace platform {
namespace {

std::atomic<int> interrupts{0};

void OnInterrupt(int) {
    if (interrupts.fetch_add(1) >= 1) {
        RemovePendingTemporaryFiles();
        _exit(130);
    }
}

// Signals that end the process without a word: the temporary files go first, then the signal does what it
// would have done (a core for SIGQUIT), so a parent still sees what ended the program.
void OnFatal(int sig) {
    RemovePendingTemporaryFiles();
    signal(sig, SIG_DFL);
    raise(sig);
}

}  // namespace

void InstallInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    // Ctrl-C, a termination request and a lost terminal all end the run with its results written.
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    struct sigaction fatal {};
    fatal.sa_handler = OnFatal;
    sigemptyset(&fatal.sa_mask);
    for (int sig : {SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ})
        sigaction(sig, &fatal, nullptr);
    IgnoreBrokenPipes();
}

void IgnoreBrokenPipes() {
    // A reader that went away (a report piped into head) makes a write fail with EPIPE, which the program
    // reports; it never ends the program before the other outputs are written.
    signal(SIGPIPE, SIG_IGN);
}

int InterruptCount() {
    return interrupts.load();
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) == 1;
}

void ShowProgressLine(const std::string& line) {
    std::cerr << "\r" << line << "\033[K" << std::flush;
}

void FinishProgressLine() {
    std::cerr << "\n" << std::flush;
}

}  // namespace platform
