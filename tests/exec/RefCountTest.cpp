#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <thread>
#include <vector>

#include "core/Component.h"
#include "core/RefCounter.h"
#include "platform/RefCounted.h"

namespace VevUroro {
namespace {

// Counts destructions so tests can see exactly when the last reference went.
struct Tracked : public qor::RefCounted<Tracked, qor::IRefCountable> {
  explicit Tracked(std::atomic<int>* destroyed) : destroyed(destroyed) {}
  ~Tracked() override { destroyed->fetch_add(1); }
  std::atomic<int>* destroyed;
};

struct Linked : public RefCounter<Linked> {
  explicit Linked(std::atomic<int>* destroyed) : destroyed(destroyed) {}
  ~Linked() override { destroyed->fetch_add(1); }
  std::atomic<int>* destroyed;
};

// An application as the agent writes one: RefCounted over Component.
class RecordingApp : public qor::RefCounted<RecordingApp, Component> {
 public:
  explicit RecordingApp(std::atomic<int>* destroyed) : _destroyed(destroyed) {}
  ~RecordingApp() override { _destroyed->fetch_add(1); }
  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) override {
    calls.emplace_back(updates.size(), fullSync);
  }
  std::vector<std::pair<size_t, uint8_t>> calls;

 private:
  std::atomic<int>* _destroyed;
};

TEST(RefCountTest, LastReleaseDestroysOnceAndOnlyThen) {
  std::atomic<int> destroyed{0};
  qor::RefPtr<Tracked> first(new Tracked(&destroyed));
  EXPECT_EQ(first->RefCount(), 1u);
  {
    qor::RefPtr<Tracked> second = first;
    qor::RefPtr<const qor::IRefCountable> asInterface(first.get());
    EXPECT_EQ(first->RefCount(), 3u);
  }
  EXPECT_EQ(first->RefCount(), 1u);
  EXPECT_EQ(destroyed.load(), 0);
  first.reset();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(RefCountTest, RefCounterCountsLikeRefCounted) {
  std::atomic<int> destroyed{0};
  qor::RefPtr<Linked> first(new Linked(&destroyed));
  qor::RefPtr<Linked> second = first;
  EXPECT_EQ(first->RefCount(), 2u);
  first.reset();
  EXPECT_EQ(destroyed.load(), 0);
  second.reset();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST(RefCountTest, ComponentDispatchReachesTheApplicationAndDefaultIgnores) {
  std::atomic<int> destroyed{0};
  qor::RefPtr<RecordingApp> app(new RecordingApp(&destroyed));
  qor::RefPtr<Component> asComponent = app;
  EXPECT_EQ(app->RefCount(), 2u);  // the most derived count is the one in use

  std::list<TolvarUpdateMsg> updates(2);
  updates.front().operation = TolvarUpdateMsg::OP_INSERT;
  asComponent->UpdateDesiredState(updates, 1);
  ASSERT_EQ(app->calls.size(), 1u);
  EXPECT_EQ(app->calls[0], (std::pair<size_t, uint8_t>(2, 1)));

  qor::RefPtr<Component> plain(new Component());
  plain->UpdateDesiredState(updates, 0);  // default does nothing

  app.reset();
  EXPECT_EQ(destroyed.load(), 0);
  asComponent.reset();  // released through the base pointer
  EXPECT_EQ(destroyed.load(), 1);
}

// Many threads take and drop references to one object; it must be destroyed exactly once, by whichever thread drops
// the last one, and every write made before a release must be visible to the destructor.
TEST(RefCountTest, ConcurrentReferencesDestroyExactlyOnce) {
  struct Payload : public qor::RefCounted<Payload, qor::IRefCountable> {
    Payload(std::atomic<int>* destroyed, std::atomic<long>* seen) : destroyed(destroyed), seen(seen) {}
    ~Payload() override {
      long total = 0;
      for (long v : slots) total += v;
      seen->store(total);
      destroyed->fetch_add(1);
    }
    long slots[8] = {};
    std::atomic<int>* destroyed;
    std::atomic<long>* seen;
  };
  std::atomic<int> destroyed{0};
  std::atomic<long> seen{0};
  constexpr int kThreads = 8;
  constexpr int kRounds = 20000;
  {
    qor::RefPtr<Payload> shared(new Payload(&destroyed, &seen));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([copy = shared, t]() mutable {
        for (int i = 0; i < kRounds; ++i) {
          qor::RefPtr<Payload> local = copy;
          qor::RefPtr<Payload> another(local.get());
        }
        copy->slots[t] = 1;  // plain write, published by the release below
        copy.reset();
      });
    }
    shared.reset();
    for (auto& thread : threads) thread.join();
  }
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_EQ(seen.load(), kThreads);
}

TEST(RefCountTest, DecodedEntryKeepsFieldOrder) {
  TolvarUpdateMsg entry{29, "id", 0, "body", TolvarUpdateMsg::OP_SET, "span", "ctx"};
  EXPECT_EQ(entry.objectType, 29);
  EXPECT_EQ(entry.objectId, "id");
  EXPECT_EQ(entry.propertyType, 0);
  EXPECT_EQ(entry.value, "body");
  EXPECT_EQ(entry.operation, 1);
  EXPECT_EQ(entry.spanContext, "span");
  EXPECT_EQ(entry.decoderContext, "ctx");
  EXPECT_EQ(TolvarUpdateMsg::OP_CLEAR, 2);
  EXPECT_EQ(TolvarUpdateMsg::OP_REMOVE, 4);
}

}  // namespace
}  // namespace VevUroro
