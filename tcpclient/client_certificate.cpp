#include "tcpclient/client_certificate.h"

#include <pwd.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>
#include <utility>

#include "cipher/base64.h"
#include "platform/base/config_dir.h"

namespace vorlane::tcpclient {

namespace {

constexpr char kStoreNotOpened[] = "The certificate store could not be opened (";
constexpr char kNotFound[] = "The certificate could not be found (";
constexpr char kNotDecoded[] = "The certificate could not be decoded";
constexpr char kKeyNotImported[] = "Could not import key";

// Crypto failures are told with these codes; system failures with their errno.
constexpr uint32_t kCryptNotFound = 0x80092004;
constexpr uint32_t kCryptBadEncoding = 0x80092002;
constexpr uint32_t kInvalidPassword = 0x80070056;

// A store folder's files beyond these bounds are not read: a store is a handful of certificates.
constexpr size_t kMaxStoreFiles = 1000;
constexpr std::uintmax_t kMaxFileBytes = 1 << 20;
constexpr std::uintmax_t kMaxPkcs12Bytes = 16 << 20;

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

CertificateFailure StoreNotOpened(std::string code) {
  return {kTlsErrStoreNotOpened, kStoreNotOpened + code + ")."};
}

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

BioPtr MemoryBio(std::string_view bytes) {
  return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())), &BIO_free);
}

int PasswordCallback(char* buffer, int size, int /*writing*/, void* data) {
  const auto* password = static_cast<const std::string*>(data);
  if (password == nullptr || size <= 0) return 0;
  const int length = static_cast<int>(std::min<size_t>(password->size(), static_cast<size_t>(size)));
  std::memcpy(buffer, password->data(), static_cast<size_t>(length));
  return length;
}

// Every certificate of a PEM text, in order.
std::vector<X509*> ReadCertificates(std::string_view pem) {
  std::vector<X509*> certificates;
  BioPtr bio = MemoryBio(pem);
  // Each round takes one certificate block; the text bounds the count.
  for (size_t round = 0; bio && round <= pem.size() / 64 + 1; ++round) {
    X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
    if (certificate == nullptr) break;
    certificates.push_back(certificate);
  }
  ERR_clear_error();  // the end of the text reads as "no start line"
  return certificates;
}

// The first private key of a PEM text (any form OpenSSL reads, encrypted ones with `password`).
EVP_PKEY* ReadKey(std::string_view pem, const std::string& password) {
  BioPtr bio = MemoryBio(pem);
  EVP_PKEY* key =
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, &PasswordCallback, const_cast<std::string*>(&password))
          : nullptr;
  ERR_clear_error();
  return key;
}

// A store entry of certificates and a key read from one text; the key is dropped when it does not
// belong to the first certificate.
std::shared_ptr<const ClientCredential> MakeCredential(std::vector<X509*> certificates, EVP_PKEY* key) {
  if (certificates.empty()) {
    EVP_PKEY_free(key);
    return nullptr;
  }
  X509* certificate = certificates.front();
  if (key != nullptr && X509_check_private_key(certificate, key) != 1) {
    EVP_PKEY_free(key);
    key = nullptr;
  }
  ERR_clear_error();
  std::vector<X509*> chain(certificates.begin() + 1, certificates.end());
  return std::make_shared<const ClientCredential>(certificate, key, std::move(chain));
}

std::optional<std::string> ReadSmallFile(const std::filesystem::path& file, std::uintmax_t limit, int* error) {
  std::error_code status;
  const std::uintmax_t size = std::filesystem::file_size(file, status);
  if (status) {
    *error = status.value();
    return std::nullopt;
  }
  if (size > limit) {
    *error = EFBIG;
    return std::nullopt;
  }
  std::ifstream in(file, std::ios::binary);
  std::string bytes(static_cast<size_t>(size), '\0');
  if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    *error = errno != 0 ? errno : EIO;
    return std::nullopt;
  }
  return bytes;
}

bool IsStoreName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

std::filesystem::path HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') return home;
  if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr) return user->pw_dir;
  return "/";
}

