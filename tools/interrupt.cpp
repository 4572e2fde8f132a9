#include "interrupt.h"

#include <csignal>

namespace veldcli {

namespace {
volatile std::sig_atomic_t gReceived = 0;
using Handler = void (*)(int);
Handler gPreviousInt = SIG_DFL;
Handler gPreviousTerm = SIG_DFL;

extern "C" void note(int sig) { gReceived = sig; }
}  // namespace

Interruptible::Interruptible() {
    gReceived = 0;
    gPreviousInt = std::signal(SIGINT, note);
    gPreviousTerm = std::signal(SIGTERM, note);
}

Interruptible::~Interruptible() {
    std::signal(SIGINT, gPreviousInt == SIG_ERR ? SIG_DFL : gPreviousInt);
    std::signal(SIGTERM, gPreviousTerm == SIG_ERR ? SIG_DFL : gPreviousTerm);
}

int Interruptible::received() { return gReceived; }

}  // namespace veldcli
