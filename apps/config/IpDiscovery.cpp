#include "apps/config/IpDiscovery.h"

#include <cstdlib>
#include <cstring>
#include <set>

#include "apps/config/AddressBytes.h"
#include "apps/config/IpDiscoverySettings.h"
#include "apps/config/MessageBuffer.h"
#include "core/AgentLock.h"
#include "core/Logger.h"
#include "dataplane/DataplaneTkmlink.h"
#include "dataplane/kcp/KcpFormat.h"
#include "dataplane/kcp/KcpReader.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro {

namespace tv = zantix::qor::tolvar;

namespace {

constexpr size_t kHeaderLen = 4;
constexpr size_t kTlvHeaderLen = 4;
constexpr size_t kMaxMessageLen = 0xffff;

constexpr uint32_t kAddressFamilyIpv4 = 4;

// A binding whose address disagrees with its address family (an IPv4 address with family 6, or the reverse) is
// not usable: its record's IPv4 flag, taken from the family, would misdescribe its address bytes. Nor is one whose
// IP message holds no address at all: it would reach the module as "::".
bool Usable(const tv::DaVifAddressBindingMsg& binding) {
  return binding.has_ip() && (binding.ip().has_ipv4() || binding.ip().has_ipv6()) && binding.has_mac() &&
         binding.has_address_family() && (binding.address_family() == kAddressFamilyIpv4) == binding.ip().has_ipv4();
}

void PutU16(std::vector<uint8_t>& out, size_t at, size_t value) {
  kcp::WriteU16(out.data() + at, static_cast<uint16_t>(value));
}

TolvarUpdateMsg RuntimeEntry(const std::string& vifId, uint32_t property, int32_t operation, std::string value) {
  TolvarUpdateMsg entry;
  entry.objectType = tv::VIF_STATE;
  entry.objectId = vifId;
  entry.propertyType = static_cast<int32_t>(property);
  entry.operation = operation;
  entry.value = std::move(value);
  return entry;
}

}  // namespace

LinkFactory TkmlinkFactory() {
  return [](const std::string& channel, DataplaneLink::MessageObserver messages, DataplaneLink::StatusObserver status,
            uint32_t bufferSize) -> boost::intrusive_ptr<DataplaneLink> {
    return new DataplaneTkmlink(channel, std::move(messages), std::move(status), nullptr, bufferSize);
  };
}

IpDiscovery::IpDiscovery(Collaborators collaborators) : _c(std::move(collaborators)) {
  if (!_c.links) _c.links = TkmlinkFactory();
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: Constructor");
}

IpDiscovery::~IpDiscovery() {
  _target->Detach();
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: Destructor");
}

void IpDiscovery::Start(const ConfigTree& subtree) {
  Logger(LOG_LEVEL_INFO, "IpDiscovery: Start called");
  std::string channel = subtree.get<std::string>("features.ipdisc.tkmlink.path", kDefaultChannel);
  _linkUp = false;
  _link = MakeOwnedLink(_c.links, channel, _target, &IpDiscovery::OnSolicitation, &IpDiscovery::OnLinkStatus,
                        kLinkBufferSize);
}

void IpDiscovery::PostStart() {
  if (_link) _link->Start();
}

void IpDiscovery::DetachOwner() {
  AgentLockGuard lock(AgentLock());
  _stopped = true;
  _c.ready = nullptr;
  _c.ports = nullptr;
}

void IpDiscovery::Stop() {
  Logger(LOG_LEVEL_INFO, "IpDiscovery: Stop called");
  DetachOwner();
  CloseLink(_link.get());  // not under the agent lock
  _target->Detach();
}

void IpDiscovery::OnLinkStatus(DataplaneLink*, LinkStatus status) {
  if (status == LinkStatus::UP) {
    Logger(LOG_LEVEL_INFO, "IpDiscovery: DP link status turns to UP");
    _linkUp = true;
  } else {
    Logger(LOG_LEVEL_INFO, "IpDiscovery: DP link status turns to DOWN");
    _linkUp = false;
  }
}

