// BSTR: length-prefixed UTF-16 text that crosses interfaces, and Bstr, the RAII owner of one.
//
// Layout: a 32-bit byte length, the characters, then a zero char16_t. The BSTR points at the
// first character, so it can be read as a zero-terminated string too, yet may hold zeros. A
// null BSTR is the empty text wherever a BSTR is read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/com/types.h"

namespace vorlane::com {

// A copy of zero-terminated text; null for a null source (or when memory runs out).
BSTR SysAllocString(const OLECHAR* text) noexcept;
// `length` characters copied from text, or zero-filled when text is null; null when memory runs
// out or the length cannot be recorded.
BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) noexcept;
// Accepts null.
void SysFreeString(BSTR text) noexcept;
// Characters, not counting the terminator; 0 for null.
uint32_t SysStringLen(BSTR text) noexcept;
uint32_t SysStringByteLen(BSTR text) noexcept;

class Bstr {
 public:
  Bstr() noexcept = default;
  // Throws std::bad_alloc when memory runs out (as constructors of the standard library do).
  explicit Bstr(std::u16string_view text);
  static Bstr FromUtf8(std::string_view utf8);
  // Takes over a BSTR the caller owns.
  static Bstr Attach(BSTR owned) noexcept;

  Bstr(const Bstr& other);
  Bstr& operator=(const Bstr& other);
  Bstr(Bstr&& other) noexcept;
  Bstr& operator=(Bstr&& other) noexcept;
  ~Bstr();

  BSTR get() const noexcept { return text_; }
  // For out parameters: frees what is held first.
  BSTR* put() noexcept;
  // Gives up ownership.
  [[nodiscard]] BSTR detach() noexcept;
  // A new BSTR that the caller owns, for out parameters (null stays null); throws std::bad_alloc.
  [[nodiscard]] BSTR Copy() const;
  // The same for a caller that wants a code: E_POINTER, E_OUTOFMEMORY or S_OK.
  HRESULT CopyTo(BSTR* out) const noexcept;

  uint32_t Length() const noexcept { return SysStringLen(text_); }
  bool empty() const noexcept { return Length() == 0; }
  std::u16string_view view() const noexcept { return {text_ ? text_ : u"", Length()}; }
  std::string ToUtf8() const;

  friend bool operator==(const Bstr& a, const Bstr& b) noexcept { return a.view() == b.view(); }
  friend bool operator==(const Bstr& a, std::u16string_view b) noexcept { return a.view() == b; }

 private:
  BSTR text_ = nullptr;
};

}  // namespace vorlane::com
