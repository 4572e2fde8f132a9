// Fault injection for the program's commands, run in this process with the
// C runtime seam installed: every system call a command makes is failed in
// turn (EIO; writes also ENOSPC, cut short, and cut short with the disk full
// right after), and each outcome is judged by the rules every command keeps.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "crt_seam.h"

namespace veldtest {

struct CommandUnderTest {
    // Runs the command as main does (through veldcli::runReported) and returns
    // its exit status; its error line goes to standard error.
    std::function<int()> run;
    // Puts the files back before each run (for commands that change a file in place).
    std::function<void()> reset;
    // Files no run may change.
    std::vector<std::string> untouched;
    // The file the command writes. A clean run's copy is the reference: a run
    // that succeeds must leave exactly those bytes.
    std::string output;
    // The output is a new file: after a failure neither it nor its temporary
    // (OUTPUT.veld-partial) may exist. False for a file changed in place.
    bool outputIsNew = true;
    // Further checks after a failed run (e.g. the file reads as before or after).
    std::function<void()> afterFailure;
    // A call that commits the output (e.g. the write of its heading): a run
    // that fails makes none after the fault.
    std::function<bool(const veld::crt::CallRecord&)> commits;
};

// Every failure must end in exit status 1 with one error line that names the
// file of the failed call (the final name, never the temporary one) and, for
// ENOSPC, says "no space left on device". A write cut short is no failure: the
// run must succeed. A call on a file that is only read may also be absorbed
// (a failed read-ahead is retried, a failed close of a reader loses nothing)
// if the output is still exact.
void runFaultMatrix(const CommandUnderTest& command);

}  // namespace veldtest
