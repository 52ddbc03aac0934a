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

#include "cli/session.h"
#include "cli/wallsim_command.h"
#include "command/command_document.h"
#include "ostrel/ostrel.h"

namespace {

using ostrel::cli::OutcomeText;

// The arguments of one play command as given on the command line.
struct PlayArgs {
  std::string endpoint;
  std::string vidout;
  int area = 0;
  std::string url;
  std::string targetVidout;
  int targetArea = 0;
  bool dryRun = false;
  int repeat = 1;
};

enum class Kind { StartPlay, StopPlay, Duplicate };

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::StartPlay:
      return "start-play";
    case Kind::StopPlay:
      return "stop-play";
    case Kind::Duplicate:
      return "duplicate";
  }
  return "";
}

std::string Document(Kind kind, const PlayArgs& a) {
  switch (kind) {
    case Kind::StartPlay:
      return ostrel::command::ComposeStartPlay(a.vidout.c_str(), a.area, a.url.c_str());
    case Kind::StopPlay:
      return ostrel::command::ComposeStopPlay(a.vidout.c_str(), a.area);
    case Kind::Duplicate:
      return ostrel::command::ComposeDuplicate(a.vidout.c_str(), a.area, a.targetVidout.c_str(),
                                               a.targetArea);
  }
  return "";
}

int Send(int handle, Kind kind, const PlayArgs& a) {
  switch (kind) {
    case Kind::StartPlay:
      return Ostrel_StartPlay(handle, a.vidout.c_str(), a.area, a.url.c_str());
    case Kind::StopPlay:
      return Ostrel_StopPlay(handle, a.vidout.c_str(), a.area);
    case Kind::Duplicate:
      return Ostrel_Duplicate(handle, a.vidout.c_str(), a.area, a.targetVidout.c_str(),
                              a.targetArea);
  }
  return -1;
}

// Exit status: 0 delivered (every repetition), 1 not delivered, 2 bad arguments.
int RunPlay(Kind kind, const PlayArgs& a) {
  const std::string name = KindName(kind);
  std::string address, why;
  int port = 0;
  if (!ostrel::cli::ParseEndpoint(a.endpoint, &address, &port, &why)) {
    std::cerr << "ostrel: " << name << ": bad controller '" << a.endpoint << "': " << why << "\n";
    return 2;
  }
  if (a.vidout.size() >= 64 || a.targetVidout.size() >= 64) {
    std::cerr << "ostrel: " << name << ": video output text must be under 64 bytes\n";
    return 2;
  }
  if (a.url.size() >= 256) {
    std::cerr << "ostrel: " << name << ": URL must be under 256 bytes\n";
    return 2;
  }
  if (a.dryRun) {
    const std::string frame = [&] {
      auto bytes = ostrel::command::FrameDocument(Document(kind, a));
      return std::string(bytes.begin(), bytes.end());
    }();
    std::cout << ostrel::cli::VisibleFrame(frame);
    return 0;
  }

  Ostrel_Initialize();
  int handle = -1;
  if (Ostrel_OpenTvWall(address.c_str(), port, &handle) != 0) {
    std::cerr << "ostrel: " << name << " to " << a.endpoint << ": "
              << OutcomeText(Ostrel_LastErrorCode()) << "\n";
    Ostrel_Finalize();
    return 2;
  }
  int failures = 0;
  int lastCode = 0;
  for (int i = 0; i < a.repeat; ++i) {
    if (Send(handle, kind, a) != 0) {
      std::cerr << "ostrel: " << name << ": arguments rejected by the library\n";
      failures = a.repeat;
      break;
    }
    const int code = Ostrel_LastErrorCode();
    if (code != 0) {
      ++failures;
      lastCode = code;
    }
  }
  Ostrel_CloseTvWall(handle);
  Ostrel_Finalize();
  if (failures > 0) {
    if (lastCode != 0) {
      std::cerr << "ostrel: " << name << " to " << a.endpoint << " not delivered"
                << (a.repeat > 1
                        ? " (" + std::to_string(failures) + " of " + std::to_string(a.repeat) + ")"
                        : "")
                << ": " << OutcomeText(lastCode) << " (" << lastCode << ")\n";
    }
    return 1;
  }
  if (a.repeat > 1)
    std::cout << name << ": " << a.repeat << " frames delivered to " << a.endpoint << "\n";
  return 0;
}

void AddPlayOptions(CLI::App* sub, PlayArgs* a) {
  sub->add_flag(
      "--dry-run", a->dryRun,
      "Print the frame (length field and document, bytes made visible) instead of sending it");
  sub->add_option("--repeat", a->repeat, "Send the command N times, one connection each")
      ->check(CLI::Range(1, 1000000));
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
      "Exit status: 0 delivered, 1 not delivered (the reason is printed), 2 bad arguments.");
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("ostrel ") + Ostrel_Version());

  PlayArgs play;
  CLI::App* start =
      app.add_subcommand("start-play", "Play a stream URL on an area of a video output");
  start->add_option("controller", play.endpoint, "Wall controller as HOST:PORT (dotted IPv4)")
      ->required();
  start->add_option("vidout", play.vidout, "Video output (text, under 64 bytes)")->required();
  start->add_option("area", play.area, "Area number")->required();
  start->add_option("url", play.url, "Stream URL (under 256 bytes)")->required();
  AddPlayOptions(start, &play);

  CLI::App* stop = app.add_subcommand("stop-play", "Stop what plays on an area of a video output");
  stop->add_option("controller", play.endpoint, "Wall controller as HOST:PORT (dotted IPv4)")
      ->required();
  stop->add_option("vidout", play.vidout, "Video output (text, under 64 bytes)")->required();
  stop->add_option("area", play.area, "Area number")->required();
  AddPlayOptions(stop, &play);

  CLI::App* dup = app.add_subcommand("duplicate", "Show on one area what another area shows");
  dup->add_option("controller", play.endpoint, "Wall controller as HOST:PORT (dotted IPv4)")
      ->required();
  dup->add_option("source-vidout", play.vidout, "Source video output")->required();
  dup->add_option("source-area", play.area, "Source area number")->required();
  dup->add_option("target-vidout", play.targetVidout, "Target video output")->required();
  dup->add_option("target-area", play.targetArea, "Target area number")->required();
  AddPlayOptions(dup, &play);

  auto sim = ostrel::cli::AddSimCommands(app);

  CLI11_PARSE(app, argc, argv);
  if (*start) return RunPlay(Kind::StartPlay, play);
  if (*stop) return RunPlay(Kind::StopPlay, play);
  if (*dup) return RunPlay(Kind::Duplicate, play);
  return ostrel::cli::RunSimCommand(*sim);
}
