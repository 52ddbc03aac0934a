// Scenes: a TOML file naming wall controllers and the commands for each, sent to every wall
// at once (one thread per wall, its commands in file order).
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/delivery.h"
#include "cli/session.h"

namespace ostrel::cli {

struct SceneCommand {
  Command command;
  int line = 0;
};

struct SceneWall {
  std::string endpoint;  // as written
  std::string address;
  int port = 0;
  std::vector<SceneCommand> commands;  // in file order
};

// Reads and checks a scene file; false with "file:line: what is wrong" in *error.
bool LoadScene(const std::string& path, std::vector<SceneWall>* walls, std::string* error);

struct ApplyArgs {
  std::string path;
  bool dryRun = false;
  RetryPolicy retry;
};

CLI::App* AddApplyCommand(CLI::App& app, ApplyArgs* args);

// Exit status: 0 everything delivered, 1 not, 2 a mistake in the file (nothing sent),
// 130 interrupted.
int RunApply(const ApplyArgs& args, const Verbosity& verbosity);

}  // namespace ostrel::cli
