// The play commands end to end: argument checks, the frames that reach a controller, and the
// outcome the host can read back.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "command/command_document.h"
#include "net/loopback_peer.h"
#include "ostrel/ostrel.h"
#include "platform/debug_output.h"

namespace ostrel {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;

std::string Bytes(const std::vector<unsigned char>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class PlayCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetDebugSinkForTesting([this](const char* line) { lines_.emplace_back(line); });
    Ostrel_Initialize();
    ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", peer_.port(), &wall_), 0);
    lines_.clear();
  }
  void TearDown() override {
    Ostrel_Finalize();
    platform::SetDebugSinkForTesting({});
  }

  // The bytes of every connection the peer has finished, in order.
  std::vector<std::string> Received(std::size_t expected) {
    EXPECT_TRUE(peer_.WaitForFinished(expected, 5s));
    std::vector<std::string> frames;
    for (const auto& connection : peer_.Connections()) frames.push_back(Bytes(connection.bytes));
    return frames;
  }

  LoopbackPeer peer_;
  int wall_ = -1;
  std::vector<std::string> lines_;
};

std::string Framed(const std::string& document) { return Bytes(command::FrameDocument(document)); }

TEST_F(PlayCommands, EachCommandDeliversItsExactFrame) {
  ASSERT_EQ(Ostrel_StartPlay(wall_, "1", 2, "stream01"), 0);
  EXPECT_EQ(Ostrel_LastErrorCode(), 0);
  ASSERT_EQ(Ostrel_StopPlay(wall_, "3", 0), 0);
  EXPECT_EQ(Ostrel_LastErrorCode(), 0);
  ASSERT_EQ(Ostrel_Duplicate(wall_, "a&lt;", INT_MIN, "", INT_MAX), 0);
  EXPECT_EQ(Ostrel_LastErrorCode(), 0);

  const std::vector<std::string> frames = Received(3);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].size(), 205u);
  EXPECT_EQ(frames[0].substr(0, 4), std::string("\xCD\0\0\0", 4));
  EXPECT_EQ(frames[0], Framed(command::ComposeStartPlay("1", 2, "stream01")));
  EXPECT_EQ(frames[1].size(), 183u);
  EXPECT_EQ(frames[1].substr(0, 4), std::string("\xB7\0\0\0", 4));
  EXPECT_NE(frames[1].find("\r\n<Vidout>3</Vidout>\r\n<Area>0</Area>\r\n"), std::string::npos);
  EXPECT_NE(frames[2].find("<Vidoutf>a&amp;lt;</Vidoutf>\r\n<Areaf>-2147483648</Areaf>\r\n"
                           "<Vidoutt/>\r\n<Areat>2147483647</Areat>"),
            std::string::npos);
  for (const auto& connection : peer_.Connections()) EXPECT_TRUE(connection.client_closed);
}

TEST_F(PlayCommands, ValueBytesArriveAsComposed) {
  const std::string vidout = "q'\"<>&\r\n\t\x80\xFF";
  const std::string url = "rtsp://h/]]>?a=1&b=2";
  ASSERT_EQ(Ostrel_StartPlay(wall_, vidout.c_str(), -1, url.c_str()), 0);
  ASSERT_EQ(Ostrel_StartPlay(wall_, "", 1, ""), 0);
  const std::vector<std::string> frames = Received(2);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_NE(frames[0].find("<Vidout>q'\"&lt;&gt;&amp;\r\n\t\x80\xFF</Vidout>\r\n<Area>-1</Area>\r\n"
                           "<Url>rtsp://h/]]&gt;?a=1&amp;b=2</Url>"),
            std::string::npos);
  EXPECT_NE(frames[1].find("\r\n<Vidout/>\r\n<Area>1</Area>\r\n<Url/>\r\n"), std::string::npos);
}

// Text limits, checked in argument order; nothing is sent for a refused call.
TEST_F(PlayCommands, RefusesOverLongTextsInArgumentOrder) {
  const std::string v63(63, 'v'), v64(64, 'v'), u255(255, 'u'), u256(256, 'u');
  struct Case {
    const char* what;
    int result;
    std::function<int()> call;
  };
  const Case cases[] = {
      {"63-byte video output", 0, [&] { return Ostrel_StopPlay(wall_, v63.c_str(), 1); }},
      {"64-byte video output", -1, [&] { return Ostrel_StopPlay(wall_, v64.c_str(), 1); }},
      {"255-byte URL", 0, [&] { return Ostrel_StartPlay(wall_, "1", 1, u255.c_str()); }},
      {"256-byte URL", -1, [&] { return Ostrel_StartPlay(wall_, "1", 1, u256.c_str()); }},
      {"64-byte vidout before URL", -1,
       [&] { return Ostrel_StartPlay(wall_, v64.c_str(), 1, u255.c_str()); }},
      {"64-byte duplicate target", -1,
       [&] { return Ostrel_Duplicate(wall_, "1", 1, v64.c_str(), 2); }},
      {"64-byte duplicate source", -1,
       [&] { return Ostrel_Duplicate(wall_, v64.c_str(), 1, "1", 2); }},
      {"63-byte duplicate texts", 0,
       [&] { return Ostrel_Duplicate(wall_, v63.c_str(), 1, v63.c_str(), 2); }},
      {"null video output", -1, [&] { return Ostrel_StopPlay(wall_, nullptr, 1); }},
      {"null URL", -1, [&] { return Ostrel_StartPlay(wall_, "1", 1, nullptr); }},
      {"null duplicate target", -1, [&] { return Ostrel_Duplicate(wall_, "1", 1, nullptr, 1); }},
      {"handle 64", -1, [&] { return Ostrel_StopPlay(64, "1", 1); }},
      {"handle -1 before a long text", -1, [&] { return Ostrel_StopPlay(-1, v64.c_str(), 1); }},
  };
  std::size_t accepted = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), c.result) << c.what;
    EXPECT_EQ(Ostrel_LastErrorCode(), c.result == 0 ? OSTREL_OK : OSTREL_E_INVALID_ARG) << c.what;
    accepted += c.result == 0;
  }
  EXPECT_TRUE(peer_.WaitForFinished(accepted, 5s));
  std::this_thread::sleep_for(50ms);  // a wrongly sent frame would show up by now
  EXPECT_EQ(peer_.AcceptedCount(), accepted);
}

