#include "cli/session.h"

#include <cstdio>

#include "ostrel/ostrel.h"

namespace ostrel::cli {

bool ParseEndpoint(const std::string& text, std::string* address, int* port, std::string* why) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    *why = "expected HOST:PORT, for example 127.0.0.1:5000";
    return false;
  }
  *address = text.substr(0, colon);
  const std::string digits = text.substr(colon + 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(digits) < 1 || std::stoi(digits) > 65535) {
    *why = "port must be a number from 1 to 65535";
    return false;
  }
  *port = std::stoi(digits);
  if (address->size() > 31) {
    *why = "address text is longer than 31 characters";
    return false;
  }
  return true;
}

std::string OutcomeText(int code) {
  return code == OSTREL_OK ? "delivered" : Ostrel_OutcomeText(code);
}

std::string VisibleFrame(const std::string& frame) {
  std::string out;
  char buffer[64];
  if (frame.size() >= 4) {
    const auto b = [&](int i) { return static_cast<unsigned char>(frame[i]); };
    const unsigned total = b(0) | b(1) << 8 | b(2) << 16 | unsigned(b(3)) << 24;
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
