// Talking to a controller through the public library interface, with readable outcomes.
#pragma once

#include <string>
#include <vector>

namespace ostrel::cli {

enum class Kind { kStartPlay, kStopPlay, kDuplicate };

// One command to a wall controller; url is for start-play, the target fields for duplicate.
struct Command {
  Kind kind = Kind::kStartPlay;
  std::string vidout;
  int area = 0;
  std::string url;
  std::string targetVidout;
  int targetArea = 0;
};

// "start-play", "stop-play" or "duplicate".
const char* KindName(Kind kind);

// Empty when the texts fit the library's limits, else what is wrong.
std::string CheckTexts(const Command& command);

// The bytes the library sends for the command: length field and document.
std::string Frame(const Command& command);

// Sends the command to a registered wall; the outcome code, or -1 when the library refused
// the arguments.
int Send(int handle, const Command& command);

// "127.0.0.1:5000" -> address and port, with the library's own rule for address text; false
// with a reason when the text is not that.
bool ParseEndpoint(const std::string& text, std::string* address, int* port, std::string* why);

// Words for the outcome of a command: "delivered", or the library's text for the code.
std::string OutcomeText(int code);

// Shows the bytes of a frame: its length field, then the document line by line with CR, LF,
// tabs and other control or high bytes made visible.
std::string VisibleFrame(const std::string& frame);

// -v/-q of the command line.
struct Verbosity {
  int verbose = 0;  // 1: the library's info lines on stderr, 2: also each step
  bool quiet = false;
};

// Chooses the library's lines through its environment; call before Ostrel_Initialize.
void ApplyVerbosity(const Verbosity& verbosity);

}  // namespace ostrel::cli
