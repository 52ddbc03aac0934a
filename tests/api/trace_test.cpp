// The library's lines chosen by OSTREL_LOG and OSTREL_LOG_LEVEL: where they go, their format,
// and that the function lines keep their text and order at every level.
#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "net/loopback_peer.h"
#include "ostrel/ostrel.h"
#include "platform/debug_output.h"
#include "platform/trace.h"

// Stand-ins for the C library's syslog, so that the syslog target can be read back.
namespace {
std::vector<std::pair<int, std::string>> syslog_lines;
std::string openlog_call;

void Capture(int priority, const char* format, va_list args) {
  char text[1024];
  vsnprintf(text, sizeof text, format, args);
  syslog_lines.emplace_back(priority, text);
}
}  // namespace

extern "C" {
void openlog(const char* ident, int option, int facility) {
  openlog_call = std::string(ident) + " " + std::to_string(option) + " " + std::to_string(facility);
}
void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Capture(priority, format, args);
  va_end(args);
}
void __syslog_chk(int priority, int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Capture(priority, format, args);
  va_end(args);
}
}

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;

const char* const kStamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \d+ )";

class Trace : public ::testing::Test {
 protected:
  // CTest runs the tests of this file side by side, each in a process of its own: one file each.
  void SetUp() override {
    path_ = ::testing::TempDir() + "ostrel_trace_test_" + std::to_string(getpid()) + ".log";
  }
  void TearDown() override {
    Ostrel_Finalize();
    unsetenv("OSTREL_LOG");
    unsetenv("OSTREL_LOG_LEVEL");
    platform::ReadTraceSettings();
    std::remove(path_.c_str());
  }

  void Start(const char* log, const char* level) {
    std::remove(path_.c_str());
    setenv("OSTREL_LOG", log, 1);
    setenv("OSTREL_LOG_LEVEL", level, 1);
    Ostrel_Initialize();
  }

  std::vector<std::string> FileLines() const {
    std::ifstream file(path_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  std::string path_;
};

// First in the file: under CTest each test runs in a fresh process, where nothing has read
// the settings yet.
TEST_F(Trace, SettingsAreReadOnFirstUseWithoutInitialize) {
  setenv("OSTREL_LOG", ("file:" + path_).c_str(), 1);
  setenv("OSTREL_LOG_LEVEL", "info", 1);
  Ostrel_StopPlay(3, "1", 1);
  ASSERT_EQ(FileLines().size(), 1u);
  EXPECT_TRUE(std::regex_match(FileLines()[0],
                               std::regex(std::string(kStamp) + "info handle=3 StopPlay .*")));
}

TEST_F(Trace, InfoLinesFollowTheFunctionLinesInTheirOrder) {
  LoopbackPeer peer;
  Start(("file:" + path_).c_str(), "info");
  int wall = -1;
  ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", peer.port(), &wall), 0);
  Ostrel_StartPlay(wall, "1\x01", 2, "rtsp://h/\"q\"\\");
  Ostrel_Duplicate(70, "a", 1, "b", 2);
  Ostrel_StopPlay(wall + 1, "1", 1);
  Ostrel_Finalize();

  const std::string endpoint = "127\\.0\\.0\\.1:" + std::to_string(peer.port());
  const std::vector<std::string> expected = {
      "Ostrel_Initialize",
      "Ostrel_OpenTvWall",
      "Ostrel_StartPlay",
      std::string(kStamp) + "info " + endpoint +
          R"( StartPlay vidout="1\\x01" area=2 url="rtsp://h/\\"q\\"\\\\" frame=\d+ )"
          R"(outcome=0 \(success\) \d+us)",
      std::string(kStamp) + R"(info handle=70 Duplicate source_vidout="a" source_area=1 )"
                            R"(target_vidout="b" target_area=2 frame=0 outcome=10022 )"
                            R"(\(argument rejected\) \d+us)",
      std::string(kStamp) + "info handle=1 StopPlay .* outcome=10039 .*",
      "Ostrel_Finalize",
  };
  const std::vector<std::string> lines = FileLines();
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];
  }
}

