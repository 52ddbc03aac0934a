// The `wallsim` and `demo` subcommands: the wall controller simulator, with its web view and
// fault modes, and a short scripted session against it.
#pragma once

#include <memory>

#include <CLI/CLI.hpp>

namespace ostrel::cli {

struct SimCommands;

// Adds both subcommands (and their options) to the tool.
std::shared_ptr<SimCommands> AddSimCommands(CLI::App& app);

// Runs the one the command line chose; returns the exit status.
int RunSimCommand(const SimCommands& commands);

}  // namespace ostrel::cli
