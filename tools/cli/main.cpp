// ostrel: send commands to a wall controller, run the wall controller simulator, or run the demo.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "cli/play.h"
#include "cli/scene.h"
#include "cli/session.h"
#include "cli/usage.h"
#include "ostrel/ostrel.h"
#include "wallsim/wall_server.h"

namespace {

using ostrel::cli::OutcomeText;

std::atomic<bool> stopRequested{false};

void OnSignal(int) { stopRequested = true; }

struct SimArgs {
  std::string address = "127.0.0.1";
  int port = 5000;
  int idleMs = 5000;
  std::string jsonPath;
  bool quiet = false;
};

int RunWallsim(const SimArgs& args) {
  ostrel::wallsim::ServerOptions options;
  options.address = args.address;
  options.port = static_cast<std::uint16_t>(args.port);
  options.idleLimit = std::chrono::milliseconds(args.idleMs);
  ostrel::wallsim::WallServer server(options, [&](const std::string& line) {
    if (!args.quiet) std::cout << "wallsim: " << line << std::endl;
  });
  try {
    server.Start();
  } catch (const std::exception& e) {
    std::cerr << "ostrel wallsim: cannot listen on " << args.address << ":" << args.port << ": "
              << e.what() << "\n";
    return 1;
  }
  std::cout << "wallsim: listening on " << args.address << ":" << server.Port()
            << " (Ctrl-C to stop)" << std::endl;
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  while (!stopRequested) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  server.Stop();
  const auto counters = server.Counters();
  std::cout << "\nwallsim: " << counters.applied << " commands applied, " << counters.rejected
            << " connections dropped\n"
            << server.Table();
  if (!args.jsonPath.empty()) {
    std::ofstream(args.jsonPath) << server.ToJson().dump(2) << "\n";
    std::cout << "wallsim: wall state written to " << args.jsonPath << "\n";
  }
  return 0;
}

// A short scripted session against a simulator started in this process.
int RunDemo() {
  ostrel::wallsim::WallServer server(
      {}, [](const std::string& line) { std::cout << "  wallsim  " << line << std::endl; });
  server.Start();
  const std::string endpoint = "127.0.0.1:" + std::to_string(server.Port());
  std::cout << "ostrel " << Ostrel_Version() << " demo: wall controller simulator on " << endpoint
            << "\n\n";

  Ostrel_Initialize();
  int wall = -1;
  Ostrel_OpenTvWall("127.0.0.1", server.Port(), &wall);
  struct Step {
    const char* label;
    int (*send)(int);
  };
  const Step steps[] = {
      {"start-play 1 area 1 rtsp://cam-lobby/main",
       [](int w) { return Ostrel_StartPlay(w, "1", 1, "rtsp://cam-lobby/main"); }},
      {"start-play 1 area 2 rtsp://cam-gate/sub?fps=15&res=720",
       [](int w) { return Ostrel_StartPlay(w, "1", 2, "rtsp://cam-gate/sub?fps=15&res=720"); }},
      {"start-play 2 area 1 http://media.local/news.m3u8",
       [](int w) { return Ostrel_StartPlay(w, "2", 1, "http://media.local/news.m3u8"); }},
      {"duplicate 1 area 2 -> 2 area 4", [](int w) { return Ostrel_Duplicate(w, "1", 2, "2", 4); }},
      {"stop-play 1 area 1", [](int w) { return Ostrel_StopPlay(w, "1", 1); }},
  };
  int sent = 0, delivered = 0;
  for (const Step& step : steps) {
    step.send(wall);
    const int code = Ostrel_LastErrorCode();
    ++sent;
    delivered += code == 0;
    // Let the simulator log each command under the line that sent it.
    server.WaitForConnectionsDone(sent, std::chrono::milliseconds(2000));
    std::cout << "host     " << step.label << ": " << OutcomeText(code) << "\n";
  }
  Ostrel_CloseTvWall(wall);
  Ostrel_Finalize();
  server.WaitForConnectionsDone(sent, std::chrono::milliseconds(5000));
  server.Stop();
  std::cout << "\nThe wall now:\n" << server.Table();
  const bool ok = delivered == sent && server.Counters().applied == sent;
  std::cout << "\n"
            << delivered << " of " << sent << " commands delivered, " << server.Counters().applied
            << " applied by the controller.\n";
  return ok ? 0 : 1;
}

}  // namespace

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

  SimArgs sim;
  CLI::App* wallsim =
      app.add_subcommand("wallsim", "Run the wall controller simulator until Ctrl-C");
  wallsim->add_option("--address", sim.address, "Address to listen on")->capture_default_str();
  wallsim->add_option("--port", sim.port, "Port to listen on (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  wallsim->add_option("--idle-ms", sim.idleMs, "Drop a peer that sends nothing for this long")
      ->capture_default_str()
      ->check(CLI::Range(1, 3600000));
  wallsim->add_option("--json", sim.jsonPath, "On exit, write the wall state as JSON to this file");
  wallsim->add_flag("--quiet", sim.quiet, "Do not log each command");

  app.add_subcommand("demo", "Run a short scripted session against a built-in simulator");

  const int status = ostrel::cli::ParseCommandLine(app, argc, argv);
  if (status >= 0) return status;
  ostrel::cli::ApplyVerbosity(verbosity);
  if (play.chosen) return ostrel::cli::RunPlay(play, verbosity);
  if (*apply) return ostrel::cli::RunApply(applyArgs, verbosity);
  if (*wallsim) return RunWallsim(sim);
  return RunDemo();
}
