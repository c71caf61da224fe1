#include "core/LogOutputBuffer.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

namespace VevUroro {

namespace {

// The flusher writes as soon as it runs: a line reaches the file about as soon as before (someone following the
// output, or timing by it, sees no delay), and the lines that come while a write or a wake-up is under way go out
// together in the next write.
constexpr std::chrono::milliseconds kConsoleMaxDelay{0};

// A line that comes within kBurstGap of the flusher's last write belongs to a burst (a full sync logs tens of
// thousands of lines a second): the flusher then gathers for kBurstGather before it writes, instead of being woken
// for nearly every line. A line after a quiet moment is still written at once. The gathering doubles with each
// write of the same burst, up to kBurstGatherMax: a change's few lines still go out within about 0.1 ms, while a
// full sync's stream costs a wake-up of the flusher (a system call on the logging thread) per millisecond instead
// of per 0.1 ms. At full-sync rates a millisecond of lines stays well inside the buffer.
constexpr std::chrono::microseconds kBurstGap{100};
constexpr std::chrono::microseconds kBurstGather{100};
constexpr std::chrono::microseconds kBurstGatherMax{800};

// The signals whose default action ends the process, that can be caught and that nobody here owns: crashes, and
// the few a user sends by hand. SIGTERM and SIGINT belong to the agent's clean shutdown (which ends in exit() and so
// writes the buffer); they, SIGHUP and SIGALRM keep their default action where nobody handles them.
constexpr int kFlushSignals[] = {SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,  SIGABRT, SIGTRAP,   SIGSYS,
                                 SIGXCPU, SIGXFSZ, SIGQUIT, SIGUSR1, SIGUSR2, SIGSTKFLT, SIGPWR};

std::atomic<LogOutputBuffer*> g_console{nullptr};

}  // namespace

// Reaches the private members from the process-wide hooks below (signal, exit and fork handlers).
struct LogOutputBufferAccess {
  static void OnSignal(int signal) {
    if (LogOutputBuffer* console = g_console.load()) console->FlushFromSignal();
    // The handler was installed with SA_RESETHAND: the action is the default one again. The re-raised signal is
    // delivered when this handler returns (a fault re-executes its instruction and faults again, also defaulted).
    raise(signal);
  }
  static void AtExit() {
    LogOutputBuffer* console = g_console.load();
    if (!console) return;
    std::lock_guard<std::mutex> lock(console->_mutex);
    console->WriteLocked();
    console->_writeThrough = true;
  }
  static void BeforeFork() {
    if (LogOutputBuffer* console = g_console.load()) console->_mutex.lock();
  }
  static void AfterForkInParent() {
    if (LogOutputBuffer* console = g_console.load()) console->_mutex.unlock();
  }
  static void AfterForkInChild() {
    LogOutputBuffer* console = g_console.load();
    if (!console) return;
    // Only this thread exists in the child: the flusher and any waiter are gone, so the lock and the condition
    // start afresh, and the lines buffered belong to the parent, which writes them.
    new (&console->_mutex) std::mutex();
    new (&console->_writeMutex) std::mutex();
    new (&console->_wake) std::condition_variable();
    new (&console->_flusher) std::thread();  // the parent's: neither joined nor detached here
    console->_size = 0;
    console->_flusherStarted = false;
    console->_flusherIdle = false;
  }
  static void Install(LogOutputBuffer* console) {
    g_console.store(console);
    std::atexit(AtExit);
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
    for (int signal : kFlushSignals) {
      struct sigaction current {};
      if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
          (current.sa_flags & SA_SIGINFO) != 0) {
        continue;  // someone handles or ignores it: leave it to them
      }
      struct sigaction action {};
      action.sa_handler = OnSignal;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESETHAND;
      sigaction(signal, &action, nullptr);
    }
  }
};

LogOutputBuffer& LogOutputBuffer::Console() {
  static LogOutputBuffer* console = [] {
    auto* buffer = new LogOutputBuffer(STDOUT_FILENO, kConsoleMaxDelay);
    LogOutputBufferAccess::Install(buffer);
    return buffer;
  }();
  return *console;
}

LogOutputBuffer::LogOutputBuffer(int fd, std::chrono::milliseconds maxDelay) : _fd(fd), _maxDelay(maxDelay) {}

LogOutputBuffer::~LogOutputBuffer() {
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _stopping = true;
  }
  _wake.notify_all();
  if (_flusher.joinable()) _flusher.join();
  std::lock_guard<std::mutex> lock(_mutex);
  WriteLocked();
}

