// CTermServerEvents: the agent's sink for the terminal server's events. Each event is handled
// on the server thread, one after another, and decides what the connection may do.
#pragma once

#include "agent/protocol/agent_context.h"
#include "platform/com/com_object.h"

namespace vorlane::agent {

// The terminal server's event interface.
inline constexpr com::IID kTermServerEventsIid = com::GuidLiteral("221A3E44-2F0F-4302-83B2-DC3AAA3C0372");

class CTermServerEvents final : public com::ComObject<CTermServerEvents, com::IDispatch> {
 public:
  explicit CTermServerEvents(AgentContext& context) : context_(context) {}

  com::HRESULT GetTypeInfoCount(uint32_t* count) override;
  com::HRESULT GetTypeInfo(uint32_t index, com::LCID lcid, void** typeInfo) override;
  com::HRESULT GetIDsOfNames(const com::IID& iid, com::OLECHAR** names, uint32_t count, com::LCID lcid,
                             com::DISPID* ids) override;
  com::HRESULT Invoke(com::DISPID id, const com::IID& iid, com::LCID lcid, uint16_t flags,
                      com::DISPPARAMS* params, com::VARIANT* result, com::EXCEPINFO* exception,
                      uint32_t* argError) override;

 protected:
  com::HRESULT QueryInterfaceExtra(const com::IID& iid, void** object) override;

 private:
  ~CTermServerEvents() override = default;
  AgentContext& context_;
};

}  // namespace vorlane::agent