bool IpDiscovery::SelectEffectiveProfile(const std::string& portUuid, int mode, const tv::IpDiscoveryConfigMsg* given,
                                         tv::IpDiscoveryConfigMsg* effective, int* source) const {
  return VevUroro::SelectEffectiveProfile(_c.table, _c.profiles.get(), portUuid, mode, given, effective, source);
}

std::vector<uint8_t> IpDiscovery::BuildGuestBindings(const std::string& portId, const std::string& switchId,
                                                     const tv::DaVifMsg& vif, size_t* usable) {
  const size_t fixed = kHeaderLen + 3 * kTlvHeaderLen + portId.size() + 1 + switchId.size() + 1;
  size_t count = 0;
  for (const auto& binding : vif.bindings()) count += Usable(binding) ? 1 : 0;
  if (fixed > kMaxMessageLen) {
    if (usable) *usable = 0;
    return {};
  }
  // What does not fit the 16-bit lengths is left out rather than split: each message replaces the VIF's list.
  const size_t room = (kMaxMessageLen - fixed) / kGuestBindingRecordLen;
  if (count > room) {
    Logger(LOG_LEVEL_ERROR, "IpDiscovery: guest bindings of VIF %1 cut to %2 of %3 to fit one message", vif.id(), room,
           count)
        .AddTag("errorCode:LCP00001");
    count = room;
  }
  if (usable) *usable = count;
  std::vector<uint8_t> out(fixed + kGuestBindingRecordLen * count, 0);
  PutU16(out, 0, kGuestBindingsType);
  PutU16(out, 2, out.size());
  size_t at = kHeaderLen;
  auto text = [&](uint16_t type, const std::string& value) {
    PutU16(out, at, type);
    PutU16(out, at + 2, kTlvHeaderLen + value.size() + 1);
    std::memcpy(out.data() + at + kTlvHeaderLen, value.data(), value.size());
    at += kTlvHeaderLen + value.size() + 1;
  };
  text(1, portId);
  text(2, switchId);
  PutU16(out, at, 3);
  PutU16(out, at + 2, kTlvHeaderLen + kGuestBindingRecordLen * count);
  at += kTlvHeaderLen;
  size_t written = 0;
  for (const auto& binding : vif.bindings()) {
    if (!Usable(binding)) {
      Logger(LOG_LEVEL_DEBUG, "IpDiscovery: Skipped davif binding item");
      continue;
    }
    if (written == count) break;
    uint8_t* record = out.data() + at;
    record[0] = binding.address_family() == kAddressFamilyIpv4 ? 1 : 0;
    WriteIpBytes(binding.ip(), record + 1);
    WriteMacBytes(binding.mac(), record + 17);
    at += kGuestBindingRecordLen;
    ++written;
  }
  return out;
}

void IpDiscovery::SendGuestBindings(const tv::DaVifMsg& vif) {
  if (!_linkUp) {
    Logger(LOG_LEVEL_INFO, "IpDiscovery: DAVIF_MSG received. Swsec tkmlink not ready.");
    return;
  }
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: Msg quillon bindings to SwSec");
  size_t usable = 0;
  for (const auto& binding : vif.bindings()) usable += Usable(binding) ? 1 : 0;
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: quillon discovered bindings: %1/%2", usable, vif.bindings_size());
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: davif show vif id %1", vif.id());
  ConnectedPort port;
  {
    AgentLockGuard lock(AgentLock());
    if (_stopped || !_c.ports || !_c.ports(vif.id(), &port)) {
      Logger(LOG_LEVEL_INFO, "IpDiscovery: davif contains vif id %1 that is not connected", vif.id());
      return;
    }
    if (port.switchId.empty()) {
      Logger(LOG_LEVEL_INFO, "IpDiscovery: failed to get switch ID");
      return;
    }
  }
  std::vector<uint8_t> message = BuildGuestBindings(port.portId, port.switchId, vif, nullptr);
  if (message.empty()) {
    Logger(LOG_LEVEL_ERROR, "IpDiscovery: port and switch IDs of VIF %1 do not fit a guest-bindings message", vif.id())
        .AddTag("errorCode:LCP00001");
    return;
  }
  _link->Send(CopyToMessageBuffer(message));
}

