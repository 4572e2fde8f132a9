// Web servers on 127.0.0.1 for the remote-file tests, started and stopped by
// the tests themselves: nginx serving a directory (with an access log that
// counts requests and bytes), and a small server of our own that misbehaves
// on purpose. Nothing here listens on or connects to any other address.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace veldtest {

// A port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();
// Waits (bounded) until something accepts connections on 127.0.0.1:port.
bool waitForListener(int port);

// nginx serving `root` on 127.0.0.1, as the running user (no master process).
class Nginx {
public:
    struct LogLine {
        int status;
        std::int64_t bytes;  // body bytes sent
        std::string range;   // the request's Range header, "-" when none
    };
    Nginx(const std::string& root, const std::string& workDir);
    ~Nginx();
    Nginx(const Nginx&) = delete;
    Nginx& operator=(const Nginx&) = delete;

    bool running() const { return fPid > 0; }
    std::string url(const std::string& name) const;
    // Every request logged since the last clearLog (nginx writes a line as each completes).
    std::vector<LogLine> log() const;
    void clearLog();

private:
    std::string fWork;
    int fPort = 0;
    int fPid = -1;
};

// Misbehaves in one chosen way, for `faults` requests from the `after`th on
// (counted from 1; every request when faults is -1), and serves the bytes
// correctly otherwise. One connection at a time; every answer closes it.
class FaultServer {
public:
    enum class Fault {
        None,
        Drop,          // closes the connection without an answer
        ShortBody,     // announces the full length, sends half of it
        Status500,     // 500 Internal Server Error
        Stall,         // says nothing for 3 seconds
        IgnoreRange,   // 200 with the whole body
        Change,        // the file changes: new ETag, other bytes
        NotFound,      // 404
        Forbidden,     // 403 with its own reason text
        Unauthorized,  // 401
    };
    explicit FaultServer(std::vector<unsigned char> bytes);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    void plan(Fault fault, int after = 1, int faults = -1);
    std::string url(const std::string& name = "data.zdat") const;
    // With user:password@ in it, for the tests that credentials stay out of messages.
    std::string urlWithCredentials(const std::string& user, const std::string& password) const;
    int requests() const { return fRequests.load(); }
    std::int64_t bodyBytes() const { return fBodyBytes.load(); }
    void resetCounts();

    static constexpr const char* kForbiddenReason = "Forbidden By Bucket Policy";

private:
    void serve();
    void answer(int conn);

    std::vector<unsigned char> fBytes;
    int fListen = -1;
    int fPort = 0;
    std::atomic<bool> fStop{false};
    std::atomic<int> fRequests{0};
    std::atomic<std::int64_t> fBodyBytes{0};
    std::mutex fLock;
    Fault fFault = Fault::None;
    int fAfter = 1;
    int fFaults = -1;
    int fPlanStart = 0;  // requests seen when the plan was made
    std::thread fThread;
};

}  // namespace veldtest
