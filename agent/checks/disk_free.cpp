#include "agent/checks/disk_free.h"

#include <array>
#include <memory>

#include "agent/log/agent_log.h"
#include "agent/request/answer.h"
#include "agent/request/record.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kNoFreeSpaceText = "ERROR: Could not get the free space for %s";

constexpr std::string_view kMoreThanText = "There is more than %ld %s free on drive %s";
constexpr std::string_view kLessThanText = "There is less than %ld %s free on drive %s";
constexpr std::string_view kWrongUnitText = "ERROR: wrong unit (%s)";

constexpr std::string_view kUnitPercent = "%";

struct AbsoluteUnit {
  std::string_view name;
  uint64_t bytes;
};

// Binary multiples; names compare byte for byte, so "MB" is not a unit.
constexpr std::array kAbsoluteUnits{
    AbsoluteUnit{"bytes", 1},
    AbsoluteUnit{"kb", uint64_t{1} << 10},
    AbsoluteUnit{"mb", uint64_t{1} << 20},
    AbsoluteUnit{"gb", uint64_t{1} << 30},
    AbsoluteUnit{"tb", uint64_t{1} << 40},
};

FreeSpaceResult Judged(bool up, std::string_view drive, std::string_view unit, int32_t value) {
  return {up, FormatAnswer(up ? kMoreThanText : kLessThanText, {static_cast<long long>(value), unit, drive})};
}

}  // namespace

FreeSpaceResult EvaluateFreeSpace(std::string_view drive, std::string_view unit, uint64_t freeBytes,
                                  uint64_t totalBytes, int32_t value) {
  if (unit == kUnitPercent) {
    // A volume that reports no size has no free space either: it counts as 0 % free rather
    // than being divided by. A threshold of 0 % (or less) is then met, any other is not.
    const uint64_t percent = totalBytes == 0 ? 0 : freeBytes * 100 / totalBytes;
    // Compared as a signed 32-bit number, so a negative threshold is always met.
    return Judged(!(static_cast<int32_t>(percent) < value), drive, unit, value);
  }
  for (const AbsoluteUnit& absolute : kAbsoluteUnits) {
    if (unit != absolute.name) continue;
    // Sign-extended and then compared unsigned: a negative threshold becomes a huge number that
    // no volume reaches, so it is always down. The product wraps modulo 2^64 by design.
    const uint64_t threshold = static_cast<uint64_t>(static_cast<int64_t>(value)) * absolute.bytes;
    return Judged(freeBytes >= threshold, drive, unit, value);
  }
  return {false, FormatAnswer(kWrongUnitText, {unit})};
}

CheckOutcome DiskCheckOutcome(const std::string& record, CheckHost& local, RemoteConnector& connector) {
  const std::string drive = GetRecordValue(record, kKeyDriveLetter);
  const int32_t value = ParseRecordNumber(FindRecordValue(record, kKeyValue));
  const std::string unit = GetRecordValue(record, kKeyUnit);
  return OnRequestedHost(
      connector, ReadRemoteHostRequest(record),
      [&](CheckHost& host) {
        const std::optional<VolumeSpace> space = host.QueryVolumeSpace(drive);
        if (!space) return CheckOutcome::Error(FormatAnswer(kNoFreeSpaceText, {AsAnswerText(drive)}));
        FreeSpaceResult result = EvaluateFreeSpace(drive, unit, space->freeBytes, space->totalBytes, value);
        // The text echoes the request's drive and unit, which may hold line ends.
        return CheckOutcome::Judged(result.up, AsAnswerText(std::move(result.text)));
      },
      local);
}

namespace {

constexpr std::array kUnits = {std::string_view("bytes"), std::string_view("kb"), std::string_view("mb"),
                               std::string_view("gb"),    std::string_view("tb"), kUnitPercent};
constexpr std::array kDiskParams = {
    TextParam(kKeyDriveLetter, 255),         NumberParam(kKeyValue, 10000),  ChoiceParam(kKeyUnit, kUnits),
    TextParam(kKeyHostname, 255),            BooleanParam(kKeyUseAuthentication),
    TextParam(kKeyUsername, std::nullopt, 5), TextParam(kKeyPassword, std::nullopt, 5),
};

CheckOutcome RunOnThisHost(AgentContext& /*context*/, const std::string& record) {
  return WithAgentConnector(
      [&](RemoteConnector& connector) { return DiskCheckOutcome(record, LocalCheckHost(), connector); });
}

}  // namespace

const CheckDeclaration kDiskCheck{"DC", "DC__3", "DiskspaceCheck", kDiskParams, RunOnThisHost, nullptr, nullptr};

}  // namespace vorlane::agent
