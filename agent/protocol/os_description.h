// The operating system description that agentinfo reports as `agentos`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorlane::agent {

// The description's buffer holds 256 characters with the terminator.
inline constexpr size_t kOsDescriptionMaxLength = 255;

// What the Windows version query and two registry look-ups report, as plain data.
struct WindowsVersionRecord {
  enum Platform : uint32_t { kWin32s = 0, kWindows9x = 1, kWindowsNt = 2 };
  enum ProductType : uint32_t { kWorkstation = 1, kDomainController = 2, kServer = 3 };
  static constexpr uint32_t kSuiteEnterprise = 0x0002;
  static constexpr uint32_t kSuiteDatacenter = 0x0080;
  static constexpr uint32_t kSuitePersonal = 0x0200;
  static constexpr uint32_t kSuiteBlade = 0x0400;

  bool available = true;  // false: both version queries were refused
  uint32_t platform = kWindowsNt;
  uint32_t major = 0;
  uint32_t minor = 0;
  std::string servicePack;  // the CSD text
  uint32_t build = 0;       // only the low 16 bits count
  bool extended = true;     // the extended query answered (product type and suite mask are valid)
  uint32_t productType = 0;
  uint32_t suiteMask = 0;
  // ProductType under ProductOptions, consulted only without extended information; nothing
  // when the key or value cannot be read or the value is longer than 80 bytes.
  std::optional<std::string> registryProductType;
  bool hasQ246009Hotfix = false;  // the NT 4 SP6a hotfix key exists
};

// The description of a Windows host, following the version table; at most
// kOsDescriptionMaxLength characters.
std::string DescribeWindowsVersion(const WindowsVersionRecord& version);

// What uname reports that the description uses.
struct KernelIdentity {
  std::string sysname;  // "Linux"
  std::string release;  // "6.1.0-18-amd64"
};

// The description of a Linux host: PRETTY_NAME of the os-release file (else NAME and VERSION,
// else the kernel's name), then " (Kernel <release>)" when the release is known; for example
// "Debian GNU/Linux 12 (bookworm) (Kernel 6.1.0-18-amd64)". At most kOsDescriptionMaxLength
// characters, never cut inside a UTF-8 character.
std::string DescribeLinux(const std::filesystem::path& osRelease, const KernelIdentity& kernel);

// The description of the running host (/etc/os-release, else /usr/lib/os-release, and uname),
// read once per process.
const std::string& CurrentOsDescription();

}  // namespace vorlane::agent
