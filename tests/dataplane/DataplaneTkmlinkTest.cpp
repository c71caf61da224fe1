#include <gtest/gtest.h>

#include <optional>

#include "dataplane/DataplaneTkmlink.h"
#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"
#include "tests/dataplane/DpsimHarness.h"
#include "tests/dataplane/LinkTestSupport.h"
#include "tools/qor-dpsim/Capture.h"

namespace VevUroro {
namespace {

using qor::test::ChannelListener;
using qor::test::LinkEvents;
using qor::test::WaitFor;

class DataplaneTkmlinkTest : public qor::test::LinkFixture {};

TEST_F(DataplaneTkmlinkTest, ChannelThatAppearsLateComesUpAndQueuedMessagesGoOut) {
  LinkEvents& events = NewEvents();
  auto link = MakeLink("late_tkmlink", events);
  ASSERT_TRUE(link->Start());
  // Sent while the channel does not exist yet: accepted and kept.
  ASSERT_TRUE(link->Send(Message(7, 64, 0x11)));
  ASSERT_TRUE(WaitFor([&] { return CountLogged("Could not connect to AF_TKMLINK socket (\"late_tkmlink\")") >= 2; }));
  EXPECT_TRUE(Logged("errorCode=\"LCP00122\""));
  EXPECT_EQ(events.Count(LinkStatus::UP), 0u);

  ChannelListener channel(DataplaneTkmlink::ChannelPath("late_tkmlink"));
  int peer = channel.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::UP) == 1; }));
  EXPECT_TRUE(Logged("late_tkmlink send buffer set to 4096 bytes"));
  EXPECT_TRUE(Logged("late_tkmlink receive buffer set to 4096 bytes"));
  auto bytes = qor::test::ReadBytes(peer, 64);
  ASSERT_EQ(bytes.size(), 64u);
  EXPECT_EQ(bytes[3], 64);
  EXPECT_EQ(bytes[10], 0x11);
  close(peer);
}

TEST_F(DataplaneTkmlinkTest, DroppedQueuedMessagesNeverReachTheNextConnection) {
  LinkEvents& events = NewEvents();
  auto link = MakeLink("drop_tkmlink", events);
  ASSERT_TRUE(link->Start());
  // Queued while no connection exists, then dropped: the next connection gets only what was sent after the drop.
  for (uint8_t i = 0; i < 3; ++i) ASSERT_TRUE(link->Send(Message(7, 64, i)));
  EXPECT_EQ(link->DropQueued(), 3u);
  EXPECT_EQ(link->DropQueued(), 0u);
  ASSERT_TRUE(link->Send(Message(9, 16, 0x77)));

  ChannelListener channel(DataplaneTkmlink::ChannelPath("drop_tkmlink"));
  int peer = channel.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(link->Send(Message(9, 16, 0x78)));
  auto bytes = qor::test::ReadBytes(peer, 32);
  ASSERT_EQ(bytes.size(), 32u);
  EXPECT_EQ(bytes[1], 9);
  EXPECT_EQ(bytes[15], 0x77);
  EXPECT_EQ(bytes[17], 9);
  EXPECT_EQ(bytes[31], 0x78);
  close(peer);
}

// The send loop may already hold a message when the link drops (it took it while up): a drop of the queue covers
// that message too.
TEST_F(DataplaneTkmlinkTest, AMessageTakenBeforeTheDropNeverReachesTheNextConnection) {
  std::optional<ChannelListener> channel(std::in_place, DataplaneTkmlink::ChannelPath("hand_tkmlink"));
  LinkEvents& events = NewEvents();
  auto link = MakeLink("hand_tkmlink", events);
  ASSERT_TRUE(link->Start());
  int peer = channel->Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::UP) == 1 && link->SendLoopWaiting(); }));
  // The channel goes away with the connection: the link stays down, its send loop still waiting on the queue.
  channel.reset();
  close(peer);
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::DOWN) == 1; }));
  ASSERT_TRUE(link->Send(Message(7, 64, 0x11)));
  ASSERT_TRUE(WaitFor([&] { return Logged("TkmLink: hand_tkmlink: get a message from controller"); }));
  EXPECT_EQ(link->DropQueued(), 0u);  // in the loop's hands, not in the queue
  ASSERT_TRUE(link->Send(Message(9, 16, 0x77)));

  channel.emplace(DataplaneTkmlink::ChannelPath("hand_tkmlink"));
  int next = channel->Accept();
  ASSERT_GE(next, 0);
  auto bytes = qor::test::ReadBytes(next, 16);
  ASSERT_EQ(bytes.size(), 16u);
  EXPECT_EQ(bytes[1], 9);
  EXPECT_EQ(bytes[15], 0x77);
  EXPECT_TRUE(Logged("TkmLink: hand_tkmlink: message taken before the queue was dropped, not sent"));
  close(next);
}

