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

}  // namespace

void InstallInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
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
