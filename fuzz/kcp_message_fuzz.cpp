// Fuzzes the KCP reader and dumper with arbitrary bytes as they could arrive from the datapath, and the writer with
// whatever the reader made of them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "dataplane/kcp/KcpDumper.h"
#include "dataplane/kcp/KcpReader.h"
#include "dataplane/kcp/KcpWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace VevUroro::kcp;
  std::string text = RenderMessage(data, size);
  if (text.size() > kDumpLimit) std::abort();

  KcpMessage msg;
  if (!DecodeMessage(data, size, &msg)) return 0;
  auto bytes = EncodeMessage(msg);
  if (!bytes) return 0;
  // What the writer produced must read back to the same item structure.
  KcpMessage again;
  if (!DecodeMessage(bytes->data(), bytes->size(), &again)) std::abort();
  if (again.items.size() != msg.items.size() || again.type != msg.type) std::abort();
  for (size_t i = 0; i < msg.items.size(); ++i) {
    const auto& a = msg.items[i];
    const auto& b = again.items[i];
    if (!a.wellFormed) continue;
    if (a.vifs != b.vifs || a.propertyRecords != b.propertyRecords || a.ids != b.ids || a.containers != b.containers ||
        a.uplinks != b.uplinks || a.vds != b.vds) {
      std::abort();
    }
  }
  return 0;
}
