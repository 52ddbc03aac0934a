// Each cause of an undelivered command has a code of its own and words of its own, found
// through real sockets: routes and a narrowed local port range in a network namespace of the
// test's own, and a descriptor limit lowered until no descriptor is free.
#include <gtest/gtest.h>

#if defined(__linux__)
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <climits>
#include <string>

#include "net/loopback_peer.h"
#include "net/silent_namespace.h"
#include "ostrel/ostrel.h"

namespace ostrel::testing {
namespace {

#if defined(__linux__)
// Inside the namespace only 127.0.0.1 stays local; 127.0.0.2 to .4 get routes that end
// there, 127.0.0.5 none at all. Four local ports (the loopback peer listens on one), and no
// early reuse of one in TIME_WAIT.
const std::vector<std::string> kRoutesAndPorts = {
    "ip route del local 127.0.0.0/8 dev lo table local",
    "ip route add blackhole 127.0.0.2/32",
    "ip route add prohibit 127.0.0.3/32",
    "ip route add unreachable 127.0.0.4/32",
    "sysctl -qw net.ipv4.ip_local_port_range='40000 40003'",
    "sysctl -qw net.ipv4.tcp_tw_reuse=0",
};
constexpr int kLocalPorts = 3;  // left for connections
constexpr int kClosedPort = 9;  // below the port range: no connection can meet itself there

struct Cause {
  const char* what;
  const char* address;
  int port;             // 0: the loopback peer's
  int earlier;          // deliveries to the same place first, each expected to succeed
  bool no_descriptors;  // sent with the descriptor limit at the lowest free number
  bool in_namespace;    // needs the namespace's routes and port range
  int code;
};

const Cause kCauses[] = {
    {"nothing listens", "127.0.0.1", kClosedPort, 0, false, false, OSTREL_E_REFUSED},
    {"no free descriptor", "127.0.0.1", kClosedPort, 0, true, false, OSTREL_E_NO_SOCKETS},
    {"no route", "127.0.0.5", kClosedPort, 0, false, true, OSTREL_E_NET_UNREACHABLE},
    {"blackhole route", "127.0.0.2", kClosedPort, 0, false, true, OSTREL_E_NET_UNREACHABLE},
    {"prohibit route", "127.0.0.3", kClosedPort, 0, false, true, OSTREL_E_BLOCKED},
    {"unreachable route", "127.0.0.4", kClosedPort, 0, false, true, OSTREL_E_HOST_UNREACHABLE},
    {"no free local port", "127.0.0.1", 0, kLocalPorts, false, true, OSTREL_E_NO_BUFFERS},
};

int Deliver(const char* address, int port, bool no_descriptors) {
  int wall = -1;
  if (Ostrel_OpenTvWall(address, port, &wall) != 0) return -1;
  rlimit saved{};
  ::getrlimit(RLIMIT_NOFILE, &saved);
  if (no_descriptors) {
    const int lowest_free = ::dup(0);  // a new descriptor takes the lowest free number
    ::close(lowest_free);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowest_free);
    ::setrlimit(RLIMIT_NOFILE, &none);
  }
  Ostrel_StartPlay(wall, "1", 2, "stream");
  const int code = Ostrel_LastErrorCode();
  ::setrlimit(RLIMIT_NOFILE, &saved);
  Ostrel_CloseTvWall(wall);
  return code;
}

void ExpectCauses(bool in_namespace) {
  LoopbackPeer peer;
  Ostrel_Initialize();
  for (const Cause& c : kCauses) {
    if (c.in_namespace != in_namespace) continue;
    const int port = c.port != 0 ? c.port : peer.port();
    for (int i = 0; i < c.earlier; ++i) {
      EXPECT_EQ(Deliver(c.address, port, false), OSTREL_OK) << c.what << ", delivery " << i;
    }
    const int code = Deliver(c.address, port, c.no_descriptors);
    EXPECT_EQ(code, c.code) << c.what << ": " << Ostrel_OutcomeText(code);
    EXPECT_STRNE(Ostrel_OutcomeText(c.code), Ostrel_OutcomeText(INT_MIN)) << c.what;
  }
  Ostrel_Finalize();
}

TEST(OutcomeCauses, EachCauseHasItsOwnCodeAndWords) {
  ExpectCauses(false);
  TestNamespace space(kRoutesAndPorts);
  if (!space.ready()) {
    GTEST_SKIP() << "routes and port range not checked: cannot make a network namespace ("
                 << space.reason() << "); needs root, iproute2 and procps";
  }
  ASSERT_TRUE(space.RunInside([] { ExpectCauses(true); }));
}
#endif

}  // namespace
}  // namespace ostrel::testing
