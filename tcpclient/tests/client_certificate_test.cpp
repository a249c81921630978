// Client certificate stores and the choice of a certificate by subject, over store folders, PKCS#12
// files and images, and PEM texts that the test writes.
#include "tcpclient/client_certificate.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cipher/base64.h"
#include "tcpclient/tests/test_certificates.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

namespace vorlane::tcpclient {
namespace {

using testing::TestCertificates;

constexpr char kAlice[] = "CN=Alice Client, O=Vorlane Test, C=DE";
constexpr char kBob[] = "CN=Bob Client, O=Vorlane Test, C=DE";
constexpr char kCarol[] = "CN=Carol Client, O=Vorlane Test, C=DE";

std::string Base64(const std::string& bytes) {
  return cipher::Base64EncodeToString(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

class ClientCertificateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(certificates_.Made());
    // The per-user store "MY": Bob first by file name, a certificate without its key, Alice, and
    // what is no certificate at all.
    const std::filesystem::path store = folder_.Path() / "config" / "vorlane" / "certificates" / "MY";
    std::filesystem::create_directories(store);
    ASSERT_TRUE(testkit::WriteFile(store / "10-bob.pem", testkit::ReadFile(certificates_.bobBundle)));
    ASSERT_TRUE(testkit::WriteFile(store / "20-alice-alone.pem", testkit::ReadFile(certificates_.aliceCertificate)));
    ASSERT_TRUE(testkit::WriteFile(store / "30-alice.pem", testkit::ReadFile(certificates_.aliceBundle)));
    ASSERT_TRUE(testkit::WriteFile(store / "40-notes.txt", "not a certificate\n"));
    ASSERT_TRUE(testkit::WriteFile(store / ".50-hidden.pem", testkit::ReadFile(certificates_.carolBundle)));
  }

  std::optional<CertificateStore> Open(const CertificateStoreSource& source) {
    auto opened = CertificateStore::Open(source);
    failure_ = opened ? CertificateFailure{} : opened.error();
    if (!opened) return std::nullopt;
    return std::move(opened).value();
  }

  testkit::TempDir folder_{"vorlane-client-certificates"};
  TestCertificates certificates_{folder_};
  testkit::ScopedEnv config_{"XDG_CONFIG_HOME", (folder_.Path() / "config").string()};
  CertificateFailure failure_;
};

TEST_F(ClientCertificateTest, TheSubjectChoosesTheCertificateOfTheStore) {
  std::optional<CertificateStore> store = Open({});
  ASSERT_TRUE(store) << failure_.text;
  EXPECT_EQ(store->Size(), 3u);  // the text file and the hidden one are not certificates of the store
  struct Case {
    const char* subject;
    const char* chosen;  // null: none
    bool withKey;
  };
  const Case cases[] = {
      {"*", kBob, true},                                       // the first, by file name
      {kAlice, kAlice, false},                                 // the first with that name: the one alone
      {"cn = alice client ,o=VORLANE  TEST; c=de", kAlice, false},  // as a name: case and blanks do not count
      {"CN=\"Bob Client\", O=Vorlane Test, C=DE", kBob, true},  // a quoted value
      {"Carol", nullptr, false},                               // only in the hidden file
      {"Bob Cl", kBob, true},                                  // contained in the subject
      {"O=Vorlane Test, C=DE", kBob, true},                    // no name is this; both subjects contain it
      {"CN=Nobody, O=Vorlane Test, C=DE", nullptr, false},
      {"*Bob", nullptr, false},                                // a star only means "the first" alone
      {"XX=unknown", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subject);
    std::shared_ptr<const ClientCredential> chosen = store->Select(c.subject);
    if (c.chosen == nullptr) {
      EXPECT_EQ(chosen, nullptr) << chosen->Subject();
      continue;
    }
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(chosen->Subject(), c.chosen);
    EXPECT_EQ(chosen->Key() != nullptr, c.withKey);
    EXPECT_FALSE(chosen->Der().empty());
  }
  EXPECT_EQ(CertificateNotFound().code, 272);
  EXPECT_EQ(CertificateNotFound().text, "The certificate could not be found (0x80092004).");
}

TEST_F(ClientCertificateTest, AStoreFileBeyondItsBoundIsNotRead) {
  // Carol's certificate first by name, but in a file of more than a megabyte: not a store's file.
  const std::filesystem::path store = folder_.Path() / "config" / "vorlane" / "certificates" / "MY";
  const std::string padding(1 << 20, 'x');
  ASSERT_TRUE(testkit::WriteFile(store / "05-carol.pem", testkit::ReadFile(certificates_.carolBundle) + padding));
  std::optional<CertificateStore> opened = Open({});
  ASSERT_TRUE(opened) << failure_.text;
  EXPECT_EQ(opened->Size(), 3u);
  EXPECT_EQ(opened->Select("Carol"), nullptr);
  ASSERT_NE(opened->Select("*"), nullptr);
  EXPECT_EQ(opened->Select("*")->Subject(), kBob);
}

TEST_F(ClientCertificateTest, EachKindOfStoreOpensOrSaysWhyNot) {
  const std::string pkcs12 = certificates_.alicePkcs12;
  const std::filesystem::path pkcs12File = folder_.WriteFile("alice.p12", pkcs12);
  const std::string password = TestCertificates::kPkcs12Password;
  const std::string aliceBundle = testkit::ReadFile(certificates_.aliceBundle);
  const std::string aliceAlone = testkit::ReadFile(certificates_.aliceCertificate);
  struct Case {
    const char* name;
    CertificateStoreSource source;
    const char* failure;  // null: opens, and "*" takes Alice with her key
    size_t size = 0;
  };
  const Case cases[] = {
      {"user store that is not there", {sstUser, "NOSUCH", "", ""}, "The certificate store could not be opened (2)."},
      {"store name leaving the folder", {sstUser, "../MY", "", ""}, "The certificate store could not be opened (22)."},
      {"empty store name", {sstUser, "", "", ""}, "The certificate store could not be opened (22)."},
      {"machine store that is not there", {sstMachine, "MY", "", ""}, "The certificate store could not be opened (2)."},
      {"PKCS#12 file", {sstPFXFile, pkcs12File.string(), "", password}, nullptr, 2},
      {"PKCS#12 file, wrong password", {sstPFXFile, pkcs12File.string(), "", "guess"},
       "The certificate store could not be opened (0x80070056)."},
      {"PKCS#12 file that is not there", {sstPFXFile, (folder_.Path() / "none.p12").string(), "", password},
       "The certificate store could not be opened (2)."},
      {"PKCS#12 image as bytes", {sstPFXBlob, "", pkcs12, password}, nullptr, 2},
      {"PKCS#12 image in base64", {sstPFXBlob, Base64(pkcs12), "", password}, nullptr, 2},
      {"PKCS#12 image that is none", {sstPFXBlob, "", "garbage", password},
       "The certificate store could not be opened (0x80092002)."},
      {"PKCS#12 file that is a PEM file", {sstPFXFile, certificates_.aliceBundle.string(), "", password},
       "The certificate store could not be opened (0x80092002)."},
      {"PEM text", {sstPEMKey, aliceBundle, "", ""}, nullptr, 1},
      {"PEM bytes", {sstPEMKey, "ignored", aliceBundle, ""}, nullptr, 1},
      {"PEM without a certificate", {sstPEMKey, "-----BEGIN NOTHING-----\n-----END NOTHING-----\n", "", ""},
       "The certificate could not be decoded"},
      {"PEM without the key", {sstPEMKey, aliceAlone, "", ""}, "Could not import key"},
      {"PEM with a key that is not the certificate's", {sstPEMKey, certificates_.aliceWithServerKey, "", ""},
       "Could not import key"},
  };
  testkit::ScopedEnv machine("VORLANE_CONFIG_DIR", (folder_.Path() / "machine").string());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<CertificateStore> store = Open(c.source);
    if (c.failure != nullptr) {
      EXPECT_FALSE(store);
      EXPECT_EQ(failure_.code, 271);
      EXPECT_EQ(failure_.text, c.failure);
      continue;
    }
    ASSERT_TRUE(store) << failure_.text;
    EXPECT_EQ(store->Size(), c.size);
    std::shared_ptr<const ClientCredential> first = store->Select("*");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Subject(), kAlice);
    EXPECT_NE(first->Key(), nullptr);
  }

