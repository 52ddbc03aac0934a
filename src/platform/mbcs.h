// Multi-byte text: the runtime library's _mbclen family, driven by one 256-entry lead-byte table
// for the current ANSI code page. Supported: single-byte (the default; also covers UTF-8 and every
// code page whose trail bytes are never ASCII) and the double-byte code pages 932, 936, 949, 950.
#pragma once

#include <atomic>
#include <cstddef>

namespace ostrel::platform {

// Lead-byte ranges of the supported double-byte code pages (Shift JIS has two).
constexpr bool IsLeadByteOf(int code_page, unsigned byte) {
  switch (code_page) {
    case 932:
      return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    case 936:
    case 949:
    case 950:
      return byte >= 0x81 && byte <= 0xFE;
    default:
      return false;
  }
}

namespace detail {
extern std::atomic<int> current_code_page;  // -1 until read from the host
int LoadCodePage();
}  // namespace detail

// The code page the tables follow: 0 for single-byte, else 932, 936, 949 or 950.
// Read from the host once (Windows: the process's ANSI code page; POSIX: the codeset of the
// current LC_CTYPE locale), the first time text is handled.
inline int CurrentCodePage() {
  const int code_page = detail::current_code_page.load(std::memory_order_relaxed);
  return code_page >= 0 ? code_page : detail::LoadCodePage();
}

// Test hook: 932, 936, 949 or 950 selects that code page, any other value >= 0 single-byte,
// and -1 reads the host's code page again.
void SetCodePageForTesting(int code_page);

// Maps a codeset name (as nl_langinfo(CODESET) gives it) to a supported code page, else 0.
int CodePageFromCodesetName(const char* codeset);

// The lead-byte table of a code page: entry b is 1 when b opens a double-byte character.
const unsigned char* LeadByteTableFor(int code_page);

namespace detail {
extern std::atomic<const unsigned char*> current_lead_bytes;
const unsigned char* LoadLeadBytes();
}  // namespace detail

// The current code page's lead-byte table; one relaxed load on the hot path.
inline const unsigned char* LeadByteTable() {
  const unsigned char* table = detail::current_lead_bytes.load(std::memory_order_relaxed);
  return table != nullptr ? table : detail::LoadLeadBytes();
}

inline bool IsLeadByte(unsigned char c) { return LeadByteTable()[c] != 0; }

// Length of the character at c: 2 for a lead byte, else 1 (the runtime library's rule, which
// does not look at the trail byte).
inline std::size_t _mbclen(const unsigned char* c) { return IsLeadByte(*c) ? 2 : 1; }

// Like _mbclen, but a lead byte right before the terminating NUL counts as a one-byte
// character, so that stepping by it never passes the end of the text.
inline std::size_t CharLength(const unsigned char* lead, const unsigned char* p) {
  return (lead[*p] != 0 && p[1] != 0) ? 2 : 1;
}
inline std::size_t CharLength(const unsigned char* p) { return CharLength(LeadByteTable(), p); }

// First character of s equal to c (a single byte, or a double-byte character given as
// lead << 8 | trail), stepping by characters; c == 0 finds the terminating NUL.
const unsigned char* _mbschr(const unsigned char* s, unsigned int c);

// Compare at most n bytes of two texts, stopping at a NUL in both. A lead byte and its trail
// byte are compared together; a lead byte in the last compared position is compared alone.
// The case-insensitive form folds only single-byte ASCII letters, never a trail byte.
int _mbsncmp(const unsigned char* a, const unsigned char* b, std::size_t n);
int _mbsnicmp(const unsigned char* a, const unsigned char* b, std::size_t n);

// First occurrence of needle in s, trying only character starts of s (never a trail byte).
const unsigned char* _mbsstr(const unsigned char* s, const unsigned char* needle);

// Copies the character at src (one or two bytes; a lone lead byte before the NUL is one byte).
void _mbccpy(unsigned char* dst, const unsigned char* src);

// Copies n bytes of src to dst, stopping early at a NUL (which is copied); like strncpy it
// pads nothing beyond. Returns dst.
unsigned char* _mbsnbcpy(unsigned char* dst, const unsigned char* src, std::size_t n);

}  // namespace ostrel::platform
