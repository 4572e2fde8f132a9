#include "progress.h"

#include <cstdio>

#include "cli_support.h"

namespace veldcli {

Progress::Progress(std::string label, std::uint64_t total, bool quiet)
    : fLabel(std::move(label)),
      fTotal(total),
      fShown(!quiet && total >= kWorthShowing && stderrIsTerminal()),
      fStart(std::chrono::steady_clock::now()),
      fLastDraw(fStart) {}

Progress::~Progress() { finish(); }

void Progress::advance(std::uint64_t bytes) {
    fDone += bytes;
    if (fShown) draw(false);
}

void Progress::finish() {
    if (fShown && fDrawn) {
        std::fprintf(stderr, "\r%*s\r", 79, "");
        std::fflush(stderr);
    }
    fDrawn = false;
    fShown = false;
}

void Progress::draw(bool force) {
    using namespace std::chrono;
    const auto now = steady_clock::now();
    // Ten redraws a second are plenty and keep the terminal cheap.
    if (!force && now - fLastDraw < milliseconds(100)) return;
    fLastDraw = now;
    const double seconds = duration<double>(now - fStart).count();
    const double rate = seconds > 0 ? fDone / seconds : 0;
    const double fraction = fTotal ? static_cast<double>(fDone) / fTotal : 1.0;
    constexpr int kWidth = 24;
    const int filled = static_cast<int>(fraction * kWidth + 0.5);
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    char left[32] = "--:--";
    if (rate > 0 && fDone <= fTotal) {
        const long secs = static_cast<long>((fTotal - fDone) / rate + 0.5);
        std::snprintf(left, sizeof left, "%ld:%02ld", secs / 60, secs % 60);
    }
    std::fprintf(stderr, "\r%-8s [%s] %3d%%  %s / %s  %s/s  %s left  ", fLabel.c_str(), bar,
                 static_cast<int>(fraction * 100), humanBytes(static_cast<double>(fDone)).c_str(),
                 humanBytes(static_cast<double>(fTotal)).c_str(), humanBytes(rate).c_str(), left);
    std::fflush(stderr);
    fDrawn = true;
}

}  // namespace veldcli
