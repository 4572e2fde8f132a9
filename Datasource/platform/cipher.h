// The cipher library: AES-256 applied to each 16-byte block on its own, so
// that any run of whole blocks deciphers without its neighbours or an offset.
// The key is process-wide and set up here, outside the streams.
// Thread contract: safe for concurrent use.
#pragma once

#include <cstddef>
#include <string>

#include "veld_api.h"

namespace veld {

constexpr int kCipherKeyBytes = 32;

// Derives the key from a passphrase (PBKDF2-HMAC-SHA256). Returns false on failure.
VELD_API bool SetCipherPassphrase(const std::string& passphrase);
// Uses 32 raw key bytes.
VELD_API bool SetCipherKey(const unsigned char* key, std::size_t length);
// Forgets the key; Encrypt and Decrypt then answer 0.
VELD_API void ClearCipherKey();

}  // namespace veld

// Each answers 1 on success, 0 on failure. Outputs are released with FreeOutData.
// Input lengths of Encrypt and Decrypt must be whole 16-byte blocks.
VELD_API int Encrypt(unsigned char** out, int* outLength, const unsigned char* in, int inLength);
VELD_API int Decrypt(unsigned char** out, int* outLength, const unsigned char* in, int inLength);
// No closing bytes: the output is always empty.
VELD_API int EndEncrypt(unsigned char** out, int* outLength);
VELD_API int EndDecrypt(unsigned char** out, int* outLength);
VELD_API void FreeOutData(unsigned char* out);
