// The event-source test component: a ticker whose worker thread fires events at the most
// recently advised sink, so that tests can watch calls cross from a worker into the client's
// apartment. Both interfaces are dispatch interfaces; ITicker is dual.
#pragma once

#include <cstdint>

#include "platform/com/interfaces.h"

namespace vorlane::com::testing {

enum : DISPID {
  kTickerStart = 1,
  kTickerFired = 2,
  kTickerAdd = 3,
  kTickerWaitIdle = 4,
  kTickerLastEventResult = 5,
};

struct ITicker : IDispatch {
  using Base = IDispatch;
  static constexpr IID kIid = GuidLiteral("5E0B4C1A-7D2E-4F3B-9A61-2C8D7E4F0A11");

  // Starts a worker thread that fires Tick(1) .. Tick(count) and then Done() at the sink that is
  // advised when each event is fired. Returns at once; E_INVALIDARG for a negative count.
  virtual HRESULT Start(int32_t count) = 0;
  // Events (Done included) that a sink accepted, over every Start of this object.
  virtual HRESULT get_Fired(int32_t* fired) = 0;
  virtual HRESULT Add(int32_t a, int32_t b, int32_t* sum) = 0;
  // Waits up to timeoutMs for every worker thread of the module to end; *idle tells whether they
  // did. It does not pump: calling it while a worker waits to call into the caller's apartment
  // only runs into the timeout.
  virtual HRESULT WaitIdle(int32_t timeoutMs, VARIANT_BOOL* idle) = 0;
  // The failure of the most recent event a sink did not accept; S_OK while none failed. No
  // advised sink is not a failure: the event is simply not delivered.
  virtual HRESULT get_LastEventResult(int32_t* hr) = 0;

 protected:
  ~ITicker() = default;
};

enum : DISPID { kTickerEventTick = 1, kTickerEventDone = 2 };

// The outgoing interface: Tick(long n) and Done(), reached only through Invoke.
struct ITickerEvents : IDispatch {
  using Base = IDispatch;
  static constexpr IID kIid = GuidLiteral("5E0B4C1A-7D2E-4F3B-9A61-2C8D7E4F0A12");

 protected:
  ~ITickerEvents() = default;
};

inline constexpr CLSID kTickerClsid = GuidLiteral("5E0B4C1A-7D2E-4F3B-9A61-2C8D7E4F0A10");
inline constexpr const char* kTickerProgId = "VorlaneTest.Ticker.1";
inline constexpr const char* kTickerIndependentProgId = "VorlaneTest.Ticker";
inline constexpr const char* kTickerDescription = "Vorlane test ticker";

}  // namespace vorlane::com::testing
