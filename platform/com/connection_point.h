// Outgoing interfaces (events): a reusable connection point per event interface, the container
// side that finds and lists them, and InvokeEvent to call one sink.
//
// Events are fired on a Snapshot taken under the point's lock and called outside it, so a sink
// may Advise or Unadvise (itself included) while it is being called.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <span>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/interfaces.h"
#include "platform/com/variant.h"

namespace vorlane::com {

// Observers of a point's connections, for a container that acts on them (to keep a marshalled
// copy of the most recent sink, say). They run on the advising thread, one at a time and in the
// order the connections changed, without the lock of the sink list (so they may take a
// Snapshot). They must not Advise or Unadvise on the same point, nor drop the container's last
// reference; exceptions they throw are swallowed.
struct ConnectionHooks {
  // After a sink (as the event interface) was added. A failure takes the connection back: the
  // sink is released and Advise returns the failure with cookie 0.
  std::function<HRESULT(uint32_t cookie, IUnknown* sink)> advised;
  // At the start of every Unadvise, whether or not the cookie is in use.
  std::function<void(uint32_t cookie)> unadvising;
  // After a connection was removed.
  std::function<void(uint32_t cookie)> unadvised;
};

class ConnectionPoint final : public ComObject<ConnectionPoint, IConnectionPoint> {
 public:
  // Without a container until one attaches it (GetConnectionPointContainer: E_UNEXPECTED).
  explicit ConnectionPoint(const IID& eventIid);

  HRESULT GetConnectionInterface(IID* iid) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** container) override;
  // E_POINTER for a null sink; CONNECT_E_CANNOTCONNECT (cookie 0) when the sink lacks the event
  // interface; E_UNEXPECTED once the container is gone. Cookies start at 1.
  HRESULT Advise(IUnknown* sink, uint32_t* cookie) override;
  // CONNECT_E_NOCONNECTION for a cookie not in use.
  HRESULT Unadvise(uint32_t cookie) override;
  // An enumerator over the connections as they are now.
  HRESULT EnumConnections(IEnumConnections** connections) override;

  const IID& EventIid() const noexcept { return eventIid_; }
  // The sinks (each as its event interface), copied under the lock, for firing outside it.
  std::vector<ComPtr<IUnknown>> Snapshot() const;
  size_t ConnectionCount() const;

  void SetHooks(ConnectionHooks hooks);

  // The container's side. The back pointer is weak: the container attaches with a function that
  // takes a reference only while the container is alive, and disconnects from its destructor.
  using TryAddRefFunction = bool (*)(IConnectionPointContainer*) noexcept;
  void AttachContainer(IConnectionPointContainer* container, TryAddRefFunction tryAddRef);
  // Forgets the container and the hooks and releases every sink; later Advise calls fail.
  void Disconnect();

 private:
  struct Connection {
    uint32_t cookie;
    ComPtr<IUnknown> sink;
  };

  ~ConnectionPoint() override;

  const IID eventIid_;
  std::mutex adviseLock_;  // orders changes with their hooks
  ConnectionHooks hooks_;  // guarded by adviseLock_
  mutable std::mutex lock_;
  std::vector<Connection> connections_;  // guarded by lock_, as the three below
  uint32_t nextCookie_ = 1;
  bool disconnected_ = false;
  IConnectionPointContainer* container_ = nullptr;
  TryAddRefFunction tryAddRef_ = nullptr;
};

