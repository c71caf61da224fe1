// Port property key 141 (MAC management), 11 bytes: byte 0 the MAC-change flag of the MacManagementMsg (its first
// field); byte 1 the unknown-unicast-flooding flag (third field) of its MAC learning message; byte 2 the learning
// enabled flag (first field); bytes 3-6 the 32-bit MAC limit (host order); byte 7 the limit policy (0 drop, 1
// allow); bytes 8-10 zero. Absent flags are 0. Without a limit sub-message the limit is 4096 and the policy 0.
//
// A limit above 4096 or a policy other than 1 (drop) or 2 (allow) is logged with LCP00001 and yields no value.
// Pure apart from log lines.
#pragma once

#include <optional>
#include <string>

#include "zantix/qor/tolvar/config.pb.h"

namespace VevUroro {

constexpr uint32_t kMaxMacLimit = 4096;

std::optional<std::string> BuildMacManagement(const zantix::qor::tolvar::MacManagementMsg& mac);

}  // namespace VevUroro
