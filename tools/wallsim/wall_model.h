// The simulated wall: video outputs split into areas, each showing a stream or dark.
#pragma once

#include <cstddef>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "wallsim/command.h"

namespace ostrel::wallsim {

// What one simulator holds at most, so that a long run with odd commands stays flat (about
// 40 MB at the very worst). The library sends texts well under these. A command past a limit
// is refused, not applied.
inline constexpr std::size_t kMaxOutputs = 64;
inline constexpr std::size_t kMaxAreas = 16384;  // on the whole wall, dark ones included
inline constexpr std::size_t kMaxVidoutBytes = 256;
inline constexpr std::size_t kMaxUrlBytes = 2048;

struct AreaState {
  std::string url;         // what the area shows; empty when dark
  std::string copiedFrom;  // "vidout:area" when the picture came from a duplicate, else empty
};

struct ApplyResult {
  bool applied = false;
  std::string change;  // what changed, or why the command was refused
};

class WallModel {
 public:
  ApplyResult Apply(const Command& command);

  // The wall as a text table, one row per area that shows something (or "(wall is dark)").
  std::string Table() const;
  // {"commandsApplied": N, "outputs": [{"vidout": T, "areas": [{"area": N, "url": T,
  // "copiedFrom": T?}]}]}, texts written as text_json.h describes; a dark area has url "".
  nlohmann::json ToJson() const;
  // One area in the form ToJson lists it, with its "vidout".
  nlohmann::json AreaJson(const std::string& vidout, int area) const;

  // What an area shows, empty when nothing (for tests).
  std::string Showing(const std::string& vidout, int area) const;
  int commandsApplied() const { return commandsApplied_; }

 private:
  // Why the command cannot be applied within the limits, or empty.
  std::string OverLimit(const Command& command) const;
  bool Holds(const std::string& vidout, int area) const;
  void Set(const std::string& vidout, int area, AreaState state);

  // Video output text -> area number -> state; an area appears once a command names it.
  std::map<std::string, std::map<int, AreaState>> outputs_;
  std::size_t areaCount_ = 0;
  int commandsApplied_ = 0;
};

}  // namespace ostrel::wallsim