// The IConnectionPointContainer half of an object, held as a member (or through
// ConnectionPointContainerImpl below, which forwards to it):
//   HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) override {
//     return points_.FindConnectionPoint(iid, point);
//   }
// Points are added in the object's constructor, before anyone else can see it: the list is
// never changed afterwards, so reading it takes no lock. Disconnecting waits for hooks that are
// running; declare the helper as the last member (or call DisconnectAll first thing in the
// destructor) so that nothing a hook uses is gone by then.
class ConnectionPointContainerHelper {
 public:
  // `self` is the containing ComObject; its TryAddRef guards the points' back pointers.
  template <class Container>
  explicit ConnectionPointContainerHelper(Container* self) noexcept
      : self_(self), tryAddRef_([](IConnectionPointContainer* c) noexcept {
          return static_cast<Container*>(c)->TryAddRef();
        }) {}
  // For a base that cannot name its complete object yet: `tryAddRef` reaches it later.
  ConnectionPointContainerHelper(IConnectionPointContainer* self, ConnectionPoint::TryAddRefFunction tryAddRef) noexcept
      : self_(self), tryAddRef_(tryAddRef) {}
  ConnectionPointContainerHelper(const ConnectionPointContainerHelper&) = delete;
  ConnectionPointContainerHelper& operator=(const ConnectionPointContainerHelper&) = delete;
  // Disconnects every point: clients still holding one can no longer reach the container.
  ~ConnectionPointContainerHelper() { DisconnectAll(); }
  void DisconnectAll();

  // A new point for events of eventIid; throws std::bad_alloc.
  ConnectionPoint& Add(const IID& eventIid);
  ConnectionPoint* Find(const IID& eventIid) const noexcept;

  // CONNECT_E_NOCONNECTION for an event interface without a point.
  HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) noexcept;
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) noexcept;

 private:
  IConnectionPointContainer* self_;
  ConnectionPoint::TryAddRefFunction tryAddRef_;
  std::vector<ComPtr<ConnectionPoint>> points_;
};

// IConnectionPointContainer implemented over a helper of its own, listed among an object's
// interfaces in place of IConnectionPointContainer:
//   class Clock final : public ComObject<Clock, IClock, ConnectionPointContainerImpl<Clock>> {
//     Clock() { ConnectionPoints().Add(IClockEvents::kIid); }
//     ~Clock() override { ConnectionPoints().DisconnectAll(); }  // first, when hooks use members
//   };
// The helper is a base's member, so it outlives the object's own members: an object whose
// hooks use its members disconnects first thing in its destructor (the helper's rule above).
template <class Derived>
class ConnectionPointContainerImpl : public IConnectionPointContainer {
 public:
  HRESULT FindConnectionPoint(const IID& iid, IConnectionPoint** point) override {
    return points_.FindConnectionPoint(iid, point);
  }
  HRESULT EnumConnectionPoints(IEnumConnectionPoints** points) override { return points_.EnumConnectionPoints(points); }

 protected:
  // Derived is not built yet: no cast to it here (that would be undefined), only in the function
  // the points call once the object is complete.
  ConnectionPointContainerImpl() noexcept
      : points_(this, [](IConnectionPointContainer* self) noexcept {
          return static_cast<Derived*>(static_cast<ConnectionPointContainerImpl*>(self))->TryAddRef();
        }) {}
  ~ConnectionPointContainerImpl() = default;

  ConnectionPointContainerHelper& ConnectionPoints() noexcept { return points_; }
  const ConnectionPointContainerHelper& ConnectionPoints() const noexcept { return points_; }

 private:
  ConnectionPointContainerHelper points_;
};

// Calls method `id` of the event interface on one sink, with the arguments in natural order
// (by-reference Variants let the sink answer through them). The sink's EXCEPINFO failure comes
// back as its code, with the description as the thread's error information.
HRESULT InvokeEvent(IUnknown* sink, const IID& eventIid, DISPID id, std::span<const Variant> args,
                    VARIANT* result = nullptr) noexcept;
inline HRESULT InvokeEvent(IUnknown* sink, const IID& eventIid, DISPID id, std::initializer_list<Variant> args = {},
                           VARIANT* result = nullptr) noexcept {
  return InvokeEvent(sink, eventIid, id, std::span<const Variant>(args.begin(), args.size()), result);
}

}  // namespace vorlane::com
