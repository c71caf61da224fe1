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

VifUpdateFragments::Result VifUpdateFragments::Reject(std::string reason, std::string* why, bool seriesEnds) {
  *why = std::move(reason);
  _fragments.clear();
  _valueBytes = 0;
  _rejecting = !seriesEnds;
  return Result::kRejected;
}

VifUpdateFragments::Result VifUpdateFragments::Add(const KcpMessage& message, KcpMessage* out, std::string* why) {
  const bool more = message.MoreFollows();
  if (_rejecting) {
    // The rest of a rejected series goes with it.
    if (!more) _rejecting = false;
    return Result::kPending;
  }
  if (!more && _fragments.empty()) {
    *out = message;
    return Result::kWhole;
  }
  std::string problem;
  const VifRecord* record = Fragment(message, &problem);
  if (!record) return Reject(problem, why, !more);
  _valueBytes += record->properties.front().value.size();
  if (kReassembledFixedLen + _valueBytes > kMaxReassembledLen) {
    return Reject("the reassembled update would exceed " + std::to_string(kMaxReassembledLen) + " bytes", why, !more);
  }
  _fragments.push_back(message);
  if (more) return Result::kPending;

  KcpMessage whole = _fragments.front();
  whole.updateFlags = 0;
  DataItem& item = whole.items.front();
  VifRecord& vif = item.vifs.front();
  KcpProperty property;
  property.key = vif.properties.front().key;
  property.value.reserve(_valueBytes);
  for (const KcpMessage& fragment : _fragments) {
    const auto& value = fragment.items.front().vifs.front().properties.front().value;
    property.value.insert(property.value.end(), value.begin(), value.end());
  }
  vif.properties = {std::move(property)};
  *out = std::move(whole);
  Clear();
  return Result::kComplete;
}

void VifUpdateFragments::Clear() {
  _fragments.clear();
  _valueBytes = 0;
  _rejecting = false;
}

}  // namespace VevUroro
