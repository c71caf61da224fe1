#include "dataplane/kcp/KcpSelfCheck.h"

#include "dataplane/kcp/KcpDumper.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"

namespace VevUroro::kcp {

std::string CheckMessageBytes(const uint8_t* data, size_t size) {
  std::string text = RenderMessage(data, size);
  if (text.size() > kDumpLimit) return "rendering of " + std::to_string(text.size()) + " characters";
  if (text.rfind("KCP Message\n", 0) != 0) return "rendering does not start with its heading";
  if (text != RenderDecodedMessage(data, size)) return "rendering differs from the one through the decoded message";

  KcpMessage msg;
  if (!DecodeMessage(data, size, &msg)) {
    if (size >= 4) return "reader refused " + std::to_string(size) + " bytes";
    return std::string();
  }
  auto bytes = EncodeMessage(msg);
  if (!bytes) return std::string();  // more than the format can carry once re-encoded; nothing to compare
  // What the writer produced must read back to the same item structure.
  KcpMessage again;
  if (!DecodeMessage(bytes->data(), bytes->size(), &again)) return "re-encoded message does not read back";
  if (again.type != msg.type) return "re-encoded message changed its type";
  if (again.items.size() != msg.items.size()) {
    return "re-encoded message has " + std::to_string(again.items.size()) + " items instead of " +
           std::to_string(msg.items.size());
  }
  for (size_t i = 0; i < msg.items.size(); ++i) {
    const auto& a = msg.items[i];
    const auto& b = again.items[i];
    if (!a.wellFormed) continue;
    if (a.vifs != b.vifs || a.propertyRecords != b.propertyRecords || a.ids != b.ids || a.containers != b.containers ||
        a.uplinks != b.uplinks || a.vds != b.vds) {
      return "item " + std::to_string(i) + " (type " + std::to_string(a.type) + ") changed in the round trip";
    }
  }
  return std::string();
}

}  // namespace VevUroro::kcp
