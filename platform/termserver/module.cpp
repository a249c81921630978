// The terminal server module's entry points.
#include "platform/com/com_object.h"
#include "platform/com/module_export.h"
#include "platform/com/module_registration.h"
#include "platform/termserver/term_server_contract.h"
#include "platform/termserver/term_server.h"

using namespace vorlane::com;
using namespace vorlane::termserver;

namespace {

constexpr ModuleClass kClasses[] = {
    {.clsid = kTermServerClsid,
     .classObject = &ClassObjectOf<TermServer>,
     .description = kTermServerDescription,
     .progId = kTermServerProgId,
     .versionIndependentProgId = kTermServerIndependentProgId,
     .programmable = true},
};

constexpr ModuleRegistration kModule{.classes = kClasses};

}  // namespace

VORLANE_MODULE_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
  return GetModuleClassObject(kModule, clsid, iid, object);
}

// Connection threads run module code until they end, even after their server is gone; the
// helper counts them.
VORLANE_MODULE_EXPORT HRESULT DllCanUnloadNow() { return DllCanUnloadNowHelper(); }

VORLANE_MODULE_EXPORT HRESULT DllRegisterServer() { return RegisterModule(kModule); }

VORLANE_MODULE_EXPORT HRESULT DllUnregisterServer() { return UnregisterModule(kModule); }
