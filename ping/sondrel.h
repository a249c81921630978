// The ping component's contract for its clients: class and interface identifiers, the dual
// interfaces with their members in vtable order, the member ids for late binding, and the
// event interfaces. Clients include this header and create the classes by class id; they link
// against nothing of the component.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/com/contract.h"
#include "platform/com/interfaces.h"
#include "platform/com/types.h"

namespace vorlane::ping {

inline constexpr com::Guid kSondrelTypeLibId = com::GuidLiteral("99A5DA9A-1005-4958-A7A9-489321FA1190");
inline constexpr const char* kSondrelTypeLibVersion = "1.0";
inline constexpr const char* kSondrelTypeLibHelp = "Sondrel 1.0 Type Library";

inline constexpr com::CLSID kPingClsid = com::GuidLiteral("F37A305E-638D-4A30-B6E1-DCFC16CCDF5F");
inline constexpr const char* kPingDescription = "tqPing Class";
inline constexpr const char* kPingProgId = "Sondrel.tqPing.1";
inline constexpr const char* kPingIndependentProgId = "Sondrel.tqPing";

inline constexpr com::CLSID kCollPingsClsid = com::GuidLiteral("0541F6EA-086C-4557-BF91-3F08A1D1E258");
inline constexpr const char* kCollPingsDescription = "tqCollPings Class";
inline constexpr const char* kCollPingsProgId = "Sondrel.tqCollPings.1";
inline constexpr const char* kCollPingsIndependentProgId = "Sondrel.tqCollPings";

inline constexpr com::Guid kErrCodeEnumId = com::GuidLiteral("F1787AE8-2CD9-4189-BB52-B78BBCD9250E");
// The one member of the component's error enumeration; no operation returns it.
inline constexpr int32_t E_ISRUNNING = 613;

// The longest job timeout (MaxTimeout, milliseconds) Ping takes; a value outside 1..this one is
// used as this one.
inline constexpr int32_t kLongestMaxTimeout = 32000;

// The timeout a job given `maxTimeout` runs with.
constexpr int32_t EffectiveMaxTimeout(int32_t maxTimeout) {
  return maxTimeout >= 1 && maxTimeout <= kLongestMaxTimeout ? maxTimeout : kLongestMaxTimeout;
}

// One ping element: runs one ping job at a time and holds the results of the last one. One row
// per member (platform/com/contract.h), in vtable order.
#define VORLANE_PING_MEMBERS(X)                                                                          \
  X(METHOD, Ping, kPingPing, 1,                                                                          \
    void(com::BSTR hostName, int32_t packageSize, int32_t sendTimes, int32_t maxTimeout,                 \
         com::Optional<uint8_t, 0> tos, com::Optional<bool, false> checkReturnedTos,                     \
         com::Optional<bool, false> ipV6))                                                               \
  X(GETPUT, ErrSeparator, kPingErrSeparator, 2, com::BSTR)                                               \
  X(GET, ID, kPingId, 5, int32_t)                                                                        \
  X(GET, IsRunning, kPingIsRunning, 6, bool)                                                             \
  X(GETPUT, PingID, kPingPingId, 7, int32_t)                                                             \
  X(GET, HostTcpIp, kPingHostTcpIp, 8, com::BSTR)                                                        \
  X(GET, AverageRoundTrip, kPingAverageRoundTrip, 9, int32_t)                                            \
  X(GET, SucceededPercent, kPingSucceededPercent, 10, int16_t)                                           \
  X(GET, ErrorMessage, kPingErrorMessage, 11, com::BSTR)                                                 \
  X(GETPUT, Checked, kPingChecked, 12, bool)

VORLANE_DISPATCH_INTERFACE(ItqPing, "E5FA21DA-9D4B-4951-9D5F-5892C1528E18", VORLANE_PING_MEMBERS);

// The collection: creates, keys and owns elements and reports their finished pings.
#define VORLANE_COLL_PINGS_MEMBERS(X) VORLANE_KEYED_COLLECTION_MEMBERS(X, ItqPing, 8)

VORLANE_DISPATCH_INTERFACE(ItqCollPings, "48FF895A-4175-4678-B9FF-0E11E1996D8E", VORLANE_COLL_PINGS_MEMBERS);

// Events of an element (accepted, never raised).
VORLANE_DISPATCH_INTERFACE(ItqPingEvents, "CB7B2400-512C-4C97-AC3C-323F429C370C", VORLANE_NO_MEMBERS);

// Events of the collection: PingDone(element id) when an element's ping has ended.
VORLANE_DISPATCH_INTERFACE(ItqCollPingsEvents, "1407ECB9-B4C6-4614-AD06-4DDDAEC900BC", VORLANE_NO_MEMBERS);

enum CollPingsMember : com::DISPID { VORLANE_CONTRACT_IDS(VORLANE_COLL_PINGS_MEMBERS) };
enum PingMember : com::DISPID { VORLANE_CONTRACT_IDS(VORLANE_PING_MEMBERS) };

inline constexpr com::DISPID kEventPingDone = 1;    // _ItqCollPingsEvents: PingDone(long lElemID)
inline constexpr com::DISPID kEventPingResult = 1;  // _ItqPingEvents: PingResult(...)

// PingDone as its sinks read it (platform/com/contract_events.h).
struct PingDoneEvent {
  using Interface = ItqCollPingsEvents;
  static constexpr com::DISPID kId = kEventPingDone;
  static constexpr std::string_view kName = "PingDone";
  int32_t id = 0;  // of the element
  using Args = com::EventArgs<com::ByValue<&PingDoneEvent::id>>;
};

}  // namespace vorlane::ping
