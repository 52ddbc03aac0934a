// Byte classes of the scanner, one table per code page, built at compile time. Internal to the
// XML code.
#pragma once

#include <cstdint>

#include "platform/mbcs.h"

namespace ostrel::xml::byte_classes {

// Byte classes. The stop classes hold NUL and, for the current code page, the lead bytes, so
// that a search stops wherever a decision or a double-byte step is due.
enum : uint16_t {
  kWhitespace = 0x001,   // space, tab, LF, CR
  kNameStart = 0x002,    // ':', 'A'-'Z', '_', 0x61-0xFF
  kNameEnd = 0x004,      // whitespace, '/', '>', and NUL
  kTextStop = 0x008,     // '<', '>', NUL, lead
  kTagStop = 0x010,      // '>', '"', '\'', NUL, lead
  kDoubleQStop = 0x020,  // '"', NUL, lead
  kSingleQStop = 0x040,  // '\'', NUL, lead
  kEndTagStop = 0x080,   // '>', NUL, lead
  kTokenStop = 0x100,    // whitespace, '<', '>', '=', '\\', '/', '?', '!'
  kBeforeSlash = 0x200,  // whitespace, '\'', '"': may stand before the '/' of "/>"
  kLead = 0x400,         // opens a double-byte character in the current code page
  kDataStop = 0x800,     // '<', NUL, lead: where character data may end
};

struct ByteClasses {
  uint16_t of[256];
};

constexpr bool IsWhitespaceByte(unsigned b) {
  return b == ' ' || b == '\t' || b == '\n' || b == '\r';
}

constexpr ByteClasses MakeClasses(int code_page) {
  ByteClasses classes{};
  for (unsigned b = 0; b < 256; ++b) {
    uint16_t c = 0;
    const bool is_lead = platform::IsLeadByteOf(code_page, b);
    if (is_lead) c |= kLead;
    if (IsWhitespaceByte(b)) c |= kWhitespace | kNameEnd | kTokenStop | kBeforeSlash;
    if (b == ':' || (b >= 'A' && b <= 'Z') || b == '_' || b >= 0x61) c |= kNameStart;
    if (b == '/' || b == '>' || b == 0) c |= kNameEnd;
    if (b == '<' || b == '>' || b == 0 || is_lead) c |= kTextStop;
    if (b == '>' || b == '"' || b == '\'' || b == 0 || is_lead) c |= kTagStop;
    if (b == '"' || b == 0 || is_lead) c |= kDoubleQStop;
    if (b == '\'' || b == 0 || is_lead) c |= kSingleQStop;
    if (b == '>' || b == 0 || is_lead) c |= kEndTagStop;
    if (b == '<' || b == '>' || b == '=' || b == '\\' || b == '/' || b == '?' || b == '!')
      c |= kTokenStop;
    if (b == '\'' || b == '"') c |= kBeforeSlash;
    if (b == '<' || b == 0 || is_lead) c |= kDataStop;
    classes.of[b] = c;
  }
  return classes;
}

inline constexpr ByteClasses kSingleByteClasses = MakeClasses(0);
inline constexpr ByteClasses k932Classes = MakeClasses(932);
inline constexpr ByteClasses k936Classes = MakeClasses(936);  // also 949 and 950

constexpr bool SameLeadBytes(int a, int b) {
  for (unsigned c = 0; c < 256; ++c)
    if (platform::IsLeadByteOf(a, c) != platform::IsLeadByteOf(b, c)) return false;
  return true;
}
static_assert(SameLeadBytes(936, 949) && SameLeadBytes(936, 950), "one table serves three");

inline const ByteClasses& CurrentClasses() {
  switch (platform::CurrentCodePage()) {
    case 0:
      return kSingleByteClasses;
    case 932:
      return k932Classes;
    default:
      return k936Classes;
  }
}

// The length of the character at p: 2 for a lead byte, except right before the terminating
// NUL, where a lone lead byte counts as one byte so that no step passes the end.
inline int32_t CharLength(const ByteClasses& cls, const unsigned char* p) {
  return ((cls.of[*p] & kLead) != 0 && p[1] != 0) ? 2 : 1;
}

}  // namespace ostrel::xml::byte_classes
