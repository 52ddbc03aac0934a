// Network namespaces of the test's own, with loopback up: addresses where nothing answers, or
// routes and limits of the test's choosing, without touching any outside network.
#pragma once

#if defined(__linux__)
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::testing {

// A network namespace with loopback up, set up further by `setup`: commands run inside it.
class TestNamespace {
 public:
  explicit TestNamespace(const std::vector<std::string>& setup = {})
      : name_("ostrel-test-" + std::to_string(::getpid())) {
    if (::geteuid() != 0) {
      reason_ = "not root";
      return;
    }
    Run("ip netns del " + name_);  // a leftover of an interrupted run
    if (!Run("ip netns add " + name_)) {
      reason_ = "'ip netns add' failed";
      return;
    }
    created_ = true;
    if (!Run("ip netns exec " + name_ + " ip link set lo up")) {
      reason_ = "cannot bring loopback up in the namespace";
      return;
    }
    for (const std::string& command : setup) {
      if (!Run("ip netns exec " + name_ + " " + command)) {
        reason_ = "'" + command + "' failed in the namespace";
        return;
      }
    }
    ready_ = true;
  }
  ~TestNamespace() {
    if (created_) {
      Run("ip netns del " + name_);
    }
  }
  TestNamespace(const TestNamespace&) = delete;
  TestNamespace& operator=(const TestNamespace&) = delete;

  bool ready() const { return ready_; }
  const std::string& reason() const { return reason_; }

  // Runs `body` on a thread that has entered the namespace; false if it could not enter.
  template <class Body>
  bool RunInside(Body body) {
    bool entered = false;
    std::thread worker([&] {
      const int fd = ::open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
      entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
      if (fd >= 0) {
        ::close(fd);
      }
      if (entered) {
        body();  // the thread, and its namespace, end here
      }
    });
    worker.join();
    return entered;
  }

 private:
  static bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  }

  std::string name_;
  std::string reason_;
  bool created_ = false;
  bool ready_ = false;
};

constexpr int kDroppedPort = 9;

// A namespace where every SYN to kDroppedPort is dropped.
class SilentNamespace : public TestNamespace {
 public:
  SilentNamespace()
      : TestNamespace(
            {"iptables -A INPUT -p tcp --dport " + std::to_string(kDroppedPort) + " -j DROP"}) {}
};

}  // namespace ostrel::testing
#endif
