// A channel takes whole messages from whatever its reads return: a message cut anywhere, or several in one read, is
// handed to the module whole, once, and in order, and captured the same way. The channel runs on the test's own
// io_context, polled between the client's writes, so every cut really reaches the simulator as its own read.
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "dataplane/kcp/KcpFormat.h"
#include "support/TempRoot.h"
#include "tests/dataplane/DpsimHarness.h"
#include "tools/qor-dpsim/Capture.h"
#include "tools/qor-dpsim/Channel.h"

namespace qor::dpsim {
namespace {

using qor::test::ChannelClient;
using Bytes = std::vector<uint8_t>;

class KeepingModule : public ChannelModule {
 public:
  explicit KeepingModule(std::vector<Bytes>& kept) : _kept(kept) {}
  const char* Kind() const override { return "keep"; }
  void OnMessage(Connection&, const Bytes& message) override { _kept.push_back(message); }

 private:
  std::vector<Bytes>& _kept;
};

Bytes Framed(uint16_t type, size_t length, uint8_t fill) {
  Bytes message(length, fill);
  VevUroro::kcp::WriteU16(message.data(), type);
  VevUroro::kcp::WriteU16(message.data() + 2, static_cast<uint16_t>(length));
  return message;
}

class DpsimChannelFramingTest : public ::testing::Test {
 protected:
  DpsimChannelFramingTest()
      : channel(context, "sw", root.Under("/sw.sock"), std::make_unique<KeepingModule>(kept), root.Under("/cap")) {}

  // Runs every handler that is ready (accept, reads), without waiting.
  void Drain() {
    while (context.poll() > 0) {
    }
    context.restart();
  }

  // Sends `stream` in two writes cut at `cut`, handling the first part before the second is written.
  void SendCut(const Bytes& stream, size_t cut) {
    ChannelClient client(channel.Path());
    ASSERT_TRUE(client.Connected());
    Drain();
    ASSERT_TRUE(client.SendAll(Bytes(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(cut))));
    Drain();
    ASSERT_TRUE(client.SendAll(Bytes(stream.begin() + static_cast<ptrdiff_t>(cut), stream.end())));
    Drain();
  }

  qor::test::TempRoot root;
  boost::asio::io_context context;
  std::vector<Bytes> kept;
  Channel channel;
};

TEST_F(DpsimChannelFramingTest, MessagesCutAtEveryByteArriveWholeAndInOrder) {
  const std::vector<Bytes> messages = {Framed(2, 4, 0), Framed(2, 9, 0x11), Framed(3, 300, 0x22), Framed(2, 5, 0x33)};
  Bytes stream;
  for (const Bytes& m : messages) stream.insert(stream.end(), m.begin(), m.end());
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    kept.clear();
    SendCut(stream, cut);
    ASSERT_EQ(kept, messages) << "cut at byte " << cut;
  }
  // Every connection's messages were captured whole, in the order they came.
  const auto records = ReadCaptureFile(channel.Capture().Path());
  ASSERT_EQ(records.size(), messages.size() * (stream.size() + 1));
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].direction, Direction::kIn);
    EXPECT_EQ(records[i].connection, i / messages.size() + 1);
    ASSERT_EQ(records[i].bytes, messages[i % messages.size()]) << "record " << i;
  }
}

TEST_F(DpsimChannelFramingTest, WholeMessagesAreHandedOnBeforeTheRestArrives) {
  const Bytes first = Framed(2, 12, 0x44);
  const Bytes second = Framed(2, 20, 0x55);
  ChannelClient client(channel.Path());
  Drain();
  Bytes part = first;
  part.insert(part.end(), second.begin(), second.begin() + 7);
  ASSERT_TRUE(client.SendAll(part));
  Drain();
  ASSERT_EQ(kept, std::vector<Bytes>{first}) << "the whole first message must not wait for the second";
  ASSERT_TRUE(client.SendAll(Bytes(second.begin() + 7, second.end())));
  Drain();
  EXPECT_EQ(kept, (std::vector<Bytes>{first, second}));
}

TEST_F(DpsimChannelFramingTest, LargestMessagesCutAroundTheReadSizeArriveWhole) {
  // Two messages of the largest length a header can carry, then a small one: more than one read's worth.
  const std::vector<Bytes> messages = {Framed(9, 65535, 0xab), Framed(9, 65535, 0xcd), Framed(2, 6, 0xef)};
  Bytes stream;
  for (const Bytes& m : messages) stream.insert(stream.end(), m.begin(), m.end());
  for (size_t cut : {size_t{1}, size_t{4}, size_t{65534}, size_t{65535}, size_t{65536}, size_t{65539},
                     size_t{2 * 65535 + 1}, stream.size() - 1}) {
    kept.clear();
    SendCut(stream, cut);
    ASSERT_EQ(kept.size(), messages.size()) << "cut at byte " << cut;
    EXPECT_TRUE(kept == messages) << "cut at byte " << cut;
  }
}

TEST_F(DpsimChannelFramingTest, CloseMidMessageCapturesTheBytesRead) {
  const Bytes whole = Framed(2, 8, 0x66);
  {
    ChannelClient client(channel.Path());
    Drain();
    Bytes part = whole;
    part.insert(part.end(), {0, 2, 0, 40, 1, 2});  // a second message cut short by the close
    ASSERT_TRUE(client.SendAll(part));
    Drain();
  }
  Drain();
  EXPECT_EQ(kept, std::vector<Bytes>{whole});
  EXPECT_TRUE(channel.Connections().empty());
  const auto records = ReadCaptureFile(channel.Capture().Path());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].bytes, whole);
  EXPECT_EQ(records[1].bytes, (Bytes{0, 2, 0, 40, 1, 2}));
}

}  // namespace
}  // namespace qor::dpsim
