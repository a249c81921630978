// The test component's one class: a counter behind the ICounter interface.
#pragma once

#include <cstdint>

#include "platform/com/interfaces.h"

namespace vorlane::com::testing {

struct ICounter : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("6C82C71D-BAD7-4D2D-B2B2-0FB6B31371D5");

  virtual HRESULT Increment() = 0;
  virtual HRESULT Value(int32_t* value) = 0;

 protected:
  ~ICounter() = default;
};

inline constexpr CLSID kCounterClsid = GuidLiteral("C137E047-9615-4577-A54F-3BDF30BAA96F");
inline constexpr Guid kCounterTypeLib = GuidLiteral("9A97B21F-909C-4B86-8563-3C60124864CA");
inline constexpr const char* kCounterProgId = "VorlaneTest.Counter.1";
inline constexpr const char* kCounterIndependentProgId = "VorlaneTest.Counter";
inline constexpr const char* kCounterDescription = "Vorlane test counter";

}  // namespace vorlane::com::testing
