// VevUroro::LogOutputBuffer: the console echo of log lines, written to a file descriptor in batches.
//
// Writing and flushing every line costs a system call per line, which at full-sync rates is most of what logging
// costs. Lines are instead copied into a fixed buffer and written:
//   - by a flusher thread, woken by the first line that finds the buffer empty, after `maxDelay` (none for the
//     console: lines that come while it wakes up or writes are written together next; in a burst of lines, one
//     that comes within 0.1 ms of its last write, it gathers them for 0.1 ms). It swaps in the second buffer and
//     writes the full one without holding the lock, so lines keep being appended during its write;
//   - at once when the buffer would overflow, when the caller asks for it (error and fatal lines), or on Flush();
//   - at normal process exit (an exit handler; lines made after it are written through);
//   - when the process is killed by a crash signal (SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL...) or by SIGQUIT,
//     SIGUSR1 or SIGUSR2 while their action is the default one: the handler writes what is buffered, then the signal
//     takes its default course (core dump or termination) as before.
// SIGTERM and SIGINT end the agent through its clean shutdown and exit(), which writes the buffer. Where they, SIGHUP,
// SIGALRM or SIGKILL end a process by their default action, the lines made since the flusher last woke up are lost.
// After fork() the child starts with an empty buffer (what is buffered belongs to the parent) and its own flusher.
// Thread-safe. The console instance lives for the whole process (never destroyed: lines may come from static
// destructors); another instance stops its flusher when destroyed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <initializer_list>
#include <mutex>
#include <string_view>
#include <thread>

namespace VevUroro {

class LogOutputBuffer {
 public:
  static constexpr size_t kCapacity = 64 * 1024;

  // The agent's standard output, with its exit and crash-signal flushes installed on first use.
  static LogOutputBuffer& Console();

  LogOutputBuffer(int fd, std::chrono::milliseconds maxDelay);
  ~LogOutputBuffer();  // writes what is left
  LogOutputBuffer(const LogOutputBuffer&) = delete;
  LogOutputBuffer& operator=(const LogOutputBuffer&) = delete;

  // Appends the pieces as one contiguous text; `writeNow` writes the buffer before returning.
  void Append(std::initializer_list<std::string_view> pieces, bool writeNow);
  void Flush();
  // The longest a line waits for the flusher (tests lengthen it to see what only an exit or a signal writes).
  void SetMaxDelay(std::chrono::milliseconds maxDelay);

 private:
  friend struct LogOutputBufferAccess;

  void WriteLocked();
  void WriteAll(const char* data, size_t size);
  void StartFlusherLocked();
  void FlusherLoop();
  void FlushFromSignal();

  const int _fd;
  std::chrono::milliseconds _maxDelay;
  // Held while buffered lines are written, taken after `_mutex`: writes keep the order of the lines.
  std::mutex _writeMutex;
  // When the oldest buffered line came: its deadline follows a changed delay and a write by another thread.
  std::chrono::steady_clock::time_point _oldestAt;
  std::mutex _mutex;
  std::condition_variable _wake;
  std::thread _flusher;
  bool _flusherStarted = false;
  bool _flusherIdle = false;  // waiting for a first line: a line that finds the buffer empty wakes it
  bool _stopping = false;
  bool _writeThrough = false;
  size_t _size = 0;
  // Lines are appended to `_data`, one of the two buffers; the flusher writes the other while it holds
  // `_writeMutex` alone.
  char _buffers[2][kCapacity];
  char* _data = _buffers[0];
};

}  // namespace VevUroro
