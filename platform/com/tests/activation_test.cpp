// Activation without a component: lookups that fail, ProgID resolution and module paths. The
// tests with a real component are in fixture_component/component_activation_test.cpp.
#include "platform/com/activation.h"

#include <gtest/gtest.h>

#include "platform/com/module_export.h"
#include "platform/com/registry.h"
#include "platform/com/tests/fixture_component/test_support.h"
#include "platform/debuglog/debuglog.h"
#include "platform/profile/profile.h"
#include "testing/debug_capture.h"

namespace vorlane::com {
namespace {

using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempDir;

constexpr CLSID kClass = GuidLiteral("5E0A4C2B-7D1F-4E3A-9B8C-1A2B3C4D5E6F");
constexpr CLSID kOtherClass = GuidLiteral("5E0A4C2B-7D1F-4E3A-9B8C-1A2B3C4D5E70");
const std::string kServerKey = "CLSID\\{5E0A4C2B-7D1F-4E3A-9B8C-1A2B3C4D5E6F}\\InprocServer32";

// Every test gets a registry file of its own, selected through the environment.
class Activation : public ::testing::Test {
 protected:
  TempDir dir_;
  std::filesystem::path file_ = dir_ / "classes.ini";
  ScopedEnv env_{"VORLANE_CLASS_REGISTRY", file_.string()};
  ClassRegistry registry_{file_};
};

TEST_F(Activation, UnknownClassIsNotRegistered) {
  void* object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_INPROC_SERVER, IUnknown::kIid, &object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  object = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CoGetClassObject(kClass, IClassFactory::kIid, &object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(object, nullptr);
  // A class key without a server, or with an empty one, is no registration either.
  ASSERT_TRUE(registry_.SetValue("CLSID\\{5E0A4C2B-7D1F-4E3A-9B8C-1A2B3C4D5E6F}", "", "no server").ok());
  EXPECT_EQ(CoGetClassObject(kClass, IClassFactory::kIid, &object), REGDB_E_CLASSNOTREG);
  ASSERT_TRUE(registry_.SetValue(kServerKey, "", "").ok());
  EXPECT_EQ(CoGetClassObject(kClass, IClassFactory::kIid, &object), REGDB_E_CLASSNOTREG);
}

TEST_F(Activation, RejectsNullOutputAndOutOfProcessContexts) {
  EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_INPROC_SERVER, IUnknown::kIid, nullptr), E_POINTER);
  EXPECT_EQ(CoGetClassObject(kClass, IClassFactory::kIid, nullptr), E_POINTER);
  EXPECT_EQ(CLSIDFromProgID(std::string_view("X"), nullptr), E_POINTER);
  // Registered, but the module is never looked at when only a local server would do.
  ASSERT_TRUE(registry_.SetValue(kServerKey, "", (dir_ / "missing.so").string()).ok());
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_LOCAL_SERVER, IUnknown::kIid, &object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(kClass, nullptr, 0, IUnknown::kIid, &object), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_ALL, IUnknown::kIid, &object), CO_E_DLLNOTFOUND);
  EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_INPROC_HANDLER, IUnknown::kIid, &object), CO_E_DLLNOTFOUND);
  // Aggregation hands out nothing but the inner IUnknown.
  IUnknown* outer = reinterpret_cast<IUnknown*>(&object);
  EXPECT_EQ(CoCreateInstance(kClass, outer, CLSCTX_INPROC_SERVER, IClassFactory::kIid, &object), CLASS_E_NOAGGREGATION);
}

TEST_F(Activation, MissingModuleIsDllNotFoundAndLogsTheLoaderMessage) {
  const std::filesystem::path missing = dir_ / "libmissing.so";
  ASSERT_TRUE(registry_.SetValue(kServerKey, "", missing.string()).ok());
  testkit::DebugCapture log;
  void* object = nullptr;
  EXPECT_EQ(CoCreateInstance(kClass, nullptr, CLSCTX_INPROC_SERVER, IUnknown::kIid, &object), CO_E_DLLNOTFOUND);
  EXPECT_EQ(object, nullptr);
  std::string text = log.Text();
  EXPECT_NE(text.find(missing.string()), std::string::npos) << text;
  EXPECT_NE(text.find("No such file"), std::string::npos) << text;
}

TEST_F(Activation, FileThatIsNotALibraryIsDllNotFound) {
  const std::filesystem::path text = dir_ / "notes.so";
  ASSERT_TRUE(profile::WriteString(text, "not", "a", "library").ok());
  ASSERT_TRUE(registry_.SetValue(kServerKey, "", text.string()).ok());
  testkit::DebugCapture log;
  void* object = nullptr;
  EXPECT_EQ(CoGetClassObject(kClass, IClassFactory::kIid, &object), CO_E_DLLNOTFOUND);
  EXPECT_NE(log.Text().find(text.string()), std::string::npos);
}

