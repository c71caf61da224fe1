// VevUroro::BfdTable: the reference-counted table of the BFD sessions the overlay module must run.
//
// An entry is keyed by (local VTEP address, remote VTEP address, local label, remote label, session type) and holds
// the references of its users, each {local ID, remote ID}: a logical switch, a routing domain or a VTEP group that
// needs the session. An entry exists while it has at least one reference. A reference added twice, a reference
// removed that is not there and a pair of endpoints of different address families are refused (logged) and change
// nothing. The table also remembers on which VNI each entry was sent to the datapath, so that its removal goes to
// the same place.
//
// Not thread-safe: owned by BFDTableApp, which calls it with the agent lock held.
#pragma once

#include <compare>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "apps/overlay/IBfdDataplane.h"

namespace VevUroro {

// Session types: a tunnel session between the endpoints of a segment or routing domain, or a session to the
// members of a VTEP group.
enum BfdSessionType : uint32_t { kBfdTunnelSession = 1, kBfdVtepGroupSession = 2 };

struct BfdVtep {
  BfdEndpointAddress ip;
  uint32_t label = 0;

  bool operator==(const BfdVtep&) const = default;
  auto operator<=>(const BfdVtep&) const = default;
};

struct BfdSessionKey {
  BfdVtep local;
  BfdVtep remote;
  uint32_t sessionType = kBfdTunnelSession;

  bool operator==(const BfdSessionKey&) const = default;
  auto operator<=>(const BfdSessionKey&) const = default;
};

// One user of a session: IDs as text (a UUID, or a VTEP group label in decimal).
struct BfdReference {
  std::string localId;
  std::string remoteId;

  bool operator==(const BfdReference&) const = default;
  auto operator<=>(const BfdReference&) const = default;
};

struct BfdTableEntry {
  uint32_t tnVgLabel = 0;
  std::set<BfdReference> references;
  std::optional<uint32_t> sentVni;  // the VNI the session was last added on in the datapath
};

// What one table change did.
enum class BfdTableResult { kCreated, kReferenceAdded, kReferenceRemoved, kErased, kRefused };

// Readable forms for log lines and dumps.
std::string BfdAddressText(const BfdEndpointAddress& ip);
std::string BfdSessionTypeText(uint32_t sessionType);

class BfdTable {
 public:
  using Entries = std::map<BfdSessionKey, BfdTableEntry>;

  BfdTableResult Add(const BfdSessionKey& key, const BfdReference& reference, uint32_t tnVgLabel);
  BfdTableResult Delete(const BfdSessionKey& key, const BfdReference& reference);

  const Entries& entries() const { return _entries; }
  // The entries with their sent VNI writable (their keys and references are changed only by Add and Delete).
  Entries& entries() { return _entries; }
  BfdTableEntry* Find(const BfdSessionKey& key);
  size_t size() const { return _entries.size(); }
  // One line per entry with its references, ordered by key.
  std::string Dump() const;

 private:
  static bool SameFamily(const BfdSessionKey& key, const char* operation);

  Entries _entries;
};

}  // namespace VevUroro