TEST_F(Trace, TraceLevelShowsEachStepOfTheExchange) {
  LoopbackPeer peer;
  Start("stderr", "trace");
  int wall = -1;
  ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", peer.port(), &wall), 0);
  ::testing::internal::CaptureStderr();
  Ostrel_StopPlay(wall, "1", 1);
  const std::string captured = ::testing::internal::GetCapturedStderr();
  const std::string endpoint = "127\\.0\\.0\\.1:" + std::to_string(peer.port());
  const std::string step = std::string(kStamp) + "trace " + endpoint;
  EXPECT_TRUE(std::regex_match(
      captured, std::regex(step + " connect started\n" + step + " connect made\n" + step +
                           " sent 183 bytes\n" + step + " closed, outcome=0\n" + kStamp + "info " +
                           endpoint + " StopPlay .*\n")))
      << captured;
}

TEST_F(Trace, SyslogTargetOpensTheLogAsOstrel) {
  syslog_lines.clear();
  Start("syslog", "info");
  Ostrel_StopPlay(5, "1", 1);
  EXPECT_EQ(openlog_call, "ostrel " + std::to_string(LOG_PID) + " " + std::to_string(LOG_USER));
  ASSERT_EQ(syslog_lines.size(), 2u);
  EXPECT_EQ(syslog_lines[0], std::make_pair(int{LOG_DEBUG}, std::string("Ostrel_Initialize")));
  EXPECT_EQ(syslog_lines[1].first, LOG_INFO);
  EXPECT_NE(syslog_lines[1].second.find("info handle=5 StopPlay"), std::string::npos);
}

// A value not understood: one warning, then the default target (here the test sink) and level.
TEST_F(Trace, BadValuesWarnOnceAndFallBack) {
  struct Case {
    const char* log;
    const char* level;
    const char* warning;
  };
  const Case cases[] = {
      {"stdout", "info", "ostrel: OSTREL_LOG=stdout not understood"},
      {"file:", "info", "ostrel: OSTREL_LOG=file: not understood"},
      {"file:/nonexistent-dir/x.log", "info",
       "ostrel: OSTREL_LOG=file:/nonexistent-dir/x.log: "
       "cannot open the file"},
      {"stderr", "verbose", "ostrel: OSTREL_LOG_LEVEL=verbose not understood"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> sunk;
    platform::SetDebugSinkForTesting([&](const char* line) { sunk.emplace_back(line); });
    ::testing::internal::CaptureStderr();
    Start(c.log, c.level);
    Ostrel_StopPlay(5, "1", 1);
    const std::string captured = ::testing::internal::GetCapturedStderr();
    platform::SetDebugSinkForTesting({});
    EXPECT_EQ(captured.rfind(c.warning, 0), 0u) << captured;
    EXPECT_EQ(std::count(captured.begin(), captured.end(), '\n'), 1) << captured;
    const bool info = std::string(c.level) == "info";
    EXPECT_EQ(sunk.size(), info ? 2u : 1u) << c.log;  // the sink is the default target only
  }
}

// Several threads at once, while the settings are read again: every line lands whole.
TEST_F(Trace, LinesFromManyThreadsStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kCommandsEach = 25;
  LoopbackPeer peer;
  Start(("file:" + path_).c_str(), "info");
  int wall = -1;
  ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", peer.port(), &wall), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([wall] {
      for (int i = 0; i < kCommandsEach; ++i) Ostrel_StopPlay(wall, "1", i);
    });
  }
  for (int i = 0; i < kCommandsEach; ++i) platform::ReadTraceSettings();
  for (std::thread& thread : threads) thread.join();
  const std::regex whole(std::string(kStamp) + "info 127.0.0.1:\\d+ StopPlay vidout=\"1\" " +
                         "area=\\d+ frame=\\d+ outcome=0 \\(success\\) \\d+us");
  int commands = 0;
  for (const std::string& line : FileLines()) {
    if (line.rfind("Ostrel_", 0) == 0) continue;
    EXPECT_TRUE(std::regex_match(line, whole)) << line;
    ++commands;
  }
  EXPECT_EQ(commands, kThreads * kCommandsEach);
}

}  // namespace
}  // namespace ostrel
