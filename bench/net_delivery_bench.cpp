// One play command delivered to a loopback controller: Ostrel_StartPlay beside a minimal
// blocking POSIX client sending the same frame (socket, connect, send, close), against a sink
// that checks every byte of every connection.
//
// The latency that counts is taken against a sink that polls for work. A sink whose threads
// sleep in accept() and recv() must be woken by each connection's steps, and on a virtual
// machine waking a halted processor costs the waking thread an exit to the hypervisor inside
// its connect() or send(): a cost of the machine, not of the client, and one that falls on
// whichever client leaves the sink time to fall asleep between its steps. The latency against
// a sleeping sink is reported beside it, and the threads send to a sleeping sink.
//
//   net_delivery_bench [--out=FILE]        latency (interleaved blocks of both clients: median,
//                                          p99) and 16-thread throughput; JSON to FILE
//   net_delivery_bench --sink              runs the sink alone: prints its port, stops at EOF
//                                          on standard input
//   net_delivery_bench --deliver=library|minimal --port=P --count=N
//                                          N deliveries and nothing else (run under strace -c
//                                          to count system calls per command)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "command/command_document.h"
#include "net_minimal_client.h"
#include "ostrel/ostrel.h"

namespace {

constexpr int kCommandsEach = 20000;
constexpr int kBlock = 500;
constexpr int kThreads = 16;
constexpr int kCommandsPerThread = 500;
constexpr int kThroughputRounds = 7;
// Ports the sink listens on, the commands going to each in turn. A client closes first, so each
// connection leaves its local port in TIME_WAIT; towards one port the system reuses one only
// after a second, and at more connections a second than it has ports (about 28,000) every
// connect() searches the whole range: commands then take milliseconds each, for whichever client
// was running. Spread over ports, each one is reached less often than that.
constexpr std::size_t kSinkPorts = 8;
constexpr int kBacklog = 4096;
constexpr const char* kVidout = "1";
constexpr int kArea = 2;
constexpr const char* kUrl = "rtsp://camera-7/stream";

using Clock = std::chrono::steady_clock;

std::vector<unsigned char> ExpectedFrame() {
  return ostrel::command::FrameDocument(ostrel::command::ComposeStartPlay(kVidout, kArea, kUrl));
}

// How the sink waits for connections and bytes.
enum class SinkWaits { kSleeping, kPolling };

// Accepts connections on loopback ports and compares all each connection carries with the
// frame: sleeping, a thread per port blocks in accept() and recv(); polling, one thread goes
// round the ports and reads each connection without ever blocking.
class CheckingSink {
 public:
  CheckingSink(std::vector<unsigned char> expected, int port_count, SinkWaits waits)
      : expected_(std::move(expected)) {
    for (int i = 0; i < port_count; ++i) {
      const int listener = Listen();
      listeners_.push_back(listener);
      if (waits == SinkWaits::kSleeping) {
        workers_.emplace_back([this, listener] { Serve(listener); });
      } else {
        ::fcntl(listener, F_SETFL, O_NONBLOCK);
      }
    }
    if (waits == SinkWaits::kPolling) workers_.emplace_back([this] { Poll(); });
  }
  ~CheckingSink() {
    stopping_ = true;
    for (int listener : listeners_) ::shutdown(listener, SHUT_RDWR);  // ends accept()
    for (std::thread& worker : workers_) worker.join();
    for (int listener : listeners_) ::close(listener);
  }

  const std::vector<int>& ports() const { return ports_; }
  long good() const { return good_.load(); }
  long bad() const { return bad_.load(); }

 private:
  int Listen() {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, kBacklog) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::perror("sink");
      std::exit(1);
    }
    ports_.push_back(ntohs(address.sin_port));
    return listener;
  }

  void Serve(int listener) {
    std::vector<unsigned char> received(expected_.size() + 1);
    for (;;) {
      const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      Check(connection, &received);
    }
  }

  void Poll() {
    std::vector<unsigned char> received(expected_.size() + 1);
    while (!stopping_) {
      for (int listener : listeners_) {
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (connection >= 0) Check(connection, &received);
      }
    }
  }

  // Reads the connection to its end (retrying at once while a non-blocking one has nothing),
  // counts it and closes it.
  void Check(int connection, std::vector<unsigned char>* received) {
    std::size_t total = 0;
    for (;;) {
      const std::size_t at = std::min(total, expected_.size());
      const ssize_t got = ::recv(connection, received->data() + at, received->size() - at, 0);
      if (got > 0) {
        total += static_cast<std::size_t>(got);
      } else if (got == 0 || (errno != EAGAIN && errno != EINTR) || stopping_) {
        break;
      }
    }
    const bool same =
        total == expected_.size() && std::memcmp(received->data(), expected_.data(), total) == 0;
    (same ? good_ : bad_).fetch_add(1);
    ::close(connection);
  }

  std::atomic<bool> stopping_{false};
  std::vector<unsigned char> expected_;
  std::vector<int> listeners_;
  std::vector<int> ports_;
  std::atomic<long> good_{0};
  std::atomic<long> bad_{0};
  std::vector<std::thread> workers_;
};

