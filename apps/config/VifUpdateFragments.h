// Reassembly of the datapath's fragmented VIF updates.
//
// A VIF update too large for one message comes as several Update messages, each but the last with the "more" flag.
// Every fragment must hold one VIF Update data item with one VIF record carrying at least one property; the
// reassembled update is the first fragment's operation and VIF record with one property: the first fragment's first
// property key, and as value the first-property values of all fragments in arrival order. It must fit
// kMaxReassembledLen bytes. A fragment that breaks these rules rejects the whole series: what was collected is
// dropped and so is every later fragment up to and including the series' last message, so that no partial update
// is ever applied and the next series starts clean.
//
// Used by the configuration application on its datapath link's receive thread only; no lock.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "dataplane/kcp/KcpMessage.h"

namespace VevUroro {

class VifUpdateFragments {
 public:
  static constexpr size_t kMaxReassembledLen = 65530;

  enum class Result {
    kWhole,     // not part of a series: apply `message` as it is
    kPending,   // a fragment was kept (or swallowed after a rejection); nothing to apply yet
    kComplete,  // the last fragment arrived: apply `out`
    kRejected,  // the series was dropped (`why` says why)
  };

  // Takes one decoded Update message.
  Result Add(const kcp::KcpMessage& message, kcp::KcpMessage* out, std::string* why);
  // Forgets a series in progress (a new datapath session).
  void Clear();
  size_t Pending() const { return _fragments.size(); }

 private:
  // The fragment's single VIF record, or null (with `why`) when it breaks the rules.
  static const kcp::VifRecord* Fragment(const kcp::KcpMessage& message, std::string* why);
  Result Reject(std::string reason, std::string* why, bool seriesEnds);

  std::vector<kcp::KcpMessage> _fragments;
  size_t _valueBytes = 0;
  bool _rejecting = false;
};

}  // namespace VevUroro
