// Where the library's lines go and how many it writes, chosen by the environment:
//   OSTREL_LOG        unset: the platform's debug output; "stderr"; "file:PATH" (appended);
//                     "syslog" (opened as "ostrel", with the process id, facility user).
//   OSTREL_LOG_LEVEL  "debug" (the default: the function lines only), "info" (also one line
//                     per command), "trace" (also each step of an exchange).
// A value not understood gives one warning on stderr and the default.
#pragma once

#include <atomic>
#include <string>

namespace ostrel::platform {

enum class TraceLevel : int { kDebug = 0, kInfo = 1, kTrace = 2 };

// Reads both variables (again), closing a file opened by an earlier reading.
void ReadTraceSettings();

namespace trace_internal {
constexpr int kUnread = -1;
extern std::atomic<int> level;
int ReadSettingsOnce();
}  // namespace trace_internal

// The level in force, reading the settings first if they were never read.
inline TraceLevel CurrentTraceLevel() {
  int level = trace_internal::level.load(std::memory_order_acquire);
  if (level == trace_internal::kUnread) level = trace_internal::ReadSettingsOnce();
  return static_cast<TraceLevel>(level);
}

inline bool Tracing(TraceLevel level) { return CurrentTraceLevel() >= level; }

// Writes "<UTC time> <thread id> <level> <body>" as one line, when the level is in force.
void WriteTraceLine(TraceLevel level, const std::string& body);

// Writes a line of the debug output as it is, to wherever OSTREL_LOG sends lines.
// Used by WriteDebugLine; true when written, false when the platform's output is chosen.
bool WriteToChosenLog(const char* text);

}  // namespace ostrel::platform
