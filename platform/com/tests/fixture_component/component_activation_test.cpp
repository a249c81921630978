// Activation of a real component: regsvr writes it into a registry file of the test's own,
// activation loads it with dlopen, and unloading is checked against the loader itself.
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "platform/com/activation.h"
#include "platform/com/registry.h"
#include "platform/com/tests/fixture_component/counter.h"
#include "platform/com/tests/fixture_component/test_support.h"

namespace vorlane::com {
namespace {

using testing::ICounter;
using testing::IsLoaded;
using testing::kCounterClsid;
using testing::RunProgram;
using testing::ScopedEnv;
using testing::TempDir;

const std::filesystem::path kComponent = std::filesystem::canonical(VORLANE_TEST_COMPONENT);
const std::string kClassKey = "CLSID\\" + FormatGuidBraced(kCounterClsid);

class ActivationWithComponent : public ::testing::Test {
 protected:
  void SetUp() override {
    // Whatever an earlier test left loaded goes first, so each test starts from "not loaded".
    CoFreeUnusedLibraries();
    ASSERT_FALSE(IsLoaded(kComponent));
    testing::ProgramResult run = RunProgram({VORLANE_TEST_REGSVR, kComponent.string()});
    ASSERT_EQ(run.exitCode, 0) << run.output;
  }
  void TearDown() override { CoFreeUnusedLibraries(); }

  ComPtr<ICounter> Create() {
    ComPtr<ICounter> counter;
    EXPECT_EQ(CoCreateInstance(kCounterClsid, &counter), S_OK);
    return counter;
  }

  TempDir dir_;
  std::filesystem::path file_ = dir_ / "classes.ini";
  ScopedEnv env_{"VORLANE_CLASS_REGISTRY", file_.string()};
  ClassRegistry registry_{file_};
};

int32_t ValueOf(const ComPtr<ICounter>& counter) {
  int32_t value = -1;
  EXPECT_EQ(counter->Value(&value), S_OK);
  return value;
}

TEST_F(ActivationWithComponent, RegsvrWritesTheModulesRegistration) {
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\InprocServer32", ""), kComponent.string());
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\InprocServer32", "ThreadingModel"), "Both");
  EXPECT_EQ(registry_.GetValue("VorlaneTest.Counter\\CurVer", ""), "VorlaneTest.Counter.1");
  EXPECT_EQ(registry_.GetValue("VorlaneTest.Counter.1\\CLSID", ""), FormatGuidBraced(kCounterClsid));
  EXPECT_TRUE(registry_.KeyExists(kClassKey + "\\Programmable"));
  EXPECT_EQ(registry_.GetValue("TypeLib\\" + FormatGuidBraced(testing::kCounterTypeLib) + "\\1.0\\0\\linux", ""),
            kComponent.string());
}

TEST_F(ActivationWithComponent, CreatesByClsidAndByProgIdAndCallsTheObject) {
  ComPtr<ICounter> byClsid = Create();
  ASSERT_TRUE(byClsid);
  EXPECT_TRUE(IsLoaded(kComponent));
  EXPECT_EQ(byClsid->Increment(), S_OK);
  EXPECT_EQ(byClsid->Increment(), S_OK);
  EXPECT_EQ(ValueOf(byClsid), 2);

  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(std::string_view("VorlaneTest.Counter"), &clsid), S_OK);
  EXPECT_EQ(clsid, kCounterClsid);
  ComPtr<ICounter> byProgId;
  ASSERT_EQ(CreateInstanceByProgId("VorlaneTest.Counter", ICounter::kIid, byProgId.put_void()), S_OK);
  EXPECT_EQ(byProgId->Increment(), S_OK);
  EXPECT_EQ(ValueOf(byProgId), 1);  // a new object, not the first one
  EXPECT_EQ(ValueOf(byClsid), 2);
  ComPtr<IUnknown> unknown = byProgId.As<IUnknown>();
  EXPECT_TRUE(unknown);
  ComPtr<IDispatch> none;
  EXPECT_EQ(byProgId.As(&none), E_NOINTERFACE);
}

TEST_F(ActivationWithComponent, UnloadsOnlyWhenNoObjectOrLockIsLeftAndReloads) {
  ComPtr<ICounter> counter = Create();
  ASSERT_TRUE(counter);
  CoFreeUnusedLibraries();
  EXPECT_TRUE(IsLoaded(kComponent));
  EXPECT_EQ(counter->Increment(), S_OK);  // still callable: the code is still mapped
  counter = nullptr;
  CoFreeUnusedLibraries();
  EXPECT_FALSE(IsLoaded(kComponent));

  // A class factory counts, and so does a server lock after the factory is gone.
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(kCounterClsid, IClassFactory::kIid, factory.put_void()), S_OK);
  EXPECT_TRUE(IsLoaded(kComponent));
  CoFreeUnusedLibraries();
  EXPECT_TRUE(IsLoaded(kComponent));
  EXPECT_EQ(factory->LockServer(1), S_OK);
  factory = nullptr;
  CoFreeUnusedLibraries();
  EXPECT_TRUE(IsLoaded(kComponent));
  ASSERT_EQ(CoGetClassObject(kCounterClsid, IClassFactory::kIid, factory.put_void()), S_OK);
  EXPECT_EQ(factory->LockServer(0), S_OK);
  factory = nullptr;
  CoFreeUnusedLibraries();
  EXPECT_FALSE(IsLoaded(kComponent));