// An X.500 text ("CN=alice, O=Example, C=DE", most particular first; ',', ';' or '+' between
// attributes, values quoted or with '\' escapes) as a name; null when it is not one.
X509_NAME* ParseName(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> attributes;
  std::string key;
  std::string value;
  bool inValue = false;
  bool quoted = false;
  bool wasQuoted = false;
  auto trim = [](std::string& part) {
    const size_t first = part.find_first_not_of(' ');
    const size_t last = part.find_last_not_of(' ');
    part = first == std::string::npos ? std::string() : part.substr(first, last - first + 1);
  };
  auto finish = [&]() -> bool {
    trim(key);
    if (!wasQuoted) trim(value);
    if (key.empty() || !inValue) return false;
    attributes.emplace_back(std::move(key), std::move(value));
    key.clear();
    value.clear();
    inValue = wasQuoted = false;
    return true;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      (inValue ? value : key) += text[++i];
    } else if (quoted) {
      if (c == '"') {
        quoted = false;
      } else {
        value += c;
      }
    } else if (c == '"' && inValue && value.find_first_not_of(' ') == std::string::npos) {
      value.clear();
      quoted = wasQuoted = true;
    } else if (c == '=' && !inValue) {
      inValue = true;
    } else if (c == ',' || c == ';' || c == '+') {
      if (!finish()) return nullptr;
    } else {
      (inValue ? value : key) += c;
    }
  }
  if (quoted || !finish()) return nullptr;

  X509_NAME* name = X509_NAME_new();
  if (name == nullptr) return nullptr;
  for (auto& [attribute, content] : attributes) {
    // The short names some writers use for e-mail and state.
    // Short names are taken in any case ("cn" as "CN").
    int nid = OBJ_txt2nid(attribute.c_str());
    if (nid == NID_undef) {
      std::string upper = attribute;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      // The short names some writers use for e-mail and state.
      if (upper == "E") upper = "emailAddress";
      if (upper == "S") upper = "ST";
      nid = OBJ_txt2nid(upper.c_str());
    }
    // Inserted at the front: the text names the most particular attribute first.
    if (nid == NID_undef ||
        X509_NAME_add_entry_by_NID(name, nid, MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(content.c_str()),
                                   static_cast<int>(content.size()), 0, 0) != 1) {
      X509_NAME_free(name);
      ERR_clear_error();
      return nullptr;
    }
  }
  return name;
}

}  // namespace

std::string CertificateNameText(const X509_NAME* name) {
  if (name == nullptr) return {};
  BioPtr bio(BIO_new(BIO_s_mem()), &BIO_free);
  if (!bio) return {};
  constexpr unsigned long kFlags =
      XN_FLAG_SEP_CPLUS_SPC | XN_FLAG_DN_REV | XN_FLAG_FN_SN | (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  std::string text;
  if (X509_NAME_print_ex(bio.get(), name, 0, kFlags) >= 0) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    if (length > 0) text.assign(data, static_cast<size_t>(length));
  }
  return text;
}

std::string CertificateDer(x509_st* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509(certificate, &der);
  if (length <= 0) return {};
  std::string bytes(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return bytes;
}

ClientCredential::ClientCredential(x509_st* certificate, evp_pkey_st* key, std::vector<x509_st*> chain)
    : certificate_(certificate), key_(key), chain_(std::move(chain)) {
  subject_ = CertificateNameText(X509_get_subject_name(certificate_));
  der_ = CertificateDer(certificate_);
}

ClientCredential::~ClientCredential() {
  X509_free(certificate_);
  EVP_PKEY_free(key_);
  for (X509* certificate : chain_) X509_free(certificate);
}

std::filesystem::path UserStoreFolder(std::string_view store) {
  std::filesystem::path base;
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config == '/') {
    base = config;
  } else {
    base = HomeFolder() / ".config";
  }
  return base / kKelplineUserStoreFolder / store;
}

std::filesystem::path MachineStoreFolder(std::string_view store) {
  return ConfigDirectory() / kKelplineMachineStoreFolder / store;
}

CertificateFailure CertificateNotFound() { return {kTlsErrCertificateNotFound, kNotFound + Hex(kCryptNotFound) + ")."}; }

