// CNG engine of the cipher library (Debian has no OpenSSL for MinGW). Produces
// the same bytes and derives the same key as the OpenSSL engine, so files
// enciphered on one platform read on the other.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <cstring>

#include "cipher_engine.h"

namespace veld::cipher {

namespace {

// Algorithm handles may be used by many threads at once; key handles are
// made per call, so no key object is ever shared.
class Provider {
public:
    Provider(const wchar_t* algorithm, ULONG flags) {
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&fHandle, algorithm, nullptr, flags)))
            fHandle = nullptr;
    }
    ~Provider() {
        if (fHandle) BCryptCloseAlgorithmProvider(fHandle, 0);
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;

    BCRYPT_ALG_HANDLE get() const { return fHandle; }

private:
    BCRYPT_ALG_HANDLE fHandle = nullptr;
};

class AesEcbProvider : public Provider {
public:
    AesEcbProvider() : Provider(BCRYPT_AES_ALGORITHM, 0) {
        if (!get()) return;
        fReady = BCRYPT_SUCCESS(BCryptSetProperty(
            get(), BCRYPT_CHAINING_MODE,
            reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB)),
            sizeof(BCRYPT_CHAIN_MODE_ECB), 0));
    }
    bool ready() const { return fReady; }

private:
    bool fReady = false;
};

class Key {
public:
    Key(BCRYPT_ALG_HANDLE algorithm, const unsigned char* key) {
        if (!BCRYPT_SUCCESS(BCryptGenerateSymmetricKey(algorithm, &fHandle, nullptr, 0,
                                                       const_cast<PUCHAR>(key),
                                                       kCipherKeyBytes, 0)))
            fHandle = nullptr;
    }
    ~Key() {
        if (fHandle) BCryptDestroyKey(fHandle);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    BCRYPT_KEY_HANDLE get() const { return fHandle; }

private:
    BCRYPT_KEY_HANDLE fHandle = nullptr;
};

}  // namespace

bool ecbTransform(bool encrypt, const unsigned char* key, const unsigned char* in,
                  unsigned char* out, int length) {
    static const AesEcbProvider aes;
    if (!aes.ready() || length < 0 || length % kBlockBytes != 0) return false;
    Key handle(aes.get(), key);
    if (!handle.get()) return false;
    // No padding flag: whole blocks in, the same number of bytes out.
    ULONG produced = 0;
    auto* input = const_cast<PUCHAR>(in);
    const ULONG size = static_cast<ULONG>(length);
    const NTSTATUS status =
        encrypt ? BCryptEncrypt(handle.get(), input, size, nullptr, nullptr, 0, out, size, &produced, 0)
                : BCryptDecrypt(handle.get(), input, size, nullptr, nullptr, 0, out, size, &produced, 0);
    return BCRYPT_SUCCESS(status) && produced == size;
}

bool deriveKey(const std::string& passphrase, unsigned char* key) {
    static const Provider hmacSha256(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (!hmacSha256.get() || passphrase.size() > ULONG_MAX) return false;
    // CNG wants a pointer even for an empty passphrase.
    static unsigned char none = 0;
    auto* password = passphrase.empty()
                         ? &none
                         : reinterpret_cast<PUCHAR>(const_cast<char*>(passphrase.data()));
    auto* salt = reinterpret_cast<PUCHAR>(const_cast<char*>(kPbkdf2Salt));
    return BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(
        hmacSha256.get(), password, static_cast<ULONG>(passphrase.size()), salt,
        static_cast<ULONG>(std::strlen(kPbkdf2Salt)), kPbkdf2Iterations, key, kCipherKeyBytes, 0));
}

}  // namespace veld::cipher
