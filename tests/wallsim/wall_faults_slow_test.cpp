// Fault modes that make the host wait out its time limits.
#include "wallsim/simulator.h"

namespace ostrel::wallsim {
namespace {

// The host waits out its 5 s connect limit.
TEST(WallServerFaultsSlow, StallingEveryConnectionTimesTheHostOut) {
  CheckFaults({{"stall", OSTREL_E_TIMED_OUT, "", false}});
}

}  // namespace
}  // namespace ostrel::wallsim
