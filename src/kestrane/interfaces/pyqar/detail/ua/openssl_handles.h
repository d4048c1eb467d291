#pragma once
// Owning handles for the OpenSSL objects the OPC UA client uses: each frees its object with
// the matching OpenSSL call. Move-only; any thread (one object per thread at a time).

#include <memory>
#include <string>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

namespace pyqar::ua {

template <typename T, void (*Free)(T*)>
struct OpenSslFree {
  void operator()(T* p) const noexcept { Free(p); }
};
template <typename T, void (*Free)(T*)>
using OpenSslPtr = std::unique_ptr<T, OpenSslFree<T, Free>>;

using EvpPkeyPtr = OpenSslPtr<EVP_PKEY, EVP_PKEY_free>;
using EvpPkeyCtxPtr = OpenSslPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using EvpMdCtxPtr = OpenSslPtr<EVP_MD_CTX, EVP_MD_CTX_free>;
using EvpCipherCtxPtr = OpenSslPtr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using X509Ptr = OpenSslPtr<X509, X509_free>;
using X509CrlPtr = OpenSslPtr<X509_CRL, X509_CRL_free>;
using X509StorePtr = OpenSslPtr<X509_STORE, X509_STORE_free>;
using X509StoreCtxPtr = OpenSslPtr<X509_STORE_CTX, X509_STORE_CTX_free>;
using BioPtr = OpenSslPtr<BIO, BIO_free_all>;
using X509NamePtr = OpenSslPtr<X509_NAME, X509_NAME_free>;
using X509ExtensionPtr = OpenSslPtr<X509_EXTENSION, X509_EXTENSION_free>;
using GeneralNamePtr = OpenSslPtr<GENERAL_NAME, GENERAL_NAME_free>;
using GeneralNamesPtr = OpenSslPtr<GENERAL_NAMES, GENERAL_NAMES_free>;
using Asn1Ia5StringPtr = OpenSslPtr<ASN1_IA5STRING, ASN1_IA5STRING_free>;
using BignumPtr = OpenSslPtr<BIGNUM, BN_free>;
using Asn1TimePtr = OpenSslPtr<ASN1_TIME, ASN1_TIME_free>;

// A stack of certificates that owns them (the stack's own free is a macro, not a function).
struct X509StackFree {
  void operator()(STACK_OF(X509) * p) const noexcept { sk_X509_pop_free(p, X509_free); }
};
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

// The text of OpenSSL's most recent error on this thread (and clears the queue); `fallback`
// when there is none.
std::string openssl_error(const char* fallback);

}  // namespace pyqar::ua