// What the sinks received.
struct Received {
  long sent = 0;
  long whole = 0;
  long wrong = 0;
};

// The sink in a process of its own, as a controller would be: its threads then share nothing
// with the client's. Reports what it received when the bench is done.
class SinkProcess {
 public:
  explicit SinkProcess(SinkWaits waits) {
    int control[2];
    int report[2];
    if (::pipe(control) != 0 || ::pipe(report) != 0 || (pid_ = ::fork()) < 0) {
      std::perror("sink process");
      std::exit(1);
    }
    if (pid_ == 0) {
      ::close(control[1]);
      ::close(report[0]);
      ServeUntilEof(control[0], report[1], waits);
      std::_Exit(0);
    }
    ::close(control[0]);
    ::close(report[1]);
    control_fd_ = control[1];
    report_ = ::fdopen(report[0], "r");
    int port = 0;
    while (report_ != nullptr && ports_.size() < kSinkPorts &&
           std::fscanf(report_, "%d", &port) == 1) {
      ports_.push_back(port);
    }
    if (ports_.size() != kSinkPorts) {
      std::fprintf(stderr, "net_delivery_bench: the sink did not start\n");
      std::exit(1);
    }
  }

  const std::vector<int>& ports() const { return ports_; }

  // Stops the sink once it has seen `expected` connections (or after ten seconds) and adds
  // them to `received`.
  void Finish(long expected, Received* received) {
    const std::string line = std::to_string(expected) + "\n";
    (void)!::write(control_fd_, line.data(), line.size());
    ::close(control_fd_);
    long good = 0;
    long bad = 0;
    if (std::fscanf(report_, "%ld %ld", &good, &bad) != 2) good = bad = -1;
    std::fclose(report_);
    ::waitpid(pid_, nullptr, 0);
    received->sent += expected;
    received->whole += good;
    received->wrong += bad;
  }

 private:
  static void ServeUntilEof(int control_fd, int report_fd, SinkWaits waits) {
    CheckingSink sink(ExpectedFrame(), kSinkPorts, waits);
    std::string ports;
    for (int port : sink.ports()) ports += std::to_string(port) + " ";
    ports.back() = '\n';
    (void)!::write(report_fd, ports.data(), ports.size());
    FILE* control = ::fdopen(control_fd, "r");
    long expected = 0;
    if (control == nullptr || std::fscanf(control, "%ld", &expected) != 1) expected = 0;
    for (int i = 0; i < 1000 && sink.good() + sink.bad() < expected; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string counts =
        std::to_string(sink.good()) + " " + std::to_string(sink.bad()) + "\n";
    (void)!::write(report_fd, counts.data(), counts.size());
  }

  pid_t pid_ = -1;
  int control_fd_ = -1;
  FILE* report_ = nullptr;
  std::vector<int> ports_;
};

// Where one command goes: a sink port, and the wall handle registered for it.
struct Target {
  int handle;
  int port;
};

struct Client {
  const char* name;
  bool (*deliver)(const Target& target, const std::vector<unsigned char>& frame);
};

bool LibraryDelivery(const Target& target, const std::vector<unsigned char>&) {
  return Ostrel_StartPlay(target.handle, kVidout, kArea, kUrl) == 0 && Ostrel_LastErrorCode() == 0;
}

bool MinimalDelivery(const Target& target, const std::vector<unsigned char>& frame) {
  return ostrel::bench::MinimalBlockingDelivery(target.port, frame.data(), frame.size());
}

const Client kLibrary{"library", LibraryDelivery};
const Client kMinimal{"minimal", MinimalDelivery};

std::vector<Target> OpenWalls(const std::vector<int>& ports) {
  std::vector<Target> targets;
  for (int port : ports) {
    int handle = -1;
    if (Ostrel_OpenTvWall("127.0.0.1", port, &handle) != 0) {
      std::fprintf(stderr, "net_delivery_bench: no wall handle\n");
      std::exit(1);
    }
    targets.push_back({handle, port});
  }
  return targets;
}

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  const std::size_t at =
      std::min(values.size() - 1, static_cast<std::size_t>(share * values.size()));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
  return values[at];
}

