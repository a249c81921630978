// VARIANT management (clear, copy, type change), byte-array SAFEARRAYs, and Variant, the RAII
// owner of one VARIANT.
//
// Ownership: a VARIANT owns its BSTR, its interface reference and its array; a VT_BYREF
// VARIANT owns nothing (it points into its creator's storage). Every function that writes a
// VARIANT first releases what the destination held, so destinations must be initialized.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/interfaces.h"
#include "platform/com/types.h"

namespace vorlane::com {

void VariantInit(VARIANT* v) noexcept;
// Releases what v owns and leaves it VT_EMPTY; DISP_E_BADVARTYPE (v untouched) for a type this
// layer does not know.
HRESULT VariantClear(VARIANT* v) noexcept;
// Deep copy: a new BSTR, a new reference on an interface, a new array. By-reference values are
// copied as the pointer they are. dst is cleared only once the copy succeeded.
HRESULT VariantCopy(VARIANT* dst, const VARIANT* src) noexcept;
// Like VariantCopy, but a by-reference source yields a copy of the value it points at.
HRESULT VariantCopyInd(VARIANT* dst, const VARIANT* src) noexcept;

// Converts src (read through VT_BYREF) to type vt into dst; dst may be src. The conversions,
// independent of locale:
//  - numbers (I2, I4, UI1, UI4, R8) among themselves: DISP_E_OVERFLOW out of range; R8 rounds to
//    the nearest integer, halves to even.
//  - BOOL is the number -1 (true) or 0; as UI1/UI4 true is all bits set. Numbers become true
//    when not zero.
//  - BSTR from numbers: decimal, R8 in the shortest form that reads back exactly ("0.1", "1e+20");
//    from BOOL "True"/"False". BSTR to numbers: decimal text, optionally signed, with fraction or
//    exponent, surrounding blanks ignored; to BOOL also "true"/"false" in any case. Other text:
//    DISP_E_TYPEMISMATCH.
//  - EMPTY becomes 0, false or "".
//  - UNKNOWN <-> DISPATCH through QueryInterface (DISP_E_TYPEMISMATCH without the interface).
//  - Anything else (NULL, ERROR, arrays, objects to values) is DISP_E_TYPEMISMATCH; a target
//    type outside this list is DISP_E_BADVARTYPE.
HRESULT VariantChangeType(VARIANT* dst, const VARIANT* src, VARTYPE vt) noexcept;

// One-dimensional arrays of plain elements (UI1, I2, I4, UI4, R8, BOOL), zero-filled; null for
// other element types or when memory runs out.
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, uint32_t count) noexcept;
// Accepts null.
HRESULT SafeArrayDestroy(SAFEARRAY* array) noexcept;
HRESULT SafeArrayCopy(const SAFEARRAY* array, SAFEARRAY** copy) noexcept;

class Variant {
 public:
  Variant() noexcept { VariantInit(&v_); }
  // Implicit, so that argument lists read naturally.
  Variant(int32_t value) noexcept : Variant() { Set(VT_I4).lVal = value; }    // NOLINT
  Variant(int16_t value) noexcept : Variant() { Set(VT_I2).iVal = value; }    // NOLINT
  Variant(uint8_t value) noexcept : Variant() { Set(VT_UI1).bVal = value; }   // NOLINT
  Variant(uint32_t value) noexcept : Variant() { Set(VT_UI4).ulVal = value; }  // NOLINT
  Variant(double value) noexcept : Variant() { Set(VT_R8).dblVal = value; }   // NOLINT
  Variant(bool value) noexcept : Variant() { Set(VT_BOOL).boolVal = value ? VARIANT_TRUE : VARIANT_FALSE; }  // NOLINT
  // VT_BSTR; these throw std::bad_alloc when memory runs out.
  Variant(std::u16string_view text);  // NOLINT
  Variant(const char16_t* text) : Variant(std::u16string_view(text ? text : u"")) {}  // NOLINT
  Variant(Bstr text) noexcept;        // NOLINT: takes the string over
  static Variant FromUtf8(std::string_view utf8);
  // VT_DISPATCH for dispatch interfaces, VT_UNKNOWN for others; takes a reference.
  template <class I>
    requires std::is_base_of_v<IUnknown, I>
  explicit Variant(I* object) noexcept : Variant() {
    if constexpr (std::is_base_of_v<IDispatch, I>) {
      SetInterface(VT_DISPATCH, static_cast<IDispatch*>(object));
    } else {
      SetInterface(VT_UNKNOWN, static_cast<IUnknown*>(object));
    }
  }
  // Other pointers would silently become VT_BOOL; UTF-8 text goes through FromUtf8.
  template <class T>
    requires(!std::is_base_of_v<IUnknown, T>)
  Variant(T*) = delete;
  // VT_ARRAY | VT_UI1; throws std::bad_alloc.
  explicit Variant(std::span<const uint8_t> bytes);
  explicit Variant(const std::vector<uint8_t>& bytes) : Variant(std::span<const uint8_t>(bytes)) {}

