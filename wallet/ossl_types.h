// Owners of the OpenSSL objects the engine makes: each frees its object on every path. Numbers
// and points are cleared before they are freed, since they may hold or reveal a private key.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>

template <typename T, void (*Free)(T*)> struct OsslFree {
    void operator()(T* p) const { Free(p); }
};

using BnPtr = std::unique_ptr<BIGNUM, OsslFree<BIGNUM, BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, OsslFree<BN_CTX, BN_CTX_free>>;
using PointPtr = std::unique_ptr<EC_POINT, OsslFree<EC_POINT, EC_POINT_clear_free>>;
using GroupPtr = std::unique_ptr<EC_GROUP, OsslFree<EC_GROUP, EC_GROUP_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, OsslFree<ECDSA_SIG, ECDSA_SIG_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, OsslFree<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OsslFree<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using ParamBldPtr = std::unique_ptr<OSSL_PARAM_BLD, OsslFree<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using ParamPtr = std::unique_ptr<OSSL_PARAM, OsslFree<OSSL_PARAM, OSSL_PARAM_free>>;
