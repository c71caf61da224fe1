#include "apps/config/QosConversion.h"

#include <cstring>

#include "apps/config/PropertyValues.h"
#include "core/Logger.h"

namespace VevUroro {

namespace {

namespace tv = zantix::qor::tolvar;

constexpr uint32_t kCosUnset = 255;
constexpr uint32_t kDscpModeTrusted = 1;
constexpr uint32_t kDscpModeUntrusted = 2;
constexpr uint64_t kBytesPerMbit = 125000;
constexpr uint64_t kBytesPerKbit = 125;

struct Shaper {
  bool given = false;
  uint64_t average = 0;
  uint64_t peak = 0;
  uint64_t burst = 0;
};

bool Invalid(Logger&& logger) {
  logger.AddTag("errorCode:LCP00001");
  return false;
}

// Bytes per second of a bandwidth; one beyond what 64 bits hold is the most they hold (a wrapped product could be
// any rate, zero included).
uint64_t BytesPerSecond(uint64_t bandwidth, uint64_t scale) {
  return bandwidth > UINT64_MAX / scale ? UINT64_MAX : bandwidth * scale;
}

std::string ShaperValue(const Shaper& shaper, uint64_t scale) {
  if (shaper.average == 0) return std::string();
  const uint64_t words[3] = {BytesPerSecond(shaper.average, scale), BytesPerSecond(shaper.peak, scale), shaper.burst};
  std::string out(sizeof(words), '\0');
  std::memcpy(out.data(), words, sizeof(words));
  return out;
}

}  // namespace

std::optional<QosProperties> ConvertQos(const tv::QosConfigMsg& qos) {
  uint8_t trusted = 1;
  uint8_t dscp = 255;
  uint8_t cos = kCosUnset;
  if (qos.has_cos()) {
    uint32_t value = qos.cos() & 0xff;
    if (value >= 8 && value < kCosUnset) {
      Invalid(Logger(LOG_LEVEL_ERROR, "Invalid COS Tag: %1", value));
      return std::nullopt;
    }
    cos = static_cast<uint8_t>(value);
  }
  if (qos.has_dscp()) {
    const tv::DscpMsg& d = qos.dscp();
    if (d.has_mode()) trusted = d.mode() == kDscpModeTrusted ? 1 : 0;
    if (d.has_priority()) {
      if (d.priority() > 63 && d.has_mode() && d.mode() == kDscpModeUntrusted) {
        Invalid(Logger(LOG_LEVEL_ERROR, "Invalid DSCP Tag: %1", d.priority()));
        return std::nullopt;
      }
      dscp = static_cast<uint8_t>(d.priority());
    }
  }

  Shaper shapers[4];  // indexed by type 1..3
  for (const tv::ShaperMsg& entry : qos.shapers()) {
    if (!entry.has_type()) {
      Invalid(Logger(LOG_LEVEL_ERROR, "Shaper Config without shaper type"));
      return std::nullopt;
    }
    if (entry.type() < 1 || entry.type() > 3) {
      Invalid(Logger(LOG_LEVEL_ERROR, "Invalid shaper type: %1", entry.type()));
      return std::nullopt;
    }
    Shaper& shaper = shapers[entry.type()];
    if (shaper.given) {
      Invalid(Logger(LOG_LEVEL_ERROR, "Same shaper type (%1) configuration already specified %1", entry.type()));
      return std::nullopt;
    }
    shaper.given = true;
    shaper.average = entry.average_bandwidth();
    shaper.peak = entry.has_peak_bandwidth() ? entry.peak_bandwidth() : shaper.average;
    shaper.burst = entry.burst_size();
    if (shaper.average > shaper.peak) {
      Invalid(Logger(LOG_LEVEL_ERROR, "Peak bandwidth (%1) must be larger than average bandwidth (%2)", shaper.peak,
                     shaper.average));
      return std::nullopt;
    }
  }
  if (qos.has_ingress_average_bandwidth()) {
    if (shapers[1].given) {
      Logger(LOG_LEVEL_INFO, "Ingress shaper already specified, ignored");
    } else {
      Shaper& shaper = shapers[1];
      shaper.given = true;
      shaper.average = qos.ingress_average_bandwidth();
      shaper.peak = qos.has_ingress_peak_bandwidth() ? qos.ingress_peak_bandwidth() : shaper.average;
      if (shaper.average > shaper.peak) {
        Invalid(Logger(LOG_LEVEL_ERROR, "Peak bandwidth (%1) must be larger thanaverage bandwidth (%2)", shaper.peak,
                       shaper.average));
        return std::nullopt;
      }
      if (qos.has_ingress_burst_size()) shaper.burst = qos.ingress_burst_size();
    }
  }

  QosProperties out;
  out.properties.push_back({PORT_PROP_SHAPER_TYPE1, ShaperValue(shapers[1], kBytesPerMbit)});
  out.properties.push_back({PORT_PROP_SHAPER_TYPE2, ShaperValue(shapers[2], kBytesPerMbit)});
  out.properties.push_back({PORT_PROP_SHAPER_TYPE3, ShaperValue(shapers[3], kBytesPerKbit)});
  std::string tags;
  if (cos != kCosUnset || trusted == 0)
    tags = std::string{static_cast<char>(trusted), static_cast<char>(dscp), static_cast<char>(cos), '\0'};
  out.properties.push_back({PORT_PROP_DSCP_COS_TAGS, tags});
  out.shaped = shapers[1].average != 0 || shapers[2].average != 0 || shapers[3].average != 0;
  return out;
}

DVSProperty QosPlaneMode(bool servicePlane, bool shaped) {
  uint32_t mode =
      servicePlane ? values::kQosPlaneServicePlane : (shaped ? values::kQosPlaneShaped : values::kQosPlaneUnshaped);
  return DVSProperty{PORT_PROP_QOS_PLANE_MODE, values::U32(mode)};
}

}  // namespace VevUroro
