// A simulator for tests, the library's outcome for one command, and a table of fault modes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "command/command_document.h"
#include "ostrel/ostrel.h"
#include "wallsim/wall_server.h"

namespace ostrel::wallsim {

// A command document in its length frame, as the bytes a host sends.
inline std::string Frame(const std::string& document) {
  auto bytes = command::FrameDocument(document);
  return std::string(bytes.begin(), bytes.end());
}

// A server whose log lines the test can read.
class Simulator {
 public:
  explicit Simulator(std::chrono::milliseconds idle = std::chrono::milliseconds(5000)) {
    ServerOptions options;
    options.idleLimit = idle;
    options.seed = 1;  // the same connections are chosen on every run
    server = std::make_unique<WallServer>(options, [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(line);
    });
  }
  std::string Log() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto& line : lines_) all += line + "\n";
    return all;
  }
  std::unique_ptr<WallServer> server;

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// The library's outcome code for one start-play to the server.
inline int StartPlay(std::uint16_t port, const char* vidout, int area, const char* url) {
  Ostrel_Initialize();
  int wall = -1;
  Ostrel_OpenTvWall("127.0.0.1", port, &wall);
  Ostrel_StartPlay(wall, vidout, area, url);
  const int code = Ostrel_LastErrorCode();
  Ostrel_CloseTvWall(wall);
  Ostrel_Finalize();
  return code;
}

struct FaultCase {
  const char* fault;
  int code;            // what the host's library reports
  const char* logged;  // in the simulator's log, "" when the connection never reaches it
  bool applied;
  // A reset reaches the host only when it comes before the frame is sent (seldom, as the
  // frame is small); either way the command is lost. Such a mode is tried kTries times.
  bool raceWithSend = false;
};

inline constexpr int kTries = 20;

inline void CheckFaults(const std::vector<FaultCase>& cases) {
  Simulator sim(std::chrono::milliseconds(1000));
  sim.server->Start();
  int done = 0, area = 0;
  for (const FaultCase& c : cases) {
    std::string why;
    sim.server->SetFault(*ParseFaultMode(c.fault, &why));
    for (int i = 0; i < (c.raceWithSend ? kTries : 1); ++i) {
      const std::string url = std::string("u-") + c.fault;
      const int code = StartPlay(sim.server->Port(), "f", ++area, url.c_str());
      if (code != c.code) {
        EXPECT_TRUE(c.raceWithSend && code == OSTREL_OK) << c.fault << code;
      }
      if (*c.logged != '\0') {
        ASSERT_TRUE(sim.server->WaitForConnectionsDone(++done, std::chrono::seconds(10)))
            << c.fault;
        EXPECT_NE(sim.Log().find(std::string(c.logged) + " [fault " + c.fault + "]"),
                  std::string::npos)
            << sim.Log();
      }
      EXPECT_EQ(sim.server->Showing("f", area), c.applied ? url : "") << c.fault;
    }
    // Back to normal, the next command is served again.
    sim.server->SetFault({});
    EXPECT_EQ(StartPlay(sim.server->Port(), "ok", area, "after"), 0) << c.fault;
    ASSERT_TRUE(sim.server->WaitForConnectionsDone(++done, std::chrono::seconds(10))) << c.fault;
    EXPECT_EQ(sim.server->Showing("ok", area), "after") << c.fault;
  }
}

}  // namespace ostrel::wallsim
