// tolvard: the host-local configuration database server.
// clang-format off
// Boost 1.74's asio uses std::exchange without including <utility> itself.
#include <utility>
// clang-format on

#include <boost/asio.hpp>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "tools/tolvard/ObjectStore.h"
#include "tools/tolvard/TolvarServer.h"

namespace {

const char* kUsage =
    "Usage: tolvard [--listen tcp:ADDRESS:PORT] [--db FILE] [options]\n"
    "\n"
    "The configuration database server. Objects are kept in FILE (SQLite, WAL); every acknowledged\n"
    "transaction is durable. Clients speak the framed protocol of PROTOCOL.md.\n"
    "\n"
    "Options:\n"
    "  --listen tcp:ADDRESS:PORT  address to listen on (default tcp:127.0.0.1:2480); port 0 picks a free port\n"
    "  --db FILE                  database file (default tolvar.db in the current directory)\n"
    "  --port-file FILE           write the bound port number to FILE once listening\n"
    "  --max-frame BYTES          largest frame accepted or sent (default 67108864)\n"
    "  --max-pending BYTES        output waiting for one client above which no more of its requests are read\n"
    "                             and, if it drains nothing for the stall time-out, it is dropped (default 268435456)\n"
    "  --stall-timeout MS         see --max-pending (default 10000)\n"
    "  --max-connections N        connections served at once; more are closed at once (default 512)\n"
    "  --max-input BYTES          unfinished request frames of all connections together; above it the connection\n"
    "                             holding the most is closed (default 268435456)\n"
    "  --verbose                  log connections and refused requests\n"
    "  --help                     this text\n"
    "  --version                  the build number\n";

bool ParseListen(const std::string& text, qor::tolvar::TolvarServerOptions* options) {
  if (text.rfind("tcp:", 0) != 0) return false;
  std::string rest = text.substr(4);
  size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string port = rest.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long value = std::stoul(port);
  if (value > 65535) return false;
  options->address = rest.substr(0, colon);
  options->port = static_cast<uint16_t>(value);
  return true;
}

bool ParseSize(const std::string& text, size_t* out) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 12) return false;
  *out = std::stoull(text);
  return *out > 0;
}

}  // namespace

int main(int argc, char** argv) {
  qor::tolvar::TolvarServerOptions options;
  std::string db = "tolvar.db";
  std::string portFile;
  size_t milliseconds = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else if (arg == "--version") {
      std::cout << "tolvard " << QOR_BUILD_NUMBER << "\n";
      return 0;
    } else if (arg == "--listen" && value(&v) && ParseListen(v, &options)) {
    } else if (arg == "--db" && value(&db)) {
    } else if (arg == "--port-file" && value(&portFile)) {
    } else if (arg == "--max-frame" && value(&v) && ParseSize(v, &options.maxFrame)) {
    } else if (arg == "--max-pending" && value(&v) && ParseSize(v, &options.maxPendingOutput)) {
    } else if (arg == "--max-connections" && value(&v) && ParseSize(v, &options.maxConnections)) {
    } else if (arg == "--max-input" && value(&v) && ParseSize(v, &options.maxInput)) {
    } else if (arg == "--stall-timeout" && value(&v) && ParseSize(v, &milliseconds)) {
      options.stallTimeout = std::chrono::milliseconds(milliseconds);
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else {
      std::cerr << "tolvard: bad argument " << arg << "\n" << kUsage;
      return 2;
    }
  }

  qor::tolvar::ObjectStore store;
  std::string error;
  if (!store.Open(db, &error)) {
    std::cerr << "tolvard: " << error << std::endl;
    return 1;
  }
  boost::asio::io_context io;
  qor::tolvar::TolvarServer server(io, store, options);
  if (!server.Listen(&error)) {
    std::cerr << "tolvard: " << error << std::endl;
    return 1;
  }
  if (!portFile.empty()) {
    // Written to a temporary name and renamed, so a reader never sees a partial number.
    std::string tmp = portFile + ".tmp";
    std::ofstream(tmp) << server.BoundPort() << "\n";
    std::rename(tmp.c_str(), portFile.c_str());
  }
  std::cout << "tolvard: listening on " << options.address << ":" << server.BoundPort() << ", "
            << store.Objects().size() << " objects in " << db << std::endl;
  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code&, int) { io.stop(); });
  signal(SIGPIPE, SIG_IGN);
  io.run();
  return 0;
}
