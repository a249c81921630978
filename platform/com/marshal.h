// Marshalling: handing an interface pointer from its apartment to other threads.
//
// A MarshalledInterface holds a strong reference on the object for as long as it lives and can
// be turned back into a usable pointer on any thread, any number of times. In the object's own
// apartment (or when it was marshalled from a thread without a single-threaded apartment, whose
// objects are free-threaded) that is the object itself; elsewhere it is a proxy whose calls run
// in the object's apartment (see CallInApartment).
//
// Proxies carry dispatch interfaces: they present IDispatch, and answer for the interface the
// pointer was marshalled as, which must therefore be IDispatch or a dispatch interface (an event
// interface, whose calls all go through Invoke). Dual interfaces are marshalled as IDispatch.
#pragma once

#include <memory>
#include <mutex>

#include "platform/com/interfaces.h"

namespace vorlane::com {

class MarshalledInterface {
 public:
  // Marshals `object` as `iid` from the calling thread. E_POINTER for a null object,
  // E_NOINTERFACE when the object lacks `iid` or IDispatch.
  static HRESULT Create(const IID& iid, IUnknown* object, std::unique_ptr<MarshalledInterface>* out);

  ~MarshalledInterface();
  MarshalledInterface(const MarshalledInterface&) = delete;
  MarshalledInterface& operator=(const MarshalledInterface&) = delete;

  // A pointer for `iid` (IUnknown, IDispatch or the marshalled interface) valid on the calling
  // thread. RPC_E_DISCONNECTED when the object's apartment has ended.
  HRESULT Unmarshal(const IID& iid, void** out) const;

  struct Entry;

 private:
  explicit MarshalledInterface(std::shared_ptr<Entry> entry) : entry_(std::move(entry)) {}
  std::shared_ptr<Entry> entry_;
};

// A slot that holds at most one marshalled interface, usable from any thread: the form in which
// a component keeps an event sink for its worker threads.
class MarshalledSlot {
 public:
  // Replaces what the slot held; on failure the slot is left empty.
  HRESULT Store(const IID& iid, IUnknown* object);
  void Clear();
  bool Empty() const;
  // E_FAIL when the slot is empty.
  HRESULT Get(const IID& iid, void** out) const;

 private:
  mutable std::mutex lock_;
  std::shared_ptr<MarshalledInterface> held_;  // guarded by lock_
};

}  // namespace vorlane::com
