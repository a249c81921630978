// ComObject: the base that makes implementing a component object short. It supplies
// QueryInterface, AddRef and Release once for every interface the object lists, counts the
// object in its module, and is created only through Make<T>().
//
//   class Clock final : public ComObject<Clock, IClock, ISupportErrorInfo> {
//    public:
//     Clock(int interval);                 // reached through Make<Clock>(5)
//     HRESULT Start() override;            // the interfaces' own methods
//    private:
//     ~Clock() override;                   // never deleted but by Release
//   };
//   ComPtr<Clock> clock = Make<Clock>(5);
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/com/com_ptr.h"
#include "platform/com/interfaces.h"

namespace vorlane::com {

// Per-module counters. A component is a shared library built with hidden visibility; these
// functions are hidden as well (whatever the build's default), so every shared library and the
// program itself get their own copy of each counter, never the loader's merged one. That is
// what lets a component answer DllCanUnloadNow for its own objects only.
//
// An object counts in the module whose code runs its ComObject constructor and destructor. A
// class whose header other modules include (as the runtime's ConnectionPoint) must therefore
// define its constructor and destructor out of line, so both run in the module that owns it.
[[gnu::visibility("hidden")]] inline std::atomic<long>& ModuleObjectCount() noexcept {
  static std::atomic<long> count{0};
  return count;
}

// Locks taken through IClassFactory::LockServer: a client that keeps a factory for later keeps
// the module loaded even while no object is alive.
[[gnu::visibility("hidden")]] inline std::atomic<long>& ModuleLockCount() noexcept {
  static std::atomic<long> count{0};
  return count;
}

// Threads that run the module's code (see ModuleThreadToken): a thread may outlive every
// object of its module, and the module must stay loaded until it is done.
[[gnu::visibility("hidden")]] inline std::atomic<long>& ModuleThreadCount() noexcept {
  static std::atomic<long> count{0};
  return count;
}

// Counts one thread of the calling module for as long as it lives. Held by the thread's body
// (captured by its function object), it is given back once the body and everything it captured
// are gone. A copy counts once more, so a function object holding one may be copied freely.
class [[gnu::visibility("hidden")]] ModuleThreadToken {
 public:
  ModuleThreadToken() noexcept { ModuleThreadCount().fetch_add(1, std::memory_order_relaxed); }
  ModuleThreadToken(const ModuleThreadToken&) noexcept : ModuleThreadToken() {}
  ModuleThreadToken(ModuleThreadToken&& other) noexcept : counted_(other.counted_) { other.counted_ = false; }
  ModuleThreadToken& operator=(const ModuleThreadToken&) = delete;
  ModuleThreadToken& operator=(ModuleThreadToken&&) = delete;
  ~ModuleThreadToken() {
    if (counted_) ModuleThreadCount().fetch_sub(1, std::memory_order_release);
  }

