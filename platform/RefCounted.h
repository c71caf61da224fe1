// Intrusive reference counting shared by the agent's components and the objects they hand between threads.
//
// qor::IRefCountable is the counting interface; qor::RefCounted<T, Base> implements it for T on top of Base (Base is
// IRefCountable itself or a class derived from it, such as VevUroro::Component). Holders use qor::RefPtr<T>
// (boost::intrusive_ptr); the overloads below let it count any IRefCountable.
//
// Counting rules: a fresh object has count 0 and belongs to whoever wraps it first in a RefPtr. AddRef is a relaxed
// increment; Release decrements with release ordering and, at zero, issues an acquire fence and deletes the object
// through its virtual destructor, so an object may be released on any thread. When RefCounted is stacked over a Base
// that already counts (RefCounted<X, Component>), the most derived count is the one in use.
#pragma once

#include <atomic>
#include <boost/intrusive_ptr.hpp>
#include <cstdint>
#include <type_traits>
#include <utility>

// Memory ordering of the counts: the last Release must see every write made before the other releases. Normally a
// release decrement plus an acquire fence at zero; ThreadSanitizer does not model standalone fences, so under it the
// decrement itself is acquire-release (same guarantee, no fence).
#if defined(__SANITIZE_THREAD__)
#define QOR_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QOR_TSAN_BUILD 1
#endif
#endif

namespace qor {
#ifdef QOR_TSAN_BUILD
inline constexpr std::memory_order kReleaseOrder = std::memory_order_acq_rel;
#define QOR_REFCOUNT_ACQUIRE_FENCE() ((void)0)
#else
inline constexpr std::memory_order kReleaseOrder = std::memory_order_release;
#define QOR_REFCOUNT_ACQUIRE_FENCE() std::atomic_thread_fence(std::memory_order_acquire)
#endif

class IRefCountable {
 public:
  virtual ~IRefCountable() = default;
  virtual void AddRef() const = 0;
  virtual void Release() const = 0;
};

template <typename T, typename Base>
class RefCounted : public Base {
  static_assert(std::is_base_of_v<IRefCountable, Base>, "Base must be IRefCountable or derive from it");

 public:
  // Forwards construction to Base; never taken for copies of RefCounted itself.
  template <typename... Args>
  requires(!(sizeof...(Args) == 1 &&
             (std::is_base_of_v<RefCounted, std::remove_cvref_t<Args>> && ...))) explicit RefCounted(Args&&... args)
      : Base(std::forward<Args>(args)...) {}

  // The count belongs to the object, not to its value.
  RefCounted(const RefCounted&) = delete;
  RefCounted& operator=(const RefCounted&) = delete;

  void AddRef() const override { _refCount.fetch_add(1, std::memory_order_relaxed); }

  void Release() const override {
    if (_refCount.fetch_sub(1, kReleaseOrder) == 1) {
      QOR_REFCOUNT_ACQUIRE_FENCE();
      delete this;
    }
  }

  // Current count; only meaningful as a snapshot (tests, diagnostics).
  uint32_t RefCount() const { return _refCount.load(std::memory_order_relaxed); }

 private:
  mutable std::atomic<uint32_t> _refCount{0};
};

inline void intrusive_ptr_add_ref(const IRefCountable* object) {
  object->AddRef();
}
inline void intrusive_ptr_release(const IRefCountable* object) {
  object->Release();
}

template <typename T>
using RefPtr = boost::intrusive_ptr<T>;

}  // namespace qor
