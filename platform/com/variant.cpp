#include "platform/com/variant.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "platform/com/com_ptr.h"

namespace vorlane::com {
namespace {

uint32_t ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_UI1: return 1;
    case VT_I2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4: return 4;
    case VT_R8: return 8;
    default: return 0;
  }
}

bool IsScalar(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_UI1:
    case VT_UI4:
    case VT_R8:
    case VT_BOOL:
    case VT_ERROR: return true;
    default: return false;
  }
}

bool IsKnownBase(VARTYPE vt) {
  return IsScalar(vt) || vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN;
}

bool IsKnown(VARTYPE vt) {
  if (vt & VT_BYREF) {
    const VARTYPE base = vt & ~VT_BYREF;
    return base == VT_VARIANT || IsKnown(base);
  }
  if (vt & VT_ARRAY) return ElementSize(vt & ~VT_ARRAY) != 0;
  return IsKnownBase(vt);
}

// A view of the value a by-reference VARIANT points at (owning nothing); v itself otherwise.
HRESULT ReadThrough(const VARIANT& v, VARIANT* view) {
  *view = v;
  // A VT_VARIANT reference may lead to another reference: one more level is followed.
  for (int level = 0; level < 2 && (view->vt & VT_BYREF); ++level) {
    if (view->byref == nullptr) return E_INVALIDARG;
    const VARTYPE base = view->vt & ~VT_BYREF;
    if (base == VT_VARIANT) {
      *view = *view->pvarVal;
      continue;
    }
    VARIANT value{};
    value.vt = base;
    if (base & VT_ARRAY) {
      value.parray = *view->pparray;
    } else {
      switch (base) {
        case VT_I2: value.iVal = *view->piVal; break;
        case VT_I4: value.lVal = *view->plVal; break;
        case VT_UI1: value.bVal = *view->pbVal; break;
        case VT_UI4: value.ulVal = *reinterpret_cast<const uint32_t*>(view->byref); break;
        case VT_R8: value.dblVal = *reinterpret_cast<const double*>(view->byref); break;
        case VT_BOOL: value.boolVal = *view->pboolVal; break;
        case VT_ERROR: value.scode = *reinterpret_cast<const HRESULT*>(view->byref); break;
        case VT_BSTR: value.bstrVal = *view->pbstrVal; break;
        case VT_DISPATCH: value.pdispVal = *view->ppdispVal; break;
        case VT_UNKNOWN: value.punkVal = *view->ppunkVal; break;
        default: return DISP_E_BADVARTYPE;
      }
    }
    *view = value;
  }
  return (view->vt & VT_BYREF) ? E_INVALIDARG : S_OK;
}

// Numbers as the conversions see them: an integer or a double.
struct Number {
  bool isDouble = false;
  int64_t integer = 0;
  double real = 0;
  bool fromBool = false;
};

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// The text as ASCII without surrounding blanks; false for anything else.
bool TrimmedAscii(BSTR text, std::string* out) {
  std::u16string_view view(text ? text : u"", SysStringLen(text));
  while (!view.empty() && IsBlank(view.front())) view.remove_prefix(1);
  while (!view.empty() && IsBlank(view.back())) view.remove_suffix(1);
  out->clear();
  for (char16_t c : view) {
    if (c >= 0x80) return false;
    out->push_back(static_cast<char>(c));
  }
  return true;
}

HRESULT ParseNumber(BSTR text, Number* n) {
  std::string ascii;
  if (!TrimmedAscii(text, &ascii)) return DISP_E_TYPEMISMATCH;
  std::string_view s = ascii;
  if (s.size() > 1 && s[0] == '+' && s[1] != '-') s.remove_prefix(1);
  if (s.empty() || s.find_first_not_of("0123456789.eE+-") != std::string_view::npos) return DISP_E_TYPEMISMATCH;
  const char* end = s.data() + s.size();
  auto [intEnd, intError] = std::from_chars(s.data(), end, n->integer);
  if (intEnd == end && intError == std::errc()) return S_OK;
  // Fractions, exponents and integers beyond 64 bits (which R8 still holds).
  auto [realEnd, realError] = std::from_chars(s.data(), end, n->real);
  if (realEnd != end) return DISP_E_TYPEMISMATCH;
  if (realError == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
  if (realError != std::errc()) return DISP_E_TYPEMISMATCH;
  n->isDouble = true;
  return S_OK;
}

HRESULT ToNumber(const VARIANT& v, Number* n) {
  switch (v.vt) {
    case VT_EMPTY: return S_OK;
    case VT_I2: n->integer = v.iVal; return S_OK;
    case VT_I4: n->integer = v.lVal; return S_OK;
    case VT_UI1: n->integer = v.bVal; return S_OK;
    case VT_UI4: n->integer = v.ulVal; return S_OK;
    case VT_BOOL:
      n->integer = v.boolVal ? -1 : 0;
      n->fromBool = true;
      return S_OK;
    case VT_R8:
      n->isDouble = true;
      n->real = v.dblVal;
      return S_OK;
    case VT_BSTR: return ParseNumber(v.bstrVal, n);
    default: return DISP_E_TYPEMISMATCH;
  }
}

// Rounds to the nearest integer, halves to the even neighbour, as automation clients expect.
double RoundHalfEven(double d) {
  double floor = std::floor(d);
  const double fraction = d - floor;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0.0)) floor += 1.0;
  return floor;
}

