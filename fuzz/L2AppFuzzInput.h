// The body of the L2 application's fuzz target (fuzz/apps_l2app_fuzz.cpp), also run by the tests over the seed
// corpus: a fresh application per input on a test link, its session open, one configured switch (VNI 5001, in a
// routing domain) with a desired table and the global routing domain's table, then the input's messages delivered
// in order. Input: records of a control byte, a 16-bit big-endian length and that many message bytes. Control
// bits: 1 writes the current session ID into the message (else the input's own ID is kept, so that the
// other-session path is reached too), 2 takes the link down and up first (a new session), 4 delivers the module's
// Open ACK and Full Sync End of the current session first. Every message the application sends must read whole.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "apps/overlay/L2App.h"
#include "apps/overlay/OverlayMessages.h"
#include "cache/StateCache.h"
#include "tests/config/TestLinks.h"
#include "zantix/qor/tolvar/config.pb.h"
#include "zantix/qor/tolvar/l2.pb.h"
#include "zantix/qor/tolvar/objecttype.pb.h"

namespace VevUroro::fuzz {

namespace detail {

namespace ov = VevUroro::overlay;
namespace tv = zantix::qor::tolvar;

// Objects and configuration properties are set, table elements inserted, as the decoder sends them.
inline TolvarUpdateMsg Entry(uint32_t type, const std::string& id, uint32_t property, const std::string& value,
                             int32_t operation = TolvarUpdateMsg::OP_SET) {
  TolvarUpdateMsg entry;
  entry.objectType = static_cast<int32_t>(type);
  entry.objectId = id;
  entry.propertyType = static_cast<int32_t>(property);
  entry.value = value;
  entry.operation = operation;
  return entry;
}

inline tv::VtepMsg Vtep(uint32_t address, uint32_t label) {
  tv::VtepMsg vtep;
  vtep.mutable_ip()->set_ipv4(address);
  vtep.set_label(label);
  return vtep;
}

// One switch on VNI 5001 in a routing domain, its table (a VTEP, a MAC, an ARP entry), and the global routing
// domain's table, as the database's change lists carry them.
inline void PutDesiredState(StateCache& cache) {
  tv::UuidMsg ls;
  ls.set_high(1);
  ls.set_low(7);
  tv::LogSwitchConfigMsg config;
  *config.mutable_id() = ls;
  config.set_vni(5001);
  config.mutable_routing_domain_id()->set_high(1);
  config.mutable_routing_domain_id()->set_low(0x77);
  const std::string lsId = ls.SerializeAsString();
  const std::string body = config.SerializeAsString();
  cache.ConfigTable()->UpdateDesiredState(
      {Entry(tv::LOG_SWITCH_CONFIG, lsId, 0, body), Entry(tv::LOG_SWITCH_CONFIG, lsId, tv::Property::LS_VNI, body),
       Entry(tv::LOG_SWITCH_CONFIG, lsId, tv::Property::LS_ROUTING_DOMAIN_ID, body)},
      1);
  tv::LogSwitchFibMsg fib;
  fib.mutable_id()->set_low(50);
  *fib.mutable_logical_switch_id() = ls;
  const std::string fibId = fib.id().SerializeAsString();
  tv::VmMacMsg mac;
  mac.mutable_mac()->set_mac(0x0050560000aaull);
  mac.mutable_vtep_ip()->set_ipv4(0x0a000001);
  tv::VmIpMsg ip;
  ip.mutable_ip()->set_ipv4(0xc0a80105);
  ip.mutable_mac()->set_mac(0x0050560000aaull);
  tv::RoutingDomainFibMsg global;
  global.mutable_id()->set_low(60);
  global.mutable_routing_domain_id()->set_high(~0ull);
  global.mutable_routing_domain_id()->set_low(~0ull);
  const std::string globalId = global.id().SerializeAsString();
  constexpr int32_t kInsert = TolvarUpdateMsg::OP_INSERT;
  cache.L2Table()->UpdateDesiredState(
      {Entry(tv::LOG_SWITCH_FIB, fibId, 0, fib.SerializeAsString()),
       Entry(tv::LOG_SWITCH_FIB, fibId, tv::Property::L2_VTEP, Vtep(0x0a000001, 11).SerializeAsString(), kInsert),
       Entry(tv::LOG_SWITCH_FIB, fibId, tv::Property::L2_VM_MAC, mac.SerializeAsString(), kInsert),
       Entry(tv::LOG_SWITCH_FIB, fibId, tv::Property::L2_VM_IP, ip.SerializeAsString(), kInsert),
       Entry(tv::ROUTING_DOMAIN_FIB, globalId, 0, global.SerializeAsString()),
       Entry(tv::ROUTING_DOMAIN_FIB, globalId, tv::Property::L2_VTEP, Vtep(0x0a000021, 21).SerializeAsString(),
             kInsert)},
      1);
}

inline ov::Bytes SessionMessage(uint32_t session, uint16_t type) {
  ov::Bytes payload;
  ov::PutU32(payload, session);
  return ov::Message(ov::kMsgSessionControl, session, type, payload);
}

}  // namespace detail

// Empty when every check held, else what failed.
inline std::string RunL2AppInput(const uint8_t* data, size_t size) {
  namespace ov = VevUroro::overlay;
  using namespace detail;
  std::string failure;
  StateCache cache;
  test::TestLinks links;
  L2App::Collaborators collaborators;
  collaborators.configTable = cache.ConfigTable();
  collaborators.l2Table = cache.L2Table();
  collaborators.links = links.Factory();
  qor::RefPtr<L2App> app(new L2App(std::move(collaborators)));
  app->Start(ConfigTree());
  test::TestLink& link = links[L2App::kDefaultChannel];
  link.onSend = [&failure](const std::vector<uint8_t>& message) {
    ov::ReceivedMessage read;
    size_t badAt = 0;
    if (failure.empty() && !ov::ReadMessage(message.data(), message.size(), &read, &badAt)) {
      failure = "the application sent a message that does not read (offset " + std::to_string(badAt) + ")";
    }
  };
  PutDesiredState(cache);
  link.Up();
  auto openSession = [&] {
    link.Deliver(SessionMessage(app->SessionId(), ov::kSessionOpenAck));
    link.Deliver(SessionMessage(app->SessionId(), ov::kSessionFullSyncEnd));
  };
  openSession();
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t control = data[at];
    const size_t length = std::min<size_t>(ov::GetU16(data + at + 1), size - at - 3);
    std::vector<uint8_t> message(data + at + 3, data + at + 3 + length);
    at += 3 + length;
    if (control & 2) {
      link.Down();
      link.Up();
    }
    if (control & 4) openSession();
    if ((control & 1) && message.size() >= ov::kHeaderLen) {
      const uint32_t session = app->SessionId();
      for (int i = 0; i < 4; ++i) message[4 + i] = static_cast<uint8_t>(session >> (24 - 8 * i));
    }
    link.Deliver(message);
  }
  app->Stop();
  return failure;
}

}  // namespace VevUroro::fuzz
