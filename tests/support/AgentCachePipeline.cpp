#include "support/AgentCachePipeline.h"

#include <algorithm>
#include <sstream>

#include "intake/Decoder.h"
#include "platform/tolvar/TolvarSchema.h"
#include "support/Wait.h"
#include "zantix/qor/tolvar/objecttype.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace qor::test {
namespace {

namespace tv = zantix::qor::tolvar;
using VevUroro::StateCacheChange;
using VevUroro::StateCacheChangeList;
using VevUroro::StateCacheRecord;
using VevUroro::TolvarUpdateMsg;

std::vector<CacheRow> Rows(const std::vector<StateCacheRecord>& records) {
  std::vector<CacheRow> rows;
  rows.reserve(records.size());
  for (const StateCacheRecord& r : records) rows.emplace_back(r.objectType, r.objectId, r.propertyType, r.value);
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::string RowText(const CacheRow& row) {
  const auto& [type, id, property, value] = row;
  std::ostringstream out;
  out << qor::tolvar::ObjectTypeName(type) << " " << qor::tolvar::ObjectIdText(type, id) << " "
      << (property == 0 ? std::string("(object)") : qor::tolvar::PropertyTypeName(property)) << " value "
      << value.size() << " bytes";
  return out.str();
}

void CompareRows(const char* table, const std::vector<CacheRow>& expected, const std::vector<CacheRow>& actual,
                 const std::string& expectedName, const std::string& actualName, std::string* out) {
  std::vector<CacheRow> missing, extra;
  std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(), std::back_inserter(missing));
  std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(), std::back_inserter(extra));
  auto list = [&](const std::vector<CacheRow>& rows, const std::string& only) {
    if (rows.empty()) return;
    *out += "\n  " + std::string(table) + ": " + std::to_string(rows.size()) + " records only in " + only + ":";
    for (size_t i = 0; i < rows.size() && i < 6; ++i) *out += "\n    " + RowText(rows[i]);
  };
  list(missing, expectedName);
  list(extra, actualName);
}

bool Targets(uint32_t type, VevUroro::ComponentType component) {
  auto targets = VevUroro::Decoder::Targets(type);
  return std::find(targets.begin(), targets.end(), component) != targets.end();
}

}  // namespace

std::string CompareCacheTables(const CacheTables& expected, const CacheTables& actual, const std::string& expectedName,
                               const std::string& actualName) {
  std::string out;
  CompareRows("configuration table", expected.config, actual.config, expectedName, actualName, &out);
  CompareRows("L2 table", expected.l2, actual.l2, expectedName, actualName, &out);
  CompareRows("L3 table", expected.l3, actual.l3, expectedName, actualName, &out);
  return out;
}

// Component BFD: counts full syncs and keeps the last marker seen.
class AgentCachePipeline::MarkerProbe : public qor::RefCounted<MarkerProbe, VevUroro::Component> {
 public:
  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& updates, uint8_t fullSync) override {
    std::lock_guard<std::mutex> lock(_mutex);
    if (fullSync) ++_fullSyncs;
    for (const TolvarUpdateMsg& entry : updates) {
      tv::BfdGlobalConfigMsg marker;
      if (entry.objectType == tv::BFD_GLOBAL_CONFIG && entry.operation == TolvarUpdateMsg::OP_SET &&
          marker.ParseFromString(entry.value)) {
        _marker = marker.min_rx_interval();
      }
    }
  }
  uint32_t Marker() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _marker;
  }
  int FullSyncs() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _fullSyncs;
  }

 private:
  std::mutex _mutex;
  uint32_t _marker = 0;
  int _fullSyncs = 0;
};

