// QoS of a port: validation of its QosConfigMsg and the port properties it gives.
//
// Properties, in this order: key 62 (shaper type 1, ingress) and key 63 (type 2, egress), each 24 bytes {64-bit
// average, 64-bit peak, 64-bit burst} with the bandwidths given in Mbit/s turned into bytes per second (× 125,000),
// or empty when that shaper's average is 0; key 61 (type 3, ingress broadcast) the same with kbit/s (× 125); key 3,
// the 4-byte tag record {DSCP-trusted flag, DSCP value, COS value, 0}, when COS is set or DSCP is not trusted,
// otherwise empty. Integers in host order. The plane mode (key 181) depends on the port's switch and is added by
// the caller (QosPlaneMode).
//
// Every validation failure is logged with LCP00001 and yields no properties. Pure apart from log lines.
#pragma once

#include <cstdint>
#include <optional>

#include "apps/config/DVSProperty.h"
#include "zantix/qor/tolvar/config.pb.h"

namespace VevUroro {

struct QosProperties {
  DVSPropertyList properties;  // keys 62, 63, 61, 3
  bool shaped = false;         // at least one shaper has a non-zero average bandwidth
};

// The properties of `qos`, or nullopt (logged) when it does not validate.
std::optional<QosProperties> ConvertQos(const zantix::qor::tolvar::QosConfigMsg& qos);

// Key 181: 0 for a service-plane port, otherwise 2 when shaped and 3 when not.
DVSProperty QosPlaneMode(bool servicePlane, bool shaped);

}  // namespace VevUroro
