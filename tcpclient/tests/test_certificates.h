// Certificates for the TLS tests, made by the test with the OpenSSL library in a folder of its
// own: a private certification authority and, all for one P-256 key, a server certificate for
// "localhost" and 127.0.0.1 signed by it, an expired one, one for another name, and a self-signed
// one. Nothing is taken from the machine.
#pragma once

#include <filesystem>
#include <string>

#include "testing/temp_dir.h"

namespace vorlane::tcpclient::testing {

class TestCertificates {
 public:
  // Makes them all in `folder`; Made() says whether that worked.
  explicit TestCertificates(const testkit::TempDir& folder);

  bool Made() const { return made_; }
  // The authority's certificate as PEM: the trust anchor tests hand to the session.
  const std::string& AuthorityPem() const { return authorityPem_; }

  std::filesystem::path key;        // the servers' private key (PEM)
  std::filesystem::path server;     // CN=localhost, names localhost and 127.0.0.1, by the authority
  std::filesystem::path expired;    // as `server`, but its validity ended yesterday
  std::filesystem::path otherName;  // CN=other.example, names only other.example, by the authority
  std::filesystem::path selfSigned; // CN=localhost, names localhost, signed by its own key

  // Client certificates (extended usage clientAuth), all for one P-256 key of their own; the
  // bundles hold the certificate and then its key, as a client certificate store's files do.
  std::filesystem::path aliceBundle;       // CN=Alice Client, O=Vorlane Test, C=DE, by the authority
  std::filesystem::path bobBundle;         // CN=Bob Client, ..., by the authority
  std::filesystem::path carolBundle;       // CN=Carol Client, ..., by "Stranger Authority"
  std::filesystem::path aliceCertificate;  // Alice's certificate without its key
  std::string alicePkcs12;                 // Alice, her key and the authority, under kPkcs12Password
  std::string aliceWithServerKey;          // Alice's certificate with a key that is not hers (PEM)
  static constexpr char kPkcs12Password[] = "pkcs12 secret";

 private:
  bool made_ = false;
  std::string authorityPem_;
};

// The whole text of a PEM file.
std::string ReadPem(const std::filesystem::path& file);

}  // namespace vorlane::tcpclient::testing
