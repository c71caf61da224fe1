// VevUroro::IpDiscovery: carries VM address bindings between the datapath's VIF reports, the VIFs' runtime state
// and the switch-security module of the datapath.
//
//   - Discovered bindings reported by the datapath (VIF property 3) become VIF_STATE runtime entries (property 250,
//     VifStateMsg). During a datapath full sync they go to the configuration application's ready callback, which
//     writes the runtime state as one full sync; afterwards they are written to the configuration table directly.
//   - Guest-reported bindings (DA_VIF objects from the database) are sent to the switch-security module on its own
//     channel as guest-bindings messages; the module may ask for a VIF's bindings with a binding solicitation, which
//     is answered from the database.
//
// Switch-security channel messages (integers big-endian): a 4-byte header (type, total length). Guest bindings
// (type 1, agent to datapath): TLV 1 the port ID + NUL, TLV 2 the switch ID + NUL, TLV 3 the usable bindings, 23
// bytes each (IPv4 flag, 16 address bytes, 6 MAC bytes); every TLV length counts its 4-byte header. Binding
// solicitation (type 2, datapath to agent): the VIF ID as text from byte 4 to the first NUL, the last byte read as
// a NUL. A binding is usable when its IP address (IPv4 or IPv6), MAC and address family are all present and the
// address agrees with the family (the IPv4 flag is 1 when the family is 4). Limits: a list that would not fit the
// 16-bit lengths is cut to the bindings that fit (logged); a solicitation without a VIF ID is dropped (logged).
//
// Owned by the configuration application, which drives it; `ready` and `ports` call back into that application.
// Threads: UpdateDesiredState on the dispatcher thread, ProcessIpDiscList and ProcessVifUpdate on the datapath
// link's receive thread, solicitations on the switch-security link's receive thread, database completions on the
// database client's thread; the handlers take the agent lock (recursive). Held by qor::RefPtr.
#pragma once

#include <boost/intrusive_ptr.hpp>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "apps/config/CallTarget.h"
#include "apps/config/ConfigDatabase.h"
#include "apps/config/IDVSPropConvertor.h"
#include "cache/StateCacheConfigTable.h"
#include "core/TolvarUpdateMsg.h"
#include "core/startup/ConfigTree.h"
#include "dataplane/DataplaneLink.h"
#include "dataplane/kcp/KcpMessage.h"
#include "platform/RefCounted.h"
#include "platform/upm/ProfileQuery.h"
#include "zantix/qor/tolvar/runtime.pb.h"
#include "zantix/qor/tolvar/services.pb.h"

namespace VevUroro {

// Creates a kernel link (production: a DataplaneTkmlink on the channel). Shared by the configuration application
// and IP discovery, so that tests hand both their own links.
using LinkFactory = std::function<boost::intrusive_ptr<DataplaneLink>(
    const std::string& channel, DataplaneLink::MessageObserver messages, DataplaneLink::StatusObserver status,
    uint32_t bufferSize)>;
LinkFactory TkmlinkFactory();

// A link from `links` whose observers call `owner`'s handlers through its call target (so that a link outliving its
// owner calls nothing).
template <typename Owner>
boost::intrusive_ptr<DataplaneLink> MakeOwnedLink(const LinkFactory& links, const std::string& channel,
                                                  std::shared_ptr<CallTarget<Owner>> target,
                                                  void (Owner::*onMessage)(const uint8_t*, int),
                                                  void (Owner::*onStatus)(DataplaneLink*, LinkStatus),
                                                  uint32_t bufferSize) {
  return links(
      channel,
      [target, onMessage](const uint8_t* message, int length) {
        target->Call([&](Owner& owner) { (owner.*onMessage)(message, length); });
      },
      [target, onStatus](DataplaneLink* link, LinkStatus status) {
        target->Call([&](Owner& owner) { (owner.*onStatus)(link, status); });
      },
      bufferSize);
}

// The discovered bindings of one VIF record, as the datapath reported them.
struct IpDiscoveryInput {
  std::string vifId;
  std::vector<kcp::KcpProperty> bindings;  // Discovered Bindings properties (key 3)
  uint8_t operation = 1;                   // 1 UPDATE, 2 DELETE
};

class IpDiscovery : public qor::RefCounted<IpDiscovery, qor::IRefCountable> {
 public:
  static constexpr uint32_t kLinkBufferSize = 4096;
  static constexpr const char* kDefaultChannel = "swsec_tkmlink";
  static constexpr uint16_t kGuestBindingsType = 1;
  static constexpr uint16_t kSolicitationType = 2;
  static constexpr size_t kGuestBindingRecordLen = 23;
  static constexpr uint32_t kGuestDiscoverySource = 4;

