#include "apps/config/VifUpdateFragments.h"

#include "dataplane/kcp/KcpFormat.h"

namespace VevUroro {

using namespace kcp;

namespace {
// Envelope, TLV header, operation byte, VIF record and one property header of the reassembled update.
constexpr size_t kReassembledFixedLen = kUpdateHeaderLen + kTlvHeaderLen + 1 + kVifRecordFixedLen + kPropHeaderLen;
}  // namespace

const VifRecord* VifUpdateFragments::Fragment(const KcpMessage& message, std::string* why) {
  if (message.truncated || message.items.size() != 1) {
    *why = "a fragment must hold exactly one data item";
    return nullptr;
  }
  const DataItem& item = message.items.front();
  if (item.type != KCP_UPDATE_VIF || !item.wellFormed || item.vifs.size() != 1) {
    *why = "a fragment must hold one VIF Update with one VIF record";
    return nullptr;
  }
  if (item.vifs.front().properties.empty()) {
    *why = "a fragment's VIF record carries no property";
    return nullptr;
  }
  return &item.vifs.front();
}

std::optional<std::string> VifUpdateFragments::SeriesVif(const KcpMessage& message) {
  if (message.items.size() != 1) return std::nullopt;
  const DataItem& item = message.items.front();
  if (item.type != KCP_UPDATE_VIF || item.vifs.size() != 1) return std::nullopt;
  return item.vifs.front().vifId;
}

bool VifUpdateFragments::Propertyless(const KcpMessage& message) {
  return message.items.front().vifs.front().properties.empty();
}

VifUpdateFragments::Result VifUpdateFragments::Reject(std::string reason, std::optional<std::string> vif,
                                                      std::string* why, bool seriesEnds) {
  Clear();
  *why = std::move(reason);
  _rejecting = !seriesEnds;
  _seriesVif = _rejecting ? std::move(vif) : std::nullopt;
  return Result::kRejected;
}

VifUpdateFragments::Result VifUpdateFragments::Add(const KcpMessage& message, KcpMessage* out, std::string* why) {
  why->clear();
  const bool more = message.MoreFollows();
  const std::optional<std::string> vif = SeriesVif(message);
  // Foreign to the series in progress or rejected: a message naming another VIF, or a last message that names none
  // (a report of several VIFs) or that names the series' VIF without a property (a disconnection: whole on its own,
  // never a piece of the value). A message with "more" naming none is a broken piece of the series.
  const bool foreign = vif ? (_seriesVif && *vif != *_seriesVif) || (!more && Propertyless(message)) : !more;
  if (_rejecting) {
    if (!foreign) {
      // The rest of a rejected series goes with it.
      if (!more) Clear();
      *why = "the rest of a rejected series";
      return Result::kSwallowed;
    }
    // Not the series' (its end was lost): take the message on its own.
    Clear();
  } else if (_count > 0 && foreign) {
    Clear();
    *why = "a report outside the series interrupted the series; its fragments";
  }
  if (!more && _count == 0) {
    *out = message;
    return Result::kWhole;
  }
  std::string problem;
  const VifRecord* record = Fragment(message, &problem);
  if (!record) return Reject(problem, vif ? vif : _seriesVif, why, !more);
  const std::vector<uint8_t>& piece = record->properties.front().value;
  if (piece.empty()) return Reject("a fragment's first property is empty", vif, why, !more);
  if (kReassembledFixedLen + _value.size() + piece.size() > kMaxReassembledLen) {
    return Reject("the reassembled update would exceed " + std::to_string(kMaxReassembledLen) + " bytes", vif, why,
                  !more);
  }
  if (_seriesBytes + message.length > kMaxSeriesBytes) {
    return Reject("the series' fragments exceed " + std::to_string(kMaxSeriesBytes) + " bytes", vif, why, !more);
  }
  if (_count == 0) {
    _first = message;
    std::vector<KcpProperty>& properties = _first.items.front().vifs.front().properties;
    properties.resize(1);
    properties.front().value.clear();
  }
  _value.insert(_value.end(), piece.begin(), piece.end());
  _seriesBytes += message.length;
  ++_count;
  _seriesVif = vif;
  if (more) return Result::kPending;

  KcpMessage whole = std::move(_first);
  whole.updateFlags = 0;
  whole.items.front().vifs.front().properties.front().value = std::move(_value);
  *out = std::move(whole);
  Clear();
  return Result::kComplete;
}

size_t VifUpdateFragments::HeldBytes() const {
  if (_count == 0) return 0;
  const VifRecord& record = _first.items.front().vifs.front();
  return kReassembledFixedLen + record.vifId.size() + record.portId.size() + record.switchId.size() +
         record.parentVifId.size() + _value.size();
}

void VifUpdateFragments::Clear() {
  _first = KcpMessage();
  _value.clear();
  _value.shrink_to_fit();
  _count = 0;
  _seriesBytes = 0;
  _rejecting = false;
  _seriesVif.reset();
}

}  // namespace VevUroro
