// What every sink of the TCP client control's events shares: it is reached late-bound only, as
// the event interface, and each event goes to `Derived::OnEvent(id, call)` with its arguments.
#pragma once

#include "platform/com/com_object.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/interfaces.h"
#include "tcpclient/kelpline.h"

namespace vorlane::tcpclient::testing {

template <class Derived>
class KelplineEventSink : public com::ComObject<Derived, com::IDispatch> {
 public:
  com::HRESULT QueryInterfaceExtra(const com::IID& iid, void** object) override {
    if (iid != IKelplineEvents::kIid) return com::E_NOINTERFACE;
    this->AddRef();
    *object = static_cast<com::IDispatch*>(this);
    return com::S_OK;
  }
  com::HRESULT GetTypeInfoCount(uint32_t* count) override { return *count = 0, com::S_OK; }
  com::HRESULT GetTypeInfo(uint32_t, com::LCID, void**) override { return com::E_NOTIMPL; }
  com::HRESULT GetIDsOfNames(const com::IID&, com::OLECHAR**, uint32_t, com::LCID, com::DISPID*) override {
    return com::E_NOTIMPL;
  }
  com::HRESULT Invoke(com::DISPID id, const com::IID&, com::LCID, uint16_t, com::DISPPARAMS* params, com::VARIANT*,
                      com::EXCEPINFO*, uint32_t*) override {
    com::DispatchCall call(*params, nullptr, nullptr);
    static_cast<Derived*>(this)->OnEvent(id, call);
    return com::S_OK;
  }
};

}  // namespace vorlane::tcpclient::testing
