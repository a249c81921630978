// The standard interfaces of the component layer. Each interface names its id (kIid) and the
// interface it derives from (Base), which QueryInterface tables follow up to IUnknown.
//
// Objects are never deleted through an interface pointer: destructors are protected, and an
// object ends only through Release.
#pragma once

#include <cstdint>

#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/types.h"

namespace vorlane::com {

struct IUnknown {
  using Base = void;
  static constexpr IID kIid = GuidLiteral("00000000-0000-0000-C000-000000000046");

  virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

// A marker without members: the object may be called on any thread at any time, so a pointer to
// it handed to another thread is the object itself, never a proxy into its apartment (an event
// sink that only records what it is told, say).
struct IAgileObject : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("94EA2B94-E9CC-49E0-C0FF-EE64CA8F5B90");

 protected:
  ~IAgileObject() = default;
};

struct IDispatch : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("00020400-0000-0000-C000-000000000046");

  virtual HRESULT GetTypeInfoCount(uint32_t* count) = 0;
  // Type information objects are not offered: answers E_NOTIMPL.
  virtual HRESULT GetTypeInfo(uint32_t index, LCID lcid, void** typeInfo) = 0;
  virtual HRESULT GetIDsOfNames(const IID& iid, OLECHAR** names, uint32_t count, LCID lcid, DISPID* ids) = 0;
  virtual HRESULT Invoke(DISPID id, const IID& iid, LCID lcid, uint16_t flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* exception, uint32_t* argError) = 0;

 protected:
  ~IDispatch() = default;
};

struct IClassFactory : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("00000001-0000-0000-C000-000000000046");

  virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
  virtual HRESULT LockServer(int32_t lock) = 0;

 protected:
  ~IClassFactory() = default;
};

struct CONNECTDATA {
  IUnknown* pUnk;
  uint32_t dwCookie;
};

struct IConnectionPointContainer;

struct IEnumConnections : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("B196B287-BAB4-101A-B69C-00AA00341D07");

  // Hands out up to `count` connections (each with a reference on its sink).
  virtual HRESULT Next(uint32_t count, CONNECTDATA* items, uint32_t* fetched) = 0;
  virtual HRESULT Skip(uint32_t count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnections** copy) = 0;

 protected:
  ~IEnumConnections() = default;
};

struct IConnectionPoint : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("B196B286-BAB4-101A-B69C-00AA00341D07");

  virtual HRESULT GetConnectionInterface(IID* iid) = 0;
  virtual HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) = 0;
  virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
  virtual HRESULT Unadvise(uint32_t cookie) = 0;
  virtual HRESULT EnumConnections(IEnumConnections** connections) = 0;

 protected:
  ~IConnectionPoint() = default;
};

struct IEnumConnectionPoints : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("B196B285-BAB4-101A-B69C-00AA00341D07");

  virtual HRESULT Next(uint32_t count, IConnectionPoint** items, uint32_t* fetched) = 0;
  virtual HRESULT Skip(uint32_t count) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Clone(IEnumConnectionPoints** copy) = 0;

 protected:
  ~IEnumConnectionPoints() = default;
};

struct IConnectionPointContainer : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("B196B284-BAB4-101A-B69C-00AA00341D07");

  virtual HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) = 0;
  virtual HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};

struct ISupportErrorInfo : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("DF0B3D60-548F-101B-8E65-08002B2BD119");

  // S_OK when the object sets error information for failures of interface `iid`.
  virtual HRESULT InterfaceSupportsErrorInfo(const IID& iid) = 0;

 protected:
  ~ISupportErrorInfo() = default;
};

struct IErrorInfo : IUnknown {
  using Base = IUnknown;
  static constexpr IID kIid = GuidLiteral("1CF2B120-547D-101B-8E65-08002B2BD119");

  virtual HRESULT GetGUID(IID* iid) = 0;
  virtual HRESULT GetSource(BSTR* source) = 0;
  virtual HRESULT GetDescription(BSTR* description) = 0;
  virtual HRESULT GetHelpFile(BSTR* helpFile) = 0;
  virtual HRESULT GetHelpContext(uint32_t* helpContext) = 0;

 protected:
  ~IErrorInfo() = default;
};

// The id of interface I.
template <class I>
constexpr const IID& IidOf() {
  return I::kIid;
}

}  // namespace vorlane::com
