// Client certificates for the control's TLS: the stores they come from (a folder of PEM files per
// store name for sstUser and sstMachine, a PKCS#12 file or image, or a PEM text with the key) and
// the choice of one by subject.
//
// Choosing by subject, as "SSLCertSubject" asks:
//   1. a text that does not begin with "*" is read as an X.500 name ("CN=alice, O=Example, C=DE",
//      the most particular attribute first) and compared with each subject as a name: attribute by
//      attribute, case and runs of blanks not counting;
//   2. "*" alone takes the first certificate; any text takes the first whose subject, written as
//      the control writes names, is exactly the text;
//   3. then the first whose written subject contains the text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/result.h"
#include "platform/net/openssl_handles.h"
#include "tcpclient/kelpline.h"
#include "tcpclient/tls_status.h"

namespace vorlane::tcpclient {

// A certificate with what proves it: its private key (null when the store has none for it) and the
// certificates above it, to be sent along. Immutable once made; shared by the sessions that use it.
class ClientCredential {
 public:
  ClientCredential(net::X509Ptr certificate, net::EvpKeyPtr key, std::vector<net::X509Ptr> chain);
  ClientCredential(const ClientCredential&) = delete;
  ClientCredential& operator=(const ClientCredential&) = delete;

  X509* Certificate() const { return certificate_.get(); }
  EVP_PKEY* Key() const { return key_.get(); }
  const std::vector<net::X509Ptr>& Chain() const { return chain_; }
  // The subject as the control writes names: "CN=alice, O=Example, C=DE".
  const std::string& Subject() const { return subject_; }
  // The certificate's DER bytes.
  const std::string& Der() const { return der_; }

 private:
  net::X509Ptr certificate_;
  net::EvpKeyPtr key_;
  std::vector<net::X509Ptr> chain_;
  std::string subject_;
  std::string der_;
};

// Where a store lies and how it opens: the control's SSLCertStoreType, SSLCertStore (the store's
// name, a PKCS#12 file's path, a PKCS#12 image in base64, or the PEM text), SSLCertStoreB (the
// image or PEM text as bytes; when not empty it wins over the text) and SSLCertStorePassword.
struct CertificateStoreSource {
  TSSLCertStoreType type = sstUser;
  std::string store = "MY";
  std::string storeBytes;
  std::string password;
};

// A failure of the control's: its code and text.
struct CertificateFailure {
  int32_t code = 0;
  std::string text;
};

// The folders of the per-user and the machine's store of that name (kelpline.h).
std::filesystem::path UserStoreFolder(std::string_view store);
std::filesystem::path MachineStoreFolder(std::string_view store);

class CertificateStore {
 public:
  // Reads the store, or says why not: 271 with "The certificate store could not be opened (code)."
  // or, for a PEM text, "The certificate could not be decoded" / "Could not import key".
  static Result<CertificateStore, CertificateFailure> Open(const CertificateStoreSource& source);

  // The certificate `subject` chooses (above), or null.
  std::shared_ptr<const ClientCredential> Select(std::string_view subject) const;
  // The first certificate with a key issued by one of `issuers` (any, when there are none): the
  // one to offer a server that asks for a certificate when none was chosen.
  std::shared_ptr<const ClientCredential> FirstIssuedBy(const std::vector<const X509_name_st*>& issuers) const;

  size_t Size() const { return entries_.size(); }

 private:
  std::vector<std::shared_ptr<const ClientCredential>> entries_;
};

// A name as the control writes it: "CN=alice, O=Example, C=DE", the most particular attribute
// first, OpenSSL's short attribute names, UTF-8 as it is.
std::string CertificateNameText(const X509_name_st* name);
// A certificate's DER bytes; empty when it cannot be encoded.
std::string CertificateDer(x509_st* certificate);

// The failure kept when Select() finds nothing: 272, "The certificate could not be found (0x80092004).".
CertificateFailure CertificateNotFound();

}  // namespace vorlane::tcpclient
