// Owning handles for OpenSSL objects: one unique_ptr type per object kind, each freeing with the
// kind's own function. Nothing outside this header frees an OpenSSL object by hand.
#pragma once

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

#include "platform/base/free_with.h"

namespace vorlane::net {

// Macros in OpenSSL's headers, not functions: no address to take.
struct OpensslFreeStack {  // the stack only: the certificates on it are not its own
  void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
};
struct OpensslFreeStackAndCertificates {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};
struct OpensslFreeBytes {
  void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};

using SslContextPtr = std::unique_ptr<SSL_CTX, FreeWith<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, FreeWith<SSL_free>>;  // with the BIOs handed to it
using SslSessionPtr = std::unique_ptr<SSL_SESSION, FreeWith<SSL_SESSION_free>>;
using BioPtr = std::unique_ptr<BIO, FreeWith<BIO_free>>;
using X509Ptr = std::unique_ptr<X509, FreeWith<X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, FreeWith<X509_NAME_free>>;
using EvpKeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, FreeWith<PKCS12_free>>;
using X509StackViewPtr = std::unique_ptr<STACK_OF(X509), OpensslFreeStack>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpensslFreeStackAndCertificates>;  // owns its certificates
using OpensslBytesPtr = std::unique_ptr<unsigned char, OpensslFreeBytes>;

}  // namespace vorlane::net
