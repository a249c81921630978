#include "platform/termserver/unauthenticated_limit.h"

#include <utility>

namespace vorlane::termserver {

UnauthenticatedLimit::Verdict UnauthenticatedLimit::Admit(const std::string& address, uint32_t draw) {
  std::lock_guard guard(lock_);
  auto found = perAddress_.find(address);
  if (found != perAddress_.end() && found->second >= kMaxUnauthenticatedPerAddress) return Verdict::kAddressFull;
  if (total_ >= kMaxUnauthenticated) return Verdict::kTotalFull;
  if (total_ > kUnauthenticatedStart && draw < total_ - kUnauthenticatedStart) return Verdict::kEarlyDrop;
  ++perAddress_[address];
  ++total_;
  return Verdict::kAdmitted;
}

void UnauthenticatedLimit::Release(const std::string& address) {
  std::lock_guard guard(lock_);
  auto found = perAddress_.find(address);
  if (found == perAddress_.end()) return;
  if (--found->second == 0) perAddress_.erase(found);
  --total_;
}

size_t UnauthenticatedLimit::Total() const {
  std::lock_guard guard(lock_);
  return total_;
}

size_t UnauthenticatedLimit::CountFor(const std::string& address) const {
  std::lock_guard guard(lock_);
  auto found = perAddress_.find(address);
  return found == perAddress_.end() ? 0 : found->second;
}

UnauthenticatedPlace::UnauthenticatedPlace(std::shared_ptr<UnauthenticatedLimit> limit, std::string address)
    : limit_(std::move(limit)), address_(std::move(address)) {}

UnauthenticatedPlace::UnauthenticatedPlace(UnauthenticatedPlace&& other) noexcept
    : limit_(std::move(other.limit_)), address_(std::move(other.address_)) {}

UnauthenticatedPlace& UnauthenticatedPlace::operator=(UnauthenticatedPlace&& other) noexcept {
  if (this != &other) {
    GiveBack();
    limit_ = std::move(other.limit_);
    address_ = std::move(other.address_);
  }
  return *this;
}

void UnauthenticatedPlace::GiveBack() {
  if (auto limit = std::exchange(limit_, nullptr)) limit->Release(address_);
}

}  // namespace vorlane::termserver