TEST_F(DataplaneTkmlinkTest, MessagesLargerThanTheSocketBufferArriveWhole) {
  ChannelListener channel(DataplaneTkmlink::ChannelPath("big_tkmlink"));
  LinkEvents& events = NewEvents();
  auto link = MakeLink("big_tkmlink", events, 4096);
  ASSERT_TRUE(link->Start());
  int peer = channel.Accept();
  ASSERT_GE(peer, 0);

  // Datapath to agent: one 60,000-byte message, then a small one right behind it.
  std::vector<uint8_t> big(60000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  kcp::WriteU16(big.data(), 2);
  kcp::WriteU16(big.data() + 2, 60000);
  auto small = kcp::BuildDpStatusNotification(1);
  std::thread writer([&] {
    qor::test::WriteBytes(peer, big);
    qor::test::WriteBytes(peer, small);
  });
  ASSERT_TRUE(WaitFor([&] { return events.MessageCount() == 2; }));
  writer.join();
  {
    std::lock_guard<std::mutex> lock(events.mutex);
    EXPECT_EQ(events.messages[0], big);
    EXPECT_EQ(events.messages[1], small);
  }

  // Agent to datapath: the same size the other way.
  ASSERT_TRUE(link->Send(Message(2, 60000, 0x33)));
  ASSERT_TRUE(link->Send(Message(4, 8, 0x44)));
  auto received = qor::test::ReadBytes(peer, 60008);
  ASSERT_EQ(received.size(), 60008u);
  EXPECT_EQ(received[59999], 0x33);
  EXPECT_EQ(received[60000 + 1], 4);
  EXPECT_EQ(received[60007], 0x44);
  close(peer);
}

// Messages sent one by one, held for a later wake-up, and from a second producer reach the channel whole and in
// the order of the calls, through a socket buffer far smaller than what is gathered into one write.
TEST_F(DataplaneTkmlinkTest, HeldAndSingleMessagesArriveWholeInTheOrderOfTheCalls) {
  ChannelListener channel(DataplaneTkmlink::ChannelPath("order_tkmlink"));
  LinkEvents& events = NewEvents();
  auto link = MakeLink("order_tkmlink", events, 4096);
  ASSERT_TRUE(link->Start());
  int peer = channel.Accept();
  ASSERT_GE(peer, 0);

  // Message n: type 7, a length from 6 to 3,000 bytes, its number in bytes 4-5, filled with its number's low byte.
  constexpr size_t kMessages = 3000;
  auto length = [](size_t n) { return 6 + (n * 977) % 2995; };
  auto message = [&](size_t n) {
    uint8_t* bytes = Message(7, length(n), static_cast<uint8_t>(n));
    kcp::WriteU16(bytes + 4, static_cast<uint16_t>(n));
    return bytes;
  };
  size_t total = 0;
  for (size_t n = 0; n < kMessages; ++n) total += length(n);
  std::thread reader([&] {
    auto bytes = qor::test::ReadBytes(peer, total);
    ASSERT_EQ(bytes.size(), total);
    size_t at = 0;
    for (size_t n = 0; n < kMessages; ++n) {
      ASSERT_EQ(kcp::ReadU16(bytes.data() + at + 2), length(n)) << "message " << n;
      ASSERT_EQ(kcp::ReadU16(bytes.data() + at + 4), n);
      for (size_t i = 6; i < length(n); ++i) ASSERT_EQ(bytes[at + i], static_cast<uint8_t>(n)) << "message " << n;
      at += length(n);
    }
  });
  // Runs of held messages of growing size (beyond what one write gathers), each after a single one; every
  // tenth single message comes from another thread.
  size_t n = 0;
  for (size_t run = 0; n < kMessages; ++run) {
    if (run % 10 == 0) {
      std::thread other([&] { EXPECT_TRUE(link->Send(message(n))); });
      other.join();
    } else {
      ASSERT_TRUE(link->Send(message(n)));
    }
    ++n;
    for (size_t held = 0; held < run % 200 && n < kMessages; ++held, ++n) ASSERT_TRUE(link->SendLater(message(n)));
    link->Flush();
  }
  reader.join();
  EXPECT_FALSE(Logged("errorCode=\"LCP00127\""));
  close(peer);
}

// The peer goes away while the link is in the middle of gathered writes: the next connection starts at a message
// boundary and gets whole messages only, in order, none twice (the one cut short is not resent), then what is sent
// after.
TEST_F(DataplaneTkmlinkTest, ALinkFlapInTheMiddleOfGatheredWritesLeavesWholeMessagesInOrder) {
  ChannelListener channel(DataplaneTkmlink::ChannelPath("flap_tkmlink"));
  LinkEvents& events = NewEvents();
  auto link = MakeLink("flap_tkmlink", events, 4096);
  ASSERT_TRUE(link->Start());
  int peer = channel.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::UP) == 1; }));
  constexpr size_t kMessages = 400;
  constexpr size_t kLength = 1000;
  for (size_t n = 0; n < kMessages; ++n) {
    uint8_t* bytes = Message(7, kLength, static_cast<uint8_t>(n));
    kcp::WriteU16(bytes + 4, static_cast<uint16_t>(n));
    ASSERT_TRUE(link->SendLater(bytes));
  }
  link->Flush();
  // Part of the way in, and not at a message boundary.
  ASSERT_EQ(qor::test::ReadBytes(peer, 20 * kLength + 123).size(), 20 * kLength + 123);
  close(peer);
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::DOWN) == 1; }));
  int fresh = channel.Accept();
  ASSERT_GE(fresh, 0);
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::UP) == 2; }));
  ASSERT_TRUE(link->Send(Message(9, 16, 0x77)));
  int previous = 20;  // message 20 was cut short on the first connection
  for (;;) {
    auto header = qor::test::ReadBytes(fresh, 4);
    ASSERT_EQ(header.size(), 4u);
    const size_t length = kcp::ReadU16(header.data() + 2);
    auto body = qor::test::ReadBytes(fresh, length - 4);
    ASSERT_EQ(body.size(), length - 4);
    if (header[1] == 9) {
      EXPECT_EQ(length, 16u);
      break;
    }
    ASSERT_EQ(header[1], 7);
    ASSERT_EQ(length, kLength);
    const int n = kcp::ReadU16(body.data());
    EXPECT_GT(n, previous) << "a message on the new connection is older than one before it";
    for (size_t i = 2; i < body.size(); ++i) ASSERT_EQ(body[i], static_cast<uint8_t>(n)) << "message " << n;
    previous = n;
  }
  close(fresh);
}

