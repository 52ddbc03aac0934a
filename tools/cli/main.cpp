// ostrel: send commands to a wall controller, run the wall controller simulator, or run the demo.
#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/play.h"
#include "cli/scene.h"
#include "cli/session.h"
#include "cli/usage.h"
#include "cli/wallsim_command.h"
#include "ostrel/ostrel.h"

int main(int argc, char** argv) {
  CLI::App app{
      "ostrel: drive a TV wall controller.\n"
      "Each command goes as one framed XML document over its own TCP connection."};
  app.footer(
      "Examples:\n"
      "  ostrel wallsim --port 5000\n"
      "  ostrel start-play 127.0.0.1:5000 1 2 rtsp://camera-7/stream\n"
      "  ostrel duplicate 127.0.0.1:5000 1 2 3 4\n"
      "  ostrel stop-play 127.0.0.1:5000 1 2 --dry-run\n"
      "  ostrel apply lobby.toml\n"
      "Exit status: 0 delivered, 1 not delivered (the reason is printed), 2 bad arguments,\n"
      "130 interrupted.");
  app.require_subcommand(0, 1);  // a missing command is reported by ParseCommandLine
  app.fallthrough();             // -v and -q also after the command
  app.set_version_flag("--version", std::string("ostrel ") + OSTREL_PACKAGE_VERSION + " (library " +
                                        Ostrel_Version() + ")");
  ostrel::cli::Verbosity verbosity;
  app.add_flag("-v,--verbose", verbosity.verbose,
               "Print the library's line for each command on stderr (-vv: also each step)");
  app.add_flag("-q,--quiet", verbosity.quiet, "Print nothing but errors");

  ostrel::cli::PlayArgs play;
  ostrel::cli::AddPlayCommands(app, &play);
  ostrel::cli::ApplyArgs applyArgs;
  CLI::App* apply = ostrel::cli::AddApplyCommand(app, &applyArgs);

  auto sim = ostrel::cli::AddSimCommands(app);

  const int status = ostrel::cli::ParseCommandLine(app, argc, argv);
  if (status >= 0) return status;
  ostrel::cli::ApplyVerbosity(verbosity);
  if (play.chosen) return ostrel::cli::RunPlay(play, verbosity);
  if (*apply) return ostrel::cli::RunApply(applyArgs, verbosity);
  return ostrel::cli::RunSimCommand(*sim);
}
