// The veld program on http:// names: the same bytes and output as for the
// local file at every thread setting, only the bytes a command needs over the
// wire (counted in nginx's access log), and a clean exit 1 with the reason
// for each fault of the misbehaving server.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>

#include "HttpServers.h"
#include "TestFiles.h"

namespace {

using veldtest::Bytes;
using Fault = veldtest::FaultServer::Fault;
constexpr std::int64_t kBlock = 4190208;
constexpr std::int64_t kRow0 = 1000;

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Case data that compresses unevenly: runs of text between random stretches.
Bytes sampleFile(std::size_t caseBytes) {
    Bytes out = veldtest::patternBytes(kRow0 + caseBytes, 11);
    const std::string text = "id=000017 weight=1.25 region=north answer=agree; ";
    for (std::size_t i = kRow0; i + 4096 < out.size(); i += 8192)
        for (std::size_t j = 0; j < 4096; ++j) out[i + j] = static_cast<unsigned char>(text[j % text.size()]);
    return out;
}

class RemoteCli : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VELD_REMOTE_TIMEOUT", "1", 1);
        setenv("no_proxy", "127.0.0.1", 1);
        setenv("NO_PROXY", "127.0.0.1", 1);
        std::filesystem::create_directories(root());
    }
    std::string root() const { return dir.file("www"); }
    std::string file(const std::string& name) const { return dir.file(name); }

    // Runs the program with these arguments; killed if it runs past two minutes.
    Result veld(const std::vector<std::string>& args) {
        const std::string out = file("stdout"), err = file("stderr");
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(o, 1);
            ::dup2(e, 2);
            std::vector<char*> argv{const_cast<char*>(VELD_PROGRAM)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(VELD_PROGRAM, argv.data());
            ::_exit(127);
        }
        int raw = 0;
        for (int i = 0; i < 2400; ++i) {
            if (::waitpid(pid, &raw, WNOHANG) == pid) {
                const int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                return {status, readText(out), readText(err)};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &raw, 0);
        return {-1, readText(out), "did not finish: " + readText(err)};
    }

    // Packs `input` into www/NAME and returns its local path.
    std::string pack(const std::string& name, const Bytes& input) {
        veldtest::writeAll(file("input.dat"), input);
        const Result r = veld({"pack", file("input.dat"), root() + "/" + name, "--row0", std::to_string(kRow0), "--quiet"});
        EXPECT_EQ(r.status, 0) << r.err;
        return root() + "/" + name;
    }

    veldtest::TempDir dir;
};

const std::vector<std::vector<std::string>> kSettings = {{"--threads", "0"}, {"--threads", "2"}, {"--jobs", "2"}};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST_F(RemoteCli, CommandsGiveTheLocalFilesOutput) {
    const Bytes input = sampleFile(static_cast<std::size_t>(2 * kBlock + 123457));
    const std::string local = pack("a.zdat", input);
    veldtest::Nginx nginx(root(), dir.path().string());
    ASSERT_TRUE(nginx.running());
    const std::string url = nginx.url("a.zdat");

    // Without --row0 the program looks for the heading itself.
    for (const std::vector<std::string> opts : {std::vector<std::string>{}, {"--row0", "1000"}}) {
        const Result l = veld(with({"info", local, "--json", "--blocks"}, opts));
        const Result r = veld(with({"info", url, "--json", "--blocks"}, opts));
        ASSERT_EQ(l.status, 0) << l.err;
        ASSERT_EQ(r.status, 0) << r.err;
        std::string expected = l.out;
        expected.replace(expected.find(local), local.size(), url);
        EXPECT_EQ(r.out, expected);
    }
    for (const auto& setting : kSettings) {
        const std::string s = setting[0] + " " + setting[1];
        const Result cat = veld(with({"cat", url, "--row0", "1000"}, setting));
        ASSERT_EQ(cat.status, 0) << s << cat.err;
        EXPECT_TRUE(Bytes(cat.out.begin(), cat.out.end()) == input) << s;

        const Result part = veld(with({"cat", url, "--row0", "1000", "--offset", std::to_string(kRow0 + kBlock - 10),
                                       "--length", "5000"}, setting));
        ASSERT_EQ(part.status, 0) << s << part.err;
        EXPECT_TRUE(Bytes(part.out.begin(), part.out.end()) == veldtest::slice(input, kRow0 + kBlock - 10, 5000)) << s;

        const Result lv = veld(with({"verify", local, "--row0", "1000"}, setting));
        const Result rv = veld(with({"verify", url, "--row0", "1000"}, setting));
        ASSERT_EQ(rv.status, 0) << s << rv.err;
        std::string expected = lv.out;
        expected.replace(expected.find(local), local.size(), url);
        EXPECT_EQ(rv.out, expected) << s;

        const Result u = veld(with({"unpack", url, file("back.dat"), "--row0", "1000", "--quiet", "--force"}, setting));
        ASSERT_EQ(u.status, 0) << s << u.err;
        EXPECT_TRUE(veldtest::readAll(file("back.dat")) == input) << s;
    }
}

