#include "platform/com/error_info.h"

#include <string>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"

namespace vorlane::com {
namespace {

class ErrorInfo final : public ComObject<ErrorInfo, IErrorInfo> {
 public:
  ErrorInfo(const IID& iid, std::u16string_view source, std::u16string_view description)
      : iid_(iid), source_(source), description_(description) {}

  HRESULT GetGUID(IID* iid) override {
    if (iid == nullptr) return E_POINTER;
    *iid = iid_;
    return S_OK;
  }
  HRESULT GetSource(BSTR* source) override { return CopyOut(source_, source); }
  HRESULT GetDescription(BSTR* description) override { return CopyOut(description_, description); }
  HRESULT GetHelpFile(BSTR* helpFile) override {
    if (helpFile == nullptr) return E_POINTER;
    *helpFile = nullptr;
    return S_OK;
  }
  HRESULT GetHelpContext(uint32_t* helpContext) override {
    if (helpContext == nullptr) return E_POINTER;
    *helpContext = 0;
    return S_OK;
  }

 private:
  ~ErrorInfo() override = default;

  static HRESULT CopyOut(const std::u16string& text, BSTR* out) {
    if (out == nullptr) return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
  }

  const IID iid_;
  const std::u16string source_;
  const std::u16string description_;
};

// Released when the thread ends, so error objects left behind do not leak.
thread_local ComPtr<IErrorInfo> tErrorInfo;

}  // namespace

HRESULT SetErrorInfo(IErrorInfo* info) noexcept {
  // The previous object is released only after the slot changed: its destructor may set error
  // information itself.
  ComPtr<IErrorInfo> previous = std::exchange(tErrorInfo, ComPtr<IErrorInfo>(info));
  return S_OK;
}

HRESULT GetErrorInfo(IErrorInfo** info) noexcept {
  if (info == nullptr) return E_POINTER;
  *info = tErrorInfo.detach();
  return *info != nullptr ? S_OK : S_FALSE;
}

ComPtr<IErrorInfo> CreateErrorInfo(const IID& iid, std::u16string_view source, std::u16string_view description) {
  return Make<ErrorInfo>(iid, source, description);
}

HRESULT SetErrorAndReturn(HRESULT hr, const IID& iid, std::u16string_view source,
                          std::u16string_view description) noexcept {
  ComPtr<IErrorInfo> info;
  (void)CatchReturn([&] { info = CreateErrorInfo(iid, source, description); });
  (void)SetErrorInfo(info.get());
  return hr;
}

}  // namespace vorlane::com
