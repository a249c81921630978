// The data types that cross component interfaces: BSTR, VARIANT, DISPPARAMS, EXCEPINFO and the
// dispatch constants. Plain structs with a fixed layout; the functions that manage them live in
// bstr.h and variant.h, RAII wrappers beside them.
#pragma once

#include <cstdint>

#include "platform/com/hresult.h"

namespace vorlane::com {

struct IUnknown;
struct IDispatch;

// A BSTR points at UTF-16 text preceded by its length in bytes (a 32-bit value) and followed by
// a zero char16_t. A null BSTR counts as the empty text everywhere.
using OLECHAR = char16_t;
using BSTR = OLECHAR*;
using LCID = uint32_t;
using DISPID = int32_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;
inline constexpr LCID LOCALE_USER_DEFAULT = 0x400;

enum : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R8 = 5,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_UI1 = 17,
  VT_UI4 = 19,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

// A one-dimensional array, as the byte arrays (VT_ARRAY | VT_UI1) that components pass.
struct SAFEARRAY {
  VARTYPE vt;          // element type
  uint32_t count;      // number of elements
  uint32_t elementSize;
  void* data;
};

struct VARIANT {
  VARTYPE vt;
  uint16_t reserved1;
  uint16_t reserved2;
  uint16_t reserved3;
  union {
    int16_t iVal;
    int32_t lVal;
    uint8_t bVal;
    uint32_t ulVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    int16_t* piVal;
    int32_t* plVal;
    uint8_t* pbVal;
    VARIANT_BOOL* pboolVal;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    void* byref;
  };
};

// Arguments of IDispatch::Invoke: rgvarg holds them in reverse order (the last argument first);
// named arguments come first in rgvarg, their ids in rgdispidNamedArgs.
struct DISPPARAMS {
  VARIANT* rgvarg;
  DISPID* rgdispidNamedArgs;
  uint32_t cArgs;
  uint32_t cNamedArgs;
};

struct EXCEPINFO {
  uint16_t wCode;
  uint16_t wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  uint32_t dwHelpContext;
  void* pvReserved;
  void* pfnDeferredFillIn;
  HRESULT scode;
};

inline constexpr DISPID DISPID_UNKNOWN = -1;
inline constexpr DISPID DISPID_VALUE = 0;
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

inline constexpr uint16_t DISPATCH_METHOD = 1;
inline constexpr uint16_t DISPATCH_PROPERTYGET = 2;
inline constexpr uint16_t DISPATCH_PROPERTYPUT = 4;
inline constexpr uint16_t DISPATCH_PROPERTYPUTREF = 8;

}  // namespace vorlane::com