TEST_F(Activation, LibraryWithoutTheExportIsErrorInDll) {
  // The debug log's own shared library: real, loadable, and no component.
  Result<std::filesystem::path> library = ModulePathOf(reinterpret_cast<const void*>(&debuglog::Write));
  ASSERT_TRUE(library.ok());
  EXPECT_NE(library.value().filename().string().find("vorlane_debuglog"), std::string::npos) << library.value();
  ASSERT_TRUE(registry_.SetValue(kServerKey, "", library.value().string()).ok());
  void* object = nullptr;
  EXPECT_EQ(CoGetClassObject(kClass, IClassFactory::kIid, &object), CO_E_ERRORINDLL);
  EXPECT_EQ(object, nullptr);
  CoFreeUnusedLibraries();
  EXPECT_TRUE(testing::IsLoaded(library.value()));  // still linked to this program
}

TEST(ActivationModulePath, NamesTheFileThatHoldsTheAddress) {
  Result<std::filesystem::path> self = CurrentModulePath();
  ASSERT_TRUE(self.ok());
  EXPECT_EQ(self.value(), std::filesystem::canonical("/proc/self/exe"));
  Result<std::filesystem::path> runtime = ModulePathOf(reinterpret_cast<const void*>(&ClassRegistryPath));
  ASSERT_TRUE(runtime.ok());
  EXPECT_TRUE(runtime.value().is_absolute());
  EXPECT_NE(runtime.value().filename().string().find("vorlane_com"), std::string::npos) << runtime.value();
  int onStack = 0;
  EXPECT_FALSE(ModulePathOf(&onStack).ok());
}

void RegisterProgId(ClassRegistry& registry, const std::string& progId, const CLSID& clsid) {
  ASSERT_TRUE(registry.SetValue(progId + "\\CLSID", "", FormatGuidBraced(clsid)).ok());
}

TEST_F(Activation, ProgIdFollowsCurVerToTheVersionedClass) {
  RegisterProgId(registry_, "Lib.Thing.1", kClass);
  RegisterProgId(registry_, "Lib.Thing.2", kOtherClass);
  // The version-independent key's own CLSID is stale on purpose: CurVer decides.
  RegisterProgId(registry_, "Lib.Thing", kClass);
  ASSERT_TRUE(registry_.SetValue("Lib.Thing\\CurVer", "", "Lib.Thing.2").ok());

  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(std::string_view("Lib.Thing"), &clsid), S_OK);
  EXPECT_EQ(clsid, kOtherClass);
  ASSERT_EQ(CLSIDFromProgID(std::u16string_view(u"lib.thing"), &clsid), S_OK);
  EXPECT_EQ(clsid, kOtherClass);
  ASSERT_EQ(CLSIDFromProgID(std::string_view("Lib.Thing.1"), &clsid), S_OK);
  EXPECT_EQ(clsid, kClass);
  // A CurVer naming nothing falls back to the key's own CLSID.
  ASSERT_TRUE(registry_.SetValue("Lib.Thing\\CurVer", "", "Lib.Thing.9").ok());
  ASSERT_EQ(CLSIDFromProgID(std::string_view("Lib.Thing"), &clsid), S_OK);
  EXPECT_EQ(clsid, kClass);
}

TEST_F(Activation, UnresolvableProgIdsAreClassStringErrors) {
  CLSID clsid = kClass;
  EXPECT_EQ(CLSIDFromProgID(std::string_view("Nobody.Here"), &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(clsid, CLSID{});
  EXPECT_EQ(CLSIDFromProgID(std::string_view(""), &clsid), CO_E_CLASSSTRING);
  ASSERT_TRUE(registry_.SetValue("Bad.Id\\CLSID", "", "not a guid").ok());
  EXPECT_EQ(CLSIDFromProgID(std::string_view("Bad.Id"), &clsid), CO_E_CLASSSTRING);
  // A CurVer cycle ends after a few hops and finds no class.
  ASSERT_TRUE(registry_.SetValue("Loop.A\\CurVer", "", "Loop.B").ok());
  ASSERT_TRUE(registry_.SetValue("Loop.B\\CurVer", "", "Loop.A").ok());
  EXPECT_EQ(CLSIDFromProgID(std::string_view("Loop.A"), &clsid), CO_E_CLASSSTRING);
  // A lone surrogate is no text at all.
  const char16_t lone[] = {u'A', char16_t(0xD800), u'B'};
  EXPECT_EQ(CLSIDFromProgID(std::u16string_view(lone, 3), &clsid), CO_E_CLASSSTRING);
  void* object = nullptr;
  EXPECT_EQ(CreateInstanceByProgId("Nobody.Here", IUnknown::kIid, &object), CO_E_CLASSSTRING);
  EXPECT_EQ(object, nullptr);
}

TEST_F(Activation, NonAsciiProgIdsMatchTheirUtf8Spelling) {
  RegisterProgId(registry_, "Zähler.Ünït.1", kClass);
  CLSID clsid;
  ASSERT_EQ(CLSIDFromProgID(std::u16string_view(u"Zähler.Ünït.1"), &clsid), S_OK);
  EXPECT_EQ(clsid, kClass);
  RegisterProgId(registry_, "Clef.\xF0\x9D\x84\x9E", kOtherClass);  // U+1D11E, a surrogate pair in UTF-16
  ASSERT_EQ(CLSIDFromProgID(std::u16string_view(u"Clef.\U0001D11E"), &clsid), S_OK);
  EXPECT_EQ(clsid, kOtherClass);
}

}  // namespace
}  // namespace vorlane::com
