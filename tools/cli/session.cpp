#include "cli/session.h"

#include <cstdio>
#include <cstdlib>

#include "api/wall_table.h"
#include "command/command_document.h"
#include "command/wire_protocol.h"
#include "ostrel/ostrel.h"
#include "platform/winsock.h"

namespace ostrel::cli {

namespace {

constexpr int kMaxPort = 65535;

std::string Document(const Command& c) {
  switch (c.kind) {
    case Kind::kStartPlay:
      return command::ComposeStartPlay(c.vidout.c_str(), c.area, c.url.c_str());
    case Kind::kStopPlay:
      return command::ComposeStopPlay(c.vidout.c_str(), c.area);
    case Kind::kDuplicate:
      return command::ComposeDuplicate(c.vidout.c_str(), c.area, c.targetVidout.c_str(),
                                       c.targetArea);
  }
  return "";
}

// The library's address rule: text that fits a wall slot and that its IPv4 parser takes.
bool UsableAddress(const std::string& address) {
  return address.size() < static_cast<std::size_t>(kWallAddressSize) &&
         inet_addr(address.c_str()) != INADDR_NONE;
}

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kStartPlay:
      return "start-play";
    case Kind::kStopPlay:
      return "stop-play";
    case Kind::kDuplicate:
      return "duplicate";
  }
  return "";
}

std::string CheckTexts(const Command& c) {
  if (c.vidout.size() >= kVidoutLimit || c.targetVidout.size() >= kVidoutLimit) {
    return "video output text must be under 64 bytes";
  }
  if (c.url.size() >= kUrlLimit) return "URL must be under 256 bytes";
  return "";
}

std::string Frame(const Command& command) {
  const std::vector<unsigned char> bytes = command::FrameDocument(Document(command));
  return std::string(bytes.begin(), bytes.end());
}

int Send(int handle, const Command& c) {
  int result = -1;
  switch (c.kind) {
    case Kind::kStartPlay:
      result = Ostrel_StartPlay(handle, c.vidout.c_str(), c.area, c.url.c_str());
      break;
    case Kind::kStopPlay:
      result = Ostrel_StopPlay(handle, c.vidout.c_str(), c.area);
      break;
    case Kind::kDuplicate:
      result =
          Ostrel_Duplicate(handle, c.vidout.c_str(), c.area, c.targetVidout.c_str(), c.targetArea);
      break;
  }
  return result != 0 ? -1 : Ostrel_LastErrorCode();
}

bool ParseEndpoint(const std::string& text, std::string* address, int* port, std::string* why) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    *why = "expected HOST:PORT, for example 127.0.0.1:5000";
    return false;
  }
  *address = text.substr(0, colon);
  const std::string digits = text.substr(colon + 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(digits) < 1 || std::stoi(digits) > kMaxPort) {
    *why = "port must be a number from 1 to 65535";
    return false;
  }
  *port = std::stoi(digits);
  if (!UsableAddress(*address)) {
    *why = "the address must be dotted IPv4 text of at most 31 characters (no host names)";
    return false;
  }
  return true;
}

void ApplyVerbosity(const Verbosity& verbosity) {
  if (verbosity.verbose == 0) return;
  setenv("OSTREL_LOG_LEVEL", verbosity.verbose > 1 ? "trace" : "info", 1);
  setenv("OSTREL_LOG", "stderr", 0);  // an OSTREL_LOG already chosen stays
}

std::string OutcomeText(int code) {
  return code == OSTREL_OK ? "delivered" : Ostrel_OutcomeText(code);
}

std::string VisibleFrame(const std::string& frame) {
  std::string out;
  char buffer[96];
  if (frame.size() >= 4) {
    const auto b = [&](int i) { return static_cast<unsigned char>(frame[i]); };
    const unsigned total = DecodeFrameLength(reinterpret_cast<const unsigned char*>(frame.data()));
    std::snprintf(buffer, sizeof buffer,
                  "frame: %zu bytes, length field %02X %02X %02X %02X (%u)\n", frame.size(), b(0),
                  b(1), b(2), b(3), total);
    out += buffer;
  }
  bool lineStart = true;
  for (std::size_t i = 4; i < frame.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(frame[i]);
    if (lineStart) out += "  ";
    lineStart = false;
    switch (c) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n\n";
        lineStart = true;
        break;
      case '\t':
        out += "\\t";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
          out += buffer;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  if (!lineStart) out += '\n';
  return out;
}

}  // namespace ostrel::cli
