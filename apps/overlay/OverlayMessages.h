// The agent's writer and reader of the overlay module's messages (layouts in dataplane/overlay/OverlayLayout.h).
//
// The writer builds whole messages as byte vectors (header with length and session ID, data TLVs); the records
// built from database messages apply the VTEP record rules (address, encapsulation, MTEP capability, flag word)
// and log a refusal with its code. The reader walks a received message's TLVs and bounds every access by the
// lengths it read. Pure functions and plain values; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dataplane/overlay/OverlayLayout.h"
#include "zantix/qor/tolvar/l2.pb.h"

namespace VevUroro::overlay {

using Bytes = std::vector<uint8_t>;

void PutU16(Bytes& out, uint16_t value);
void PutU32(Bytes& out, uint32_t value);
void PutU64(Bytes& out, uint64_t value);
uint16_t GetU16(const uint8_t* p);
uint32_t GetU32(const uint8_t* p);
uint64_t GetU64(const uint8_t* p);

// The largest TLV payload one message carries (both lengths are 16 bits).
constexpr size_t kMaxTlvPayload = 0xFFFF - kHeaderLen - kTlvHeaderLen;

// One message with one TLV; empty (logged with LCP00407) when the payload is above kMaxTlvPayload.
Bytes Message(uint16_t type, uint32_t session, uint16_t tlvType, const Bytes& payload);
// A message whose header is written and whose TLVs are appended by the caller; Finish sets the length.
Bytes BeginMessage(uint16_t type, uint32_t session);
void AppendTlv(Bytes& message, uint16_t tlvType, const Bytes& payload);
void FinishMessage(Bytes& message);

// The VTEP record of a desired VTEP; nullopt (logged with LCP00019) when the entry breaks a rule.
std::optional<Bytes> VtepRecord(const zantix::qor::tolvar::VtepMsg& vtep);
// The other records; nullopt when the address is not of the kind the record carries.
Bytes VmMacRecord(const zantix::qor::tolvar::VmMacMsg& mac);
std::optional<Bytes> ArpRecord(const zantix::qor::tolvar::VmIpMsg& ip);
std::optional<Bytes> NdRecord(const zantix::qor::tolvar::VmIpMsg& ip);

// The Update messages of `updateType` carrying a change of delta records: each payload is `header`, the 16-bit add
// and remove counts, then the records, adds first; split so that no message passes the size limit; none when both
// lists are empty.
std::vector<Bytes> DeltaUpdates(uint32_t session, uint16_t updateType, const Bytes& header,
                                const std::vector<Bytes>& added, const std::vector<Bytes>& removed);

// The Update messages carrying the table change (added and removed records of `recordLen` bytes each) of one
// VNI, split so that no message passes the size limit; none when both lists are empty.
std::vector<Bytes> TableUpdates(uint32_t session, uint16_t updateType, uint32_t switchId, uint32_t vni,
                                const std::vector<Bytes>& added, const std::vector<Bytes>& removed);

// The database form of a VTEP record received from the datapath; nullopt when its address type is neither.
std::optional<zantix::qor::tolvar::VtepMsg> VtepFromRecord(const uint8_t* record);
zantix::qor::tolvar::VmMacMsg VmMacFromRecord(const uint8_t* record);

// A received message: header fields and its TLVs.
struct Tlv {
  uint16_t type = 0;
  const uint8_t* data = nullptr;  // the payload, after the TLV header
  size_t length = 0;              // payload bytes
};
struct ReceivedMessage {
  uint16_t type = 0;
  uint32_t session = 0;
  std::vector<Tlv> tlvs;
};
// False when the header or a TLV length does not fit the message; `badTlvAt` is then the offset that failed.
bool ReadMessage(const uint8_t* message, size_t length, ReceivedMessage* out, size_t* badTlvAt);

// One record of an Update the module sends about its local tables.
struct LocalRecord {
  uint16_t table = 0;  // kUpdateVtep, kUpdateVmMac or kUpdateRoutingDomainVtep
  uint32_t switchId = 0;
  uint32_t vni = 0;    // not set for a routing-domain VTEP
  std::string domain;  // the routing domain's serialized UuidMsg, for a routing-domain VTEP
  bool add = false;
  size_t index = 0;  // within its item's added or removed list
  const uint8_t* record = nullptr;
};
enum class LocalUpdateError { kNone, kItem, kLength, kAddressType, kOrder, kContradiction };
struct LocalUpdate {
  std::vector<LocalRecord> records;
  LocalUpdateError error = LocalUpdateError::kNone;
  size_t value = 0;              // the failing item type, length or address type
  size_t first = 0, second = 0;  // for kOrder and kContradiction: the records (indexes) in conflict
  LocalRecord failedRecord;      // for kAddressType: the record (not in `records`)
};
// Checks a whole Update of the module: item types and lengths, VTEP address types, and that no VTEP is named twice
// except as a delete followed by an add (the other orders are refused: the message is applied whole or not at all).
LocalUpdate ParseLocalUpdate(const ReceivedMessage& message);

// The fuzz target's checks over arbitrary received bytes (also replayed by the tests): every item and record the
// reader hands out lies inside the input, and every VTEP read back is one the writer accepts. Empty when they
// hold, else what failed.
std::string CheckReceivedBytes(const uint8_t* data, size_t size);

// The operator's dump of one message (ours or the module's): the heading "VXLAN Message", the message type and
// session, then each data item by name with its bytes in hex (long items cut after kDumpItemBytes, marked "...").
// A frame that does not read whole is dumped as raw bytes. Callers build it only when debug lines are on.
constexpr size_t kDumpItemBytes = 128;
std::string DumpMessage(const uint8_t* data, size_t size);

// Address and label texts for log lines.
std::string VtepAddressText(const zantix::qor::tolvar::IpAddressMsg& ip);

}  // namespace VevUroro::overlay
