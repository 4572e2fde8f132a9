// Remote descriptors through libcurl. Compiled only where libcurl is found.
#include "remote_file.h"

#ifdef VELD_HAVE_CURL

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "crt.h"
#include "remote_failure.h"

namespace veld::crt::remote {

namespace {

// A dropped connection, a short body, 5xx or a stall is tried this many times
// in all, waiting 100 ms, 200 ms, 400 ms ... between attempts.
constexpr int kAttempts = 4;
constexpr long kFirstBackoffMs = 100;

// Seconds without a byte before a transfer counts as stalled; the
// environment's VELD_REMOTE_TIMEOUT overrides it (tests make it short).
long stallSeconds() {
    if (const char* v = std::getenv("VELD_REMOTE_TIMEOUT")) {
        const long s = std::strtol(v, nullptr, 10);
        if (s > 0) return s;
    }
    return 30;
}

void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// What one response said about itself; reset at each status line, so only
// the final response of a redirect chain counts.
struct Response {
    long status = 0;
    std::string reason;
    std::string etag;
    std::string lastModified;
    std::int64_t rangeFirst = -1;  // from Content-Range
    std::int64_t totalSize = -1;   // from Content-Range (the "/N" part)
    std::int64_t contentLength = -1;
};

// Where a body goes: at most `room` bytes into `buffer`; more is an error.
struct Sink {
    unsigned char* buffer = nullptr;
    std::size_t room = 0;
    std::size_t got = 0;
    bool overflow = false;
    Response response;
};

std::string trim(std::string s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    const auto e = s.find_last_not_of(" \t\r\n");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool startsWithNoCase(const std::string& s, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    if (s.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const std::string line(data, size * count);
    Response& r = sink->response;
    if (line.rfind("HTTP/", 0) == 0) {
        r = Response{};
        const auto sp = line.find(' ');
        if (sp != std::string::npos) {
            r.status = std::strtol(line.c_str() + sp + 1, nullptr, 10);
            const auto sp2 = line.find(' ', sp + 1);
            if (sp2 != std::string::npos) r.reason = trim(line.substr(sp2 + 1));
        }
    } else if (startsWithNoCase(line, "etag:")) {
        r.etag = trim(line.substr(5));
    } else if (startsWithNoCase(line, "last-modified:")) {
        r.lastModified = trim(line.substr(14));
    } else if (startsWithNoCase(line, "content-length:")) {
        r.contentLength = std::strtoll(line.c_str() + 15, nullptr, 10);
    } else if (startsWithNoCase(line, "content-range:")) {
        // "bytes FIRST-LAST/TOTAL" or "bytes */TOTAL"
        const std::string v = trim(line.substr(14));
        const auto slash = v.find('/');
        if (slash != std::string::npos && v.compare(slash + 1, 1, "*") != 0)
            r.totalSize = std::strtoll(v.c_str() + slash + 1, nullptr, 10);
        const auto sp = v.find(' ');
        if (sp != std::string::npos && v[sp + 1] != '*') r.rangeFirst = std::strtoll(v.c_str() + sp + 1, nullptr, 10);
    }
    return size * count;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    const size_t n = size * count;
    // A body where a range was asked for: the server ignored the range.
    if (sink->response.status != 206 && sink->response.status / 100 == 2) {
        sink->overflow = true;
        return 0;
    }
    if (sink->response.status / 100 != 2) return n;  // an error page: not kept
    if (sink->got + n > sink->room) {
        sink->overflow = true;
        return 0;
    }
    std::memcpy(sink->buffer + sink->got, data, n);
    sink->got += n;
    return n;
}

// Where the requests for a name go, and how they are signed.
struct Target {
    std::string url;
    std::string sigv4;  // "aws:amz:REGION:s3" for s3:// names with credentials
    std::string keyId, secret, sessionToken;
};

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// s3://bucket/key: the bucket on AWS_ENDPOINT_URL (path style) or on AWS's
// own endpoint for the region; signed when the environment has credentials.
bool resolve(const std::string& name, Target& t, std::string& why) {
    if (name.rfind("s3://", 0) != 0) {
        t.url = name;
        return true;
    }
    const std::string rest = name.substr(5);
    const auto slash = rest.find('/');
    if (slash == 0 || slash == std::string::npos || slash + 1 == rest.size()) {
        why = "an s3:// name is s3://BUCKET/KEY";
        return false;
    }
    const std::string bucket = rest.substr(0, slash), key = rest.substr(slash + 1);
    std::string region = env("AWS_REGION");
    if (region.empty()) region = env("AWS_DEFAULT_REGION");
    if (region.empty()) region = "us-east-1";
    std::string endpoint = env("AWS_ENDPOINT_URL_S3");
    if (endpoint.empty()) endpoint = env("AWS_ENDPOINT_URL");
    if (!endpoint.empty()) {
        while (!endpoint.empty() && endpoint.back() == '/') endpoint.pop_back();
        t.url = endpoint + "/" + bucket + "/" + key;
    } else {
        t.url = "https://" + bucket + ".s3." + region + ".amazonaws.com/" + key;
    }
    t.keyId = env("AWS_ACCESS_KEY_ID");
    t.secret = env("AWS_SECRET_ACCESS_KEY");
    t.sessionToken = env("AWS_SESSION_TOKEN");
    if (!t.keyId.empty()) t.sigv4 = "aws:amz:" + region + ":s3";
    return true;
}

struct RemoteFile {
    std::string name;  // as given (may hold credentials; never printed as is)
    Target target;
    curl_slist* headers = nullptr;
    CURL* curl = nullptr;
    std::int64_t size = 0;
    std::int64_t position = 0;
    std::string etag;
    std::string lastModified;
    std::mutex lock;

    ~RemoteFile() {
        if (curl) curl_easy_cleanup(curl);
        curl_slist_free_all(headers);
    }
};

std::mutex gTableLock;
std::map<int, std::shared_ptr<RemoteFile>> gFiles;
int gNextDescriptor = kFirstDescriptor;

std::shared_ptr<RemoteFile> find(int fd) {
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gFiles.find(fd);
    return it == gFiles.end() ? nullptr : it->second;
}

bool prepare(RemoteFile& f) {
    f.curl = curl_easy_init();
    if (!f.curl) return false;
    CURL* c = f.curl;
    curl_easy_setopt(c, CURLOPT_URL, f.target.url.c_str());
    if (!f.target.sigv4.empty()) {
        curl_easy_setopt(c, CURLOPT_AWS_SIGV4, f.target.sigv4.c_str());
        curl_easy_setopt(c, CURLOPT_USERNAME, f.target.keyId.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, f.target.secret.c_str());
        // S3 wants the payload's hash signed too: a GET's is that of no bytes.
        f.headers = curl_slist_append(
            f.headers, "x-amz-content-sha256: e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
        if (!f.target.sessionToken.empty())
            f.headers = curl_slist_append(f.headers, ("x-amz-security-token: " + f.target.sessionToken).c_str());
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, f.headers);
    }
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, stallSeconds());
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, stallSeconds());
    // The bytes as stored: a compressed transfer would change the ranges' meaning.
    curl_easy_setopt(c, CURLOPT_ACCEPT_ENCODING, nullptr);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_USERAGENT, "veld");
    return true;
}

enum class Outcome { Done, Retry, Fail };

// One range request for [first, first + n) into buffer. On anything but Done,
// `why` says what went wrong and errno is set for a final failure.
Outcome fetch(RemoteFile& f, std::int64_t first, std::size_t n, void* buffer, Sink& sink, std::string& why) {
    sink = Sink{};
    sink.buffer = static_cast<unsigned char*>(buffer);
    sink.room = n;
    const std::string range = std::to_string(first) + "-" + std::to_string(first + static_cast<std::int64_t>(n) - 1);
    curl_easy_setopt(f.curl, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(f.curl, CURLOPT_HEADERDATA, &sink);
    curl_easy_setopt(f.curl, CURLOPT_WRITEDATA, &sink);
    const CURLcode rc = curl_easy_perform(f.curl);
    curl_easy_setopt(f.curl, CURLOPT_RANGE, nullptr);
    const Response& r = sink.response;
    if (sink.overflow) {
        why = r.status == 206 ? "the server sent more bytes than were asked for"
                              : "the server ignores range requests (HTTP " + std::to_string(r.status) + ")";
        errno = EIO;
        return Outcome::Fail;
    }
    if (rc != CURLE_OK) {
        why = std::string("libcurl: ") + curl_easy_strerror(rc);
        errno = EIO;
        return Outcome::Retry;
    }
    if (r.status == 404 || r.status == 410) {
        why = "HTTP " + std::to_string(r.status) + " " + r.reason;
        errno = ENOENT;
        return Outcome::Fail;
    }
    if (r.status == 401 || r.status == 403) {
        why = "HTTP " + std::to_string(r.status) + " " + r.reason;
        errno = EACCES;
        return Outcome::Fail;
    }
    if (r.status >= 500 || r.status == 408 || r.status == 429) {
        why = "HTTP " + std::to_string(r.status) + " " + r.reason;
        errno = EIO;
        return Outcome::Retry;
    }
    // An empty file has no range to give: some servers answer 200 with no body.
    if (r.status == 200 && r.contentLength == 0) {
        sink.response.totalSize = 0;
        return Outcome::Done;
    }
    if (r.status != 206 && r.status != 416) {
        why = "HTTP " + std::to_string(r.status) + " " + r.reason;
        errno = EIO;
        return Outcome::Fail;
    }
    return Outcome::Done;
}

// Runs fetch with bounded retries and backoff.
Outcome fetchRetried(RemoteFile& f, std::int64_t first, std::size_t n, void* buffer, Sink& sink,
                     std::string& why) {
    long wait = kFirstBackoffMs;
    for (int attempt = 1;; ++attempt) {
        Outcome o = fetch(f, first, n, buffer, sink, why);
        // A 206 with fewer bytes than asked (before the end) is a short body.
        if (o == Outcome::Done && sink.response.status == 206 &&
            (sink.response.rangeFirst != first || (sink.got != n && first + static_cast<std::int64_t>(sink.got) <
                                                                         sink.response.totalSize))) {
            why = "short body: " + std::to_string(sink.got) + " of " + std::to_string(n) + " bytes at offset " +
                  std::to_string(first);
            errno = EIO;
            o = Outcome::Retry;
        }
        if (o != Outcome::Retry) return o;
        if (attempt == kAttempts) {
            why += " (after " + std::to_string(kAttempts) + " attempts)";
            errno = EIO;
            return Outcome::Fail;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        wait *= 2;
    }
}

void fail(const RemoteFile& f, const std::string& why) {
    veld::remote::setFailure(f.name, veld::remote::withoutCredentials(f.name) + ": " + why);
}

}  // namespace

int open(const std::string& name, int oflag) {
    if (!isRemoteName(name)) return kNotServed;
    veld::remote::clearFailure();
    if (couldWrite(oflag)) {
        veld::remote::setFailure(name, "remote files are read-only");
        errno = EROFS;
        return -1;
    }
    initOnce();
    auto f = std::make_shared<RemoteFile>();
    f->name = name;
    std::string why;
    if (!resolve(name, f->target, why)) {
        fail(*f, why);
        errno = ENOENT;
        return -1;
    }
    if (!prepare(*f)) {
        errno = ENOMEM;
        return -1;
    }
    // Two bytes tell the size, the validator and whether ranges are honoured
    // (some S3-compatible stores answer "bytes=0-0" with the whole object).
    unsigned char first[2] = {};
    Sink sink;
    if (fetchRetried(*f, 0, 2, first, sink, why) != Outcome::Done) {
        const int err = errno;
        fail(*f, why);
        errno = err;
        return -1;
    }
    const Response& r = sink.response;
    if (r.totalSize < 0) {
        fail(*f, "the server gave no size (no Content-Range in its answer)");
        errno = EIO;
        return -1;
    }
    f->size = r.totalSize;
    f->etag = r.etag;
    f->lastModified = r.lastModified;
    std::lock_guard<std::mutex> g(gTableLock);
    if (gNextDescriptor >= kPastLastDescriptor) {
        errno = EMFILE;
        return -1;
    }
    const int fd = gNextDescriptor++;
    gFiles[fd] = std::move(f);
    return fd;
}

int read(int fd, void* buffer, unsigned int count) {
    auto f = find(fd);
    if (!f) {
        errno = EBADF;
        return -1;
    }
    std::lock_guard<std::mutex> g(f->lock);
    veld::remote::clearFailure();
    if (count == 0 || f->position >= f->size) return 0;
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(count, f->size - f->position));
    Sink sink;
    std::string why;
    if (fetchRetried(*f, f->position, n, buffer, sink, why) != Outcome::Done) {
        const int err = errno;
        // Gone since it was opened: it changed.
        fail(*f, err == ENOENT ? "the remote file changed while it was being read (" + why + ")" : why);
        errno = err == ENOENT ? ESTALE : err;
        return -1;
    }
    const Response& r = sink.response;
    const bool changed = r.status != 206 || r.totalSize != f->size || r.etag != f->etag ||
                         r.lastModified != f->lastModified;
    if (changed) {
        fail(*f, "the remote file changed while it was being read");
        errno = ESTALE;
        return -1;
    }
    f->position += static_cast<std::int64_t>(sink.got);
    return static_cast<int>(sink.got);
}

int write(int, const void*, unsigned int) {
    errno = EBADF;
    return -1;
}

std::int64_t lseek(int fd, std::int64_t offset, int origin) {
    auto f = find(fd);
    if (!f) {
        errno = EBADF;
        return -1;
    }
    std::lock_guard<std::mutex> g(f->lock);
    std::int64_t base = 0;
    if (origin == kSEEK_CUR) base = f->position;
    else if (origin == kSEEK_END) base = f->size;
    else if (origin != kSEEK_SET) {
        errno = EINVAL;
        return -1;
    }
    if (offset < 0 && base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    f->position = base + offset;
    return f->position;
}

int close(int fd) {
    std::shared_ptr<RemoteFile> f;
    {
        std::lock_guard<std::mutex> g(gTableLock);
        auto it = gFiles.find(fd);
        if (it == gFiles.end()) {
            errno = EBADF;
            return -1;
        }
        f = std::move(it->second);
        gFiles.erase(it);
    }
    return 0;
}

}  // namespace veld::crt::remote

#endif
