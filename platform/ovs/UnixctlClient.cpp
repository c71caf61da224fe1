#include <signal.h>

#include <climits>
#include <system_error>

#include "platform/ovs/Unixctl.h"
#include "platform/ovs/unixctl_shim.h"

namespace qor::ovs {

namespace {

// Keeps SIGPIPE from ending the process while this thread writes to a server that may have gone; a SIGPIPE raised
// meanwhile is taken back, one that was pending before is left alone.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&_pipe);
    sigaddset(&_pipe, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    _wasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &_pipe, &_saved);
  }
  ~SigpipeGuard() {
    if (!_wasPending) {
      sigset_t pending;
      sigpending(&pending);
      if (sigismember(&pending, SIGPIPE) == 1) {
        timespec now{0, 0};
        sigtimedwait(&_pipe, nullptr, &now);
      }
    }
    pthread_sigmask(SIG_SETMASK, &_saved, nullptr);
  }

 private:
  sigset_t _pipe;
  sigset_t _saved;
  bool _wasPending = false;
};

}  // namespace

UnixctlResult UnixctlClient::Call(const std::string& path, const std::string& command,
                                  const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  std::vector<const char*> argv;
  argv.reserve(args.size());
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  long long millis = timeout.count() < 1 ? 1 : timeout.count() > INT_MAX ? INT_MAX : timeout.count();
  char* result = nullptr;
  char* error = nullptr;
  UnixctlResult outcome;
  SigpipeGuard guard;
  outcome.error = qor_unixctl_call(path.c_str(), command.c_str(), static_cast<int>(argv.size()), argv.data(),
                                   static_cast<int>(millis), &result, &error);
  if (outcome.error) {
    outcome.text = std::error_code(outcome.error, std::generic_category()).message();
  } else if (result) {
    outcome.ok = true;
    outcome.text = result;
  } else if (error) {
    outcome.text = error;
  }
  qor_unixctl_free(result);
  qor_unixctl_free(error);
  return outcome;
}

}  // namespace qor::ovs
