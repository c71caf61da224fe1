// The overlay module's message set on the L2 kernel channel: message and data types, fixed record sizes and field
// offsets, shared by the agent's L2 application and the simulator's overlay module (each reads and writes with its
// own code). OverlayLayout.md beside this file describes every layout. Every integer is big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VevUroro::overlay {

// Message header: type (2), total length with the header (2), session ID (4); data TLVs follow back to back, each
// with type (2) and length with its own 4-byte header (2).
constexpr size_t kHeaderLen = 8;
constexpr size_t kTlvHeaderLen = 4;
constexpr size_t kMaxMsgLen = 65535;
// A writer starts a new message before the records of one TLV would pass this many bytes.
constexpr size_t kMaxRecordBytes = 65000;

enum MsgType : uint16_t {
  kMsgInit = 1,
  kMsgConfigure = 2,
  kMsgVniMembership = 3,
  kMsgUpdate = 5,
  kMsgQuery = 6,
  kMsgQueryAnswer = 7,
  kMsgStateReport = 12,
  kMsgSessionControl = 13,
  kMsgInstanceChange = 15,
  kMsgAlarm = 17,
};

// Init (agent to datapath, the first opening message).
enum InitType : uint16_t { kInitVersion = 1 };
constexpr uint32_t kProtocolVersion = 1;

// Session control (both directions): one TLV carrying the session ID (4).
enum SessionControlType : uint16_t {
  kSessionOpen = 1,         // agent: the second opening message
  kSessionOpenAck = 2,      // datapath
  kSessionFullSyncEnd = 3,  // datapath: its reports of this session are all sent
  kSessionAgentSyncEnd = 4  // agent: the desired tables of this session are all sent
};
constexpr size_t kSessionControlLen = 4;

// VNI membership change: switch ID (4), VNI (4), action (1).
constexpr size_t kVniMembershipLen = 9;
enum VniAction : uint8_t { kVniJoin = 1, kVniLeave = 2 };
enum VniMembershipType : uint16_t { kVniMembershipChange = 1 };

// Update data types. Per-VNI tables start with switch ID (4), VNI (4), added count (2), removed count (2), then
// the added records, then the removed ones.
enum UpdateType : uint16_t {
  kUpdateVtep = 1,
  kUpdateVmMac = 2,
  kUpdateArp = 3,
  kUpdateNd = 4,
  kUpdateRoutingDomainList = 7,
  kUpdateRoutingDomainVtep = 8,
  kUpdateBfdSession = 9,
  kUpdateVtepGroup = 11,
};
constexpr size_t kTableHeaderLen = 12;

// VTEP record.
constexpr size_t kVtepRecordLen = 40;
constexpr size_t kVtepAddrTypeOffset = 0;  // 4: 1 IPv4, 2 IPv6
constexpr size_t kVtepAddrOffset = 4;      // 16: IPv4 in the first four bytes
constexpr size_t kVtepLabelOffset = 20;    // 4
constexpr size_t kVtepSegmentOffset = 24;  // 4
constexpr size_t kVtepMacOffset = 28;      // 6
constexpr size_t kVtepEncapOffset = 34;    // 1: 0 vxlan, 1 vxstt, 2 geneve
constexpr size_t kVtepMtepOffset = 35;     // 1: 1..3
constexpr size_t kVtepFlagOffset = 36;     // 4
enum AddressType : uint32_t { kAddrIPv4 = 1, kAddrIPv6 = 2 };
enum Encapsulation : uint8_t { kEncapVxlan = 0, kEncapVxstt = 1, kEncapGeneve = 2 };

// VM MAC record: VM MAC (6), VTEP address type (4), VTEP address (16), VTEP MAC (6).
constexpr size_t kVmMacRecordLen = 32;
// ARP record: VM IPv4 (4), VM MAC (6), VTEP address type (4), VTEP address (16).
constexpr size_t kArpRecordLen = 30;
// ND record: VM IPv6 (16), VM MAC (6), VTEP address type (4), VTEP address (16).
constexpr size_t kNdRecordLen = 42;

