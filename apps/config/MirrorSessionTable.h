// Port mirroring session tables: the value of port property key 81 is one table per session the port takes part
// in, tables concatenated. Integers in host order.
//
// Table of one session:
//   header, 20 bytes: 32-bit magic 0xFACEBEEF, 32-bit version 2, 32-bit session count (1), 32-bit record count,
//     16-bit session entry length (232), 16-bit port record length (52);
//   session entry, 232 bytes: name (32 bytes, NUL-terminated: at most 31 characters), description (81 bytes,
//     NUL-terminated), 32-bit session type, 32-bit snapshot length (-1 when none is configured), 32-bit
//     encapsulation code, 16-bit encapsulation VLAN, 32-bit enabled word (1), 32-bit direction (1 ingress,
//     2 egress, 3 both), 32-bit GRE key, 16-byte destination address (IPv4 in the first four bytes, network
//     order), 8-bit destination family (1 IPv4, 2 IPv6, 0 none), zeros to the end;
//   port records, 52 bytes each: the port's VIF ID (48 bytes, NUL-terminated), 32-bit role (1 source,
//     2 destination).
// A table is therefore 252 + 52 × records bytes.
//
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zantix/qor/tolvar/common.pb.h"

namespace VevUroro {

constexpr uint32_t kMirrorMagic = 0xFACEBEEF;
constexpr uint32_t kMirrorVersion = 2;
constexpr size_t kMirrorHeaderLen = 20;
constexpr size_t kMirrorSessionEntryLen = 232;
constexpr size_t kMirrorPortRecordLen = 52;

enum MirrorSessionType : uint32_t {
  MIRROR_LOCAL_SPAN = 1,  // local port span and uplink span
  MIRROR_RSPAN_SOURCE = 2,
  MIRROR_RSPAN_DESTINATION = 3,
  MIRROR_LOGICAL_LOCAL_SPAN = 5,
};

enum MirrorEncapsulation : uint32_t {
  MIRROR_ENCAP_LOCAL = 7,
  MIRROR_ENCAP_VLAN = 8,  // RSPAN over a VLAN
  MIRROR_ENCAP_GRE = 12,  // encapsulated remote span (L3)
};

enum MirrorRole : uint32_t { MIRROR_ROLE_SOURCE = 1, MIRROR_ROLE_DESTINATION = 2 };

struct MirrorPortRecord {
  std::string vifId;
  uint32_t role = MIRROR_ROLE_SOURCE;
};

struct MirrorTableContent {
  std::string name;
  std::string description;
  uint32_t type = MIRROR_LOCAL_SPAN;
  uint32_t encapsulation = MIRROR_ENCAP_LOCAL;
  int32_t snapLength = -1;
  uint16_t encapVlan = 0;
  uint32_t direction = 3;
  uint32_t greKey = 0;
  zantix::qor::tolvar::IpAddressMsg destination;
  std::vector<MirrorPortRecord> records;
};

std::string BuildMirrorTable(const MirrorTableContent& content);

}  // namespace VevUroro
