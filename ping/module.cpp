// The ping component module's entry points.
#include "ping/ping_collection.h"
#include "ping/ping_element.h"
#include "ping/ping_worker.h"
#include "ping/sondrel.h"
#include "platform/com/com_object.h"
#include "platform/com/module_export.h"
#include "platform/com/registry.h"

using vorlane::Result;
using namespace vorlane::com;
using namespace vorlane::ping;

namespace {

struct ClassEntry {
  const CLSID& clsid;
  const char* description;
  const char* progId;
  const char* independentProgId;
};

const ClassEntry kClasses[] = {
    {kPingClsid, kPingDescription, kPingProgId, kPingIndependentProgId},
    {kCollPingsClsid, kCollPingsDescription, kCollPingsProgId, kCollPingsIndependentProgId},
};

}  // namespace

VORLANE_MODULE_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (clsid == kPingClsid) {
    return CatchReturn([&] { return Make<ClassFactory<PingElement>>()->QueryInterface(iid, object); });
  }
  if (clsid == kCollPingsClsid) {
    return CatchReturn([&] { return Make<ClassFactory<PingCollection>>()->QueryInterface(iid, object); });
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

// Workers and notification threads run module code until they end, even after every object of
// theirs is gone.
VORLANE_MODULE_EXPORT HRESULT DllCanUnloadNow() {
  if (RunningThreads() > 0) return S_FALSE;
  return DllCanUnloadNowHelper();
}

VORLANE_MODULE_EXPORT HRESULT DllRegisterServer() {
  Result<std::filesystem::path> path = CurrentModulePath();
  if (!path) return E_UNEXPECTED;
  ClassRegistry registry(ClassRegistryPath());
  for (const ClassEntry& entry : kClasses) {
    ClassRegistration registration;
    registration.clsid = entry.clsid;
    registration.description = entry.description;
    registration.progId = entry.progId;
    registration.versionIndependentProgId = entry.independentProgId;
    registration.modulePath = path.value();
    registration.threadingModel = "Apartment";
    registration.typeLibId = kSondrelTypeLibId;
    registration.programmable = true;
    if (!RegisterClass(registry, registration)) return REGDB_E_WRITEREGDB;
  }
  if (!RegisterTypeLib(registry, kSondrelTypeLibId, kSondrelTypeLibVersion, kSondrelTypeLibHelp, path.value())) {
    return REGDB_E_WRITEREGDB;
  }
  return S_OK;
}

VORLANE_MODULE_EXPORT HRESULT DllUnregisterServer() {
  ClassRegistry registry(ClassRegistryPath());
  HRESULT result = S_OK;
  for (const ClassEntry& entry : kClasses) {
    if (!UnregisterClass(registry, entry.clsid, entry.progId, entry.independentProgId)) result = REGDB_E_WRITEREGDB;
  }
  if (!UnregisterTypeLib(registry, kSondrelTypeLibId, kSondrelTypeLibVersion)) result = REGDB_E_WRITEREGDB;
  return result;
}
