#pragma once
// The terminal side of a command-line run: Ctrl-C, whether stderr is a terminal, the live progress line.
#include <string>

namespace platform {

// From now on the first Ctrl-C (or SIGTERM, SIGHUP; on Windows Ctrl-Break and closing the console) only
// counts; the second removes the temporary files of output files being written and ends the process at once
// with status 130. Other signals that would end the process remove those files first. A closed pipe is a
// failed write, never the end of the program (IgnoreBrokenPipes).
void InstallInterruptHandler();
// Writes to a pipe whose reader has gone fail with an error instead of ending the program.
void IgnoreBrokenPipes();
int InterruptCount();
bool StderrIsTerminal();
// Rewrites the progress line on stderr in place; FinishProgressLine moves past it.
void ShowProgressLine(const std::string& line);
void FinishProgressLine();

}  // namespace platform
