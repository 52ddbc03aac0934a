// inet_addr with the Windows rules.
//
// One to four parts separated by dots, each decimal, octal (leading 0) or hexadecimal (0x);
// the last part fills the bytes that are left (a.b.c: c is 16 bits; a.b: b is 24 bits; a: 32
// bits). The text must begin with a digit; the first blank ends it and whatever follows is
// ignored. A single space is address 0, as on Windows. Anything else gives INADDR_NONE, which
// is also the value of 255.255.255.255.
#include "platform/posix/system.h"

#include <cstdint>

namespace ostrel::wsa {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Reads one part at *text; false when it has no digit or does not fit in 32 bits.
bool ReadPart(const char*& text, std::uint64_t* value) {
  unsigned base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  } else if (text[0] == '0') {
    base = 8;
  }
  const char* first = text;
  std::uint64_t result = 0;
  while (DigitValue(*text) < static_cast<int>(base)) {
    result = result * base + static_cast<unsigned>(DigitValue(*text));
    if (result > 0xFFFFFFFFu) {
      return false;
    }
    ++text;
  }
  *value = result;
  return text != first;
}

}  // namespace

u_long inet_addr(const char* text) {
  if (text == nullptr) {
    return INADDR_NONE;
  }
  if (text[0] == ' ' && text[1] == '\0') {
    return INADDR_ANY;
  }
  std::uint64_t parts[4];
  int count = 0;
  const char* cursor = text;
  for (;;) {
    if (count == 4 || DigitValue(*cursor) > 9) {
      return INADDR_NONE;  // a fifth part, or a part that does not begin with a digit
    }
    if (!ReadPart(cursor, &parts[count])) {
      return INADDR_NONE;
    }
    ++count;
    if (*cursor == '.') {
      ++cursor;
      continue;
    }
    if (*cursor == '\0' || IsBlank(*cursor)) {
      break;
    }
    return INADDR_NONE;
  }
  // Every part but the last is one byte; the last fills what is left.
  static constexpr std::uint64_t kLastLimit[] = {0xFFFFFFFFu, 0xFFFFFFu, 0xFFFFu, 0xFFu};
  std::uint64_t host = 0;
  for (int i = 0; i < count - 1; ++i) {
    if (parts[i] > 0xFF) {
      return INADDR_NONE;
    }
    host |= parts[i] << (24 - 8 * i);
  }
  if (parts[count - 1] > kLastLimit[count - 1]) {
    return INADDR_NONE;
  }
  host |= parts[count - 1];
  return htonl(static_cast<u_long>(host));
}

}  // namespace ostrel::wsa