TEST_F(DataplaneTkmlinkTest, TwoLinksOnOneChannelAreIndependentSockets) {
  ChannelListener channel(DataplaneTkmlink::ChannelPath("shared_tkmlink"));
  LinkEvents& eventsA = NewEvents();
  LinkEvents& eventsB = NewEvents();
  auto linkA = MakeLink("shared_tkmlink", eventsA);
  auto linkB = MakeLink("shared_tkmlink", eventsB);
  ASSERT_TRUE(linkA->Start());
  int peerA = channel.Accept();
  ASSERT_TRUE(linkB->Start());
  int peerB = channel.Accept();
  ASSERT_GE(peerA, 0);
  ASSERT_GE(peerB, 0);

  ASSERT_TRUE(linkA->Send(Message(1, 6, 0xaa)));
  ASSERT_TRUE(linkB->Send(Message(1, 6, 0xbb)));
  EXPECT_EQ(qor::test::ReadBytes(peerA, 6)[5], 0xaa);
  EXPECT_EQ(qor::test::ReadBytes(peerB, 6)[5], 0xbb);

  ASSERT_TRUE(qor::test::WriteBytes(peerB, {0, 3, 0, 5, 9}));
  ASSERT_TRUE(WaitFor([&] { return eventsB.MessageCount() == 1; }));
  EXPECT_EQ(eventsA.MessageCount(), 0u);

  // Closing one connection takes down only its link.
  close(peerA);
  ASSERT_TRUE(WaitFor([&] { return eventsA.Count(LinkStatus::DOWN) == 1; }));
  EXPECT_EQ(eventsB.Count(LinkStatus::DOWN), 0u);
  int again = channel.Accept();
  EXPECT_GE(again, 0);
  ASSERT_TRUE(WaitFor([&] { return eventsA.Count(LinkStatus::UP) == 2; }));
  close(again);
  close(peerB);
}

