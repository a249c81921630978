#include "platform/com/module_registration.h"

#include <string>

#include "platform/com/registry.h"

namespace vorlane::com {
namespace {

ClassRegistration RegistrationOf(const ModuleClass& entry, const std::filesystem::path& modulePath) {
  ClassRegistration registration;
  registration.clsid = entry.clsid;
  registration.description = entry.description;
  registration.progId = entry.progId;
  registration.versionIndependentProgId = entry.versionIndependentProgId;
  registration.modulePath = modulePath;
  registration.threadingModel = entry.threadingModel;
  registration.typeLibId = entry.typeLibId;
  registration.programmable = entry.programmable;
  registration.control = entry.control;
  registration.insertable = entry.insertable;
  if (!entry.toolboxBitmap32.empty()) {
    registration.toolboxBitmap32 = modulePath.string() + ", " + std::string(entry.toolboxBitmap32);
  }
  registration.miscStatus = entry.miscStatus;
  registration.version = entry.version;
  for (const ModuleClassValue& extra : entry.extraValues) {
    registration.extraValues.push_back({std::string(extra.subKey), std::string(extra.name), std::string(extra.value)});
  }
  return registration;
}

}  // namespace

HRESULT RegisterModuleClasses(const ModuleRegistration& module, const Result<std::filesystem::path>& modulePath) {
  if (!modulePath) return E_UNEXPECTED;
  return CatchReturn([&] {
    ClassRegistry registry(ClassRegistryPath());
    for (const ModuleClass& entry : module.classes) {
      if (!RegisterClass(registry, RegistrationOf(entry, modulePath.value()))) return REGDB_E_WRITEREGDB;
      for (std::string_view alias : entry.aliasProgIds) {
        if (!RegisterProgIdAlias(registry, alias, entry.clsid, entry.description, entry.progId)) {
          return REGDB_E_WRITEREGDB;
        }
      }
    }
    if (const std::optional<ModuleTypeLib>& typeLib = module.typeLib) {
      if (!RegisterTypeLib(registry, typeLib->id, typeLib->version, typeLib->helpText, modulePath.value())) {
        return REGDB_E_WRITEREGDB;
      }
    }
    return S_OK;
  });
}

HRESULT UnregisterModule(const ModuleRegistration& module) {
  return CatchReturn([&] {
    ClassRegistry registry(ClassRegistryPath());
    HRESULT result = S_OK;
    for (const ModuleClass& entry : module.classes) {
      for (std::string_view alias : entry.aliasProgIds) {
        if (!UnregisterProgId(registry, alias, entry.clsid)) result = REGDB_E_WRITEREGDB;
      }
      if (!UnregisterClass(registry, entry.clsid, entry.progId, entry.versionIndependentProgId)) {
        result = REGDB_E_WRITEREGDB;
      }
    }
    if (const std::optional<ModuleTypeLib>& typeLib = module.typeLib) {
      if (!UnregisterTypeLib(registry, typeLib->id, typeLib->version)) result = REGDB_E_WRITEREGDB;
    }
    return result;
  });
}

}  // namespace vorlane::com
