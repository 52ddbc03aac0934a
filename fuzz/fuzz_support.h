// Pieces shared by the fuzz targets: code page choice and reporting a finding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
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
