#include "platform/com/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "platform/com/tests/fixture_component/test_support.h"
#include "platform/profile/profile.h"

namespace vorlane::com {
namespace {

using testing::ReadFile;
using testing::TempDir;

constexpr size_t kUnlimited = static_cast<size_t>(-1);
constexpr CLSID kClassA = GuidLiteral("0541F6EA-086C-4557-BF91-3F08A1D1E258");
constexpr Guid kTypeLib = GuidLiteral("3D9C31E8-6B3E-4F6C-9A28-0C9E8E4B7A11");

// `names` folded to lower case, as a set.
template <class Names>
std::set<std::string> Lower(const Names& names) {
  std::set<std::string> out;
  for (std::string name : names) {
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    out.insert(name);
  }
  return out;
}
std::set<std::string> Lower(std::initializer_list<std::string> names) { return Lower<decltype(names)>(names); }

// Section names in the file, folded to lower case, as a set.
std::set<std::string> Sections(const std::filesystem::path& file) {
  return Lower(profile::GetSectionNames(file, kUnlimited));
}

class Registry : public ::testing::Test {
 protected:
  TempDir dir_;
  std::filesystem::path file_ = dir_ / "classes.ini";
  ClassRegistry registry_{file_};
};

TEST_F(Registry, SetsAndGetsDefaultAndNamedValuesInTheIniLayout) {
  ASSERT_TRUE(registry_.SetValue("Thing", "", "the default").ok());
  ASSERT_TRUE(registry_.SetValue("Thing", "Colour", "blue").ok());
  ASSERT_TRUE(registry_.SetValue("Thing", "Empty", "").ok());
  EXPECT_EQ(registry_.GetValue("Thing", ""), "the default");
  EXPECT_EQ(registry_.GetValue("Thing", "Colour"), "blue");
  EXPECT_EQ(registry_.GetValue("Thing", "Empty"), "");
  EXPECT_EQ(registry_.GetValue("Thing", "Missing"), std::nullopt);
  EXPECT_EQ(registry_.GetValue("Other", ""), std::nullopt);
  // Stored as the file format says: the default value under "@".
  EXPECT_EQ(profile::GetString(file_, "Thing", "@", "-", kUnlimited), "the default");
  EXPECT_EQ(profile::GetString(file_, "Thing", "Colour", "-", kUnlimited), "blue");
  // Values that the INI reader would trim or unquote come back unchanged.
  ASSERT_TRUE(registry_.SetValue("Thing", "Padded", " x ").ok());
  ASSERT_TRUE(registry_.SetValue("Thing", "Quoted", "\"q\"").ok());
  EXPECT_EQ(registry_.GetValue("Thing", "Padded"), " x ");
  EXPECT_EQ(registry_.GetValue("Thing", "Quoted"), "\"q\"");
  // Overwriting replaces.
  ASSERT_TRUE(registry_.SetValue("Thing", "Colour", "red").ok());
  EXPECT_EQ(registry_.GetValue("Thing", "Colour"), "red");
  using Values = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(registry_.Values("Thing"),
            (Values{{"", "the default"}, {"Colour", "red"}, {"Empty", ""}, {"Padded", " x "}, {"Quoted", "\"q\""}}));
  ASSERT_TRUE(registry_.DeleteValue("Thing", "Colour").ok());
  EXPECT_EQ(registry_.GetValue("Thing", "Colour"), std::nullopt);
  ASSERT_TRUE(registry_.DeleteValue("Thing", "").ok());
  EXPECT_EQ(registry_.GetValue("Thing", ""), std::nullopt);
}

TEST_F(Registry, KeyPathsAndValueNamesIgnoreCase) {
  ASSERT_TRUE(registry_.SetValue("CLSID\\{ABC}\\InprocServer32", "ThreadingModel", "Both").ok());
  EXPECT_EQ(registry_.GetValue("clsid\\{abc}\\inprocserver32", "threadingmodel"), "Both");
  ASSERT_TRUE(registry_.SetValue("clsid\\{abc}\\INPROCSERVER32", "THREADINGMODEL", "Free").ok());
  EXPECT_EQ(registry_.GetValue("CLSID\\{ABC}\\InprocServer32", "ThreadingModel"), "Free");
  EXPECT_TRUE(registry_.KeyExists("Clsid\\{Abc}"));
  // One section per key, however it was spelled.
  EXPECT_EQ(Sections(file_), Lower({"CLSID", "CLSID\\{ABC}", "CLSID\\{ABC}\\InprocServer32"}));
}

TEST_F(Registry, SettingAValueCreatesTheKeysAbove) {
  ASSERT_TRUE(registry_.SetValue("A\\B\\C", "", "deep").ok());
  EXPECT_EQ(Sections(file_), Lower({"A", "A\\B", "A\\B\\C"}));
  EXPECT_TRUE(registry_.KeyExists("A"));
  EXPECT_TRUE(registry_.KeyExists("A\\B"));
  EXPECT_FALSE(registry_.KeyExists("A\\B\\C\\D"));
  EXPECT_FALSE(registry_.KeyExists("B"));
  // The created keys have no values, not even a default.
  EXPECT_TRUE(registry_.Values("A").empty());
  EXPECT_EQ(registry_.GetValue("A\\B", ""), std::nullopt);
}

TEST_F(Registry, CreateKeyMakesAnEmptyKeyThatExists) {
  ASSERT_TRUE(registry_.CreateKey("Parent\\Flag").ok());
  EXPECT_TRUE(registry_.KeyExists("Parent\\Flag"));
  EXPECT_TRUE(registry_.Values("Parent\\Flag").empty());
  EXPECT_TRUE(profile::GetSection(file_, "Parent\\Flag", kUnlimited).empty());
  EXPECT_EQ(Sections(file_), Lower({"Parent", "Parent\\Flag"}));
  EXPECT_EQ(registry_.SubKeys("Parent"), std::vector<std::string>{"Flag"});
  // Creating again changes nothing, and keeps values already there.
  ASSERT_TRUE(registry_.SetValue("Parent", "", "kept").ok());
  ASSERT_TRUE(registry_.CreateKey("Parent\\Flag").ok());
  EXPECT_EQ(registry_.GetValue("Parent", ""), "kept");
}

TEST_F(Registry, DeleteTreeRemovesTheKeyAndOnlyWhatIsBelowIt) {
  ASSERT_TRUE(registry_.SetValue("CLSID\\{A}", "", "a").ok());
  ASSERT_TRUE(registry_.SetValue("CLSID\\{A}\\Sub\\Deeper", "", "deep").ok());
  ASSERT_TRUE(registry_.SetValue("CLSID\\{A}X", "", "sibling with the same start").ok());
  ASSERT_TRUE(registry_.SetValue("CLSID\\{A}X\\Sub", "", "its child").ok());
  ASSERT_TRUE(registry_.SetValue("CLSID\\{B}", "", "b").ok());

  ASSERT_TRUE(registry_.DeleteTree("clsid\\{a}").ok());
  EXPECT_FALSE(registry_.KeyExists("CLSID\\{A}"));
  EXPECT_FALSE(registry_.KeyExists("CLSID\\{A}\\Sub"));
  EXPECT_EQ(registry_.GetValue("CLSID\\{A}X", ""), "sibling with the same start");
  EXPECT_EQ(registry_.GetValue("CLSID\\{A}X\\Sub", ""), "its child");
  EXPECT_EQ(registry_.GetValue("CLSID\\{B}", ""), "b");
  EXPECT_EQ(Sections(file_), Lower({"CLSID", "CLSID\\{A}X", "CLSID\\{A}X\\Sub", "CLSID\\{B}"}));
  // Deleting what is not there is no error and changes nothing.
  std::string before = ReadFile(file_);
  ASSERT_TRUE(registry_.DeleteTree("CLSID\\{A}").ok());
  EXPECT_EQ(ReadFile(file_), before);
}

TEST_F(Registry, SubKeysListsDirectChildrenOnce) {
  ASSERT_TRUE(registry_.SetValue("Root\\One", "", "1").ok());
  ASSERT_TRUE(registry_.SetValue("Root\\Two\\Below", "", "2").ok());
  ASSERT_TRUE(registry_.SetValue("ROOT\\ONE\\Child", "", "3").ok());
  ASSERT_TRUE(registry_.SetValue("Rooted", "", "not a child").ok());
  EXPECT_EQ(registry_.SubKeys("root"), (std::vector<std::string>{"One", "Two"}));
  EXPECT_EQ(registry_.SubKeys("Root\\One"), std::vector<std::string>{"Child"});
  EXPECT_TRUE(registry_.SubKeys("Root\\One\\Child").empty());
  EXPECT_EQ(registry_.SubKeys(""), (std::vector<std::string>{"Root", "Rooted"}));
}

TEST_F(Registry, RefusesNamesThatCannotBeStoredWithoutTouchingTheFile) {
  for (const char* bad : {"", "\\Lead", "Trail\\", "Double\\\\Slash", "Close]Bracket", "Line\nBreak", " Blank"}) {
    Status status = registry_.SetValue(bad, "", "x");
    ASSERT_FALSE(status.ok()) << bad;
    EXPECT_EQ(status.error().code, EINVAL) << bad;
    EXPECT_FALSE(registry_.KeyExists(bad)) << bad;
    EXPECT_FALSE(registry_.DeleteTree(bad).ok()) << bad;
  }
  for (const char* bad : {"@", "@@created", "a=b", "[x"}) {
    EXPECT_FALSE(registry_.SetValue("Key", bad, "x").ok()) << bad;
  }
  EXPECT_FALSE(registry_.SetValue("Key", "Name", "two\nlines").ok());
  EXPECT_FALSE(std::filesystem::exists(file_));
}

TEST_F(Registry, ReadsOfAMissingFileFindNothing) {
  EXPECT_EQ(registry_.GetValue("CLSID", ""), std::nullopt);
  EXPECT_FALSE(registry_.KeyExists("CLSID"));
  EXPECT_TRUE(registry_.SubKeys("CLSID").empty());
  EXPECT_TRUE(registry_.DeleteTree("CLSID").ok());
  EXPECT_FALSE(std::filesystem::exists(file_));
}

ClassRegistration FullRegistration() {
  ClassRegistration r;
  r.clsid = kClassA;
  r.description = "Sample class";
  r.progId = "Lib.Class.1";
  r.versionIndependentProgId = "Lib.Class";
  r.modulePath = "/opt/vorlane/lib/libsample.so";
  r.threadingModel = "Apartment";
  r.typeLibId = kTypeLib;
  r.programmable = true;
  r.control = true;
  r.insertable = true;
  r.toolboxBitmap32 = "/opt/vorlane/lib/libsample.so, 1";
  r.miscStatus = "0";
  r.version = "1.0";
  r.extraValues = {{"", "AppID", "{X}"}, {"Implemented Categories", "", "cat"}};
  return r;
}

const std::string kClassKey = "CLSID\\{0541F6EA-086C-4557-BF91-3F08A1D1E258}";
const std::string kBraced = "{0541F6EA-086C-4557-BF91-3F08A1D1E258}";

TEST_F(Registry, RegisterClassWritesExactlyTheExpectedKeys) {
  ASSERT_TRUE(RegisterClass(registry_, FullRegistration()).ok());

  EXPECT_EQ(registry_.GetValue("Lib.Class.1", ""), "Sample class");
  EXPECT_EQ(registry_.GetValue("Lib.Class.1\\CLSID", ""), kBraced);
  EXPECT_EQ(registry_.GetValue("Lib.Class", ""), "Sample class");
  EXPECT_EQ(registry_.GetValue("Lib.Class\\CLSID", ""), kBraced);
  EXPECT_EQ(registry_.GetValue("Lib.Class\\CurVer", ""), "Lib.Class.1");
  EXPECT_EQ(registry_.GetValue(kClassKey, ""), "Sample class");
  EXPECT_EQ(registry_.GetValue(kClassKey, "AppID"), "{X}");
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\ProgID", ""), "Lib.Class.1");
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\VersionIndependentProgID", ""), "Lib.Class");
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\InprocServer32", ""), "/opt/vorlane/lib/libsample.so");
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\TypeLib", ""), "{3D9C31E8-6B3E-4F6C-9A28-0C9E8E4B7A11}");
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\Implemented Categories", ""), "cat");
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\ToolboxBitmap32", ""), "/opt/vorlane/lib/libsample.so, 1");
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\MiscStatus", ""), "0");
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\Version", ""), "1.0");
  for (const char* flag : {"Programmable", "Control", "Insertable"}) {
    EXPECT_TRUE(registry_.KeyExists(kClassKey + "\\" + flag)) << flag;
    EXPECT_TRUE(registry_.Values(kClassKey + "\\" + flag).empty()) << flag;
  }
  // Nothing else: every key is its own section, and these are all of them.
  EXPECT_EQ(Sections(file_),
            Lower({"Lib.Class.1", "Lib.Class.1\\CLSID", "Lib.Class", "Lib.Class\\CLSID", "Lib.Class\\CurVer", "CLSID",
                   kClassKey, kClassKey + "\\ProgID", kClassKey + "\\VersionIndependentProgID",
                   kClassKey + "\\Programmable", kClassKey + "\\Control", kClassKey + "\\Insertable",
                   kClassKey + "\\InprocServer32", kClassKey + "\\TypeLib", kClassKey + "\\Implemented Categories",
                   kClassKey + "\\ToolboxBitmap32", kClassKey + "\\MiscStatus", kClassKey + "\\Version"}));
}

TEST_F(Registry, RegisteringAgainDropsWhatIsNoLongerFlagged) {
  ASSERT_TRUE(RegisterClass(registry_, FullRegistration()).ok());
  ClassRegistration plain = FullRegistration();
  plain.control = plain.insertable = plain.programmable = false;
  plain.typeLibId.reset();
  plain.threadingModel.clear();
  plain.extraValues.clear();
  plain.toolboxBitmap32.clear();
  plain.miscStatus.clear();
  plain.version.clear();
  plain.modulePath = "/opt/vorlane/lib/libsample2.so";
  ASSERT_TRUE(RegisterClass(registry_, plain).ok());
  for (const char* gone :
       {"Programmable", "Control", "Insertable", "TypeLib", "ToolboxBitmap32", "MiscStatus", "Version"}) {
    EXPECT_FALSE(registry_.KeyExists(kClassKey + "\\" + gone)) << gone;
  }
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\InprocServer32", ""), "/opt/vorlane/lib/libsample2.so");
  EXPECT_EQ(registry_.GetValue(kClassKey + "\\InprocServer32", "ThreadingModel"), std::nullopt);
}

TEST_F(Registry, UnregisterClassRemovesItsKeysAndKeepsTheClsidKey) {
  ASSERT_TRUE(registry_.SetValue("CLSID\\{00000000-0000-0000-0000-000000000001}", "", "neighbour").ok());
  ASSERT_TRUE(RegisterClass(registry_, FullRegistration()).ok());
  ASSERT_TRUE(UnregisterClass(registry_, kClassA, "Lib.Class.1", "Lib.Class").ok());
  EXPECT_EQ(Sections(file_), Lower({"CLSID", "CLSID\\{00000000-0000-0000-0000-000000000001}"}));

  // With the neighbour gone too, the CLSID key itself stays.
  ASSERT_TRUE(registry_.DeleteTree("CLSID\\{00000000-0000-0000-0000-000000000001}").ok());
  ASSERT_TRUE(RegisterClass(registry_, FullRegistration()).ok());
  ASSERT_TRUE(UnregisterClass(registry_, kClassA, "Lib.Class.1", "Lib.Class").ok());
  EXPECT_EQ(Sections(file_), Lower({"CLSID"}));
  EXPECT_TRUE(registry_.KeyExists("CLSID"));
}

TEST_F(Registry, UnregisterLeavesAProgIdThatNowNamesAnotherClass) {
  ASSERT_TRUE(RegisterClass(registry_, FullRegistration()).ok());
  ClassRegistration newer = FullRegistration();
  newer.clsid = GuidLiteral("0541F6EA-086C-4557-BF91-3F08A1D1E259");
  newer.progId = "Lib.Class.2";
  ASSERT_TRUE(RegisterClass(registry_, newer).ok());
  ASSERT_TRUE(UnregisterClass(registry_, kClassA, "Lib.Class.1", "Lib.Class").ok());
  EXPECT_FALSE(registry_.KeyExists("Lib.Class.1"));
  EXPECT_EQ(registry_.GetValue("Lib.Class\\CurVer", ""), "Lib.Class.2");
  EXPECT_EQ(registry_.GetValue("Lib.Class\\CLSID", ""), FormatGuidBraced(newer.clsid));
  EXPECT_FALSE(registry_.KeyExists(kClassKey));
}

TEST_F(Registry, RefusesProgIdsThatNameOtherTrees) {
  ASSERT_TRUE(RegisterClass(registry_, FullRegistration()).ok());
  std::string before = ReadFile(file_);
  EXPECT_FALSE(UnregisterClass(registry_, kClassA, "clsid", "").ok());
  EXPECT_FALSE(UnregisterClass(registry_, kClassA, "Lib.Class.1", "TypeLib").ok());
  EXPECT_FALSE(UnregisterClass(registry_, kClassA, "Lib\\Class", "").ok());
  ClassRegistration bad = FullRegistration();
  bad.progId = "CLSID";
  EXPECT_FALSE(RegisterClass(registry_, bad).ok());
  EXPECT_EQ(ReadFile(file_), before);
}

TEST_F(Registry, TypeLibRegistrationComesAndGoesPerVersion) {
  const std::string library = "TypeLib\\{3D9C31E8-6B3E-4F6C-9A28-0C9E8E4B7A11}";
  ASSERT_TRUE(RegisterTypeLib(registry_, kTypeLib, "1.0", "Sample types", "/lib/a.so").ok());
  ASSERT_TRUE(RegisterTypeLib(registry_, kTypeLib, "2.0", "Sample types 2", "/lib/b.so").ok());
  EXPECT_EQ(registry_.GetValue(library + "\\1.0", ""), "Sample types");
  EXPECT_EQ(registry_.GetValue(library + "\\1.0\\0\\linux", ""), "/lib/a.so");
  EXPECT_EQ(registry_.GetValue(library + "\\2.0\\0\\linux", ""), "/lib/b.so");
  ASSERT_TRUE(UnregisterTypeLib(registry_, kTypeLib, "1.0").ok());
  EXPECT_FALSE(registry_.KeyExists(library + "\\1.0"));
  EXPECT_EQ(registry_.SubKeys(library), std::vector<std::string>{"2.0"});
  ASSERT_TRUE(UnregisterTypeLib(registry_, kTypeLib, "2.0").ok());
  EXPECT_FALSE(registry_.KeyExists(library));
  EXPECT_TRUE(registry_.KeyExists("TypeLib"));
  EXPECT_FALSE(RegisterTypeLib(registry_, kTypeLib, "", "x", "/lib/a.so").ok());
  EXPECT_FALSE(RegisterTypeLib(registry_, kTypeLib, "1\\0", "x", "/lib/a.so").ok());
}

TEST(RegistryPath, LooksUpEnvironmentThenExecutableFolderThenBuiltIn) {
  TempDir exeDir;
  TempDir buildDir;
  const std::filesystem::path builtIn = buildDir / "vorlane-classes.ini";
  const std::filesystem::path beside = exeDir / "vorlane-classes.ini";
  EXPECT_EQ(detail::ChooseClassRegistryPath("/etc/x.ini", exeDir.Path(), builtIn), "/etc/x.ini");
  // No file beside the program: the build tree's registry, even before it exists.
  EXPECT_EQ(detail::ChooseClassRegistryPath("", exeDir.Path(), builtIn), builtIn);
  // A build tree that is gone, or none compiled in: beside the program.
  EXPECT_EQ(detail::ChooseClassRegistryPath("", exeDir.Path(), "/nonexistent-folder/vorlane-classes.ini"), beside);
  EXPECT_EQ(detail::ChooseClassRegistryPath("", exeDir.Path(), ""), beside);
  // A file beside the program wins over the build tree.
  ASSERT_TRUE(profile::WriteString(beside, "CLSID", "@", "").ok());
  EXPECT_EQ(detail::ChooseClassRegistryPath("", exeDir.Path(), builtIn), beside);
  EXPECT_EQ(detail::ChooseClassRegistryPath("/etc/x.ini", exeDir.Path(), builtIn), "/etc/x.ini");
}

TEST(RegistryPath, EnvironmentVariableSelectsTheFile) {
  testing::ScopedEnv env("VORLANE_CLASS_REGISTRY", "/tmp/some/registry.ini");
  EXPECT_EQ(ClassRegistryPath(), "/tmp/some/registry.ini");
  testing::ScopedEnv empty("VORLANE_CLASS_REGISTRY", "");
  EXPECT_NE(ClassRegistryPath(), "");
  EXPECT_EQ(ClassRegistryPath().filename(), "vorlane-classes.ini");
}

// Registers `count` classes whose ids differ in the last field, numbered from `first`.
int RegisterMany(const std::filesystem::path& file, uint32_t first, uint32_t count) {
  ClassRegistry registry(file);
  for (uint32_t i = first; i < first + count; ++i) {
    ClassRegistration r;
    r.clsid = kClassA;
    r.clsid.data1 = i;
    r.description = "Class " + std::to_string(i);
    r.progId = "Many.Class" + std::to_string(i) + ".1";
    r.versionIndependentProgId = "Many.Class" + std::to_string(i);
    r.modulePath = "/lib/many" + std::to_string(i) + ".so";
    if (!RegisterClass(registry, r).ok()) return 1;
  }
  return 0;
}

TEST(RegistryConcurrency, TwoProcessesRegisteringLoseNothing) {
  TempDir dir;
  const std::filesystem::path file = dir / "classes.ini";
  constexpr uint32_t kPerProcess = 100;
  pid_t children[2];
  for (uint32_t p = 0; p < 2; ++p) {
    children[p] = ::fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) ::_exit(RegisterMany(file, 1000 * (p + 1), kPerProcess));
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }

  ClassRegistry registry(file);
  for (uint32_t p = 0; p < 2; ++p) {
    for (uint32_t i = 1000 * (p + 1); i < 1000 * (p + 1) + kPerProcess; ++i) {
      CLSID clsid = kClassA;
      clsid.data1 = i;
      const std::string key = "CLSID\\" + FormatGuidBraced(clsid);
      EXPECT_EQ(registry.GetValue(key + "\\InprocServer32", ""), "/lib/many" + std::to_string(i) + ".so");
      EXPECT_EQ(registry.GetValue(key + "\\InprocServer32", "ThreadingModel"), "Apartment");
      EXPECT_EQ(registry.GetValue("Many.Class" + std::to_string(i) + ".1\\CLSID", ""), FormatGuidBraced(clsid));
      EXPECT_EQ(registry.GetValue("Many.Class" + std::to_string(i) + "\\CurVer", ""),
                "Many.Class" + std::to_string(i) + ".1");
    }
  }
  // Parseable and free of duplicates or strays: per class 4 keys under CLSID\{...} (itself,
  // ProgID, VersionIndependentProgID, InprocServer32) and 5 ProgID keys, plus CLSID.
  const std::vector<std::string> names = profile::GetSectionNames(file, kUnlimited);
  EXPECT_EQ(names.size(), 2 * kPerProcess * 9 + 1);
  EXPECT_EQ(registry.SubKeys("CLSID").size(), 2 * kPerProcess);
  for (const std::string& name : names) {
    EXPECT_EQ(profile::GetSection(file, name, kUnlimited).size(), name.ends_with("InprocServer32") ? 2u : name == "CLSID" ? 0u : 1u)
        << name;
  }
}

}  // namespace
}  // namespace vorlane::com