TEST_F(DataplaneTkmlinkTest, PeerClosingMidMessageClosesAndReopensCleanly) {
  ChannelListener channel(DataplaneTkmlink::ChannelPath("cut_tkmlink"));
  LinkEvents& events = NewEvents();
  auto link = MakeLink("cut_tkmlink", events);
  ASSERT_TRUE(link->Start());
  int peer = channel.Accept();
  ASSERT_GE(peer, 0);
  std::vector<uint8_t> partial = {0, 2, 0, 100, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_TRUE(qor::test::WriteBytes(peer, partial));
  close(peer);
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::DOWN) == 1; }));
  EXPECT_TRUE(Logged("tkmlink cut_tkmlink: recv error: 0:connection closed by peer"));
  EXPECT_TRUE(Logged("errorCode=\"LCP00125\""));

  // The reopened connection is a fresh byte stream: the next message is read from its first byte.
  int fresh = channel.Accept();
  ASSERT_GE(fresh, 0);
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::UP) == 2; }));
  ASSERT_TRUE(qor::test::WriteBytes(fresh, {0, 3, 0, 6, 0xde, 0xad}));
  ASSERT_TRUE(WaitFor([&] { return events.MessageCount() == 1; }));
  std::lock_guard<std::mutex> lock(events.mutex);
  EXPECT_EQ(events.messages[0], (std::vector<uint8_t>{0, 3, 0, 6, 0xde, 0xad}));
  close(fresh);
}

TEST_F(DataplaneTkmlinkTest, UnframeableOrStalledMessagesResynchroniseByReopening) {
  ChannelListener channel(DataplaneTkmlink::ChannelPath("bad_tkmlink"));
  LinkEvents& events = NewEvents();
  auto link = MakeLink("bad_tkmlink", events);
  ASSERT_TRUE(link->Start());
  int peer = channel.Accept();
  ASSERT_GE(peer, 0);

  // A length field below the header.
  ASSERT_TRUE(qor::test::WriteBytes(peer, {0, 3, 0, 2, 0, 3, 0, 5, 1}));
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::DOWN) == 1; }));
  EXPECT_TRUE(Logged("tkmlink bad_tkmlink: recv error: 2:message length below its 4-byte header"));
  int second = channel.Accept();
  ASSERT_GE(second, 0);
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::UP) == 2; }));

  // A message whose rest never comes while the peer stays connected.
  ASSERT_TRUE(qor::test::WriteBytes(second, {0, 3, 0, 50, 1, 2}));
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::DOWN) == 2; }));
  EXPECT_TRUE(Logged("message incomplete, 2 of 46 bytes"));
  int third = channel.Accept();
  ASSERT_GE(third, 0);
  ASSERT_TRUE(qor::test::WriteBytes(third, {0, 3, 0, 5, 7}));
  ASSERT_TRUE(WaitFor([&] { return events.MessageCount() == 1; }));
  close(peer);
  close(second);
  close(third);
}

TEST_F(DataplaneTkmlinkTest, CheckObserverForcesAReconnect) {
  ChannelListener channel(DataplaneTkmlink::ChannelPath("check_tkmlink"));
  LinkEvents& events = NewEvents();
  std::atomic<int> checks{0};
  auto link = MakeLink("check_tkmlink", events, 4096, [&](int fd) {
    EXPECT_GE(fd, 0);
    return ++checks == 1;  // only the first check asks for a new connection
  });
  ASSERT_TRUE(link->Start());
  int first = channel.Accept();
  ASSERT_GE(first, 0);
  int second = channel.Accept();
  ASSERT_GE(second, 0);
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::UP) == 2; }));
  EXPECT_EQ(events.Count(LinkStatus::DOWN), 1u);
  close(first);
  close(second);
}

