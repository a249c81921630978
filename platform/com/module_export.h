// For the authors of components: the functions a component module exports, and how a module
// learns its own path (for the InprocServer32 entry that DllRegisterServer writes).
//
// A component is a shared library built with hidden visibility (see vorlane_component() in
// cmake/VorlaneComponents.cmake) that defines, with VORLANE_MODULE_EXPORT:
//
//   VORLANE_MODULE_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object);
//   VORLANE_MODULE_EXPORT HRESULT DllCanUnloadNow();      // S_OK when no object or lock is left
//   VORLANE_MODULE_EXPORT HRESULT DllRegisterServer();    // writes its classes to the registry
//   VORLANE_MODULE_EXPORT HRESULT DllUnregisterServer();  // removes them
//
// platform/com/module_registration.h serves the class objects and the registration from one
// table of the module's classes; DllCanUnloadNowHelper (com_object.h) answers for its objects,
// locks and module threads (platform/com/module_thread.h), so each export is one line.
#pragma once

#include <filesystem>

#include "platform/base/result.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"

#define VORLANE_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

namespace vorlane::com {

// The signatures of the exports, as the loader looks them up.
using DllGetClassObjectFn = HRESULT (*)(const CLSID& clsid, const IID& iid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

inline constexpr const char* kDllGetClassObject = "DllGetClassObject";
inline constexpr const char* kDllCanUnloadNow = "DllCanUnloadNow";
inline constexpr const char* kDllRegisterServer = "DllRegisterServer";
inline constexpr const char* kDllUnregisterServer = "DllUnregisterServer";

// The absolute path of the loaded file (shared library or executable) that contains `address`.
Result<std::filesystem::path> ModulePathOf(const void* address);

namespace {
// The path of the module this is compiled into. It has internal linkage on purpose: every
// module gets its own copy, so the address looked up is always inside the caller's module.
inline Result<std::filesystem::path> CurrentModulePath() {
  return ModulePathOf(reinterpret_cast<const void*>(&CurrentModulePath));
}
}  // namespace

}  // namespace vorlane::com
