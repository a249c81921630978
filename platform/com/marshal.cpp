#include "platform/com/marshal.h"

#include <atomic>

#include "platform/com/apartment.h"
#include "platform/com/apartment_internal.h"
#include "platform/com/com_ptr.h"

namespace vorlane::com {

// What a marshalled pointer shares with its proxies: the object, held for as long as the token
// or any proxy lives, and the apartment it belongs to (none for free-threaded objects).
struct MarshalledInterface::Entry {
  IID iid;
  std::shared_ptr<Apartment> owner;
  uint64_t endAction = 0;

  // The references, dropped when the owner apartment ends (on its thread) or with the entry.
  ComPtr<IUnknown> Object() {
    std::lock_guard lock(lock_);
    return object_;
  }
  ComPtr<IDispatch> Dispatch() {
    std::lock_guard lock(lock_);
    return dispatch_;
  }
  void Hold(ComPtr<IUnknown> object, ComPtr<IDispatch> dispatch) {
    std::lock_guard lock(lock_);
    object_ = std::move(object);
    dispatch_ = std::move(dispatch);
  }
  // Releases on the calling thread.
  void ReleaseObject() {
    ComPtr<IUnknown> object;
    ComPtr<IDispatch> dispatch;
    {
      std::lock_guard lock(lock_);
      object = std::move(object_);
      dispatch = std::move(dispatch_);
    }
  }

  ~Entry() {
    if (owner && endAction != 0) owner->RemoveEndAction(endAction);
    ComPtr<IUnknown> object = std::move(object_);
    ComPtr<IDispatch> dispatch = std::move(dispatch_);
    if (!object && !dispatch) return;
    if (!owner || owner->IsOwnerThread()) return;  // released right here
    // Objects of an apartment are released on its thread. When it has ended there is no such
    // thread any more, and the references go here (the lambda dies with the failed post).
    (void)PostToApartment(owner, [object = std::move(object), dispatch = std::move(dispatch)]() mutable {
      dispatch.reset();
      object.reset();
    });
  }

 private:
  std::mutex lock_;
  ComPtr<IUnknown> object_;     // guarded by lock_
  ComPtr<IDispatch> dispatch_;  // guarded by lock_
};

namespace {

// The stand-in for an object of another apartment: every call is carried there.
class DispatchProxy final : public IDispatch {
 public:
  explicit DispatchProxy(std::shared_ptr<MarshalledInterface::Entry> entry) : entry_(std::move(entry)) {}

  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IUnknown::kIid || iid == IDispatch::kIid || iid == entry_->iid) {
      AddRef();
      *object = static_cast<IDispatch*>(this);
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  uint32_t Release() override {
    uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetTypeInfoCount(uint32_t* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(uint32_t, LCID, void** typeInfo) override {
    if (typeInfo != nullptr) *typeInfo = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(const IID& iid, OLECHAR** names, uint32_t count, LCID lcid, DISPID* ids) override {
    return CallInApartment(entry_->owner, [&]() -> HRESULT {
      ComPtr<IDispatch> target = entry_->Dispatch();
      if (!target) return RPC_E_DISCONNECTED;
      return target->GetIDsOfNames(iid, names, count, lcid, ids);
    });
  }
  HRESULT Invoke(DISPID id, const IID& iid, LCID lcid, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, uint32_t* argError) override {
    return CallInApartment(entry_->owner, [&]() -> HRESULT {
      ComPtr<IDispatch> target = entry_->Dispatch();
      if (!target) return RPC_E_DISCONNECTED;
      return target->Invoke(id, iid, lcid, flags, params, result, exception, argError);
    });
  }

 private:
  ~DispatchProxy() = default;

  std::atomic<uint32_t> refs_{1};
  const std::shared_ptr<MarshalledInterface::Entry> entry_;
};

}  // namespace

HRESULT MarshalledInterface::Create(const IID& iid, IUnknown* object, std::unique_ptr<MarshalledInterface>* out) {
  if (out == nullptr) return E_POINTER;
  out->reset();
  if (object == nullptr) return E_POINTER;
  try {
    ComPtr<IUnknown> asked;
    VORLANE_RETURN_IF_FAILED(object->QueryInterface(iid, asked.put_void()));
    ComPtr<IUnknown> identity;
    VORLANE_RETURN_IF_FAILED(object->QueryInterface(IUnknown::kIid, identity.put_void()));
    ComPtr<IDispatch> dispatch;
    std::shared_ptr<Apartment> owner = CurrentApartment();
    // An agile object belongs to no apartment: every thread calls it directly.
    ComPtr<IUnknown> agile;
    if (owner && Succeeded(object->QueryInterface(IAgileObject::kIid, agile.put_void()))) owner.reset();
    // Only objects of a single-threaded apartment are reached through proxies, which need
    // IDispatch; free-threaded objects are handed out as they are.
    if (owner) VORLANE_RETURN_IF_FAILED(object->QueryInterface(IDispatch::kIid, dispatch.put_void()));

    auto entry = std::make_shared<Entry>();
    entry->iid = iid;
    entry->owner = owner;
    entry->Hold(std::move(identity), std::move(dispatch));
    if (owner) {
      std::weak_ptr<Entry> weak = entry;
      entry->endAction = owner->AddEndAction([weak] {
        if (auto alive = weak.lock()) alive->ReleaseObject();
      });
    }
    out->reset(new MarshalledInterface(std::move(entry)));
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

MarshalledInterface::~MarshalledInterface() = default;

HRESULT MarshalledInterface::Unmarshal(const IID& iid, void** out) const {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  const std::shared_ptr<Apartment>& owner = entry_->owner;
  if (!owner || owner->IsOwnerThread()) {
    ComPtr<IUnknown> object = entry_->Object();
    if (!object) return RPC_E_DISCONNECTED;
    return object->QueryInterface(iid, out);
  }
  if (!owner->Alive()) return RPC_E_DISCONNECTED;
  if (iid != IUnknown::kIid && iid != IDispatch::kIid && iid != entry_->iid) return E_NOINTERFACE;
  try {
    *out = static_cast<IDispatch*>(new DispatchProxy(entry_));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT MarshalledSlot::Store(const IID& iid, IUnknown* object) {
  std::unique_ptr<MarshalledInterface> created;
  HRESULT hr = MarshalledInterface::Create(iid, object, &created);
  std::shared_ptr<MarshalledInterface> previous;  // released outside the lock
  std::lock_guard lock(lock_);
  previous = std::move(held_);
  if (Succeeded(hr)) held_ = std::move(created);
  return hr;
}

void MarshalledSlot::Clear() {
  std::shared_ptr<MarshalledInterface> previous;
  std::lock_guard lock(lock_);
  previous = std::move(held_);
}

bool MarshalledSlot::Empty() const {
  std::lock_guard lock(lock_);
  return held_ == nullptr;
}

HRESULT MarshalledSlot::Get(const IID& iid, void** out) const {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  std::shared_ptr<MarshalledInterface> held;
  {
    std::lock_guard lock(lock_);
    held = held_;
  }
  if (!held) return E_FAIL;
  return held->Unmarshal(iid, out);
}

}  // namespace vorlane::com
