#include "core/startup/ConfigTree.h"

#include <boost/property_tree/xml_parser.hpp>

namespace VevUroro {

ConfigTree LoadXmlConfig(const std::string& path) {
  ConfigTree tree;
  boost::property_tree::read_xml(
      path, tree, boost::property_tree::xml_parser::trim_whitespace | boost::property_tree::xml_parser::no_comments);
  return tree;
}

}  // namespace VevUroro
