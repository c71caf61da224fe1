// JSON values of the Open vSwitch library as the CLI replies use them: members in name order, nesting, escaping,
// integers at the edges of their range, and ownership moving into containers.
#include <gtest/gtest.h>

#include <limits>

#include "platform/ovs/Json.h"

namespace qor::ovs {
namespace {

TEST(JsonTest, ObjectsWriteTheirMembersInNameOrder) {
  Json object = Json::Object();
  object.Put("b", int64_t{2}).Put("a", "x").Put("c", Json::Boolean(false));
  EXPECT_EQ(object.Size(), 3u);
  EXPECT_EQ(object.Text(false), R"({"a":"x","b":2,"c":false})");
  // The same member again replaces the first.
  object.Put("a", Json::Boolean(true));
  EXPECT_EQ(object.Text(false), R"({"a":true,"b":2,"c":false})");
}

TEST(JsonTest, ArraysKeepTheirOrderAndNest) {
  Json array = Json::Array();
  array.Add(Json::Integer(3)).Add(Json::String("two")).Add(std::move(Json::Object().Put("k", Json::Array())));
  EXPECT_EQ(array.Size(), 3u);
  EXPECT_EQ(array.Text(false), R"([3,"two",{"k":[]}])");
  EXPECT_EQ(array.Text(true), "[\n  3,\n  \"two\",\n  {\n    \"k\": []}]");
}

TEST(JsonTest, StringsAreEscapedAndIntegersKeepTheirRange) {
  Json object = Json::Object();
  object.Put("text", std::string_view("quote \" backslash \\ newline \n tab \t bell \x07", 42));
  object.Put("min", std::numeric_limits<int64_t>::min()).Put("max", std::numeric_limits<int64_t>::max());
  EXPECT_EQ(object.Text(false), R"({"max":9223372036854775807,"min":-9223372036854775808,)"
                                R"("text":"quote \" backslash \\ newline \n tab \t bell \u0007"})");
}

TEST(JsonTest, ValuesMoveIntoTheirContainer) {
  Json member = Json::String("m");
  Json object = Json::Object();
  object.Put("m", std::move(member));
  EXPECT_EQ(member.Text(), "null") << "moved from";  // NOLINT(bugprone-use-after-move)
  // Put and Add on the wrong kind of value change nothing and take nothing.
  Json scalar = Json::Integer(1);
  Json element = Json::Integer(2);
  scalar.Add(std::move(element));
  EXPECT_EQ(scalar.Text(false), "1");
  Json array = Json::Array();
  array.Put("x", Json::Integer(1));
  EXPECT_EQ(array.Text(false), "[]");
}

}  // namespace
}  // namespace qor::ovs