// Replays the notifications of the three tables. Keys follow the tables: the configuration table holds one record
// per (object, property); the L2 table one per element value; the L3 table one per scalar property and one per
// list element value.
class AgentCachePipeline::Mirror : public VevUroro::SCConfigTableObserver,
                                   public VevUroro::SCL2TableObserver,
                                   public VevUroro::SCL3TableObserver {
 public:
  explicit Mirror(VevUroro::StateCache& cache) : _cache(cache) {
    for (uint32_t type : qor::tolvar::AllObjectTypes()) {
      if (Targets(type, VevUroro::CONFIGCACHE)) {
        _cache.ConfigTable()->RegisterDesiredStateObserver(type, this);
        _configTypes.push_back(type);
      }
      if (Targets(type, VevUroro::L2CACHE)) {
        _cache.L2Table()->RegisterDesiredStateObserver(type, this);
        _l2Types.push_back(type);
      }
      if (Targets(type, VevUroro::L3CACHE)) {
        _cache.L3Table()->RegisterDesiredStateObserver(type, this);
        _l3Types.push_back(type);
      }
    }
  }
  ~Mirror() override {
    for (uint32_t type : _configTypes) _cache.ConfigTable()->UnregisterDesiredStateObserver(type, this);
    for (uint32_t type : _l2Types) _cache.L2Table()->UnregisterDesiredStateObserver(type, this);
    for (uint32_t type : _l3Types) _cache.L3Table()->UnregisterDesiredStateObserver(type, this);
  }

  void OnConfigDesiredStateChanged(const StateCacheChangeList& changes, bool, bool) override {
    Replay(_config, changes, [](const StateCacheChange&) { return false; });
  }
  void OnL2DesiredStateChanged(const StateCacheChangeList& changes, bool) override {
    Replay(_l2, changes, [](const StateCacheChange& c) { return c.entry.propertyType != 0; });
  }
  void OnL3DesiredStateChanged(const StateCacheChangeList& changes, bool) override {
    Replay(_l3, changes, [](const StateCacheChange& c) {
      return c.entry.operation == TolvarUpdateMsg::OP_INSERT || c.entry.operation == TolvarUpdateMsg::OP_REMOVE;
    });
  }

  CacheTables Tables() {
    std::lock_guard<std::mutex> lock(_mutex);
    return CacheTables{Values(_config), Values(_l2), Values(_l3)};
  }

 private:
  using Key = std::tuple<uint32_t, std::string, uint32_t, std::string>;
  using Table = std::map<Key, std::string>;

  template <typename ByValue>
  void Replay(Table& table, const StateCacheChangeList& changes, ByValue byValue) {
    std::lock_guard<std::mutex> lock(_mutex);
    for (const StateCacheChange& change : changes) {
      const TolvarUpdateMsg& e = change.entry;
      const bool valued = byValue(change);
      auto key = [&](const std::string& value) {
        return Key{static_cast<uint32_t>(e.objectType), e.objectId, static_cast<uint32_t>(e.propertyType),
                   valued ? value : std::string()};
      };
      if (change.IsRemoval()) {
        table.erase(key(e.value));
        continue;
      }
      if (change.hasOld) table.erase(key(change.oldValue));
      table[key(e.value)] = e.value;
    }
  }
  static std::vector<CacheRow> Values(const Table& table) {
    std::vector<CacheRow> rows;
    for (const auto& [key, value] : table)
      rows.emplace_back(std::get<0>(key), std::get<1>(key), std::get<2>(key), value);
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  VevUroro::StateCache& _cache;
  std::vector<uint32_t> _configTypes, _l2Types, _l3Types;
  std::mutex _mutex;
  Table _config, _l2, _l3;
};

AgentCachePipeline::AgentCachePipeline(const std::string& endpoint, bool mirrors)
    : _queue(VevUroro::MakeUpdateQueue()), _dispatcher(new VevUroro::MsgDispatcher(_queue)), _probe(new MarkerProbe()) {
  _cache.RegisterWith(*_dispatcher);
  _dispatcher->Register(VevUroro::BFD, qor::RefPtr<VevUroro::Component>(_probe.get()));
  if (mirrors) _mirror = std::make_unique<Mirror>(_cache);
  // The dispatcher's own loop body, on a thread of this pipeline: no worker group needed.
  _dispatchThread = std::thread([this] {
    VevUroro::Transaction transaction;
    while (_queue->Get(transaction)) {
      _dispatcher->Dispatch(std::move(transaction));
      transaction = VevUroro::Transaction();
    }
  });
  _client =
      new VevUroro::TolvarClient(VevUroro::TolvarClientSettings::ForPersona(3, endpoint), _queue, &_cache, nullptr);
  _client->LibraryClient()->SetBackoff(std::chrono::milliseconds(10), std::chrono::milliseconds(100));
  _client->LibraryClient()->SetCallTimeout(std::chrono::seconds(20));
  _client->Start();
}

AgentCachePipeline::~AgentCachePipeline() {
  _client->Stop();
  _queue->Close();
  _dispatchThread.join();
  _mirror.reset();
}

bool AgentCachePipeline::WaitFullSync(std::chrono::milliseconds bound) {
  return WaitFor([&] { return _probe->FullSyncs() > 0; }, bound);
}

bool AgentCachePipeline::WaitMarker(uint32_t marker, std::chrono::milliseconds bound) {
  return WaitFor([&] { return _probe->Marker() >= marker; }, bound);
}

CacheTables AgentCachePipeline::Tables() const {
  std::vector<StateCacheRecord> config, l3;
  std::vector<VevUroro::StateCacheL2Table::Record> l2;
  _cache.ConfigTable()->CopyDesired(&config, SIZE_MAX);
  _cache.L2Table()->CopyDesired(&l2, SIZE_MAX);
  _cache.L3Table()->CopyDesired(&l3, SIZE_MAX);
  std::vector<StateCacheRecord> l2Records;
  l2Records.reserve(l2.size());
  for (auto& element : l2) l2Records.push_back(std::move(element.record));
  return CacheTables{Rows(config), Rows(l2Records), Rows(l3)};
}

CacheTables AgentCachePipeline::Mirrors() const {
  return _mirror ? _mirror->Tables() : CacheTables{};
}

tv::ModifyRequestMsg AgentCachePipeline::MarkerRequest(uint32_t marker) {
  tv::BfdGlobalConfigMsg object;
  object.mutable_id()->set_high(0x6d61726b6572);  // "marker"
  object.set_min_rx_interval(marker);
  tv::ModifyRequestMsg request;
  request.mutable_modify()->mutable_put()->mutable_object()->set_object_type(tv::BFD_GLOBAL_CONFIG);
  request.mutable_modify()->mutable_put()->mutable_object()->set_object_body(object.SerializeAsString());
  return request;
}

}  // namespace qor::test
