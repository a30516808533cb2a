#pragma once
// The terminal side of a command-line run: Ctrl-C and whether stderr is a terminal.
namespace platform {

// From now on the first Ctrl-C only counts; the second ends the process at once with status 130.
void InstallInterruptHandler();
int InterruptCount();
bool StderrIsTerminal();

}  // namespace platform