struct Layout {
    std::int64_t tableAt, tableSize;
    // Per block: its first uncompressed position, its size there, and its payload's size.
    std::vector<std::int64_t> starts, sizes, payloadSizes;
    std::int64_t payloadOf(std::int64_t position) const {
        for (std::size_t i = 0; i < starts.size(); ++i)
            if (position >= starts[i] && position < starts[i] + sizes[i]) return payloadSizes[i];
        return -1;
    }
};

// The heading and the table, read from the local copy.
Layout layoutOf(const std::string& path) {
    const Bytes b = veldtest::readAll(path);
    auto le64 = [&](std::size_t at) {
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | b.at(at + i);
        return static_cast<std::int64_t>(v);
    };
    auto le32 = [&](std::size_t at) {
        return static_cast<std::int32_t>(b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | b.at(at + 3) << 24);
    };
    Layout l{le64(kRow0 + 8), le64(kRow0 + 16), {}, {}, {}};
    for (std::int64_t r = 0; r < l.tableSize / 24; ++r) {
        const std::size_t at = static_cast<std::size_t>(l.tableAt + 24 * r);
        l.starts.push_back(le64(at));
        l.sizes.push_back(le32(at + 16));
        l.payloadSizes.push_back(le32(at + 20));
    }
    return l;
}

std::int64_t totalBytes(const std::vector<veldtest::Nginx::LogLine>& log) {
    std::int64_t sum = 0;
    for (const auto& l : log) sum += l.bytes;
    return sum;
}

TEST_F(RemoteCli, CommandsFetchOnlyTheBytesTheyNeed) {
    const Bytes input = sampleFile(static_cast<std::size_t>(3 * kBlock + 5000));
    const std::string local = pack("c.zdat", input);
    const Layout layout = layoutOf(local);
    const std::int64_t offset = kRow0 + 2 * kBlock + 100;
    const std::int64_t payload = layout.payloadOf(offset);
    ASSERT_GT(payload, 0);
    veldtest::Nginx nginx(root(), dir.path().string());
    ASSERT_TRUE(nginx.running());
    const std::string url = nginx.url("c.zdat");
    const std::int64_t headingAndTable = 24 + layout.tableSize;

    // info: the heading and the table, and (with --blocks) no payload either.
    for (const char* blocks : {"--json", "--blocks"}) {
        nginx.clearLog();
        ASSERT_EQ(veld({"info", url, "--row0", "1000", blocks}).status, 0);
        const auto log = nginx.log();
        ASSERT_FALSE(log.empty());
        for (const auto& l : log) EXPECT_LE(l.bytes, layout.tableSize) << l.range;
        EXPECT_LE(totalBytes(log), 2 * headingAndTable + 8) << blocks;
    }
    // cat of a range inside block 2: that block's payload once, at every setting.
    for (const auto& setting : kSettings) {
        nginx.clearLog();
        const Result r = veld(with({"cat", url, "--row0", "1000", "--offset", std::to_string(offset), "--length", "1000"},
                                   setting));
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.out.size(), 1000u);
        const std::int64_t allowed = headingAndTable + payload;
        EXPECT_LE(totalBytes(nginx.log()), allowed + allowed / 100) << setting[0] << " " << setting[1];
        EXPECT_GE(totalBytes(nginx.log()), payload);
        EXPECT_TRUE(Bytes(r.out.begin(), r.out.end()) == veldtest::slice(input, offset, 1000));
    }
}

