// Fuzzes the agent's reader of the kernel router module's messages (full-sync requests, DAD reports, any other
// type) with arbitrary bytes as they could arrive on the distributed-router channel, and checks what it reads:
// every event lies inside the bytes, a DAD report's entries are of a known family, a message that does not parse
// says why.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "dataplane/router/RouterLayout.h"
#include "dataplane/router/VdrKernelReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace VevUroro::router;
  const KernelMessage read = ReadKernelMessage(data, size);
  auto fail = [](const char* why) {
    std::fprintf(stderr, "vdr_kernel_fuzz: %s\n", why);
    std::abort();
  };
  if (read.result == KernelMessage::Result::kMalformed && read.error.empty()) fail("malformed without a reason");
  if (read.result == KernelMessage::Result::kOk && !read.error.empty()) fail("parsed with an error");
  size_t bytes = kMsgHeaderLen;
  for (const KernelEvent& event : read.events) {
    bytes += event.tlvType == kTlvDadReport ? kDadReportFixedLen + event.entries.size() * kDadEntryLen : kTlvHeaderLen;
    if (event.lifName.size() >= kNameLen + 1 || event.version.size() > kNameLen) fail("name longer than its field");
    for (const DadEntry& entry : event.entries) {
      if (entry.family != kFamilyIpv4 && entry.family != kFamilyIpv6) fail("DAD entry of unknown family");
    }
  }
  if (!read.events.empty() && bytes > size) fail("events beyond the bytes");
  return 0;
}
