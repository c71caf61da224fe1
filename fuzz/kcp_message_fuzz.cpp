// Fuzzes the KCP reader and dumper with arbitrary bytes as they could arrive from the datapath, and the writer with
// whatever the reader made of them. The checks live in the library so that the regression test replays the corpus
// through the very same body.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "dataplane/kcp/KcpSelfCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string failure = VevUroro::kcp::CheckMessageBytes(data, size);
  if (!failure.empty()) {
    std::fprintf(stderr, "kcp_message_fuzz: %s\n", failure.c_str());
    std::abort();
  }
  return 0;
}
