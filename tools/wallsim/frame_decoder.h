// Reads a command back out of a frame's document, checking it as a controller would:
// a well-formed document, the iq/query/Command/Function structure and the parameters of the
// function it names.
#pragma once

#include <string>

#include "wallsim/command.h"

namespace ostrel::wallsim {

struct DecodeResult {
  bool ok = false;
  Command command;
  std::string error;  // why the document was refused, when not ok
};

DecodeResult DecodeCommandDocument(const std::string& document);

}  // namespace ostrel::wallsim
