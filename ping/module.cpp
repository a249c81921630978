// The ping component module's entry points.
#include "ping/ping_collection.h"
#include "ping/ping_element.h"
#include "ping/sondrel.h"
#include "platform/com/module_registration.h"

using namespace vorlane::com;
using namespace vorlane::ping;

namespace {

constexpr ModuleTypeLib kTypeLib{kSondrelTypeLibId, kSondrelTypeLibVersion, kSondrelTypeLibHelp};
constexpr ModuleClass kClasses[] = {
    ComponentClass<PingElement>(kPingClsid, kPingDescription, kPingProgId, kPingIndependentProgId, kTypeLib),
    ComponentClass<PingCollection>(kCollPingsClsid, kCollPingsDescription, kCollPingsProgId,
                                   kCollPingsIndependentProgId, kTypeLib),
};
constexpr ModuleRegistration kModule{.classes = kClasses, .typeLib = kTypeLib};

}  // namespace

// Ping and notification jobs run module code until they end, even after every object of theirs
// is gone; the helper counts them.
VORLANE_MODULE_ENTRY_POINTS(kModule)
