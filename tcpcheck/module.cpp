// The TCP check component module's entry points.
#include "platform/com/module_registration.h"
#include "tcpcheck/portwick.h"
#include "tcpcheck/tcp_check_collection.h"
#include "tcpcheck/tcp_check_job.h"

using namespace vorlane::com;
using namespace vorlane::tcpcheck;

namespace {

constexpr ModuleTypeLib kTypeLib{kPortwickTypeLibId, kPortwickTypeLibVersion, kPortwickTypeLibHelp};
constexpr ModuleClass kClasses[] = {
    ComponentClass(&TcpJobClassObject, kTcpJobClsid, kTcpJobDescription, kTcpJobProgId, kTcpJobIndependentProgId,
                   kTypeLib),
    ComponentClass<TcpCheckCollection>(kTcpCollectionClsid, kTcpCollectionDescription, kTcpCollectionProgId,
                                       kTcpCollectionIndependentProgId, kTypeLib),
};
constexpr ModuleRegistration kModule{.classes = kClasses, .typeLib = kTypeLib};

}  // namespace

// Workers run module code until they end, even after every object of theirs is gone; the
// helper counts them.
VORLANE_MODULE_ENTRY_POINTS(kModule)
