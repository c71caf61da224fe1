// Helpers of the CLI tests: cache entries in the form the decoder produces them, UUID texts, and JSON replies
// read back through protobuf's JSON parser.
#pragma once

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/TolvarUpdateMsg.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/common.pb.h"

namespace VevUroro::test {

inline zantix::qor::tolvar::UuidMsg Uuid(uint64_t low) {
  zantix::qor::tolvar::UuidMsg id;
  id.set_high(0x1111);
  id.set_low(low);
  return id;
}
inline std::string Id(uint64_t low) {
  return Uuid(low).SerializeAsString();
}
inline std::string IdText(uint64_t low) {
  return qor::tolvar::UuidToString(0x1111, low);
}

inline TolvarUpdateMsg Entry(uint32_t type, const std::string& id, uint32_t property, std::string value,
                             int32_t op = TolvarUpdateMsg::OP_SET) {
  TolvarUpdateMsg entry;
  entry.objectType = static_cast<int32_t>(type);
  entry.objectId = id;
  entry.propertyType = static_cast<int32_t>(property);
  entry.value = std::move(value);
  entry.operation = op;
  return entry;
}

inline google::protobuf::Value ParseJson(const std::string& text) {
  google::protobuf::Value value;
  EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(text, &value).ok()) << text;
  return value;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace VevUroro::test
