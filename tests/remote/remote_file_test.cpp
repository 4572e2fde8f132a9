// The raw file on http:// names: reads against nginx give the bytes of the
// local file; the misbehaving server's faults become the errors they should,
// after a bounded number of attempts, and never wrong bytes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <random>
#include <string>

#include "ExtNameStr.h"
#include "HttpServers.h"
#include "TestFiles.h"
#include "ThrowError.h"
#include "VELD_File.h"
#include "remote_failure.h"

namespace {

using veldtest::Bytes;
using Fault = veldtest::FaultServer::Fault;

RefCountPtr<VELD_File> openUrl(const std::string& url, const char* mode = "rb") {
    RefCountPtr<VELD_File> f(new VELD_File(false));
    ExtNameStr name;
    name.SetGeneric(url);
    errno = 0;
    f->Open(name, mode);
    return f;
}

// The error a read raises, or nullopt when it read without one.
std::optional<veld::DataSourceError> readError(VELD_File& f, std::uint64_t n, std::int64_t at) {
    Bytes buf(n);
    return veldtest::raised<veld::DataSourceError>([&] { f.Read(buf.data(), n, at); });
}

class RemoteFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A stalled transfer gives up after a second here, not half a minute.
        setenv("VELD_REMOTE_TIMEOUT", "1", 1);
        // Loopback never goes through a proxy, whatever the environment says.
        setenv("no_proxy", "127.0.0.1", 1);
        setenv("NO_PROXY", "127.0.0.1", 1);
    }
    veldtest::TempDir dir;
    const Bytes data = veldtest::patternBytes(300000, 7);
};

TEST_F(RemoteFileTest, ReadsAtOffsetsGiveTheServedBytes) {
    const std::string root = dir.file("www");
    std::filesystem::create_directories(root);
    veldtest::writeAll(root + "/d.bin", data);
    veldtest::Nginx nginx(root, dir.path().string());
    ASSERT_TRUE(nginx.running());

    auto f = openUrl(nginx.url("d.bin"));
    ASSERT_TRUE(f->IsOpen());
    EXPECT_EQ(f->Size(), static_cast<std::int64_t>(data.size()));
    std::mt19937 rng(3);
    for (int i = 0; i < 40; ++i) {
        const std::int64_t at = rng() % data.size();
        const std::uint64_t n = 1 + rng() % 70000;
        Bytes buf(n);
        const std::uint64_t got = f->Read(buf.data(), n, at);
        const std::uint64_t want = std::min<std::uint64_t>(n, data.size() - at);
        ASSERT_EQ(got, want) << "at " << at;
        buf.resize(got);
        ASSERT_EQ(buf, veldtest::slice(data, at, got)) << "at " << at;
    }
    // At the end: nothing, and no request for it.
    nginx.clearLog();
    Bytes buf(10);
    EXPECT_EQ(f->Read(buf.data(), 10, static_cast<std::int64_t>(data.size())), 0u);
    EXPECT_TRUE(nginx.log().empty());
    // One request per read, of exactly the bytes asked for.
    EXPECT_EQ(f->Read(buf.data(), 10, 1000), 10u);
    const auto log = nginx.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].status, 206);
    EXPECT_EQ(log[0].bytes, 10);
    EXPECT_EQ(log[0].range, "bytes=1000-1009");

    // An empty file opens with size 0.
    veldtest::writeAll(root + "/empty.bin", {});
    auto e = openUrl(nginx.url("empty.bin"));
    ASSERT_TRUE(e->IsOpen());
    EXPECT_EQ(e->Size(), 0);
    EXPECT_EQ(e->Read(buf.data(), 10, 0), 0u);
}

