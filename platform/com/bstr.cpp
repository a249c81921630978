#include "platform/com/bstr.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/com/text.h"

namespace vorlane::com {
namespace {

constexpr size_t kPrefix = sizeof(uint32_t);
// The byte length must fit the 32-bit prefix.
constexpr uint32_t kMaxLength = UINT32_MAX / sizeof(OLECHAR);

uint32_t ReadPrefix(BSTR text) {
  uint32_t bytes;
  std::memcpy(&bytes, reinterpret_cast<const char*>(text) - kPrefix, kPrefix);
  return bytes;
}

BSTR AllocOrThrow(std::u16string_view text) {
  if (text.size() > kMaxLength) throw std::bad_alloc();
  BSTR copy = SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
  if (copy == nullptr) throw std::bad_alloc();
  return copy;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) noexcept {
  if (text == nullptr) return nullptr;
  const size_t length = std::char_traits<OLECHAR>::length(text);
  if (length > kMaxLength) return nullptr;
  return SysAllocStringLen(text, static_cast<uint32_t>(length));
}

BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length) noexcept {
  if (length > kMaxLength) return nullptr;
  const size_t bytes = size_t{length} * sizeof(OLECHAR);
  // malloc aligns for any type, so the prefix and the characters after it are aligned too.
  auto* block = static_cast<char*>(std::malloc(kPrefix + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const auto prefix = static_cast<uint32_t>(bytes);
  std::memcpy(block, &prefix, kPrefix);
  auto* chars = reinterpret_cast<BSTR>(block + kPrefix);
  if (text != nullptr) {
    std::memcpy(chars, text, bytes);
  } else {
    std::memset(chars, 0, bytes);
  }
  chars[length] = 0;
  return chars;
}

void SysFreeString(BSTR text) noexcept {
  if (text != nullptr) std::free(reinterpret_cast<char*>(text) - kPrefix);
}

uint32_t SysStringByteLen(BSTR text) noexcept { return text == nullptr ? 0 : ReadPrefix(text); }

uint32_t SysStringLen(BSTR text) noexcept { return SysStringByteLen(text) / sizeof(OLECHAR); }

Bstr::Bstr(std::u16string_view text) : text_(AllocOrThrow(text)) {}

Bstr Bstr::FromUtf8(std::string_view utf8) { return Bstr(Utf8ToUtf16(utf8)); }

Bstr Bstr::Attach(BSTR owned) noexcept {
  Bstr result;
  result.text_ = owned;
  return result;
}

Bstr::Bstr(const Bstr& other) : text_(other.Copy()) {}

Bstr& Bstr::operator=(const Bstr& other) {
  if (this != &other) {
    BSTR copy = other.Copy();
    SysFreeString(std::exchange(text_, copy));
  }
  return *this;
}

Bstr::Bstr(Bstr&& other) noexcept : text_(std::exchange(other.text_, nullptr)) {}

Bstr& Bstr::operator=(Bstr&& other) noexcept {
  if (this != &other) SysFreeString(std::exchange(text_, std::exchange(other.text_, nullptr)));
  return *this;
}

Bstr::~Bstr() { SysFreeString(text_); }

BSTR* Bstr::put() noexcept {
  SysFreeString(std::exchange(text_, nullptr));
  return &text_;
}

BSTR Bstr::detach() noexcept { return std::exchange(text_, nullptr); }

BSTR Bstr::Copy() const {
  if (text_ == nullptr) return nullptr;
  return AllocOrThrow(view());
}

HRESULT Bstr::CopyTo(BSTR* out) const noexcept {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (text_ == nullptr) return S_OK;
  *out = SysAllocStringLen(text_, Length());
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

std::string Bstr::ToUtf8() const { return Utf16ToUtf8(view()); }

}  // namespace vorlane::com
