// The library's own lines beyond the debug output: one info line per play command, and the
// steps of each exchange at trace level (see platform/trace.h for the settings).
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "api/wall_table.h"

namespace ostrel {

// Reads the settings from the environment again and follows their level.
void ConfigureTrace();

// Collects one command's line: the start time, the arguments, and at Finish the wall, frame
// size, outcome and duration. Does nothing, and costs only a level check, below info level.
class CommandTrace {
 public:
  explicit CommandTrace(const char* command);

  bool on() const { return on_; }

  // A text argument, with quotes, backslashes and control bytes made visible; null shows as
  // null.
  CommandTrace& Text(const char* name, const char* value);
  CommandTrace& Number(const char* name, int value);

  // slot is the handle's slot when it was read (in use), else null.
  void Finish(const WallSlot* slot, int handle, std::size_t frame_size, int outcome);

 private:
  bool on_;
  std::chrono::steady_clock::time_point start_;
  std::string line_;
};

}  // namespace ostrel
