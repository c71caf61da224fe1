// A text dump of a metrics registry, one metric per line, ordered by name:
//   "<name> gauge <value>"
//   "<name> counter <value>"
//   "<name> frequency total <total> rate <events in the last second>"
//   "<name> latency count <count> mean <mean> max <max>"
// For the operator CLI and health reports. Thread-safe (reads a snapshot).
#pragma once

#include <string>

namespace qor::metrics {

class Registry;

std::string FormatText(const Registry& registry);

}  // namespace qor::metrics