TEST_F(PlayCommands, StartPlayWritesItsDebugLineBeforeAnyCheck) {
  EXPECT_EQ(Ostrel_StartPlay(64, "1", 1, "u"), -1);
  EXPECT_EQ(Ostrel_StopPlay(64, "1", 1), -1);
  EXPECT_EQ(Ostrel_Duplicate(64, "1", 1, "2", 2), -1);
  EXPECT_EQ(lines_, std::vector<std::string>{"Ostrel_StartPlay"});
}

TEST_F(PlayCommands, ReleasedHandleReturnsZeroAndOpensNoConnection) {
  ASSERT_EQ(Ostrel_CloseTvWall(wall_), 0);
  EXPECT_EQ(Ostrel_StartPlay(wall_, "1", 1, "u"), 0);
  EXPECT_EQ(Ostrel_LastErrorCode(), OSTREL_E_NOT_REGISTERED);
  int again = -1;
  ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", peer_.port(), &again), 0);
  Ostrel_Initialize();  // frees it again
  Ostrel_Finalize();    // keeps start-ups and clean-ups paired
  EXPECT_EQ(Ostrel_StopPlay(again, "1", 1), 0);
  EXPECT_EQ(Ostrel_Duplicate(again, "1", 1, "2", 2), 0);
  EXPECT_EQ(Ostrel_LastErrorCode(), OSTREL_E_NOT_REGISTERED);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(peer_.AcceptedCount(), 0u);
}

TEST_F(PlayCommands, ReRegisteredSlotSendsToTheNewController) {
  LoopbackPeer other;
  ASSERT_EQ(Ostrel_CloseTvWall(wall_), 0);
  int handle = -1;
  ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", other.port() + 65536, &handle), 0);
  ASSERT_EQ(handle, wall_);
  EXPECT_EQ(Ostrel_StopPlay(handle, "1", 1), 0);
  EXPECT_EQ(Ostrel_LastErrorCode(), 0);
  EXPECT_TRUE(other.WaitForFinished(1, 5s));
  EXPECT_EQ(peer_.AcceptedCount(), 0u);
}

TEST_F(PlayCommands, UndeliveredCommandStillReturnsZeroAndNamesTheReason) {
  struct Case {
    const char* address;
    int port;
    int outcome;
  };
  const Case cases[] = {
      {"127.0.0.1", LoopbackPeer::UnusedPort(), OSTREL_E_REFUSED},
      {"localhost", 80, OSTREL_E_ADDRESS},
      {"255.255.255.255", 80, OSTREL_E_ADDRESS},
      {"", 80, OSTREL_E_ADDRESS},
  };
  for (const Case& c : cases) {
    int handle = -1;
    ASSERT_EQ(Ostrel_OpenTvWall(c.address, c.port, &handle), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ostrel_StartPlay(handle, "1", 1, "u"), 0) << c.address;
    EXPECT_EQ(Ostrel_LastErrorCode(), c.outcome) << c.address;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << c.address;
    Ostrel_CloseTvWall(handle);
  }
}

TEST_F(PlayCommands, WithoutInitializeNothingIsDelivered) {
#if defined(_WIN32)
  GTEST_SKIP() << "Windows counts WSAStartup per process: the loopback peer's own start-up "
                  "keeps Windows Sockets running after Ostrel_Finalize";
#endif
  Ostrel_Finalize();
  EXPECT_EQ(Ostrel_StopPlay(wall_, "1", 1), 0);
  EXPECT_EQ(Ostrel_LastErrorCode(), OSTREL_E_NOT_STARTED);
  Ostrel_Initialize();  // TearDown's Finalize pairs with this
}

TEST_F(PlayCommands, ConcurrentHostThreadsDeliverEveryFrameIntact) {
  constexpr int kThreads = 8, kEach = 1000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string vidout = "t" + std::to_string(t);
        ASSERT_EQ(Ostrel_StartPlay(wall_, vidout.c_str(), i, "rtsp://x/y"), 0);
        ASSERT_EQ(Ostrel_LastErrorCode(), 0);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(peer_.WaitForFinished(kThreads * kEach, 10s));
  std::vector<int> seen(kThreads * kEach, 0);
  for (const auto& connection : peer_.Connections()) {
    const std::string frame = Bytes(connection.bytes);
    const auto t = frame.find("<Vidout>t") + 9;
    const int thread = std::stoi(frame.substr(t));
    const int area = std::stoi(frame.substr(frame.find("<Area>") + 6));
    ASSERT_EQ(frame, Framed(command::ComposeStartPlay(("t" + std::to_string(thread)).c_str(), area,
                                                      "rtsp://x/y")));
    ++seen[thread * kEach + area];
  }
  for (int count : seen) EXPECT_EQ(count, 1);
}

}  // namespace
}  // namespace ostrel
