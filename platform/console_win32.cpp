#include <windows.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <iostream>

#include "platform/console.h"
#include "platform/file.h"

namespace platform {
namespace {

std::atomic<int> interrupts{0};
size_t lastLength = 0;

BOOL WINAPI OnControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT &&
        type != CTRL_LOGOFF_EVENT && type != CTRL_SHUTDOWN_EVENT)
        return FALSE;
    if (interrupts.fetch_add(1) >= 1) {
        RemovePendingTemporaryFiles();
        ExitProcess(130);
    }
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
        // The system ends the process once this returns (after 5 s at most): the run gets most of that to
        // write its results, then no temporary file is left behind.
        Sleep(4000);
        RemovePendingTemporaryFiles();
    }
    return TRUE;
}

}  // namespace

void InstallInterruptHandler() {
    SetConsoleCtrlHandler(OnControl, TRUE);
}

void IgnoreBrokenPipes() {}  // a write to a closed pipe fails there already

int InterruptCount() {
    return interrupts.load();
}

bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

void ShowProgressLine(const std::string& line) {
    // Not every Windows console reads ANSI codes: the rest of a longer earlier line is blanked by spaces.
    std::cerr << "\r" << line;
    if (line.size() < lastLength) std::cerr << std::string(lastLength - line.size(), ' ') << "\r" << line;
    lastLength = line.size();
    std::cerr << std::flush;
}

void FinishProgressLine() {
    lastLength = 0;
    std::cerr << "\n" << std::flush;
}

}  // namespace platform
