// Activation: finding the module that serves a class through the class registry, loading it
// into the process and asking it for class factories and objects.
//
// Modules are loaded once per process (keyed by their canonical path) and stay loaded until
// CoFreeUnusedLibraries finds that they can go. Every function here is safe to call from any
// thread. The registry file is the one ClassRegistryPath() names at the time of each call.
#pragma once

#include <dlfcn.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "platform/com/com_ptr.h"
#include "platform/com/guid.h"
#include "platform/com/hresult.h"
#include "platform/com/interfaces.h"

namespace vorlane::com {

// Where an object may run. Only in-process servers exist here; asking for nothing but a local
// server finds no class.
inline constexpr uint32_t CLSCTX_INPROC_SERVER = 1;
inline constexpr uint32_t CLSCTX_INPROC_HANDLER = 2;
inline constexpr uint32_t CLSCTX_LOCAL_SERVER = 4;
inline constexpr uint32_t CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
inline constexpr uint32_t CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER;

// Owns one dlopen() handle and closes it once.
class UniqueDlHandle {
 public:
  UniqueDlHandle() = default;
  explicit UniqueDlHandle(void* handle) : handle_(handle) {}
  UniqueDlHandle(const UniqueDlHandle&) = delete;
  UniqueDlHandle& operator=(const UniqueDlHandle&) = delete;
  UniqueDlHandle(UniqueDlHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueDlHandle& operator=(UniqueDlHandle&& other) noexcept {
    if (this != &other) reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  ~UniqueDlHandle() { reset(); }

  void* get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  void reset(void* handle = nullptr) {
    if (handle_) ::dlclose(handle_);
    handle_ = handle;
  }
  // The address of an exported symbol as type F (a function pointer type), or null.
  template <class F>
  F Symbol(const char* name) const {
    return handle_ ? reinterpret_cast<F>(::dlsym(handle_, name)) : nullptr;
  }

 private:
  void* handle_ = nullptr;
};

// The class id that a ProgID names. A ProgID key with a CurVer subkey (a version-independent
// ProgID) is followed to the ProgID that CurVer names, a few hops at most. CO_E_CLASSSTRING
// when the ProgID is unknown or names no valid class id.
HRESULT CLSIDFromProgID(std::string_view progId, CLSID* clsid);
HRESULT CLSIDFromProgID(std::u16string_view progId, CLSID* clsid);

// The class object (normally an IClassFactory) of `clsid` from the module that
// CLSID\{...}\InprocServer32 names. A relative module path counts from the registry file's
// folder. REGDB_E_CLASSNOTREG: no such entry; CO_E_DLLNOTFOUND: the module does not load (the
// loader's message goes to the debug log); CO_E_ERRORINDLL: it exports no DllGetClassObject.
HRESULT CoGetClassObject(const CLSID& clsid, const IID& iid, void** object);

// A new object of class `clsid` through its class factory. `outer` is the controlling unknown
// when the object is to be aggregated (then only IUnknown may be asked for).
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, uint32_t context, const IID& iid, void** object);

// A new in-process object of the class that `progId` names.
HRESULT CreateInstanceByProgId(std::string_view progId, const IID& iid, void** object);

template <class I>
HRESULT CoCreateInstance(const CLSID& clsid, ComPtr<I>* object) {
  if (!object) return E_POINTER;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IidOf<I>(), object->put_void());
}

// Unloads every loaded module whose DllCanUnloadNow answers S_OK and that no call of this
// layer is using; the next activation of one of its classes loads it again.
// A module that does not export DllCanUnloadNow stays loaded.
//
// As with any unloading, a module must not run its own code after its last object and lock
// are gone (a Release that decrements the module's count must return straight after), and it
// must not be kept resident by the loader (thread_local objects with destructors or
// STB_GNU_UNIQUE symbols make glibc keep it; components build with -fno-gnu-unique).
void CoFreeUnusedLibraries();

}  // namespace vorlane::com
