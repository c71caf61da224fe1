#include "cli/CliCommandTable.h"

namespace VevUroro::cli {

const std::vector<CliCommandEntry>& CliCommandTable() {
  using enum CliArea;
  static const std::vector<CliCommandEntry> table = {
      // Configuration, L2/L3 and SmartNIC dumps.
      {"vevuroro/lport/status", "", 0, 0, kAgent},
      {"vevuroro/l2/local", "", 0, 0, kAgent},
      {"vevuroro/l2/remote", "", 0, 0, kAgent},
      {"vevuroro/l3/remote", "", 0, 0, kAgent},
      {"vevuroro/config/local", "", 0, 0, kAgent},
      {"vevuroro/config/remote", "", 0, 0, kAgent},
      {"vevuroro/cache/table", "", 0, 0, kAgent},
      {"vevuroro/config/lswitch", "", 0, 0, kAgent},
      {"vevuroro/config/lport", "", 0, 0, kAgent},
      {"vevuroro/config/tnode", "", 0, 0, kAgent},
      {"vevuroro/config/bcluster", "", 0, 0, kAgent},
      {"vevuroro/config/mirror", "", 0, 0, kAgent},
      {"vevuroro/config/mirrorsession", "", 0, 0, kAgent},
      {"vevuroro/config/ipfix", "", 0, 0, kAgent},
      {"vevuroro/config/profile", "", 0, 0, kAgent},
      {"vevuroro/config/grelation", "", 0, 0, kAgent},
      {"vevuroro/config/container", "", 0, 0, kAgent},
      {"vevuroro/config/vessixtkm", "", 0, 0, kAgent},
      {"vevuroro/config/uplink", "", 0, 0, kAgent},
      {"vevuroro/config/lsportlist", "", 0, 0, kAgent},
      {"vevuroro/config/ciflist", "", 0, 0, kAgent},
      {"vevuroro/lsp/extracfg", "", 0, 0, kAgent},
      {"vevuroro/ls/extracfg", "", 0, 0, kAgent},
      {"vevuroro/ls/attachmentcfg", "", 0, 0, kAgent},
      {"vevuroro/smartnic/demuxinfo", "", 0, 0, kSmartNic},
      {"vevuroro/smartnic/demuxbyid", "", 2, 2, kSmartNic},
      {"vevuroro/smartnic/demuxbytype", "", 1, 1, kSmartNic},
      {"vevuroro/smartnic/muxconfig", "", 0, 0, kSmartNic},
      {"vevuroro/smartnic/muxl2", "", 0, 0, kSmartNic},
      {"vevuroro/smartnic/muxglobalvtep", "", 0, 0, kSmartNic},
      {"vevuroro/smartnic/hostswitch", "", 0, 0, kSmartNic},
      {"vevuroro/smartnic/rtf", "", 0, 0, kSmartNic},
      {"vevuroro/l2/routingdomain", "", 0, 0, kAgent},
      {"vevuroro/bfd", "", 0, 0, kBfd},
      {"vevuroro/ipfix-switch/profile/all", "", 0, 0, kIpfix},
      {"vevuroro/ipfix-switch/profile/lport", "NODE_UUID", 1, 1, kIpfix},
      // Log levels, one set/get pair per library, and workflow tracing.
      {"vevuroro/set/loglevel", "LOG_LEVEL", 1, 1, kAgent},
      {"vevuroro/get/loglevel", "", 0, 0, kAgent},
      {"vevuroro/set-metrics/loglevel", "LOG_LEVEL", 1, 1, kAgent},
      {"vevuroro/get-metrics/loglevel", "", 0, 0, kAgent},
      {"vevuroro/set-net/loglevel", "LOG_LEVEL", 1, 1, kAgent},
      {"vevuroro/get-net/loglevel", "", 0, 0, kAgent},
      {"vevuroro/set-rpc/loglevel", "LOG_LEVEL", 1, 1, kAgent},
      {"vevuroro/get-rpc/loglevel", "", 0, 0, kAgent},
      {"vevuroro/set-tolvar/loglevel", "LOG_LEVEL", 1, 1, kAgent},
      {"vevuroro/get-tolvar/loglevel", "", 0, 0, kAgent},
      {"vevuroro/set-wft/tracelevel", "TRACE_LEVEL", 1, 1, kAgent},
      {"vevuroro/get-wft/tracelevel", "", 0, 0, kAgent},
      {"vevuroro/set-wft/loglevel", "LOG_LEVEL", 1, 1, kAgent},
      {"vevuroro/get-wft/loglevel", "", 0, 0, kAgent},
      {"vevuroro/get-wft/stats", "", 0, 0, kAgent},
      {"vevuroro/set-sha/loglevel", "LOG_LEVEL", 1, 1, kAgent},
      {"vevuroro/get-sha/loglevel", "", 0, 0, kAgent},
      {"vevuroro/set-vessix/loglevel", "LOG_LEVEL", 1, 1, kAgent},
      {"vevuroro/get-vessix/loglevel", "", 0, 0, kAgent},
      {"vevuroro/set-upm/loglevel", "LOG_LEVEL", 1, 1, kAgent},
      {"vevuroro/get-upm/loglevel", "", 0, 0, kAgent},
      // Distributed firewall.
      {"dfw/vif", "", 0, 1, kFirewall},
      {"dfw/exclude", "", 0, 1, kFirewall},
      {"dfw/switch", "", 0, 1, kFirewall},
      {"dfw/vnicRuleCountTable", "", 0, 1, kFirewall},
      {"dfw/vnicRuleAlarmState", "", 0, 1, kFirewall},
      {"dfw/hostRuleAlarmState", "", 0, 1, kFirewall},
      {"dfw/ruleAlarmConfigData", "", 0, 1, kFirewall},
      {"dfw/rules", "", 1, 2, kFirewall},
      {"dfw/addrsets", "", 1, 2, kFirewall},
      {"dfw/profiles", "", 1, 2, kFirewall},
      {"dfw/vifcontainers", "[all|<vif>]", 1, 2, kFirewall},
      {"dfw/containers", "", 0, 0, kFirewall},
      {"dfw/counters", "", 0, 0, kFirewall},
      {"dfw/tnMetrics", "", 0, 0, kFirewall},
      {"dfw/lspMetrics", "", 0, 0, kFirewall},
      {"dfw/intdbgflag", "[set|unset]", 1, 1, kFirewall},
      {"dfw/hostMaxRules", "MAX_HOST_RULES", 1, 1, kFirewall},
      {"dfw/vnicMaxRules", "MAX_VNIC_RULES", 1, 1, kFirewall},
      {"dfw/setloglevel", "LOG_LEVEL", 1, 1, kFirewall},
      {"dfw/getloglevel", "", 0, 0, kFirewall},
      {"dfw/getlibloglevel", "COMPONENT", 1, 1, kFirewall},
      {"dfw/setlibloglevel", "COMPONENT", 2, 2, kFirewall},
      {"dfw/setL2MacOptFlag", "[true|false]", 1, 1, kFirewall},
      {"dfw/getL2MacOptFlag", "", 0, 0, kFirewall},
      // Service insertion.
      {"si/get-ordered-service-paths", "", 1, 2, kServiceInsertion},
      {"si/get-selected-service-paths", "", 1, 1, kServiceInsertion},
      // Intrusion detection.
      {"ids/get/status", "", 0, 0, kIntrusionDetection},
      {"ids/get/profiles", "", 0, 0, kIntrusionDetection},
      {"ids/get/rules", "", 0, 0, kIntrusionDetection},
      {"ids/get/loglevel", "", 0, 0, kIntrusionDetection},
      {"ids/set/loglevel", "LOG_LEVEL", 1, 1, kIntrusionDetection},
      {"ids/get/engine/status", "", 0, 0, kIntrusionDetection},
      {"ids/get/engine/globalstats", "", 0, 1, kIntrusionDetection},
      {"ids/get/engine/loglevel", "", 0, 0, kIntrusionDetection},
      {"ids/set/engine/loglevel", "LOG_LEVEL", 1, 1, kIntrusionDetection},
      {"ids/get/engine/alertlog", "", 0, 0, kIntrusionDetection},
      {"ids/set/engine/alertlog", "enable/disable", 1, 1, kIntrusionDetection},
      {"ids/get/engine/profiles", "", 0, 0, kIntrusionDetection},
      {"ids/get/engine/profilestats", "", 1, 1, kIntrusionDetection},
      {"ids/get/engine/profilestatus", "", 1, 1, kIntrusionDetection},
      {"ids/get/engine/rules", "", 0, 0, kIntrusionDetection},
      {"ids/get/engine/signaction", "", 3, 3, kIntrusionDetection},
      {"ids/dump/signatures", "", 0, 0, kIntrusionDetection},
      {"ids/dump/profiles", "", 0, 1, kIntrusionDetection},
      // State cache queries.
      {"vevuroro/statecache/logicalswitch", "", 2, 2, kAgent},
      {"vevuroro/statecache/logicalswitches", "", 0, 0, kAgent},
      {"vevuroro/statecache/L2vtep", "", 2, 2, kAgent},
      {"vevuroro/statecache/L2arp", "", 1, 1, kAgent},
      {"vevuroro/statecache/L2mac", "", 1, 1, kAgent},
      {"vevuroro/statecache/L2ND", "", 1, 1, kAgent},
      {"vevuroro/statecache/routing-domains", "", 0, 0, kAgent},
      {"vevuroro/statecache/routing-domain-uuid", "", 1, 1, kAgent},
      {"vevuroro/statecache/dr-vtep", "", 0, 0, kAgent},
      {"vevuroro/statecache/tn-tep-group", "", 0, 0, kAgent},
      {"vevuroro/cache/size", "", 0, 0, kAgent},
      {"vevuroro/set-simulate/out-of-sync", "VERTICAL_NAME", 1, 1, kAgent},
  };
  return table;
}

const char* AreaName(CliArea area) {
  switch (area) {
    case CliArea::kAgent:
      return "agent";
    case CliArea::kSmartNic:
      return "SmartNIC multiplexing";
    case CliArea::kBfd:
      return "BFD application";
    case CliArea::kIpfix:
      return "IPFIX application";
    case CliArea::kFirewall:
      return "firewall application";
    case CliArea::kServiceInsertion:
      return "service insertion application";
    case CliArea::kIntrusionDetection:
      return "intrusion detection application";
  }
  return "application";
}

}  // namespace VevUroro::cli
