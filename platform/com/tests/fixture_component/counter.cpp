// A minimal component written by hand, without the object helpers, so that activation is
// tested against exactly what the module contract demands and nothing more.
#include "platform/com/tests/fixture_component/counter.h"

#include <atomic>

#include "platform/com/module_export.h"
#include "platform/com/registry.h"

namespace vorlane::com::testing {
namespace {

// Live objects (counters and factories) and LockServer locks: the module may go when both are 0.
std::atomic<int32_t> g_objects{0};
std::atomic<int32_t> g_locks{0};

template <class Self, class Interface>
class RefCounted : public Interface {
 public:
  RefCounted() { g_objects.fetch_add(1); }
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IUnknown::kIid || iid == Interface::kIid) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.fetch_add(1) + 1; }
  uint32_t Release() override {
    uint32_t left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete static_cast<Self*>(this);
    return left;
  }

 protected:
  ~RefCounted() { g_objects.fetch_sub(1); }

 private:
  std::atomic<uint32_t> refs_{1};
};

class Counter final : public RefCounted<Counter, ICounter> {
 public:
  HRESULT Increment() override {
    value_.fetch_add(1);
    return S_OK;
  }
  HRESULT Value(int32_t* value) override {
    if (!value) return E_POINTER;
    *value = value_.load();
    return S_OK;
  }

 private:
  std::atomic<int32_t> value_{0};
};

class CounterFactory final : public RefCounted<CounterFactory, IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* counter = new Counter;
    HRESULT hr = counter->QueryInterface(iid, object);
    counter->Release();
    return hr;
  }
  HRESULT LockServer(int32_t lock) override {
    if (lock) {
      g_locks.fetch_add(1);
    } else {
      g_locks.fetch_sub(1);
    }
    return S_OK;
  }
};

}  // namespace
}  // namespace vorlane::com::testing

using vorlane::Result;
using namespace vorlane::com;
using namespace vorlane::com::testing;

VORLANE_MODULE_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != kCounterClsid) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new CounterFactory;
  HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

VORLANE_MODULE_EXPORT HRESULT DllCanUnloadNow() { return g_objects.load() == 0 && g_locks.load() == 0 ? S_OK : S_FALSE; }

VORLANE_MODULE_EXPORT HRESULT DllRegisterServer() {
  Result<std::filesystem::path> path = CurrentModulePath();
  if (!path) return E_UNEXPECTED;
  ClassRegistry registry(ClassRegistryPath());
  ClassRegistration registration;
  registration.clsid = kCounterClsid;
  registration.description = kCounterDescription;
  registration.progId = kCounterProgId;
  registration.versionIndependentProgId = kCounterIndependentProgId;
  registration.modulePath = path.value();
  registration.threadingModel = "Both";
  registration.typeLibId = kCounterTypeLib;
  registration.programmable = true;
  if (!RegisterClass(registry, registration)) return REGDB_E_WRITEREGDB;
  if (!RegisterTypeLib(registry, kCounterTypeLib, "1.0", "Vorlane test counter types", path.value())) {
    return REGDB_E_WRITEREGDB;
  }
  return S_OK;
}

VORLANE_MODULE_EXPORT HRESULT DllUnregisterServer() {
  ClassRegistry registry(ClassRegistryPath());
  if (!UnregisterClass(registry, kCounterClsid, kCounterProgId, kCounterIndependentProgId)) return REGDB_E_WRITEREGDB;
  if (!UnregisterTypeLib(registry, kCounterTypeLib, "1.0")) return REGDB_E_WRITEREGDB;
  return S_OK;
}
