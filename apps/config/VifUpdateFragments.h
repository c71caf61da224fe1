// Reassembly of the datapath's fragmented VIF updates.
//
// A VIF update too large for one message comes as several Update messages, each but the last with the "more" flag.
// Every fragment must hold one VIF Update data item with one VIF record carrying at least one property; the
// reassembled update is the first fragment's operation and VIF record with one property: the first fragment's first
// property key, and as value the first-property values of all fragments in arrival order. It must fit
// kMaxReassembledLen bytes, every fragment must add to it (an empty first-property value is refused) and the series'
// messages together may not exceed kMaxSeriesBytes on the wire. Only the first fragment's record and the value are
// kept, and one series at most is in progress, so what a series holds is bounded whatever the datapath sends.
//
// A series belongs to one VIF. A fragment that breaks these rules rejects the whole series: what was collected is
// dropped and so are the series' later fragments (same VIF) up to and including its last message, so that no partial
// update is ever applied. A message foreign to the series (one naming another VIF, a last message naming none, such
// as a report of several VIFs, or a last message of the series' VIF without a property, such as its disconnection)
// ends it: a series in progress is dropped, a rejected one stops swallowing, and
// the message is taken on its own — so a broken series never swallows another report. The owner calls Clear at
// every new datapath session.
//
// Add reports, besides its result, what it dropped in `why` (empty when nothing was dropped); the caller logs it.
//
// Used by the configuration application on its datapath link's receive thread only; no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dataplane/kcp/KcpMessage.h"

namespace VevUroro {

class VifUpdateFragments {
 public:
  static constexpr size_t kMaxReassembledLen = 65530;
  // Wire bytes of all the messages of one series: room for a full value cut into pieces of a few bytes each.
  static constexpr size_t kMaxSeriesBytes = size_t{1} << 20;

  enum class Result {
    kWhole,      // not part of a series: apply `out` (a copy of the message)
    kPending,    // a fragment was kept; nothing to apply yet
    kComplete,   // the last fragment arrived: apply `out`
    kRejected,   // the series was dropped (`why` says why)
    kSwallowed,  // a later fragment of a rejected series, dropped (`why` says so)
  };

  // Takes one decoded Update message.
  Result Add(const kcp::KcpMessage& message, kcp::KcpMessage* out, std::string* why);
  // Forgets a series in progress or rejected (a new datapath session).
  void Clear();
  size_t Pending() const { return _count; }
  // Bytes held for the series in progress (the first fragment's record and the collected value).
  size_t HeldBytes() const;
  bool Rejecting() const { return _rejecting; }

 private:
  // The fragment's single VIF record, or null (with `why`) when it breaks the rules.
  static const kcp::VifRecord* Fragment(const kcp::KcpMessage& message, std::string* why);
  // The VIF ID of a message holding one VIF Update with one VIF record, the only shape a series' message has.
  static std::optional<std::string> SeriesVif(const kcp::KcpMessage& message);
  // Whether the one VIF record of a message of that shape carries no property.
  static bool Propertyless(const kcp::KcpMessage& message);
  Result Reject(std::string reason, std::optional<std::string> vif, std::string* why, bool seriesEnds);

  kcp::KcpMessage _first;       // the first fragment, its record cut to the first property without value
  std::vector<uint8_t> _value;  // the first-property values collected so far
  size_t _count = 0;            // fragments collected
  size_t _seriesBytes = 0;      // their wire bytes
  bool _rejecting = false;
  std::optional<std::string> _seriesVif;  // the VIF of the series in progress or being swallowed
};

}  // namespace VevUroro
