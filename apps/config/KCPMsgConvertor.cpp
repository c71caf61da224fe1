#include "apps/config/KCPMsgConvertor.h"

#include <syslog.h>

#include <cstdlib>
#include <cstring>

#include "core/Logger.h"
#include "dataplane/kcp/KcpDumper.h"
#include "dataplane/kcp/KcpFormat.h"

namespace VevUroro {

namespace {

using namespace kcp;

constexpr size_t kPropertyMessageFixedLen = KCPMsgConvertor::kPropertyMessageFixedLen;
static_assert(kPropertyMessageFixedLen == kUpdateHeaderLen + kTlvHeaderLen + 1);
// Envelope and TLV header of a list or container message.
constexpr size_t kListMessageFixedLen = kUpdateHeaderLen + kTlvHeaderLen;

uint8_t* AllocMessage(size_t length) {
  auto* buffer = static_cast<uint8_t*>(std::calloc(length, 1));
  if (!buffer) {
    syslog(LOG_ERR, "VEVURORO_ALLOC_FAIL : VevUroro error: no memory!");
    closelog();
    std::exit(1);
  }
  return buffer;
}

// Writes `text` into a `width`-byte field, cut to width − 1 characters so that it always ends with a NUL.
void WriteId(uint8_t* p, size_t width, const std::string& text) {
  std::string_view view(text);
  WriteFixedString(p, width, view.substr(0, width - 1));
}

// Starts an Update message of `length` bytes with one TLV of `tlvType` covering the rest of it.
uint8_t* StartUpdate(size_t length, uint16_t tlvType, bool more) {
  uint8_t* message = AllocMessage(length);
  WriteU16(message, KCP_MSG_UPDATE);
  WriteU16(message + 2, static_cast<uint16_t>(length));
  message[4] = more ? kUpdateFlagMore : 0;
  WriteU16(message + kUpdateHeaderLen, tlvType);
  WriteU16(message + kUpdateHeaderLen + 2, static_cast<uint16_t>(length - kUpdateHeaderLen));
  return message;
}

size_t PropertyBytes(const DVSProperty& property) {
  return kPropHeaderLen + property.value.size();
}

uint8_t* WriteProperty(uint8_t* p, const DVSProperty& property) {
  WriteU16(p, property.key);
  WriteU16(p + 2, static_cast<uint16_t>(PropertyBytes(property)));
  if (!property.value.empty()) std::memcpy(p + kPropHeaderLen, property.value.data(), property.value.size());
  return p + PropertyBytes(property);
}

// One entity's properties [first, last) in one piece.
struct Segment {
  const std::string* id;
  const DVSPropertyList* properties;
  size_t first;
  size_t last;
};

struct Piece {
  std::vector<Segment> segments;
  size_t bytes = 0;  // entity records: headers plus properties
};

// Cuts the batch into pieces of at most `room` bytes of records (the first piece `firstRoom`); every piece that
// continues an entity repeats its header.
std::vector<Piece> PlanPieces(const DVSEntityUpdate& update, size_t header) {
  std::vector<Piece> pieces(1);
  size_t room = KCPMsgConvertor::kFirstMessageRoom;
  auto newPiece = [&] {
    pieces.emplace_back();
    room = KCPMsgConvertor::kEntityDataPerMessage;
  };
  for (const auto& [id, properties] : update.entities) {
    if (!pieces.back().segments.empty() && pieces.back().bytes + header > room) newPiece();
    pieces.back().segments.push_back(Segment{&id, &properties, 0, 0});
    pieces.back().bytes += header;
    for (size_t i = 0; i < properties.size(); ++i) {
      size_t cost = PropertyBytes(properties[i]);
      Piece& piece = pieces.back();
      bool alone = piece.segments.size() == 1 && piece.segments.back().first == i;
      if (piece.bytes + cost > room && !alone) {
        if (piece.segments.back().first == i) {
          // Nothing of this entity fits here: its header moves to the next piece.
          piece.segments.pop_back();
          piece.bytes -= header;
        } else {
          piece.segments.back().last = i;
        }
        newPiece();
        pieces.back().segments.push_back(Segment{&id, &properties, i, i});
        pieces.back().bytes = header;
      }
      pieces.back().bytes += cost;
    }
    pieces.back().segments.back().last = properties.size();
  }
  return pieces;
}

uint8_t BatchOperation(uint32_t operation) {
  return operation == DVS_OP_UPDATE || operation == DVS_OP_DELETE ? static_cast<uint8_t>(operation)
                                                                  : static_cast<uint8_t>(DVS_OP_FULL_SYNC);
}

// Property TLVs of an encoded block, cut at property boundaries into pieces of at most `room` bytes (a property
// longer than `room`, or bytes that do not parse as properties, travel alone).
std::vector<std::string_view> CutBlock(std::string_view block, size_t room) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  size_t at = 0;
  while (at < block.size()) {
    size_t length = block.size() - at;
    if (length >= kPropHeaderLen) {
      size_t declared = ReadU16(reinterpret_cast<const uint8_t*>(block.data()) + at + 2);
      if (declared >= kPropHeaderLen && declared <= length) length = declared;
    }
    if (at > start && at + length - start > room) {
      pieces.push_back(block.substr(start, at - start));
      start = at;
    }
    at += length;
  }
  if (at > start || pieces.empty()) pieces.push_back(block.substr(start, at - start));
  return pieces;
}

}  // namespace

