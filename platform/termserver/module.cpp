// The terminal server module's entry points.
#include "platform/com/activation.h"
#include "platform/com/com_object.h"
#include "platform/com/module_export.h"
#include "platform/com/registry.h"
#include "platform/termserver/term_server_contract.h"
#include "platform/termserver/term_server.h"

using vorlane::Result;
using namespace vorlane::com;
using namespace vorlane::termserver;

VORLANE_MODULE_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (clsid != kTermServerClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return CatchReturn([&] { return Make<ClassFactory<TermServer>>()->QueryInterface(iid, object); });
}

// Connection threads run module code until they end, even after their server is gone.
VORLANE_MODULE_EXPORT HRESULT DllCanUnloadNow() {
  if (RunningThreads() > 0) return S_FALSE;
  return DllCanUnloadNowHelper();
}

VORLANE_MODULE_EXPORT HRESULT DllRegisterServer() {
  Result<std::filesystem::path> path = CurrentModulePath();
  if (!path) return E_UNEXPECTED;
  ClassRegistry registry(ClassRegistryPath());
  ClassRegistration registration;
  registration.clsid = kTermServerClsid;
  registration.description = kTermServerDescription;
  registration.progId = kTermServerProgId;
  registration.versionIndependentProgId = kTermServerIndependentProgId;
  registration.modulePath = path.value();
  registration.threadingModel = "Apartment";
  registration.programmable = true;
  if (!RegisterClass(registry, registration)) return REGDB_E_WRITEREGDB;
  return S_OK;
}

VORLANE_MODULE_EXPORT HRESULT DllUnregisterServer() {
  ClassRegistry registry(ClassRegistryPath());
  if (!UnregisterClass(registry, kTermServerClsid, kTermServerProgId, kTermServerIndependentProgId)) {
    return REGDB_E_WRITEREGDB;
  }
  return S_OK;
}
