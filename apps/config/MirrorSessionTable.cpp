#include "apps/config/MirrorSessionTable.h"

#include <cstring>

#include "apps/config/AddressBytes.h"
#include "dataplane/kcp/KcpFormat.h"

namespace VevUroro {

namespace {

template <typename T>
void Put(std::string& out, size_t at, T value) {
  std::memcpy(out.data() + at, &value, sizeof(value));
}

void PutText(std::string& out, size_t at, size_t width, const std::string& text) {
  kcp::WriteFixedString(reinterpret_cast<uint8_t*>(out.data() + at), width,
                        std::string_view(text).substr(0, width - 1));
}

}  // namespace

std::string BuildMirrorTable(const MirrorTableContent& content) {
  std::string table(kMirrorHeaderLen + kMirrorSessionEntryLen + kMirrorPortRecordLen * content.records.size(), '\0');
  Put<uint32_t>(table, 0, kMirrorMagic);
  Put<uint32_t>(table, 4, kMirrorVersion);
  Put<uint32_t>(table, 8, 1);
  Put<uint32_t>(table, 12, static_cast<uint32_t>(content.records.size()));
  Put<uint16_t>(table, 16, kMirrorSessionEntryLen);
  Put<uint16_t>(table, 18, kMirrorPortRecordLen);
  const size_t s = kMirrorHeaderLen;
  PutText(table, s, 32, content.name);
  PutText(table, s + 32, 81, content.description);
  Put<uint32_t>(table, s + 113, content.type);
  Put<int32_t>(table, s + 117, content.snapLength);
  Put<uint32_t>(table, s + 121, content.encapsulation);
  Put<uint16_t>(table, s + 125, content.encapVlan);
  Put<uint32_t>(table, s + 127, 1);
  Put<uint32_t>(table, s + 131, content.direction);
  Put<uint32_t>(table, s + 135, content.greKey);
  if (content.destination.has_ipv4() || content.destination.has_ipv6()) {
    WriteIpBytes(content.destination, reinterpret_cast<uint8_t*>(table.data() + s + 139));
    table[s + 155] = content.destination.has_ipv4() ? 1 : 2;
  }
  size_t at = kMirrorHeaderLen + kMirrorSessionEntryLen;
  for (const MirrorPortRecord& record : content.records) {
    PutText(table, at, kcp::kVifIdLen, record.vifId);
    Put<uint32_t>(table, at + kcp::kVifIdLen, record.role);
    at += kMirrorPortRecordLen;
  }
  return table;
}

}  // namespace VevUroro
