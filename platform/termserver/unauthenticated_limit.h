// Keeps connections that never log in from taking every place: counts the connections that have
// not logged in yet, per peer address and in all, and decides whether a new one may join them
// (the caps in limits.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/termserver/limits.h"

namespace vorlane::termserver {

class UnauthenticatedLimit {
 public:
  enum class Verdict {
    kAdmitted,
    kAddressFull,  // kMaxUnauthenticatedPerAddress from this address already
    kEarlyDrop,    // refused at random between kUnauthenticatedStart and kMaxUnauthenticated
    kTotalFull,    // kMaxUnauthenticated in all already
  };

  // The draws Admit takes are uniform in [0, kDrawRange). With n connections counted
  // (kUnauthenticatedStart <= n < kMaxUnauthenticated) a new one is refused when the draw is
  // below n - kUnauthenticatedStart: with probability (n - start) / (max - start), exactly.
  static constexpr uint32_t kDrawRange = static_cast<uint32_t>(kMaxUnauthenticated - kUnauthenticatedStart);

  // Decides for a new connection from `address`; an admitted one is counted until Release.
  [[nodiscard]] Verdict Admit(const std::string& address, uint32_t draw);
  // A counted connection from `address` logged in or ended.
  void Release(const std::string& address);

  size_t Total() const;
  size_t CountFor(const std::string& address) const;

 private:
  mutable std::mutex lock_;
  // Only addresses with a connection counted, so at most kMaxUnauthenticated entries.
  std::unordered_map<std::string, size_t> perAddress_;  // guarded by lock_
  size_t total_ = 0;                                    // guarded by lock_
};

// An admitted connection's place among those not logged in yet. It is given back once, by
// GiveBack (the login succeeded) or by the destructor (the connection ended), whichever comes first.
class UnauthenticatedPlace {
 public:
  UnauthenticatedPlace() = default;
  // Takes over a place that `limit` has admitted for `address`.
  UnauthenticatedPlace(std::shared_ptr<UnauthenticatedLimit> limit, std::string address);
  UnauthenticatedPlace(UnauthenticatedPlace&& other) noexcept;
  UnauthenticatedPlace& operator=(UnauthenticatedPlace&& other) noexcept;
  ~UnauthenticatedPlace() { GiveBack(); }

  void GiveBack();
  bool Held() const { return limit_ != nullptr; }

 private:
  std::shared_ptr<UnauthenticatedLimit> limit_;
  std::string address_;
};

}  // namespace vorlane::termserver
