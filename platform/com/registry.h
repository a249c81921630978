// The class registry: the keys and values that tell the runtime which module serves which class
// (what a Windows host keeps under HKEY_CLASSES_ROOT), kept in one INI file.
//
// Layout of the file: one section per key, named by the key's full path with backslashes
// ("CLSID\{...}\InprocServer32"); the key's default value under the name "@", each named value
// as "name=value". A key without any value still has its (empty) section, so that it exists.
// Key paths and value names match without regard to ASCII case, as registry keys do.
//
// Every single write goes through platform/profile, which replaces the file atomically under a
// cross-process lock: concurrent registrations from several processes never corrupt the file
// or lose each other's values. Operations that touch several keys (DeleteTree, RegisterClass)
// are a sequence of such writes, not one transaction: a concurrent reader may see them half
// done, and a process that dies in the middle leaves them half done (registering again or
// deleting again repairs that).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/result.h"
#include "platform/com/guid.h"

namespace vorlane::com {

// The registry file the runtime and regsvr use, looked up in this order:
//   1. $VORLANE_CLASS_REGISTRY, when set and not empty;
//   2. vorlane-classes.ini in the folder of the running executable, when that file exists;
//   3. the build tree's registry (BuiltInClassRegistryPath()), when it is set and its folder
//      exists, so that programs and tests run from the build tree find the components the
//      build registered;
//   4. otherwise vorlane-classes.ini next to the executable (created by the first registration).
std::filesystem::path ClassRegistryPath();

// The path compiled into the runtime for step 3; empty when none was given.
std::filesystem::path BuiltInClassRegistryPath();

namespace detail {
// The choice ClassRegistryPath() makes, from its inputs (exposed for tests).
std::filesystem::path ChooseClassRegistryPath(std::string_view environment, const std::filesystem::path& executableDir,
                                              const std::filesystem::path& builtIn);
}  // namespace detail

class ClassRegistry {
 public:
  explicit ClassRegistry(std::filesystem::path file);

  const std::filesystem::path& file() const { return file_; }

  // Creates the key and every missing key above it, without values.
  Status CreateKey(std::string_view keyPath);
  // Sets a value ("" names the default value), creating the key and the keys above it. Value
  // names must not start with '@' (reserved for the default value and for bookkeeping) and
  // must be storable as INI keys (no '=', no line breaks, no leading '[' or ';', no blank
  // edges); values must not contain line breaks.
  Status SetValue(std::string_view keyPath, std::string_view name, std::string_view value);
  // The value, or nullopt when the key or the value is missing.
  std::optional<std::string> GetValue(std::string_view keyPath, std::string_view name) const;
  // The named values of the key ("" for the default value), in file order.
  std::vector<std::pair<std::string, std::string>> Values(std::string_view keyPath) const;
  Status DeleteValue(std::string_view keyPath, std::string_view name);

  // True when the key has its own section or any key below it exists.
  bool KeyExists(std::string_view keyPath) const;
  // The names (last path component, as first spelled) of the keys directly below.
  std::vector<std::string> SubKeys(std::string_view keyPath) const;
  // Removes the key and every key below it, deepest first; keys that merely share a prefix
  // ("CLSID\{A}X" next to "CLSID\{A}") are untouched. A missing key is not an error.
  Status DeleteTree(std::string_view keyPath);

 private:
  std::filesystem::path file_;
};

// What a module writes for one of its classes.
struct ClassRegistration {
  // A value to write below the class key: `subKey` is relative to CLSID\{...} ("" for the class
  // key itself), `name` "" for the default value.
  struct ExtraValue {
    std::string subKey;
    std::string name;
    std::string value;
  };

  CLSID clsid;
  std::string description;
  std::string progId;                    // "Lib.Class.1"; empty: no ProgID keys
  std::string versionIndependentProgId;  // "Lib.Class"; empty: none
  std::filesystem::path modulePath;      // absolute path of the shared library
  std::string threadingModel = "Apartment";
  std::optional<Guid> typeLibId;
  bool programmable = false;
  bool control = false;
  bool insertable = false;
  // Default values of the subkeys of the same names; empty: no such subkey.
  std::string toolboxBitmap32;  // "<module path>, <resource id>"
  std::string miscStatus;
  std::string version;
  std::vector<ExtraValue> extraValues;
};

// Writes the class key CLSID\{...} (default = description; ProgID, VersionIndependentProgID,
// Programmable, Control, Insertable, InprocServer32 with ThreadingModel, TypeLib,
// ToolboxBitmap32, MiscStatus, Version) and then the ProgID keys (default = description; CLSID;
// CurVer on the version-independent one). The class key comes first so that a ProgID never
// leads to a class that is not complete. Optional subkeys that a previous registration wrote
// but this one does not flag are removed.
Status RegisterClass(ClassRegistry& registry, const ClassRegistration& registration);

// Removes both ProgID trees and then the class key's tree; the CLSID key itself stays.
Status UnregisterClass(ClassRegistry& registry, const CLSID& clsid, std::string_view progId,
                       std::string_view versionIndependentProgId);

// Writes one more version-independent ProgID for a class: default = description, CLSID, and
// CurVer = `curVer` (none when empty).
Status RegisterProgIdAlias(ClassRegistry& registry, std::string_view alias, const CLSID& clsid,
                           std::string_view description, std::string_view curVer);
// Removes a ProgID tree while it still names this class.
Status UnregisterProgId(ClassRegistry& registry, std::string_view progId, const CLSID& clsid);

// Writes TypeLib\{id}\<version> (default = help text) and TypeLib\{id}\<version>\0\linux
// (default = module path).
Status RegisterTypeLib(ClassRegistry& registry, const Guid& typeLibId, std::string_view version,
                       std::string_view helpText, const std::filesystem::path& modulePath);
// Removes TypeLib\{id}\<version>, and TypeLib\{id} when no other version is left.
Status UnregisterTypeLib(ClassRegistry& registry, const Guid& typeLibId, std::string_view version);

}  // namespace vorlane::com
