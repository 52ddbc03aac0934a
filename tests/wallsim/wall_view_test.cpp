// What the simulator offers integrators beyond applying commands: texts kept whole in JSON, a
// wall that stays bounded, serving through a lack of descriptors, fault modes as a host sees
// them, and the web view's endpoints.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <asio.hpp>

#include "command/command_document.h"
#include "ostrel/ostrel.h"
#include "wallsim/event_hub.h"
#include "wallsim/http_view.h"
#include "wallsim/simulator.h"
#include "wallsim/text_json.h"
#include "wallsim/wall_server.h"

namespace ostrel::wallsim {
namespace {

using namespace std::chrono_literals;

TEST(TextJson, EveryTextIsWrittenAndItsBytesCanBeReadBack) {
  struct Case {
    std::string bytes;
    bool utf8;
    const char* shown;  // the JSON string
  };
  const Case cases[] = {
      {"rtsp://cam/1", true, "rtsp://cam/1"},
      {"caf\xC3\xA9", true, "caf\xC3\xA9"},
      {"\xFF\xFE", false, "\xC3\xBF\xC3\xBE"},  // Latin-1 bytes
      {"\x83\x65\x83\x58\x83\x67", false,
       "\xC2\x83"
       "e\xC2\x83X\xC2\x83g"},                                          // Shift-JIS
      {"ab\xC3", false, "ab\xC3\x83"},                                  // cut short
      {"\xC0\xAF", false, "\xC3\x80\xC2\xAF"},                          // overlong
      {"\xED\xA0\x80", false, "\xC3\xAD\xC2\xA0\xC2\x80"},              // surrogate
      {"\xF4\x90\x80\x80", false, "\xC3\xB4\xC2\x90\xC2\x80\xC2\x80"},  // past U+10FFFF
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsValidUtf8(c.bytes), c.utf8) << c.shown;
    nlohmann::json object = nlohmann::json::object();
    PutText(object, "url", c.bytes);
    const auto back = nlohmann::json::parse(DumpJson(object));  // throws on bad UTF-8
    EXPECT_EQ(back["url"], c.shown);
    EXPECT_EQ(back.contains("urlHex"), !c.utf8);
    if (!c.utf8) {
      std::string bytes;
      const std::string hex = back["urlHex"];
      for (std::size_t i = 0; i < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
      }
      EXPECT_EQ(bytes, c.bytes);
    }
  }
}

TEST(WallModelLimits, CommandsPastALimitAreRefusedAndTheWallStaysWhole) {
  WallModel wall;
  for (std::size_t i = 0; i < kMaxOutputs; ++i) {
    ASSERT_TRUE(wall.Apply({Function::StartPlay, std::to_string(i), 0, "u", "", 0}).applied);
  }
  for (int area = 1; area < int(kMaxAreas / kMaxOutputs); ++area) {
    for (std::size_t i = 0; i < kMaxOutputs; ++i) {
      ASSERT_TRUE(wall.Apply({Function::StopPlay, std::to_string(i), area, "", "", 0}).applied);
    }
  }
  struct Case {
    Command command;
    bool applied;
    const char* why;
  };
  const Case cases[] = {
      {{Function::StartPlay, "new", 0, "u", "", 0}, false, "64 video outputs"},
      {{Function::StartPlay, "0", 99999, "u", "", 0}, false, "16384 areas"},
      {{Function::Duplicate, "0", 0, "", "1", 99999}, false, "16384 areas"},
      {{Function::StartPlay, "0", 0, std::string(kMaxUrlBytes + 1, 'u'), "", 0}, false, "URL over"},
      {{Function::StartPlay, std::string(kMaxVidoutBytes + 1, 'v'), 0, "u", "", 0},
       false,
       "video output text over"},
      {{Function::StartPlay, "0", 5, "replaced", "", 0}, true, "0:5 plays replaced"},
      {{Function::Duplicate, "0", 5, "", "1", 7}, true, "1:7 shows 0:5"},
  };
  for (const Case& c : cases) {
    const ApplyResult result = wall.Apply(c.command);
    EXPECT_EQ(result.applied, c.applied) << c.why;
    EXPECT_NE(result.change.find(c.why), std::string::npos) << result.change;
  }
  EXPECT_EQ(wall.Showing("1", 7), "replaced");
  EXPECT_EQ(wall.ToJson()["outputs"].size(), kMaxOutputs);
}

// Fills every free descriptor of the process, and gives them back at the end.
class DescriptorFiller {
 public:
  DescriptorFiller() {
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, kLimit);
    setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) held_.push_back(fd);
  }
  ~DescriptorFiller() {
    Release();
    setrlimit(RLIMIT_NOFILE, &saved_);
  }
  void GiveBackOne() {
    close(held_.back());
    held_.pop_back();
  }
  void Release() {
    for (int fd : held_) close(fd);
    held_.clear();
  }

 private:
  static constexpr rlim_t kLimit = 256;
  rlimit saved_{};
  std::vector<int> held_;
};

