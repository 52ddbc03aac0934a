#include "cli/wallsim_command.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "cli/session.h"
#include "ostrel/ostrel.h"
#include "wallsim/http_view.h"
#include "wallsim/text_json.h"
#include "wallsim/wall_server.h"

namespace ostrel::cli {

struct SimCommands {
  CLI::App* wallsim = nullptr;
  CLI::App* demo = nullptr;
  std::string address = "127.0.0.1";
  int port = 5000;
  int idleMs = 5000;
  std::string jsonPath;
  std::string http;  // HOST:PORT of the web view, or empty for none
  std::string demoHttp = "127.0.0.1:0";
  std::string fault;
  bool quiet = false;
  bool hold = false;
};

namespace {

using wallsim::HttpView;
using wallsim::WallServer;

constexpr std::chrono::milliseconds kSignalPoll{100};

std::atomic<bool> stopRequested{false};

void OnSignal(int) { stopRequested = true; }

// Installed before the simulator says it listens, so that a Ctrl-C sent as soon as a script
// reads that line still gets the summary and the --json file.
void CatchStopSignals() {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
}

void WaitForSignal() {
  while (!stopRequested) std::this_thread::sleep_for(kSignalPoll);
}

// The file must be writable before the simulator starts, not found unwritable at the end.
bool CanWrite(const std::string& path, std::string* why) {
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) {
    *why = std::strerror(errno);
    return false;
  }
  std::fclose(file);
  return true;
}

bool WriteJson(const std::string& path, const nlohmann::json& state) {
  std::ofstream out(path, std::ios::trunc);
  out << wallsim::DumpJson(state, 2) << "\n";
  out.close();
  return !out.fail();
}

// Starts the web view when asked for; false (with the reason printed) when it cannot.
bool StartView(HttpView* view, const std::string& endpoint, const char* who) {
  std::string address, why;
  int port = 0;
  if (!wallsim::ParseHttpEndpoint(endpoint, &address, &port, &why) ||
      !view->Start(address, port, &why)) {
    std::cerr << "ostrel " << who << ": --http " << endpoint << ": " << why << "\n";
    return false;
  }
  return true;
}

int RunWallsim(const SimCommands& args) {
  CatchStopSignals();
  wallsim::ServerOptions options;
  options.address = args.address;
  options.port = static_cast<std::uint16_t>(args.port);
  options.idleLimit = std::chrono::milliseconds(args.idleMs);
  std::string why;
  options.fault = *wallsim::ParseFaultMode(args.fault, &why);  // checked by the option
  if (!args.jsonPath.empty() && !CanWrite(args.jsonPath, &why)) {
    std::cerr << "ostrel wallsim: cannot write --json " << args.jsonPath << ": " << why << "\n";
    return 1;
  }
  WallServer server(options, [&](const std::string& line) {
    if (!args.quiet) std::cout << "wallsim: " << line << std::endl;
  });
  HttpView view(server);
  try {
    server.Start();
  } catch (const std::exception& e) {
    std::cerr << "ostrel wallsim: cannot listen on " << args.address << ":" << args.port << ": "
              << e.what() << "\n";
    return 1;
  }
  if (!args.http.empty() && !StartView(&view, args.http, "wallsim")) return 1;
  std::cout << "wallsim: listening on " << args.address << ":" << server.Port()
            << " (Ctrl-C to stop)" << std::endl;
  if (!args.http.empty()) std::cout << "wallsim: web view at " << view.Url() << std::endl;
  if (options.fault.Active()) {
    std::cout << "wallsim: fault mode " << wallsim::FaultText(options.fault) << std::endl;
  }
  WaitForSignal();
  view.Stop();
  server.Stop();
  const auto counters = server.Counters();
  std::cout << "\nwallsim: " << counters.applied << " commands applied, " << counters.rejected
            << " connections dropped\n"
            << server.Table();
  if (args.jsonPath.empty()) return 0;
  if (!WriteJson(args.jsonPath, server.ToJson())) {
    std::cerr << "ostrel wallsim: writing the wall state to " << args.jsonPath << " failed\n";
    return 1;
  }
  std::cout << "wallsim: wall state written to " << args.jsonPath << "\n";
  return 0;
}

// A short scripted session against a simulator started in this process.
int RunDemo(const SimCommands& args) {
  WallServer server(
      {}, [](const std::string& line) { std::cout << "  wallsim  " << line << std::endl; });
  HttpView view(server);
  server.Start();
  if (!StartView(&view, args.demoHttp, "demo")) return 1;
  const std::string endpoint = "127.0.0.1:" + std::to_string(server.Port());
  std::cout << "ostrel " << Ostrel_Version() << " demo: wall controller simulator on " << endpoint
            << "\nweb view: " << view.Url() << "\n\n";

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
  std::cout << "\nThe wall now:\n" << server.Table();
  const bool ok = delivered == sent && server.Counters().applied == sent;
  std::cout << "\n"
            << delivered << " of " << sent << " commands delivered, " << server.Counters().applied
            << " applied by the controller.\n";
  if (args.hold) {
    CatchStopSignals();
    std::cout << "Serving the web view at " << view.Url() << " and the simulator on " << endpoint
              << " until Ctrl-C." << std::endl;
    WaitForSignal();
  }
  view.Stop();
  server.Stop();
  return ok ? 0 : 1;
}

void AddWallsimOptions(CLI::App* wallsim, SimCommands* sim) {
  wallsim->add_option("--address", sim->address, "Address to listen on")->capture_default_str();
  wallsim->add_option("--port", sim->port, "Port to listen on (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  wallsim->add_option("--idle-ms", sim->idleMs, "Drop a peer that sends nothing for this long")
      ->capture_default_str()
      ->check(CLI::Range(1, 3600000));
  wallsim->add_option("--json", sim->jsonPath,
                      "On exit, write the wall state as JSON to this file (checked at start)");
  wallsim->add_option("--http", sim->http,
                      "Serve the live web view on HOST:PORT (loopback only), e.g. "
                      "127.0.0.1:8080");
  wallsim
      ->add_option("--fault", sim->fault,
                   "Misbehave on purpose: MODE[:ARG][@RATE], MODE one of refuse, reset, stall, "
                   "slow:BYTES_PER_S, delay:MS, drop; RATE the share of connections (default 1)")
      ->check([](const std::string& text) {
        std::string why;
        return wallsim::ParseFaultMode(text, &why) ? std::string() : why;
      });
  wallsim->add_flag("--quiet", sim->quiet, "Do not log each command");
}

}  // namespace

std::shared_ptr<SimCommands> AddSimCommands(CLI::App& app) {
  auto sim = std::make_shared<SimCommands>();
  sim->wallsim = app.add_subcommand("wallsim", "Run the wall controller simulator until Ctrl-C");
  AddWallsimOptions(sim->wallsim, sim.get());
  sim->demo =
      app.add_subcommand("demo", "Run a short scripted session against a built-in simulator");
  sim->demo->add_option("--http", sim->demoHttp, "Serve the web view on HOST:PORT (loopback)")
      ->capture_default_str();
  sim->demo->add_flag("--hold", sim->hold, "Keep serving after the session until Ctrl-C");
  return sim;
}

int RunSimCommand(const SimCommands& commands) {
  return commands.wallsim->parsed() ? RunWallsim(commands) : RunDemo(commands);
}

}  // namespace ostrel::cli
