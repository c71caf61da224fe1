#include <gtest/gtest.h>

#include "platform/LibraryLogLevels.h"
#include "platform/metrics/Metrics.h"
#include "platform/metrics/MetricsText.h"
#include "platform/upm/UPMService.h"
#include "platform/wft/WorkflowUtil.h"
#include "support/LogCapture.h"

namespace qor::wft {
namespace {

class WorkflowUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedTraceLevel = WorkflowUtil::GetTraceLevel();
    savedLogLevel = library_log_level.load();
    savedAgentLevel = VevUroro::GetLogLevel();
    WorkflowUtil::SetTraceLevel(2);
  }
  void TearDown() override {
    WorkflowUtil::SetTraceLevel(savedTraceLevel);
    library_log_level = savedLogLevel;
    VevUroro::SetLogLevel(savedAgentLevel);
  }
  uint8_t savedTraceLevel = 0;
  int savedLogLevel = 0;
  int savedAgentLevel = 0;
};

TEST(SpanContextTest, BytesFormIsVersionIdsBigEndianAndFlags) {
  SpanContext context{0x0102030405060708, 0x1112131415161718, 0x2122232425262728, 0x3132333435363738, 0x01};
  std::string bytes = context.Serialize();
  ASSERT_EQ(bytes.size(), kSpanContextBytes);
  std::string expected("\x01", 1);
  expected += std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  expected += std::string("\x11\x12\x13\x14\x15\x16\x17\x18", 8);
  expected += std::string("\x21\x22\x23\x24\x25\x26\x27\x28", 8);
  expected += std::string("\x31\x32\x33\x34\x35\x36\x37\x38", 8);
  expected += std::string("\x01", 1);
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(SpanContext::Parse(bytes), context);
  EXPECT_EQ(context.TraceIdText(), "01020304050607081112131415161718");
  EXPECT_EQ(IdText(0xab), "00000000000000ab");
}

TEST(SpanContextTest, RejectsWhatIsNotExactlyOneValidContext) {
  SpanContext context{1, 2, 3, 0, 1};
  std::string bytes = context.Serialize();
  EXPECT_FALSE(SpanContext::Parse(""));
  EXPECT_FALSE(SpanContext::Parse(bytes.substr(0, 33)));
  EXPECT_FALSE(SpanContext::Parse(bytes + "x"));
  std::string otherVersion = bytes;
  otherVersion[0] = 2;
  EXPECT_FALSE(SpanContext::Parse(otherVersion));
  EXPECT_FALSE(SpanContext::Parse(SpanContext{0, 0, 3, 0, 1}.Serialize()));
  std::string noSpan = bytes;
  for (int i = 17; i < 25; ++i) noSpan[i] = 0;
  EXPECT_FALSE(SpanContext::Parse(noSpan));
  EXPECT_EQ(SpanContext{}.Serialize(), "");
}

TEST_F(WorkflowUtilTest, ChildSpansContinueTheParentsTrace) {
  Span root = WorkflowUtil::StartSpan("TolvarClient.MonitorUpdateCB");
  ASSERT_TRUE(root.Recording());
  SpanContext parent = root.Context();
  EXPECT_TRUE(parent.Valid());
  EXPECT_EQ(parent.parentId, 0u);
  EXPECT_EQ(parent.flags, kSampledFlag);

  Span child = WorkflowUtil::StartSpan("Decoder.DecodeLogSwitchConfig", root.ContextBytes());
  EXPECT_EQ(child.Context().traceIdHigh, parent.traceIdHigh);
  EXPECT_EQ(child.Context().traceIdLow, parent.traceIdLow);
  EXPECT_EQ(child.Context().parentId, parent.spanId);
  EXPECT_NE(child.Context().spanId, parent.spanId);
  auto decoded = WorkflowUtil::GetTraceInfoFromString(child.ContextBytes());
  ASSERT_TRUE(decoded);
  EXPECT_EQ(*decoded, child.Context());

  Span other = WorkflowUtil::StartSpan("Other");
  Span linked = WorkflowUtil::StartLinkedSpan("MsgDispatcher", {SpanContext{}, child.Context(), other.Context()});
  EXPECT_EQ(linked.Context().traceIdLow, parent.traceIdLow);
  EXPECT_EQ(linked.Context().parentId, child.Context().spanId);
  Span unlinked = WorkflowUtil::StartLinkedSpan("MsgDispatcher", {});
  EXPECT_TRUE(unlinked.Context().Valid());
  EXPECT_NE(unlinked.Context().traceIdLow, parent.traceIdLow);
}