struct Run {
  std::vector<double> latencies_us;
  long failures = 0;
};

// Each command goes to the next target in turn.
void TimeBlock(const Client& client, const std::vector<Target>& targets,
               const std::vector<unsigned char>& frame, Run* run) {
  for (int i = 0; i < kBlock; ++i) {
    const Target& target = targets[static_cast<std::size_t>(i) % targets.size()];
    const Clock::time_point start = Clock::now();
    if (!client.deliver(target, frame)) ++run->failures;
    run->latencies_us.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
}

// Commands per second with kThreads threads each delivering kCommandsPerThread commands.
double Throughput(const Client& client, const std::vector<Target>& targets,
                  const std::vector<unsigned char>& frame, long* failures) {
  std::atomic<long> failed{0};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCommandsPerThread; ++i) {
        const Target& target = targets[static_cast<std::size_t>(t + i) % targets.size()];
        if (!client.deliver(target, frame)) failed.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  *failures += failed.load();
  return kThreads * kCommandsPerThread / seconds;
}

struct Latency {
  Run library;
  Run minimal;
  long failures() const { return library.failures + minimal.failures; }
};

struct Figures {
  Latency polling;   // against a sink that polls: the figures that count
  Latency sleeping;  // against a sink that sleeps
  std::vector<double> library_rates;
  std::vector<double> minimal_rates;
  long throughput_failures = 0;
  long failures() const { return polling.failures() + sleeping.failures() + throughput_failures; }
};

// Blocks of each client in turn, the order swapped every block, so that machine noise and the
// build-up of closed connections fall on both alike.
void MeasureLatency(const std::vector<Target>& targets, const std::vector<unsigned char>& frame,
                    Latency* latency) {
  for (int block = 0; block < kCommandsEach / kBlock; ++block) {
    const bool library_first = block % 2 == 0;
    TimeBlock(library_first ? kLibrary : kMinimal, targets, frame,
              library_first ? &latency->library : &latency->minimal);
    TimeBlock(library_first ? kMinimal : kLibrary, targets, frame,
              library_first ? &latency->minimal : &latency->library);
  }
}

// Rounds of each in turn, the order swapped every round, as for the blocks.
void MeasureThroughput(const std::vector<Target>& targets, const std::vector<unsigned char>& frame,
                       Figures* figures) {
  for (int round = 0; round < kThroughputRounds; ++round) {
    const bool library_first = round % 2 == 0;
    for (const Client* client :
         {library_first ? &kLibrary : &kMinimal, library_first ? &kMinimal : &kLibrary}) {
      const double rate = Throughput(*client, targets, frame, &figures->throughput_failures);
      (client == &kLibrary ? figures->library_rates : figures->minimal_rates).push_back(rate);
    }
  }
}

// Median and p99 of each client, in microseconds.
struct Summary {
  double library_median;
  double minimal_median;
  double library_p99;
  double minimal_p99;
};

Summary Summarize(const Latency& latency) {
  return {Percentile(latency.library.latencies_us, 0.5),
          Percentile(latency.minimal.latencies_us, 0.5),
          Percentile(latency.library.latencies_us, 0.99),
          Percentile(latency.minimal.latencies_us, 0.99)};
}

void Report(const Figures& figures, const Received& received, std::size_t frame_bytes, FILE* out) {
  const Summary polling = Summarize(figures.polling);
  const Summary sleeping = Summarize(figures.sleeping);
  const double library_rate = Percentile(figures.library_rates, 0.5);
  const double minimal_rate = Percentile(figures.minimal_rates, 0.5);
  std::fprintf(stderr,
               "delivery: median %.1f us vs %.1f us (%.2fx), p99 %.1f us vs %.1f us (%.2fx); "
               "sink sleeping: median %.2fx, p99 %.2fx; %d threads: %.0f/s vs %.0f/s (%.2fx); "
               "sink: %ld whole, %ld wrong; failed %ld\n",
               polling.library_median, polling.minimal_median,
               polling.library_median / polling.minimal_median, polling.library_p99,
               polling.minimal_p99, polling.library_p99 / polling.minimal_p99,
               sleeping.library_median / sleeping.minimal_median,
               sleeping.library_p99 / sleeping.minimal_p99, kThreads, library_rate, minimal_rate,
               library_rate / minimal_rate, received.whole, received.wrong, figures.failures());
  std::fprintf(out,
               "{\"commands_each\": %d, \"block\": %d, \"frame_bytes\": %zu, \"sink_ports\": %zu,\n"
               " \"library_median_us\": %.2f, \"minimal_median_us\": %.2f,\n"
               " \"library_p99_us\": %.2f, \"minimal_p99_us\": %.2f,\n"
               " \"sleeping_library_median_us\": %.2f, \"sleeping_minimal_median_us\": %.2f,\n"
               " \"sleeping_library_p99_us\": %.2f, \"sleeping_minimal_p99_us\": %.2f,\n"
               " \"threads\": %d, \"library_per_second\": %.0f, \"minimal_per_second\": %.0f,\n"
               " \"sink_whole\": %ld, \"sink_wrong\": %ld, \"sent\": %ld, \"failed\": %ld}\n",
               kCommandsEach, kBlock, frame_bytes, kSinkPorts, polling.library_median,
               polling.minimal_median, polling.library_p99, polling.minimal_p99,
               sleeping.library_median, sleeping.minimal_median, sleeping.library_p99,
               sleeping.minimal_p99, kThreads, library_rate, minimal_rate, received.whole,
               received.wrong, received.sent, figures.failures());
}

// Each sink is made before any thread of this process: a fork copies only the calling thread.
int Measure(const char* out_path) {
  const std::vector<unsigned char> frame = ExpectedFrame();
  Figures figures;
  Received received;
  {
    SinkProcess sink(SinkWaits::kPolling);
    MeasureLatency(OpenWalls(sink.ports()), frame, &figures.polling);
    sink.Finish(2L * kCommandsEach, &received);
  }
  SinkProcess sink(SinkWaits::kSleeping);
  const std::vector<Target> targets = OpenWalls(sink.ports());
  MeasureLatency(targets, frame, &figures.sleeping);
  MeasureThroughput(targets, frame, &figures);
  sink.Finish(2L * kCommandsEach + 2L * kThroughputRounds * kThreads * kCommandsPerThread,
              &received);
  FILE* out = out_path != nullptr ? std::fopen(out_path, "w") : stdout;
  if (out == nullptr) return 1;
  Report(figures, received, frame.size(), out);
  if (out != stdout) std::fclose(out);
  return received.wrong == 0 && received.whole == received.sent ? 0 : 1;
}

int RunSink() {
  CheckingSink sink(ExpectedFrame(), 1, SinkWaits::kSleeping);
  std::printf("%d\n", sink.ports().front());
  std::fflush(stdout);
  char byte;
  while (::read(STDIN_FILENO, &byte, 1) > 0) {
  }
  std::fprintf(stderr, "sink: %ld whole, %ld wrong\n", sink.good(), sink.bad());
  return sink.bad() == 0 ? 0 : 1;
}

int Deliver(const std::string& client_name, int port, int count) {
  const Client& client = client_name == "minimal" ? kMinimal : kLibrary;
  const std::vector<unsigned char> frame = ExpectedFrame();
  const Target target = OpenWalls({port}).front();
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    if (!client.deliver(target, frame)) ++failures;
  }
  return failures == 0 ? 0 : 1;
}

const char* Option(int argc, char** argv, const char* name) {
  const std::size_t length = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') {
      return argv[i] + length + 1;
    }
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  Ostrel_Initialize();
  int status;
  if (argc > 1 && std::strcmp(argv[1], "--sink") == 0) {
    status = RunSink();
  } else if (const char* client = Option(argc, argv, "--deliver")) {
    const char* port = Option(argc, argv, "--port");
    const char* count = Option(argc, argv, "--count");
    status = port != nullptr && count != nullptr
                 ? Deliver(client, std::atoi(port), std::atoi(count))
                 : 2;
  } else {
    status = Measure(Option(argc, argv, "--out"));
  }
  Ostrel_Finalize();
  return status;
}
