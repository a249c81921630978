#include "platform/termserver/ssh_host_keys.h"

#include <gtest/gtest.h>
#include <sys/stat.h>


#include "platform/termserver/ssh_session.h"
#include "platform/termserver/tests/ssh_test_harness.h"

namespace vorlane::termserver::testing {
namespace {

mode_t Mode(const std::filesystem::path& file) {
  struct stat info {};
  ::stat(file.c_str(), &info);
  return info.st_mode & 0777;
}

std::string Fingerprint(const std::filesystem::path& file, enum ssh_keytypes_e type) {
  auto key = LoadHostKey(file, type);
  if (!key) return "unreadable";
  unsigned char* hash = nullptr;
  size_t length = 0;
  if (ssh_get_publickey_hash(key.value().get(), SSH_PUBLICKEY_HASH_SHA256, &hash, &length) != 0) return "no hash";
  std::string text(reinterpret_cast<char*>(hash), length);
  ssh_clean_pubkey_hash(&hash);
  return text;
}

TEST(SshHostKeys, CreatedPrivateThenLoadedUnchanged) {
  TempDir folder;
  auto first = PrepareHostKeys(folder.Path() / "keys");
  ASSERT_TRUE(first) << first.error().message;
  EXPECT_EQ(first.value().ed25519, folder.Path() / "keys" / "ssh_host_ed25519_key");
  EXPECT_EQ(first.value().rsa, folder.Path() / "keys" / "ssh_host_rsa_key");
  EXPECT_EQ(Mode(first.value().ed25519), 0600u);
  EXPECT_EQ(Mode(first.value().rsa), 0600u);
  const std::string edFingerprint = Fingerprint(first.value().ed25519, SSH_KEYTYPE_ED25519);
  const std::string rsaFingerprint = Fingerprint(first.value().rsa, SSH_KEYTYPE_RSA);
  const std::string edText = testkit::ReadFile(first.value().ed25519);

  auto second = PrepareHostKeys(folder.Path() / "keys");
  ASSERT_TRUE(second) << second.error().message;
  EXPECT_EQ(testkit::ReadFile(second.value().ed25519), edText);
  EXPECT_EQ(Fingerprint(second.value().ed25519, SSH_KEYTYPE_ED25519), edFingerprint);
  EXPECT_EQ(Fingerprint(second.value().rsa, SSH_KEYTYPE_RSA), rsaFingerprint);
  EXPECT_NE(edFingerprint, rsaFingerprint);
  EXPECT_TRUE(SshServer::Create(second.value()));
  // No temporary files stay behind.
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder.Path() / "keys")) ++files;
  EXPECT_EQ(files, 2u);
}

TEST(SshHostKeys, KeyReadableByOthersMadePrivate) {
  TempDir folder;
  auto keys = PrepareHostKeys(folder.Path());
  ASSERT_TRUE(keys);
  const std::string text = testkit::ReadFile(keys.value().ed25519);
  ASSERT_EQ(::chmod(keys.value().ed25519.c_str(), 0644), 0);
  auto again = PrepareHostKeys(folder.Path());
  ASSERT_TRUE(again);
  EXPECT_EQ(Mode(again.value().ed25519), 0600u);
  EXPECT_EQ(testkit::ReadFile(again.value().ed25519), text);
}

TEST(SshHostKeys, DamagedOrMisplacedKeyIsAnError) {
  TempDir folder;
  folder.WriteFile("ssh_host_ed25519_key", "not a key\n");
  auto keys = PrepareHostKeys(folder.Path());
  ASSERT_FALSE(keys);
  EXPECT_NE(keys.error().message.find("ssh_host_ed25519_key"), std::string::npos);

  TempDir swapped;
  auto made = PrepareHostKeys(swapped.Path());
  ASSERT_TRUE(made);
  std::filesystem::copy_file(made.value().rsa, made.value().ed25519, std::filesystem::copy_options::overwrite_existing);
  EXPECT_FALSE(PrepareHostKeys(swapped.Path()));
  EXPECT_FALSE(SshServer::Create(made.value()));
}

TEST(SshHostKeys, ServerNeedsReadableKeys) {
  TempDir folder;
  EXPECT_FALSE(SshServer::Create(HostKeyFiles{folder.Path() / "none", folder.Path() / "neither"}));
}

}  // namespace
}  // namespace vorlane::termserver::testing
