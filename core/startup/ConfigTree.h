// Typed reads of the configuration tree: a value that is missing, or that does not convert to the requested type,
// takes the default.
#pragma once

#include <boost/property_tree/ptree.hpp>
#include <string>

namespace VevUroro {

using ConfigTree = boost::property_tree::ptree;

// Reads an XML file into a tree, trimming whitespace around text and dropping comments. Throws on a missing or
// malformed file (boost::property_tree::xml_parser_error).
ConfigTree LoadXmlConfig(const std::string& path);

template <typename T>
T ConfigValue(const ConfigTree& tree, const std::string& path, const T& defaultValue) {
  return tree.get<T>(path, defaultValue);
}

}  // namespace VevUroro