// Routing domain list: records of action (1: 1 add, 2 delete), routing domain ID (16), switch ID (4).
constexpr size_t kRoutingDomainRecordLen = 21;
// Routing domain VTEP membership: switch ID (4), routing domain ID (16), global flag (1), added count (2), removed
// count (2), then VTEP records.
constexpr size_t kRoutingDomainVtepHeaderLen = 25;

// BFD session: action (1: 1 add, 2 delete), switch ID (4), VNI (4), local address type (4) and address (16),
// remote address type (4) and address (16), local label (4), remote label (4), session type (4), VTEP group
// label (4).
constexpr size_t kBfdSessionLen = 65;

// VTEP group: action (1: 1 update, 2 delete), group key (8), VTEP count (2), then VTEP records.
constexpr size_t kVtepGroupHeaderLen = 11;

// Configure data types.
enum ConfigureType : uint16_t {
  kConfigReplicationMode = 1,  // mode (4)
  kConfigControllerAddress = 2,
  kConfigMacLimit = 3,  // switch ID (4), VNI (4), limit (4)
  kConfigBfdHostSwitch = 4,
  kConfigEvpnBfd = 5,
};
constexpr size_t kReplicationModeLen = 4;
constexpr size_t kMacLimitLen = 12;
// Controller address: two values given by the sender (4 + 4), IPv4 (4), address type (4: 0 none, 1 IPv4, 2 IPv6,
// 3 both), IPv6 (16); 36 bytes with its TLV header.
constexpr size_t kControllerAddressLen = 32;
enum ControllerAddressType : uint32_t { kCtlrNone = 0, kCtlrIPv4 = 1, kCtlrIPv6 = 2, kCtlrBoth = 3 };
// BFD per host switch: host switch UUID (16), flags (4), enabled (1), VTEP health interval (4), latency enabled (1).
constexpr size_t kBfdHostSwitchLen = 26;
// EVPN BFD: flags (4), enabled (1), VTEP health interval (4), multiplier (4).
constexpr size_t kEvpnBfdLen = 13;

// Queries (datapath to agent) and their answers (agent to datapath, message type 7, the same data types).
enum QueryType : uint16_t { kQueryVmMac = 1, kQueryArp = 2, kQueryNd = 3 };
constexpr size_t kQueryVmMacLen = 10;  // VNI (4), MAC (6)
constexpr size_t kQueryArpLen = 8;     // VNI (4), IPv4 (4)
constexpr size_t kQueryNdLen = 20;     // VNI (4), IPv6 (16)
// Answers: the query, found (1), then for a MAC the VTEP address type (4), address (16) and MAC (6); for ARP and
// ND the VM MAC (6).
constexpr size_t kAnswerVmMacLen = kQueryVmMacLen + 1 + 26;
constexpr size_t kAnswerArpLen = kQueryArpLen + 1 + 6;
constexpr size_t kAnswerNdLen = kQueryNdLen + 1 + 6;

// State report: data type 1 out of sync, one flag byte.
enum StateReportType : uint16_t { kReportOutOfSync = 1 };

// Instance change: instance ID (4).
enum InstanceChangeType : uint16_t { kInstanceInsert = 1, kInstanceRemove = 2 };
constexpr size_t kInstanceLen = 4;

// Alarm: kind (1), state (1), address family (1), fault kind (1), kernel NIC name (16), host switch name (64).
enum AlarmType : uint16_t { kAlarmTkmnic = 1 };
enum AlarmKind : uint8_t { kAlarmFault = 1, kAlarmHaState = 2, kAlarmAutoRecovery = 3 };
enum AlarmFaultKind : uint8_t { kFaultNoAddress = 1, kFaultBfdDown = 2 };
enum AlarmFamily : uint8_t { kAlarmFamilyIPv4 = 1, kAlarmFamilyIPv6 = 2 };
constexpr size_t kTkmNameLen = 16;
constexpr size_t kDvsNameLen = 64;
constexpr size_t kAlarmLen = 4 + kTkmNameLen + kDvsNameLen;

}  // namespace VevUroro::overlay
