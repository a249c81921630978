// The HTTP client component module's entry points.
#include "platform/com/module_registration.h"
#include "platform/httpclient/http_client.h"
#include "platform/httpclient/httpclient.h"

using namespace vorlane::com;
using namespace vorlane::httpclient;

namespace {

constexpr ModuleTypeLib kTypeLib{kHttpClientTypeLibId, kHttpClientTypeLibVersion, kHttpClientTypeLibHelp};
constexpr ModuleClass kClasses[] = {
    ComponentClass<HttpClient>(kHttpClientClsid, kHttpClientDescription, kHttpClientProgId,
                               kHttpClientIndependentProgId, kTypeLib),
};
constexpr ModuleRegistration kModule{.classes = kClasses, .typeLib = kTypeLib};

}  // namespace

// Requests that do not block run as module jobs until they end; the helper counts them.
VORLANE_MODULE_ENTRY_POINTS(kModule)
