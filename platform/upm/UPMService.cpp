#include "platform/upm/UPMService.h"

#include "platform/PlatformLog.h"
#include "platform/tolvar/TolvarSchema.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace qor::upm {

namespace tv = zantix::qor::tolvar;
using VevUroro::LOG_LEVEL_DEBUG;
using VevUroro::LOG_LEVEL_ERROR;
using VevUroro::LOG_LEVEL_INFO;

namespace {

tv::MonitorStatementMsg Statement(uint32_t type) {
  tv::MonitorStatementMsg statement;
  statement.mutable_statement()->set_object_type(static_cast<tv::ObjectType>(type));
  return statement;
}

std::vector<tv::MonitorStatementMsg> Statements() {
  return {Statement(tv::PROFILE), Statement(tv::LOG_SWITCH_CONFIG), Statement(tv::LOG_SWITCH_PORT_CONFIG),
          Statement(tv::TRANSPORT_NODE_CONFIG)};
}

std::vector<std::string> Ids(const google::protobuf::RepeatedPtrField<tv::UuidMsg>& ids) {
  std::vector<std::string> out;
  for (const tv::UuidMsg& id : ids) out.push_back(id.SerializeAsString());
  return out;
}

constexpr ProfileUpdate::EntityKind kPort = ProfileUpdate::kLogicalSwitchPort;
constexpr ProfileUpdate::EntityKind kNode = ProfileUpdate::kTransportNode;

}  // namespace

UPMService::UPMService(std::string name) : UPMService(std::move(name), nullptr) {}

UPMService::UPMService(std::string name, std::shared_ptr<tolvar::TolvarDbClientInterface> client, uint32_t vdb)
    : _name(std::move(name)), _client(std::move(client)), _vdb(vdb) {}

UPMService::~UPMService() {
  Stop();
}

bool UPMService::Start() {
  if (_running.exchange(true)) return true;
  QOR_LIB_LOG(library_log_level, LOG_LEVEL_INFO, "UPMService: %1 started", _name);
  if (!_client) return true;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _resync = true;
    _incoming = State();
  }
  std::weak_ptr<UPMService> weak = weak_from_this();
  _client->AddChannelStatusObserver([weak](bool up) {
    if (auto self = weak.lock()) self->OnChannelStatus(up);
  });
  _client->RegisterCallbacks(
      kMonitorId,
      [weak](const tv::MonitorUpdateMsg& update) {
        if (auto self = weak.lock()) self->OnUpdate(update);
      },
      [weak] {
        if (auto self = weak.lock()) self->OnBarrier();
      },
      _vdb);
  if (!_client->ConfigureMonitors(Statements(), {}, kMonitorId, _vdb)) {
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_ERROR, "UPMService: %1 failed to register its monitor", _name);
    return false;
  }
  return true;
}

void UPMService::Stop() {
  if (!_running.exchange(false)) return;
  if (_client) {
    _client->ConfigureMonitors({}, Statements(), kMonitorId, _vdb);
    _client->RegisterCallbacks(kMonitorId, nullptr, nullptr, _vdb);
  }
  {
    std::lock_guard<std::recursive_mutex> lock(_callbackMutex);
    std::lock_guard<std::mutex> listLock(_callbackListMutex);
    _callbacks.clear();
  }
  QOR_LIB_LOG(library_log_level, LOG_LEVEL_INFO, "UPMService: %1 stopped", _name);
}

void UPMService::OnChannelStatus(bool up) {
  if (up) return;
  std::lock_guard<std::mutex> lock(_mutex);
  // Whatever changed meanwhile, the next connection brings the whole state again.
  _resync = true;
  _incoming = State();
  _touched.clear();
}