TEST(WallServerLimits, OutOfDescriptorsItPausesAcceptingAndServesWhatItHas) {
  Simulator sim;
  sim.server->Start();
  asio::io_context io;
  const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), sim.server->Port());
  asio::ip::tcp::socket early(io), late(io);
  early.connect(endpoint);
  for (int i = 0; i < 500 && sim.server->Counters().connections < 1; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(sim.server->Counters().connections, 1);
  {
    DescriptorFiller filler;
    filler.GiveBackOne();
    late.connect(endpoint);  // takes the last descriptor; the server cannot accept it
    asio::write(late, asio::buffer(Frame(command::ComposeStartPlay("2", 2, "late"))));
    std::this_thread::sleep_for(500ms);
    asio::write(early, asio::buffer(Frame(command::ComposeStartPlay("1", 1, "early"))));
    ASSERT_TRUE(sim.server->WaitForConnectionsDone(1, 5s));
    EXPECT_EQ(sim.server->Showing("1", 1), "early");
    const int failures = sim.server->Counters().acceptFailures;
    EXPECT_GE(failures, 1);
    EXPECT_LE(failures, 20);  // one a pause, not one a turn of the loop
  }
  ASSERT_TRUE(sim.server->WaitForConnectionsDone(2, 5s));
  EXPECT_EQ(sim.server->Showing("2", 2), "late");
  EXPECT_NE(sim.Log().find("accepting again after"), std::string::npos) << sim.Log();
}

TEST(WallServerFaults, EachModeGivesTheHostTheOutcomeItWouldMeet) {
  CheckFaults({
      {"refuse", OSTREL_E_REFUSED, "", false},
      {"reset", OSTREL_E_RESET, "dropped: reset after accept", false, true},
      {"slow:1000", OSTREL_OK, "plays u-slow:1000", true},
      {"delay:300", OSTREL_OK, "plays u-delay:300, applied 300 ms late", true},
      {"drop", OSTREL_OK, "-> read, not applied", false},
      {"stall@0.999", OSTREL_OK, "dropped: held unread for 1000 ms", false},
  });
}

TEST(EventHub, AReaderThatFallsBehindIsDroppedWithoutHoldingUpOthers) {
  EventHub hub(4, 2);
  auto slow = hub.Join(), keen = hub.Join();
  ASSERT_TRUE(slow && keen);
  EXPECT_EQ(hub.Join(), nullptr);  // the limit of readers
  std::string got;
  for (int i = 0; i < 10; ++i) {
    hub.Publish(std::to_string(i));
    ASSERT_EQ(hub.Take(*keen, &got, 0ms), EventHub::Wait::Messages);
    EXPECT_EQ(got, std::to_string(i));
  }
  EXPECT_EQ(hub.Take(*slow, &got, 0ms), EventHub::Wait::Gone);
  EXPECT_EQ(hub.Dropped(), 1);
  EXPECT_EQ(hub.Take(*keen, &got, 0ms), EventHub::Wait::Idle);
  hub.Close();
  EXPECT_EQ(hub.Take(*keen, &got, 0ms), EventHub::Wait::Gone);
}

TEST(HttpView, ServesTheStateTheFaultsAndALiveStream) {
  Simulator sim;
  HttpView view(*sim.server);
  sim.server->Start();
  std::string why;
  ASSERT_TRUE(view.Start("127.0.0.1", 0, &why)) << why;
  Simulator other;
  EXPECT_FALSE(HttpView(*other.server).Start("0.0.0.0", 0, &why));  // loopback only
  httplib::Client client("127.0.0.1", view.Port());
  client.set_read_timeout(5, 0);

  EXPECT_NE(client.Get("/")->body.find("EventSource(\"/events\")"), std::string::npos);
  struct Post {
    const char* body;
    const char* type;
    int status;
    const char* fault;  // the mode afterwards
  };
  const Post posts[] = {
      {R"({"fault": "delay:250@0.5"})", "application/json", 200, "delay:250@0.5"},
      {R"({"fault": "slow"})", "application/json", 400, "delay:250@0.5"},
      {"drop", "text/plain", 415, "delay:250@0.5"},
      {R"({"fault": "off"})", "application/json", 200, "off"},
  };
  for (const Post& post : posts) {
    auto res = client.Post("/faults", post.body, post.type);
    ASSERT_TRUE(res) << post.body;
    EXPECT_EQ(res->status, post.status) << post.body;
    EXPECT_EQ(FaultText(sim.server->Fault()), post.fault);
  }

  std::string stream;
  bool sent = false;
  auto res = client.Get("/events", [&](const char* data, std::size_t size) {
    stream.append(data, size);
    if (!sent && stream.find("event: snapshot") != std::string::npos) {
      sent = true;
      EXPECT_EQ(StartPlay(sim.server->Port(), "9", 3, "http://x/<b>\xFF"), 0);
    }
    return stream.find("event: connection") == std::string::npos;
  });
  EXPECT_NE(stream.find(R"("fault":{"arg":0,"mode":"off")"), std::string::npos) << stream;
  EXPECT_NE(stream.find(R"("urlHex":"687474703a2f2f782f3c623eff")"), std::string::npos) << stream;

  auto state = client.Get("/state.json");
  ASSERT_TRUE(state);
  EXPECT_EQ(nlohmann::json::parse(state->body), sim.server->ToJson());
  view.Stop();
  EXPECT_EQ(view.Hub().Readers(), 0u);
}

// A stop that comes before the server thread has begun listening must still end it: the test
// hangs (and times out) otherwise.
TEST(HttpView, StopsRightAfterStarting) {
  constexpr int kRounds = 200;
  Simulator sim;
  for (int round = 0; round < kRounds; ++round) {
    HttpView view(*sim.server);
    std::string why;
    ASSERT_TRUE(view.Start("127.0.0.1", 0, &why)) << why;
    view.Stop();
    httplib::Client client("127.0.0.1", view.Port());
    EXPECT_FALSE(client.Get("/")) << "round " << round;
  }
}

}  // namespace
}  // namespace ostrel::wallsim
