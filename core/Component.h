// VevUroro::Component: base of every application and state cache table.
//
// Components are reference counted (qor::RefPtr<Component>) and shared between threads; an application X derives
// from qor::RefCounted<X, Component>. The dispatcher hands a component each batch of decoded entries through
// TakeDesiredState (by default UpdateDesiredState) on its own loop thread; a component guards its state itself
// (most take the agent lock). Start and stop are not part of this interface: each application has its own.
#pragma once

#include <cstdint>
#include <list>

#include "core/TolvarUpdateMsg.h"
#include "platform/RefCounted.h"

namespace VevUroro {

class Component : public qor::RefCounted<Component, qor::IRefCountable> {
 public:
  // One batch of entries for this component; fullSync is non-zero when the batch is the component's complete state.
  // The default ignores the batch.
  virtual void UpdateDesiredState(const std::list<TolvarUpdateMsg>& /*updates*/, uint8_t /*fullSync*/) {}
  // The same batch handed over: a component that keeps or passes on the entries' contents may move them out and
  // free each entry once applied, so that a full sync is not held twice. The default reads them in place.
  virtual void TakeDesiredState(std::list<TolvarUpdateMsg>&& updates, uint8_t fullSync) {
    UpdateDesiredState(updates, fullSync);
  }
};

}  // namespace VevUroro