  using Ready = std::function<void(std::list<TolvarUpdateMsg> updates, bool vifConnectionUpdate)>;
  using PortLookup = std::function<bool(const std::string& vifId, ConnectedPort* port)>;

  struct Collaborators {
    StateCacheConfigTable* table = nullptr;             // runtime queries and writes; not owned
    std::shared_ptr<qor::upm::IProfileQuery> profiles;  // may be null
    std::shared_ptr<IConfigDatabase> database;          // may be null: solicitations are not answered
    PortLookup ports;                                   // the converter's connected ports
    Ready ready;                                        // the configuration application's ready callback
    LinkFactory links;                                  // empty: TkmlinkFactory()
  };

  explicit IpDiscovery(Collaborators collaborators);
  ~IpDiscovery() override;

  // Reads "features.ipdisc.tkmlink.path" (default "swsec_tkmlink") and creates the switch-security link.
  void Start(const ConfigTree& subtree);
  // Opens the link.
  void PostStart();
  // Drops the callbacks into the application, then closes the link.
  void Stop();
  // Drops the callbacks into the application (takes the agent lock); later calls that need them do nothing.
  void DetachOwner();

  // DA_VIF entries of one transaction.
  void UpdateDesiredState(const std::list<TolvarUpdateMsg>& entries, bool fullSync);
  void ProcessIpDiscList(const std::vector<IpDiscoveryInput>& inputs, bool isVifFullSync);
  void ProcessVifUpdate(const std::list<TolvarUpdateMsg>& connections, bool isVifFullSync);
  // The IP discovery settings in force for a port (see IpDiscoverySettings.h).
  bool SelectEffectiveProfile(const std::string& portUuid, int mode,
                              const zantix::qor::tolvar::IpDiscoveryConfigMsg* given,
                              zantix::qor::tolvar::IpDiscoveryConfigMsg* effective, int* source) const;

  // Link observers.
  void OnSolicitation(const uint8_t* message, int length);
  void OnLinkStatus(DataplaneLink* link, LinkStatus status);
  bool LinkUp() const { return _linkUp.load(); }

  // The guest-bindings message of `vif` for the port and switch given; `usable` receives the number of records.
  // Empty when even an empty list does not fit the 16-bit lengths.
  static std::vector<uint8_t> BuildGuestBindings(const std::string& portId, const std::string& switchId,
                                                 const zantix::qor::tolvar::DaVifMsg& vif, size_t* usable);
  // The runtime message of one Discovered Bindings property (34-byte records; the discovery method mapped to the
  // stored source, an unlisted one left unset and logged).
  static zantix::qor::tolvar::VifStateMsg BindingsMessage(const std::string& vifId, const kcp::KcpProperty& property);
  // Datapath discovery method byte -> stored discovery source; 0 when unlisted.
  static uint32_t DiscoverySource(uint8_t method);

 private:
  // Sends the guest bindings of `vif`; nothing when the link is down or the VIF is not connected.
  void SendGuestBindings(const zantix::qor::tolvar::DaVifMsg& vif);
  void OnDaVifFetched(const std::vector<zantix::qor::tolvar::TypedObjectMsg>& objects, const qor::rpc::Status& status);
  // VIFs whose runtime state carries a guest-reported binding (source 4).
  std::vector<std::string> VifsWithGuestBindings() const;
  zantix::qor::tolvar::VifStateMsg VifStateFor(const std::string& vifId) const;

  Collaborators _c;
  std::shared_ptr<CallTarget<IpDiscovery>> _target = std::make_shared<CallTarget<IpDiscovery>>(this);
  boost::intrusive_ptr<DataplaneLink> _link;
  std::atomic<bool> _linkUp{false};
  std::atomic<bool> _stopped{false};
};

}  // namespace VevUroro
