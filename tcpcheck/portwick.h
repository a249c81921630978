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

// One TCP check job: runs one check at a time and holds the outcome of the last one.
struct ItqThTCP : com::IDispatch {
  using Base = com::IDispatch;
  static constexpr com::IID kIid = com::GuidLiteral("902C00A5-3174-4F82-90E9-8832A20934FE");

  virtual com::HRESULT get_ID(int32_t* value) = 0;
  virtual com::HRESULT get_IsRunning(com::VARIANT_BOOL* value) = 0;
  // Starts a check in the background: E_INVALIDARG for an empty host name or a Port or Timeout
  // (seconds) not above 0, E_FAIL while a check runs or when its thread cannot start.
  virtual com::HRESULT Check(com::BSTR hostname, int32_t port, int32_t timeout, com::BSTR receiveOnConnect,
                             int32_t receiveOnConnectCompare, com::BSTR sendOnConnect, com::BSTR receiveAsResponse,
                             int32_t receiveAsResponseCompare, com::BSTR sendOnDisconnect,
                             com::VARIANT_BOOL waitOnDisconnect, com::VARIANT_BOOL useIpv6) = 0;
  virtual com::HRESULT get_TCPIPHostAddress(com::BSTR* value) = 0;
  virtual com::HRESULT get_TCPHostResponse(com::BSTR* value) = 0;
  virtual com::HRESULT get_TCPHostUP(com::VARIANT_BOOL* value) = 0;
  virtual com::HRESULT get_Checked(com::VARIANT_BOOL* value) = 0;
  virtual com::HRESULT put_Checked(com::VARIANT_BOOL value) = 0;
  virtual com::HRESULT get_hm_ID(int32_t* value) = 0;
  virtual com::HRESULT put_hm_ID(int32_t value) = 0;

 protected:
  ~ItqThTCP() = default;
};

// The collection: creates, keys and owns jobs and reports their ends.
struct ItqCollThTCP : com::IDispatch {
  using Base = com::IDispatch;
  static constexpr com::IID kIid = com::GuidLiteral("809E2A11-B9E3-45AE-9833-CC08842178F5");

  // "property Count - return the number of elements from the collection"
  virtual com::HRESULT get_Count(int32_t* count) = 0;
  // "method Add - create and add the new element to the collection"
  virtual com::HRESULT Add(ItqThTCP** job) = 0;
  // "method Remove - remove an element with the specified key"
  virtual com::HRESULT Remove(int32_t id) = 0;
  // "method Item - get an Item based on the item key"
  virtual com::HRESULT Item(int32_t id, ItqThTCP** job) = 0;
  // "method At - return the element at the index position, 0 based"
  virtual com::HRESULT At(int32_t index, ItqThTCP** job) = 0;
  // "method Clear - empty the collection"
  virtual com::HRESULT Clear() = 0;
  // "property IsRunning"
  virtual com::HRESULT get_IsRunning(com::VARIANT_BOOL* running) = 0;
  // "property AllChecked"
  virtual com::HRESULT get_AllChecked(com::VARIANT_BOOL* checked) = 0;

 protected:
  ~ItqCollThTCP() = default;
};

// Events of the collection (dispinterface _ItqCollThTCPEvents): JobDone(long ID) when a job of
// the collection has finished.
struct ItqCollThTCPEvents : com::IDispatch {
  using Base = com::IDispatch;
  static constexpr com::IID kIid = com::GuidLiteral("C460A771-D01C-49A4-90C0-74B481C7F329");

 protected:
  ~ItqCollThTCPEvents() = default;
};

// Declared for jobs (dispinterface _ItqThTCPEvents, JobDone(long ID)); no class raises it.
struct ItqThTCPEvents : com::IDispatch {
  using Base = com::IDispatch;
  static constexpr com::IID kIid = com::GuidLiteral("AD01A402-8151-4FE2-8CA2-B7C05204EBFD");

 protected:
  ~ItqThTCPEvents() = default;
};

enum TcpJobMember : com::DISPID {
  kJobId = 1,
  kJobIsRunning = 2,
  kJobCheck = 3,
  kJobTcpIpHostAddress = 4,
  kJobTcpHostResponse = 5,
  kJobTcpHostUp = 6,
  kJobChecked = 7,
  kJobHmId = 8,
};

enum TcpCollectionMember : com::DISPID {
  kCollItem = 0,
  kCollCount = 1,
  kCollAdd = 2,
  kCollRemove = 3,
  kCollAt = 4,
  kCollClear = 5,
  kCollIsRunning = 6,
  kCollAllChecked = 7,
};

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