void IpDiscovery::UpdateDesiredState(const std::list<TolvarUpdateMsg>& entries, bool fullSync) {
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: UpdateDesiredState called, isFullSync = %1, msgs size = %2", fullSync,
         entries.size());
  if (entries.empty() && !fullSync) {
    Logger(LOG_LEVEL_INFO, "IpDiscovery: Received empty msgs from TolvarDb");
    return;
  }
  if (LogEnabled(LOG_LEVEL_INFO)) {
    for (const TolvarUpdateMsg& entry : entries) {
      tv::DaVifMsg vif;
      vif.ParseFromString(entry.value);
      Logger(LOG_LEVEL_INFO, "IpDiscovery: VIF : %1, value : %2, operation : %3", entry.objectId,
             vif.ShortDebugString(), entry.operation);
    }
  }
  AgentLockGuard lock(AgentLock());
  std::set<std::string> seen;
  for (const TolvarUpdateMsg& entry : entries) {
    if (entry.operation != TolvarUpdateMsg::OP_SET && entry.operation != TolvarUpdateMsg::OP_CLEAR) {
      Logger(LOG_LEVEL_ERROR, "IpDiscovery: DaVif invalid op %1, not caching or writing to StateCache", entry.operation)
          .AddTag("errorCode:LCP00001");
      continue;
    }
    if (entry.value.empty()) {
      Logger(LOG_LEVEL_ERROR, "IpDiscovery: received empty property valuefrom TolvarDb");
    }
    tv::DaVifMsg vif;
    vif.ParseFromString(entry.value);
    if (vif.id().empty()) vif.set_id(entry.objectId);
    Logger(LOG_LEVEL_DEBUG, "IpDiscovery: DaVifMsg id : %1", vif.id());
    if (entry.operation == TolvarUpdateMsg::OP_CLEAR) {
      // The guest no longer reports bindings: the module gets an empty list, not the removed object's old one.
      tv::DaVifMsg cleared;
      cleared.set_id(vif.id());
      SendGuestBindings(cleared);
      continue;
    }
    SendGuestBindings(vif);
    if (fullSync) seen.insert(vif.id());
  }
  if (fullSync) {
    for (const std::string& vifId : VifsWithGuestBindings()) {
      if (seen.count(vifId)) continue;
      if (_stopped || !_c.ports || !_c.ports(vifId, nullptr)) {
        Logger(LOG_LEVEL_DEBUG, "IpDiscovery: full sync delete VIF %1 not found in local cache", vifId);
        continue;
      }
      Logger(LOG_LEVEL_DEBUG, "IpDiscovery: UpdateDesiredState : full sync scenario for VIF : %1", vifId);
      tv::DaVifMsg empty;
      empty.set_id(vifId);
      SendGuestBindings(empty);
    }
  }
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: UpdateDesiredState done");
}

std::vector<std::string> IpDiscovery::VifsWithGuestBindings() const {
  std::vector<std::string> vifs;
  if (!_c.table) return vifs;
  for (const StateCacheRecord& record : _c.table->RuntimeRecords(tv::VIF_STATE)) {
    if (record.propertyType != tv::Property::VIF_IP_DISCOVEREDBINDING) continue;
    tv::VifStateMsg state;
    if (!state.ParseFromString(record.value)) continue;
    for (const auto& binding : state.discovered_bindings()) {
      if (binding.discovery_source() == kGuestDiscoverySource) {
        vifs.push_back(record.objectId);
        break;
      }
    }
  }
  return vifs;
}

