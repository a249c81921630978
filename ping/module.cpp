// The ping component module's entry points.
#include "ping/ping_collection.h"
#include "ping/ping_element.h"
#include "ping/sondrel.h"
#include "platform/com/com_object.h"
#include "platform/com/module_export.h"
#include "platform/com/module_registration.h"

using namespace vorlane::com;
using namespace vorlane::ping;

namespace {

constexpr ModuleClass kClasses[] = {
    {.clsid = kPingClsid,
     .classObject = &ClassObjectOf<PingElement>,
     .description = kPingDescription,
     .progId = kPingProgId,
     .versionIndependentProgId = kPingIndependentProgId,
     .typeLibId = kSondrelTypeLibId,
     .programmable = true},
    {.clsid = kCollPingsClsid,
     .classObject = &ClassObjectOf<PingCollection>,
     .description = kCollPingsDescription,
     .progId = kCollPingsProgId,
     .versionIndependentProgId = kCollPingsIndependentProgId,
     .typeLibId = kSondrelTypeLibId,
     .programmable = true},
};

constexpr ModuleRegistration kModule{
    .classes = kClasses,
    .typeLib = ModuleTypeLib{kSondrelTypeLibId, kSondrelTypeLibVersion, kSondrelTypeLibHelp},
};

}  // namespace

// Ping and notification jobs run module code until they end, even after every object of theirs
// is gone; the helper counts them.
VORLANE_MODULE_ENTRY_POINTS(kModule)
