#include "platform/debug_output.h"

#include <mutex>
#include <utility>

#include "platform/trace.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <syslog.h>
#endif

namespace ostrel::platform {
namespace {

std::mutex sink_mutex;
DebugSink sink;

}  // namespace

void WriteDebugLine(const char* text) {
  {
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
  // "%s" so that a text holding '%' is never read as a format.
  syslog(LOG_DEBUG, "%s", text);
#endif
}

void SetDebugSinkForTesting(DebugSink new_sink) {
  std::lock_guard<std::mutex> lock(sink_mutex);
  sink = std::move(new_sink);
}

}  // namespace ostrel::platform