void IpDiscovery::OnSolicitation(const uint8_t* message, int length) {
  if (length < static_cast<int>(kHeaderLen)) {
    Logger(LOG_LEVEL_WARN, "IpDiscovery: DP MSG length shorter than expected.");
    return;
  }
  if (kcp::ReadU16(message) != kSolicitationType) {
    Logger(LOG_LEVEL_WARN, "IpDiscovery: DP MSG type not supported");
    return;
  }
  // The last byte stands for the terminating NUL; the text ends at the first NUL before it.
  std::string vifId(reinterpret_cast<const char*>(message) + kHeaderLen, static_cast<size_t>(length) - kHeaderLen);
  if (!vifId.empty()) vifId.back() = '\0';
  vifId.resize(std::strlen(vifId.c_str()));
  if (vifId.empty()) {
    Logger(LOG_LEVEL_WARN, "IpDiscovery: DP MSG length shorter than expected.");
    return;
  }
  Logger(LOG_LEVEL_INFO, "IpDiscovery: Received DP quillon binding solicitation. vif ID: %1", vifId);
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: Query tolvar for davif.");
  if (!_c.database) return;
  tv::DaVifMsg key;
  key.set_id(vifId);
  tv::ObjectRequestMsg request;
  request.set_object_type(tv::DA_VIF);
  std::string id;
  qor::tolvar::ObjectIdBytes(key, &id);
  request.set_object_id(id);
  qor::RefPtr<IpDiscovery> self(this);
  _c.database->Get({request}, [self](const std::vector<tv::TypedObjectMsg>& objects, const qor::rpc::Status& status) {
    self->OnDaVifFetched(objects, status);
  });
}

void IpDiscovery::OnDaVifFetched(const std::vector<tv::TypedObjectMsg>& objects, const qor::rpc::Status& status) {
  if (!status.ok()) {
    Logger(LOG_LEVEL_INFO, "IpDiscovery: Tolvar get failed.");
    return;
  }
  if (objects.size() != 1) {
    Logger(LOG_LEVEL_INFO, "IpDiscovery: No da_vif found.");
    return;
  }
  tv::DaVifMsg vif;
  vif.ParseFromString(objects.front().object_body());
  Logger(LOG_LEVEL_INFO, "IpDiscovery: retrieved da_vif from tolvarDB with binding sz = %1", vif.bindings_size());
  SendGuestBindings(vif);
}

uint32_t IpDiscovery::DiscoverySource(uint8_t method) {
  switch (method) {
    case 1:
      return 3;
    case 2:
      return 2;
    case 8:
      return 5;
    case 16:
      return 6;
    case 32:
      return 4;
    case 64:
      return 7;
    default:
      return 0;
  }
}

tv::VifStateMsg IpDiscovery::BindingsMessage(const std::string& vifId, const kcp::KcpProperty& property) {
  tv::VifStateMsg state;
  state.set_id(vifId);
  for (const kcp::DiscoveredBinding& binding : kcp::DecodeBindingsProperty(property)) {
    tv::VifDiscoveredBindingMsg* out = state.add_discovered_bindings();
    if (binding.IsIpv4()) {
      Logger(LOG_LEVEL_DEBUG, "IpDiscovery: Setting v4 address");
      out->mutable_ip()->set_ipv4(kcp::ReadU32(binding.ip.data()));
    } else {
      Logger(LOG_LEVEL_DEBUG, "IpDiscovery: Setting v6 address");
      out->mutable_ip()->set_ipv6(std::string(reinterpret_cast<const char*>(binding.ip.data()), binding.ip.size()));
    }
    uint64_t mac = 0;
    for (uint8_t byte : binding.mac) mac = (mac << 8) | byte;
    out->mutable_mac()->set_mac(mac);
    out->set_vlan(binding.vlanId);
    if (uint32_t source = DiscoverySource(binding.method)) {
      out->set_discovery_source(source);
    } else {
      Logger(LOG_LEVEL_ERROR, "IP Discovery: Received unsupported discovery source binding from datapath")
          .AddTag("errorCode:LCP00001");
    }
    out->set_timestamp(binding.timestamp);
  }
  return state;
}

tv::VifStateMsg IpDiscovery::VifStateFor(const std::string& vifId) const {
  tv::VifStateMsg state;
  state.set_id(vifId);
  ConnectedPort port;
  if (_c.ports && _c.ports(vifId, &port) && port.IsContainer()) {
    Logger(LOG_LEVEL_INFO, "IpDiscovery: InitVifStateMsgByVifID container vif %1", vifId);
    state.set_vif_type(3);
  }
  return state;
}

