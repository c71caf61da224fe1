// Helpers of the CLI tests: cache entries in the form the decoder produces them, UUID texts, and JSON replies
// read back with Boost's JSON parser (members by "a.b" paths, array elements as children with empty names).
#pragma once

#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
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

using JsonTree = boost::property_tree::ptree;

inline JsonTree ParseJson(const std::string& text) {
  JsonTree tree;
  std::istringstream in(text);
  try {
    boost::property_tree::read_json(in, tree);
  } catch (const boost::property_tree::json_parser_error& e) {
    ADD_FAILURE() << e.what() << "\n" << text;
  }
  return tree;
}

// The first element of the array at `path`.
inline const JsonTree& First(const JsonTree& tree, const std::string& path) {
  return tree.get_child(path).front().second;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace VevUroro::test
