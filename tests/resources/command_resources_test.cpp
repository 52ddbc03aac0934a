// Long runs through the public interface: a hundred thousand commands delivered to the wall
// controller simulator, and a hundred thousand refused, leave the process's descriptors, the
// socket layer's sockets and events, and its memory where they were after a warm-up. Under
// AddressSanitizer the memory check is left to LeakSanitizer at exit (its quarantine holds
// freed blocks, so the resident size says nothing there).
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "net/loopback_peer.h"
#include "net/net_test_support.h"
#include "ostrel/ostrel.h"
#include "wallsim/wall_server.h"

#if defined(__SANITIZE_ADDRESS__)
#define OSTREL_RESIDENT_SIZE_MEANINGFUL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTREL_RESIDENT_SIZE_MEANINGFUL 0
#endif
#endif
#ifndef OSTREL_RESIDENT_SIZE_MEANINGFUL
#define OSTREL_RESIDENT_SIZE_MEANINGFUL 1
#endif

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kCommands = 100000;
constexpr int kWarmUp = 2000;
// Growth of the resident size allowed over the run: a leak of a single small block per command
// would be several times this.
constexpr long kResidentGrowthLimit = 4 * 1024 * 1024;

long ResidentBytes() {
  long pages = 0;
  long resident = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * ::sysconf(_SC_PAGESIZE);
}

struct Snapshot {
  ResourceCounts counts;
  long resident = 0;
};

// Once the descriptor count holds still: the simulator closes a finished connection a moment
// after it has counted it.
Snapshot Take() { return {SettledResourceCounts(), ResidentBytes()}; }

void ExpectFlat(const Snapshot& before, const Snapshot& after) {
  EXPECT_EQ(after.counts.descriptors, before.counts.descriptors);
  EXPECT_EQ(after.counts.sockets, before.counts.sockets);
  EXPECT_EQ(after.counts.events, before.counts.events);
  ::testing::Test::RecordProperty("resident_growth_bytes",
                                  std::to_string(after.resident - before.resident));
  std::printf("resident size: %ld KiB before, %ld KiB after\n", before.resident / 1024,
              after.resident / 1024);
  if (OSTREL_RESIDENT_SIZE_MEANINGFUL) {
    EXPECT_LT(after.resident - before.resident, kResidentGrowthLimit);
  }
}

// Each command in turn, on a few outputs and areas (the simulator's state stays small).
int Command(int wall, int i) {
  const std::string vidout = std::to_string(i % 4 + 1);
  switch (i % 3) {
    case 0:
      return Ostrel_StartPlay(wall, vidout.c_str(), i % 9, "rtsp://127.0.0.1/stream01");
    case 1:
      return Ostrel_StopPlay(wall, vidout.c_str(), i % 9);
    default:
      return Ostrel_Duplicate(wall, vidout.c_str(), i % 9, "2", (i + 1) % 9);
  }
}

class CommandResources : public ::testing::Test {
 protected:
  void SetUp() override { Ostrel_Initialize(); }
  void TearDown() override { Ostrel_Finalize(); }
};

TEST_F(CommandResources, HundredThousandCommandsToTheSimulatorLeaveEverythingFlat) {
  wallsim::WallServer server(wallsim::ServerOptions{}, nullptr);
  server.Start();
  int wall = -1;
  ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", server.Port(), &wall), 0);
  for (int i = 0; i < kWarmUp; ++i) ASSERT_EQ(Command(wall, i), 0);
  ASSERT_TRUE(server.WaitForConnectionsDone(kWarmUp, 30s));
  const Snapshot before = Take();
  int undelivered = 0;
  for (int i = 0; i < kCommands; ++i) {
    ASSERT_EQ(Command(wall, i), 0);
    if (Ostrel_LastErrorCode() != 0) ++undelivered;
  }
  ASSERT_TRUE(server.WaitForConnectionsDone(kWarmUp + kCommands, 60s));
  const Snapshot after = Take();
  EXPECT_EQ(undelivered, 0);
  EXPECT_EQ(server.Counters().applied, kWarmUp + kCommands);
  ExpectFlat(before, after);
  Ostrel_CloseTvWall(wall);
}

TEST_F(CommandResources, HundredThousandRefusedCommandsLeaveEverythingFlat) {
  int wall = -1;
  ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", LoopbackPeer::UnusedPort(), &wall), 0);
  for (int i = 0; i < kWarmUp; ++i) ASSERT_EQ(Command(wall, i), 0);
  const Snapshot before = Take();
  int refused = 0;
  for (int i = 0; i < kCommands; ++i) {
    ASSERT_EQ(Command(wall, i), 0);  // a failed delivery is not the command's result
    if (Ostrel_LastErrorCode() == OSTREL_E_REFUSED) ++refused;
  }
  const Snapshot after = Take();
  EXPECT_EQ(refused, kCommands);
  ExpectFlat(before, after);
  Ostrel_CloseTvWall(wall);
}

}  // namespace
}  // namespace ostrel::testing
