#include "agent/protocol/os_description.h"

#include <gtest/gtest.h>

#include <string>

#include "agent/request/tests/request_test_support.h"

namespace vorlane::agent {
namespace {

using V = WindowsVersionRecord;

V Nt(uint32_t major, uint32_t minor, uint32_t productType, uint32_t suiteMask, std::string servicePack,
     uint32_t build) {
  V v;
  v.platform = V::kWindowsNt;
  v.major = major;
  v.minor = minor;
  v.productType = productType;
  v.suiteMask = suiteMask;
  v.servicePack = std::move(servicePack);
  v.build = build;
  return v;
}

V Win9x(uint32_t minor, std::string servicePack) {
  V v;
  v.platform = V::kWindows9x;
  v.major = 4;
  v.minor = minor;
  v.servicePack = std::move(servicePack);
  v.build = 0x040A08AE;  // the 9x build word carries the version in its high half
  return v;
}

V NtWithoutExtended(std::optional<std::string> registryProductType, std::string servicePack) {
  V v = Nt(4, 0, 0, 0, std::move(servicePack), 1381);
  v.extended = false;
  v.registryProductType = std::move(registryProductType);
  return v;
}

TEST(WindowsDescription, Workstations) {
  EXPECT_EQ(DescribeWindowsVersion(Nt(5, 1, V::kWorkstation, 0x0100, "Service Pack 2", 2600)),
            "Microsoft Windows XP Professional Service Pack 2 (Build 2600)");
  EXPECT_EQ(DescribeWindowsVersion(Nt(5, 1, V::kWorkstation, 0x0300, "", 2600)),
            "Microsoft Windows XP Home Edition  (Build 2600)");
  EXPECT_EQ(DescribeWindowsVersion(Nt(5, 0, V::kWorkstation, 0, "Service Pack 4", 2195)),
            "Microsoft Windows 2000 Professional Service Pack 4 (Build 2195)");
}

TEST(WindowsDescription, LaterNtVersionsStartWithTheProduct) {
  EXPECT_EQ(DescribeWindowsVersion(Nt(6, 1, V::kWorkstation, 0, "Service Pack 1", 7601)),
            "Professional Service Pack 1 (Build 7601)");
  EXPECT_EQ(DescribeWindowsVersion(Nt(10, 0, V::kWorkstation, V::kSuitePersonal, "", 19045)),
            "Home Edition  (Build 19045)");
  EXPECT_EQ(DescribeWindowsVersion(Nt(6, 0, V::kServer, 0, "", 6001)), "Server 4.0  (Build 6001)");
}

TEST(WindowsDescription, Server2003Editions) {
  const auto edition = [](uint32_t productType, uint32_t suite) {
    return DescribeWindowsVersion(Nt(5, 2, productType, suite, "Service Pack 1", 3790));
  };
  EXPECT_EQ(edition(V::kServer, V::kSuiteDatacenter | V::kSuiteEnterprise),
            "Microsoft Windows Server 2003, Datacenter Edition Service Pack 1 (Build 3790)");
  EXPECT_EQ(edition(V::kDomainController, V::kSuiteEnterprise),
            "Microsoft Windows Server 2003, Enterprise Edition Service Pack 1 (Build 3790)");
  EXPECT_EQ(edition(V::kServer, V::kSuiteBlade),
            "Microsoft Windows Server 2003, Web Edition Service Pack 1 (Build 3790)");
  EXPECT_EQ(edition(V::kServer, 0x10000 | V::kSuiteBlade),
            "Microsoft Windows Server 2003, Web Edition Service Pack 1 (Build 3790)");
  EXPECT_EQ(edition(V::kServer, V::kSuiteBlade | 0x0010),
            "Microsoft Windows Server 2003, Standard Edition Service Pack 1 (Build 3790)");
  EXPECT_EQ(edition(V::kServer, 0), "Microsoft Windows Server 2003, Standard Edition Service Pack 1 (Build 3790)");
}

TEST(WindowsDescription, Server2000AndNt4Editions) {
  EXPECT_EQ(DescribeWindowsVersion(Nt(5, 0, V::kServer, V::kSuiteDatacenter, "", 2195)),
            "Microsoft Windows 2000 Datacenter Server  (Build 2195)");
  EXPECT_EQ(DescribeWindowsVersion(Nt(5, 0, V::kServer, V::kSuiteEnterprise, "", 2195)),
            "Microsoft Windows 2000 Advanced Server  (Build 2195)");
  EXPECT_EQ(DescribeWindowsVersion(Nt(5, 0, V::kDomainController, 0, "", 2195)),
            "Microsoft Windows 2000 Server  (Build 2195)");
  EXPECT_EQ(DescribeWindowsVersion(Nt(4, 0, V::kServer, V::kSuiteEnterprise, "Service Pack 5", 1381)),
            "Microsoft Windows NT Server 4.0, Enterprise Edition Service Pack 5 (Build 1381)");
  EXPECT_EQ(DescribeWindowsVersion(Nt(4, 0, V::kServer, 0, "Service Pack 5", 1381)),
            "Microsoft Windows NT Server 4.0 Service Pack 5 (Build 1381)");
}

TEST(WindowsDescription, Nt4ServicePack6aNeedsTheHotfixKey) {
  V v = Nt(4, 0, V::kWorkstation, 0, "service pack 6", 1381);
  EXPECT_EQ(DescribeWindowsVersion(v), "Microsoft Windows NT Workstation 4.0 service pack 6 (Build 1381)");
  v.hasQ246009Hotfix = true;
  EXPECT_EQ(DescribeWindowsVersion(v), "Microsoft Windows NT Workstation 4.0 Service Pack 6a (Build 1381)");
  v.servicePack = "Service Pack 5";
  EXPECT_EQ(DescribeWindowsVersion(v), "Microsoft Windows NT Workstation 4.0 Service Pack 5 (Build 1381)");
}

TEST(WindowsDescription, BuildKeepsItsLowSixteenBits) {
  EXPECT_EQ(DescribeWindowsVersion(Nt(5, 1, V::kWorkstation, 0, "", 0x05010A28)),
            "Microsoft Windows XP Professional  (Build 2600)");
}

TEST(WindowsDescription, WithoutExtendedInformationTheRegistryNamesTheProduct) {
  EXPECT_EQ(DescribeWindowsVersion(NtWithoutExtended("winnt", "Service Pack 3")),
            "Microsoft Windows NT Workstation 4.0 Service Pack 3 (Build 1381)");
  EXPECT_EQ(DescribeWindowsVersion(NtWithoutExtended("LANMANNT", "Service Pack 3")),
            "Microsoft Windows NT Server 4.0 Service Pack 3 (Build 1381)");
  EXPECT_EQ(DescribeWindowsVersion(NtWithoutExtended("ServerNT", "")),
            "Microsoft Windows NT Advanced Server 4.0  (Build 1381)");
  EXPECT_EQ(DescribeWindowsVersion(NtWithoutExtended("Other", "")), "Microsoft Windows NT 4.0  (Build 1381)");
  EXPECT_EQ(DescribeWindowsVersion(NtWithoutExtended(std::string(80, 'x'), "")),
            "Microsoft Windows NT 4.0  (Build 1381)");
}

TEST(WindowsDescription, UnreadableRegistryEndsTheDescription) {
  EXPECT_EQ(DescribeWindowsVersion(NtWithoutExtended(std::nullopt, "Service Pack 3")), "Microsoft Windows NT ");
  EXPECT_EQ(DescribeWindowsVersion(NtWithoutExtended(std::string(81, 'x'), "Service Pack 3")),
            "Microsoft Windows NT ");
}

TEST(WindowsDescription, Windows9xNamesTheReleaseOnly) {
  EXPECT_EQ(DescribeWindowsVersion(Win9x(10, " A ")), "Microsoft Windows 98 SE ");
  EXPECT_EQ(DescribeWindowsVersion(Win9x(10, "")), "Microsoft Windows 98 ");
  EXPECT_EQ(DescribeWindowsVersion(Win9x(0, " B")), "Microsoft Windows 95 OSR2 ");
  EXPECT_EQ(DescribeWindowsVersion(Win9x(0, " C")), "Microsoft Windows 95 OSR2 ");
  EXPECT_EQ(DescribeWindowsVersion(Win9x(0, " A")), "Microsoft Windows 95 ");
  EXPECT_EQ(DescribeWindowsVersion(Win9x(0, "B")), "Microsoft Windows 95 ");
  EXPECT_EQ(DescribeWindowsVersion(Win9x(90, "")), "Microsoft Windows Millennium Edition");
  EXPECT_EQ(DescribeWindowsVersion(Win9x(50, "")), "");
}

TEST(WindowsDescription, Win32sAndNoVersionAtAll) {
  V v;
  v.platform = V::kWin32s;
  v.major = 1;
  v.servicePack = "x";
  EXPECT_EQ(DescribeWindowsVersion(v), "Microsoft Win32s");
  v = Nt(5, 1, V::kWorkstation, 0, "Service Pack 2", 2600);
  v.available = false;
  EXPECT_EQ(DescribeWindowsVersion(v), "");
}

TEST(WindowsDescription, IsCutToItsBuffer) {
  const std::string description = DescribeWindowsVersion(Nt(5, 1, V::kWorkstation, 0, std::string(400, 'x'), 2600));
  EXPECT_EQ(description.size(), kOsDescriptionMaxLength);
  EXPECT_TRUE(description.starts_with("Microsoft Windows XP Professional xxx"));
}

class LinuxDescriptionTest : public ::testing::Test {
 protected:
  std::string Describe(const std::string& osRelease, KernelIdentity kernel = {"Linux", "6.1.0-18-amd64"}) {
    config_.WriteTcpConfig(osRelease);  // any file of the temporary folder serves
    return DescribeLinux(config_.paths().tcpConfig, kernel);
  }
  testing::TempConfigDir config_;
};

TEST_F(LinuxDescriptionTest, PrettyNameAndKernelRelease) {
  EXPECT_EQ(Describe("NAME=\"Debian GNU/Linux\"\nVERSION=\"12 (bookworm)\"\n"
                     "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nID=debian\n"),
            "Debian GNU/Linux 12 (bookworm) (Kernel 6.1.0-18-amd64)");
}

TEST_F(LinuxDescriptionTest, NameAndVersionWithoutPrettyName) {
  EXPECT_EQ(Describe("NAME='Alpine Linux'\nVERSION=3.19\n"), "Alpine Linux 3.19 (Kernel 6.1.0-18-amd64)");
  EXPECT_EQ(Describe("NAME=Arch\n"), "Arch (Kernel 6.1.0-18-amd64)");
}

TEST_F(LinuxDescriptionTest, QuotesEscapesAndCommentsAreRead) {
  EXPECT_EQ(Describe("# PRETTY_NAME=\"Not this\"\nPRETTY_NAME=\"A \\\"quoted\\\" \\$name\"  \r\n"),
            "A \"quoted\" $name (Kernel 6.1.0-18-amd64)");
}

TEST_F(LinuxDescriptionTest, MissingFileFallsBackToTheKernelName) {
  EXPECT_EQ(DescribeLinux("/nonexistent/os-release", {"Linux", "6.1.0"}), "Linux (Kernel 6.1.0)");
  EXPECT_EQ(Describe("PRETTY_NAME=\"Debian\"\n", {"Linux", ""}), "Debian");
  EXPECT_EQ(DescribeLinux("/nonexistent/os-release", {}), "");
}

TEST_F(LinuxDescriptionTest, IsCutToItsBufferBetweenCharacters) {
  // 253 ASCII bytes, then two-byte characters: byte 255 would split one.
  const std::string name = std::string(253, 'n') + "\xC3\xA9\xC3\xA9";
  const std::string description = Describe("PRETTY_NAME=\"" + name + "\"\n");
  EXPECT_EQ(description, std::string(253, 'n') + "\xC3\xA9");
  EXPECT_LE(Describe("PRETTY_NAME=" + std::string(600, 'p') + "\n").size(), kOsDescriptionMaxLength);
}

TEST(CurrentOsDescription, NamesThisHostAndItsKernel) {
  const std::string description = CurrentOsDescription();
  EXPECT_FALSE(description.empty());
  EXPECT_LE(description.size(), kOsDescriptionMaxLength);
  EXPECT_NE(description.find(" (Kernel "), std::string::npos);
}

}  // namespace
}  // namespace vorlane::agent
