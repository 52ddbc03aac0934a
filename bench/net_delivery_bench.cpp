// One delivery (connect, send a 205-byte frame, close) to a loopback controller: the library's
// SendFramedRequest beside a minimal blocking POSIX client, 20,000 deliveries each in a row so
// that the build-up of TIME_WAIT connections shows. Prints the median of each tenth of both
// runs and their ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "net/framed_request.h"
#include "net/loopback_peer.h"
#include "net_minimal_client.h"
#include "platform/winsock.h"

namespace {

constexpr int kDeliveries = 20000;
constexpr int kTenths = 10;

using Clock = std::chrono::steady_clock;

std::vector<unsigned char> CommandSizedFrame() {
  std::vector<unsigned char> frame(205, 'c');
  frame[0] = 205;
  frame[1] = frame[2] = frame[3] = 0;
  return frame;
}

ostrel::testing::LoopbackPeer& Controller() {
  static ostrel::testing::LoopbackPeer peer([] {
    ostrel::testing::PeerScript script;
    script.keep_bytes = false;
    return script;
  }());
  return peer;
}

std::vector<double> library_us;
std::vector<double> minimal_us;

template <class Deliver>
void Run(benchmark::State& state, std::vector<double>& latencies, Deliver deliver) {
  const std::vector<unsigned char> frame = CommandSizedFrame();
  const int port = Controller().port();
  latencies.clear();
  latencies.reserve(kDeliveries);
  std::int64_t failures = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    if (!deliver(port, frame)) {
      ++failures;
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  state.counters["failures"] = static_cast<double>(failures);
  // Let the controller catch up, so that the next run starts from a quiet connection queue.
  Controller().WaitForFinished(Controller().AcceptedCount(), std::chrono::seconds(30));
}

void BM_SendFramedRequest(benchmark::State& state) {
  Run(state, library_us, [](int port, const std::vector<unsigned char>& frame) {
    return ostrel::net::SendFramedRequest("127.0.0.1", port, frame.data(),
                                          static_cast<std::uint32_t>(frame.size()), nullptr,
                                          nullptr);
  });
}

void BM_MinimalBlockingClient(benchmark::State& state) {
  Run(state, minimal_us, [](int port, const std::vector<unsigned char>& frame) {
    return ostrel::bench::MinimalBlockingDelivery(port, frame.data(), frame.size());
  });
}

BENCHMARK(BM_SendFramedRequest)
    ->Iterations(kDeliveries)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_MinimalBlockingClient)
    ->Iterations(kDeliveries)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

double Median(std::vector<double> values) {
  if (values.empty()) {
    return 0;
  }
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

double MedianOfTenth(const std::vector<double>& values, int tenth) {
  const std::size_t begin = values.size() * tenth / kTenths;
  const std::size_t end = values.size() * (tenth + 1) / kTenths;
  return Median(std::vector<double>(values.begin() + begin, values.begin() + end));
}

void PrintComparison() {
  if (library_us.empty() || minimal_us.empty()) {
    return;
  }
  std::printf("\nmedian microseconds per delivery, by tenth of %d deliveries in a row\n",
              kDeliveries);
  std::printf("%6s %12s %12s %8s\n", "tenth", "library", "minimal", "ratio");
  double worst = 0;
  for (int tenth = 0; tenth < kTenths; ++tenth) {
    const double library = MedianOfTenth(library_us, tenth);
    const double minimal = MedianOfTenth(minimal_us, tenth);
    const double ratio = minimal > 0 ? library / minimal : 0;
    worst = std::max(worst, ratio);
    std::printf("%6d %12.1f %12.1f %8.2f\n", tenth + 1, library, minimal, ratio);
  }
  const double library = Median(library_us);
  const double minimal = Median(minimal_us);
  std::printf("overall median: library %.1f us, minimal %.1f us, ratio %.2f (worst tenth %.2f)\n",
              library, minimal, minimal > 0 ? library / minimal : 0, worst);
}

}  // namespace

int main(int argc, char** argv) {
  ostrel::WSADATA data;
  ostrel::WSAStartup(ostrel::MAKEWORD(2, 2), &data);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  PrintComparison();
  ostrel::WSACleanup();
  return 0;
}
