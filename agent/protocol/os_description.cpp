#include "agent/protocol/os_description.h"

#include <sys/utsname.h>

#include <fstream>

#include "agent/request/answer.h"
#include "platform/base/ascii.h"
#include "platform/base/utf8.h"

namespace vorlane::agent {
namespace {

// The version table: the first matching row names the system.
constexpr std::string_view kWin32s = "Microsoft Win32s";
constexpr std::string_view kWindows95 = "Microsoft Windows 95 ";
constexpr std::string_view kWindows95Osr2 = "OSR2 ";
constexpr std::string_view kWindows98 = "Microsoft Windows 98 ";
constexpr std::string_view kWindows98Se = "SE ";
constexpr std::string_view kWindowsMe = "Microsoft Windows Millennium Edition";
constexpr std::string_view kWindowsServer2003 = "Microsoft Windows Server 2003, ";
constexpr std::string_view kWindowsXp = "Microsoft Windows XP ";
constexpr std::string_view kWindows2000 = "Microsoft Windows 2000 ";
constexpr std::string_view kWindowsNt = "Microsoft Windows NT ";

// The product, from the extended information.
constexpr std::string_view kWorkstation40 = "Workstation 4.0 ";
constexpr std::string_view kHomeEdition = "Home Edition ";
constexpr std::string_view kProfessional = "Professional ";
constexpr std::string_view kDatacenterEdition = "Datacenter Edition ";
constexpr std::string_view kEnterpriseEdition = "Enterprise Edition ";
constexpr std::string_view kWebEdition = "Web Edition ";
constexpr std::string_view kStandardEdition = "Standard Edition ";
constexpr std::string_view kDatacenterServer = "Datacenter Server ";
constexpr std::string_view kAdvancedServer = "Advanced Server ";
constexpr std::string_view kServer = "Server ";
constexpr std::string_view kServer40Enterprise = "Server 4.0, Enterprise Edition ";
constexpr std::string_view kServer40 = "Server 4.0 ";

// The product, from the registry's ProductType value.
constexpr std::string_view kRegistryWorkstation = "WINNT";
constexpr std::string_view kRegistryServer = "LANMANNT";
constexpr std::string_view kRegistryAdvancedServer = "SERVERNT";
constexpr std::string_view kRegistryProductWorkstation = "Workstation ";
constexpr size_t kRegistryProductTypeMaxBytes = 80;
constexpr std::string_view kVersionFormat = "%s%d.%d ";

// Service pack and build.
constexpr std::string_view kServicePack6 = "Service Pack 6";
constexpr std::string_view kServicePack6aFormat = "Service Pack 6a (Build %d)";
constexpr std::string_view kServicePackFormat = "%s%s (Build %d)";

constexpr std::string_view kKernelFormat = "%s (Kernel %s)";
constexpr std::string_view kOsReleasePaths[] = {"/etc/os-release", "/usr/lib/os-release"};

// Cuts `text` to the description's buffer, never inside a UTF-8 character.
std::string Bounded(std::string text) {
  if (text.size() <= kOsDescriptionMaxLength) return text;
  text.resize(utf8::CutPoint(text, kOsDescriptionMaxLength));
  return text;
}

char CsdChar(const WindowsVersionRecord& v, size_t index) {
  return index < v.servicePack.size() ? v.servicePack[index] : '\0';
}

std::string SystemName(const WindowsVersionRecord& v) {
  using V = WindowsVersionRecord;
  if (v.platform == V::kWin32s) return std::string(kWin32s);
  if (v.platform == V::kWindows9x && v.major == 4) {
    if (v.minor == 0) {
      const char c = CsdChar(v, 1);
      return std::string(kWindows95) + std::string(c == 'C' || c == 'B' ? kWindows95Osr2 : "");
    }
    if (v.minor == 10) return std::string(kWindows98) + std::string(CsdChar(v, 1) == 'A' ? kWindows98Se : "");
    if (v.minor == 90) return std::string(kWindowsMe);
  }
  if (v.platform == V::kWindowsNt) {
    if (v.major == 5 && v.minor == 2) return std::string(kWindowsServer2003);
    if (v.major == 5 && v.minor == 1) return std::string(kWindowsXp);
    if (v.major == 5 && v.minor == 0) return std::string(kWindows2000);
    if (v.major <= 4) return std::string(kWindowsNt);
  }
  return {};
}

std::string_view ExtendedProduct(const WindowsVersionRecord& v) {
  using V = WindowsVersionRecord;
  if (v.productType == V::kWorkstation) {
    if (v.major == 4) return kWorkstation40;
    return (v.suiteMask & V::kSuitePersonal) != 0 ? kHomeEdition : kProfessional;
  }
  if (v.productType != V::kServer && v.productType != V::kDomainController) return {};
  if (v.major == 5 && v.minor == 2) {
    if ((v.suiteMask & V::kSuiteDatacenter) != 0) return kDatacenterEdition;
    if ((v.suiteMask & V::kSuiteEnterprise) != 0) return kEnterpriseEdition;
    if ((v.suiteMask & 0xFFFF) == V::kSuiteBlade) return kWebEdition;
    return kStandardEdition;
  }
  if (v.major == 5 && v.minor == 0) {
    if ((v.suiteMask & V::kSuiteDatacenter) != 0) return kDatacenterServer;
    if ((v.suiteMask & V::kSuiteEnterprise) != 0) return kAdvancedServer;
    return kServer;
  }
  return (v.suiteMask & V::kSuiteEnterprise) != 0 ? kServer40Enterprise : kServer40;
}

// Appends the product named by the registry and the version; false ends the description.
bool AppendRegistryProduct(const WindowsVersionRecord& v, std::string& text) {
  if (!v.registryProductType || v.registryProductType->size() > kRegistryProductTypeMaxBytes) return false;
  const std::string& type = *v.registryProductType;
  if (EqualsIgnoringAsciiCase(type, kRegistryWorkstation)) text += kRegistryProductWorkstation;
  if (EqualsIgnoringAsciiCase(type, kRegistryServer)) text += kServer;
  if (EqualsIgnoringAsciiCase(type, kRegistryAdvancedServer)) text += kAdvancedServer;
  text = FormatAnswer(kVersionFormat, {text, static_cast<long long>(v.major), static_cast<long long>(v.minor)});
  return true;
}

// One os-release value: quotes removed, backslash escapes resolved.
std::string Unquote(std::string_view value) {
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) {
    value.remove_suffix(1);
  }
  if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
    return std::string(value.substr(1, value.size() - 2));
  }
  if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) ++i;
    out += value[i];
  }
  return out;
}