void IpDiscovery::ProcessIpDiscList(const std::vector<IpDiscoveryInput>& inputs, bool isVifFullSync) {
  AgentLockGuard lock(AgentLock());
  if (_stopped) return;
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: ProcessIpDiscList called, isVifFullSync = %1", isVifFullSync);
  std::list<TolvarUpdateMsg> updates;
  for (const IpDiscoveryInput& input : inputs) {
    for (const kcp::KcpProperty& property : input.bindings) {
      Logger(LOG_LEVEL_INFO, "IpDiscovery: ProcessIpDiscList, received , update related to VIF : %1, operation : %2",
             input.vifId, input.operation);
      tv::VifStateMsg state = VifStateFor(input.vifId);
      if (input.operation == kcp::KCP_OP_DELETE) {
        Logger(LOG_LEVEL_DEBUG, "IpDiscovery: ProcessIpDiscList, KCP_OP_DELETE");
      } else {
        Logger(LOG_LEVEL_DEBUG, "IpDiscovery: ProcessIpDiscList, KCP_OP_UPDATE");
        *state.mutable_discovered_bindings() = BindingsMessage(input.vifId, property).discovered_bindings();
      }
      updates.push_back(RuntimeEntry(input.vifId, tv::Property::VIF_IP_DISCOVEREDBINDING, TolvarUpdateMsg::OP_SET,
                                     state.SerializeAsString()));
    }
  }
  // Container interfaces: the object must exist before its property is written, and goes with its last binding.
  std::list<TolvarUpdateMsg> front;
  for (auto it = updates.begin(); it != updates.end();) {
    ConnectedPort port;
    if (!_c.ports || !_c.ports(it->objectId, &port) || !port.IsContainer()) {
      ++it;
      continue;
    }
    tv::VifStateMsg state;
    state.ParseFromString(it->value);
    if (state.discovered_bindings_size() > 0) {
      std::string existing;
      if (!_c.table->QueryRuntimeState(it->objectId, 0, &existing)) {
        Logger(LOG_LEVEL_DEBUG, "IpDiscovery: Add invalid property with Vif %1", it->objectId);
        // The whole object carries the VIF ID and its container type rather than an empty value, so that the
        // database object says what it is.
        tv::VifStateMsg object;
        object.set_id(it->objectId);
        object.set_vif_type(3);
        front.push_back(RuntimeEntry(it->objectId, 0, TolvarUpdateMsg::OP_SET, object.SerializeAsString()));
      }
      ++it;
      continue;
    }
    Logger(LOG_LEVEL_DEBUG, "IpDiscovery: no discovery binding with vif %1", it->objectId);
    if (!isVifFullSync) {
      _c.table->UpdateRuntimeState({RuntimeEntry(it->objectId, 0, TolvarUpdateMsg::OP_CLEAR, std::string())}, false);
    }
    it = updates.erase(it);
  }
  updates.splice(updates.begin(), front);
  if (!isVifFullSync) {
    Logger(LOG_LEVEL_DEBUG, "IpDiscovery: ProcessIpDiscList, full sync done , updating runtime state directly");
    if (!updates.empty()) _c.table->UpdateRuntimeState(updates, false);
  } else {
    Logger(LOG_LEVEL_DEBUG, "IpDiscovery: ProcessIpDiscList, full sync scenario, not updating runtime state directly");
    if (_c.ready) _c.ready(std::move(updates), false);
  }
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: ProcessIpDiscList done");
}

void IpDiscovery::ProcessVifUpdate(const std::list<TolvarUpdateMsg>& connections, bool isVifFullSync) {
  AgentLockGuard lock(AgentLock());
  if (_stopped) return;
  Logger(LOG_LEVEL_INFO, "IpDiscovery: ProcessVifUpdate with upds size : %1, isVifFullSync : %2", connections.size(),
         isVifFullSync);
  if (isVifFullSync) {
    Logger(LOG_LEVEL_DEBUG, "IpDiscovery: ProcessVifUpdate, full sync scenario, not updating runtime state directly");
    if (_c.ready) _c.ready({}, true);
  }
  Logger(LOG_LEVEL_DEBUG, "IpDiscovery: ProcessVifUpdate Done");
}

}  // namespace VevUroro
