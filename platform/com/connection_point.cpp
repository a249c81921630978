#include "platform/com/connection_point.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "platform/com/late_binding.h"

namespace vorlane::com {
namespace {

// An enumerator over a list fixed when it was made; clones share the list.
template <class Traits>
class SnapshotEnum final : public ComObject<SnapshotEnum<Traits>, typename Traits::Interface> {
 public:
  using Interface = typename Traits::Interface;
  using Items = std::shared_ptr<const std::vector<typename Traits::Item>>;

  SnapshotEnum(Items items, size_t position) : items_(std::move(items)), position_(position) {}

  HRESULT Next(uint32_t count, typename Traits::Out* out, uint32_t* fetched) override {
    if (fetched != nullptr) *fetched = 0;
    // Without `fetched` the caller could not tell how many it got, unless it asked for one.
    if (out == nullptr || (fetched == nullptr && count != 1)) return E_POINTER;
    std::lock_guard guard(lock_);
    uint32_t n = 0;
    for (; n < count && position_ < items_->size(); ++n, ++position_) Traits::Fill((*items_)[position_], &out[n]);
    if (fetched != nullptr) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(uint32_t count) override {
    std::lock_guard guard(lock_);
    const size_t left = items_->size() - position_;
    position_ += std::min<size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    std::lock_guard guard(lock_);
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(Interface** copy) override {
    if (copy == nullptr) return E_POINTER;
    *copy = nullptr;
    return CatchReturn([&] {
      std::lock_guard guard(lock_);
      *copy = Make<SnapshotEnum>(items_, position_).detach();
      return S_OK;
    });
  }

 private:
  ~SnapshotEnum() override = default;

  const Items items_;
  std::mutex lock_;
  size_t position_;  // guarded by lock_
};

struct ConnectionItem {
  uint32_t cookie;
  ComPtr<IUnknown> sink;
};

struct ConnectionTraits {
  using Interface = IEnumConnections;
  using Item = ConnectionItem;
  using Out = CONNECTDATA;
  static void Fill(const Item& item, CONNECTDATA* out) {
    out->pUnk = item.sink.copy();
    out->dwCookie = item.cookie;
  }
};

struct PointTraits {
  using Interface = IEnumConnectionPoints;
  using Item = ComPtr<ConnectionPoint>;
  using Out = IConnectionPoint*;
  static void Fill(const Item& item, IConnectionPoint** out) { *out = item.copy(); }
};

}  // namespace

ConnectionPoint::ConnectionPoint(const IID& eventIid) : eventIid_(eventIid) {}

ConnectionPoint::~ConnectionPoint() = default;

HRESULT ConnectionPoint::GetConnectionInterface(IID* iid) {
  if (iid == nullptr) return E_POINTER;
  *iid = eventIid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (container == nullptr) return E_POINTER;
  *container = nullptr;
  // Under the lock the container cannot finish its destructor, which disconnects this point.
  std::lock_guard guard(lock_);
  if (container_ == nullptr || !tryAddRef_(container_)) return E_UNEXPECTED;
  *container = container_;
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* sink, uint32_t* cookie) {
  if (cookie != nullptr) *cookie = 0;
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  void* eventInterface = nullptr;
  if (Failed(sink->QueryInterface(eventIid_, &eventInterface)) || eventInterface == nullptr) {
    return CONNECT_E_CANNOTCONNECT;
  }
  ComPtr<IUnknown> eventSink(static_cast<IUnknown*>(eventInterface), kAdoptRef);
  return CatchReturn([&] {
    std::lock_guard serial(adviseLock_);
    uint32_t issued;
    {
      std::lock_guard guard(lock_);
      if (disconnected_) return E_UNEXPECTED;
      issued = nextCookie_;
      connections_.push_back({issued, eventSink});
      if (++nextCookie_ == 0) nextCookie_ = 1;  // 0 means "no connection" to clients
    }
    if (hooks_.advised) {
      const HRESULT accepted = CatchReturn([&] { return hooks_.advised(issued, eventSink.get()); });
      if (Failed(accepted)) {
        std::lock_guard guard(lock_);
        std::erase_if(connections_, [&](const Connection& c) { return c.cookie == issued; });
        return accepted;
      }
    }
    *cookie = issued;
    return S_OK;
  });
}

HRESULT ConnectionPoint::Unadvise(uint32_t cookie) {
  ComPtr<IUnknown> removed;  // released last, with no lock held: its destructor may call back
  std::lock_guard serial(adviseLock_);
  if (hooks_.unadvising) (void)CatchReturn([&] { hooks_.unadvising(cookie); });
  {
    std::lock_guard guard(lock_);
    auto it = std::find_if(connections_.begin(), connections_.end(),
                           [&](const Connection& c) { return c.cookie == cookie; });
    if (it == connections_.end()) return CONNECT_E_NOCONNECTION;
    removed = std::move(it->sink);
    connections_.erase(it);
  }
  if (hooks_.unadvised) (void)CatchReturn([&] { hooks_.unadvised(cookie); });
  return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** connections) {
  if (connections == nullptr) return E_POINTER;
  *connections = nullptr;
  return CatchReturn([&] {
    auto items = std::make_shared<std::vector<ConnectionItem>>();
    {
      std::lock_guard guard(lock_);
      for (const Connection& c : connections_) items->push_back({c.cookie, c.sink});
    }
    *connections = Make<SnapshotEnum<ConnectionTraits>>(std::move(items), 0).detach();
    return S_OK;
  });
}

std::vector<ComPtr<IUnknown>> ConnectionPoint::Snapshot() const {
  std::lock_guard guard(lock_);
  std::vector<ComPtr<IUnknown>> sinks;
  sinks.reserve(connections_.size());
  for (const Connection& c : connections_) sinks.push_back(c.sink);
  return sinks;
}

size_t ConnectionPoint::ConnectionCount() const {
  std::lock_guard guard(lock_);
  return connections_.size();
}

void ConnectionPoint::SetHooks(ConnectionHooks hooks) {
  std::lock_guard serial(adviseLock_);
  std::swap(hooks_, hooks);  // the old hooks end after the lock, whatever they hold
}

void ConnectionPoint::AttachContainer(IConnectionPointContainer* container, TryAddRefFunction tryAddRef) {
  std::lock_guard guard(lock_);
  container_ = container;
  tryAddRef_ = tryAddRef;
}

void ConnectionPoint::Disconnect() {
  // Sinks and hooks end after the locks: their destructors may call back into this point.
  std::vector<Connection> dropped;
  ConnectionHooks hooks;
  std::lock_guard serial(adviseLock_);
  std::swap(hooks, hooks_);
  std::lock_guard guard(lock_);
  disconnected_ = true;
  container_ = nullptr;
  tryAddRef_ = nullptr;
  dropped.swap(connections_);
}

void ConnectionPointContainerHelper::DisconnectAll() {
  for (const ComPtr<ConnectionPoint>& point : points_) point->Disconnect();
}

ConnectionPoint& ConnectionPointContainerHelper::Add(const IID& eventIid) {
  ComPtr<ConnectionPoint> point = Make<ConnectionPoint>(eventIid);
  point->AttachContainer(self_, tryAddRef_);
  points_.push_back(point);
  return *point;
}

ConnectionPoint* ConnectionPointContainerHelper::Find(const IID& eventIid) const noexcept {
  for (const ComPtr<ConnectionPoint>& point : points_) {
    if (point->EventIid() == eventIid) return point.get();
  }
  return nullptr;
}

HRESULT ConnectionPointContainerHelper::FindConnectionPoint(const IID& iid, IConnectionPoint** point) noexcept {
  if (point == nullptr) return E_POINTER;
  ConnectionPoint* found = Find(iid);
  *point = found;
  if (found == nullptr) return CONNECT_E_NOCONNECTION;
  found->AddRef();
  return S_OK;
}

HRESULT ConnectionPointContainerHelper::EnumConnectionPoints(IEnumConnectionPoints** points) noexcept {
  if (points == nullptr) return E_POINTER;
  *points = nullptr;
  return CatchReturn([&] {
    auto items = std::make_shared<const std::vector<ComPtr<ConnectionPoint>>>(points_);
    *points = Make<SnapshotEnum<PointTraits>>(std::move(items), 0).detach();
    return S_OK;
  });
}

HRESULT InvokeEvent(IUnknown* sink, const IID& eventIid, DISPID id, std::span<const Variant> args,
                    VARIANT* result) noexcept {
  if (sink == nullptr) return E_POINTER;
  // The event interface is a dispatch interface: its pointer is an IDispatch.
  ComPtr<IDispatch> target;
  VORLANE_RETURN_IF_FAILED(sink->QueryInterface(eventIid, target.put_void()));
  return InvokeMember(target.get(), id, DISPATCH_METHOD, args, result, eventIid);
}

}  // namespace vorlane::com
