// The TCP client control module's entry points.
#include "platform/com/com_object.h"
#include "platform/com/module_export.h"
#include "platform/com/module_registration.h"
#include "tcpclient/kelpline.h"
#include "tcpclient/kelpline_control.h"

using namespace vorlane::com;
using namespace vorlane::tcpclient;

namespace {

constexpr ModuleClassValue kKelplineExtraValues[] = {{.subKey = "MiscStatus\\1", .value = "132497"}};
constexpr std::string_view kKelplineAliases[] = {kKelplineLegacyProgId};

constexpr ModuleClass kClasses[] = {
    {.clsid = kKelplineClsid,
     .classObject = &ClassObjectOf<KelplineControl>,
     .description = kKelplineDescription,
     .progId = kKelplineProgId,
     .versionIndependentProgId = kKelplineIndependentProgId,
     .typeLibId = kKelplineTypeLibId,
     .programmable = true,
     .control = true,
     .insertable = true,
     .toolboxBitmap32 = "101",
     .miscStatus = "0",
     .version = "1.0",
     .extraValues = kKelplineExtraValues,
     .aliasProgIds = kKelplineAliases},
};

constexpr ModuleRegistration kModule{
    .classes = kClasses,
    .typeLib = ModuleTypeLib{kKelplineTypeLibId, kKelplineTypeLibVersion, kKelplineTypeLibHelp},
};

}  // namespace

VORLANE_MODULE_ENTRY_POINTS(kModule)
