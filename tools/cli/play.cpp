#include "cli/play.h"

#include <iostream>

#include "cli/usage.h"
#include "ostrel/ostrel.h"

namespace ostrel::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxRepeat = 1000000;
constexpr int kMaxRetries = 100;
constexpr int kMaxRetryDelayOption = 60000;

const char* const kControllerHelp = "Wall controller as ADDRESS:PORT (dotted IPv4)";

void AddOptions(CLI::App* sub, PlayArgs* a) {
  sub->add_flag(
      "--dry-run", a->dryRun,
      "Print the frame (length field and document, bytes made visible) instead of sending it");
  sub->add_option("--repeat", a->repeat, "Send the command N times, one connection each")
      ->check(CLI::Range(1, kMaxRepeat));
  AddRetryOptions(sub, &a->retry);
}

// Sends the command a.repeat times (or until interrupted) and counts how it went.
Tally SendRepeatedly(int handle, const PlayArgs& a, const Verbosity& verbosity) {
  WatchForInterrupt();
  ProgressLine progress(a.repeat > 1 && !verbosity.quiet && StderrIsTerminal(), a.repeat);
  Tally tally;
  while (tally.commands < a.repeat && !Interrupted()) {
    if (SendWithRetry([&] { return Send(handle, a.command); }, a.retry, &tally) < 0) break;
    progress.Update(tally);
  }
  progress.Clear();
  return tally;
}

int Report(const PlayArgs& a, const Tally& tally, Clock::duration elapsed,
           const Verbosity& verbosity) {
  const std::string name = KindName(a.command.kind);
  if (tally.failed.count(-1) != 0) {
    std::cerr << "ostrel: " << name << ": arguments rejected by the library\n";
    return kExitUsage;
  }
  if (Interrupted()) {
    std::cerr << "ostrel: " << name << " to " << a.endpoint << " interrupted after "
              << SummaryText(tally, elapsed) << "\n";
    return kExitInterrupted;
  }
  const bool single = a.repeat == 1 && tally.retries == 0;
  if (tally.Failed() > 0) {
    const int code = tally.failed.rbegin()->first;
    if (single) {
      std::cerr << "ostrel: " << name << " to " << a.endpoint
                << " not delivered: " << OutcomeText(code) << " (" << code << ")\n";
    } else {
      std::cerr << "ostrel: " << name << " to " << a.endpoint
                << " not delivered: " << SummaryText(tally, elapsed) << "\n";
    }
    return kExitNotDelivered;
  }
  if (!single && !verbosity.quiet) {
    std::cout << name << " to " << a.endpoint << ": " << SummaryText(tally, elapsed) << "\n";
  }
  return 0;
}

}  // namespace

void AddRetryOptions(CLI::App* sub, RetryPolicy* retry) {
  sub->add_option("--retry", retry->retries, "Send a command not delivered again, up to N times")
      ->check(CLI::Range(0, kMaxRetries));
  sub->add_option("--retry-delay", retry->delayMs,
                  "Milliseconds before the first retry; doubles with each, up to 10 s")
      ->capture_default_str()
      ->check(CLI::Range(0, kMaxRetryDelayOption));
}

void AddPlayCommands(CLI::App& app, PlayArgs* a) {
  CLI::App* start =
      app.add_subcommand("start-play", "Play a stream URL on an area of a video output");
  start->add_option("controller", a->endpoint, kControllerHelp)->required();
  start->add_option("vidout", a->command.vidout, "Video output (text, under 64 bytes)")->required();
  start->add_option("area", a->command.area, "Area number")->required();
  start->add_option("url", a->command.url, "Stream URL (under 256 bytes)")->required();
  start->parse_complete_callback([a] {
    a->command.kind = Kind::kStartPlay;
    a->chosen = true;
  });
  AddOptions(start, a);

  CLI::App* stop = app.add_subcommand("stop-play", "Stop what plays on an area of a video output");
  stop->add_option("controller", a->endpoint, kControllerHelp)->required();
  stop->add_option("vidout", a->command.vidout, "Video output (text, under 64 bytes)")->required();
  stop->add_option("area", a->command.area, "Area number")->required();
  stop->parse_complete_callback([a] {
    a->command.kind = Kind::kStopPlay;
    a->chosen = true;
  });
  AddOptions(stop, a);

  CLI::App* dup = app.add_subcommand("duplicate", "Show on one area what another area shows");
  dup->add_option("controller", a->endpoint, kControllerHelp)->required();
  dup->add_option("source-vidout", a->command.vidout, "Source video output")->required();
  dup->add_option("source-area", a->command.area, "Source area number")->required();
  dup->add_option("target-vidout", a->command.targetVidout, "Target video output")->required();
  dup->add_option("target-area", a->command.targetArea, "Target area number")->required();
  dup->parse_complete_callback([a] {
    a->command.kind = Kind::kDuplicate;
    a->chosen = true;
  });
  AddOptions(dup, a);
}

int RunPlay(const PlayArgs& a, const Verbosity& verbosity) {
  const std::string name = KindName(a.command.kind);
  std::string address, why;
  int port = 0;
  if (!ParseEndpoint(a.endpoint, &address, &port, &why)) {
    return UsageError(name, "bad controller '" + a.endpoint + "': " + why);
  }
  const std::string texts = CheckTexts(a.command);
  if (!texts.empty()) return UsageError(name, texts);
  if (a.dryRun) {
    std::cout << VisibleFrame(Frame(a.command));
    return 0;
  }
  Ostrel_Initialize();
  int handle = -1;
  if (Ostrel_OpenTvWall(address.c_str(), port, &handle) != 0) {
    std::cerr << "ostrel: " << name << " to " << a.endpoint << ": "
              << OutcomeText(Ostrel_LastErrorCode()) << "\n";
    Ostrel_Finalize();
    return kExitUsage;
  }
  const Clock::time_point start = Clock::now();
  const Tally tally = SendRepeatedly(handle, a, verbosity);
  const Clock::duration elapsed = Clock::now() - start;
  Ostrel_CloseTvWall(handle);
  Ostrel_Finalize();
  return Report(a, tally, elapsed, verbosity);
}

}  // namespace ostrel::cli
