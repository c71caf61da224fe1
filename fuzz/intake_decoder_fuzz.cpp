// Fuzz target: the decoder's entry point over arbitrary monitor updates. The input is a serialized
// MonitorUpdateMsg; a prefix byte picks the object type so that every decode form is reached even when the
// bytes do not parse as an update.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/Logger.h"
#include "intake/Decoder.h"
#include "intake/TolvarClient.h"
#include "platform/tolvar/TolvarSchema.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool quiet = [] {
    VevUroro::SetOutputToConsole(false);
    VevUroro::SetLogLevel(VevUroro::LOG_LEVEL_FATAL);
    return true;
  }();
  (void)quiet;
  if (size == 0) return 0;
  static const std::vector<uint32_t> types = qor::tolvar::AllObjectTypes();
  zantix::qor::tolvar::MonitorUpdateMsg update;
  if (!update.ParseFromArray(data + 1, static_cast<int>(size - 1))) {
    // Raw bytes as the bodies of a type chosen by the first byte.
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    update.set_object_type(static_cast<zantix::qor::tolvar::ObjectType>(types[data[0] % types.size()]));
    update.set_op_message(bytes.substr(0, bytes.size() / 3));
    update.set_new_object_body(bytes.substr(bytes.size() / 3, bytes.size() / 3));
    update.set_old_object_body(bytes.substr(2 * (bytes.size() / 3)));
  }
  VevUroro::TransactionEntries pending;
  VevUroro::Decoder::DecodeInto(update, pending);
  VevUroro::TolvarClient::MergeRepeated(pending);
  return 0;
}