TEST_F(RemoteFileTest, OpensThatAreRefused) {
    const std::string root = dir.file("www");
    std::filesystem::create_directories(root);
    veldtest::writeAll(root + "/d.bin", data);
    veldtest::Nginx nginx(root, dir.path().string());
    ASSERT_TRUE(nginx.running());

    // Every mode that could change the file, and no request is made for it.
    for (const char* mode : {"wb", "r+b", "ab", "w+b"}) {
        auto f = openUrl(nginx.url("d.bin"), mode);
        EXPECT_FALSE(f->IsOpen()) << mode;
        EXPECT_EQ(errno, EROFS) << mode;
        EXPECT_EQ(veld::remote::lastFailure(nginx.url("d.bin")), "remote files are read-only") << mode;
    }
    EXPECT_TRUE(nginx.log().empty());

    auto missing = openUrl(nginx.url("missing.bin"));
    EXPECT_FALSE(missing->IsOpen());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(veld::remote::lastFailure(nginx.url("missing.bin")).find("HTTP 404"), std::string::npos);

    veldtest::FaultServer server(data);
    server.plan(Fault::Forbidden);
    auto forbidden = openUrl(server.url());
    EXPECT_FALSE(forbidden->IsOpen());
    EXPECT_EQ(errno, EACCES);
    EXPECT_NE(veld::remote::lastFailure(server.url()).find(std::string("HTTP 403 ") +
                                                            veldtest::FaultServer::kForbiddenReason),
              std::string::npos)
        << veld::remote::lastFailure(server.url());
    server.plan(Fault::Unauthorized);
    EXPECT_FALSE(openUrl(server.url())->IsOpen());
    EXPECT_EQ(errno, EACCES);

    // A server that ignores ranges would send the whole file for every read.
    server.plan(Fault::IgnoreRange);
    EXPECT_FALSE(openUrl(server.url())->IsOpen());
    EXPECT_EQ(errno, EIO);
    EXPECT_NE(veld::remote::lastFailure(server.url()).find("ignores range requests"), std::string::npos);

    // Nothing listens on a port that was just free: the connection is refused, after bounded attempts.
    const std::string nobody = "http://127.0.0.1:" + std::to_string(veldtest::freeLoopbackPort()) + "/x";
    EXPECT_FALSE(openUrl(nobody)->IsOpen());
    EXPECT_EQ(errno, EIO);
    EXPECT_NE(veld::remote::lastFailure(nobody).find("after 4 attempts"), std::string::npos);
}

// Faults that pass: a few failed attempts are retried and the read gives the right bytes.
TEST_F(RemoteFileTest, PassingFaultsAreRetried) {
    veldtest::FaultServer server(data);
    for (Fault fault : {Fault::Drop, Fault::ShortBody, Fault::Status500, Fault::Stall}) {
        auto f = openUrl(server.url());
        ASSERT_TRUE(f->IsOpen());
        server.resetCounts();
        server.plan(fault, 1, fault == Fault::Stall ? 1 : 3);
        Bytes buf(50000);
        ASSERT_EQ(f->Read(buf.data(), buf.size(), 12345), buf.size()) << static_cast<int>(fault);
        EXPECT_EQ(buf, veldtest::slice(data, 12345, buf.size())) << static_cast<int>(fault);
        EXPECT_EQ(server.requests(), fault == Fault::Stall ? 2 : 4) << static_cast<int>(fault);
    }
}

// Faults that last: the read fails as a read error naming the URL and the
// cause, after exactly four attempts.
TEST_F(RemoteFileTest, LastingFaultsFailTheReadAfterFourAttempts) {
    veldtest::FaultServer server(data);
    const struct {
        Fault fault;
        const char* cause;
    } cases[] = {
        {Fault::Drop, "libcurl: "},
        {Fault::ShortBody, "libcurl: "},
        {Fault::Status500, "HTTP 500 Internal Server Error"},
        {Fault::Stall, "libcurl: Timeout"},
    };
    for (const auto& c : cases) {
        server.plan(Fault::None);
        auto f = openUrl(server.url());
        ASSERT_TRUE(f->IsOpen());
        server.resetCounts();
        server.plan(c.fault);
        const auto e = readError(*f, 5000, 100);
        ASSERT_TRUE(e) << c.cause;
        EXPECT_EQ(e->code(), veld::errcode::kCannotRead);
        EXPECT_EQ(e->fileName(), server.url());
        EXPECT_NE(e->detail().find(server.url()), std::string::npos) << e->detail();
        EXPECT_NE(e->detail().find(c.cause), std::string::npos) << e->detail();
        EXPECT_NE(e->detail().find("after 4 attempts"), std::string::npos) << e->detail();
        EXPECT_EQ(server.requests(), 4);
        EXPECT_FALSE(f->bGood);
    }
}