 private:
  bool counted_ = true;
};

// What a component's DllCanUnloadNow returns: S_OK when no object lives, no lock is held and no
// thread of the module runs.
[[gnu::visibility("hidden")]] inline HRESULT DllCanUnloadNowHelper() noexcept {
  return ModuleObjectCount().load(std::memory_order_acquire) == 0 &&
                 ModuleLockCount().load(std::memory_order_acquire) == 0 &&
                 ModuleThreadCount().load(std::memory_order_acquire) == 0
             ? S_OK
             : S_FALSE;
}

// The object count of the runtime library itself (its connection points, enumerators and error
// objects); tests use it to check that nothing leaked.
long RuntimeObjectCount() noexcept;

// Runs f (returning HRESULT, or nothing for S_OK) so that no exception crosses an interface:
// std::bad_alloc becomes E_OUTOFMEMORY, anything else E_FAIL.
template <class F>
HRESULT CatchReturn(F&& f) noexcept {
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<F&&>>) {
      std::invoke(std::forward<F>(f));
      return S_OK;
    } else {
      return std::invoke(std::forward<F>(f));
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

// ISupportErrorInfo of an object that sets error information for the failures of `Interface`,
// listed among its interfaces in its place.
template <class Interface>
struct SupportsErrorInfoFor : ISupportErrorInfo {
  HRESULT InterfaceSupportsErrorInfo(const IID& iid) override { return iid == Interface::kIid ? S_OK : S_FALSE; }

 protected:
  ~SupportsErrorInfoFor() = default;
};

template <class Derived, class... Interfaces>
class ComObject : public Interfaces... {
  static_assert(sizeof...(Interfaces) > 0, "an object implements at least one interface");
  static_assert((std::is_base_of_v<IUnknown, Interfaces> && ...), "interfaces derive from IUnknown");

 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  // One implementation for every base: a function declared here overrides the pure virtual
  // functions of the same signature in all the interface bases at once.
  HRESULT QueryInterface(const IID& iid, void** object) final {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    void* found = nullptr;
    // The interfaces are tried in the order listed, so the first one answers IUnknown (the
    // object's identity) and the first dispatch interface answers IDispatch.
    (Find<Interfaces, Interfaces>(iid, &found) || ...);
    if (found == nullptr) return QueryInterfaceExtra(iid, object);
    AddRef();
    *object = found;
    return S_OK;
  }

  uint32_t AddRef() final { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }

  uint32_t Release() final {
    const uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
      // A destructor may hand out and drop references to the object (to unregister it, say);
      // a count far from zero keeps those from deleting it a second time.
      refs_.store(kDestroying, std::memory_order_relaxed);
      delete this;
    }
    return left;
  }

  // A new reference unless the object has already reached zero: for weak back pointers that
  // the object clears from its destructor (which may run while another thread tries this).
  [[nodiscard]] bool TryAddRef() noexcept {
    uint32_t current = refs_.load(std::memory_order_relaxed);
    do {
      if (current == 0 || current >= kDestroying) return false;
    } while (!refs_.compare_exchange_weak(current, current + 1, std::memory_order_relaxed));
    return true;
  }

 protected:
  // Hidden so that each module runs its own copy, which counts in its own ModuleObjectCount.
  [[gnu::visibility("hidden")]] ComObject() noexcept {
    ModuleObjectCount().fetch_add(1, std::memory_order_relaxed);
  }
  // Virtual, so that Release reaches the most derived destructor however the class is built.
  [[gnu::visibility("hidden")]] virtual ~ComObject() {
    ModuleObjectCount().fetch_sub(1, std::memory_order_release);
  }

  // Interfaces answered beyond the listed ones (tear-offs, a conditional interface). Same
  // contract as QueryInterface: on success *object holds a new reference.
  virtual HRESULT QueryInterfaceExtra(const IID& /*iid*/, void** /*object*/) { return E_NOINTERFACE; }

  // The object as IUnknown: the same pointer whichever interface it is reached through.
  IUnknown* Identity() noexcept { return static_cast<FirstInterface*>(this); }

 private:
  using FirstInterface = std::tuple_element_t<0, std::tuple<Interfaces...>>;
  static constexpr uint32_t kDestroying = 1u << 30;

  // Walks interface I's chain of bases (I, I::Base, ... IUnknown) looking for iid.
  template <class I, class Chain>
  bool Find(const IID& iid, void** found) noexcept {
    if constexpr (std::is_void_v<Chain>) {
      return false;
    } else {
      if (iid == Chain::kIid) {
        *found = static_cast<Chain*>(static_cast<I*>(this));
        return true;
      }
      return Find<I, typename Chain::Base>(iid, found);
    }
  }

  std::atomic<uint32_t> refs_{1};
};

// The only way objects come to life: the returned pointer holds the one initial reference.
// Throws what the constructor throws (std::bad_alloc included); interface methods that create
// objects run inside CatchReturn.
template <class T, class... Args>
ComPtr<T> Make(Args&&... args) {
  return ComPtr<T>(new T(std::forward<Args>(args)...), kAdoptRef);
}

// The class object of T for a component's DllGetClassObject. Each instance counts as a live
// object of the module, as its code lives there.
template <class T>
class ClassFactory final : public ComObject<ClassFactory<T>, IClassFactory> {
 public:
  ClassFactory() = default;

  HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    // The temporary ComPtr drops the initial reference: when the object lacks iid it ends here.
    return CatchReturn([&] { return Make<T>()->QueryInterface(iid, object); });
  }

  HRESULT LockServer(int32_t lock) override {
    if (lock != 0) {
      ModuleLockCount().fetch_add(1, std::memory_order_relaxed);
    } else {
      ModuleLockCount().fetch_sub(1, std::memory_order_release);
    }
    return S_OK;
  }

 private:
  ~ClassFactory() override = default;
};

}  // namespace vorlane::com
