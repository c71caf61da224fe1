// Resolution of the system's fixed absolute paths.
//
// Every fixed path of the agent and its tools ("/etc/zantix/...", "/var/run/zantix/...", "/opt/zantix/...",
// "/dev/...") goes through QorPath, which prefixes the environment variable QOR_ROOT when it is set, so that tests
// and demos run each instance under its own directory. Thread-safe: it only reads the environment.
#pragma once

#include <string>
#include <string_view>

namespace qor {

// The value of QOR_ROOT without a trailing slash, or "" when unset.
std::string QorRoot();

// `absolutePath` under QOR_ROOT ("/etc/x" → "$QOR_ROOT/etc/x"); unchanged when QOR_ROOT is unset.
std::string QorPath(std::string_view absolutePath);

}  // namespace qor
