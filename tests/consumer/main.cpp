// Writes a small compressed data file through the installed library and reads it back.
#include <veld/veld.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    const std::string path = argc > 1 ? argv[1] : "consumer.dat";
    const char dictionary[] = "DICTIONARY PART";
    const std::int64_t P = sizeof dictionary;
    std::string cases;
    for (int i = 0; i < 100000; ++i) cases += "case " + std::to_string(i) + "; ";
    {
        VELD_FileStream stream(path.c_str(), "wb");
        stream.Write(dictionary, sizeof dictionary);
        zcmpsFilestr z(stream);
        z.setRow0Pos(P);
        z.Seek(P, VELD_StrBaseIO::FromStart);
        z.Write(cases.data(), cases.size());
        z.Close();
    }
    VELD_FileStream stream(path.c_str(), "rb");
    zcmpsFilestr z(stream);
    z.readFilePosInfo(P, false);
    z.Seek(P, VELD_StrBaseIO::FromStart);
    std::string back(cases.size(), '\0');
    const auto n = z.Read(back.data(), back.size());
    const bool same = n == cases.size() && back == cases;
    std::printf("consumer: %s (%llu bytes)\n", same ? "round trip matched" : "MISMATCH",
                static_cast<unsigned long long>(n));
    return same ? 0 : 1;
}