HRESULT ToInteger(const Number& n, int64_t min, int64_t max, int64_t* out) {
  if (n.fromBool && min == 0 && n.integer == -1) {
    *out = max;  // true as an unsigned number: all bits set
    return S_OK;
  }
  if (n.isDouble) {
    if (!std::isfinite(n.real)) return DISP_E_OVERFLOW;
    const double rounded = RoundHalfEven(n.real);
    if (rounded < static_cast<double>(min) || rounded > static_cast<double>(max)) return DISP_E_OVERFLOW;
    *out = static_cast<int64_t>(rounded);
    return S_OK;
  }
  if (n.integer < min || n.integer > max) return DISP_E_OVERFLOW;
  *out = n.integer;
  return S_OK;
}

HRESULT ToBoolean(const VARIANT& v, bool* out) {
  if (v.vt == VT_BSTR) {
    std::string ascii;
    if (TrimmedAscii(v.bstrVal, &ascii)) {
      auto equalsIgnoringCase = [&](std::string_view word) {
        if (ascii.size() != word.size()) return false;
        for (size_t i = 0; i < word.size(); ++i) {
          if ((ascii[i] | 0x20) != word[i]) return false;
        }
        return true;
      };
      if (equalsIgnoringCase("true")) return *out = true, S_OK;
      if (equalsIgnoringCase("false")) return *out = false, S_OK;
    }
  }
  Number n;
  VORLANE_RETURN_IF_FAILED(ToNumber(v, &n));
  *out = n.isDouble ? n.real != 0.0 : n.integer != 0;
  return S_OK;
}

HRESULT ToText(const VARIANT& v, VARIANT* out) {
  std::u16string text;
  if (v.vt == VT_BOOL) {
    text = v.boolVal ? u"True" : u"False";
  } else if (v.vt != VT_EMPTY) {
    Number n;
    VORLANE_RETURN_IF_FAILED(ToNumber(v, &n));
    char buffer[64];
    auto result = n.isDouble ? std::to_chars(buffer, buffer + sizeof buffer, n.real)
                             : std::to_chars(buffer, buffer + sizeof buffer, n.integer);
    text.assign(buffer, result.ptr);  // ASCII: each char widens to one char16_t
  }
  out->bstrVal = SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
  if (out->bstrVal == nullptr) return E_OUTOFMEMORY;
  out->vt = VT_BSTR;
  return S_OK;
}

