// Admits the connections that have not logged in yet, so that those which never log in cannot
// take every place, and so that no address, nor any set of addresses, can keep another out:
//  - an address holds at most kMaxUnauthenticatedPerAddress places; a connection beyond that is
//    held un-served (nothing read from it, nothing sent) until a place of its address frees, as
//    a monitoring server that opens many connections at once expects of a server;
//  - kMaxUnauthenticated places in all; when every one is taken, a connection from an address
//    that holds fewer places than the address holding the most takes a place of that address
//    (whose longest-waiting connection is told to go); one from an address that holds as many
//    as any is held;
//  - a freed place goes to the held connection of the address that holds the fewest places, the
//    longest-held first; a held connection waits at most kLoginTimeLimit;
//  - beyond kMaxHeldPerAddress held from one address or kMaxHeld in all, a connection is refused.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/loop/message_loop.h"
#include "platform/termserver/limits.h"

namespace vorlane::termserver {

class UnauthenticatedLimit;

// An admitted connection's place among those not logged in yet. It is given back once, by
// GiveBack (the login succeeded) or by the destructor (the connection ended), whichever comes
// first; a place taken for another address is gone already and gives back nothing.
class UnauthenticatedPlace {
 public:
  UnauthenticatedPlace() = default;
  UnauthenticatedPlace(std::shared_ptr<UnauthenticatedLimit> limit, uint64_t id, std::string address);
  UnauthenticatedPlace(UnauthenticatedPlace&& other) noexcept;
  UnauthenticatedPlace& operator=(UnauthenticatedPlace&& other) noexcept;
  ~UnauthenticatedPlace() { GiveBack(); }

  void GiveBack();
  bool Held() const { return limit_ != nullptr; }
  uint64_t Id() const { return id_; }
  const std::string& Address() const { return address_; }

 private:
  std::shared_ptr<UnauthenticatedLimit> limit_;
  uint64_t id_ = 0;
  std::string address_;
};

class UnauthenticatedLimit : public std::enable_shared_from_this<UnauthenticatedLimit> {
 public:
  using Clock = std::chrono::steady_clock;

  // An admitted connection, told to end when its place is taken for another address.
  class Evictable {
   public:
    virtual void Evict() = 0;

   protected:
    ~Evictable() = default;
  };

  struct Bounds {
    size_t perAddress = kMaxUnauthenticatedPerAddress;
    size_t total = kMaxUnauthenticated;
    size_t heldPerAddress = kMaxHeldPerAddress;
    size_t heldTotal = kMaxHeld;
    Clock::duration heldFor = kLoginTimeLimit;
  };

  enum class Outcome {
    kAdmitted,
    kAdmittedInPlaceOfAnother,  // the longest-waiting connection of the address holding the most goes
    kHeld,                      // waits for a place
    kAddressQueueFull,          // refused: kMaxHeldPerAddress held from this address already
    kQueueFull,                 // refused: kMaxHeld held in all already
  };

  // A connection that has its place now.
  struct Admission {
    UniqueFd socket;
    std::string address;
    UnauthenticatedPlace place;
  };

  struct Arrival {
    Outcome outcome;
    std::optional<Admission> admitted;  // when admitted
    std::string evictedAddress;         // with kAdmittedInPlaceOfAnother
  };

  UnauthenticatedLimit();
  explicit UnauthenticatedLimit(Bounds bounds);
  UnauthenticatedLimit(const UnauthenticatedLimit&) = delete;
  UnauthenticatedLimit& operator=(const UnauthenticatedLimit&) = delete;

  // Arrive, TakeAdmitted, Bind and CloseHeld are for one thread (the one that accepts), so that
  // a connection is bound before any later arrival can take its place.
  [[nodiscard]] Arrival Arrive(UniqueFd socket, const std::string& address, Clock::time_point now);
  // The held connections that have a place now; those held past their time are closed and
  // counted in `expired`.
  [[nodiscard]] std::vector<Admission> TakeAdmitted(Clock::time_point now, size_t& expired);
  // Tells the admitted connection of `place` how to end it.
  void Bind(const UnauthenticatedPlace& place, std::weak_ptr<Evictable> connection);
  // Closes every held connection (the server stops).
  void CloseHeld();
  // When the first held connection's time runs out.
  std::optional<Clock::time_point> NextExpiry() const;
  // Set after a place was given back while connections were held: TakeAdmitted may have
  // something. Resetting it is the caller's.
  loop::Event& Ready() { return ready_; }

  size_t Total() const;
  size_t CountFor(const std::string& address) const;
  size_t HeldCount() const;

 private:
  friend class UnauthenticatedPlace;
  struct Place {
    uint64_t id;
    std::weak_ptr<Evictable> connection;
  };
  struct Waiting {
    UniqueFd socket;
    std::string address;
    Clock::time_point until;
  };
  struct PerAddress {
    std::deque<Place> places;  // the longest-waiting first
    size_t held = 0;
  };

  void Release(uint64_t id, const std::string& address);
  UnauthenticatedPlace AdmitLocked(const std::string& address);
  void ForgetIfUnused(const std::string& address);
  size_t Places(const std::string& address) const;

  const Bounds bounds_;
  loop::Event ready_;
  mutable std::mutex lock_;
  std::unordered_map<std::string, PerAddress> addresses_;  // guarded by lock_; only those in use
  std::deque<Waiting> waiting_;                            // guarded by lock_; in arrival order
  size_t total_ = 0;                                       // guarded by lock_
  uint64_t nextId_ = 1;                                    // guarded by lock_
};

}  // namespace vorlane::termserver
