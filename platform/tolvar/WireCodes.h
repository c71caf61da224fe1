// Status codes of tolvard replies (StatusMsg.code); the client library reports them in qor::rpc::Status.
#pragma once

#include <cstdint>

namespace qor::tolvar {

inline constexpr uint32_t kCodeOk = 0;
inline constexpr uint32_t kCodeDeadlineExceeded = 4;
inline constexpr uint32_t kCodeInvalidArgument = 3;
inline constexpr uint32_t kCodeInternal = 13;
inline constexpr uint32_t kCodeUnavailable = 14;

}  // namespace qor::tolvar
