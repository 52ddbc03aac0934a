// The simulator keeps serving through every kind of bad input.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "command/command_document.h"
#include "ostrel/ostrel.h"
#include "wallsim/simulator.h"
#include "wallsim/wall_server.h"

namespace ostrel::wallsim {
namespace {

using namespace std::chrono_literals;

std::string LengthField(std::uint32_t total) {
  std::string field(4, '\0');
  for (int i = 0; i < 4; ++i) field[i] = static_cast<char>(total >> (8 * i));
  return field;
}

// Connects to the server, writes the bytes and closes (or keeps the socket open if asked).
void SendRaw(std::uint16_t port, const std::string& bytes) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::make_address("127.0.0.1"), port});
  asio::write(socket, asio::buffer(bytes));
}

class WallServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.idleLimit = 300ms;
    server_ = std::make_unique<WallServer>(options, [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(logMutex_);
      log_.push_back(line);
    });
    server_->Start();
  }

  std::string LastLog() {
    std::lock_guard<std::mutex> lock(logMutex_);
    return log_.empty() ? "" : log_.back();
  }

  std::unique_ptr<WallServer> server_;
  std::mutex logMutex_;
  std::vector<std::string> log_;
};

TEST_F(WallServerTest, AppliesAValidFrameAndLogsIt) {
  SendRaw(server_->Port(), Frame(command::ComposeStartPlay("1", 2, "stream01")));
  ASSERT_TRUE(server_->WaitForConnectionsDone(1, 5s));
  EXPECT_EQ(server_->Showing("1", 2), "stream01");
  EXPECT_NE(LastLog().find("StartPlay vidout=\"1\" area=2 url=\"stream01\" -> 1:2 plays stream01"),
            std::string::npos)
      << LastLog();
}

TEST_F(WallServerTest, DropsEachKindOfBadFrameWithAReason) {
  const std::string valid = Frame(command::ComposeStopPlay("1", 1));
  struct Case {
    std::string bytes;
    std::string reason;
  };
  const Case cases[] = {
      {LengthField(4), "leaves no document"},
      {LengthField(0), "leaves no document"},
      {LengthField(0xFFFFFFFF), "exceeds the limit"},
      {std::string("\x05\x00", 2), "closed after 2 of 4 bytes of the length field"},
      {valid.substr(0, 50), "closed after 46 of"},
      {LengthField(9) + "hello", "No root element"},
      {Frame("<iq type='command'><query xmlns='iq:command'><Command><Function>Nope</Function>"
             "</Command></query></iq>"),
       "unknown function"},
      {"", "closed after 0 of 4"},
  };
  int done = 0;
  for (const Case& c : cases) {
    SendRaw(server_->Port(), c.bytes);
    ASSERT_TRUE(server_->WaitForConnectionsDone(++done, 5s));
    EXPECT_NE(LastLog().find("dropped: "), std::string::npos) << LastLog();
    EXPECT_NE(LastLog().find(c.reason), std::string::npos) << LastLog();
  }
  EXPECT_EQ(server_->Counters().applied, 0);
}

TEST_F(WallServerTest, SilentPeerIsDroppedWhileOthersAreServed) {
  asio::io_context io;
  asio::ip::tcp::socket silent(io);
  silent.connect({asio::ip::make_address("127.0.0.1"), server_->Port()});
  SendRaw(server_->Port(), Frame(command::ComposeStartPlay("7", 7, "u")));
  ASSERT_TRUE(server_->WaitForConnectionsDone(1, 5s));
  EXPECT_EQ(server_->Showing("7", 7), "u");  // served while the silent peer waits
  ASSERT_TRUE(server_->WaitForConnectionsDone(2, 5s));
  EXPECT_NE(LastLog().find("no length field within 300 ms"), std::string::npos) << LastLog();
}

TEST_F(WallServerTest, SurvivesAFuzzedStreamThenAppliesAValidCommand) {
  std::mt19937 random(7);
  const std::string valid = Frame(command::ComposeDuplicate("a", 1, "b", 2));
  constexpr int kFrames = 2000;
  for (int i = 0; i < kFrames; ++i) {
    std::string bytes;
    switch (i % 4) {
      case 0:  // random bytes behind a plausible length
        bytes = LengthField(4 + random() % 300);
        for (int k = 0, n = random() % 300; k < n; ++k) bytes += static_cast<char>(random());
        break;
      case 1: {  // a valid frame with some bytes flipped
        bytes = valid;
        for (int k = 0; k < 3; ++k) bytes[4 + random() % (bytes.size() - 4)] ^= 1 << (random() % 8);
        break;
      }
      case 2:  // truncated
        bytes = valid.substr(0, random() % valid.size());
        break;
      default:  // entirely random
        for (int k = 0, n = random() % 64; k < n; ++k) bytes += static_cast<char>(random());
    }
    SendRaw(server_->Port(), bytes);
  }
  ASSERT_TRUE(server_->WaitForConnectionsDone(kFrames, 60s));
  const int appliedBefore = server_->Counters().applied;  // a flipped bit can stay valid
  SendRaw(server_->Port(), Frame(command::ComposeStartPlay("z", 9, "after-fuzz")));
  ASSERT_TRUE(server_->WaitForConnectionsDone(kFrames + 1, 10s));
  EXPECT_EQ(server_->Showing("z", 9), "after-fuzz");
  EXPECT_EQ(server_->Counters().applied, appliedBefore + 1);
  EXPECT_EQ(server_->Counters().connections, kFrames + 1);
}

TEST_F(WallServerTest, EightHostThreadsThroughTheLibraryAllLandIntact) {
  constexpr int kThreads = 8, kEach = 1000;
  Ostrel_Initialize();
  int wall = -1;
  ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", server_->Port(), &wall), 0);
  std::vector<std::thread> threads;
  std::atomic<int> undelivered{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string vidout = "out" + std::to_string(t);
      for (int i = 0; i < kEach; ++i) {
        const std::string url =
            "rtsp://cam/" + std::to_string(t) + "?n=" + std::to_string(i) + "&x=<y>";
        if (Ostrel_StartPlay(wall, vidout.c_str(), i, url.c_str()) != 0 ||
            Ostrel_LastErrorCode() != 0) {
          ++undelivered;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  Ostrel_Finalize();
  EXPECT_EQ(undelivered, 0);
  ASSERT_TRUE(server_->WaitForConnectionsDone(kThreads * kEach, 30s));
  EXPECT_EQ(server_->Counters().applied, kThreads * kEach);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kEach; ++i) {
      ASSERT_EQ(server_->Showing("out" + std::to_string(t), i),
                "rtsp://cam/" + std::to_string(t) + "?n=" + std::to_string(i) + "&x=<y>");
    }
  }
}

}  // namespace
}  // namespace ostrel::wallsim
