// The TCP client control module's entry points.
#include "platform/com/module_registration.h"
#include "tcpclient/kelpline.h"
#include "tcpclient/kelpline_control.h"

using namespace vorlane::com;
using namespace vorlane::tcpclient;

namespace {

constexpr ModuleClassValue kKelplineExtraValues[] = {{.subKey = "MiscStatus\\1", .value = "132497"}};
constexpr std::string_view kKelplineAliases[] = {kKelplineLegacyProgId};

constexpr ModuleTypeLib kTypeLib{kKelplineTypeLibId, kKelplineTypeLibVersion, kKelplineTypeLibHelp};
// A control: the keys that make containers offer it, beside those of every component class.
constexpr ModuleClass KelplineClass() {
  ModuleClass entry = ComponentClass<KelplineControl>(kKelplineClsid, kKelplineDescription, kKelplineProgId,
                                                      kKelplineIndependentProgId, kTypeLib);
  entry.control = true;
  entry.insertable = true;
  entry.toolboxBitmap32 = "101";
  entry.miscStatus = "0";
  entry.version = "1.0";
  entry.extraValues = kKelplineExtraValues;
  entry.aliasProgIds = kKelplineAliases;
  return entry;
}
constexpr ModuleClass kClasses[] = {KelplineClass()};
constexpr ModuleRegistration kModule{.classes = kClasses, .typeLib = kTypeLib};

}  // namespace

VORLANE_MODULE_ENTRY_POINTS(kModule)