  // Loaded again on demand, with fresh module state.
  ComPtr<ICounter> again = Create();
  ASSERT_TRUE(again);
  EXPECT_EQ(ValueOf(again), 0);
}

TEST_F(ActivationWithComponent, RefusesAggregationAndUnknownInterfaces) {
  ComPtr<IUnknown> outer;
  ASSERT_EQ(CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, IUnknown::kIid, outer.put_void()), S_OK);
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(kCounterClsid, outer.get(), CLSCTX_INPROC_SERVER, IUnknown::kIid, &object),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, IDispatch::kIid, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  // The module is asked for a class it does not serve.
  const CLSID stranger = GuidLiteral("C137E047-9615-4577-A54F-3BDF30BAA970");
  ASSERT_TRUE(registry_.SetValue("CLSID\\" + FormatGuidBraced(stranger) + "\\InprocServer32", "", kComponent.string()).ok());
  EXPECT_EQ(CoGetClassObject(stranger, IClassFactory::kIid, &object), CLASS_E_CLASSNOTAVAILABLE);
}

TEST_F(ActivationWithComponent, RelativeModulePathCountsFromTheRegistryFolder) {
  std::filesystem::copy_file(kComponent, dir_ / "counter-copy.so");
  ASSERT_TRUE(registry_.SetValue(kClassKey + "\\InprocServer32", "", "counter-copy.so").ok());
  ComPtr<ICounter> counter = Create();
  ASSERT_TRUE(counter);
  EXPECT_TRUE(IsLoaded(dir_ / "counter-copy.so"));
  EXPECT_FALSE(IsLoaded(kComponent));
  counter = nullptr;
  CoFreeUnusedLibraries();
  EXPECT_FALSE(IsLoaded(dir_ / "counter-copy.so"));
}

TEST_F(ActivationWithComponent, RegsvrUnregisterRemovesTheClass) {
  testing::ProgramResult run = RunProgram({VORLANE_TEST_REGSVR, "-u", kComponent.string()});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_FALSE(registry_.KeyExists(kClassKey));
  EXPECT_FALSE(registry_.KeyExists("VorlaneTest.Counter"));
  EXPECT_FALSE(registry_.KeyExists("VorlaneTest.Counter.1"));
  EXPECT_FALSE(registry_.KeyExists("TypeLib\\" + FormatGuidBraced(testing::kCounterTypeLib)));
  EXPECT_TRUE(registry_.KeyExists("CLSID"));
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(kCounterClsid, nullptr, CLSCTX_INPROC_SERVER, ICounter::kIid, &object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CreateInstanceByProgId("VorlaneTest.Counter", ICounter::kIid, &object), CO_E_CLASSSTRING);
}

// Threads that load the module at the same moment end up sharing one loaded module: if the
// extra loads were not closed again, the module could never unload.
TEST_F(ActivationWithComponent, ConcurrentFirstLoadsShareOneModule) {
  constexpr int kThreads = 4;
  std::vector<ComPtr<ICounter>> counters(kThreads);
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      EXPECT_EQ(CoCreateInstance(kCounterClsid, &counters[t]), S_OK);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const ComPtr<ICounter>& counter : counters) {
    ASSERT_TRUE(counter);
    EXPECT_EQ(counter->Increment(), S_OK);
  }
  counters.clear();
  CoFreeUnusedLibraries();
  EXPECT_FALSE(IsLoaded(kComponent));
}

// Many threads create, use and release objects while asking for unused modules to go. A server
// lock held meanwhile keeps the module: releasing an object while another thread unloads is
// only safe once the Release call has returned, which no module can promise.
TEST_F(ActivationWithComponent, ConcurrentUseWhileFreeingKeepsALockedModule) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(CoGetClassObject(kCounterClsid, IClassFactory::kIid, factory.put_void()), S_OK);
  ASSERT_EQ(factory->LockServer(1), S_OK);
  factory = nullptr;
  constexpr int kThreads = 4;
  constexpr int kRounds = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kRounds; ++i) {
        ComPtr<ICounter> counter;
        ASSERT_EQ(CoCreateInstance(kCounterClsid, &counter), S_OK);
        EXPECT_EQ(counter->Increment(), S_OK);
        EXPECT_EQ(ValueOf(counter), 1);
        counter = nullptr;
        CoFreeUnusedLibraries();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(IsLoaded(kComponent));
  ASSERT_EQ(CoGetClassObject(kCounterClsid, IClassFactory::kIid, factory.put_void()), S_OK);
  ASSERT_EQ(factory->LockServer(0), S_OK);
  factory = nullptr;
  CoFreeUnusedLibraries();
  EXPECT_FALSE(IsLoaded(kComponent));
}

// The build registered the component into the build tree's registry by itself, and programs
// of the build tree find that registry without being told.
TEST(ActivationBuildTree, ComponentIsRegisteredByTheBuild) {
  ScopedEnv unset("VORLANE_CLASS_REGISTRY", std::nullopt);
  EXPECT_EQ(ClassRegistryPath(), std::filesystem::path(VORLANE_TEST_BUILD_REGISTRY));
  EXPECT_EQ(BuiltInClassRegistryPath(), std::filesystem::path(VORLANE_TEST_BUILD_REGISTRY));
  ClassRegistry registry(ClassRegistryPath());
  EXPECT_EQ(registry.GetValue(kClassKey + "\\InprocServer32", ""), kComponent.string());
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(std::string_view("VorlaneTest.Counter"), &clsid), S_OK);
  EXPECT_EQ(clsid, kCounterClsid);
}

}  // namespace
}  // namespace vorlane::com
