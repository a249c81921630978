// A component module's classes as one constant table, and the module entry points that serve
// from it: DllGetClassObject, DllCanUnloadNow, DllRegisterServer and DllUnregisterServer.
//
//   constexpr ModuleTypeLib kTypeLib{kClockTypeLibId, "1.0", "Clock Library"};
//   constexpr ModuleClass kClasses[] = {
//       ComponentClass<Clock>(kClockClsid, "Clock", "Lib.Clock.1", "Lib.Clock", kTypeLib),
//   };
//   constexpr ModuleRegistration kModule{.classes = kClasses, .typeLib = kTypeLib};
//   VORLANE_MODULE_ENTRY_POINTS(kModule)
//
// A module whose entry points must do more writes them out itself, each calling the function the
// macro calls.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string_view>

#include "platform/base/result.h"
#include "platform/com/com_object.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/module_export.h"

namespace vorlane::com {

// Hands out the class object of one class: the contract of DllGetClassObject once the class
// id has matched (`object` is not null and already cleared).
using ClassObjectFunction = HRESULT (*)(const IID& iid, void** object);

// The class object of T, a ClassFactory<T>. A template instantiated in the module that names
// it, so the factory counts among that module's objects.
template <class T>
HRESULT ClassObjectOf(const IID& iid, void** object) {
  return Make<ClassFactory<T>>()->QueryInterface(iid, object);
}

// A value below a class key that the fields of ModuleClass do not cover: `subKey` relative to
// CLSID\{...} ("" for the class key itself), `name` "" for the default value.
struct ModuleClassValue {
  std::string_view subKey{};
  std::string_view name{};
  std::string_view value{};
};

// One class of the module: how to make its class object and what registration writes for it.
// Empty texts write nothing (and registering again removes what an earlier registration wrote).
struct ModuleClass {
  CLSID clsid{};
  ClassObjectFunction classObject = nullptr;  // null: registered, not served by this table
  std::string_view description{};
  std::string_view progId{};                    // "Lib.Class.1"
  std::string_view versionIndependentProgId{};  // "Lib.Class"; CurVer names progId
  std::string_view threadingModel = "Apartment";
  std::optional<Guid> typeLibId{};
  bool programmable = false;
  bool control = false;
  bool insertable = false;
  // Default values of the class key's subkeys of the same names. The toolbox bitmap is the
  // resource id within the module ("<module path>, <id>" is written).
  std::string_view toolboxBitmap32{};
  std::string_view miscStatus{};
  std::string_view version{};
  std::span<const ModuleClassValue> extraValues{};
  // Further version-independent ProgIDs of the same class, each with CurVer naming progId.
  std::span<const std::string_view> aliasProgIds{};
};

// The module's type library: TypeLib\{id}\<version> with its help text and the module path.
struct ModuleTypeLib {
  Guid id{};
  std::string_view version{};
  std::string_view helpText{};
};

// The row of a programmable class of a component: its class id, description and two ProgIDs,
// the module's type library (when it has one), served by `classObject`. Rows that need more
// (a control's keys) set the further fields themselves.
constexpr ModuleClass ComponentClass(ClassObjectFunction classObject, const CLSID& clsid, std::string_view description,
                                     std::string_view progId, std::string_view versionIndependentProgId,
                                     const std::optional<ModuleTypeLib>& typeLib = std::nullopt) {
  ModuleClass entry{.clsid = clsid,
                    .classObject = classObject,
                    .description = description,
                    .progId = progId,
                    .versionIndependentProgId = versionIndependentProgId,
                    .programmable = true};
  if (typeLib) entry.typeLibId = typeLib->id;
  return entry;
}
// The same, served by T's class factory.
template <class T>
constexpr ModuleClass ComponentClass(const CLSID& clsid, std::string_view description, std::string_view progId,
                                     std::string_view versionIndependentProgId,
                                     const std::optional<ModuleTypeLib>& typeLib = std::nullopt) {
  return ComponentClass(&ClassObjectOf<T>, clsid, description, progId, versionIndependentProgId, typeLib);
}

struct ModuleRegistration {
  std::span<const ModuleClass> classes{};
  std::optional<ModuleTypeLib> typeLib{};
};

// What DllRegisterServer returns: E_UNEXPECTED when the module path is unknown,
// REGDB_E_WRITEREGDB when a write fails (registration stops there), S_OK otherwise. Classes
// are written in table order, the type library last.
HRESULT RegisterModuleClasses(const ModuleRegistration& module, const Result<std::filesystem::path>& modulePath);

// What DllUnregisterServer returns: every class and the type library are removed even when one
// of them fails; REGDB_E_WRITEREGDB when any did.
HRESULT UnregisterModule(const ModuleRegistration& module);

// What DllGetClassObject returns for a module served by `module`'s table: E_POINTER for a null
// out-parameter, CLASS_E_CLASSNOTAVAILABLE for a class it does not serve, and never an
// exception. Hidden: the class objects are made by the module's own code.
[[gnu::visibility("hidden")]] inline HRESULT GetModuleClassObject(const ModuleRegistration& module, const CLSID& clsid,
                                                                  const IID& iid, void** object) noexcept {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  for (const ModuleClass& entry : module.classes) {
    if (entry.clsid == clsid && entry.classObject != nullptr) {
      return CatchReturn([&] { return entry.classObject(iid, object); });
    }
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

namespace {
// Registers with the path of the module this is compiled into (internal linkage, as
// CurrentModulePath, so that the path is always the caller's).
inline HRESULT RegisterModule(const ModuleRegistration& module) {
  return RegisterModuleClasses(module, CurrentModulePath());
}
}  // namespace

}  // namespace vorlane::com

// The four entry points of a module served from `module` (a ModuleRegistration constant of the
// module). DllCanUnloadNow answers from the module's object count, which also counts the threads
// started through module_thread.h, so a module is never unloaded under code of its own.
#define VORLANE_MODULE_ENTRY_POINTS(module)                                                              \
  VORLANE_MODULE_EXPORT ::vorlane::com::HRESULT DllGetClassObject(const ::vorlane::com::CLSID& clsid,     \
                                                                 const ::vorlane::com::IID& iid,         \
                                                                 void** object) {                        \
    return ::vorlane::com::GetModuleClassObject(module, clsid, iid, object);                            \
  }                                                                                                     \
  VORLANE_MODULE_EXPORT ::vorlane::com::HRESULT DllCanUnloadNow() {                                      \
    return ::vorlane::com::DllCanUnloadNowHelper();                                                     \
  }                                                                                                     \
  VORLANE_MODULE_EXPORT ::vorlane::com::HRESULT DllRegisterServer() {                                    \
    return ::vorlane::com::RegisterModule(module);                                                      \
  }                                                                                                     \
  VORLANE_MODULE_EXPORT ::vorlane::com::HRESULT DllUnregisterServer() {                                  \
    return ::vorlane::com::UnregisterModule(module);                                                    \
  }
