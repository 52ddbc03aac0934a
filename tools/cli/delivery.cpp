#include "cli/delivery.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "cli/session.h"

namespace ostrel::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr auto kSleepSlice = std::chrono::milliseconds(20);

volatile sig_atomic_t interrupt_seen = 0;

void OnInterrupt(int) { interrupt_seen = 1; }

// Waits, waking early when the run is interrupted.
void PauseFor(std::chrono::milliseconds delay) {
  const Clock::time_point until = Clock::now() + delay;
  while (!Interrupted() && Clock::now() < until) {
    std::this_thread::sleep_for(std::min<Clock::duration>(kSleepSlice, until - Clock::now()));
  }
}

double Seconds(Clock::duration elapsed) { return std::chrono::duration<double>(elapsed).count(); }

}  // namespace

int Tally::Failed() const {
  int total = 0;
  for (const auto& [code, count] : failed) total += count;
  return total;
}

std::string Tally::Causes() const {
  std::string text;
  const char* separator = " (";
  for (const auto& [code, count] : failed) {
    text += separator + std::to_string(count) + ' ' +
            (code < 0 ? "arguments rejected by the library" : OutcomeText(code));
    separator = ", ";
  }
  return failed.empty() ? text : text + ')';
}

std::string Tally::FailedText() const { return std::to_string(Failed()) + Causes(); }

void WatchForInterrupt() {
  struct sigaction action = {};
  action.sa_handler = OnInterrupt;
  action.sa_flags = SA_RESTART;  // the command in flight goes on to its end
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return interrupt_seen != 0; }

int SendWithRetry(const std::function<int()>& send_once, const RetryPolicy& policy, Tally* tally) {
  ++tally->commands;
  std::chrono::milliseconds delay(policy.delayMs);
  int outcome = send_once();
  for (int attempt = 0; outcome > 0 && attempt < policy.retries && !Interrupted(); ++attempt) {
    PauseFor(delay);
    if (Interrupted()) break;
    delay = std::min(delay * 2, RetryPolicy::kMaxRetryDelay);
    ++tally->retries;
    outcome = send_once();
  }
  if (outcome == 0) {
    ++tally->delivered;
  } else {
    ++tally->failed[outcome];  // -1: refused by the library
  }
  return outcome;
}

std::string SummaryText(const Tally& tally, Clock::duration elapsed) {
  const double seconds = Seconds(elapsed);
  char timing[64];
  std::snprintf(timing, sizeof timing, "%.2f s, %.0f/s", seconds,
                seconds > 0 ? tally.commands / seconds : 0.0);
  return std::to_string(tally.commands) + (tally.commands == 1 ? " command: " : " commands: ") +
         std::to_string(tally.delivered) + " delivered, " + std::to_string(tally.Failed()) +
         " failed" + tally.Causes() + ", " + std::to_string(tally.retries) +
         (tally.retries == 1 ? " retry, " : " retries, ") + timing;
}

ProgressLine::ProgressLine(bool on, int total)
    : on_(on), total_(total), start_(Clock::now()), last_draw_(start_) {}

void ProgressLine::Update(const Tally& tally) {
  const Clock::time_point now = Clock::now();
  if (!on_ || now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  const double seconds = Seconds(now - start_);
  std::fprintf(stderr, "\r%d/%d  delivered %d  failed %s  %.0f/s  %.1f s\033[K", tally.commands,
               total_, tally.delivered, tally.FailedText().c_str(),
               seconds > 0 ? tally.commands / seconds : 0.0, seconds);
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressLine::Clear() {
  if (!drawn_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  drawn_ = false;
}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

}  // namespace ostrel::cli
