#include "platform/trace.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/debug_output.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <syslog.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif
#endif

namespace ostrel::platform {

std::atomic<int> trace_internal::level{trace_internal::kUnread};

namespace {

enum class Target { kPlatform, kStderr, kFile, kSyslog };

#if defined(_WIN32)
using FileHandle = HANDLE;
const FileHandle kNoFile = INVALID_HANDLE_VALUE;
#else
using FileHandle = int;
constexpr FileHandle kNoFile = -1;
#endif

constexpr char kFilePrefix[] = "file:";
constexpr std::size_t kFilePrefixLength = sizeof kFilePrefix - 1;

// Guards the target and the file; held while a line is written so that a new reading of the
// settings cannot close the file under a writer.
std::mutex settings_mutex;
Target target = Target::kPlatform;
// The same for a look without the lock: the platform's output needs none of the above.
std::atomic<bool> platform_target{true};
FileHandle file = kNoFile;

FileHandle OpenForAppending(const char* path) {
#if defined(_WIN32)
  // Appending access alone makes every write land whole at the end, also across processes.
  return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
  return open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
#endif
}

void CloseFile() {
  if (file == kNoFile) return;
#if defined(_WIN32)
  CloseHandle(file);
#else
  close(file);
#endif
  file = kNoFile;
}

// One write call for the whole line where the system allows it.
void WriteAll(FileHandle handle, const char* bytes, std::size_t size) {
#if defined(_WIN32)
  DWORD written = 0;
  WriteFile(handle, bytes, static_cast<DWORD>(size), &written, nullptr);
#else
  while (size > 0) {
    const ssize_t written = write(handle, bytes, size);
    if (written < 0) return;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
#endif
}

FileHandle StandardError() {
#if defined(_WIN32)
  return GetStdHandle(STD_ERROR_HANDLE);
#else
  return STDERR_FILENO;
#endif
}

void Warn(const char* name, const char* value, const char* expected, const char* fallback) {
  std::fprintf(stderr, "ostrel: %s=%s not understood (expected %s); using %s\n", name, value,
               expected, fallback);
}

// Chooses the target from OSTREL_LOG; the settings lock is held.
void ApplyTarget() {
  CloseFile();
  target = Target::kPlatform;
  const char* value = std::getenv("OSTREL_LOG");
  if (value == nullptr) return;
  if (std::strcmp(value, "stderr") == 0) {
    target = Target::kStderr;
  } else if (std::strncmp(value, kFilePrefix, kFilePrefixLength) == 0 &&
             value[kFilePrefixLength] != '\0') {
    file = OpenForAppending(value + kFilePrefixLength);
    if (file == kNoFile) {
      std::fprintf(stderr, "ostrel: OSTREL_LOG=%s: cannot open the file; using %s\n", value,
                   "the debug output");
      return;
    }
    target = Target::kFile;
#if !defined(_WIN32)
  } else if (std::strcmp(value, "syslog") == 0) {
    openlog("ostrel", LOG_PID, LOG_USER);
    target = Target::kSyslog;
#endif
  } else {
    Warn("OSTREL_LOG", value, "stderr, file:PATH or syslog", "the debug output");
  }
}

int LevelFromEnvironment() {
  const char* value = std::getenv("OSTREL_LOG_LEVEL");
  if (value == nullptr || std::strcmp(value, "debug") == 0) {
    return static_cast<int>(TraceLevel::kDebug);
  }
  if (std::strcmp(value, "info") == 0) return static_cast<int>(TraceLevel::kInfo);
  if (std::strcmp(value, "trace") == 0) return static_cast<int>(TraceLevel::kTrace);
  Warn("OSTREL_LOG_LEVEL", value, "debug, info or trace", "debug");
  return static_cast<int>(TraceLevel::kDebug);
}

// The settings lock is held.
int ApplySettings() {
  ApplyTarget();
  platform_target.store(target == Target::kPlatform, std::memory_order_release);
  LookForDebugReceiverAgain();
  const int level = LevelFromEnvironment();
  trace_internal::level.store(level, std::memory_order_release);
  return level;
}

// Writes to the chosen target; false when that is the platform's debug output.
bool WriteLine(TraceLevel level, const char* text) {
  CurrentTraceLevel();  // the settings are read before the first line
  if (platform_target.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(settings_mutex);
  if (target == Target::kPlatform) return false;
#if !defined(_WIN32)
  if (target == Target::kSyslog) {
    syslog(level == TraceLevel::kInfo ? LOG_INFO : LOG_DEBUG, "%s", text);
    return true;
  }
#else
  (void)level;  // no syslog on Windows
#endif
  try {
    std::string line(text);
    line += '\n';
    WriteAll(target == Target::kFile ? file : StandardError(), line.data(), line.size());
  } catch (...) {
    // Out of memory: the line is left out rather than an exception leaving the library.
  }
  return true;
}

unsigned long ThreadId() {
#if defined(_WIN32)
  return GetCurrentThreadId();
#elif defined(__linux__)
  return static_cast<unsigned long>(syscall(SYS_gettid));
#else
  return reinterpret_cast<unsigned long>(pthread_self());
#endif
}

// "2026-01-31T09:05:07.042Z 12345 info "
std::string LinePrefix(TraceLevel level) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
#if defined(_WIN32)
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "%s.%03dZ %lu %s ", stamp, static_cast<int>(millis),
                ThreadId(), level == TraceLevel::kInfo ? "info" : "trace");
  return prefix;
}

}  // namespace

int trace_internal::ReadSettingsOnce() {
  std::lock_guard<std::mutex> lock(settings_mutex);
  const int level = trace_internal::level.load(std::memory_order_relaxed);
  return level == kUnread ? ApplySettings() : level;
}

void ReadTraceSettings() {
  std::lock_guard<std::mutex> lock(settings_mutex);
  ApplySettings();
}

void WriteTraceLine(TraceLevel level, const std::string& body) {
  if (!Tracing(level)) return;
  const std::string line = LinePrefix(level) + body;
  if (!WriteLine(level, line.c_str())) WriteDebugLine(line.c_str());
}

bool WriteToChosenLog(const char* text) { return WriteLine(TraceLevel::kDebug, text); }

}  // namespace ostrel::platform