  // VT_BYREF values, for out arguments: they point at the caller's storage and own nothing.
  static Variant ByRef(int32_t* value) noexcept { return MakeByRef(VT_I4, value); }
  static Variant ByRef(int16_t* value) noexcept { return MakeByRef(VT_I2, value); }
  static Variant ByRef(uint8_t* value) noexcept { return MakeByRef(VT_UI1, value); }
  static Variant ByRef(uint32_t* value) noexcept { return MakeByRef(VT_UI4, value); }
  static Variant ByRef(double* value) noexcept { return MakeByRef(VT_R8, value); }
  static Variant ByRefBool(VARIANT_BOOL* value) noexcept { return MakeByRef(VT_BOOL, value); }
  static Variant ByRef(BSTR* value) noexcept { return MakeByRef(VT_BSTR, value); }
  static Variant ByRef(VARIANT* value) noexcept { return MakeByRef(VT_VARIANT, value); }

  // Takes over the contents of a raw VARIANT (which the caller must no longer clear).
  static Variant Attach(const VARIANT& raw) noexcept;

  // Deep copies; throw std::bad_alloc when memory runs out.
  Variant(const Variant& other);
  Variant& operator=(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(Variant&& other) noexcept;
  ~Variant() { Clear(); }

  VARTYPE type() const noexcept { return v_.vt; }
  const VARIANT& raw() const noexcept { return v_; }
  VARIANT* get() noexcept { return &v_; }
  // For out parameters: clears first.
  VARIANT* put() noexcept {
    Clear();
    return &v_;
  }
  // Gives up ownership of the contents; the Variant is left empty.
  [[nodiscard]] VARIANT Detach() noexcept;
  void Clear() noexcept { (void)VariantClear(&v_); }
  HRESULT CopyFrom(const VARIANT& raw) noexcept { return VariantCopy(&v_, &raw); }
  HRESULT ChangeType(VARTYPE vt) noexcept { return VariantChangeType(&v_, &v_, vt); }

  // Conversions through VariantChangeType; the Variant itself is left as it is.
  HRESULT ToInt32(int32_t* out) const noexcept;
  HRESULT ToDouble(double* out) const noexcept;
  HRESULT ToBool(bool* out) const noexcept;
  HRESULT ToBstr(Bstr* out) const noexcept;
  HRESULT ToUtf8(std::string* out) const;
  // For VT_ARRAY | VT_UI1 only (or a reference to one): DISP_E_TYPEMISMATCH otherwise.
  HRESULT ToBytes(std::vector<uint8_t>* out) const;

 private:
  VARIANT& Set(VARTYPE vt) noexcept {
    v_.vt = vt;
    return v_;
  }
  static Variant MakeByRef(VARTYPE vt, void* target) noexcept;
  void SetInterface(VARTYPE vt, IUnknown* object) noexcept;

  VARIANT v_;
};

}  // namespace vorlane::com
