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

// Connection threads run module code until they end, even after their server is gone; the
// helper counts them.
VORLANE_MODULE_ENTRY_POINTS(kModule)
