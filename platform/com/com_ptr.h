// ComPtr<T>: holds one reference on an interface.
#pragma once

#include <cstddef>
#include <utility>

#include "platform/com/interfaces.h"

namespace vorlane::com {

// Tag for taking over a reference that the caller already owns (no AddRef).
struct AdoptRef {};
inline constexpr AdoptRef kAdoptRef{};

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}  // NOLINT: implicit like a pointer
  // Copies: takes a reference of its own.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  // Adopts: the caller hands over its reference.
  ComPtr(T* p, AdoptRef) : p_(p) {}
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <class U>
  ComPtr(const ComPtr<U>& other) : ComPtr(static_cast<T*>(other.get())) {}  // NOLINT: upcast
  template <class U>
  ComPtr(ComPtr<U>&& other) noexcept : p_(other.detach()) {}  // NOLINT: upcast
  ~ComPtr() { reset(); }

  ComPtr& operator=(const ComPtr& other) {
    ComPtr(other).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) {
    reset();
    return *this;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  // Gives up the reference without releasing it.
  [[nodiscard]] T* detach() { return std::exchange(p_, nullptr); }
  // For out parameters: releases what is held first, so nothing leaks when it is reused.
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  // A new reference for an out parameter of the caller's caller.
  T* copy() const {
    if (p_) p_->AddRef();
    return p_;
  }
  void swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  // QueryInterface for U.
  template <class U>
  HRESULT As(ComPtr<U>* out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(IidOf<U>(), out->put_void());
  }
  template <class U>
  ComPtr<U> As() const {
    ComPtr<U> out;
    if (p_) (void)p_->QueryInterface(IidOf<U>(), out.put_void());
    return out;
  }

  friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.p_ == b.p_; }
  friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

}  // namespace vorlane::com