void UPMService::Apply(State& state, const tv::MonitorUpdateMsg& update, std::set<Entity>* touched) {
  const uint32_t type = static_cast<uint32_t>(update.object_type());
  const bool removed = update.new_object_body().empty();
  auto object = tolvar::NewObject(type);
  if (!object) return;
  const std::string& body = removed ? update.old_object_body() : update.new_object_body();
  std::string id;
  if (!object->ParseFromString(body) || !tolvar::ObjectIdBytes(*object, &id)) {
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_ERROR, "UPMService: unreadable %1 update", tolvar::ObjectTypeName(type));
    return;
  }
  auto touchSwitch = [&](const std::string& switchId) {
    auto ports = state.switchPorts.find(switchId);
    if (!touched || ports == state.switchPorts.end()) return;
    for (const std::string& port : ports->second) touched->insert({kPort, port});
  };
  switch (type) {
    case tv::PROFILE: {
      if (removed) {
        state.profiles.erase(id);
      } else {
        state.profiles[id] = static_cast<const tv::ProfileMsg&>(*object);
      }
      if (!touched) return;
      // A profile concerns the ports and nodes that name it and the ports of the switches that name it.
      for (const auto& [portId, port] : state.ports) {
        for (const std::string& p : port.profileIds) {
          if (p == id) touched->insert({kPort, portId});
        }
      }
      for (const auto& [nodeId, profiles] : state.nodes) {
        for (const std::string& p : profiles) {
          if (p == id) touched->insert({kNode, nodeId});
        }
      }
      for (const auto& [switchId, profiles] : state.switches) {
        for (const std::string& p : profiles) {
          if (p == id) touchSwitch(switchId);
        }
      }
      return;
    }
    case tv::LOG_SWITCH_CONFIG: {
      const auto& ls = static_cast<const tv::LogSwitchConfigMsg&>(*object);
      if (removed) {
        state.switches.erase(id);
      } else {
        state.switches[id] = Ids(ls.profile_ids());
      }
      touchSwitch(id);
      return;
    }
    case tv::LOG_SWITCH_PORT_CONFIG: {
      const auto& lsp = static_cast<const tv::LogSwitchPortConfigMsg&>(*object);
      auto old = state.ports.find(id);
      if (old != state.ports.end()) {
        auto members = state.switchPorts.find(old->second.switchId);
        if (members != state.switchPorts.end()) {
          members->second.erase(id);
          if (members->second.empty()) state.switchPorts.erase(members);
        }
      }
      if (removed) {
        state.ports.erase(id);
      } else {
        Port& port = state.ports[id];
        port.switchId = lsp.has_switch_id() ? lsp.switch_id().SerializeAsString() : std::string();
        port.profileIds = Ids(lsp.profile_ids());
        if (!port.switchId.empty()) state.switchPorts[port.switchId].insert(id);
      }
      if (touched) touched->insert({kPort, id});
      return;
    }
    case tv::TRANSPORT_NODE_CONFIG: {
      if (removed) {
        state.nodes.erase(id);
      } else {
        state.nodes[id] = Ids(static_cast<const tv::TransportNodeConfigMsg&>(*object).profile_ids());
      }
      if (touched) touched->insert({kNode, id});
      return;
    }
    default:
      return;
  }
}

const tv::ProfileMsg* UPMService::Find(const State& state, const Entity& entity, uint32_t type) {
  auto first = [&](const std::vector<std::string>& ids) -> const tv::ProfileMsg* {
    for (const std::string& id : ids) {
      auto profile = state.profiles.find(id);
      if (profile != state.profiles.end() && profile->second.profile_type() == type) return &profile->second;
    }
    return nullptr;
  };
  if (entity.first == kNode) {
    auto node = state.nodes.find(entity.second);
    return node == state.nodes.end() ? nullptr : first(node->second);
  }
  auto port = state.ports.find(entity.second);
  if (port == state.ports.end()) return nullptr;
  if (const tv::ProfileMsg* own = first(port->second.profileIds)) return own;
  auto ls = state.switches.find(port->second.switchId);
  return ls == state.switches.end() ? nullptr : first(ls->second);
}

UPMService::Effective UPMService::Compute(const State& state, const std::set<Entity>* entities) {
  std::set<uint32_t> types;
  for (const auto& [id, profile] : state.profiles) types.insert(profile.profile_type());
  Effective out;
  auto one = [&](const Entity& entity) {
    for (uint32_t type : types) {
      if (const tv::ProfileMsg* profile = Find(state, entity, type)) {
        out[{entity.first, entity.second, type}] = tolvar::DeterministicBytes(*profile);
      }
    }
  };
  if (entities) {
    for (const Entity& entity : *entities) one(entity);
  } else {
    for (const auto& [portId, port] : state.ports) one({kPort, portId});
    for (const auto& [nodeId, profiles] : state.nodes) one({kNode, nodeId});
  }
  return out;
}

void UPMService::OnUpdate(const tv::MonitorUpdateMsg& update) {
  std::lock_guard<std::mutex> lock(_mutex);
  if (_resync) {
    Apply(_incoming, update, nullptr);
  } else {
    Apply(_state, update, &_touched);
  }
}

