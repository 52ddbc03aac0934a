#include "cli/scene.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <iostream>
#include <thread>

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

#include "api/wall_table.h"
#include "cli/play.h"
#include "cli/usage.h"
#include "ostrel/ostrel.h"

namespace ostrel::cli {
namespace {

using Clock = std::chrono::steady_clock;

// A mistake in the file, thrown while checking it and reported as file:line.
struct SceneError {
  int line;
  std::string what;
};

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

// Refuses any key outside the allowed ones: a misspelt key must not pass unnoticed.
void CheckKeys(const toml::table& table, const std::vector<std::string>& allowed,
               const std::string& where) {
  for (const auto& [key, value] : table) {
    if (std::find(allowed.begin(), allowed.end(), key.str()) == allowed.end()) {
      std::string list;
      for (const std::string& name : allowed) list += (list.empty() ? "" : ", ") + name;
      throw SceneError{LineOf(value), "unknown key '" + std::string(key.str()) + "' in " + where +
                                          " (expected " + list + ")"};
    }
  }
}

const toml::node& Required(const toml::table& table, const char* key, const std::string& where) {
  const toml::node* node = table.get(key);
  if (node == nullptr) {
    throw SceneError{LineOf(table), where + " has no '" + key + "'"};
  }
  return *node;
}

std::string Text(const toml::table& table, const char* key, const std::string& where) {
  const toml::node& node = Required(table, key, where);
  if (!node.is_string()) throw SceneError{LineOf(node), std::string(key) + " must be a string"};
  return node.as_string()->get();
}

int Number(const toml::table& table, const char* key, const std::string& where) {
  const toml::node& node = Required(table, key, where);
  if (!node.is_integer()) throw SceneError{LineOf(node), std::string(key) + " must be an integer"};
  const std::int64_t value = node.as_integer()->get();
  if (value < INT_MIN || value > INT_MAX) {
    throw SceneError{LineOf(node), std::string(key) + " is out of range"};
  }
  return static_cast<int>(value);
}

SceneCommand ReadCommand(Kind kind, const toml::table& table) {
  SceneCommand scene_command{{}, LineOf(table)};
  Command& c = scene_command.command;
  c.kind = kind;
  switch (kind) {
    case Kind::kStartPlay:
      CheckKeys(table, {"vidout", "area", "url"}, "[[wall.play]]");
      c.vidout = Text(table, "vidout", "[[wall.play]]");
      c.area = Number(table, "area", "[[wall.play]]");
      c.url = Text(table, "url", "[[wall.play]]");
      break;
    case Kind::kStopPlay:
      CheckKeys(table, {"vidout", "area"}, "[[wall.stop]]");
      c.vidout = Text(table, "vidout", "[[wall.stop]]");
      c.area = Number(table, "area", "[[wall.stop]]");
      break;
    case Kind::kDuplicate: {
      const std::string where = "[[wall.duplicate]]";
      CheckKeys(table, {"source_vidout", "source_area", "target_vidout", "target_area"}, where);
      c.vidout = Text(table, "source_vidout", where);
      c.area = Number(table, "source_area", where);
      c.targetVidout = Text(table, "target_vidout", where);
      c.targetArea = Number(table, "target_area", where);
      break;
    }
  }
  const std::string texts = CheckTexts(c);
  if (!texts.empty()) throw SceneError{scene_command.line, texts};
  return scene_command;
}

// An array of tables under key in the wall, each read as a command of the kind.
void ReadCommands(const toml::table& wall, const char* key, Kind kind,
                  std::vector<SceneCommand>* commands) {
  const toml::node* node = wall.get(key);
  if (node == nullptr) return;
  const toml::array* array = node->as_array();
  if (array == nullptr || !array->is_array_of_tables()) {
    throw SceneError{LineOf(*node),
                     std::string("write each ") + key + " command as [[wall." + key + "]]"};
  }
  for (const toml::node& entry : *array) commands->push_back(ReadCommand(kind, *entry.as_table()));
}

SceneWall ReadWall(const toml::table& table) {
  CheckKeys(table, {"address", "play", "stop", "duplicate"}, "[[wall]]");
  SceneWall wall;
  wall.endpoint = Text(table, "address", "[[wall]]");
  std::string why;
  if (!ParseEndpoint(wall.endpoint, &wall.address, &wall.port, &why)) {
    throw SceneError{LineOf(*table.get("address")), "bad address '" + wall.endpoint + "': " + why};
  }
  ReadCommands(table, "play", Kind::kStartPlay, &wall.commands);
  ReadCommands(table, "stop", Kind::kStopPlay, &wall.commands);
  ReadCommands(table, "duplicate", Kind::kDuplicate, &wall.commands);
  // The three kinds are kept apart by the format; the file's order is the lines' order.
  std::stable_sort(wall.commands.begin(), wall.commands.end(),
                   [](const SceneCommand& a, const SceneCommand& b) { return a.line < b.line; });
  return wall;
}

std::vector<SceneWall> ReadScene(const toml::table& root) {
  CheckKeys(root, {"wall"}, "the scene");
  const toml::node* node = root.get("wall");
  const toml::array* array = node != nullptr ? node->as_array() : nullptr;
  if (array == nullptr || !array->is_array_of_tables() || array->empty()) {
    throw SceneError{node != nullptr ? LineOf(*node) : 1, "the scene has no [[wall]]"};
  }
  std::vector<SceneWall> walls;
  for (const toml::node& entry : *array) {
    if (walls.size() == static_cast<std::size_t>(kWallSlotCount)) {
      throw SceneError{LineOf(entry), "more than 64 walls (the library drives at most 64)"};
    }
    walls.push_back(ReadWall(*entry.as_table()));
  }
  return walls;
}

struct WallResult {
  Tally tally;
  Clock::duration elapsed{};
  std::string problem;  // the wall could not be registered
};

void DriveWall(const SceneWall& wall, const RetryPolicy& retry, WallResult* result) {
  const Clock::time_point start = Clock::now();
  int handle = -1;
  if (Ostrel_OpenTvWall(wall.address.c_str(), wall.port, &handle) != 0) {
    result->problem = OutcomeText(Ostrel_LastErrorCode());
    return;
  }
  for (const SceneCommand& c : wall.commands) {
    if (Interrupted()) break;
    SendWithRetry([&] { return Send(handle, c.command); }, retry, &result->tally);
  }
  Ostrel_CloseTvWall(handle);
  result->elapsed = Clock::now() - start;
}

void PrintDryRun(const std::string& path, const std::vector<SceneWall>& walls) {
  for (const SceneWall& wall : walls) {
    std::cout << "wall " << wall.endpoint << ": " << wall.commands.size() << " commands\n";
    for (const SceneCommand& c : wall.commands) {
      std::cout << KindName(c.command.kind) << " (" << path << ":" << c.line << ")\n"
                << VisibleFrame(Frame(c.command));
    }
  }
}

void PrintTable(const std::vector<SceneWall>& walls, const std::vector<WallResult>& results) {
  std::vector<std::vector<std::string>> rows = {
      {"wall", "commands", "delivered", "failed", "retries", "time"}};
  for (std::size_t i = 0; i < walls.size(); ++i) {
    const WallResult& r = results[i];
    char time[32];
    std::snprintf(time, sizeof time, "%.3f s", std::chrono::duration<double>(r.elapsed).count());
    rows.push_back({walls[i].endpoint, std::to_string(walls[i].commands.size()),
                    std::to_string(r.tally.delivered),
                    r.problem.empty() ? r.tally.FailedText() : r.problem,
                    std::to_string(r.tally.retries), time});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      line += row[c] + std::string(widths[c] - row[c].size() + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    std::cout << line << "\n";
  }
}

}  // namespace

bool LoadScene(const std::string& path, std::vector<SceneWall>* walls, std::string* error) {
  try {
    *walls = ReadScene(toml::parse_file(path));
    return true;
  } catch (const toml::parse_error& e) {
    const auto line = e.source().begin.line;  // 0 when the file could not be read
    *error =
        path + (line > 0 ? ":" + std::to_string(line) : "") + ": " + std::string(e.description());
  } catch (const SceneError& e) {
    *error = path + ":" + std::to_string(e.line) + ": " + e.what;
  }
  return false;
}

CLI::App* AddApplyCommand(CLI::App& app, ApplyArgs* args) {
  CLI::App* apply = app.add_subcommand(
      "apply", "Send a scene (a TOML file of walls and their commands) to every wall at once");
  apply->add_option("scene", args->path, "Scene file, for example lobby.toml")->required();
  apply->add_flag("--dry-run", args->dryRun, "Check the file and print every frame; send nothing");
  AddRetryOptions(apply, &args->retry);
  return apply;
}

int RunApply(const ApplyArgs& args, const Verbosity& verbosity) {
  std::vector<SceneWall> walls;
  std::string error;
  if (!LoadScene(args.path, &walls, &error)) {
    std::cerr << "ostrel: apply: " << error << "\n";
    return kExitUsage;
  }
  if (args.dryRun) {
    PrintDryRun(args.path, walls);
    return 0;
  }
  WatchForInterrupt();
  Ostrel_Initialize();
  std::vector<WallResult> results(walls.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < walls.size(); ++i) {
    threads.emplace_back(DriveWall, std::cref(walls[i]), std::cref(args.retry), &results[i]);
  }
  for (std::thread& thread : threads) thread.join();
  Ostrel_Finalize();
  const bool all_delivered = std::all_of(results.begin(), results.end(), [](const WallResult& r) {
    return r.problem.empty() && r.tally.Failed() == 0;
  });
  if (!all_delivered || !verbosity.quiet || Interrupted()) PrintTable(walls, results);
  if (Interrupted()) return kExitInterrupted;
  return all_delivered ? 0 : kExitNotDelivered;
}

}  // namespace ostrel::cli
