// Owners of the OpenSSL objects the engine makes: each frees its object on every path.
#pragma once

#include <openssl/evp.h>

#include <memory>

template <typename T, void (*Free)(T*)> struct OsslFree {
    void operator()(T* p) const { Free(p); }
};

using PkeyPtr = std::unique_ptr<EVP_PKEY, OsslFree<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OsslFree<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
