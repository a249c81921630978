#include "platform/termserver/unauthenticated_limit.h"

#include <algorithm>
#include <utility>

namespace vorlane::termserver {

UnauthenticatedLimit::UnauthenticatedLimit() : UnauthenticatedLimit(Bounds{}) {}

UnauthenticatedLimit::UnauthenticatedLimit(Bounds bounds)
    : bounds_(bounds) {}

size_t UnauthenticatedLimit::Places(const std::string& address) const {
  auto found = addresses_.find(address);
  return found == addresses_.end() ? 0 : found->second.places.size();
}

void UnauthenticatedLimit::ForgetIfUnused(const std::string& address) {
  auto found = addresses_.find(address);
  if (found != addresses_.end() && found->second.places.empty() && found->second.held == 0) addresses_.erase(found);
}

UnauthenticatedPlace UnauthenticatedLimit::AdmitLocked(const std::string& address) {
  const uint64_t id = nextId_++;
  addresses_[address].places.push_back(Place{id, {}});
  ++total_;
  return UnauthenticatedPlace(shared_from_this(), id, address);
}

UnauthenticatedLimit::Arrival UnauthenticatedLimit::Arrive(UniqueFd socket, const std::string& address,
                                                           Clock::time_point now) {
  std::shared_ptr<Evictable> evicted;
  Arrival arrival{Outcome::kHeld, std::nullopt, {}};
  {
    std::lock_guard guard(lock_);
    const size_t mine = Places(address);
    bool admit = false;
    if (mine < bounds_.perAddress && total_ < bounds_.total) {
      admit = true;
    } else if (mine < bounds_.perAddress) {
      // Every place is taken: the address that holds the most gives up its longest-waiting one,
      // if it holds more than this one does.
      auto most = addresses_.end();
      for (auto it = addresses_.begin(); it != addresses_.end(); ++it) {
        if (it->second.places.empty()) continue;
        if (most == addresses_.end() || it->second.places.size() > most->second.places.size() ||
            (it->second.places.size() == most->second.places.size() &&
             it->second.places.front().id < most->second.places.front().id)) {
          most = it;
        }
      }
      if (most != addresses_.end() && most->second.places.size() > mine) {
        evicted = most->second.places.front().connection.lock();
        most->second.places.pop_front();
        --total_;
        arrival.evictedAddress = most->first;
        ForgetIfUnused(arrival.evictedAddress);
        admit = true;
      }
    }
    if (admit) {
      arrival.outcome = arrival.evictedAddress.empty() ? Outcome::kAdmitted : Outcome::kAdmittedInPlaceOfAnother;
      arrival.admitted = Admission{std::move(socket), address, AdmitLocked(address)};
    } else {
      PerAddress& entry = addresses_[address];
      if (entry.held >= bounds_.heldPerAddress) {
        arrival.outcome = Outcome::kAddressQueueFull;
      } else if (waiting_.size() >= bounds_.heldTotal) {
        arrival.outcome = Outcome::kQueueFull;
      } else {
        ++entry.held;
        waiting_.push_back(Waiting{std::move(socket), address, now + bounds_.heldFor});
      }
      ForgetIfUnused(address);
    }
  }
  // Outside the lock: the connection only takes note and wakes its thread.
  if (evicted) evicted->Evict();
  return arrival;
}

std::vector<UnauthenticatedLimit::Admission> UnauthenticatedLimit::TakeAdmitted(Clock::time_point now,
                                                                                 size_t& expired) {
  std::vector<Admission> admitted;
  std::vector<UniqueFd> closing;  // closed outside the lock
  std::lock_guard guard(lock_);
  expired = 0;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (it->until > now) {
      ++it;
      continue;
    }
    --addresses_[it->address].held;
    ForgetIfUnused(it->address);
    closing.push_back(std::move(it->socket));
    it = waiting_.erase(it);
    ++expired;
  }
  while (total_ < bounds_.total) {
    // The held connection of the address with the fewest places, the longest-held first.
    auto best = waiting_.end();
    size_t bestPlaces = 0;
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
      const size_t places = Places(it->address);
      if (places >= bounds_.perAddress) continue;
      if (best == waiting_.end() || places < bestPlaces) {
        best = it;
        bestPlaces = places;
      }
    }
    if (best == waiting_.end()) break;
    --addresses_[best->address].held;
    UnauthenticatedPlace place = AdmitLocked(best->address);
    admitted.push_back(Admission{std::move(best->socket), best->address, std::move(place)});
    waiting_.erase(best);
  }
  return admitted;
}

void UnauthenticatedLimit::Bind(const UnauthenticatedPlace& place, std::weak_ptr<Evictable> connection) {
  std::lock_guard guard(lock_);
  auto found = addresses_.find(place.Address());
  if (found == addresses_.end()) return;
  for (Place& candidate : found->second.places) {
    if (candidate.id == place.Id()) candidate.connection = std::move(connection);
  }
}

void UnauthenticatedLimit::CloseHeld() {
  std::deque<Waiting> closing;
  std::lock_guard guard(lock_);
  for (const Waiting& waiting : waiting_) {
    --addresses_[waiting.address].held;
    ForgetIfUnused(waiting.address);
  }
  closing.swap(waiting_);
}

std::optional<UnauthenticatedLimit::Clock::time_point> UnauthenticatedLimit::NextExpiry() const {
  std::lock_guard guard(lock_);
  if (waiting_.empty()) return std::nullopt;
  return waiting_.front().until;  // all are held for the same time, so the first ends first
}

void UnauthenticatedLimit::Release(uint64_t id, const std::string& address) {
  bool wake = false;
  {
    std::lock_guard guard(lock_);
    auto found = addresses_.find(address);
    if (found == addresses_.end()) return;
    auto& places = found->second.places;
    auto place = std::find_if(places.begin(), places.end(), [id](const Place& p) { return p.id == id; });
    if (place == places.end()) return;  // taken for another address already
    places.erase(place);
    --total_;
    ForgetIfUnused(address);
    wake = !waiting_.empty();
  }
  if (wake) ready_.Set();
}

size_t UnauthenticatedLimit::Total() const {
  std::lock_guard guard(lock_);
  return total_;
}

size_t UnauthenticatedLimit::CountFor(const std::string& address) const {
  std::lock_guard guard(lock_);
  return Places(address);
}

size_t UnauthenticatedLimit::HeldCount() const {
  std::lock_guard guard(lock_);
  return waiting_.size();
}

UnauthenticatedPlace::UnauthenticatedPlace(std::shared_ptr<UnauthenticatedLimit> limit, uint64_t id,
                                           std::string address)
    : limit_(std::move(limit)), id_(id), address_(std::move(address)) {}

UnauthenticatedPlace::UnauthenticatedPlace(UnauthenticatedPlace&& other) noexcept
    : limit_(std::move(other.limit_)), id_(other.id_), address_(std::move(other.address_)) {}

UnauthenticatedPlace& UnauthenticatedPlace::operator=(UnauthenticatedPlace&& other) noexcept {
  if (this != &other) {
    GiveBack();
    limit_ = std::move(other.limit_);
    id_ = other.id_;
    address_ = std::move(other.address_);
  }
  return *this;
}

void UnauthenticatedPlace::GiveBack() {
  if (auto limit = std::exchange(limit_, nullptr)) limit->Release(id_, address_);
}

}  // namespace vorlane::termserver
