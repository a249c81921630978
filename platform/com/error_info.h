// Error information: the text that explains a failure code, kept per thread. A method that fails
// sets it just before returning; the caller takes it right after the call. One slot per thread
// for the whole process (it lives in the runtime library), shared by every component.
#pragma once

#include <string_view>

#include "platform/com/com_ptr.h"
#include "platform/com/interfaces.h"

namespace vorlane::com {

// Replaces the calling thread's error information, taking a reference on `info`; null clears it.
HRESULT SetErrorInfo(IErrorInfo* info) noexcept;

// Hands the calling thread's error information to the caller (who owns the reference) and
// clears the slot: S_OK, or S_FALSE with *info null when there is none.
HRESULT GetErrorInfo(IErrorInfo** info) noexcept;

// A new error object describing a failure of interface `iid`, raised by `source`.
// Throws std::bad_alloc when memory runs out.
ComPtr<IErrorInfo> CreateErrorInfo(const IID& iid, std::u16string_view source, std::u16string_view description);

// Sets error information for a failure and returns hr, for `return SetErrorAndReturn(...)`.
// Should memory run out, the slot is cleared instead: hr still reaches the caller.
HRESULT SetErrorAndReturn(HRESULT hr, const IID& iid, std::u16string_view source,
                          std::u16string_view description) noexcept;

}  // namespace vorlane::com