struct OsRelease {
  std::string prettyName, name, version;
};

OsRelease ReadOsRelease(const std::filesystem::path& path) {
  OsRelease release;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || line.starts_with('#')) continue;
    const std::string_view key = std::string_view(line).substr(0, eq);
    const std::string value = Unquote(std::string_view(line).substr(eq + 1));
    if (key == "PRETTY_NAME") release.prettyName = value;
    if (key == "NAME") release.name = value;
    if (key == "VERSION") release.version = value;
  }
  return release;
}

}  // namespace

std::string DescribeWindowsVersion(const WindowsVersionRecord& v) {
  if (!v.available) return {};
  std::string text = SystemName(v);
  if (v.platform != WindowsVersionRecord::kWindowsNt) return Bounded(std::move(text));

  if (v.extended) {
    text += ExtendedProduct(v);
  } else if (!AppendRegistryProduct(v, text)) {
    return Bounded(std::move(text));
  }

  const long long build = v.build & 0xFFFF;
  if (v.major == 4 && EqualsIgnoringAsciiCase(v.servicePack, kServicePack6) && v.hasQ246009Hotfix) {
    text += FormatAnswer(kServicePack6aFormat, {build});
  } else {
    text = FormatAnswer(kServicePackFormat, {text, v.servicePack, build});
  }
  return Bounded(std::move(text));
}

std::string DescribeLinux(const std::filesystem::path& osRelease, const KernelIdentity& kernel) {
  const OsRelease release = ReadOsRelease(osRelease);
  std::string system = release.prettyName;
  if (system.empty() && !release.name.empty()) {
    system = release.name;
    if (!release.version.empty()) system += " " + release.version;
  }
  if (system.empty()) system = kernel.sysname;
  if (kernel.release.empty()) return Bounded(std::move(system));
  return Bounded(FormatAnswer(kKernelFormat, {system, kernel.release}));
}

namespace {

std::string DescribeThisHost() {
  KernelIdentity kernel;
  struct utsname names {};
  if (::uname(&names) == 0) {
    kernel.sysname = names.sysname;
    kernel.release = names.release;
  }
  for (std::string_view path : kOsReleasePaths) {
    std::error_code error;
    if (std::filesystem::exists(path, error)) return DescribeLinux(path, kernel);
  }
  return DescribeLinux({}, kernel);
}

}  // namespace

// Read on the first agentinfo and kept: the kernel release cannot change while the agent runs,
// and a system upgraded in place shows its new name from the agent's next start.
const std::string& CurrentOsDescription() {
  static const std::string description = DescribeThisHost();
  return description;
}

}  // namespace vorlane::agent
