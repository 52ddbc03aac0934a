// Whether a test runs under Wine rather than on Windows itself.
//
// Wine's Windows Sockets differ from Windows in a few known ways. A test that meets one skips
// with the specific reason (GTEST_SKIP) instead of weakening its check. Include as
// "windows/under_wine.h"; on other systems both functions say "not Wine".
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace ostrel::testenv {

// Wine's version text (for example "8.0"), or nullptr when not running under Wine.
inline const char* WineVersion() {
#if defined(_WIN32)
  // Wine's ntdll exports wine_get_version; Windows' does not.
  using VersionFunction = const char*(__cdecl*)();
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr) {
    return nullptr;
  }
  auto version = reinterpret_cast<VersionFunction>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
  return version != nullptr ? version() : nullptr;
#else
  return nullptr;
#endif
}

inline bool RunningUnderWine() { return WineVersion() != nullptr; }

}  // namespace ostrel::testenv
