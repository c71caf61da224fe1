// Common::UdsServer's lifetime contract: a server and its listener may be stopped and destroyed while the
// io_context goes on running the close handlers of the connections they had.
#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <future>
#include <memory>
#include <thread>

#include "dataplane/uds/UdsServer.h"
#include "support/TempRoot.h"
#include "support/Wait.h"
#include "tests/dataplane/DpsimHarness.h"

namespace Common {
namespace {

using qor::test::WaitFor;

class CountingListener : public UdsConnectionListener {
 public:
  void OnConnectionStatusChange(uint64_t, bool up) override { (up ? ups : downs)++; }
  void OnMessage(uint64_t, const uint8_t*, size_t) override { ++messages; }
  std::atomic<int> ups{0}, downs{0}, messages{0};
};

long WholeBuffer(const uint8_t*, size_t size) {
  return static_cast<long>(size);
}

TEST(UdsServerTest, StoppedServerAndListenerMayGoWhileTheContextRuns) {
  qor::test::TempRoot root;
  boost::asio::io_context context;
  std::thread thread([&] {
    auto guard = boost::asio::make_work_guard(context);
    context.run();
  });
  std::string path = root.Path() + "/server.sock";
  auto listener = std::make_unique<CountingListener>();
  auto server = std::make_unique<UdsServer>(context, path, &WholeBuffer, listener.get());
  std::string error;
  ASSERT_TRUE(server->Start(&error)) << error;
  qor::test::ChannelClient first(path), second(path);
  ASSERT_TRUE(first.Connected() && second.Connected());
  ASSERT_TRUE(WaitFor([&] { return listener->ups == 2; }));
  ASSERT_TRUE(first.SendAll({1, 2, 3}));
  ASSERT_TRUE(WaitFor([&] { return listener->messages == 1; }));

  // Hold the IO thread so that the closes Stop posts are still queued when both objects are gone.
  std::promise<void> release;
  auto released = release.get_future().share();
  boost::asio::post(context, [released] { released.wait(); });
  server->Stop();
  server.reset();
  listener.reset();
  release.set_value();
  // The clients see their connections closed: the queued closes ran, against nothing freed.
  EXPECT_TRUE(first.WaitClosed());
  EXPECT_TRUE(second.WaitClosed());

  context.stop();
  thread.join();
}

TEST(UdsServerTest, RestartedServerReportsToItsListenerAgain) {
  qor::test::TempRoot root;
  boost::asio::io_context context;
  std::thread thread([&] {
    auto guard = boost::asio::make_work_guard(context);
    context.run();
  });
  std::string path = root.Path() + "/server.sock";
  CountingListener listener;
  UdsServer server(context, path, &WholeBuffer, &listener);
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  {
    qor::test::ChannelClient client(path);
    ASSERT_TRUE(WaitFor([&] { return listener.ups == 1; }));
  }
  ASSERT_TRUE(WaitFor([&] { return listener.downs == 1; }));
  server.Stop();
  ASSERT_TRUE(server.Start(&error)) << error;
  qor::test::ChannelClient again(path);
  ASSERT_TRUE(again.Connected());
  ASSERT_TRUE(WaitFor([&] { return listener.ups == 2; }));
  ASSERT_TRUE(server.Send(2, {9}));
  ASSERT_TRUE(again.SendAll({7}));
  ASSERT_TRUE(WaitFor([&] { return listener.messages == 1; }));
  server.Stop();
  EXPECT_TRUE(again.WaitClosed());
  context.stop();
  thread.join();
}

}  // namespace
}  // namespace Common
