// Bounded waiting for a condition in tests: never sleep for a fixed time, poll the condition until it holds or
// the bound passes.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
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

// Runs `action` on a thread of its own and waits up to `bound` for it to return. False when it has not: the thread
// is left behind (detached), so that a hang fails the test instead of blocking the whole run.
template <typename Action>
bool ReturnsWithin(Action action, std::chrono::milliseconds bound = std::chrono::seconds(20)) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread runner([action = std::move(action), done]() mutable {
    action();
    *done = true;
  });
  if (!WaitFor([&] { return done->load(); }, bound)) {
    runner.detach();
    return false;
  }
  runner.join();
  return true;
}

}  // namespace qor::test
