// The numbers and sizes of the distributed-router channel (the agent's L3 application and the kernel router
// module, played by qor-dpsim's router module). Both sides take their constants from here; each side reads and
// writes the bytes with its own code. The layout of every TLV is written out in RouterLayout.md beside this file.
//
// A message is a 4-byte header (16-bit message type, 16-bit total length including the header) followed by TLVs
// (16-bit type, 16-bit length including the 4-byte TLV header). Every integer is in network order, except the
// two 32-bit values of the GLOBAL UPDATE, which are in host order. Names are fixed 64-byte fields, NUL padded.
#pragma once

#include <cstddef>
#include <cstdint>

namespace VevUroro::router {

// Message types.
constexpr uint16_t kMsgInit = 1;
constexpr uint16_t kMsgConfigure = 2;
constexpr uint16_t kMsgLinkChange = 3;
constexpr uint16_t kMsgUpdate = 4;
constexpr uint16_t kMsgGenericQuery = 5;
constexpr uint16_t kMsgGenericFlush = 6;
constexpr uint16_t kMsgErrorNotification = 7;
constexpr uint16_t kMsgInstanceList = 8;

constexpr size_t kMsgHeaderLen = 4;
constexpr size_t kTlvHeaderLen = 4;
constexpr size_t kMaxMessageLen = 65535;
constexpr size_t kNameLen = 64;
constexpr size_t kAddressLen = 16;  // IPv4 addresses take the first four bytes, the rest is zero

// Address families as carried in the TLVs.
constexpr uint8_t kFamilyIpv4 = 4;
constexpr uint8_t kFamilyIpv6 = 6;

// TLV types of UPDATE messages.
constexpr uint16_t kTlvInstanceUpdate = 1;      // agent -> kernel: VDR instance add / delete
constexpr uint16_t kTlvArpLimit = 2;            // agent -> kernel
constexpr uint16_t kTlvInstanceReport = 3;      // kernel -> agent: JOIN, LEAVE, full-sync request
constexpr uint16_t kTlvLifUpdate = 4;           // agent -> kernel: LIF add / delete
constexpr uint16_t kTlvRouteUpdate = 5;         // agent -> kernel: route add
constexpr uint16_t kTlvRouteDelete = 6;         // agent -> kernel
constexpr uint16_t kTlvRouteNextHopUpdate = 7;  // agent -> kernel: next hops added and deleted
constexpr uint16_t kTlvArpUpdate = 8;           // agent -> kernel: ARP entries added and deleted per LIF
constexpr uint16_t kTlvBridgeEndpoint = 9;      // agent -> kernel: bridge endpoint add / delete
constexpr uint16_t kTlvFullSyncStart = 10;      // agent -> kernel
constexpr uint16_t kTlvFullSyncEnd = 11;        // agent -> kernel
constexpr uint16_t kTlvBarrier = 12;            // agent -> kernel
constexpr uint16_t kTlvDadStatus = 13;          // agent -> kernel: DAD status of a LIF
constexpr uint16_t kTlvPrefixListDelete = 14;   // agent -> kernel
constexpr uint16_t kTlvConnectionUpdate = 15;   // reserved
constexpr uint16_t kTlvMulticastRoute = 16;     // agent -> kernel: multicast route add / delete
constexpr uint16_t kTlvNdraUpdate = 17;         // agent -> kernel: router-advertisement settings of a LIF
constexpr uint16_t kTlvGlobalUpdate = 26;
constexpr uint16_t kTlvDadReport = 28;  // kernel -> agent
constexpr uint16_t kTlvMulticastUpdate = 29;
constexpr uint16_t kTlvPrefixListUpdate = 30;

// Operations of the add / delete TLVs.
constexpr uint8_t kOpAdd = 1;
constexpr uint8_t kOpDelete = 2;

// Change field of an INSTANCE REPORT.
constexpr uint8_t kInstanceJoin = 0;
constexpr uint8_t kInstanceLeave = 1;
constexpr uint8_t kInstanceFullSync = 2;
// The VDR ID of a full-sync request (and of a full-sync start) that covers every VDR.
constexpr uint32_t kAllVdrs = 0xFFFFFFFF;

// Fixed TLV lengths (header included) and per-element sizes.
constexpr size_t kInstanceUpdateLen = 4 + 4 + 1 + 1 + 4 + 4 + kNameLen;  // 82
constexpr size_t kArpLimitLen = 4 + 4 + 4 + 1;                           // 13
constexpr size_t kInstanceReportLen = 4 + 4 + 1;                         // 9
constexpr size_t kLifFixedLen = 4 + 4 + 1 + kNameLen + 1 + 2 + 4 + 4 + 1 + 1 + 4 + 2 + 1 + 1 + 1 + 4 + 6 + kNameLen + 1;
constexpr size_t kLifAddressLen = 1 + kAddressLen + 1;           // family, address, prefix length
constexpr size_t kMaxLifAddresses = 255;                         // the count is one byte
constexpr size_t kRouteFixedLenV4 = 27;                          // header, VDR ID, entry count, route of 15 bytes
constexpr size_t kRouteFixedLenV6 = 39;                          // header, VDR ID, entry count, route of 27 bytes
constexpr size_t kRouteNextHopLenV4 = 70;                        // family, gateway (4), flags, LIF name
constexpr size_t kRouteNextHopLenV6 = 82;                        // family, gateway (16), flags, LIF name
constexpr size_t kRouteDeleteLen = 4 + 4 + 1 + kAddressLen + 1;  // 26
constexpr size_t kNextHopUpdateFixedLen = 4 + 4 + 1 + kAddressLen + 1 + 2 + 2;                 // 30
constexpr size_t kNextHopEntryLen = 1 + kAddressLen + 1 + kNameLen;                            // 82
constexpr size_t kArpUpdateFixedLen = 4 + 4 + kNameLen + 2 + 2;                                // 76
constexpr size_t kArpEntryLen = 1 + kAddressLen + 6;                                           // 23
constexpr size_t kBridgeEndpointLen = 4 + 4 + 1 + kNameLen + kNameLen + 4 + 4 + 2 + kNameLen;  // 211
constexpr size_t kFullSyncLen = 4 + 4;                                                         // 8
constexpr size_t kBarrierLen = 4 + 8;                                                          // 12
constexpr size_t kDadStatusFixedLen = 4 + 4 + kNameLen + 2;                                    // 74
constexpr size_t kDadEntryLen = 1 + kAddressLen + 1;                                           // 18
constexpr size_t kDadReportFixedLen = 4 + 4 + kNameLen + kNameLen + 1 + 2;                     // 139
constexpr size_t kPrefixListDeleteLen = 4 + kNameLen + 4;                                      // 72
constexpr size_t kMulticastRouteFixedLen = 4 + 1 + 4 + 1 + kAddressLen + 1 + 2;                // 29
constexpr size_t kNdraUpdateLen = 4 + 4 + kNameLen + 1 + 1 + 4 + 1 + 4 + 4 + 4;                // 91
constexpr size_t kGlobalUpdateLen = 15;
constexpr size_t kMulticastUpdateLen = 4 + 4 + 1 + 1 + kAddressLen + 1 + 4 + 4 + 4 + 4 + 4;  // 47
constexpr size_t kPrefixListFixedLen = 74;
constexpr size_t kPrefixListEntryLen = 19;

// Route and next-hop flags.
constexpr uint8_t kNextHopBlackhole = 0x01;
constexpr uint8_t kNextHopStatic = 0x02;

// LIF flags (16 bits).
constexpr uint16_t kLifAdminUp = 0x0001;
constexpr uint16_t kLifIpv6 = 0x0002;
constexpr uint16_t kLifLinkedRouter = 0x0004;

// LIF types.
constexpr uint8_t kLifTypeDownlink = 1;
constexpr uint8_t kLifTypeUplink = 2;
constexpr uint8_t kLifTypeRouterLink = 3;
// Transport binding of a LIF's switch.
constexpr uint8_t kBindingOverlay = 1;
constexpr uint8_t kBindingVlan = 2;

// Prefix-list entry bounds word: bit 15 set for deny (else permit), bits 0-14 hold ge * 129 + le (0 = not set).
constexpr uint16_t kPrefixDeny = 0x8000;
constexpr uint16_t kPrefixBoundsBase = 129;

// GLOBAL UPDATE defaults (also what a delete of the global configuration sends).
constexpr uint8_t kDefaultForwardingMode = 1;
constexpr uint32_t kDefaultLrpMtu = 1500;
constexpr uint32_t kDefaultSwitchingValue = 50000;
constexpr uint8_t kFlagUnset = 1;
constexpr uint8_t kFlagSet = 2;

}  // namespace VevUroro::router
