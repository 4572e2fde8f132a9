// Platform-neutral part of the cipher library: argument checks, output
// buffers and the key store. The block transform lives in the engine file.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "cipher.h"
#include "cipher_engine.h"

namespace veld::cipher {

namespace {
std::mutex gKeyLock;
unsigned char gKey[kCipherKeyBytes];
bool gHaveKey = false;
}  // namespace

bool currentKey(unsigned char (&key)[kCipherKeyBytes]) {
    std::lock_guard<std::mutex> g(gKeyLock);
    if (!gHaveKey) return false;
    std::memcpy(key, gKey, sizeof key);
    return true;
}

void storeKey(const unsigned char* key) {
    std::lock_guard<std::mutex> g(gKeyLock);
    std::memcpy(gKey, key, sizeof gKey);
    gHaveKey = true;
}

void forgetKey() {
    std::lock_guard<std::mutex> g(gKeyLock);
    std::memset(gKey, 0, sizeof gKey);
    gHaveKey = false;
}

namespace {

int transform(bool encrypt, unsigned char** out, int* outLength, const unsigned char* in,
              int inLength) {
    if (!out || !outLength || inLength < 0 || inLength % kBlockBytes != 0) return 0;
    if (inLength > 0 && !in) return 0;
    unsigned char key[kCipherKeyBytes];
    if (!currentKey(key)) return 0;
    auto* buffer = static_cast<unsigned char*>(std::malloc(inLength > 0 ? inLength : 1));
    if (!buffer) return 0;
    const bool ok = inLength == 0 || ecbTransform(encrypt, key, in, buffer, inLength);
    std::memset(key, 0, sizeof key);
    if (!ok) {
        std::free(buffer);
        return 0;
    }
    *out = buffer;
    *outLength = inLength;
    return 1;
}

int emptyOutput(unsigned char** out, int* outLength) {
    if (!out || !outLength) return 0;
    *out = nullptr;
    *outLength = 0;
    return 1;
}

}  // namespace
}  // namespace veld::cipher

namespace veld {

bool SetCipherPassphrase(const std::string& passphrase) {
    unsigned char key[kCipherKeyBytes];
    if (!cipher::deriveKey(passphrase, key)) return false;
    cipher::storeKey(key);
    std::memset(key, 0, sizeof key);
    return true;
}

bool SetCipherKey(const unsigned char* key, std::size_t length) {
    if (!key || length != static_cast<std::size_t>(kCipherKeyBytes)) return false;
    cipher::storeKey(key);
    return true;
}

void ClearCipherKey() { cipher::forgetKey(); }

}  // namespace veld

int Encrypt(unsigned char** out, int* outLength, const unsigned char* in, int inLength) {
    return veld::cipher::transform(true, out, outLength, in, inLength);
}

int Decrypt(unsigned char** out, int* outLength, const unsigned char* in, int inLength) {
    return veld::cipher::transform(false, out, outLength, in, inLength);
}

int EndEncrypt(unsigned char** out, int* outLength) {
    return veld::cipher::emptyOutput(out, outLength);
}

int EndDecrypt(unsigned char** out, int* outLength) {
    return veld::cipher::emptyOutput(out, outLength);
}

void FreeOutData(unsigned char* out) { std::free(out); }
