// The start-play, stop-play and duplicate commands of the tool.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "cli/delivery.h"
#include "cli/session.h"

namespace ostrel::cli {

struct PlayArgs {
  std::string endpoint;
  Command command;
  bool dryRun = false;
  int repeat = 1;
  RetryPolicy retry;
  bool chosen = false;  // one of the three commands was given
};

// Adds the three commands; they share *args, and the one given sets its kind on parse.
void AddPlayCommands(CLI::App& app, PlayArgs* args);

// --retry and --retry-delay, for every command that sends.
void AddRetryOptions(CLI::App* sub, RetryPolicy* retry);

// Exit status: 0 delivered (every repetition), 1 not delivered, 2 bad arguments,
// 130 interrupted.
int RunPlay(const PlayArgs& args, const Verbosity& verbosity);

}  // namespace ostrel::cli