void LogOutputBuffer::Append(std::initializer_list<std::string_view> pieces, bool writeNow) {
  size_t total = 0;
  for (std::string_view piece : pieces) total += piece.size();
  std::unique_lock<std::mutex> lock(_mutex);
  if (_size + total > kCapacity) WriteLocked();
  if (total > kCapacity) {
    for (std::string_view piece : pieces) WriteAll(piece.data(), piece.size());
    return;
  }
  const bool wasEmpty = _size == 0;
  for (std::string_view piece : pieces) {
    std::memcpy(_data + _size, piece.data(), piece.size());
    _size += piece.size();
  }
  if (writeNow || _writeThrough) {
    WriteLocked();
    return;
  }
  if (!_flusherStarted) StartFlusherLocked();
  if (wasEmpty) {
    _oldestAt = std::chrono::steady_clock::now();
    if (!_flusherIdle) return;  // it is writing or gathering, and looks at the buffer again by itself
    // Woken after the lock is let go: woken under it, the flusher would wait at once for the lock.
    lock.unlock();
    _wake.notify_one();
  }
}

void LogOutputBuffer::Flush() {
  std::lock_guard<std::mutex> lock(_mutex);
  WriteLocked();
}

void LogOutputBuffer::SetMaxDelay(std::chrono::milliseconds maxDelay) {
  std::lock_guard<std::mutex> lock(_mutex);
  _maxDelay = maxDelay;
  _wake.notify_all();
}

void LogOutputBuffer::WriteLocked() {
  std::lock_guard<std::mutex> writing(_writeMutex);  // after the flusher's write of older lines
  WriteAll(_data, _size);
  _size = 0;
}

void LogOutputBuffer::WriteAll(const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(_fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;  // a closed or failing output drops the lines, as the stream it replaces did
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
}

void LogOutputBuffer::StartFlusherLocked() {
  try {
    _flusher = std::thread(&LogOutputBuffer::FlusherLoop, this);
    _flusherStarted = true;
  } catch (...) {
    _writeThrough = true;  // no thread to be had: write every line as it comes
    WriteLocked();
  }
}

void LogOutputBuffer::FlusherLoop() {
  std::unique_lock<std::mutex> lock(_mutex);
  std::chrono::steady_clock::time_point lastWrite{};
  std::chrono::microseconds burstGather = kBurstGather;
  while (!_stopping) {
    _flusherIdle = true;
    _wake.wait(lock, [this] { return _size > 0 || _stopping; });
    _flusherIdle = false;
    // The deadline is read again after every wake-up: an error line may have written the buffer meanwhile (the
    // lines now buffered came later) or the delay may have changed.
    burstGather = _oldestAt - lastWrite < kBurstGap ? std::min(burstGather * 2, kBurstGatherMax) : kBurstGather / 2;
    while (_size > 0 && !_stopping) {
      using Duration = std::chrono::steady_clock::duration;
      const Duration gather = _oldestAt - lastWrite < kBurstGap ? Duration(burstGather) : Duration::zero();
      const auto deadline = _oldestAt + std::max<Duration>(_maxDelay, gather);
      if (std::chrono::steady_clock::now() >= deadline) break;
      _wake.wait_until(lock, deadline);
    }
    if (_stopping) break;  // the owner writes what is left
    std::unique_lock<std::mutex> writing(_writeMutex);
    const char* full = _data;
    const size_t size = _size;
    _data = _data == _buffers[0] ? _buffers[1] : _buffers[0];
    _size = 0;
    lock.unlock();
    WriteAll(full, size);
    lastWrite = std::chrono::steady_clock::now();
    writing.unlock();
    lock.lock();
  }
}

void LogOutputBuffer::FlushFromSignal() {
  // Only async-signal-safe calls here. The lock is tried for a bounded time (a flusher in the middle of a write
  // lets go soon); if the thread that holds it is the one that crashed, what is buffered is written regardless.
  auto tryLock = [](std::mutex& m) {
    for (int attempt = 0; attempt < 200; ++attempt) {
      if (pthread_mutex_trylock(m.native_handle()) == 0) return true;
      timespec pause{0, 1000000};
      nanosleep(&pause, nullptr);
    }
    return false;
  };
  const bool locked = tryLock(_mutex);
  const bool writeLocked = tryLock(_writeMutex);  // lets the flusher's write of older lines finish first
  WriteAll(_data, _size);
  _size = 0;
  if (writeLocked) pthread_mutex_unlock(_writeMutex.native_handle());
  if (locked) pthread_mutex_unlock(_mutex.native_handle());
}

}  // namespace VevUroro
