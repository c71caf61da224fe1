// VevUroro::IOWorker: a work item target that runs one IO context on a pool thread.
//
// The worker holds a work guard on its context from construction, so the context's run() does not return for lack
// of work while the worker exists. WorkGroup::Start creates the workers, posts their Run as long-running items and
// keeps them in a process-wide list; WorkGroup::Stop drops the guards (DropGuard) and stops the contexts, after
// which Run returns and the pool thread is free again. Destroying the worker destroys the guard.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <optional>

#include "core/RefCounter.h"

namespace VevUroro {

class IOWorker : public RefCounter<IOWorker> {
 public:
  explicit IOWorker(boost::asio::io_context& context);
  ~IOWorker() override;

  // Runs the context until it is stopped or has no work left. A handler that throws is logged and the context keeps
  // running, so one faulty callback does not take an IO thread away for good. Called on one pool thread.
  void Run();

  // Releases the work guard; thread-safe with Run. Called by WorkGroup::Stop.
  void DropGuard();

  boost::asio::io_context& Context() const { return _context; }

 private:
  using Guard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;

  boost::asio::io_context& _context;
  Guard _guard;
};

}  // namespace VevUroro
