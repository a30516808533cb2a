#pragma once
// The terminal side of a command-line run: Ctrl-C, whether stderr is a terminal, the live progress line.
#include <string>

namespace platform {

// From now on the first Ctrl-C (or SIGTERM) only counts; the second removes the temporary files of output
// files being written and ends the process at once with status 130.
void InstallInterruptHandler();
int InterruptCount();
bool StderrIsTerminal();
// Rewrites the progress line on stderr in place; FinishProgressLine moves past it.
void ShowProgressLine(const std::string& line);
void FinishProgressLine();

}  // namespace platform
