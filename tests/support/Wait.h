// Bounded waiting for a condition in tests: never sleep for a fixed time, poll the condition until it holds or
// the bound passes.
#pragma once

#include <chrono>
#include <thread>

namespace qor::test {

template <typename Predicate>
bool WaitFor(Predicate&& predicate, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + bound;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return predicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace qor::test
