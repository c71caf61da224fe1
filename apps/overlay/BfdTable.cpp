#include "apps/overlay/BfdTable.h"

#include <sstream>

#include "apps/config/AddressBytes.h"
#include "core/Logger.h"

namespace VevUroro {

namespace {
constexpr const char* kPrefix = "BFDTable";
}  // namespace

std::string BfdAddressText(const BfdEndpointAddress& ip) {
  return ip.isIPv6 ? Ipv6Text(ip.bytes.data()) : Ipv4Text(ip.bytes.data());
}

std::string BfdSessionTypeText(uint32_t sessionType) {
  switch (sessionType) {
    case kBfdTunnelSession:
      return "tunnel";
    case kBfdVtepGroupSession:
      return "vtep-group";
    default:
      return "UNKNOWN (Put more into BfdSessionTypeText)";
  }
}

bool BfdTable::SameFamily(const BfdSessionKey& key, const char* operation) {
  if (key.local.ip.isIPv6 == key.remote.ip.isIPv6) return true;
  const std::string format =
      std::string("%1: ") + operation + " type error: Local IP type is v4: %2, RemoteIP type is v4: %3";
  Logger(LOG_LEVEL_ERROR, format.c_str(), kPrefix, !key.local.ip.isIPv6, !key.remote.ip.isIPv6);
  return false;
}

BfdTableResult BfdTable::Add(const BfdSessionKey& key, const BfdReference& reference, uint32_t tnVgLabel) {
  if (!SameFamily(key, "AddBFDSessionToBFDTable")) return BfdTableResult::kRefused;
  auto found = _entries.find(key);
  if (found == _entries.end()) {
    BfdTableEntry entry;
    entry.tnVgLabel = tnVgLabel;
    entry.references.insert(reference);
    _entries.emplace(key, std::move(entry));
    QOR_LOG(LOG_LEVEL_INFO,
            "AddBFDSessionToBFDTable: Create BFD table entry (localIP: %1, remoteIP:%2, localLabel: %3, remoteLabel: "
            "%4, tnVgLabel: %5, sessionType: %6) and insert remoteID: %7(%8), localID: %9 to it.",
            BfdAddressText(key.local.ip), BfdAddressText(key.remote.ip), key.local.label, key.remote.label, tnVgLabel,
            key.sessionType, reference.remoteId, BfdSessionTypeText(key.sessionType), reference.localId);
    return BfdTableResult::kCreated;
  }
  if (!found->second.references.insert(reference).second) {
    Logger(LOG_LEVEL_ERROR,
           "BFDTable has contained valid bfd session (%1 --> %2)for localID %3 --> remote ID %4 to be added, "
           "tnVgLabel : %5",
           BfdAddressText(key.local.ip), BfdAddressText(key.remote.ip), reference.localId, reference.remoteId,
           found->second.tnVgLabel)
        .AddTag("errorCode:LCP00007");
    return BfdTableResult::kRefused;
  }
  QOR_LOG(LOG_LEVEL_INFO,
          "%1: AddBFDSessionToBFDTable: Insert remoteID: %2(%3), localID: %4 to BFD table entry (localIP: %5, "
          "remoteIP: %6, localLabel: %7, remoteLabel: %8, sessionType: %9)",
          kPrefix, reference.remoteId, BfdSessionTypeText(key.sessionType), reference.localId,
          BfdAddressText(key.local.ip), BfdAddressText(key.remote.ip), key.local.label, key.remote.label,
          key.sessionType);
  return BfdTableResult::kReferenceAdded;
}

BfdTableResult BfdTable::Delete(const BfdSessionKey& key, const BfdReference& reference) {
  if (!SameFamily(key, "DeleteBFDSessionFromBFDTable")) return BfdTableResult::kRefused;
  auto found = _entries.find(key);
  if (found == _entries.end() || found->second.references.erase(reference) == 0) {
    Logger(LOG_LEVEL_ERROR,
           "BFDTable does not contain valid bfd session (%1 --> %2)for localID %3 --> remote ID %4 to be deleted, "
           "session type is : %5",
           BfdAddressText(key.local.ip), BfdAddressText(key.remote.ip), reference.localId, reference.remoteId,
           key.sessionType)
        .AddTag("errorCode:LCP00007");
    return BfdTableResult::kRefused;
  }
  if (!found->second.references.empty()) return BfdTableResult::kReferenceRemoved;
  _entries.erase(found);
  return BfdTableResult::kErased;
}

BfdTableEntry* BfdTable::Find(const BfdSessionKey& key) {
  auto found = _entries.find(key);
  return found == _entries.end() ? nullptr : &found->second;
}

std::string BfdTable::Dump() const {
  std::ostringstream out;
  out << "BFD sessions: " << _entries.size() << "\n";
  for (const auto& [key, entry] : _entries) {
    out << BfdAddressText(key.local.ip) << " (label " << key.local.label << ") -> " << BfdAddressText(key.remote.ip)
        << " (label " << key.remote.label << ") type " << BfdSessionTypeText(key.sessionType) << " tnVgLabel "
        << entry.tnVgLabel << " vni ";
    if (entry.sentVni) {
      out << *entry.sentVni;
    } else {
      out << "-";
    }
    out << " users:";
    for (const BfdReference& reference : entry.references) {
      out << " " << reference.localId << "->" << reference.remoteId;
    }
    out << "\n";
  }
  return out.str();
}

}  // namespace VevUroro
