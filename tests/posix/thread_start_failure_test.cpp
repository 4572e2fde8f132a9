// Thread creation refused by the system (glibc lets a test make every new
// thread's stack impossible to allocate): streams must go on without a worker.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

#include "CompressedFiles.h"
#include "TestFiles.h"
#include "VELD_FileStream.h"
#include "zcmpsFilestr.h"

using namespace veldtest;

namespace {
constexpr std::int64_t P = 1000;
}  // namespace

namespace {
// While it lives, no new thread gets its stack, so every pool fails to start.
class NoThreadCanStart {
public:
    NoThreadCanStart() {
        pthread_getattr_default_np(&fSaved);
        pthread_attr_t huge;
        pthread_attr_init(&huge);
        pthread_attr_setstacksize(&huge, std::size_t{1} << 46);
        pthread_setattr_default_np(&huge);
        pthread_attr_destroy(&huge);
    }
    ~NoThreadCanStart() {
        pthread_setattr_default_np(&fSaved);
        pthread_attr_destroy(&fSaved);
    }

private:
    pthread_attr_t fSaved;
};
}  // namespace

// A thread object whose worker cannot start must not stay attached: requests
// to it would wait for ever. The stream goes on without it.
TEST(ThreadStartFailure, StreamsGoOnWithoutAWorker) {
    TempDir dir;
    {
        NoThreadCanStart noThreads;
        ASSERT_THROW(std::thread([] {}), std::system_error) << "cannot provoke the failure here";
    }
    const auto plain = patternBytes(5000000, 25);
    writeAll(dir.file("plain"), plain);
    VELD_FileStream s(dir.file("plain").c_str(), "rb");
    {
        NoThreadCanStart noThreads;
        EXPECT_THROW(s.EnableMultiThreadReading(), std::system_error);
    }
    std::vector<unsigned char> got(100);
    for (const std::int64_t at : {0, 4500000}) {
        s.Seek(at, VELD_StrBaseIO::FromStart);
        ASSERT_EQ(s.Read(got.data(), got.size()), got.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), plain.begin() + at));
    }

    const auto data = textBytes(2 * kBlock + 300, 26);
    {
        VELD_FileStream stream(dir.file("z").c_str(), "wb");
        stream.Write(patternBytes(P).data(), P);
        zcmpsFilestr z(stream);
        z.setMultiThread(1);
        {
            NoThreadCanStart noThreads;
            EXPECT_THROW(z.setRow0Pos(P), std::system_error);
        }
        z.Seek(P, VELD_StrBaseIO::FromStart);
        z.Write(data.data(), data.size());
        z.Close();
    }
    VELD_FileStream stream(dir.file("z").c_str(), "rb");
    zcmpsFilestr z(stream);
    z.setMultiThread(2);
    {
        NoThreadCanStart noThreads;
        EXPECT_THROW(z.readFilePosInfo(P, false), std::system_error);
    }
    std::vector<unsigned char> back(data.size());
    ASSERT_EQ(z.Read(back.data(), back.size()), back.size());
    EXPECT_EQ(back, data);
}
