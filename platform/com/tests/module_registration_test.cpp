// A module's class table: the registration it writes and removes (against RegisterClass and
// RegisterTypeLib called by hand, key for key), its failure codes, and the class objects it
// hands out.
#include "platform/com/module_registration.h"

#include <gtest/gtest.h>

#include <fstream>
#include <new>
#include <string>

#include "platform/com/registry.h"
#include "platform/com/tests/fixture_component/test_support.h"

namespace vorlane::com {
namespace {

using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempDir;

constexpr CLSID kFirst = GuidLiteral("7F3E3C52-4C1B-4A8E-9E0B-2D6A1C5B8E01");
constexpr CLSID kSecond = GuidLiteral("7F3E3C52-4C1B-4A8E-9E0B-2D6A1C5B8E02");
constexpr CLSID kUnserved = GuidLiteral("7F3E3C52-4C1B-4A8E-9E0B-2D6A1C5B8E03");
constexpr Guid kTypeLib = GuidLiteral("7F3E3C52-4C1B-4A8E-9E0B-2D6A1C5B8E10");
const std::filesystem::path kModulePath = "/opt/vorlane/lib/libsample.so";

// The objects the table hands out: a bare IUnknown is all these tests need.
class Plain final : public ComObject<Plain, IUnknown> {
 public:
  Plain() = default;