TEST_F(WorkflowUtilTest, LevelsDecideWhatIsRecordedAndContextsPassThrough) {
  Span root = WorkflowUtil::StartSpan("root");
  auto before = WorkflowUtil::GetStats();

  Span tooDetailed = WorkflowUtil::StartSpan("detail", root.ContextBytes(), 3);
  EXPECT_FALSE(tooDetailed.Recording());
  EXPECT_EQ(tooDetailed.Context(), root.Context());  // handed on unchanged

  WorkflowUtil::SetTraceLevel(0);
  Span off = WorkflowUtil::StartSpan("off", root.ContextBytes(), 1);
  EXPECT_FALSE(off.Recording());
  Span offRoot = WorkflowUtil::StartSpan("off-root");
  EXPECT_FALSE(offRoot.Context().Valid());
  EXPECT_EQ(offRoot.ContextBytes(), "");

  WorkflowUtil::SetTraceLevel(3);
  Span nowRecorded = WorkflowUtil::StartSpan("detail", root.ContextBytes(), 3);
  EXPECT_TRUE(nowRecorded.Recording());

  Span fromGarbage = WorkflowUtil::StartSpan("garbage-parent", "not a context");
  EXPECT_TRUE(fromGarbage.Recording());
  EXPECT_EQ(fromGarbage.Context().parentId, 0u);
  EXPECT_FALSE(WorkflowUtil::GetTraceInfoFromString("xyz"));
  EXPECT_FALSE(WorkflowUtil::GetTraceInfoFromString(""));

  nowRecorded.End();
  nowRecorded.End();
  auto after = WorkflowUtil::GetStats();
  EXPECT_EQ(after.started - before.started, 5u);
  EXPECT_EQ(after.suppressed - before.suppressed, 3u);
  EXPECT_EQ(after.badContexts - before.badContexts, 2u);
  EXPECT_EQ(after.recorded - before.recorded, 1u);
  EXPECT_NE(WorkflowUtil::StatsText().find("trace level 3, spans started"), std::string::npos);
}

TEST_F(WorkflowUtilTest, RecordedSpanLogsItsNameTagsAndIdsAtDebug) {
  test::LogCapture logs;
  VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_DEBUG);
  library_log_level = VevUroro::LOG_LEVEL_DEBUG;
  WorkflowUtil::Init(0, "qor-vevuroro");
  std::string trace;
  {
    Span span = WorkflowUtil::StartSpan("Decoder.DecodeCcpSession");
    span.SetTag("operation", "SET");
    span.SetTag("objectID", "41");
    span.SetTag("objectID", "42");  // one value per tag: a span over a batch does not grow with it
    trace = span.Context().TraceIdText();
    Span moved = std::move(span);
    EXPECT_FALSE(span.Recording());
  }
  ASSERT_EQ(logs.Count({"span Decoder.DecodeCcpSession"}), 1u);
  EXPECT_TRUE(logs.Has({"span Decoder.DecodeCcpSession service qor-vevuroro trace " + trace, "parent 0000000000000000",
                        "tags operation=SET,objectID=42"}));

  library_log_level = VevUroro::LOG_LEVEL_INFO;
  { Span quiet = WorkflowUtil::StartSpan("Quiet"); }
  EXPECT_FALSE(logs.Has({"span Quiet"}));
}

TEST(MetricsTextTest, OneLinePerMetricByName) {
  metrics::Registry registry;
  registry.GetGauge("b.gauge")->Set(-3);
  registry.GetCounter("a.counter")->Increment(7);
  registry.GetLatency("c.latency")->Record(10);
  registry.GetLatency("c.latency")->Record(30);
  registry.GetFrequencyCounter("d.frequency")->Mark(2);
  std::string text = metrics::FormatText(registry);
  EXPECT_EQ(text.substr(0, text.find("d.frequency")),
            "a.counter counter 7\nb.gauge gauge -3\nc.latency latency count 2 mean 20 max 30\n");
  EXPECT_NE(text.find("d.frequency frequency total 2 rate "), std::string::npos);
}

TEST(UPMServiceTest, StartAndStopAreIdempotent) {
  upm::UPMService service("upm");
  EXPECT_FALSE(service.Running());
  EXPECT_TRUE(service.Start());
  EXPECT_TRUE(service.Start());
  EXPECT_TRUE(service.Running());
  service.Stop();
  service.Stop();
  EXPECT_FALSE(service.Running());
}

}  // namespace
}  // namespace qor::wft
