// A keyed collection of a component's elements: the table behind a collection object's Count,
// Add, Remove, Item, At, Clear, IsRunning and AllChecked (late binding reaches them through the
// collection's member list).
//
// Elements are kept by id in ascending order (At walks that order). Ids are handed out from a
// counter that starts at 0, skips ids in use and starts again at 0 whenever the collection is
// emptied. An element knows its collection while it is in it (KeyedElement below).
//
// The table lock is never held while an element is released (its destructor may log or reach
// back), and elements that leave are released after it.
#pragma once

#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/hresult.h"
#include "platform/debuglog/debuglog.h"

namespace vorlane::com {

// Runs `body` (returning an HRESULT) so that no exception escapes: on one, writes `line` to the
// debug log and answers E_FAIL.
template <class F>
HRESULT Guarded(std::string_view line, F&& body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    try {
      debuglog::Write(line);
    } catch (...) {
    }
    return E_FAIL;
  }
}

// What sets one collection apart from another; everything else is shared.
struct KeyedCollectionRules {
  // Names the collection in its log lines ("<name>::Exception in <member>").
  std::string_view logName;
  // What Item answers for an id that is not in the collection.
  HRESULT missingItem = DISP_E_BADINDEX;
  // Whether At logs an index out of range (it answers DISP_E_BADINDEX either way).
  bool logBadIndex = false;
  // Whether elements keep their id when the collection is cleared (else they take -1, as an
  // element that is removed always does).
  bool clearKeepsIds = false;
};

// The element's side of a keyed collection, a base of the element class: its membership (the
// collection of class `Parent` and the id there), its running and checked states, and the lock
// that guards them with the element's own properties.
template <class Parent>
class KeyedElement {
 public:
  void Join(Parent* parent, int32_t id) { SetMembership(parent, id); }
  // Leaves the collection: no parent; the id becomes `id` (-1 on Remove, kept or -1 on Clear).
  void Leave(int32_t id) { SetMembership(nullptr, id); }
  int32_t CurrentId() { return Locked(id_); }
  // The owning collection with a new reference, or null.
  ComPtr<Parent> Collection() {
    std::lock_guard guard(propertyLock_);
    // A collection on its way out clears this pointer from its destructor; until then it must not
    // be brought back to life.
    if (parent_ == nullptr || !parent_->TryAddRef()) return nullptr;
    return ComPtr<Parent>(parent_, kAdoptRef);
  }
  bool Running() { return Locked(isRunning_) != VARIANT_FALSE; }
  bool Checked() { return Locked(checked_) != VARIANT_FALSE; }
  void SetNotRunning() { WriteLocked(isRunning_, VARIANT_FALSE); }
  std::mutex& PropertyLock() noexcept { return propertyLock_; }

 protected:
  KeyedElement() = default;
  ~KeyedElement() = default;

  template <class T>
  T Locked(const T& field) {
    std::lock_guard guard(propertyLock_);
    return field;
  }
  // A property's value (a copy of a text) under the property lock; E_POINTER for a null out.
  template <class T>
  HRESULT ReadLocked(const T& field, T* value) {
    if (value == nullptr) return E_POINTER;
    *value = Locked(field);
    return S_OK;
  }
  HRESULT ReadLocked(const std::u16string& field, BSTR* value) {
    if (value == nullptr) return E_POINTER;
    std::lock_guard guard(propertyLock_);
    *value = SysAllocStringLen(field.data(), static_cast<uint32_t>(field.size()));
    return *value == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  template <class T>
  HRESULT WriteLocked(T& field, T value) {
    std::lock_guard guard(propertyLock_);
    field = std::move(value);
    return S_OK;
  }

  // Guards what follows, and the element's properties.
  std::mutex propertyLock_;
  VARIANT_BOOL isRunning_ = VARIANT_FALSE;
  VARIANT_BOOL checked_ = VARIANT_FALSE;

 private:
  void SetMembership(Parent* parent, int32_t id) {
    std::lock_guard guard(propertyLock_);
    parent_ = parent;
    id_ = id;
  }

  Parent* parent_ = nullptr;  // not a counted reference; cleared when the element leaves
  int32_t id_ = 0;
};

template <class Element, class Interface>
class KeyedCollection {
 public:
  explicit constexpr KeyedCollection(KeyedCollectionRules rules) : rules_(rules) {}
  KeyedCollection(const KeyedCollection&) = delete;
  KeyedCollection& operator=(const KeyedCollection&) = delete;

  // The line written when `member` fails with an exception.
  std::string FailureLine(std::string_view member) const {
    std::string line(rules_.logName);
    line.append("::Exception in ").append(member).append("\n");
    return line;
  }

  HRESULT Count(int32_t* count) {
    if (count == nullptr) return E_POINTER;
    std::lock_guard guard(lock_);
    *count = static_cast<int32_t>(elements_.size());
    return S_OK;
  }