std::optional<CertificateStore> CertificateStore::Open(const CertificateStoreSource& source, CertificateFailure* failure) {
  CertificateStore store;
  ERR_clear_error();
  switch (source.type) {
    case sstUser:
    case sstMachine: {
      if (!IsStoreName(source.store)) {
        *failure = StoreNotOpened(std::to_string(EINVAL));
        return std::nullopt;
      }
      const std::filesystem::path folder =
          source.type == sstUser ? UserStoreFolder(source.store) : MachineStoreFolder(source.store);
      std::error_code error;
      std::vector<std::filesystem::path> files;
      std::filesystem::directory_iterator entries(folder, error);
      for (size_t round = 0; !error && entries != std::filesystem::directory_iterator() && round < kMaxStoreFiles;
           ++round, entries.increment(error)) {
        const std::filesystem::path& file = entries->path();
        std::error_code kind;
        if (file.filename().string().starts_with('.') || !entries->is_regular_file(kind)) continue;
        files.push_back(file);
      }
      if (error) {
        *failure = StoreNotOpened(std::to_string(error.value()));
        return std::nullopt;
      }
      std::sort(files.begin(), files.end());
      for (const std::filesystem::path& file : files) {
        int readError = 0;
        std::optional<std::string> pem = ReadSmallFile(file, kMaxFileBytes, &readError);
        if (!pem) continue;  // a file that cannot be read holds no certificate of the store
        if (auto entry = MakeCredential(ReadCertificates(*pem), ReadKey(*pem, source.password))) {
          store.entries_.push_back(std::move(entry));
        }
      }
      return store;
    }
    case sstPFXFile:
    case sstPFXBlob: {
      std::string image;
      if (source.type == sstPFXFile) {
        int readError = 0;
        std::optional<std::string> bytes = ReadSmallFile(source.store, kMaxPkcs12Bytes, &readError);
        if (!bytes) {
          *failure = StoreNotOpened(std::to_string(readError));
          return std::nullopt;
        }
        image = std::move(*bytes);
      } else if (!source.storeBytes.empty()) {
        image = source.storeBytes;
      } else {
        std::optional<std::string> bytes = cipher::Base64DecodeToString(source.store);
        image = bytes ? std::move(*bytes) : std::string();
      }
      BioPtr bio = MemoryBio(image);
      PKCS12* pkcs12 = bio && !image.empty() ? d2i_PKCS12_bio(bio.get(), nullptr) : nullptr;
      if (pkcs12 == nullptr) {
        ERR_clear_error();
        *failure = StoreNotOpened(Hex(kCryptBadEncoding));
        return std::nullopt;
      }
      EVP_PKEY* key = nullptr;
      X509* certificate = nullptr;
      STACK_OF(X509)* others = nullptr;
      const bool parsed = PKCS12_parse(pkcs12, source.password.c_str(), &key, &certificate, &others) == 1;
      const unsigned long reason = parsed ? 0 : ERR_GET_REASON(ERR_peek_last_error());
      PKCS12_free(pkcs12);
      ERR_clear_error();
      if (!parsed) {
        *failure = StoreNotOpened(Hex(reason == PKCS12_R_MAC_VERIFY_FAILURE ? kInvalidPassword : kCryptBadEncoding));
        return std::nullopt;
      }
      // The certificate with the key first, the others after it: each also as the chain of the
      // first, so that a server gets what it needs to build the path.
      std::vector<X509*> chain;
      const int count = others != nullptr ? sk_X509_num(others) : 0;
      for (int i = 0; i < count; ++i) {
        X509* other = sk_X509_value(others, i);
        if (certificate != nullptr && X509_up_ref(other) == 1) chain.push_back(other);
      }
      if (certificate != nullptr) {
        store.entries_.push_back(std::make_shared<const ClientCredential>(certificate, key, std::move(chain)));
      } else {
        EVP_PKEY_free(key);
      }
      for (int i = 0; i < count; ++i) {
        store.entries_.push_back(std::make_shared<const ClientCredential>(sk_X509_value(others, i), nullptr,
                                                                          std::vector<X509*>()));
      }
      sk_X509_free(others);  // its certificates are the entries' now
      return store;
    }
    case sstPEMKey: {
      const std::string& pem = source.storeBytes.empty() ? source.store : source.storeBytes;
      std::vector<X509*> certificates = ReadCertificates(pem);
      if (certificates.empty()) {
        *failure = {kTlsErrStoreNotOpened, kNotDecoded};
        return std::nullopt;
      }
      EVP_PKEY* key = ReadKey(pem, source.password);
      const bool belongs = key != nullptr && X509_check_private_key(certificates.front(), key) == 1;
      ERR_clear_error();
      if (!belongs) {
        EVP_PKEY_free(key);
        for (X509* certificate : certificates) X509_free(certificate);
        *failure = {kTlsErrStoreNotOpened, kKeyNotImported};
        return std::nullopt;
      }
      store.entries_.push_back(MakeCredential(std::move(certificates), key));
      return store;
    }
  }
  *failure = StoreNotOpened(std::to_string(EINVAL));
  return std::nullopt;
}

std::shared_ptr<const ClientCredential> CertificateStore::Select(std::string_view subject) const {
  if (subject.empty() || entries_.empty()) return nullptr;
  if (subject.front() != '*') {
    if (X509_NAME* name = ParseName(subject)) {
      std::shared_ptr<const ClientCredential> found;
      for (const auto& entry : entries_) {
        if (X509_NAME_cmp(X509_get_subject_name(entry->Certificate()), name) == 0) {
          found = entry;
          break;
        }
      }
      X509_NAME_free(name);
      ERR_clear_error();
      if (found) return found;
    }
  }
  if (subject == "*") return entries_.front();
  for (const auto& entry : entries_) {
    if (entry->Subject() == subject) return entry;
  }
  for (const auto& entry : entries_) {
    if (entry->Subject().find(subject) != std::string::npos) return entry;
  }
  return nullptr;
}

std::shared_ptr<const ClientCredential> CertificateStore::FirstIssuedBy(
    const std::vector<const X509_NAME*>& issuers) const {
  auto issuedBy = [&](const ClientCredential& entry) {
    if (issuers.empty()) return true;
    std::vector<const X509_NAME*> names{X509_get_issuer_name(entry.Certificate())};
    for (X509* above : entry.Chain()) {
      names.push_back(X509_get_subject_name(above));
      names.push_back(X509_get_issuer_name(above));
    }
    for (const X509_NAME* name : names) {
      for (const X509_NAME* issuer : issuers) {
        if (X509_NAME_cmp(name, issuer) == 0) return true;
      }
    }
    return false;
  };
  for (const auto& entry : entries_) {
    if (entry->Key() != nullptr && issuedBy(*entry)) return entry;
  }
  return nullptr;
}

}  // namespace vorlane::tcpclient
