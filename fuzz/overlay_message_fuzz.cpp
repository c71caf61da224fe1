// Fuzzes the agent's reader of the overlay module's messages with arbitrary bytes as they could arrive on the L2
// channel: the frame and its items, the local-table Update checks, and the records the L2 application would turn
// into database messages. Every record handed out must lie inside the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "apps/overlay/OverlayMessages.h"

namespace ov = VevUroro::overlay;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ov::ReceivedMessage message;
  size_t badAt = 0;
  if (!ov::ReadMessage(data, size, &message, &badAt)) return 0;
  for (const ov::Tlv& tlv : message.tlvs) {
    if (tlv.data < data || tlv.data + tlv.length > data + size) std::abort();
  }
  if (message.type != ov::kMsgUpdate) return 0;
  ov::LocalUpdate update = ov::ParseLocalUpdate(message);
  for (const ov::LocalRecord& record : update.records) {
    const size_t length = record.table == ov::kUpdateVmMac ? ov::kVmMacRecordLen : ov::kVtepRecordLen;
    if (record.record < data || record.record + length > data + size) {
      std::fprintf(stderr, "overlay_message_fuzz: record outside the input\n");
      std::abort();
    }
    if (record.table == ov::kUpdateVmMac) {
      ov::VmMacFromRecord(record.record).SerializeAsString();
    } else if (auto vtep = ov::VtepFromRecord(record.record)) {
      // What the application reads back must be a VTEP the writer accepts again.
      if (!ov::VtepRecord(*vtep)) std::abort();
    }
  }
  return 0;
}
