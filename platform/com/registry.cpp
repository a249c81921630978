#include "platform/base/ascii.h"
#include "platform/com/registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <limits>
#include <system_error>

#include "platform/profile/profile.h"

namespace vorlane::com {
namespace {

constexpr std::string_view kFileName = "vorlane-classes.ini";
constexpr std::string_view kDefaultValueKey = "@";
// Written and removed again to make a section exist without values; the '@' prefix is refused
// for value names, so it can never meet a real value.
constexpr std::string_view kPlaceholderKey = "@@created";
// No size limit for the reads: the buffer-size rules of the profile API are for C callers.
constexpr size_t kUnlimited = std::numeric_limits<size_t>::max();

// True when `name` is a key strictly below `key` (a whole path component further down).
bool IsBelow(std::string_view name, std::string_view key) {
  if (key.empty()) return !name.empty();
  return name.size() > key.size() + 1 && name[key.size()] == '\\' && EqualsIgnoringAsciiCase(name.substr(0, key.size()), key);
}

bool ValidKeyPath(std::string_view path) {
  if (path.empty() || path.front() == '\\' || path.back() == '\\') return false;
  if (path.front() == ' ' || path.front() == '\t' || path.back() == ' ' || path.back() == '\t') return false;
  if (path.find("\\\\") != std::string_view::npos) return false;
  // ']' ends a section header; line breaks and NUL cannot be stored at all.
  return path.find_first_of(std::string_view("]\r\n\0", 4)) == std::string_view::npos;
}

Error InvalidKey(std::string_view path) {
  return Error{EINVAL, "class registry: invalid key path \"" + std::string(path) + "\""};
}

// The INI key that holds value `name`, or nullopt for a name that cannot be a value name.
std::optional<std::string_view> StoredName(std::string_view name) {
  if (name.empty()) return kDefaultValueKey;
  if (name.front() == '@') return std::nullopt;
  return name;
}

size_t Depth(std::string_view path) { return static_cast<size_t>(std::count(path.begin(), path.end(), '\\')); }

Status Ok() { return {}; }

}  // namespace

namespace detail {

std::filesystem::path ChooseClassRegistryPath(std::string_view environment, const std::filesystem::path& executableDir,
                                              const std::filesystem::path& builtIn) {
  if (!environment.empty()) return std::filesystem::path(environment);
  std::filesystem::path besideExecutable = executableDir / kFileName;
  std::error_code error;
  if (std::filesystem::exists(besideExecutable, error)) return besideExecutable;
  if (!builtIn.empty() && std::filesystem::is_directory(builtIn.parent_path(), error)) return builtIn;
  return besideExecutable;
}

}  // namespace detail

std::filesystem::path BuiltInClassRegistryPath() {
#ifdef VORLANE_DEFAULT_CLASS_REGISTRY
  return std::filesystem::path(VORLANE_DEFAULT_CLASS_REGISTRY);
#else
  return {};
#endif
}

std::filesystem::path ClassRegistryPath() {
  const char* environment = std::getenv("VORLANE_CLASS_REGISTRY");
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return detail::ChooseClassRegistryPath(environment ? environment : "", error ? std::filesystem::path() : executable.parent_path(),
                                         BuiltInClassRegistryPath());
}

ClassRegistry::ClassRegistry(std::filesystem::path file) : file_(std::move(file)) {}

Status ClassRegistry::CreateKey(std::string_view keyPath) {
  if (!ValidKeyPath(keyPath)) return InvalidKey(keyPath);
  std::vector<std::string> sections = profile::GetSectionNames(file_, kUnlimited);
  auto exists = [&](std::string_view key) {
    return std::any_of(sections.begin(), sections.end(), [&](const std::string& s) { return EqualsIgnoringAsciiCase(s, key); });
  };
  // Outermost first, so that a reader never finds a key whose parent is missing.
  for (size_t end = 0; end != std::string_view::npos;) {
    end = keyPath.find('\\', end + 1);
    std::string_view key = keyPath.substr(0, end);
    if (exists(key)) continue;
    if (Status s = profile::WriteString(file_, key, kPlaceholderKey, ""); !s) return s;
    if (Status s = profile::DeleteKey(file_, key, kPlaceholderKey); !s) return s;
  }
  return Ok();
}

Status ClassRegistry::SetValue(std::string_view keyPath, std::string_view name, std::string_view value) {
  if (!ValidKeyPath(keyPath)) return InvalidKey(keyPath);
  std::optional<std::string_view> stored = StoredName(name);
  if (!stored) return Error{EINVAL, "class registry: invalid value name \"" + std::string(name) + "\""};
  // The key's own section comes with the write; only the keys above may need creating.
  if (size_t parent = keyPath.rfind('\\'); parent != std::string_view::npos) {
    if (Status s = CreateKey(keyPath.substr(0, parent)); !s) return s;
  }
  return profile::WriteString(file_, keyPath, *stored, value);
}

std::optional<std::string> ClassRegistry::GetValue(std::string_view keyPath, std::string_view name) const {
  std::optional<std::string_view> stored = StoredName(name);
  if (!ValidKeyPath(keyPath) || !stored) return std::nullopt;
  for (auto& [key, value] : profile::GetSection(file_, keyPath, kUnlimited)) {
    if (EqualsIgnoringAsciiCase(key, *stored)) return std::move(value);
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> ClassRegistry::Values(std::string_view keyPath) const {
  std::vector<std::pair<std::string, std::string>> values;
  if (!ValidKeyPath(keyPath)) return values;
  for (auto& [key, value] : profile::GetSection(file_, keyPath, kUnlimited)) {
    if (key == kDefaultValueKey) {
      values.emplace_back("", std::move(value));
    } else if (key.front() != '@') {
      values.emplace_back(std::move(key), std::move(value));
    }
  }
  return values;
}

Status ClassRegistry::DeleteValue(std::string_view keyPath, std::string_view name) {
  std::optional<std::string_view> stored = StoredName(name);
  if (!ValidKeyPath(keyPath)) return InvalidKey(keyPath);
  if (!stored) return Error{EINVAL, "class registry: invalid value name \"" + std::string(name) + "\""};
  return profile::DeleteKey(file_, keyPath, *stored);
}

bool ClassRegistry::KeyExists(std::string_view keyPath) const {
  if (!ValidKeyPath(keyPath)) return false;
  std::vector<std::string> sections = profile::GetSectionNames(file_, kUnlimited);
  return std::any_of(sections.begin(), sections.end(),
                     [&](const std::string& s) { return EqualsIgnoringAsciiCase(s, keyPath) || IsBelow(s, keyPath); });
}

std::vector<std::string> ClassRegistry::SubKeys(std::string_view keyPath) const {
  std::vector<std::string> children;
  if (!keyPath.empty() && !ValidKeyPath(keyPath)) return children;
  for (const std::string& section : profile::GetSectionNames(file_, kUnlimited)) {
    if (!IsBelow(section, keyPath)) continue;
    std::string_view rest = std::string_view(section).substr(keyPath.empty() ? 0 : keyPath.size() + 1);
    std::string_view child = rest.substr(0, rest.find('\\'));
    bool seen = std::any_of(children.begin(), children.end(), [&](const std::string& c) { return EqualsIgnoringAsciiCase(c, child); });
    if (!seen) children.emplace_back(child);
  }
  return children;
}

Status ClassRegistry::DeleteTree(std::string_view keyPath) {
  if (!ValidKeyPath(keyPath)) return InvalidKey(keyPath);
  std::vector<std::string> doomed;
  for (std::string& section : profile::GetSectionNames(file_, kUnlimited)) {
    if (EqualsIgnoringAsciiCase(section, keyPath) || IsBelow(section, keyPath)) doomed.push_back(std::move(section));
  }
  // Deepest first: if this stops half way, what is left is still a tree hanging from keyPath.
  std::stable_sort(doomed.begin(), doomed.end(),
                   [](const std::string& a, const std::string& b) { return Depth(a) > Depth(b); });
  for (const std::string& section : doomed) {
    if (Status s = profile::DeleteSection(file_, section); !s) return s;
  }
  return Ok();
}

namespace {

// Names that must never be taken for a ProgID: deleting "the ProgID tree" would wipe them.
bool ValidProgId(std::string_view progId) {
  if (!ValidKeyPath(progId) || progId.find('\\') != std::string_view::npos) return false;
  for (std::string_view reserved : {"CLSID", "TypeLib", "Interface", "AppID"}) {
    if (EqualsIgnoringAsciiCase(progId, reserved)) return false;
  }
  return true;
}

Error InvalidProgId(std::string_view progId) {
  return Error{EINVAL, "class registry: invalid ProgID \"" + std::string(progId) + "\""};
}

std::string ClassKey(const CLSID& clsid) { return "CLSID\\" + FormatGuidBraced(clsid); }

std::string Join(std::string_view key, std::string_view sub) {
  return sub.empty() ? std::string(key) : std::string(key) + "\\" + std::string(sub);
}

// A subkey that is written when wanted and removed when a registration no longer wants it.
Status WriteOrRemove(ClassRegistry& registry, const std::string& key, bool wanted, std::string_view defaultValue) {
  if (!wanted) return registry.DeleteTree(key);
  return registry.SetValue(key, "", defaultValue);
}

Status FlagKey(ClassRegistry& registry, const std::string& key, bool wanted) {
  return wanted ? registry.CreateKey(key) : registry.DeleteTree(key);
}

// A ProgID tree goes only while it still names this class: after an upgrade the
// version-independent ProgID belongs to the newer class, and unregistering the old one must
// leave it alone.
Status DeleteProgIdOf(ClassRegistry& registry, std::string_view progId, const CLSID& clsid) {
  if (progId.empty()) return Ok();
  std::optional<std::string> owner = registry.GetValue(Join(progId, "CLSID"), "");
  if (owner) {
    std::optional<Guid> ownerId = ParseGuid(*owner);
    if (ownerId && *ownerId != clsid) return Ok();
  }
  return registry.DeleteTree(progId);
}

}  // namespace

Status RegisterClass(ClassRegistry& registry, const ClassRegistration& r) {
  const std::string& progId = r.progId;
  const std::string& independent = r.versionIndependentProgId;
  if (!progId.empty() && !ValidProgId(progId)) return InvalidProgId(progId);
  if (!independent.empty() && !ValidProgId(independent)) return InvalidProgId(independent);
  if (r.modulePath.empty()) return Error{EINVAL, "class registry: a class needs its module path"};
  const std::string classKey = ClassKey(r.clsid);
  const std::string braced = FormatGuidBraced(r.clsid);
  const std::string server = Join(classKey, "InprocServer32");

  std::vector<std::function<Status()>> steps = {
      [&] { return registry.SetValue(classKey, "", r.description); },
      [&] { return registry.SetValue(server, "", r.modulePath.string()); },
      [&] {
        return r.threadingModel.empty() ? registry.DeleteValue(server, "ThreadingModel")
                                        : registry.SetValue(server, "ThreadingModel", r.threadingModel);
      },
      [&] { return WriteOrRemove(registry, Join(classKey, "ProgID"), !progId.empty(), progId); },
      [&] { return WriteOrRemove(registry, Join(classKey, "VersionIndependentProgID"), !independent.empty(), independent); },
      [&] { return FlagKey(registry, Join(classKey, "Programmable"), r.programmable); },
      [&] { return FlagKey(registry, Join(classKey, "Control"), r.control); },
      [&] { return FlagKey(registry, Join(classKey, "Insertable"), r.insertable); },
      [&] {
        return WriteOrRemove(registry, Join(classKey, "TypeLib"), r.typeLibId.has_value(),
                             r.typeLibId ? FormatGuidBraced(*r.typeLibId) : "");
      },
      [&] {
        return WriteOrRemove(registry, Join(classKey, "ToolboxBitmap32"), !r.toolboxBitmap32.empty(), r.toolboxBitmap32);
      },
      [&] { return WriteOrRemove(registry, Join(classKey, "MiscStatus"), !r.miscStatus.empty(), r.miscStatus); },
      [&] { return WriteOrRemove(registry, Join(classKey, "Version"), !r.version.empty(), r.version); },
      [&] {
        for (const ClassRegistration::ExtraValue& extra : r.extraValues) {
          if (Status s = registry.SetValue(Join(classKey, extra.subKey), extra.name, extra.value); !s) return s;
        }
        return Ok();
      },
      // The ProgIDs last: by now the class they lead to is complete.
      [&] { return progId.empty() ? Ok() : registry.SetValue(progId, "", r.description); },
      [&] { return progId.empty() ? Ok() : registry.SetValue(Join(progId, "CLSID"), "", braced); },
      [&] { return independent.empty() ? Ok() : registry.SetValue(independent, "", r.description); },
      [&] { return independent.empty() ? Ok() : registry.SetValue(Join(independent, "CLSID"), "", braced); },
      [&] {
        if (independent.empty()) return Ok();
        return WriteOrRemove(registry, Join(independent, "CurVer"), !progId.empty(), progId);
      },
  };
  for (const auto& step : steps) {
    if (Status s = step(); !s) return s;
  }
  return Ok();
}

Status UnregisterClass(ClassRegistry& registry, const CLSID& clsid, std::string_view progId,
                       std::string_view versionIndependentProgId) {
  if (!progId.empty() && !ValidProgId(progId)) return InvalidProgId(progId);
  if (!versionIndependentProgId.empty() && !ValidProgId(versionIndependentProgId)) {
    return InvalidProgId(versionIndependentProgId);
  }
  // The ProgIDs first, so that none is left leading to a class that is gone.
  if (Status s = DeleteProgIdOf(registry, versionIndependentProgId, clsid); !s) return s;
  if (Status s = DeleteProgIdOf(registry, progId, clsid); !s) return s;
  return registry.DeleteTree(ClassKey(clsid));
}

Status RegisterProgIdAlias(ClassRegistry& registry, std::string_view alias, const CLSID& clsid,
                           std::string_view description, std::string_view curVer) {
  if (!ValidProgId(alias)) return InvalidProgId(alias);
  if (Status s = registry.SetValue(alias, "", description); !s) return s;
  if (Status s = registry.SetValue(Join(alias, "CLSID"), "", FormatGuidBraced(clsid)); !s) return s;
  return WriteOrRemove(registry, Join(alias, "CurVer"), !curVer.empty(), curVer);
}

Status UnregisterProgId(ClassRegistry& registry, std::string_view progId, const CLSID& clsid) {
  if (!progId.empty() && !ValidProgId(progId)) return InvalidProgId(progId);
  return DeleteProgIdOf(registry, progId, clsid);
}

namespace {

std::optional<std::string> TypeLibVersionKey(const Guid& typeLibId, std::string_view version) {
  if (version.empty() || !ValidKeyPath(version) || version.find('\\') != std::string_view::npos) return std::nullopt;
  return "TypeLib\\" + FormatGuidBraced(typeLibId) + "\\" + std::string(version);
}

}  // namespace

Status RegisterTypeLib(ClassRegistry& registry, const Guid& typeLibId, std::string_view version,
                       std::string_view helpText, const std::filesystem::path& modulePath) {
  std::optional<std::string> key = TypeLibVersionKey(typeLibId, version);
  if (!key) return Error{EINVAL, "class registry: invalid type library version \"" + std::string(version) + "\""};
  if (Status s = registry.SetValue(*key, "", helpText); !s) return s;
  return registry.SetValue(*key + "\\0\\linux", "", modulePath.string());
}

Status UnregisterTypeLib(ClassRegistry& registry, const Guid& typeLibId, std::string_view version) {
  std::optional<std::string> key = TypeLibVersionKey(typeLibId, version);
  if (!key) return Error{EINVAL, "class registry: invalid type library version \"" + std::string(version) + "\""};
  if (Status s = registry.DeleteTree(*key); !s) return s;
  const std::string library = "TypeLib\\" + FormatGuidBraced(typeLibId);
  if (!registry.SubKeys(library).empty()) return Ok();
  return registry.DeleteTree(library);
}

}  // namespace vorlane::com
