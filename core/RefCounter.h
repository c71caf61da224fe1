// RefCounter<T>: intrusive reference count for classes that are shared between threads but are not
// qor::IRefCountable (kernel links, IO workers).
//
// T derives from RefCounter<T>. A fresh object has count 0; boost::intrusive_ptr<T> (qor::RefPtr<T>) finds the
// counting functions below through T's base. The last Release deletes the object through the virtual destructor,
// on whichever thread releases it; AddRef is relaxed, Release orders with release/acquire like qor::RefCounted.
#pragma once

#include <atomic>
#include <boost/intrusive_ptr.hpp>
#include <cstdint>

#include "platform/RefCounted.h"

namespace VevUroro {

template <typename T>
class RefCounter {
 public:
  RefCounter() = default;
  RefCounter(const RefCounter&) = delete;
  RefCounter& operator=(const RefCounter&) = delete;
  virtual ~RefCounter() = default;

  void AddRef() const { _refCount.fetch_add(1, std::memory_order_relaxed); }

  void Release() const {
    if (_refCount.fetch_sub(1, qor::kReleaseOrder) == 1) {
      QOR_REFCOUNT_ACQUIRE_FENCE();
      delete this;
    }
  }

  uint32_t RefCount() const { return _refCount.load(std::memory_order_relaxed); }

  friend void intrusive_ptr_add_ref(const RefCounter* object) { object->AddRef(); }
  friend void intrusive_ptr_release(const RefCounter* object) { object->Release(); }

 private:
  mutable std::atomic<uint32_t> _refCount{0};
};

}  // namespace VevUroro