TEST_F(DataplaneTkmlinkTest, StoppedLinkNoLongerReopensAndSendAfterShutdownFails) {
  LinkEvents& events = NewEvents();
  auto link = MakeLink("stopped_tkmlink", events);
  ASSERT_TRUE(link->Start());
  ASSERT_TRUE(WaitFor([&] { return CountLogged("(\"stopped_tkmlink\")") >= 1; }));
  link->Stop();
  link->ScheduleReopen();  // a fresh timer brings the reopen back
  ASSERT_TRUE(WaitFor([&] { return Logged("dataplane tkmlink reopen scheduled"); }));
  size_t before = CountLogged("(\"stopped_tkmlink\")");
  ASSERT_TRUE(WaitFor([&] { return CountLogged("(\"stopped_tkmlink\")") > before; }));
  link->Shutdown();
  EXPECT_FALSE(link->Send(Message(1, 8)));
  EXPECT_TRUE(Logged("TkmLink: failed to put a message into queue"));
  EXPECT_TRUE(Logged("errorCode=\"LCP00008\""));
}

TEST_F(DataplaneTkmlinkTest, StartedAndStoppedLinkLetsItsPoolStop) {
  ChannelListener channel(DataplaneTkmlink::ChannelPath("owned_tkmlink"));
  LinkEvents& events = NewEvents();
  auto link = MakeLink("owned_tkmlink", events);
  ASSERT_TRUE(link->Start());
  int peer = channel.Accept();
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::UP) == 1; }));
  // The owner stops the link as every owner does; it never calls Shutdown. Both loops hold pool threads.
  link->Stop();
  EXPECT_EQ(pool->LongRunningCount(), 2u);
  EXPECT_TRUE(qor::test::ReturnsWithin([this] { pool->StopThreads(); }));
  EXPECT_EQ(pool->LongRunningCount(), 0u);
  EXPECT_FALSE(link->Send(Message(1, 8)));  // the pool's stop shut the link down
  close(peer);
}

// The link against a real simulator process: a session round trip and a multi-message batch.
TEST_F(DataplaneTkmlinkTest, SessionRoundTripAgainstTheSimulator) {
  qor::test::DpsimProcess dpsim(root.Path(), {"--capture", root.Under("/capture")});
  ASSERT_TRUE(dpsim.WaitReady());
  LinkEvents& events = NewEvents();
  auto link = UpLink("qor_vswitch_tkmlink", events, 10240);
  ASSERT_TRUE(link);
  ASSERT_TRUE(link->Send(kcp::ToMessageBuffer(kcp::BuildSessionControl(kcp::KCP_SESSION_OPEN, 31337))));
  ASSERT_TRUE(WaitFor([&] { return events.MessageCount() == 2; }));
  {
    std::lock_guard<std::mutex> lock(events.mutex);
    EXPECT_EQ(events.messages[0], kcp::BuildSessionControl(kcp::KCP_SESSION_OPEN_ACK, 31337));
    EXPECT_EQ(events.messages[1], kcp::BuildSessionControl(kcp::KCP_SESSION_FULL_SYNC_END, 31337));
  }
  // A batch of two updates, then a query: its answer follows the batch.
  for (bool more : {true, false}) {
    kcp::KcpMessage update;
    update.type = kcp::KCP_MSG_UPDATE;
    update.updateFlags = more ? kcp::kUpdateFlagMore : 0;
    kcp::DataItem item;
    item.type = kcp::KCP_UPDATE_PORT_LIST;
    item.ids = {more ? "vif-a" : "vif-b"};
    update.items = {item};
    ASSERT_TRUE(link->Send(kcp::ToMessageBuffer(*kcp::EncodeMessage(update))));
  }
  ASSERT_TRUE(link->Send(kcp::ToMessageBuffer(kcp::BuildDpStatusQuery())));
  ASSERT_TRUE(WaitFor([&] { return events.MessageCount() == 3; }));
  // open, ACK, end, two updates, query, notification: the last is captured once its write completed.
  std::vector<qor::dpsim::CaptureRecord> records;
  ASSERT_TRUE(WaitFor([&] {
    records = qor::dpsim::ReadCaptureFile(root.Under("/capture/qor_vswitch_tkmlink.cap"));
    return records.size() == 7;
  }));
  EXPECT_EQ(records[0].bytes, kcp::BuildSessionControl(kcp::KCP_SESSION_OPEN, 31337));
  EXPECT_EQ(records[3].bytes[4], kcp::kUpdateFlagMore);

  // The simulator goes away and comes back: DOWN, then UP on the new one.
  dpsim.Stop();
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::DOWN) == 1; }));
  qor::test::DpsimProcess again(root.Path(), {});
  ASSERT_TRUE(again.WaitReady());
  ASSERT_TRUE(WaitFor([&] { return events.Count(LinkStatus::UP) == 2; }));
}

}  // namespace
}  // namespace VevUroro