TEST_F(RemoteFileTest, AFileThatChangesFailsItsReads) {
    veldtest::FaultServer server(data);
    auto f = openUrl(server.url());
    ASSERT_TRUE(f->IsOpen());
    Bytes buf(100);
    ASSERT_EQ(f->Read(buf.data(), 100, 0), 100u);
    server.plan(Fault::Change);
    for (std::int64_t at : {0, 100, 250000}) {
        const auto e = readError(*f, 100, at);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->code(), veld::errcode::kCannotRead);
        EXPECT_EQ(e->sysErrno(), ESTALE);
        EXPECT_NE(e->detail().find("the remote file changed while it was being read"), std::string::npos)
            << e->detail();
    }
    // Gone altogether since the open: it changed too.
    server.plan(Fault::NotFound);
    const auto gone = readError(*f, 100, 0);
    ASSERT_TRUE(gone);
    EXPECT_NE(gone->detail().find("the remote file changed while it was being read"), std::string::npos);
    // A new open sees the new file and reads it whole.
    server.plan(Fault::Change);
    auto again = openUrl(server.url());
    ASSERT_TRUE(again->IsOpen());
    ASSERT_EQ(again->Read(buf.data(), 100, 0), 100u);
    EXPECT_EQ(buf[0], static_cast<unsigned char>(data[0] ^ 0xFF));
}

TEST_F(RemoteFileTest, CredentialsStayOutOfMessages) {
    veldtest::FaultServer server(data);
    const std::string url = server.urlWithCredentials("alice", "s3cr3tpw");
    auto f = openUrl(url);
    ASSERT_TRUE(f->IsOpen());
    server.plan(Fault::Status500);
    const auto e = readError(*f, 10, 0);
    ASSERT_TRUE(e);
    const std::string all = std::string(e->what()) + e->fileName() + e->detail();
    EXPECT_EQ(all.find("s3cr3tpw"), std::string::npos) << all;
    EXPECT_EQ(all.find("alice"), std::string::npos) << all;
    EXPECT_NE(all.find("http://***@127.0.0.1"), std::string::npos) << all;

    server.plan(Fault::Forbidden);
    EXPECT_FALSE(openUrl(url)->IsOpen());
    const std::string why = veld::remote::lastFailure(url);
    EXPECT_NE(why.find("403"), std::string::npos);
    EXPECT_EQ(why.find("s3cr3tpw"), std::string::npos) << why;
}

TEST(RemoteNames, AnS3NameWithoutAKeyIsRefusedBeforeAnyRequest) {
    // No endpoint is reachable from here: a request would fail otherwise.
    setenv("AWS_ENDPOINT_URL", "http://127.0.0.1:1", 1);
    for (const std::string name : {"s3://bucket", "s3://bucket/", "s3:///key"}) {
        EXPECT_FALSE(openUrl(name)->IsOpen()) << name;
        EXPECT_EQ(errno, ENOENT) << name;
        EXPECT_EQ(veld::remote::lastFailure(name), name + ": an s3:// name is s3://BUCKET/KEY");
    }
    unsetenv("AWS_ENDPOINT_URL");
}

TEST(RemoteNames, CredentialsAreCutFromNames) {
    using veld::remote::withoutCredentials;
    EXPECT_EQ(withoutCredentials("http://u:p@h:1/a@b"), "http://***@h:1/a@b");
    EXPECT_EQ(withoutCredentials("https://u@h/x"), "https://***@h/x");
    EXPECT_EQ(withoutCredentials("https://h/x@y"), "https://h/x@y");
    EXPECT_EQ(withoutCredentials("/local/a@b"), "/local/a@b");
    EXPECT_EQ(withoutCredentials("http://h"), "http://h");
}

}  // namespace