TEST_F(RemoteCli, FaultsEndInACleanExitWithTheirReason) {
    const Bytes input = sampleFile(static_cast<std::size_t>(kBlock + 5000));
    const std::string local = pack("f.zdat", input);
    veldtest::FaultServer server(veldtest::readAll(local));
    const std::string url = server.url();

    for (const auto& setting : kSettings) {
        const std::string s = setting[0] + " " + setting[1];
        // The table is read; then every request fails.
        server.plan(Fault::Status500, 4);
        Result r = veld(with({"cat", url, "--row0", "1000"}, setting));
        EXPECT_EQ(r.status, 1) << s;
        EXPECT_TRUE(r.out.empty()) << s;
        EXPECT_NE(r.err.find(url + ": HTTP 500 Internal Server Error (after 4 attempts)"), std::string::npos)
            << s << r.err;

        server.plan(Fault::Change, 4);
        r = veld(with({"verify", url, "--row0", "1000"}, setting));
        EXPECT_EQ(r.status, 1) << s;
        EXPECT_NE(r.err.find("the remote file changed while it was being read"), std::string::npos) << s << r.err;

        server.plan(Fault::Drop, 4);
        r = veld(with({"unpack", url, file("out.dat"), "--row0", "1000", "--quiet"}, setting));
        EXPECT_EQ(r.status, 1) << s;
        EXPECT_NE(r.err.find("libcurl: "), std::string::npos) << s << r.err;
        EXPECT_FALSE(std::filesystem::exists(file("out.dat"))) << s;
    }
    server.plan(Fault::Forbidden);
    Result r = veld({"info", url});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("permission denied"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(veldtest::FaultServer::kForbiddenReason), std::string::npos) << r.err;

    server.plan(Fault::NotFound);
    r = veld({"cat", url, "--row0", "1000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no such file or directory"), std::string::npos) << r.err;

    server.plan(Fault::None);
    r = veld({"pack", local, url, "--row0", "1000", "--force"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("remote files are read-only"), std::string::npos) << r.err;
    // A password in the URL is used, and shown nowhere: not in output, not in any message.
    const std::string secret = server.urlWithCredentials("alice", "pw-x7q");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", secret, "--json"}, {"verify", secret, "--row0", "1000"}}) {
        r = veld(args);
        EXPECT_EQ(r.status, 0) << args[0] << r.err;
        EXPECT_NE(r.out.find("http://***@127.0.0.1"), std::string::npos) << r.out;
        EXPECT_EQ((r.out + r.err).find("pw-x7q"), std::string::npos) << r.out << r.err;
    }
    server.plan(Fault::Status500, 4);
    r = veld({"cat", secret, "--row0", "1000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("HTTP 500"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("pw-x7q"), std::string::npos) << r.err;
    server.plan(Fault::Forbidden);
    r = veld({"unpack", secret, file("o.dat")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("pw-x7q"), std::string::npos) << r.err;
    server.plan(Fault::None);

    // Appending reopens the file for writing, which the remote file refuses.
    r = veld({"append", url, local});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open for writing"), std::string::npos) << r.err;
}

// s3rver from npm (scripts/install-deps.sh --s3 puts it here), or where VELD_S3RVER says.
std::string s3rverPath() {
    const char* given = std::getenv("VELD_S3RVER");
    return given ? given : "/usr/local/lib/veld-s3rver/node_modules/.bin/s3rver";
}

// s3rver on 127.0.0.1 with one bucket, "bk"; its default key is S3RVER/S3RVER.
class S3rver {
public:
    explicit S3rver(const std::string& dir) {
        port = veldtest::freeLoopbackPort();
        pid = ::fork();
        if (pid == 0) {
            const std::string p = std::to_string(port);
            const int devnull = ::open("/dev/null", O_WRONLY);
            ::dup2(devnull, 1);
            ::execl(s3rverPath().c_str(), "s3rver", "-d", dir.c_str(), "-a", "127.0.0.1", "-p", p.c_str(), "-s",
                    "--configure-bucket", "bk", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (!veldtest::waitForListener(port)) stop();
    }
    ~S3rver() { stop(); }
    void stop() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port); }
    // Puts `bytes` at bk/KEY, signed as a client would; the HTTP status.
    long put(const std::string& key, const Bytes& bytes) const {
        CURL* c = curl_easy_init();
        const std::string url = endpoint() + "/bk/" + key;
        curl_slist* h = curl_slist_append(nullptr, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
        struct Source {
            const Bytes* b;
            std::size_t at = 0;
        } src{&bytes};
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
        curl_easy_setopt(c, CURLOPT_READDATA, &src);
        curl_easy_setopt(c, CURLOPT_READFUNCTION, +[](char* out, size_t size, size_t n, void* user) -> size_t {
            auto* s = static_cast<Source*>(user);
            const std::size_t k = std::min(size * n, s->b->size() - s->at);
            std::memcpy(out, s->b->data() + s->at, k);
            s->at += k;
            return k;
        });
        curl_easy_setopt(c, CURLOPT_AWS_SIGV4, "aws:amz:us-east-1:s3");
        curl_easy_setopt(c, CURLOPT_USERPWD, "S3RVER:S3RVER");
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, h);
        curl_easy_setopt(c, CURLOPT_TIMEOUT, 60L);
        long status = 0;
        if (curl_easy_perform(c) == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        curl_slist_free_all(h);
        curl_easy_cleanup(c);
        return status;
    }
    int port = 0;
    int pid = -1;
};

TEST_F(RemoteCli, S3NamesReadSignedFromAnS3CompatibleStore) {
    if (::access(s3rverPath().c_str(), X_OK) != 0)
        GTEST_SKIP() << "s3rver is not installed (scripts/install-deps.sh --s3, or set VELD_S3RVER)";
    const Bytes input = sampleFile(static_cast<std::size_t>(kBlock + 77777));
    const std::string local = pack("s.zdat", input);
    std::filesystem::create_directories(file("s3"));
    S3rver store(file("s3"));
    ASSERT_GT(store.pid, 0) << "s3rver did not start";
    ASSERT_EQ(store.put("dir/s.zdat", veldtest::readAll(local)), 200);
    setenv("AWS_ENDPOINT_URL", store.endpoint().c_str(), 1);
    setenv("AWS_REGION", "us-east-1", 1);
    setenv("AWS_ACCESS_KEY_ID", "S3RVER", 1);
    setenv("AWS_SECRET_ACCESS_KEY", "S3RVER", 1);
    const std::string name = "s3://bk/dir/s.zdat";

    const Result li = veld({"info", local, "--json"});
    const Result ri = veld({"info", name, "--json"});
    ASSERT_EQ(ri.status, 0) << ri.err;
    std::string expected = li.out;
    expected.replace(expected.find(local), local.size(), name);
    EXPECT_EQ(ri.out, expected);
    for (const auto& setting : kSettings) {
        const Result cat = veld(with({"cat", name, "--row0", "1000"}, setting));
        ASSERT_EQ(cat.status, 0) << cat.err;
        EXPECT_TRUE(Bytes(cat.out.begin(), cat.out.end()) == input) << setting[0] << setting[1];
        const Result v = veld(with({"verify", name, "--row0", "1000", "--quiet"}, setting));
        EXPECT_EQ(v.status, 0) << v.err;
        const Result u = veld(with({"unpack", name, file("back.dat"), "--quiet", "--force"}, setting));
        ASSERT_EQ(u.status, 0) << u.err;
        EXPECT_TRUE(veldtest::readAll(file("back.dat")) == input);
    }

    Result r = veld({"cat", "s3://bk/dir/missing.zdat"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no such file or directory"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("HTTP 404"), std::string::npos) << r.err;

    // A key the store does not know: refused, and the secret is in no message.
    setenv("AWS_ACCESS_KEY_ID", "NOTAKEY", 1);
    setenv("AWS_SECRET_ACCESS_KEY", "sekrit-9f", 1);
    r = veld({"info", name});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("permission denied"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("HTTP 403"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("sekrit-9f"), std::string::npos) << r.err;
    for (const char* v : {"AWS_ENDPOINT_URL", "AWS_REGION", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY"}) unsetenv(v);
}

}  // namespace
