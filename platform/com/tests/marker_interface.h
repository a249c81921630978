// An interface with no members of its own, for tests that need distinct interface types: all it
// has is its id and the interface it derives from.
#pragma once

#include "platform/com/interfaces.h"

namespace vorlane::com {

template <class BaseInterface, Guid kId>
struct MarkerInterface : BaseInterface {
  using Base = BaseInterface;
  static constexpr IID kIid = kId;

 protected:
  ~MarkerInterface() = default;
};

}  // namespace vorlane::com