KCPMsgConvertor::KCPMsgConvertor(boost::intrusive_ptr<DataplaneLink> link) : _link(std::move(link)) {}

bool KCPMsgConvertor::SendEntityUpdate(const DVSEntityUpdate& update) {
  if (update.entities.empty()) return true;
  const bool port = update.kind == DVS_ENTITY_PORT;
  const size_t header = port ? kPortEntityHeader : kTkmnicEntityHeader;
  const size_t idWidth = port ? kVifIdLen : kTkmnicNameLen;
  std::vector<Piece> pieces = PlanPieces(update, header);
  // Refused before anything is sent: a batch cut short after a piece with the "more" flag would leave the datapath
  // waiting for the rest of it.
  for (const Piece& piece : pieces) {
    if (piece.bytes >= kRefusedEntityBytes || kPropertyMessageFixedLen + piece.bytes > kMaxMsgLen) {
      Logger(LOG_LEVEL_ERROR, "KCPMsgConvertor: refused property message piece of %1 bytes", piece.bytes);
      return false;
    }
  }
  for (size_t n = 0; n < pieces.size(); ++n) {
    const Piece& piece = pieces[n];
    const size_t length = kPropertyMessageFixedLen + piece.bytes;
    uint8_t* message =
        StartUpdate(length, port ? KCP_UPDATE_PORT_PROPERTY : KCP_UPDATE_TKMNIC_PROPERTY, n + 1 < pieces.size());
    message[kPropertyMessageFixedLen - 1] = BatchOperation(update.operation);
    uint8_t* p = message + kPropertyMessageFixedLen;
    for (const Segment& segment : piece.segments) {
      uint8_t* record = p;
      WriteId(p, idWidth, *segment.id);
      p += header;
      for (size_t i = segment.first; i < segment.last; ++i) p = WriteProperty(p, (*segment.properties)[i]);
      WriteU16(record + idWidth, static_cast<uint16_t>(p - record));
    }
    if (!SendMessage(message)) return false;
  }
  return true;
}

bool KCPMsgConvertor::SendSwitchPropertyUpdate(uint8_t operation, const std::vector<SwitchPropertyBlock>& blocks) {
  struct SwitchPiece {
    const std::string* switchId;
    std::string_view properties;
  };
  std::vector<SwitchPiece> pieces;
  for (const SwitchPropertyBlock& block : blocks) {
    for (std::string_view piece : CutBlock(block.properties, kSwitchPropertyDataPerMessage)) {
      pieces.push_back(SwitchPiece{&block.switchId, piece});
    }
  }
  for (const SwitchPiece& piece : pieces) {
    if (kSwitchMessageFixedLen + piece.properties.size() > kMaxMsgLen) {
      Logger(LOG_LEVEL_ERROR, "KCPMsgConvertor: refused switch property message of %1 bytes",
             kSwitchMessageFixedLen + piece.properties.size());
      return false;
    }
  }
  for (size_t n = 0; n < pieces.size(); ++n) {
    const size_t length = kSwitchMessageFixedLen + pieces[n].properties.size();
    uint8_t* message = StartUpdate(length, KCP_UPDATE_VDS_PROPERTY, n + 1 < pieces.size());
    uint8_t* record = message + kListMessageFixedLen;
    WriteId(record, kVdsIdLen, *pieces[n].switchId);
    record[kVdsIdLen] = operation;
    WriteU16(record + kVdsIdLen + 1, static_cast<uint16_t>(kVdsRecordFixedLen + pieces[n].properties.size()));
    if (!pieces[n].properties.empty()) {
      std::memcpy(record + kVdsRecordFixedLen, pieces[n].properties.data(), pieces[n].properties.size());
    }
    if (!SendMessage(message)) return false;
  }
  return true;
}

bool KCPMsgConvertor::SendList(uint16_t updateType, const std::vector<std::string>& ids, size_t width,
                               size_t perMessage) {
  for (size_t first = 0; first < ids.size(); first += perMessage) {
    size_t count = std::min(perMessage, ids.size() - first);
    bool more = first + count < ids.size();
    uint8_t* message = StartUpdate(kListMessageFixedLen + count * width, updateType, more);
    uint8_t* p = message + kListMessageFixedLen;
    for (size_t i = 0; i < count; ++i, p += width) WriteId(p, width, ids[first + i]);
    if (!SendMessage(message)) return false;
  }
  return true;
}

bool KCPMsgConvertor::SendSwitchList(const std::vector<std::string>& switchIds) {
  return SendList(KCP_UPDATE_VDS_LIST, switchIds, kVdsIdLen, kSwitchIdsPerMessage);
}

