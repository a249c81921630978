#include "tcpclient/client_certificate.h"

#include <pwd.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>

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

net::BioPtr MemoryBio(std::string_view bytes) {
  return net::BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

int PasswordCallback(char* buffer, int size, int /*writing*/, void* data) {
  const auto* password = static_cast<const std::string*>(data);
  if (password == nullptr || size <= 0) return 0;
  const int length = static_cast<int>(std::min<size_t>(password->size(), static_cast<size_t>(size)));
  std::memcpy(buffer, password->data(), static_cast<size_t>(length));
  return length;
}

// Every certificate of a PEM text, in order.
std::vector<net::X509Ptr> ReadCertificates(std::string_view pem) {
  std::vector<net::X509Ptr> certificates;
  net::BioPtr bio = MemoryBio(pem);
  // Each round takes one certificate block; the text bounds the count.
  for (size_t round = 0; bio && round <= pem.size() / 64 + 1; ++round) {
    net::X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) break;
    certificates.push_back(std::move(certificate));
  }
  ERR_clear_error();  // the end of the text reads as "no start line"
  return certificates;
}

// The first private key of a PEM text (any form OpenSSL reads, encrypted ones with `password`).
net::EvpKeyPtr ReadKey(std::string_view pem, const std::string& password) {
  net::BioPtr bio = MemoryBio(pem);
  net::EvpKeyPtr key(
      bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, &PasswordCallback, const_cast<std::string*>(&password))
          : nullptr);
  ERR_clear_error();
  return key;
}

// A store entry of certificates and a key read from one text; the key is dropped when it does not
// belong to the first certificate.
std::shared_ptr<const ClientCredential> MakeCredential(std::vector<net::X509Ptr> certificates, net::EvpKeyPtr key) {
  if (certificates.empty()) return nullptr;
  if (key && X509_check_private_key(certificates.front().get(), key.get()) != 1) key.reset();
  ERR_clear_error();
  net::X509Ptr certificate = std::move(certificates.front());
  certificates.erase(certificates.begin());
  return std::make_shared<const ClientCredential>(std::move(certificate), std::move(key), std::move(certificates));
}

// The file's bytes, or the errno of the failure.
Result<std::string> ReadSmallFile(const std::filesystem::path& file, std::uintmax_t limit) {
  std::error_code status;
  const std::uintmax_t size = std::filesystem::file_size(file, status);
  if (status) return Error{status.value(), status.message()};
  if (size > limit) return Error{EFBIG, "the file is larger than a store file can be"};
  std::ifstream in(file, std::ios::binary);
  std::string bytes(static_cast<size_t>(size), '\0');
  if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    return Error{errno != 0 ? errno : EIO, "the file could not be read"};
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
net::X509NamePtr ParseName(std::string_view text) {
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

  net::X509NamePtr name(X509_NAME_new());
  if (!name) return nullptr;
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
        X509_NAME_add_entry_by_NID(name.get(), nid, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(content.c_str()),
                                   static_cast<int>(content.size()), 0, 0) != 1) {
      ERR_clear_error();
      return nullptr;
    }
  }
  return name;
}

}  // namespace

std::string CertificateNameText(const X509_NAME* name) {
  if (name == nullptr) return {};
  const net::BioPtr bio(BIO_new(BIO_s_mem()));
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
  unsigned char* encoded = nullptr;
  const int length = i2d_X509(certificate, &encoded);
  const net::OpensslBytesPtr der(encoded);
  if (length <= 0) return {};
  return std::string(reinterpret_cast<const char*>(der.get()), static_cast<size_t>(length));
}

