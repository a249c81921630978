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

namespace vorlane::net {

struct OpensslFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
  void operator()(SSL* ssl) const { SSL_free(ssl); }  // with the BIOs handed to it
  void operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
  void operator()(BIO* bio) const { BIO_free(bio); }
  void operator()(X509* certificate) const { X509_free(certificate); }
  void operator()(X509_NAME* name) const { X509_NAME_free(name); }
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
  void operator()(PKCS12* pkcs12) const { PKCS12_free(pkcs12); }
  // The stack only: the certificates on it are not its own (X509StackPtr takes them along).
  void operator()(STACK_OF(X509) * stack) const { sk_X509_free(stack); }
  void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};

// A stack that owns its certificates.
struct OpensslFreeStackAndCertificates {
  void operator()(STACK_OF(X509) * stack) const { sk_X509_pop_free(stack, X509_free); }
};

using SslContextPtr = std::unique_ptr<SSL_CTX, OpensslFree>;
using SslPtr = std::unique_ptr<SSL, OpensslFree>;
using SslSessionPtr = std::unique_ptr<SSL_SESSION, OpensslFree>;
using BioPtr = std::unique_ptr<BIO, OpensslFree>;
using X509Ptr = std::unique_ptr<X509, OpensslFree>;
using X509NamePtr = std::unique_ptr<X509_NAME, OpensslFree>;
using EvpKeyPtr = std::unique_ptr<EVP_PKEY, OpensslFree>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, OpensslFree>;
using X509StackViewPtr = std::unique_ptr<STACK_OF(X509), OpensslFree>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpensslFreeStackAndCertificates>;
using OpensslBytesPtr = std::unique_ptr<unsigned char, OpensslFree>;

}  // namespace vorlane::net