bool KCPMsgConvertor::SendPortListFullSync(const std::vector<std::string>& containerVifIds,
                                           const std::vector<std::string>& portVifIds,
                                           const std::vector<std::string>& tkmnicNames) {
  bool ok = containerVifIds.empty()
                ? SendEmptyList(KCP_UPDATE_CONTAINER_LIST)
                : SendList(KCP_UPDATE_CONTAINER_LIST, containerVifIds, kVifIdLen, kIdsPerListMessage);
  if (!ok) return false;
  if (!SendList(KCP_UPDATE_PORT_LIST, portVifIds, kVifIdLen, kIdsPerListMessage)) return false;
  return SendList(KCP_UPDATE_TKMNIC_LIST, tkmnicNames, kTkmnicNameLen, kNamesPerTkmnicList);
}

bool KCPMsgConvertor::SendPortContainerList(const std::string& vifId, const std::vector<std::string>& containerIds) {
  size_t first = 0;
  do {
    size_t count = std::min(kContainersPerPortContainerList, containerIds.size() - first);
    bool more = first + count < containerIds.size();
    uint8_t* message =
        StartUpdate(kListMessageFixedLen + kVifIdLen + count * kVifIdLen, KCP_UPDATE_PORT_CONTAINER_LIST, more);
    uint8_t* p = message + kListMessageFixedLen;
    WriteId(p, kVifIdLen, vifId);
    p += kVifIdLen;
    for (size_t i = 0; i < count; ++i, p += kVifIdLen) WriteId(p, kVifIdLen, containerIds[first + i]);
    if (!SendMessage(message)) return false;
    first += count;
  } while (first < containerIds.size());
  return true;
}

bool KCPMsgConvertor::SendContainerUpdate(const std::vector<kcp::ContainerRecord>& containers) {
  auto recordBytes = [](const ContainerRecord& c) {
    return kContainerRecordFixedLen + kIpMacEntryLen * c.entries.size();
  };
  // Groups [first, last) of containers, one message each, all checked before the first is sent.
  struct Group {
    size_t first;
    size_t last;
    size_t length;
  };
  std::vector<Group> groups;
  for (size_t first = 0; first < containers.size();) {
    size_t length = kListMessageFixedLen + recordBytes(containers[first]);
    size_t last = first + 1;
    while (last < containers.size() && length + recordBytes(containers[last]) <= kContainerUpdateRoom) {
      length += recordBytes(containers[last++]);
    }
    if (length > kMaxMsgLen) {
      Logger(LOG_LEVEL_ERROR, "KCPMsgConvertor: refused container message of %1 bytes", length);
      return false;
    }
    groups.push_back({first, last, length});
    first = last;
  }
  for (size_t n = 0; n < groups.size(); ++n) {
    const Group& group = groups[n];
    uint8_t* message = StartUpdate(group.length, KCP_UPDATE_CONTAINER, n + 1 < groups.size());
    uint8_t* p = message + kListMessageFixedLen;
    for (size_t i = group.first; i < group.last; ++i) {
      const ContainerRecord& c = containers[i];
      WriteId(p, kVifIdLen, c.cifId);
      WriteId(p + 48, kPortIdLen, c.portId);
      WriteId(p + 96, kPortIdLen, c.vmPortId);
      WriteId(p + 144, kVifIdLen, c.vmVifId);
      WriteU16(p + 192, c.vlanId);
      std::memcpy(p + 194, c.mac.data(), kMacLen);
      WriteU16(p + 200, static_cast<uint16_t>(c.entries.size()));
      p += kContainerRecordFixedLen;
      for (const IpMacEntry& entry : c.entries) {
        p[0] = entry.family;
        std::memcpy(p + 1, entry.ip.data(), kIpLen);
        std::memcpy(p + 17, entry.mac.data(), kMacLen);
        p += kIpMacEntryLen;
      }
    }
    Logger(LOG_LEVEL_DEBUG, "Send container update itemLen %1, allocLen %2, EntryNum %3",
           group.length - kUpdateHeaderLen, group.length, group.last - group.first);
    if (!SendMessage(message)) return false;
  }
  return true;
}

bool KCPMsgConvertor::SendEmptyList(uint16_t updateType) {
  return SendMessage(StartUpdate(kListMessageFixedLen, updateType, false));
}

bool KCPMsgConvertor::SendMessage(uint8_t* message) {
  Logger(LOG_LEVEL_DEBUG, "KCPMsgConvertor sends message to dataplane");
  if (LogEnabled(LOG_LEVEL_INFO)) DumpMessage(LOG_LEVEL_INFO, message, ReadU16(message + 2));
  if (!_link) {
    std::free(message);
    return false;
  }
  if (_batchThread.load() != std::this_thread::get_id()) return _link->Send(message);
  const bool queued = _link->SendLater(message);
  if (++_batchMessages == kMessagesPerWake) {
    _link->Flush();
    _batchMessages = 0;
  }
  return queued;
}

bool KCPMsgConvertor::BeginBatch() {
  std::thread::id none;
  if (!_batchThread.compare_exchange_strong(none, std::this_thread::get_id())) return false;
  _batchMessages = 0;
  return true;
}

void KCPMsgConvertor::EndBatch() {
  if (_batchMessages > 0 && _link) _link->Flush();
  _batchMessages = 0;
  _batchThread.store(std::thread::id());
}

}  // namespace VevUroro