ClientCredential::ClientCredential(net::X509Ptr certificate, net::EvpKeyPtr key, std::vector<net::X509Ptr> chain)
    : certificate_(std::move(certificate)), key_(std::move(key)), chain_(std::move(chain)) {
  subject_ = CertificateNameText(X509_get_subject_name(certificate_.get()));
  der_ = CertificateDer(certificate_.get());
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

Result<CertificateStore, CertificateFailure> CertificateStore::Open(const CertificateStoreSource& source) {
  CertificateStore store;
  ERR_clear_error();
  switch (source.type) {
    case sstUser:
    case sstMachine: {
      if (!IsStoreName(source.store)) {
        return StoreNotOpened(std::to_string(EINVAL));
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
        return StoreNotOpened(std::to_string(error.value()));
      }
      std::sort(files.begin(), files.end());
      for (const std::filesystem::path& file : files) {
        const Result<std::string> pem = ReadSmallFile(file, kMaxFileBytes);
        if (!pem) continue;  // a file that cannot be read holds no certificate of the store
        if (auto entry = MakeCredential(ReadCertificates(pem.value()), ReadKey(pem.value(), source.password))) {
          store.entries_.push_back(std::move(entry));
        }
      }
      return store;
    }
    case sstPFXFile:
    case sstPFXBlob: {
      std::string image;
      if (source.type == sstPFXFile) {
        Result<std::string> bytes = ReadSmallFile(source.store, kMaxPkcs12Bytes);
        if (!bytes) return StoreNotOpened(std::to_string(bytes.error().code));
        image = std::move(bytes).value();
      } else if (!source.storeBytes.empty()) {
        image = source.storeBytes;
      } else {
        std::optional<std::string> bytes = cipher::Base64DecodeToString(source.store);
        image = bytes ? std::move(*bytes) : std::string();
      }
      const net::BioPtr bio = MemoryBio(image);
      const net::Pkcs12Ptr pkcs12(bio && !image.empty() ? d2i_PKCS12_bio(bio.get(), nullptr) : nullptr);
      if (!pkcs12) {
        ERR_clear_error();
        return StoreNotOpened(Hex(kCryptBadEncoding));
      }
      EVP_PKEY* parsedKey = nullptr;
      X509* parsedCertificate = nullptr;
      STACK_OF(X509)* parsedOthers = nullptr;
      const bool parsed =
          PKCS12_parse(pkcs12.get(), source.password.c_str(), &parsedKey, &parsedCertificate, &parsedOthers) == 1;
      net::EvpKeyPtr key(parsedKey);
      net::X509Ptr certificate(parsedCertificate);
      const net::X509StackPtr others(parsedOthers);
      const unsigned long reason = parsed ? 0 : ERR_GET_REASON(ERR_peek_last_error());
      ERR_clear_error();
      if (!parsed) {
        return StoreNotOpened(Hex(reason == PKCS12_R_MAC_VERIFY_FAILURE ? kInvalidPassword : kCryptBadEncoding));
      }
      // The certificate with the key first, the others after it: each also as the chain of the
      // first, so that a server gets what it needs to build the path.
      // Each certificate of the stack is held once by the chain (a reference of its own) and
      // once by its own entry (the stack's reference, taken over).
      std::vector<net::X509Ptr> chain;
      const int count = others ? sk_X509_num(others.get()) : 0;
      for (int i = 0; i < count; ++i) {
        X509* other = sk_X509_value(others.get(), i);
        if (certificate && X509_up_ref(other) == 1) chain.emplace_back(other);
      }
      if (certificate) {
        store.entries_.push_back(
            std::make_shared<const ClientCredential>(std::move(certificate), std::move(key), std::move(chain)));
      }
      for (int i = 0; i < count; ++i) {
        X509* other = sk_X509_value(others.get(), i);
        if (X509_up_ref(other) != 1) continue;
        store.entries_.push_back(
            std::make_shared<const ClientCredential>(net::X509Ptr(other), nullptr, std::vector<net::X509Ptr>()));
      }
      return store;
    }
    case sstPEMKey: {
      const std::string& pem = source.storeBytes.empty() ? source.store : source.storeBytes;
      std::vector<net::X509Ptr> certificates = ReadCertificates(pem);
      if (certificates.empty()) {
        return CertificateFailure{kTlsErrStoreNotOpened, kNotDecoded};
      }
      net::EvpKeyPtr key = ReadKey(pem, source.password);
      const bool belongs = key && X509_check_private_key(certificates.front().get(), key.get()) == 1;
      ERR_clear_error();
      if (!belongs) {
        return CertificateFailure{kTlsErrStoreNotOpened, kKeyNotImported};
      }
      store.entries_.push_back(MakeCredential(std::move(certificates), std::move(key)));
      return store;
    }
  }
  return StoreNotOpened(std::to_string(EINVAL));
}

std::shared_ptr<const ClientCredential> CertificateStore::Select(std::string_view subject) const {
  if (subject.empty() || entries_.empty()) return nullptr;
  if (subject.front() != '*') {
    if (const net::X509NamePtr name = ParseName(subject)) {
      std::shared_ptr<const ClientCredential> found;
      for (const auto& entry : entries_) {
        if (X509_NAME_cmp(X509_get_subject_name(entry->Certificate()), name.get()) == 0) {
          found = entry;
          break;
        }
      }
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
    for (const net::X509Ptr& above : entry.Chain()) {
      names.push_back(X509_get_subject_name(above.get()));
      names.push_back(X509_get_issuer_name(above.get()));
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
