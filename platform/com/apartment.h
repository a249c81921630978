// Apartments: the threading rooms of components. A thread that initialises a single-threaded
// apartment owns the objects it creates; other threads reach them only through marshalled
// pointers, whose calls are carried to the owner's message loop and run there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/com/hresult.h"

namespace vorlane::loop {
class MessageLoop;
}

namespace vorlane::com {

inline constexpr uint32_t COINIT_MULTITHREADED = 0x0;
inline constexpr uint32_t COINIT_APARTMENTTHREADED = 0x2;

// S_OK for the first initialisation of the thread, S_FALSE for a nested one (each needs its
// CoUninitialize), RPC_E_CHANGED_MODE when the thread is already in the other kind.
HRESULT CoInitializeEx(void* reserved, uint32_t flags);
inline HRESULT CoInitialize(void* reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }
// The last CoUninitialize of a thread ends its apartment: calls waiting to get in fail with
// RPC_E_DISCONNECTED, and the objects that marshalled pointers held there are released.
void CoUninitialize();
// The OLE initialisation of a thread is a single-threaded apartment.
HRESULT OleInitialize(void* reserved);
void OleUninitialize();

// The calling thread inside a single-threaded apartment for the life of the scope: every
// successful initialisation is paired with its CoUninitialize, on every way out. A thread
// already in an apartment nests (S_FALSE, still paired); one in the other kind is left as it is
// (RPC_E_CHANGED_MODE, nothing to undo).
class ApartmentScope {
 public:
  explicit ApartmentScope(uint32_t flags = COINIT_APARTMENTTHREADED) : result_(CoInitializeEx(nullptr, flags)) {}
  ~ApartmentScope() {
    if (Succeeded(result_)) CoUninitialize();
  }
  ApartmentScope(const ApartmentScope&) = delete;
  ApartmentScope& operator=(const ApartmentScope&) = delete;

  HRESULT result() const noexcept { return result_; }
  bool ok() const noexcept { return Succeeded(result_); }

 private:
  const HRESULT result_;
};

class Apartment;

// The calling thread's single-threaded apartment, or nullptr when it has none.
std::shared_ptr<Apartment> CurrentApartment();

// Runs `call` in `apartment`: directly when the caller is its thread, else through its message
// loop while the caller waits. A waiting caller that has a message loop itself keeps dispatching
// its own messages, so two apartments calling each other do not deadlock; a quit message seen
// meanwhile is posted again once the call is over. Error information set by the call is carried
// back to the caller's thread. RPC_E_DISCONNECTED when the apartment has ended, or ends before
// the call ran.
HRESULT CallInApartment(const std::shared_ptr<Apartment>& apartment, const std::function<HRESULT()>& call);

// Hands `task` to the apartment's thread without waiting; false when the apartment has ended
// (the task is then destroyed on the calling thread).
bool PostToApartment(const std::shared_ptr<Apartment>& apartment, std::function<void()> task);

}  // namespace vorlane::com
