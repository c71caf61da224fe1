// KCP wire format: message and data types, record sizes and the byte-level helpers shared by the reader, the
// writer and the dumper.
//
// Every multi-byte integer on the wire is big-endian, with one exception: the timestamp of a discovered binding is
// carried in the sender's native order. Structures are packed. Fixed-size string fields are NUL-padded; a value
// that fills the whole field has no terminator. Pure functions and constants: safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "dataplane/ByteOrder.h"

namespace VevUroro::kcp {

// Sizes.
constexpr size_t kMsgHeaderLen = 4;
constexpr size_t kTlvHeaderLen = 4;
constexpr size_t kPropHeaderLen = 4;
constexpr size_t kUpdateHeaderLen = 5;  // message header + flags byte
constexpr size_t kMaxMsgLen = 65535;
constexpr size_t kMaxRecordBytes = 65530;  // the builder never packs more record bytes into one message

constexpr size_t kVifIdLen = 48;
constexpr size_t kPortIdLen = 48;
constexpr size_t kSwitchIdLen = 64;
constexpr size_t kVdsIdLen = 64;
constexpr size_t kTkmnicNameLen = 16;
constexpr size_t kClientNameLen = 20;
constexpr size_t kAliasLen = 81;
constexpr size_t kMacLen = 6;
constexpr size_t kIpLen = 16;

constexpr size_t kVifRecordFixedLen = 213;
constexpr size_t kPortRecordFixedLen = 50;
constexpr size_t kTkmnicRecordFixedLen = 18;
constexpr size_t kVdsRecordFixedLen = 67;
constexpr size_t kContainerRecordFixedLen = 202;
constexpr size_t kIpMacEntryLen = 23;
constexpr size_t kUplinkRecordLen = 213;
constexpr size_t kBindingLen = 34;

constexpr size_t kSessionControlMsgLen = 15;
constexpr size_t kSessionControlDataLen = 11;
constexpr size_t kSessionControlMinDataLen = 9;  // a receiver needs the control type and the session ID only

// Message types.
enum MsgType : uint16_t {
  KCP_MSG_INIT = 1,
  KCP_MSG_UPDATE = 2,
  KCP_MSG_NOTIFICATION = 3,
  KCP_MSG_QUERY = 4,
  KCP_MSG_SESSION_CONTROL = 5,
};

// Update flags byte (offset 4 of an Update): more messages of this batch follow.
constexpr uint8_t kUpdateFlagMore = 0x80;

enum InitDataType : uint16_t { KCP_INIT_MAX_MSG_LEN = 1 };

enum UpdateDataType : uint16_t {
  KCP_UPDATE_VIF = 1,
  KCP_UPDATE_PORT_PROPERTY = 2,
  KCP_UPDATE_PORT_LIST = 3,
  KCP_UPDATE_TKMNIC_PROPERTY = 4,
  KCP_UPDATE_TKMNIC_LIST = 5,
  KCP_UPDATE_VDS_PROPERTY = 6,
  KCP_UPDATE_CONTAINER = 7,
  KCP_UPDATE_CONTAINER_LIST = 8,
  KCP_UPDATE_PORT_CONTAINER_LIST = 9,
  KCP_UPDATE_VDS_LIST = 10,
  KCP_UPDATE_UPLINK = 11,
};

enum NotificationDataType : uint16_t {
  KCP_NOTIFY_DP_STATUS = 1,
  KCP_NOTIFY_PORT_PROPERTY_OUT_OF_SYNC = 2,
  KCP_NOTIFY_TKMNIC_PROPERTY_OUT_OF_SYNC = 3,
  KCP_NOTIFY_PORT_CONTAINER_HOPLIFT_FULL_SYNC = 4,
};

enum QueryDataType : uint16_t { KCP_QUERY_DP_STATUS = 1 };

enum SessionDataType : uint16_t { KCP_SESSION_CONTROL = 1 };

enum SessionControlType : uint8_t {
  KCP_SESSION_OPEN = 1,
  KCP_SESSION_OPEN_ACK = 2,
  KCP_SESSION_FULL_SYNC_END = 3,
  KCP_SESSION_CLOSE = 4,
};

// The two bytes at offset 13 of a Session Open sent by the agent; their meaning is the datapath's.
constexpr uint8_t kSessionOpenExtra[2] = {0x28, 0x00};

enum Operation : uint8_t {
  KCP_OP_UPDATE = 1,
  KCP_OP_DELETE = 2,
  KCP_OP_FULL_SYNC = 3,
};

enum VifType : uint8_t {
  KCP_VIF_VNIC = 1,
  KCP_VIF_TKMNIC = 2,
  KCP_VIF_CONTAINER = 3,
  KCP_VIF_CRXPORT = 4,
  KCP_VIF_SRIOV = 5,
  KCP_VIF_DVPGPORT = 6,
};

enum VifPropertyKey : uint16_t {
  KCP_VIF_PROP_STATUS = 1,
  KCP_VIF_PROP_MAC = 2,
  KCP_VIF_PROP_DISCOVERED_BINDINGS = 3,
};

enum VifStatus : uint8_t { KCP_VIF_CONNECT = 1, KCP_VIF_DISCONNECT = 2 };

// DP Status Notification: 1 is out of sync, anything else in sync.
enum DpStatus : uint8_t { KCP_DP_OUT_OF_SYNC = 1, KCP_DP_SYNC = 2 };

enum HopliftSyncType : uint16_t {
  KCP_SYNC_PORT_PROPERTIES = 1,
  KCP_SYNC_PORT_CONTAINER_LIST = 2,
  KCP_SYNC_BOTH = 3,
};

// Byte helpers (dataplane/ByteOrder.h). Callers check bounds first; these never look past the bytes named.
using VevUroro::ReadU16;
using VevUroro::ReadU32;
using VevUroro::WriteU16;
using VevUroro::WriteU32;
// The native-order 64-bit timestamp of a discovered binding.
inline uint64_t ReadNativeU64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
inline void WriteNativeU64(uint8_t* p, uint64_t v) {
  std::memcpy(p, &v, sizeof(v));
}

// A fixed-size, NUL-padded field: the bytes up to the first NUL or the whole field.
inline std::string ReadFixedString(const uint8_t* p, size_t width) {
  size_t n = 0;
  while (n < width && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}
// Writes `value` NUL-padded into `width` bytes, cut to the field when longer.
inline void WriteFixedString(uint8_t* p, size_t width, std::string_view value) {
  size_t n = value.size() < width ? value.size() : width;
  std::memcpy(p, value.data(), n);
  std::memset(p + n, 0, width - n);
}

}  // namespace VevUroro::kcp
