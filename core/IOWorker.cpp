#include "core/IOWorker.h"

#include <exception>

#include "core/Logger.h"

namespace VevUroro {

IOWorker::IOWorker(boost::asio::io_context& context) : _context(context), _guard(context.get_executor()) {}

IOWorker::~IOWorker() = default;

void IOWorker::Run() {
  for (;;) {
    try {
      _context.run();
      return;
    } catch (const std::exception& e) {
      Logger(LOG_LEVEL_ERROR, "IOWorker: handler failed: %1", e.what());
    } catch (...) {
      Logger(LOG_LEVEL_ERROR, "IOWorker: handler failed: %1", "unknown exception");
    }
  }
}

void IOWorker::DropGuard() {
  _guard.reset();
}

}  // namespace VevUroro
