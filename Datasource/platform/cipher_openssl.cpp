// OpenSSL engine of the cipher library.
#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "cipher_engine.h"

namespace veld::cipher {

bool ecbTransform(bool encrypt, const unsigned char* key, const unsigned char* in,
                  unsigned char* out, int length) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    if (!ctx) return false;
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1)
        return false;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    int produced = 0;
    if (EVP_CipherUpdate(ctx.get(), out, &produced, in, length) != 1) return false;
    int tail = 0;
    if (EVP_CipherFinal_ex(ctx.get(), out + produced, &tail) != 1) return false;
    return produced + tail == length;
}

bool deriveKey(const std::string& passphrase, unsigned char* key) {
    return PKCS5_PBKDF2_HMAC(passphrase.data(), static_cast<int>(passphrase.size()),
                             reinterpret_cast<const unsigned char*>(kPbkdf2Salt),
                             static_cast<int>(std::strlen(kPbkdf2Salt)), kPbkdf2Iterations,
                             EVP_sha256(), kCipherKeyBytes, key) == 1;
}

}  // namespace veld::cipher
