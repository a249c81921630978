#include "tcpclient/tests/test_certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace vorlane::tcpclient::testing {

namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

constexpr long kDay = 24 * 60 * 60;

struct Request {
  const char* commonName;
  const char* alternativeNames;  // subjectAltName value, or null
  long notBefore;                // seconds from now
  long notAfter;
  bool authority;
  const char* usage = "serverAuth";  // extended key usage of an end entity
};

bool AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// A certificate for `key`, signed by `issuerKey` in the name of `issuer` (itself when null).
CertPtr Make(const Request& request, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, long serial) {
  CertPtr certificate(X509_new(), &X509_free);
  if (!certificate) return certificate;
  X509* cert = certificate.get();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), request.notBefore);
  X509_gmtime_adj(X509_getm_notAfter(cert), request.notAfter);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("DE"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Vorlane Test"), -1, -1,
                             0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(request.commonName), -1,
                             -1, 0);
  X509* signer = issuer ? issuer : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(signer));
  X509_set_pubkey(cert, key);
  bool ok = AddExtension(cert, signer, NID_basic_constraints, request.authority ? "critical,CA:TRUE" : "CA:FALSE") &&
            AddExtension(cert, signer, NID_subject_key_identifier, "hash");
  if (ok && issuer != nullptr) ok = AddExtension(cert, signer, NID_authority_key_identifier, "keyid:always");
  if (ok && request.authority) ok = AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  if (ok && !request.authority) {
    ok = AddExtension(cert, signer, NID_key_usage, "critical,digitalSignature") &&
         AddExtension(cert, signer, NID_ext_key_usage, request.usage);
  }
  if (ok && request.alternativeNames != nullptr) {
    ok = AddExtension(cert, signer, NID_subject_alt_name, request.alternativeNames);
  }
  if (!ok || X509_sign(cert, issuerKey ? issuerKey : key, EVP_sha256()) <= 0) certificate.reset();
  return certificate;
}

std::string Pem(X509* certificate) {
  BIO* bio = BIO_new(BIO_s_mem());
  std::string text;
  if (bio != nullptr && PEM_write_bio_X509(bio, certificate) == 1) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    text.assign(data, static_cast<size_t>(length));
  }
  BIO_free(bio);
  return text;
}

std::string KeyPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  std::string text;
  if (bio != nullptr && PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr) == 1) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    text.assign(data, static_cast<size_t>(length));
  }
  BIO_free(bio);
  return text;
}

// A PKCS#12 image of `certificate` with its key and `authority`, under `password`.
std::string Pkcs12(X509* certificate, EVP_PKEY* key, X509* authority, const char* password) {
  STACK_OF(X509)* others = sk_X509_new_null();
  if (others == nullptr) return {};
  sk_X509_push(others, authority);
  PKCS12* image = PKCS12_create(password, "client", key, certificate, others, 0, 0, 0, 0, 0);
  sk_X509_free(others);
  std::string bytes;
  unsigned char* der = nullptr;
  const int length = image ? i2d_PKCS12(image, &der) : 0;
  if (length > 0) bytes.assign(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  PKCS12_free(image);
  return bytes;
}

}  // namespace

TestCertificates::TestCertificates(const testkit::TempDir& folder) {
  KeyPtr authorityKey(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  KeyPtr serverKey(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  if (!authorityKey || !serverKey || folder.Path().empty()) return;
  CertPtr authority = Make({"Vorlane Test Authority", nullptr, -kDay, 30 * kDay, true}, authorityKey.get(), nullptr,
                           nullptr, 1);
  if (!authority) return;
  CertPtr good = Make({"localhost", "DNS:localhost,IP:127.0.0.1", -kDay, 30 * kDay, false}, serverKey.get(),
                      authority.get(), authorityKey.get(), 2);
  CertPtr old = Make({"localhost", "DNS:localhost,IP:127.0.0.1", -30 * kDay, -kDay, false}, serverKey.get(),
                     authority.get(), authorityKey.get(), 3);
  CertPtr other = Make({"other.example", "DNS:other.example", -kDay, 30 * kDay, false}, serverKey.get(),
                       authority.get(), authorityKey.get(), 4);
  CertPtr own = Make({"localhost", "DNS:localhost,IP:127.0.0.1", -kDay, 30 * kDay, false}, serverKey.get(), nullptr,
                     nullptr, 5);
  if (!good || !old || !other || !own) return;
  authorityPem_ = Pem(authority.get());
  key = folder.WriteFile("server.key", KeyPem(serverKey.get()));
  server = folder.WriteFile("server.pem", Pem(good.get()));
  expired = folder.WriteFile("expired.pem", Pem(old.get()));
  otherName = folder.WriteFile("other.pem", Pem(other.get()));
  selfSigned = folder.WriteFile("self.pem", Pem(own.get()));
  // Client certificates: two by the authority, one by an authority of its own.
  KeyPtr clientKey(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  KeyPtr strangerKey(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  if (!clientKey || !strangerKey) return;
  CertPtr alice = Make({"Alice Client", nullptr, -kDay, 30 * kDay, false, "clientAuth"}, clientKey.get(),
                       authority.get(), authorityKey.get(), 6);
  CertPtr bob = Make({"Bob Client", nullptr, -kDay, 30 * kDay, false, "clientAuth"}, clientKey.get(), authority.get(),
                     authorityKey.get(), 7);
  CertPtr strangerAuthority =
      Make({"Stranger Authority", nullptr, -kDay, 30 * kDay, true}, strangerKey.get(), nullptr, nullptr, 8);
  if (!alice || !bob || !strangerAuthority) return;
  CertPtr carol = Make({"Carol Client", nullptr, -kDay, 30 * kDay, false, "clientAuth"}, clientKey.get(),
                       strangerAuthority.get(), strangerKey.get(), 9);
  if (!carol) return;
  const std::string clientKeyPem = KeyPem(clientKey.get());
  aliceBundle = folder.WriteFile("alice.pem", Pem(alice.get()) + clientKeyPem);
  bobBundle = folder.WriteFile("bob.pem", Pem(bob.get()) + clientKeyPem);
  carolBundle = folder.WriteFile("carol.pem", Pem(carol.get()) + clientKeyPem);
  aliceCertificate = folder.WriteFile("alice-certificate.pem", Pem(alice.get()));
  alicePkcs12 = Pkcs12(alice.get(), clientKey.get(), authority.get(), kPkcs12Password);
  const std::string serverKeyPem = testkit::ReadFile(key);
  aliceWithServerKey = Pem(alice.get()) + serverKeyPem;

  made_ = !alicePkcs12.empty() && !authorityPem_.empty() && !key.empty() && !server.empty() && !expired.empty() && !otherName.empty() &&
          !selfSigned.empty();
}

std::string ReadPem(const std::filesystem::path& file) { return testkit::ReadFile(file); }

}  // namespace vorlane::tcpclient::testing
