// Values crossing the control's interface: booleans, texts and byte arrays as the component
// runtime carries them. Internal to the control.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/variant.h"

namespace vorlane::tcpclient {

inline com::VARIANT_BOOL ToVariantBool(bool value) { return value ? com::VARIANT_TRUE : com::VARIANT_FALSE; }

inline std::u16string_view View(com::BSTR text) { return {text != nullptr ? text : u"", com::SysStringLen(text)}; }

inline com::HRESULT CopyOut(std::u16string_view text, com::BSTR* out) {
  if (out == nullptr) return com::E_POINTER;
  *out = com::SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
  return *out == nullptr ? com::E_OUTOFMEMORY : com::S_OK;
}

inline com::HRESULT CopyOut(const std::vector<uint8_t>& bytes, com::VARIANT* out) {
  if (out == nullptr) return com::E_POINTER;
  return com::CatchReturn([&] {
    com::Variant value{std::span<const uint8_t>(bytes)};
    *out = value.Detach();
    return com::S_OK;
  });
}

}  // namespace vorlane::tcpclient
