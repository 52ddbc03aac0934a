// The simulated wall: video outputs split into areas, each showing a stream or nothing.
#pragma once

#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "wallsim/command.h"

namespace ostrel::wallsim {

struct AreaState {
  std::string url;         // what the area shows
  std::string copiedFrom;  // "vidout:area" when the picture came from a duplicate, else empty
};

class WallModel {
 public:
  // Applies one command; returns a short description of the change for the log.
  std::string Apply(const Command& command);

  // The wall as a text table, one row per area that shows something (or "(wall is dark)").
  std::string Table() const;
  nlohmann::json ToJson() const;

  // What an area shows, empty when nothing (for tests).
  std::string Showing(const std::string& vidout, int area) const;
  int commandsApplied() const { return commandsApplied_; }

 private:
  // Video output text -> area number -> state; only areas that show something are present.
  std::map<std::string, std::map<int, AreaState>> outputs_;
  int commandsApplied_ = 0;
};

}  // namespace ostrel::wallsim
