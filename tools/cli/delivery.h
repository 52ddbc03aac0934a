// Sending commands again and again: retries with back-off, counts by cause, a live progress
// line for a terminal, and stopping cleanly on Ctrl-C.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace ostrel::cli {

// What was sent and how it went.
struct Tally {
  int commands = 0;
  int delivered = 0;
  int retries = 0;
  std::map<int, int> failed;  // outcome code -> commands that failed with it in the end

  int Failed() const;
  // "", or " (2 connection refused, 1 timed out)".
  std::string Causes() const;
  // "0", or "3 (2 connection refused, 1 timed out)".
  std::string FailedText() const;
};

// --retry N and --retry-delay MS: a command not delivered is sent again up to N times, after
// a pause that starts at the delay and doubles, up to kMaxRetryDelay.
struct RetryPolicy {
  static constexpr std::chrono::milliseconds kMaxRetryDelay{10000};
  int retries = 0;
  int delayMs = 100;
};

// SIGINT and SIGTERM ask the run to stop after the command in flight (installed on first use).
void WatchForInterrupt();
bool Interrupted();

// Sends with send_once (outcome code, or -1 when the arguments were refused) and retries as
// the policy says; counts the command in *tally. Returns the last outcome or -1.
int SendWithRetry(const std::function<int()>& send_once, const RetryPolicy& policy, Tally* tally);

// "1000 commands: 998 delivered, 2 failed (2 connection refused), 3 retries, 1.23 s, 812/s".
std::string SummaryText(const Tally& tally, std::chrono::steady_clock::duration elapsed);

// A line on stderr redrawn in place at most ten times a second; does nothing when off.
class ProgressLine {
 public:
  ProgressLine(bool on, int total);
  void Update(const Tally& tally);
  void Clear();  // removes the line, before a summary is printed

 private:
  bool on_;
  int total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
  bool drawn_ = false;
};

// True when stderr is a terminal.
bool StderrIsTerminal();

}  // namespace ostrel::cli