  // Keys `element` under the next free id and tells it that it joined `parent`. E_FAIL when
  // every id is taken; E_OUTOFMEMORY or E_FAIL when the table cannot take it.
  template <class Parent>
  HRESULT Insert(Parent* parent, const ComPtr<Element>& element) noexcept {
    return CatchReturn([&]() -> HRESULT {
      std::lock_guard guard(lock_);
      // Ids in use are skipped; the bound is the number of ids there are.
      for (uint64_t round = 0; round <= elements_.size(); ++round) {
        const int32_t candidate = nextId_;
        nextId_ = static_cast<int32_t>(static_cast<uint32_t>(nextId_) + 1);
        if (elements_.emplace(candidate, element).second) {
          element->Join(parent, candidate);
          return S_OK;
        }
      }
      return E_FAIL;
    });
  }

  // The id the next Insert tries first.
  int32_t NextId() {
    std::lock_guard guard(lock_);
    return nextId_;
  }

  HRESULT Remove(int32_t id) {
    return Guarded(FailureLine("Remove"), [&]() -> HRESULT {
      ComPtr<Element> removed;  // released after the lock
      std::lock_guard guard(lock_);
      auto it = elements_.find(id);
      if (it == elements_.end()) return S_FALSE;
      it->second->Leave(-1);
      removed = std::move(it->second);
      elements_.erase(it);
      if (elements_.empty()) nextId_ = 0;
      return S_OK;
    });
  }

  HRESULT Item(int32_t id, Interface** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return Guarded(FailureLine("Item"), [&]() -> HRESULT {
      std::lock_guard guard(lock_);
      auto it = elements_.find(id);
      if (it == elements_.end()) return rules_.missingItem;
      return HandOut(*it->second, out);
    });
  }

  HRESULT At(int32_t index, Interface** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return Guarded(FailureLine("At"), [&]() -> HRESULT {
      std::lock_guard guard(lock_);
      if (index < 0 || static_cast<size_t>(index) >= elements_.size()) {
        if (rules_.logBadIndex) debuglog::Write(FailureLine("At"));
        return DISP_E_BADINDEX;
      }
      return HandOut(*std::next(elements_.begin(), index)->second, out);
    });
  }

  HRESULT Clear() {
    return Guarded(FailureLine("Clear"), [&] {
      std::map<int32_t, ComPtr<Element>> leaving;  // released after the lock
      std::lock_guard guard(lock_);
      for (auto& [id, element] : elements_) element->Leave(rules_.clearKeepsIds ? id : -1);
      nextId_ = 0;
      leaving = std::exchange(elements_, {});
      return S_OK;
    });
  }

  // Whether any element is running, and whether every one is checked; each element is read
  // under its own lock, in ascending id order, until the answer is known.
  HRESULT IsRunning(VARIANT_BOOL* running) {
    if (running == nullptr) return E_POINTER;
    return Guarded(FailureLine("get_IsRunning"), [&] {
      *running = Any([](Element& e) { return e.Running(); }) ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    });
  }
  HRESULT AllChecked(VARIANT_BOOL* checked) {
    if (checked == nullptr) return E_POINTER;
    return Guarded(FailureLine("get_AllChecked"), [&] {
      *checked = Any([](Element& e) { return !e.Checked(); }) ? VARIANT_FALSE : VARIANT_TRUE;
      return S_OK;
    });
  }

  // The element with `id`, or null.
  ComPtr<Element> Find(int32_t id) {
    std::lock_guard guard(lock_);
    auto it = elements_.find(id);
    return it == elements_.end() ? nullptr : it->second;
  }

  // `element` as Interface into *out with a new reference; E_FAIL when that yields nothing.
  static HRESULT HandOut(Element& element, Interface** out) {
    Interface* found = nullptr;
    const HRESULT hr = element.QueryInterface(Interface::kIid, reinterpret_cast<void**>(&found));
    if (Failed(hr)) return hr;
    if (found == nullptr) return E_FAIL;
    *out = found;
    return S_OK;
  }

 private:
  template <class Found>
  bool Any(Found found) {
    std::lock_guard guard(lock_);
    for (const auto& [id, element] : elements_) {
      if (found(*element)) return true;
    }
    return false;
  }

  const KeyedCollectionRules rules_;
  // Guards elements_ and nextId_. The client calls from its apartment's thread, but the last
  // reference to the collection (and with it the last Clear) may be a worker's.
  std::mutex lock_;
  std::map<int32_t, ComPtr<Element>> elements_;
  int32_t nextId_ = 0;
};

}  // namespace vorlane::com

// Defines the members of collection class `Self` that its KeyedCollection `table` answers as
// they are: every one but Add, which makes the element.
#define VORLANE_KEYED_COLLECTION_MEMBERS_OF(Self, table, Interface)                                                  \
  ::vorlane::com::HRESULT Self::get_Count(int32_t* count) { return table.Count(count); }                            \
  ::vorlane::com::HRESULT Self::Remove(int32_t id) { return table.Remove(id); }                                     \
  ::vorlane::com::HRESULT Self::Item(int32_t id, Interface** out) { return table.Item(id, out); }                   \
  ::vorlane::com::HRESULT Self::At(int32_t index, Interface** out) { return table.At(index, out); }                 \
  ::vorlane::com::HRESULT Self::Clear() { return table.Clear(); }                                                   \
  ::vorlane::com::HRESULT Self::get_IsRunning(::vorlane::com::VARIANT_BOOL* out) { return table.IsRunning(out); }   \
  ::vorlane::com::HRESULT Self::get_AllChecked(::vorlane::com::VARIANT_BOOL* out) { return table.AllChecked(out); }
