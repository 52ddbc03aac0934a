#include "platform/debug_output.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/trace.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#endif

namespace ostrel::platform {
namespace {

std::mutex sink_mutex;
DebugSink sink;
std::atomic<bool> sink_set{false};

#if !defined(_WIN32)
// Whether a system log listens: unknown until the first line after each reading of the settings.
enum class Receiver : int { kUnknown, kListening, kAbsent };
std::atomic<Receiver> receiver{Receiver::kUnknown};

bool LogSocketAccepts(int type) {
  const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ::sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, _PATH_LOG, sizeof address.sun_path - 1);
  const bool accepted =
      ::connect(fd, reinterpret_cast<const ::sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return accepted;
}

// syslog() opens, connects and closes a socket for every line while no system log listens,
// and keeps its connection while one does; so the log is looked for once, and while none is
// there the lines, which nobody could receive, cost nothing.
bool SystemLogListening() {
  Receiver known = receiver.load(std::memory_order_acquire);
  if (known == Receiver::kUnknown) {
    const bool listening = LogSocketAccepts(SOCK_DGRAM) || LogSocketAccepts(SOCK_STREAM);
    known = listening ? Receiver::kListening : Receiver::kAbsent;
    receiver.store(known, std::memory_order_release);
  }
  return known == Receiver::kListening;
}
#endif

}  // namespace

void WriteDebugLine(const char* text) {
  if (sink_set.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> lock(sink_mutex);
    if (sink) {
      sink(text);
      return;
    }
  }
  if (WriteToChosenLog(text)) return;
#if defined(_WIN32)
  OutputDebugStringA(text);
#else
  if (SystemLogListening()) {
    // "%s" so that a text holding '%' is never read as a format.
    syslog(LOG_DEBUG, "%s", text);
  }
#endif
}

void LookForDebugReceiverAgain() {
#if !defined(_WIN32)
  receiver.store(Receiver::kUnknown, std::memory_order_release);
#endif
}

void SetDebugSinkForTesting(DebugSink new_sink) {
  std::lock_guard<std::mutex> lock(sink_mutex);
  sink = std::move(new_sink);
  sink_set.store(static_cast<bool>(sink), std::memory_order_release);
}

}  // namespace ostrel::platform
