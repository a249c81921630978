// The HTTP client component module's entry points.
#include "platform/com/com_object.h"
#include "platform/com/module_export.h"
#include "platform/com/module_registration.h"
#include "platform/httpclient/http_client.h"
#include "platform/httpclient/httpclient.h"

using namespace vorlane::com;
using namespace vorlane::httpclient;

namespace {

constexpr ModuleClass kClasses[] = {
    {.clsid = kHttpClientClsid,
     .classObject = &ClassObjectOf<HttpClient>,
     .description = kHttpClientDescription,
     .progId = kHttpClientProgId,
     .versionIndependentProgId = kHttpClientIndependentProgId,
     .typeLibId = kHttpClientTypeLibId,
     .programmable = true},
};

constexpr ModuleRegistration kModule{
    .classes = kClasses,
    .typeLib = ModuleTypeLib{kHttpClientTypeLibId, kHttpClientTypeLibVersion, kHttpClientTypeLibHelp},
};

}  // namespace

// Requests that do not block run as module jobs until they end; the helper counts them.
VORLANE_MODULE_ENTRY_POINTS(kModule)
