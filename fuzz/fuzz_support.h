// Pieces shared by the fuzz targets: code page choice and reporting a finding.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "platform/mbcs.h"

namespace ostrel::fuzz {

// The supported code pages: single-byte first, then the double-byte ones.
constexpr int kCodePages[] = {0, 932, 936, 949, 950};
constexpr std::size_t kCodePageCount = sizeof kCodePages / sizeof *kCodePages;

// Selects the code page named by a selector byte (its low bits) and returns it.
inline int SelectCodePage(std::uint8_t selector) {
  const int codePage = kCodePages[selector % kCodePageCount];
  platform::SetCodePageForTesting(codePage);
  return codePage;
}

// Character length with the end-of-text rule: a lead byte right before the NUL is one byte.
inline std::size_t CharLen(const std::string& s, std::size_t i) {
  return platform::IsLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() ? 2 : 1;
}

// Character length in a value being escaped: a lead byte takes the next byte with it only when
// that byte can be a trail byte (0x40 or above); a lead byte right before the NUL is one byte.
inline std::size_t ValueCharLen(const std::string& s, std::size_t i) {
  return platform::IsLeadByte(static_cast<unsigned char>(s[i])) && i + 1 < s.size() &&
                 static_cast<unsigned char>(s[i + 1]) >= 0x40
             ? 2
             : 1;
}

// Element content read back the way the scanner reads text: character by character (a lead
// byte takes the next byte with it), with CDATA sections unwrapped (a section ends at the first
// '>' reached whose two bytes before are "]]") and the five predefined references decoded.
inline std::string ReadBack(const std::string& content) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quot;", '"'}};
  std::string out;
  std::size_t i = 0;
  while (i < content.size()) {
    if (content.compare(i, 9, "<![CDATA[") == 0) {
      std::size_t j = i + 9;
      while (j < content.size() && !(content[j] == '>' && j >= i + 11 && content[j - 1] == ']' &&
                                     content[j - 2] == ']')) {
        j += CharLen(content, j);
      }
      const std::size_t end = std::min(j, content.size());
      out.append(content, i + 9, end >= i + 11 ? end - 2 - (i + 9) : 0);
      i = end + 1;
      continue;
    }
    bool decoded = false;
    for (const auto& entity : kEntities) {
      const std::size_t n = std::char_traits<char>::length(entity.first);
      if (content.compare(i, n, entity.first) == 0) {
        out += entity.second;
        i += n;
        decoded = true;
        break;
      }
    }
    if (!decoded) {
      const std::size_t n = CharLen(content, i);
      out.append(content, i, n);
      i += n;
    }
  }
  return out;
}

// The value without a lone lead byte at its end, which escaping leaves out.
inline std::string Whole(const std::string& v) {
  if (!v.empty() && platform::IsLeadByte(static_cast<unsigned char>(v.back()))) {
    std::size_t i = 0;
    while (i + 1 < v.size()) i += CharLen(v, i);
    if (i + 1 == v.size()) return v.substr(0, i);
  }
  return v;
}

// Prints what went wrong, with the text involved, and stops: libFuzzer keeps the input.
[[noreturn]] inline void Finding(const std::string& what, const std::vector<std::string>& details,
                                 const std::string& text) {
  std::fprintf(stderr, "FINDING: %s\n", what.c_str());
  for (const std::string& line : details) {
    std::fprintf(stderr, "  %s\n", line.c_str());
  }
  std::fprintf(stderr, "text (%zu bytes): ", text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      std::fputc(c, stderr);
    } else {
      std::fprintf(stderr, "\\x%02X", c);
    }
  }
  std::fputc('\n', stderr);
  std::abort();
}

}  // namespace ostrel::fuzz
