// Config's rules on a settings record of its own.
#include "tcpclient/control_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "tcpclient/socket_errors.h"

namespace vorlane::tcpclient {
namespace {

// The answer, or the failure's text.
std::string TextOf(const ConfigOutcome& outcome) { return outcome ? outcome.value() : outcome.error().text; }

std::string Read(ControlSettings& settings, const char* name, ConfigContext context = {}) {
  const ConfigOutcome outcome = ApplyConfig(settings, name, context);
  EXPECT_TRUE(outcome.ok()) << name << ": " << TextOf(outcome);
  return TextOf(outcome);
}

void Write(ControlSettings& settings, const std::string& text) {
  const ConfigOutcome outcome = ApplyConfig(settings, text, {});
  EXPECT_TRUE(outcome.ok()) << text << ": " << TextOf(outcome);
  EXPECT_EQ(TextOf(outcome), "") << text;
}

TEST(ControlSettingsTest, DefaultsReadBack) {
  ControlSettings settings;
  const struct {
    const char* name;
    const char* value;
  } kDefaults[] = {
      {"tcpnodelay", "False"},
      {"UseExtendedDST", "0"},
      {"MaxLineLength", "2048"},
      {"InBufferSize", "2048"},
      {"OutBufferSize", "2048"},
      {"SplitCRLF", "False"},
      {"AbsoluteTimeout", "False"},
      {"TimeoutInMilliseconds", "False"},
      {"UseIPv6", "False"},
      {"WinsockPath", "WSOCK32.DLL"},
      {"WinsockLoaded", "True"},
      {"WinsockStatus", "Running"},
      {"WinsockMaxDatagramSize", "65507"},
      {"SocketHandle", "-1"},
      {"FirewallData", ""},
      {"FirewallType", "0"},
      {"FirewallPort", "0"},
      {"SSLProvider", "Microsoft Unified Security Protocol Provider"},
      {"SSLEnabledProtocols", "255"},
      {"SSLCipherStrength", "40"},
      {"SSLSecurityFlags", "0"},
      {"UseDefaultCredentials", "False"},
      {"ReuseSSLSession", "False"},
      {"CodePage", "0"},
      {"CharsetMode", "0"},
  };
  for (const auto& entry : kDefaults) EXPECT_EQ(Read(settings, entry.name), entry.value) << entry.name;
  EXPECT_FALSE(Read(settings, "WinsockInfo").empty());
  EXPECT_GT(std::stoll(Read(settings, "WinsockMaxSockets")), 0);
}

TEST(ControlSettingsTest, Booleans) {
  const struct {
    const char* value;
    const char* readBack;
  } kCases[] = {{"true", "True"}, {"TRUE", "True"}, {"Yes", "True"}, {"1", "True"}, {"false", "False"},
                {"0", "False"},   {"on", "False"},  {"", "False"},   {"2", "False"}};
  for (const auto& c : kCases) {
    ControlSettings settings;
    settings.tcpNoDelay = std::string(c.readBack) == "False";  // so that every case changes it
    Write(settings, std::string("TcpNoDelay=") + c.value);
    EXPECT_EQ(Read(settings, "TCPNODELAY"), c.readBack) << c.value;
  }
}

TEST(ControlSettingsTest, Integers) {
  ControlSettings settings;
  Write(settings, "InBufferSize=65536");
  EXPECT_EQ(settings.inBufferSize, 65536);
  Write(settings, "SSLSecurityFlags=0x80000000");
  EXPECT_EQ(Read(settings, "sslsecurityflags"), "2147483648");
  Write(settings, "SSLEnabledProtocols=0XfF");
  EXPECT_EQ(settings.sslEnabledProtocols, 255);
  // Hexadecimal is for the TLS integers only; malformed numbers change nothing.
  // A port beyond 16 bits is refused, not wrapped.
  for (const char* bad : {"InBufferSize=0x10", "InBufferSize=12ab", "InBufferSize=", "SSLCipherStrength=0x",
                          "FirewallPort=70000", "FirewallPort=-1"}) {
    const ConfigOutcome outcome = ApplyConfig(settings, bad, {});
    EXPECT_FALSE(outcome.ok()) << bad;
  }
  EXPECT_EQ(settings.inBufferSize, 65536);
  EXPECT_EQ(settings.firewallPort, 0);
}

TEST(ControlSettingsTest, MaxLineLength) {
  ControlSettings settings;
  Write(settings, "MaxLineLength=100000");
  EXPECT_EQ(Read(settings, "MaxLineLength"), "65536");
  Write(settings, "maxlinelength=10");
  EXPECT_EQ(settings.maxLineLength, 10);
  EXPECT_FALSE(ApplyConfig(settings, "MaxLineLength=0", {}).ok());

  const ConfigOutcome busy = ApplyConfig(settings, "MaxLineLength=300", {.connected = true, .socketHandle = 7});
  ASSERT_FALSE(busy.ok());
  EXPECT_EQ(busy.error().code, kErrMaxLineLengthBusy);
  EXPECT_EQ(busy.error().text, "You cannot change MaxLineSize at this time. A connection is in progress.");
  EXPECT_EQ(settings.maxLineLength, 10);
  EXPECT_EQ(Read(settings, "SocketHandle", {.connected = true, .socketHandle = 7}), "7");
}

TEST(ControlSettingsTest, SplitCrlfSetsTheDelimiter) {
  ControlSettings settings;
  Write(settings, "SplitCRLF=yes");
  EXPECT_EQ(settings.eol, "\r\n");
  EXPECT_EQ(Read(settings, "SplitCrLf"), "True");
}

TEST(ControlSettingsTest, TextsAndWriteOnlyTexts) {
  ControlSettings settings;
  Write(settings, "FirewallHost=proxy.example=1");  // the first '=' ends the name
  EXPECT_EQ(Read(settings, "FirewallHost"), "proxy.example=1");
  Write(settings, "FirewallData=secret");
  EXPECT_EQ(settings.firewallData, "secret");
  EXPECT_EQ(Read(settings, "FirewallData"), "");
}

TEST(ControlSettingsTest, UnknownAndReadOnlyNames) {
  ControlSettings settings;
  for (const char* text : {"NoSuchSetting", "NoSuchSetting=1", "", "=1", "TcpNoDelay "}) {
    const ConfigOutcome outcome = ApplyConfig(settings, text, {});
    EXPECT_FALSE(outcome.ok()) << text;
    EXPECT_EQ(TextOf(outcome), "Unknown config setting.") << text;
  }
  for (const char* text : {"SocketHandle=3", "WinsockStatus=Down"}) {
    EXPECT_FALSE(ApplyConfig(settings, text, {}).ok()) << text;
  }
}

}  // namespace
}  // namespace vorlane::tcpclient
