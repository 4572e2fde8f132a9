// A one-line progress bar on standard error: bytes done, rate, time left.
// Shown only when standard error is a terminal, the work is large and the
// user did not ask for quiet; otherwise every call costs a comparison.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace veldcli {

class Progress {
public:
    // Work smaller than this finishes before a bar would be worth reading.
    static constexpr std::uint64_t kWorthShowing = 32u << 20;

    Progress(std::string label, std::uint64_t total, bool quiet);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void advance(std::uint64_t bytes);
    // Clears the bar's line; called by the destructor too.
    void finish();
    bool shown() const { return fShown; }

private:
    void draw(bool force);

    std::string fLabel;
    std::uint64_t fTotal;
    std::uint64_t fDone = 0;
    bool fShown;
    bool fDrawn = false;
    std::chrono::steady_clock::time_point fStart;
    std::chrono::steady_clock::time_point fLastDraw;
};

}  // namespace veldcli
