#include "xml/escaping.h"

#include <cstring>

#include "platform/mbcs.h"

namespace ostrel::xml {
namespace {

using platform::CharLength;

// Length of the character at p in a value being escaped: a lead byte takes the next byte with
// it only when that byte can be a trail byte. Every trail byte of the supported code pages is
// 0x40 or above and every markup character is below it, so a stray lead byte cannot hide a
// '<', '&', '>' or quote from the escaping: a reader that knows the code page sees such a byte
// on its own, and would read it as markup.
std::size_t ValueCharLength(const unsigned char* lead, const unsigned char* p) {
  return lead[*p] != 0 && p[1] >= 0x40 ? 2 : 1;
}

constexpr unsigned kKeepReferences = 0x08;
constexpr unsigned kEscapeQuotes = 0x100;
constexpr std::size_t kLongestReplacement = 6;  // "&quot;", "&apos;"

const char* Replacement(unsigned char c) {
  switch (c) {
    case '<':
      return "&lt;";
    case '&':
      return "&amp;";
    case '>':
      return "&gt;";
    case '\'':
      return "&apos;";
    default:
      return "&quot;";
  }
}

bool IsAsciiLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool IsReferenceStart(unsigned char c) {
  return IsAsciiLetter(c) || c == '#' || c == '_' || c == ':' || c >= 0x80;
}

bool IsReferenceName(unsigned char c) {
  return IsAsciiLetter(c) || (c >= '0' && c <= '9') || c == '_' || c == ':' || c == '-' ||
         c == '.' || c >= 0x80;
}

// Length of the reference "&name;" that starts at amp, or 0 if none starts there.
std::size_t ReferenceLength(const unsigned char* amp) {
  const unsigned char* lead = platform::LeadByteTable();
  const unsigned char* p = amp + 1;
  if (!IsReferenceStart(*p)) return 0;
  p += ValueCharLength(lead, p);
  while (IsReferenceName(*p)) p += ValueCharLength(lead, p);
  return *p == ';' ? static_cast<std::size_t>(p - amp) + 1 : 0;
}

}  // namespace

namespace detail {

std::string EscapeValue(const char* value, unsigned flags, std::size_t* final_reservation) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(value != nullptr ? value : "");
  const unsigned char* special =
      reinterpret_cast<const unsigned char*>((flags & kEscapeQuotes) != 0 ? "<&>'\"" : "<&>");
  const unsigned char* lead = platform::LeadByteTable();
  const std::size_t length = std::strlen(reinterpret_cast<const char*>(p));

  std::size_t reservation = length + length / 10 + 7;
  std::string out(reservation, '\0');
  std::size_t written = 0;
  auto write = [&](const void* bytes, std::size_t n) {
    // A kept reference may be longer than the room kept for a replacement.
    while (written + n > reservation) {
      reservation *= 2;
      out.resize(reservation);
    }
    std::memcpy(&out[written], bytes, n);
    written += n;
  };

  while (*p != 0) {
    if (written > reservation - kLongestReplacement) {
      reservation *= 2;
      out.resize(reservation);
    }
    const unsigned char c = *p;
    if (c >= 0x80 || platform::_mbschr(special, c) == nullptr) {
      // A lead byte with nothing after it is no character; written out, it would take the
      // '<' of the end tag that follows as its trail byte. It is left out.
      if (lead[c] != 0 && p[1] == 0) {
        ++p;
        continue;
      }
      const std::size_t n = ValueCharLength(lead, p);
      write(p, n);
      p += n;
      continue;
    }
    if ((flags & kKeepReferences) != 0 && c == '&') {
      const std::size_t n = ReferenceLength(p);
      if (n > 0) {
        write(p, n);
        p += n;
        continue;
      }
    }
    const char* replacement = Replacement(c);
    write(replacement, std::strlen(replacement));
    ++p;
  }
  out.resize(written);
  if (final_reservation != nullptr) *final_reservation = reservation;
  return out;
}

}  // namespace detail

std::string EscapeValue(const char* value, unsigned flags) {
  return detail::EscapeValue(value, flags, nullptr);
}

std::string WrapCData(const char* value) {
  static const unsigned char kClose[] = "]]>";
  static const char kSplit[] = "]]]]><![CDATA[>";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(value != nullptr ? value : "");
  std::string out = "<![CDATA[";
  auto append = [&out](const unsigned char* from, const unsigned char* to) {
    out.append(reinterpret_cast<const char*>(from), static_cast<std::size_t>(to - from));
  };

  if (platform::CurrentCodePage() == 0) {
    while (const unsigned char* match = platform::_mbsstr(p, kClose)) {
      append(p, match);
      out.append(kSplit);
      p = match + 3;
    }
    append(p, p + std::strlen(reinterpret_cast<const char*>(p)));
    out.append("]]>");
    return out;
  }

  // Double-byte text: the same, character by character. Besides, a character whose trail byte
  // is ']' followed by "]>" holds no "]]>" that starts on a character, yet a reader that looks
  // at bytes would end the section there: the section ends right behind that character.
  const unsigned char* lead = platform::LeadByteTable();
  const unsigned char* copied = p;
  while (*p != 0) {
    if (lead[*p] != 0 && p[1] == 0) {
      // A lead byte that ends the value is left out: a reader that knows the code page would
      // take the ']' of the closing "]]>" as its trail byte and never see the section end.
      append(copied, p);
      copied = ++p;
      continue;
    }
    if (p[0] == ']' && p[1] == ']' && p[2] == '>') {
      append(copied, p);
      out.append(kSplit);
      p = copied = p + 3;
      continue;
    }
    const std::size_t n = CharLength(lead, p);
    if (n == 2 && p[1] == ']' && p[2] == ']' && p[3] == '>') {
      append(copied, p + 2);
      out.append("]]><![CDATA[");
      copied = p + 2;
    }
    p += n;
  }
  append(copied, p);
  out.append("]]>");
  return out;
}

std::string UnescapeContent(std::string_view content) {
  static constexpr std::string_view kOpen = "<![CDATA[";
  static constexpr std::string_view kClose = "]]>";
  struct Entity {
    std::string_view text;
    char value;
  };
  static constexpr Entity kEntities[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};

  std::string out;
  out.reserve(content.size());
  std::size_t i = 0;
  while (i < content.size()) {
    const std::string_view rest = content.substr(i);
    if (rest.substr(0, kOpen.size()) == kOpen) {
      const std::size_t end = rest.find(kClose, kOpen.size());
      const std::size_t stop = end == std::string_view::npos ? rest.size() : end;
      out.append(rest.substr(kOpen.size(), stop - kOpen.size()));
      i += end == std::string_view::npos ? rest.size() : end + kClose.size();
      continue;
    }
    if (rest[0] == '&') {
      bool decoded = false;
      for (const Entity& entity : kEntities) {
        if (rest.substr(0, entity.text.size()) == entity.text) {
          out.push_back(entity.value);
          i += entity.text.size();
          decoded = true;
          break;
        }
      }
      if (decoded) continue;
    }
    out.push_back(rest[0]);
    ++i;
  }
  return out;
}

}  // namespace ostrel::xml
