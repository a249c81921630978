// The terminal server module's entry points.
#include "platform/com/module_registration.h"
#include "platform/termserver/term_server.h"
#include "platform/termserver/term_server_contract.h"

using namespace vorlane::com;
using namespace vorlane::termserver;

namespace {

constexpr ModuleClass kClasses[] = {
    ComponentClass<TermServer>(kTermServerClsid, kTermServerDescription, kTermServerProgId,
                               kTermServerIndependentProgId),
};
constexpr ModuleRegistration kModule{.classes = kClasses};

}  // namespace

// Connection threads run module code until they end, even after their server is gone; the
// helper counts them.
VORLANE_MODULE_ENTRY_POINTS(kModule)