void UPMService::OnBarrier() {
  std::map<uint32_t, std::vector<ProfileUpdate>> updates;
  bool fullSync = false;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    auto add = [&updates](ProfileUpdate::EntityKind kind, const std::string& id, uint32_t type,
                          const std::string* bytes) {
      ProfileUpdate update;
      update.entityId = id;
      update.entityKind = kind;
      update.profileType = type;
      update.operation = bytes ? ProfileUpdate::kSet : ProfileUpdate::kDelete;
      if (bytes) update.profile.ParseFromString(*bytes);
      updates[type].push_back(std::move(update));
    };
    if (_resync) {
      _state = std::move(_incoming);
      _incoming = State();
      _resync = false;
      _touched.clear();
      _effective = Compute(_state, nullptr);
      fullSync = true;
      for (const auto& [key, bytes] : _effective) add(std::get<0>(key), std::get<1>(key), std::get<2>(key), &bytes);
      QOR_LIB_LOG(library_log_level, LOG_LEVEL_INFO, "UPMService: %1 read %2 profiles, %3 effective profiles", _name,
                  _state.profiles.size(), _effective.size());
    } else if (!_touched.empty()) {
      Effective now = Compute(_state, &_touched);
      for (const Entity& entity : _touched) {
        // Named copies: lambdas cannot capture structured bindings with every compiler in use.
        const ProfileUpdate::EntityKind kind = entity.first;
        const std::string& id = entity.second;
        const auto from = std::make_tuple(kind, id, uint32_t{0});
        auto same = [&](const auto& it, const Effective& map) {
          return it != map.end() && std::get<0>(it->first) == kind && std::get<1>(it->first) == id;
        };
        std::set<uint32_t> types;
        for (auto it = _effective.lower_bound(from); same(it, _effective); ++it) types.insert(std::get<2>(it->first));
        for (auto it = now.lower_bound(from); same(it, now); ++it) types.insert(std::get<2>(it->first));
        for (uint32_t type : types) {
          const auto key = std::make_tuple(kind, id, type);
          auto old = _effective.find(key);
          auto fresh = now.find(key);
          if (fresh == now.end()) {
            add(kind, id, type, nullptr);
            _effective.erase(old);
          } else if (old == _effective.end() || old->second != fresh->second) {
            add(kind, id, type, &fresh->second);
            _effective[key] = fresh->second;
          }
        }
      }
      _touched.clear();
    }
  }
  Deliver(updates, fullSync);
}

void UPMService::Deliver(const std::map<uint32_t, std::vector<ProfileUpdate>>& updates, bool fullSync) {
  std::lock_guard<std::recursive_mutex> lock(_callbackMutex);
  static const std::vector<ProfileUpdate> kNone;
  // Copied: a callback may register or unregister callbacks.
  std::map<uint64_t, std::pair<uint32_t, ProfileCallback>> callbacks;
  {
    std::lock_guard<std::mutex> listLock(_callbackListMutex);
    callbacks = _callbacks;
  }
  for (const auto& [id, entry] : callbacks) {
    {
      std::lock_guard<std::mutex> listLock(_callbackListMutex);
      if (!_callbacks.count(id)) continue;
    }
    auto list = updates.find(entry.first);
    if (!fullSync && list == updates.end()) continue;
    QOR_LIB_LOG(library_log_level, LOG_LEVEL_DEBUG, "UPMService: %1 profile updates of type %2, fullSync %3",
                list == updates.end() ? 0 : list->second.size(), entry.first, fullSync);
    entry.second(list == updates.end() ? kNone : list->second, fullSync);
  }
}

bool UPMService::GetEffectiveProfile(const std::string& lspId, uint32_t profileType, tv::ProfileMsg* profile) const {
  std::lock_guard<std::mutex> lock(_mutex);
  const tv::ProfileMsg* found = Find(_state, {kPort, lspId}, profileType);
  if (!found) return false;
  if (profile) *profile = *found;
  return true;
}

std::map<std::string, tv::ProfileMsg> UPMService::EffectiveProfiles(uint32_t profileType) const {
  std::lock_guard<std::mutex> lock(_mutex);
  std::map<std::string, tv::ProfileMsg> out;
  for (const auto& [portId, port] : _state.ports) {
    if (const tv::ProfileMsg* profile = Find(_state, {kPort, portId}, profileType)) out[portId] = *profile;
  }
  return out;
}

bool UPMService::Synced() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return !_resync;
}

uint64_t UPMService::RegisterCallback(uint32_t profileType, ProfileCallback callback) {
  std::lock_guard<std::mutex> lock(_callbackListMutex);
  uint64_t id = _nextCallback++;
  _callbacks[id] = {profileType, std::move(callback)};
  return id;
}

void UPMService::UnregisterCallback(uint64_t id) {
  std::lock_guard<std::recursive_mutex> lock(_callbackMutex);
  std::lock_guard<std::mutex> listLock(_callbackListMutex);
  _callbacks.erase(id);
}

}  // namespace qor::upm