  // The machine's store lies in the configuration folder.
  std::filesystem::create_directories(folder_.Path() / "machine" / "certificates" / "Shared");
  ASSERT_TRUE(testkit::WriteFile(folder_.Path() / "machine" / "certificates" / "Shared" / "carol.pem",
                                 testkit::ReadFile(certificates_.carolBundle)));
  std::optional<CertificateStore> shared = Open({sstMachine, "Shared", "", ""});
  ASSERT_TRUE(shared) << failure_.text;
  ASSERT_NE(shared->Select("Carol"), nullptr);
  EXPECT_EQ(shared->Select("Carol")->Subject(), kCarol);
}

TEST_F(ClientCertificateTest, ACertificateForTheServerIsOneWithAKeyByAnAuthorityItNames) {
  const std::filesystem::path store = folder_.Path() / "config" / "vorlane" / "certificates" / "Mixed";
  std::filesystem::create_directories(store);
  ASSERT_TRUE(testkit::WriteFile(store / "1-alice-alone.pem", testkit::ReadFile(certificates_.aliceCertificate)));
  ASSERT_TRUE(testkit::WriteFile(store / "2-carol.pem", testkit::ReadFile(certificates_.carolBundle)));
  ASSERT_TRUE(testkit::WriteFile(store / "3-bob.pem", testkit::ReadFile(certificates_.bobBundle)));
  std::optional<CertificateStore> mixed = Open({sstUser, "Mixed", "", ""});
  ASSERT_TRUE(mixed) << failure_.text;

  auto nameOf = [](const char* commonName) {
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("DE"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Vorlane Test"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                               0);
    return std::unique_ptr<X509_NAME, decltype(&X509_NAME_free)>(name, &X509_NAME_free);
  };
  auto ours = nameOf("Vorlane Test Authority");
  auto strangers = nameOf("Stranger Authority");
  auto nobodys = nameOf("Nobody's Authority");

  struct Case {
    const char* name;
    std::vector<const X509_NAME*> authorities;
    const char* chosen;
  };
  const Case cases[] = {
      {"no names: the first with a key", {}, kCarol},
      {"our authority: Bob, as Alice has no key", {ours.get()}, kBob},
      {"the stranger's", {nobodys.get(), strangers.get()}, kCarol},
      {"an authority none is by", {nobodys.get()}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::shared_ptr<const ClientCredential> chosen = mixed->FirstIssuedBy(c.authorities);
    if (c.chosen == nullptr) {
      EXPECT_EQ(chosen, nullptr);
    } else {
      ASSERT_NE(chosen, nullptr);
      EXPECT_EQ(chosen->Subject(), c.chosen);
    }
  }
}

}  // namespace
}  // namespace vorlane::tcpclient
