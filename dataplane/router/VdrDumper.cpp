#include "dataplane/router/VdrDumper.h"

#include <cstring>

#include "core/Logger.h"
#include "dataplane/ByteOrder.h"
#include "dataplane/router/RouterLayout.h"

namespace VevUroro::router {

namespace {

const char* MessageName(uint16_t type) {
  switch (type) {
    case kMsgInit:
      return "INIT";
    case kMsgConfigure:
      return "CONFIGURE";
    case kMsgLinkChange:
      return "LINK CHANGE";
    case kMsgUpdate:
      return "UPDATE";
    case kMsgGenericQuery:
      return "GENERIC QUERY";
    case kMsgGenericFlush:
      return "GENERIC FLUSH";
    case kMsgErrorNotification:
      return "ERROR NOTIFICATION";
    case kMsgInstanceList:
      return "VDR INSTANCE LIST";
    default:
      return "unknown";
  }
}

const char* TlvName(uint16_t type) {
  switch (type) {
    case kTlvInstanceUpdate:
      return "INSTANCE UPDATE";
    case kTlvArpLimit:
      return "ARP LIMIT";
    case kTlvInstanceReport:
      return "INSTANCE REPORT";
    case kTlvLifUpdate:
      return "LIF UPDATE";
    case kTlvRouteUpdate:
      return "ROUTE UPDATE";
    case kTlvRouteDelete:
      return "ROUTE DELETE";
    case kTlvRouteNextHopUpdate:
      return "ROUTE NEXT HOP UPDATE";
    case kTlvArpUpdate:
      return "ARP UPDATE";
    case kTlvBridgeEndpoint:
      return "BRIDGE ENDPOINT";
    case kTlvFullSyncStart:
      return "FULL SYNC START";
    case kTlvFullSyncEnd:
      return "FULL SYNC END";
    case kTlvBarrier:
      return "BARRIER";
    case kTlvDadStatus:
      return "DAD STATUS";
    case kTlvPrefixListDelete:
      return "PREFIX LIST DELETE";
    case kTlvConnectionUpdate:
      return "CONNECTION UPDATE";
    case kTlvMulticastRoute:
      return "MULTICAST ROUTE";
    case kTlvGlobalUpdate:
      return "GLOBAL UPDATE";
    case kTlvDadReport:
      return "DAD REPORT";
    case kTlvMulticastUpdate:
      return "Multicast UPDATE";
    case kTlvPrefixListUpdate:
      return "PrefixList UPDATE";
    case kTlvNdraUpdate:
      return "NDRA UPDATE";
    default:
      return "unknown";
  }
}

// Offset of the VDR ID in TLVs that carry one (0: none).
size_t VdrIdOffset(uint16_t type) {
  switch (type) {
    case kTlvInstanceUpdate:
    case kTlvArpLimit:
    case kTlvInstanceReport:
    case kTlvLifUpdate:
    case kTlvRouteUpdate:
    case kTlvRouteDelete:
    case kTlvRouteNextHopUpdate:
    case kTlvArpUpdate:
    case kTlvFullSyncStart:
    case kTlvFullSyncEnd:
    case kTlvDadStatus:
    case kTlvDadReport:
    case kTlvMulticastUpdate:
    case kTlvNdraUpdate:
      return 4;
    case kTlvMulticastRoute:
      return 5;
    default:
      return 0;
  }
}

// A name field as text, up to its first NUL or any byte that is not printable.
std::string NameText(const uint8_t* p) {
  std::string out;
  for (size_t i = 0; i < kNameLen && p[i] >= 0x20 && p[i] < 0x7f; ++i) out.push_back(static_cast<char>(p[i]));
  return out;
}

class Rendering {
 public:
  // False once a line did not fit: nothing more is taken.
  bool Line(std::string line) {
    line.push_back('\n');
    if (_full || _text.size() + line.size() > kDumpLimit) return !(_full = true);
    _text += line;
    return true;
  }
  std::string Take() { return std::move(_text); }

 private:
  std::string _text;
  bool _full = false;
};

}  // namespace

std::string RenderVdrMessage(const uint8_t* data, size_t size) {
  Rendering out;
  out.Line("VDR Message");
  if (size < kMsgHeaderLen) {
    out.Line("truncated header, " + std::to_string(size) + " bytes");
    return out.Take();
  }
  const uint16_t type = ReadU16(data);
  const size_t length = ReadU16(data + 2);
  out.Line("type " + std::to_string(type) + " (" + MessageName(type) + "), len " + std::to_string(length) + " of " +
           std::to_string(size));
  const size_t end = std::min(length, size);
  size_t at = kMsgHeaderLen;
  while (at < end) {
    if (end - at < kTlvHeaderLen) {
      out.Line("truncated TLV header at offset " + std::to_string(at));
      break;
    }
    const uint16_t tlvType = ReadU16(data + at);
    const size_t tlvLength = ReadU16(data + at + 2);
    std::string line =
        "  TLV " + std::to_string(tlvType) + " (" + TlvName(tlvType) + "), len " + std::to_string(tlvLength);
    if (tlvLength < kTlvHeaderLen || tlvLength > end - at) {
      out.Line(line + ": does not fit the message");
      break;
    }
    const size_t vdr = VdrIdOffset(tlvType);
    if (vdr && vdr + 4 <= tlvLength) line += ", vdr " + std::to_string(ReadU32(data + at + vdr));
    if (tlvType == kTlvPrefixListUpdate && tlvLength >= 4 + kNameLen) line += ", name " + NameText(data + at + 4);
    if (!out.Line(line)) break;
    at += tlvLength;
  }
  return out.Take();
}

void DumpVdrMessage(int level, const uint8_t* data, size_t size) {
  if (!LogEnabled(level)) return;
  Logger(level, "%1", RenderVdrMessage(data, size));
}

}  // namespace VevUroro::router
