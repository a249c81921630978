// The TCP check component's contract for its clients: class and interface identifiers, the dual
// interfaces with their members in vtable order, the member ids for late binding and the event
// interfaces. Clients include this header and create the classes by class id; they link against
// nothing of the component.
//
// A client creates a collection, adds one job per check, starts each job with Check, learns of
// its end from the collection's JobDone event or by polling the job's IsRunning, and then reads
// TCPHostUP and TCPHostResponse.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/com/contract.h"
#include "platform/com/interfaces.h"
#include "platform/com/types.h"

namespace vorlane::tcpcheck {

inline constexpr com::Guid kPortwickTypeLibId = com::GuidLiteral("92EF8EA1-21F7-4EFE-9AD4-904EBDED48F9");
inline constexpr const char* kPortwickTypeLibVersion = "1.0";
inline constexpr const char* kPortwickTypeLibHelp = "Portwick 1.0 Type Library";
// The module's name.
inline constexpr const char* kPortwickModuleName = "Portwick";

inline constexpr com::CLSID kTcpJobClsid = com::GuidLiteral("29B70D30-DC03-4279-8605-3A828CBE1D5B");
inline constexpr const char* kTcpJobDescription = "tqThTCP Class";
inline constexpr const char* kTcpJobProgId = "Portwick.tqThTCP.1";
inline constexpr const char* kTcpJobIndependentProgId = "Portwick.tqThTCP";

inline constexpr com::CLSID kTcpCollectionClsid = com::GuidLiteral("BB52BE02-64BD-4300-AC20-FB62E1E531EB");
inline constexpr const char* kTcpCollectionDescription = "tqCollThTCP Class";
inline constexpr const char* kTcpCollectionProgId = "Portwick.tqCollThTCP.1";
inline constexpr const char* kTcpCollectionIndependentProgId = "Portwick.tqCollThTCP";

// The one member of the component's error enumeration (tqTCPErrCode, alias tqErrCode); no
// operation returns it: Check on a running job answers E_FAIL.
inline constexpr int32_t E_ISRUNNING = 613;

// How Check compares received data with an expected text.
enum CompareMode : int32_t {
  // No comparison; for the greeting it also makes the job wait for one when no text is given.
  kCompareNone = 1,
  // The received data must contain the expected text.
  kCompareContains = 2,
  // The received data's first line, without its line end and leading and trailing blanks, must
  // equal the expected text.
  kCompareEquals = 3,
};

// One TCP check job: runs one check at a time and holds the outcome of the last one. One row
// per member (platform/com/contract.h), in vtable order. Check starts a check in the background:
// E_INVALIDARG for an empty host name or a Port or Timeout (seconds) not above 0, E_FAIL while a
// check runs or when its thread cannot start.
#define VORLANE_TCP_JOB_MEMBERS(X)                                                                                 \
  X(GET, ID, kJobId, 1, int32_t)                                                                                   \
  X(GET, IsRunning, kJobIsRunning, 2, bool)                                                                        \
  X(METHOD, Check, kJobCheck, 3,                                                                                   \
    void(com::BSTR hostname, int32_t port, int32_t timeout, com::BSTR receiveOnConnect,                            \
         int32_t receiveOnConnectCompare, com::BSTR sendOnConnect, com::BSTR receiveAsResponse,                    \
         int32_t receiveAsResponseCompare, com::BSTR sendOnDisconnect, bool waitOnDisconnect, bool useIpv6))       \
  X(GET, TCPIPHostAddress, kJobTcpIpHostAddress, 4, com::BSTR)                                                     \
  X(GET, TCPHostResponse, kJobTcpHostResponse, 5, com::BSTR)                                                       \
  X(GET, TCPHostUP, kJobTcpHostUp, 6, bool)                                                                        \
  X(GETPUT, Checked, kJobChecked, 7, bool)                                                                         \
  X(GETPUT, hm_ID, kJobHmId, 8, int32_t)

VORLANE_DISPATCH_INTERFACE(ItqThTCP, "902C00A5-3174-4F82-90E9-8832A20934FE", VORLANE_TCP_JOB_MEMBERS);

// The collection: creates, keys and owns jobs and reports their ends.
#define VORLANE_TCP_COLLECTION_MEMBERS(X) VORLANE_KEYED_COLLECTION_MEMBERS(X, ItqThTCP, 7)

VORLANE_DISPATCH_INTERFACE(ItqCollThTCP, "809E2A11-B9E3-45AE-9833-CC08842178F5", VORLANE_TCP_COLLECTION_MEMBERS);

// Events of the collection (dispinterface _ItqCollThTCPEvents): JobDone(long ID) when a job of
// the collection has finished.
VORLANE_DISPATCH_INTERFACE(ItqCollThTCPEvents, "C460A771-D01C-49A4-90C0-74B481C7F329", VORLANE_NO_MEMBERS);

// Declared for jobs (dispinterface _ItqThTCPEvents, JobDone(long ID)); no class raises it.
VORLANE_DISPATCH_INTERFACE(ItqThTCPEvents, "AD01A402-8151-4FE2-8CA2-B7C05204EBFD", VORLANE_NO_MEMBERS);

enum TcpJobMember : com::DISPID { VORLANE_CONTRACT_IDS(VORLANE_TCP_JOB_MEMBERS) };
enum TcpCollectionMember : com::DISPID { VORLANE_CONTRACT_IDS(VORLANE_TCP_COLLECTION_MEMBERS) };

inline constexpr com::DISPID kEventJobDone = 1;  // JobDone(long ID)
inline constexpr const char16_t* kEventJobDoneName = u"JobDone";

// JobDone as its sinks read it (platform/com/contract_events.h).
struct JobDoneEvent {
  using Interface = ItqCollThTCPEvents;
  static constexpr com::DISPID kId = kEventJobDone;
  static constexpr std::string_view kName = "JobDone";
  int32_t id = 0;  // of the job
  using Args = com::EventArgs<com::ByValue<&JobDoneEvent::id>>;
};

}  // namespace vorlane::tcpcheck
