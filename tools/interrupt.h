// Ctrl-C and SIGTERM noted rather than ending the process, while an
// Interruptible lives: a command that changes a file in place checks between
// pieces and gives up through its own failure path, which puts the file back.
#pragma once

namespace veldcli {

class Interruptible {
public:
    Interruptible();   // installs the handlers
    ~Interruptible();  // puts the previous ones back
    Interruptible(const Interruptible&) = delete;
    Interruptible& operator=(const Interruptible&) = delete;

    // The signal that arrived (SIGINT or SIGTERM), or 0.
    static int received();
};

}  // namespace veldcli
