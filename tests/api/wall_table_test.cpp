// The exported entry points and the wall table behind them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/wall_table.h"
#include "ostrel/ostrel.h"
#include "platform/debug_output.h"

namespace ostrel {
namespace {

class EntryPoints : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetDebugSinkForTesting([this](const char* line) { lines_.emplace_back(line); });
    Ostrel_Initialize();
    lines_.clear();
  }
  void TearDown() override {
    Ostrel_Finalize();
    platform::SetDebugSinkForTesting({});
  }

  static WallSlot Slot(int handle) {
    WallSlot slot;
    TheWallTable().Read(handle, &slot);
    return slot;
  }

  std::vector<std::string> lines_;
};

TEST_F(EntryPoints, VersionIsConstantText) {
  EXPECT_STREQ(Ostrel_Version(), "V2.0");
  EXPECT_EQ(Ostrel_Version(), Ostrel_Version());
}

TEST_F(EntryPoints, HandsOutSlotsInOrderThenRefusesWithoutWritingHandle) {
  for (int i = 0; i < kWallSlotCount; ++i) {
    int handle = -1;
    ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", 1000 + i, &handle), 0);
    EXPECT_EQ(handle, i);
  }
  int handle = 4242;
  EXPECT_EQ(Ostrel_OpenTvWall("127.0.0.1", 1, &handle), -1);
  EXPECT_EQ(handle, 4242);
  EXPECT_EQ(Ostrel_LastErrorCode(), OSTREL_E_TABLE_FULL);
  EXPECT_EQ(Slot(63).port, 1063);  // the refusal changed nothing
}

TEST_F(EntryPoints, ReusesLowestFreeSlot) {
  int handle = -1;
  for (int i = 0; i < kWallSlotCount; ++i) Ostrel_OpenTvWall("127.0.0.1", 1, &handle);
  ASSERT_EQ(Ostrel_CloseTvWall(40), 0);
  ASSERT_EQ(Ostrel_CloseTvWall(5), 0);
  ASSERT_EQ(Ostrel_OpenTvWall("10.1.1.1", 2, &handle), 0);
  EXPECT_EQ(handle, 5);
  ASSERT_EQ(Ostrel_OpenTvWall("10.1.1.2", 3, &handle), 0);
  EXPECT_EQ(handle, 40);
  EXPECT_STREQ(Slot(40).address, "10.1.1.2");
}

TEST_F(EntryPoints, CloseChecksRangeOnly) {
  struct Case {
    int handle;
    int result;
  };
  for (const Case& c :
       {Case{-1, -1}, Case{64, -1}, Case{INT32_MIN, -1}, Case{7, 0}, Case{0, 0}, Case{63, 0}}) {
    EXPECT_EQ(Ostrel_CloseTvWall(c.handle), c.result) << "handle " << c.handle;
    EXPECT_EQ(Ostrel_LastErrorCode(), c.result == 0 ? OSTREL_OK : OSTREL_E_INVALID_ARG);
  }
}

TEST_F(EntryPoints, CloseKeepsAddressAndPortUntilSlotIsTakenAgain) {
  int handle = -1;
  ASSERT_EQ(Ostrel_OpenTvWall("192.0.2.7", 8080, &handle), 0);
  ASSERT_EQ(Ostrel_CloseTvWall(handle), 0);
  WallSlot slot = Slot(handle);
  EXPECT_EQ(slot.in_use, 0);
  EXPECT_STREQ(slot.address, "192.0.2.7");
  EXPECT_EQ(slot.port, 8080);
}

TEST_F(EntryPoints, PortKeepsLow16Bits) {
  struct Case {
    int given;
    std::uint16_t stored;
  };
  for (const Case& c : {Case{65536 + 80, 80}, Case{-1, 65535}, Case{65535, 65535},
                        Case{0x7FFF0001, 1}, Case{0, 0}}) {
    int handle = -1;
    ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", c.given, &handle), 0);
    EXPECT_EQ(Slot(handle).port, c.stored) << "port " << c.given;
  }
}

TEST_F(EntryPoints, AddressFillsSlotUpTo31Characters) {
  const std::string longest(31, '9');
  int handle = -1;
  ASSERT_EQ(Ostrel_OpenTvWall(longest.c_str(), 1, &handle), 0);
  EXPECT_EQ(std::string(Slot(handle).address), longest);
}

TEST_F(EntryPoints, RefusesAddressThatDoesNotFitOrNullPointers) {
  int handle = 99;
  const std::string too_long(32, '1');
  EXPECT_EQ(Ostrel_OpenTvWall(too_long.c_str(), 1, &handle), -1);
  EXPECT_EQ(Ostrel_OpenTvWall(nullptr, 1, &handle), -1);
  EXPECT_EQ(Ostrel_LastErrorCode(), OSTREL_E_INVALID_ARG);
  EXPECT_EQ(Ostrel_OpenTvWall("127.0.0.1", 1, nullptr), -1);
  EXPECT_EQ(handle, 99);
  EXPECT_EQ(Slot(0).in_use, 0);  // nothing was taken
  EXPECT_TRUE(lines_.empty());   // only a registration writes its line
}

TEST_F(EntryPoints, InitializeFreesEverySlotAndClearsThem) {
  int handle = -1;
  Ostrel_OpenTvWall("127.0.0.1", 5, &handle);
  Ostrel_OpenTvWall("127.0.0.2", 6, &handle);
  Ostrel_Initialize();
  Ostrel_Finalize();  // keeps start-ups and clean-ups paired
  EXPECT_EQ(Slot(1).in_use, 0);
  EXPECT_STREQ(Slot(1).address, "");
  EXPECT_EQ(Slot(1).port, 0);
  ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.3", 7, &handle), 0);
  EXPECT_EQ(handle, 0);
}

TEST_F(EntryPoints, WritesDebugLinesInCallOrder) {
  int handle = -1;
  Ostrel_OpenTvWall("127.0.0.1", 1, &handle);
  Ostrel_CloseTvWall(handle);
  Ostrel_Version();
  Ostrel_LastErrorCode();
  Ostrel_Finalize();
  Ostrel_Initialize();
  EXPECT_EQ(lines_, (std::vector<std::string>{"Ostrel_OpenTvWall", "Ostrel_Finalize",
                                              "Ostrel_Initialize"}));
}

TEST_F(EntryPoints, LastErrorCodeIsPerThread) {
  int handle = -1;
  EXPECT_EQ(Ostrel_CloseTvWall(64), -1);
  std::thread other([&] {
    EXPECT_EQ(Ostrel_LastErrorCode(), 0);  // a fresh thread has seen no failure
    EXPECT_EQ(Ostrel_OpenTvWall("127.0.0.1", 1, &handle), 0);
  });
  other.join();
  EXPECT_EQ(Ostrel_LastErrorCode(), OSTREL_E_INVALID_ARG);
}

TEST_F(EntryPoints, ConcurrentRegistrationsGetDistinctHandles) {
  constexpr int kThreads = 8;
  std::vector<int> handles(kWallSlotCount, -1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kWallSlotCount / kThreads; ++i) {
        int handle = -1;
        ASSERT_EQ(Ostrel_OpenTvWall("127.0.0.1", t, &handle), 0);
        handles[t * (kWallSlotCount / kThreads) + i] = handle;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::sort(handles.begin(), handles.end());
  for (int i = 0; i < kWallSlotCount; ++i) EXPECT_EQ(handles[i], i);
}

}  // namespace
}  // namespace ostrel