 private:
  ~Plain() override = default;
};

HRESULT ThrowsBadAlloc(const IID&, void**) { throw std::bad_alloc(); }

constexpr ModuleClass kClasses[] = {
    {.clsid = kFirst,
     .classObject = &ClassObjectOf<Plain>,
     .description = "First sample",
     .progId = "Sample.First.1",
     .versionIndependentProgId = "Sample.First",
     .typeLibId = kTypeLib,
     .programmable = true},
    {.clsid = kSecond,
     .classObject = &ThrowsBadAlloc,
     .description = "Second sample",
     .progId = "Sample.Second.1",
     .versionIndependentProgId = "Sample.Second",
     .threadingModel = "Both",
     .control = true,
     .insertable = true,
     .toolboxBitmap32 = "2",
     .miscStatus = "0",
     .version = "1.0"},
    {.clsid = kUnserved, .description = "Registered only", .threadingModel = ""},
};

constexpr ModuleRegistration kModule{
    .classes = kClasses,
    .typeLib = ModuleTypeLib{kTypeLib, "1.0", "Sample types"},
};

class ModuleRegistrationTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::filesystem::path file_ = dir_ / "classes.ini";
  ScopedEnv registryFile_{"VORLANE_CLASS_REGISTRY", file_.string()};
};

// The table writes exactly what the registry functions write when called one class at a time.
TEST_F(ModuleRegistrationTest, WritesWhatTheRegistryFunctionsWriteByHand) {
  ASSERT_EQ(RegisterModuleClasses(kModule, kModulePath), S_OK);
  const std::string written = ReadFile(file_);

  const std::filesystem::path expectedFile = dir_ / "expected.ini";
  ClassRegistry expected(expectedFile);
  ClassRegistration first;
  first.clsid = kFirst;
  first.description = "First sample";
  first.progId = "Sample.First.1";
  first.versionIndependentProgId = "Sample.First";
  first.modulePath = kModulePath;
  first.typeLibId = kTypeLib;
  first.programmable = true;
  ASSERT_TRUE(RegisterClass(expected, first).ok());
  ClassRegistration second;
  second.clsid = kSecond;
  second.description = "Second sample";
  second.progId = "Sample.Second.1";
  second.versionIndependentProgId = "Sample.Second";
  second.modulePath = kModulePath;
  second.threadingModel = "Both";
  second.control = true;
  second.insertable = true;
  second.toolboxBitmap32 = "/opt/vorlane/lib/libsample.so, 2";
  second.miscStatus = "0";
  second.version = "1.0";
  ASSERT_TRUE(RegisterClass(expected, second).ok());
  ClassRegistration unserved;
  unserved.clsid = kUnserved;
  unserved.description = "Registered only";
  unserved.modulePath = kModulePath;
  unserved.threadingModel = "";
  ASSERT_TRUE(RegisterClass(expected, unserved).ok());
  ASSERT_TRUE(RegisterTypeLib(expected, kTypeLib, "1.0", "Sample types", kModulePath).ok());
  EXPECT_EQ(written, ReadFile(expectedFile));

  // Registering again changes nothing.
  ASSERT_EQ(RegisterModuleClasses(kModule, kModulePath), S_OK);
  EXPECT_EQ(ReadFile(file_), written);
}

TEST_F(ModuleRegistrationTest, UnregisterRemovesEveryClassAndTheTypeLib) {
  ASSERT_EQ(RegisterModuleClasses(kModule, kModulePath), S_OK);
  ASSERT_EQ(UnregisterModule(kModule), S_OK);
  ClassRegistry registry(file_);
  EXPECT_TRUE(registry.SubKeys("CLSID").empty());
  for (const std::string& key : {std::string("Sample.First.1"), std::string("Sample.First"),
                                 std::string("Sample.Second.1"), std::string("Sample.Second"),
                                 "TypeLib\\" + FormatGuidBraced(kTypeLib)}) {
    EXPECT_FALSE(registry.KeyExists(key)) << key;
  }
  EXPECT_EQ(UnregisterModule(kModule), S_OK) << "nothing left to remove is not a failure";
}

// Extra values below the class key and further version-independent ProgIDs come and go with
// the class; an alias that another class took over stays when this one is unregistered.
TEST_F(ModuleRegistrationTest, ExtraValuesAndAliasProgIds) {
  static constexpr ModuleClassValue kExtra[] = {{.subKey = "MiscStatus\\1", .value = "132497"}};
  static constexpr std::string_view kAliases[] = {"Sample.Third", "Sample6.Third"};
  static constexpr ModuleClass kThird[] = {{.clsid = kFirst,
                                            .classObject = &ClassObjectOf<Plain>,
                                            .description = "Third sample",
                                            .progId = "Sample.Third.1",
                                            .versionIndependentProgId = "Sample.Third",
                                            .miscStatus = "0",
                                            .extraValues = kExtra,
                                            .aliasProgIds = kAliases}};
  const ModuleRegistration module{.classes = kThird};
  ASSERT_EQ(RegisterModuleClasses(module, kModulePath), S_OK);
  ClassRegistry registry(file_);
  const std::string classKey = "CLSID\\" + FormatGuidBraced(kFirst);
  EXPECT_EQ(registry.GetValue(classKey + "\\MiscStatus", ""), "0");
  EXPECT_EQ(registry.GetValue(classKey + "\\MiscStatus\\1", ""), "132497");
  for (const char* alias : {"Sample.Third", "Sample6.Third"}) {
    EXPECT_EQ(registry.GetValue(std::string(alias), ""), "Third sample") << alias;
    EXPECT_EQ(registry.GetValue(std::string(alias) + "\\CLSID", ""), FormatGuidBraced(kFirst)) << alias;
    EXPECT_EQ(registry.GetValue(std::string(alias) + "\\CurVer", ""), "Sample.Third.1") << alias;
  }

  // Another class takes one alias over; unregistering this one leaves it to that class.
  ASSERT_TRUE(registry.SetValue("Sample6.Third\\CLSID", "", FormatGuidBraced(kSecond)).ok());
  ASSERT_EQ(UnregisterModule(module), S_OK);
  EXPECT_FALSE(registry.KeyExists("Sample.Third"));
  EXPECT_FALSE(registry.KeyExists("Sample.Third.1"));
  EXPECT_FALSE(registry.KeyExists(classKey));
  EXPECT_EQ(registry.GetValue("Sample6.Third\\CLSID", ""), FormatGuidBraced(kSecond));
}

TEST_F(ModuleRegistrationTest, FailuresKeepTheirCodes) {
  // An unknown module path writes nothing.
  EXPECT_EQ(RegisterModuleClasses(kModule, Error{ENOENT, "not found"}), E_UNEXPECTED);
  EXPECT_FALSE(std::filesystem::exists(file_));

  // A registry that cannot be written: its folder is a plain file.
  const std::filesystem::path blocker = dir_ / "blocker";
  std::ofstream(blocker) << "not a folder";
  ScopedEnv unwritable("VORLANE_CLASS_REGISTRY", (blocker / "classes.ini").string());
  EXPECT_EQ(RegisterModuleClasses(kModule, kModulePath), REGDB_E_WRITEREGDB);
  EXPECT_EQ(UnregisterModule(kModule), S_OK) << "nothing there, nothing to remove";

  // Unregistering goes on past a class it cannot remove and still reports the failure: the
  // first class is registered, then a ProgID that is not a valid key makes its removal fail.
  ScopedEnv writable("VORLANE_CLASS_REGISTRY", file_.string());
  ASSERT_EQ(RegisterModuleClasses(kModule, kModulePath), S_OK);
  const ModuleClass broken[] = {{.clsid = kFirst, .progId = "CLSID"}, kClasses[1]};
  EXPECT_EQ(UnregisterModule(ModuleRegistration{.classes = broken, .typeLib = kModule.typeLib}), REGDB_E_WRITEREGDB);
  ClassRegistry registry(file_);
  EXPECT_TRUE(registry.KeyExists("CLSID\\" + FormatGuidBraced(kFirst)));
  EXPECT_FALSE(registry.KeyExists("CLSID\\" + FormatGuidBraced(kSecond))) << "the class after the failure went";
  EXPECT_FALSE(registry.KeyExists("TypeLib\\" + FormatGuidBraced(kTypeLib))) << "the type library went";
}

TEST(ModuleClassObject, ServesTheTableAndNothingElse) {
  const long objects = ModuleObjectCount().load();
  {
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(GetModuleClassObject(kModule, kFirst, IClassFactory::kIid, factory.put_void()), S_OK);
    ASSERT_TRUE(factory);
    ComPtr<IUnknown> object;
    EXPECT_EQ(factory->CreateInstance(nullptr, IUnknown::kIid, object.put_void()), S_OK);
    EXPECT_TRUE(object);
  }
  EXPECT_EQ(ModuleObjectCount().load(), objects) << "the factory and its object counted in this module";

  struct Case {
    CLSID clsid;
    HRESULT expected;
  };
  for (const Case& c : {Case{kSecond, E_OUTOFMEMORY}, Case{kUnserved, CLASS_E_CLASSNOTAVAILABLE},
                        Case{GuidLiteral("00000000-0000-0000-0000-0000000000AA"), CLASS_E_CLASSNOTAVAILABLE}}) {
    void* object = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(GetModuleClassObject(kModule, c.clsid, IClassFactory::kIid, &object), c.expected)
        << FormatGuidBraced(c.clsid);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(GetModuleClassObject(kModule, kFirst, IClassFactory::kIid, nullptr), E_POINTER);
}

}  // namespace
}  // namespace vorlane::com
