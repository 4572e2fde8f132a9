#include "HttpServers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace veldtest {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

void sendAll(int fd, const void* data, std::size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return;  // the client went away
        p += k;
        n -= static_cast<std::size_t>(k);
    }
}

}  // namespace

int freeLoopbackPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        throw std::runtime_error("no free port on 127.0.0.1");
    }
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

bool waitForListener(int port) {
    for (int i = 0; i < 200; ++i) {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = loopback(port);
        const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(s);
        if (ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

// ---- nginx ----

Nginx::Nginx(const std::string& root, const std::string& workDir) : fWork(workDir) {
    for (int attempt = 0; attempt < 3 && fPid < 0; ++attempt) {
        fPort = freeLoopbackPort();
        std::ofstream conf(fWork + "/nginx.conf");
        conf << "daemon off;\nmaster_process off;\npid " << fWork << "/nginx.pid;\n"
             << "error_log " << fWork << "/error.log;\nevents { worker_connections 64; }\n"
             << "http {\n  log_format counts '$status $body_bytes_sent \"$http_range\"';\n"
             << "  access_log " << fWork << "/access.log counts;\n";
        for (const char* t : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
            conf << "  " << t << "_temp_path " << fWork << "/tmp;\n";
        conf << "  server { listen 127.0.0.1:" << fPort << "; root " << root << "; }\n}\n";
        conf.close();
        std::filesystem::create_directories(fWork + "/tmp");
        const pid_t pid = ::fork();
        if (pid == 0) {
            const std::string confPath = fWork + "/nginx.conf", errLog = fWork + "/error.log";
            ::execl("/usr/sbin/nginx", "nginx", "-p", fWork.c_str(), "-e", errLog.c_str(), "-c", confPath.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        fPid = pid;
        if (!waitForListener(fPort)) {
            ::kill(fPid, SIGKILL);
            ::waitpid(fPid, nullptr, 0);
            fPid = -1;
        }
    }
}

Nginx::~Nginx() {
    if (fPid <= 0) return;
    ::kill(fPid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (::waitpid(fPid, nullptr, WNOHANG) == fPid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ::kill(fPid, SIGKILL);
    ::waitpid(fPid, nullptr, 0);
}

std::string Nginx::url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(fPort) + "/" + name;
}

std::vector<Nginx::LogLine> Nginx::log() const {
    std::vector<LogLine> out;
    std::ifstream in(fWork + "/access.log");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream s(line);
        LogLine l{};
        s >> l.status >> l.bytes >> l.range;
        if (l.range.size() >= 2) l.range = l.range.substr(1, l.range.size() - 2);
        out.push_back(l);
    }
    return out;
}

void Nginx::clearLog() {
    // nginx appends at its own offset with O_APPEND, so truncating is safe.
    std::ofstream(fWork + "/access.log", std::ios::trunc);
}

// ---- the misbehaving server ----

FaultServer::FaultServer(std::vector<unsigned char> bytes) : fBytes(std::move(bytes)) {
    fListen = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback(0);
    if (::bind(fListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fListen, 16) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    socklen_t len = sizeof a;
    ::getsockname(fListen, reinterpret_cast<sockaddr*>(&a), &len);
    fPort = ntohs(a.sin_port);
    fThread = std::thread([this] { serve(); });
}

FaultServer::~FaultServer() {
    fStop = true;
    fThread.join();
    ::close(fListen);
}

void FaultServer::plan(Fault fault, int after, int faults) {
    std::lock_guard<std::mutex> g(fLock);
    fFault = fault;
    fAfter = after;
    fFaults = faults;
    fPlanStart = fRequests.load();
}

std::string FaultServer::url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(fPort) + "/" + name;
}

std::string FaultServer::urlWithCredentials(const std::string& user, const std::string& password) const {
    return "http://" + user + ":" + password + "@127.0.0.1:" + std::to_string(fPort) + "/data.zdat";
}

void FaultServer::resetCounts() {
    fRequests = 0;
    fBodyBytes = 0;
    std::lock_guard<std::mutex> g(fLock);
    fPlanStart = 0;
}

void FaultServer::serve() {
    while (!fStop) {
        pollfd p{fListen, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int conn = ::accept(fListen, nullptr, nullptr);
        if (conn < 0) continue;
        answer(conn);
        ::close(conn);
    }
}

void FaultServer::answer(int conn) {
    // The request head, read with a bound on time and size.
    std::string head;
    char buf[4096];
    for (int i = 0; i < 100 && head.find("\r\n\r\n") == std::string::npos && head.size() < 65536; ++i) {
        pollfd p{conn, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t k = ::recv(conn, buf, sizeof buf, 0);
        if (k <= 0) return;
        head.append(buf, static_cast<std::size_t>(k));
    }
    if (head.find("\r\n\r\n") == std::string::npos) return;
    const int nth = ++fRequests;

    Fault fault;
    {
        std::lock_guard<std::mutex> g(fLock);
        const int local = nth - fPlanStart;
        const bool inPlan = local >= fAfter && (fFaults < 0 || local < fAfter + fFaults);
        fault = inPlan ? fFault : Fault::None;
    }
    const bool changed = fault == Fault::Change;
    std::vector<unsigned char> bytes = fBytes;
    if (changed)
        for (auto& b : bytes) b ^= 0xFF;
    const std::int64_t size = static_cast<std::int64_t>(bytes.size());

    auto simple = [&](const std::string& status) {
        const std::string body = status + "\n";
        const std::string r = "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\nConnection: close\r\n\r\n" + body;
        sendAll(conn, r.data(), r.size());
    };
    switch (fault) {
        case Fault::Drop: return;
        case Fault::Status500: return simple("500 Internal Server Error");
        case Fault::NotFound: return simple("404 Not Found");
        case Fault::Forbidden: return simple(std::string("403 ") + kForbiddenReason);
        case Fault::Unauthorized: return simple("401 Unauthorized");
        case Fault::Stall:
            // Until the client gives up (or 3 seconds pass).
            for (int i = 0; i < 60 && !fStop; ++i) {
                pollfd p{conn, POLLIN, 0};
                if (::poll(&p, 1, 50) > 0 && ::recv(conn, buf, sizeof buf, 0) <= 0) break;
            }
            return;
        default: break;
    }

    // "Range: bytes=FIRST-LAST"
    std::int64_t first = 0, last = size - 1;
    bool ranged = false;
    const auto r = head.find("\r\nRange: bytes=");
    if (r != std::string::npos && fault != Fault::IgnoreRange) {
        ranged = true;
        first = std::strtoll(head.c_str() + r + 15, nullptr, 10);
        const auto dash = head.find('-', r + 15);
        if (dash != std::string::npos && std::isdigit(static_cast<unsigned char>(head[dash + 1])))
            last = std::min<std::int64_t>(std::strtoll(head.c_str() + dash + 1, nullptr, 10), size - 1);
    }
    const std::string validators = std::string("ETag: \"") + (changed ? "v2" : "v1") +
                                   "\"\r\nLast-Modified: Sun, 06 Dec 2026 08:00:00 GMT\r\n";
    if (ranged && first >= size) {
        const std::string resp = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" +
                                 std::to_string(size) + "\r\n" + validators +
                                 "Content-Length: 0\r\nConnection: close\r\n\r\n";
        sendAll(conn, resp.data(), resp.size());
        return;
    }
    const std::int64_t n = last - first + 1;
    std::string resp = ranged ? "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
                                    std::to_string(last) + "/" + std::to_string(size) + "\r\n"
                              : std::string("HTTP/1.1 200 OK\r\n");
    resp += validators + "Content-Length: " + std::to_string(n) + "\r\nConnection: close\r\n\r\n";
    sendAll(conn, resp.data(), resp.size());
    const std::int64_t send = fault == Fault::ShortBody ? n / 2 : n;
    sendAll(conn, bytes.data() + first, static_cast<std::size_t>(send));
    fBodyBytes += send;
}

}  // namespace veldtest
