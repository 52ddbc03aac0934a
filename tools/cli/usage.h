// Usage errors the way Unix tools report them: one line naming what is wrong, a pointer to
// --help, exit status 2.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

namespace ostrel::cli {

// Exit statuses of the tool (0: everything delivered).
constexpr int kExitNotDelivered = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // 128 + SIGINT, as shells report it

// Prints "ostrel: [command: ]what" and where to find help; returns kExitUsage.
int UsageError(const std::string& command, const std::string& what);

// Parses the command line. Returns -1 to go on, else the exit status: 0 after --help or
// --version, kExitUsage for any mistake (an unknown command is named). The app takes at most
// one command; this function requires it.
int ParseCommandLine(CLI::App& app, int argc, char** argv);

}  // namespace ostrel::cli
