// A command as the wall controller understands it, read back from a frame.
#pragma once

#include <string>

namespace ostrel::wallsim {

enum class Function { StartPlay, StopPlay, Duplicate };

struct Command {
  Function function = Function::StartPlay;
  std::string vidout;  // StartPlay, StopPlay; the source for Duplicate
  int area = 0;
  std::string url;           // StartPlay
  std::string targetVidout;  // Duplicate
  int targetArea = 0;        // Duplicate
};

const char* FunctionName(Function function);

// One line describing the command, values quoted so that odd bytes show.
std::string Describe(const Command& command);

}  // namespace ostrel::wallsim
