// Checks what the codec promises for arbitrary bytes from the datapath: the dumper's rendering stays within its
// limit, starts with its heading and equals the rendering through the decoded message, and whatever the reader makes of
// the bytes, the writer encodes into a message that reads back to the same items.
//
// One body for the fuzz target and for the regression test that replays its corpus in every normal test run, so
// that both check the same properties. Stateless; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace VevUroro::kcp {

// Runs the dumper, the reader and the writer over the `size` bytes at `data`. Returns an empty string when every
// property holds, otherwise a description of the first one that does not.
std::string CheckMessageBytes(const uint8_t* data, size_t size);

}  // namespace VevUroro::kcp
