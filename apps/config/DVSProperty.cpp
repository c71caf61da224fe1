#include "apps/config/DVSProperty.h"

#include "dataplane/kcp/KcpFormat.h"

namespace VevUroro {

void DVSEntityUpdate::Add(const std::string& entity, uint16_t key, std::string value) {
  DVSPropertyList& properties = entities[entity];
  // The security-configured marker goes immediately before each block it announces (the security table, the IP
  // discovery keys), so it is repeated rather than moved.
  if (key == PORT_PROP_SECURITY_CONFIGURED && (properties.empty() || properties.back().key != key)) {
    properties.push_back(DVSProperty{key, std::move(value)});
    return;
  }
  for (DVSProperty& property : properties) {
    if (property.key == key) {
      property.value = std::move(value);
      return;
    }
  }
  properties.push_back(DVSProperty{key, std::move(value)});
}

void DVSEntityUpdate::Add(const std::string& entity, const DVSPropertyList& properties) {
  if (properties.empty()) {
    entities[entity];
    return;
  }
  for (const DVSProperty& property : properties) Add(entity, property);
}

std::string TextValue(std::string_view text) {
  std::string value(text);
  value.push_back('\0');
  return value;
}

std::string EncodeProperties(const DVSPropertyList& properties) {
  std::string out;
  for (const DVSProperty& property : properties) {
    uint8_t header[kcp::kPropHeaderLen];
    kcp::WriteU16(header, property.key);
    kcp::WriteU16(header + 2, static_cast<uint16_t>(property.value.size() + kcp::kPropHeaderLen));
    out.append(reinterpret_cast<const char*>(header), sizeof(header));
    out.append(property.value);
  }
  return out;
}

}  // namespace VevUroro
