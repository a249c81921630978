// The TCP check component module's entry points.
#include "platform/com/com_object.h"
#include "platform/com/module_export.h"
#include "platform/com/module_registration.h"
#include "tcpcheck/portwick.h"
#include "tcpcheck/tcp_check_collection.h"
#include "tcpcheck/tcp_check_job.h"

using namespace vorlane::com;
using namespace vorlane::tcpcheck;

namespace {

constexpr ModuleClass kClasses[] = {
    {.clsid = kTcpJobClsid,
     .classObject = &TcpJobClassObject,
     .description = kTcpJobDescription,
     .progId = kTcpJobProgId,
     .versionIndependentProgId = kTcpJobIndependentProgId,
     .typeLibId = kPortwickTypeLibId,
     .programmable = true},
    {.clsid = kTcpCollectionClsid,
     .classObject = &ClassObjectOf<TcpCheckCollection>,
     .description = kTcpCollectionDescription,
     .progId = kTcpCollectionProgId,
     .versionIndependentProgId = kTcpCollectionIndependentProgId,
     .typeLibId = kPortwickTypeLibId,
     .programmable = true},
};

constexpr ModuleRegistration kModule{
    .classes = kClasses,
    .typeLib = ModuleTypeLib{kPortwickTypeLibId, kPortwickTypeLibVersion, kPortwickTypeLibHelp},
};

}  // namespace

// Workers run module code until they end, even after every object of theirs is gone; the
// helper counts them.
VORLANE_MODULE_ENTRY_POINTS(kModule)
