// The block transform behind the cipher library, one engine per platform.
#pragma once

#include <string>

#include "cipher.h"

namespace veld::cipher {

constexpr int kBlockBytes = 16;
constexpr int kPbkdf2Iterations = 100000;
// Fixed salt: the key must be the same for every process given the same passphrase.
constexpr const char* kPbkdf2Salt = "veld.cipher.v1";

// AES-256-ECB without padding over length bytes (a multiple of 16).
bool ecbTransform(bool encrypt, const unsigned char* key, const unsigned char* in,
                  unsigned char* out, int length);
bool deriveKey(const std::string& passphrase, unsigned char* key);

}  // namespace veld::cipher
