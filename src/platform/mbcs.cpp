#include "platform/mbcs.h"

#include <array>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <langinfo.h>
#include <clocale>
#endif

namespace ostrel::platform {
namespace {

using LeadTable = std::array<unsigned char, 256>;

constexpr LeadTable MakeLeadTable(int code_page) {
  LeadTable table{};
  for (unsigned b = 0; b < 256; ++b) table[b] = IsLeadByteOf(code_page, b) ? 1 : 0;
  return table;
}

constexpr LeadTable kSingleByte{};
constexpr LeadTable kCodePage932 = MakeLeadTable(932);
constexpr LeadTable kCodePage936 = MakeLeadTable(936);
constexpr LeadTable kCodePage949 = MakeLeadTable(949);
constexpr LeadTable kCodePage950 = MakeLeadTable(950);

int NormalizeCodePage(int code_page) {
  switch (code_page) {
    case 932:
    case 936:
    case 949:
    case 950:
      return code_page;
    default:
      return 0;
  }
}

int ReadHostCodePage() {
#ifdef _WIN32
  return NormalizeCodePage(static_cast<int>(GetACP()));
#else
  const char* locale = std::setlocale(LC_CTYPE, nullptr);
  if (locale == nullptr || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0)
    return 0;
  return CodePageFromCodesetName(nl_langinfo(CODESET));
#endif
}

// Upper-cases ASCII letters and drops '-' and '_', so "Shift_JIS", "SHIFT-JIS" and "shiftjis"
// compare equal.
void NormalizeCodesetName(const char* in, char* out, std::size_t room) {
  std::size_t n = 0;
  for (; *in != '\0' && n + 1 < room; ++in) {
    char c = *in;
    if (c == '-' || c == '_') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    out[n++] = c;
  }
  out[n] = '\0';
}

}  // namespace

namespace detail {
std::atomic<const unsigned char*> current_lead_bytes{nullptr};
std::atomic<int> current_code_page{-1};

const unsigned char* LoadLeadBytes() {
  LoadCodePage();
  return current_lead_bytes.load(std::memory_order_relaxed);
}

int LoadCodePage() {
  int code_page = current_code_page.load(std::memory_order_acquire);
  if (code_page >= 0) return code_page;
  // Two threads may both read the host here; they find the same answer.
  code_page = ReadHostCodePage();
  current_lead_bytes.store(LeadByteTableFor(code_page), std::memory_order_relaxed);
  current_code_page.store(code_page, std::memory_order_release);
  return code_page;
}
}  // namespace detail

const unsigned char* LeadByteTableFor(int code_page) {
  switch (NormalizeCodePage(code_page)) {
    case 932:
      return kCodePage932.data();
    case 936:
      return kCodePage936.data();
    case 949:
      return kCodePage949.data();
    case 950:
      return kCodePage950.data();
    default:
      return kSingleByte.data();
  }
}

int CodePageFromCodesetName(const char* codeset) {
  if (codeset == nullptr) return 0;
  char name[32];
  NormalizeCodesetName(codeset, name, sizeof name);
  struct Alias {
    const char* name;
    int code_page;
  };
  static constexpr Alias kAliases[] = {
      {"SHIFTJIS", 932}, {"SJIS", 932},    {"CP932", 932},  {"WINDOWS31J", 932},
      {"MSKANJI", 932},  {"GBK", 936},     {"GB2312", 936}, {"CP936", 936},
      {"EUCCN", 936},    {"GB18030", 936}, {"EUCKR", 949},  {"CP949", 949},
      {"UHC", 949},      {"BIG5", 950},    {"CP950", 950},  {"BIG5HKSCS", 950},
  };
  for (const Alias& alias : kAliases)
    if (std::strcmp(name, alias.name) == 0) return alias.code_page;
  return 0;
}

void SetCodePageForTesting(int code_page) {
  if (code_page < 0) {
    detail::current_code_page.store(-1, std::memory_order_release);
    detail::LoadCodePage();
    return;
  }
  code_page = NormalizeCodePage(code_page);
  detail::current_lead_bytes.store(LeadByteTableFor(code_page), std::memory_order_relaxed);
  detail::current_code_page.store(code_page, std::memory_order_release);
}

const unsigned char* _mbschr(const unsigned char* s, unsigned int c) {
  const unsigned char* lead = LeadByteTable();
  for (;; s += CharLength(lead, s)) {
    unsigned int ch = *s;
    if (lead[*s] != 0 && s[1] != 0) ch = (ch << 8) | s[1];
    if (ch == c) return s;
    if (*s == 0) return nullptr;
  }
}

namespace {

unsigned char FoldAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

int CompareBytes(const unsigned char* a, const unsigned char* b, std::size_t n, bool fold) {
  const unsigned char* lead = LeadByteTable();
  std::size_t i = 0;
  while (i < n) {
    if (lead[a[i]] != 0 && i + 1 < n && a[i + 1] != 0) {
      // A whole double-byte character: both bytes exactly, never folded.
      if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
      if (a[i + 1] != b[i + 1]) return a[i + 1] < b[i + 1] ? -1 : 1;
      i += 2;
      continue;
    }
    unsigned char x = fold ? FoldAscii(a[i]) : a[i];
    unsigned char y = fold ? FoldAscii(b[i]) : b[i];
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
    ++i;
  }
  return 0;
}

}  // namespace

int _mbsncmp(const unsigned char* a, const unsigned char* b, std::size_t n) {
  return CompareBytes(a, b, n, false);
}

int _mbsnicmp(const unsigned char* a, const unsigned char* b, std::size_t n) {
  return CompareBytes(a, b, n, true);
}

const unsigned char* _mbsstr(const unsigned char* s, const unsigned char* needle) {
  const unsigned char* lead = LeadByteTable();
  if (lead == kSingleByte.data()) {
    // Every byte starts a character: the C library's search is the same and faster.
    return reinterpret_cast<const unsigned char*>(
        std::strstr(reinterpret_cast<const char*>(s), reinterpret_cast<const char*>(needle)));
  }
  std::size_t n = std::strlen(reinterpret_cast<const char*>(needle));
  for (;; s += CharLength(lead, s)) {
    if (std::strncmp(reinterpret_cast<const char*>(s), reinterpret_cast<const char*>(needle), n) ==
        0)
      return s;
    if (*s == 0) return nullptr;
  }
}

void _mbccpy(unsigned char* dst, const unsigned char* src) {
  dst[0] = src[0];
  if (CharLength(src) == 2) dst[1] = src[1];
}

unsigned char* _mbsnbcpy(unsigned char* dst, const unsigned char* src, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    dst[i] = src[i];
    if (src[i] == 0) break;
  }
  return dst;
}

}  // namespace ostrel::platform