HRESULT ToInterface(const VARIANT& v, VARTYPE vt, VARIANT* out) {
  if (v.vt != VT_UNKNOWN && v.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
  IUnknown* object = v.vt == VT_UNKNOWN ? v.punkVal : v.pdispVal;
  void* converted = nullptr;
  if (object != nullptr) {
    const IID& iid = vt == VT_DISPATCH ? IDispatch::kIid : IUnknown::kIid;
    if (Failed(object->QueryInterface(iid, &converted))) return DISP_E_TYPEMISMATCH;
  }
  out->vt = vt;
  if (vt == VT_DISPATCH) {
    out->pdispVal = static_cast<IDispatch*>(converted);
  } else {
    out->punkVal = static_cast<IUnknown*>(converted);
  }
  return S_OK;
}

HRESULT Convert(const VARIANT& v, VARTYPE vt, VARIANT* out) {
  int64_t min = 0, max = 0;
  switch (vt) {
    case VT_I2: min = INT16_MIN, max = INT16_MAX; break;
    case VT_I4: min = INT32_MIN, max = INT32_MAX; break;
    case VT_UI1: max = UINT8_MAX; break;
    case VT_UI4: max = UINT32_MAX; break;
    case VT_R8: {
      Number n;
      VORLANE_RETURN_IF_FAILED(ToNumber(v, &n));
      out->vt = VT_R8;
      out->dblVal = n.isDouble ? n.real : static_cast<double>(n.integer);
      return S_OK;
    }
    case VT_BOOL: {
      bool value = false;
      VORLANE_RETURN_IF_FAILED(ToBoolean(v, &value));
      out->vt = VT_BOOL;
      out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
    case VT_BSTR: return ToText(v, out);
    case VT_DISPATCH:
    case VT_UNKNOWN: return ToInterface(v, vt, out);
    case VT_EMPTY:
    case VT_NULL:
    case VT_ERROR: return DISP_E_TYPEMISMATCH;
    default: return (vt & VT_ARRAY) && IsKnown(vt) ? DISP_E_TYPEMISMATCH : DISP_E_BADVARTYPE;
  }
  Number n;
  VORLANE_RETURN_IF_FAILED(ToNumber(v, &n));
  int64_t value = 0;
  VORLANE_RETURN_IF_FAILED(ToInteger(n, min, max, &value));
  out->vt = vt;
  switch (vt) {
    case VT_I2: out->iVal = static_cast<int16_t>(value); break;
    case VT_I4: out->lVal = static_cast<int32_t>(value); break;
    case VT_UI1: out->bVal = static_cast<uint8_t>(value); break;
    default: out->ulVal = static_cast<uint32_t>(value); break;
  }
  return S_OK;
}

}  // namespace

void VariantInit(VARIANT* v) noexcept { std::memset(v, 0, sizeof *v); }

HRESULT VariantClear(VARIANT* v) noexcept {
  if (v == nullptr) return E_POINTER;
  if (!IsKnown(v->vt)) return DISP_E_BADVARTYPE;
  if (!(v->vt & VT_BYREF)) {
    if (v->vt & VT_ARRAY) {
      (void)SafeArrayDestroy(v->parray);
    } else if (v->vt == VT_BSTR) {
      SysFreeString(v->bstrVal);
    } else if ((v->vt == VT_DISPATCH || v->vt == VT_UNKNOWN) && v->punkVal != nullptr) {
      // Read as the member that was written; the release may re-enter, so v is emptied first.
      IUnknown* object = v->vt == VT_DISPATCH ? v->pdispVal : v->punkVal;
      VariantInit(v);
      object->Release();
    }
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dst, const VARIANT* src) noexcept {
  if (dst == nullptr || src == nullptr) return E_POINTER;
  if (dst == src) return S_OK;
  if (!IsKnown(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT copy = *src;
  if (!(src->vt & VT_BYREF)) {
    if (src->vt & VT_ARRAY) {
      VORLANE_RETURN_IF_FAILED(SafeArrayCopy(src->parray, &copy.parray));
    } else if (src->vt == VT_BSTR && src->bstrVal != nullptr) {
      copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
      if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else if (src->vt == VT_DISPATCH && src->pdispVal != nullptr) {
      src->pdispVal->AddRef();
    } else if (src->vt == VT_UNKNOWN && src->punkVal != nullptr) {
      src->punkVal->AddRef();
    }
  }
  (void)VariantClear(dst);
  *dst = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dst, const VARIANT* src) noexcept {
  if (dst == nullptr || src == nullptr) return E_POINTER;
  if (!IsKnown(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT view;
  VORLANE_RETURN_IF_FAILED(ReadThrough(*src, &view));
  return VariantCopy(dst, &view);
}

HRESULT VariantChangeType(VARIANT* dst, const VARIANT* src, VARTYPE vt) noexcept {
  if (dst == nullptr || src == nullptr) return E_POINTER;
  if (!IsKnown(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT view;
  VORLANE_RETURN_IF_FAILED(ReadThrough(*src, &view));
  if (view.vt == vt) return VariantCopy(dst, &view);
  VARIANT converted;
  VariantInit(&converted);
  VORLANE_RETURN_IF_FAILED(Convert(view, vt, &converted));
  // Only now is dst cleared: dst may be src, whose contents the conversion read.
  (void)VariantClear(dst);
  *dst = converted;
  return S_OK;
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, uint32_t count) noexcept {
  const uint32_t size = ElementSize(vt);
  if (size == 0) return nullptr;
  // The elements follow the header in one block; the header's size keeps them 8-byte aligned.
  static_assert(sizeof(SAFEARRAY) % alignof(double) == 0);
  const size_t bytes = size_t{count} * size;
  auto* block = static_cast<char*>(std::calloc(1, sizeof(SAFEARRAY) + bytes));
  if (block == nullptr) return nullptr;
  auto* array = reinterpret_cast<SAFEARRAY*>(block);
  array->vt = vt;
  array->count = count;
  array->elementSize = size;
  array->data = block + sizeof(SAFEARRAY);
  return array;
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) noexcept {
  std::free(array);
  return S_OK;
}

HRESULT SafeArrayCopy(const SAFEARRAY* array, SAFEARRAY** copy) noexcept {
  if (copy == nullptr) return E_POINTER;
  *copy = nullptr;
  if (array == nullptr) return S_OK;
  SAFEARRAY* result = SafeArrayCreateVector(array->vt, array->count);
  if (result == nullptr) return ElementSize(array->vt) == 0 ? DISP_E_BADVARTYPE : E_OUTOFMEMORY;
  if (array->count != 0) std::memcpy(result->data, array->data, size_t{array->count} * array->elementSize);
  *copy = result;
  return S_OK;
}

Variant::Variant(std::u16string_view text) : Variant(Bstr(text)) {}

Variant::Variant(Bstr text) noexcept : Variant() {
  v_.vt = VT_BSTR;
  v_.bstrVal = text.detach();
}

Variant Variant::FromUtf8(std::string_view utf8) { return Variant(Bstr::FromUtf8(utf8)); }

Variant::Variant(std::span<const uint8_t> bytes) : Variant() {
  if (bytes.size() > UINT32_MAX) throw std::bad_alloc();
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, static_cast<uint32_t>(bytes.size()));
  if (array == nullptr) throw std::bad_alloc();
  if (!bytes.empty()) std::memcpy(array->data, bytes.data(), bytes.size());
  v_.vt = VT_ARRAY | VT_UI1;
  v_.parray = array;
}

Variant Variant::MakeByRef(VARTYPE vt, void* target) noexcept {
  Variant result;
  result.v_.vt = vt | VT_BYREF;
  result.v_.byref = target;
  return result;
}

void Variant::SetInterface(VARTYPE vt, IUnknown* object) noexcept {
  if (object != nullptr) object->AddRef();
  v_.vt = vt;
  if (vt == VT_DISPATCH) {
    v_.pdispVal = static_cast<IDispatch*>(object);
  } else {
    v_.punkVal = object;
  }
}

Variant Variant::Attach(const VARIANT& raw) noexcept {
  Variant result;
  result.v_ = raw;
  return result;
}

Variant::Variant(const Variant& other) : Variant() {
  if (VariantCopy(&v_, &other.v_) == E_OUTOFMEMORY) throw std::bad_alloc();
}

Variant& Variant::operator=(const Variant& other) {
  if (VariantCopy(&v_, &other.v_) == E_OUTOFMEMORY) throw std::bad_alloc();
  return *this;
}

Variant::Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    Clear();
    v_ = other.v_;
    VariantInit(&other.v_);
  }
  return *this;
}

VARIANT Variant::Detach() noexcept {
  VARIANT raw = v_;
  VariantInit(&v_);
  return raw;
}

namespace {

// Converts v to vt and hands the converted value (which `take` then owns) to the caller.
template <class T, class Take>
HRESULT Extract(const VARIANT& v, VARTYPE vt, T* out, Take take) {
  if (out == nullptr) return E_POINTER;
  VARIANT converted;
  VariantInit(&converted);
  VORLANE_RETURN_IF_FAILED(VariantChangeType(&converted, &v, vt));
  *out = take(converted);
  return S_OK;
}

}  // namespace

HRESULT Variant::ToInt32(int32_t* out) const noexcept {
  return Extract(v_, VT_I4, out, [](const VARIANT& r) { return r.lVal; });
}
HRESULT Variant::ToDouble(double* out) const noexcept {
  return Extract(v_, VT_R8, out, [](const VARIANT& r) { return r.dblVal; });
}
HRESULT Variant::ToBool(bool* out) const noexcept {
  return Extract(v_, VT_BOOL, out, [](const VARIANT& r) { return r.boolVal != VARIANT_FALSE; });
}
HRESULT Variant::ToBstr(Bstr* out) const noexcept {
  return Extract(v_, VT_BSTR, out, [](const VARIANT& r) { return Bstr::Attach(r.bstrVal); });
}

HRESULT Variant::ToUtf8(std::string* out) const {
  if (out == nullptr) return E_POINTER;
  Bstr text;
  VORLANE_RETURN_IF_FAILED(ToBstr(&text));
  *out = text.ToUtf8();
  return S_OK;
}

HRESULT Variant::ToBytes(std::vector<uint8_t>* out) const {
  if (out == nullptr) return E_POINTER;
  VARIANT view;
  VORLANE_RETURN_IF_FAILED(ReadThrough(v_, &view));
  if (view.vt != (VT_ARRAY | VT_UI1)) return DISP_E_TYPEMISMATCH;
  out->clear();
  if (view.parray != nullptr) {
    const auto* data = static_cast<const uint8_t*>(view.parray->data);
    out->assign(data, data + view.parray->count);
  }
  return S_OK;
}

}  // namespace vorlane::com
