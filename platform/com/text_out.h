// Texts as the members of a component take and hand them out: a BSTR received, null being the
// empty text, and UTF-8 text handed out as a new BSTR through an out parameter.
#pragma once

#include <new>
#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/hresult.h"

namespace vorlane::com {

inline std::u16string_view TextOf(BSTR text) noexcept { return {text != nullptr ? text : u"", SysStringLen(text)}; }

// E_POINTER, E_OUTOFMEMORY or S_OK.
inline HRESULT CopyOutUtf8(std::string_view text, BSTR* out) noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  try {
    *out = Bstr::FromUtf8(text).detach();
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

}  // namespace vorlane::com
