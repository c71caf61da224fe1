#include "dataplane/router/VdrKernelReader.h"

#include <cstring>

#include "dataplane/ByteOrder.h"
#include "dataplane/router/RouterLayout.h"

namespace VevUroro::router {

namespace {

std::string Name(const uint8_t* p) {
  const void* nul = std::memchr(p, 0, kNameLen);
  const size_t length = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - p) : kNameLen;
  return std::string(reinterpret_cast<const char*>(p), length);
}

bool ReadTlv(const uint8_t* tlv, size_t length, KernelEvent* event, std::string* error) {
  event->tlvType = ReadU16(tlv);
  if (event->tlvType == kTlvInstanceReport) {
    if (length < kInstanceReportLen) {
      *error = "instance report of " + std::to_string(length) + " bytes";
      return false;
    }
    event->vdrId = ReadU32(tlv + 4);
    event->change = tlv[8];
  } else if (event->tlvType == kTlvDadReport) {
    if (length < kDadReportFixedLen) {
      *error = "DAD report of " + std::to_string(length) + " bytes";
      return false;
    }
    const size_t count = ReadU16(tlv + 137);
    if (length != kDadReportFixedLen + count * kDadEntryLen) {
      *error = "DAD report of " + std::to_string(length) + " bytes for " + std::to_string(count) + " entries";
      return false;
    }
    event->vdrId = ReadU32(tlv + 4);
    event->lifName = Name(tlv + 8);
    event->version = Name(tlv + 72);
    event->status = tlv[136];
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* p = tlv + kDadReportFixedLen + i * kDadEntryLen;
      DadEntry entry;
      entry.family = p[0];
      if (entry.family != kFamilyIpv4 && entry.family != kFamilyIpv6) {
        *error = "DAD entry of family " + std::to_string(entry.family);
        return false;
      }
      std::memcpy(entry.address.data(), p + 1, kAddressLen);
      entry.state = p[1 + kAddressLen];
      event->entries.push_back(entry);
    }
  }
  return true;
}

}  // namespace

KernelMessage ReadKernelMessage(const uint8_t* data, size_t size) {
  KernelMessage out;
  if (size < kMsgHeaderLen || ReadU16(data + 2) != size) {
    out.result = KernelMessage::Result::kMalformed;
    out.error = "message of " + std::to_string(size) + " bytes";
    return out;
  }
  out.type = ReadU16(data);
  switch (out.type) {
    case kMsgUpdate:
      break;
    case kMsgInit:
    case kMsgConfigure:
    case kMsgLinkChange:
    case kMsgGenericQuery:
    case kMsgGenericFlush:
    case kMsgErrorNotification:
      return out;  // accepted without action
    default:
      out.result = KernelMessage::Result::kUnknownType;
      return out;
  }
  for (size_t at = kMsgHeaderLen; at < size;) {
    const size_t length = size - at < kTlvHeaderLen ? 0 : ReadU16(data + at + 2);
    if (length < kTlvHeaderLen || length > size - at) {
      out.result = KernelMessage::Result::kMalformed;
      out.error = "TLV at offset " + std::to_string(at) + " of " + std::to_string(size);
      return out;
    }
    KernelEvent event;
    if (!ReadTlv(data + at, length, &event, &out.error)) {
      out.result = KernelMessage::Result::kMalformed;
      return out;
    }
    out.events.push_back(std::move(event));
    at += length;
  }
  return out;
}

}  // namespace VevUroro::router
