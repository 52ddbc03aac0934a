#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/mbcs.h"

namespace ostrel::platform {
namespace {

const unsigned char* U(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

class CodePage : public ::testing::Test {
 protected:
  void TearDown() override { SetCodePageForTesting(0); }
};

TEST(CodesetNames, MapToTheSupportedDoubleByteCodePages) {
  struct Case {
    const char* codeset;
    int codePage;
  } cases[] = {
      {"SHIFT_JIS", 932},   {"Shift-JIS", 932}, {"SJIS", 932},   {"CP932", 932},
      {"WINDOWS-31J", 932}, {"GBK", 936},       {"GB2312", 936}, {"CP936", 936},
      {"GB18030", 936},     {"EUC-KR", 949},    {"CP949", 949},  {"BIG5", 950},
      {"Big5-HKSCS", 950},  {"CP950", 950},     {"UTF-8", 0},    {"ANSI_X3.4-1968", 0},
      {"ISO-8859-1", 0},    {"EUC-JP", 0},      {"", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CodePageFromCodesetName(c.codeset), c.codePage) << c.codeset;
  EXPECT_EQ(CodePageFromCodesetName(nullptr), 0);
}

TEST(LeadBytes, TablesHoldEachCodePagesLeadRanges) {
  struct Case {
    int codePage;
    unsigned char lead, notLead;
  } cases[] = {{932, 0x81, 0xA0}, {932, 0x9F, 0x80}, {932, 0xE0, 0xDF}, {932, 0xFC, 0xFD},
               {936, 0x81, 0x80}, {936, 0xFE, 0xFF}, {949, 0xA1, 0x7F}, {950, 0xFE, 0x40}};
  for (const Case& c : cases) {
    EXPECT_EQ(LeadByteTableFor(c.codePage)[c.lead], 1) << c.codePage << " " << int(c.lead);
    EXPECT_EQ(LeadByteTableFor(c.codePage)[c.notLead], 0) << c.codePage << " " << int(c.notLead);
  }
  for (int b = 0; b < 256; ++b) EXPECT_EQ(LeadByteTableFor(0)[b], 0) << b;
  for (int b = 0; b < 0x80; ++b) EXPECT_EQ(LeadByteTableFor(932)[b], 0) << b;
}

TEST_F(CodePage, SwitchingChangesCharacterLengths) {
  SetCodePageForTesting(0);
  EXPECT_EQ(CurrentCodePage(), 0);
  EXPECT_EQ(_mbclen(U("\x81\x40")), 1u);
  SetCodePageForTesting(932);
  EXPECT_EQ(CurrentCodePage(), 932);
  EXPECT_EQ(_mbclen(U("\x81\x40")), 2u);
  EXPECT_EQ(_mbclen(U("\xA0\x40")), 1u);  // half-width katakana: one byte
  SetCodePageForTesting(1252);
  EXPECT_EQ(CurrentCodePage(), 0);
}

#ifdef _WIN32
TEST_F(CodePage, FollowsTheProcessAnsiCodePageWhenAsked) {
  SetCodePageForTesting(-1);
  const int acp = static_cast<int>(GetACP());
  const bool supported = acp == 932 || acp == 936 || acp == 949 || acp == 950;
  EXPECT_EQ(CurrentCodePage(), supported ? acp : 0);
}
#else
TEST_F(CodePage, FollowsTheHostLocaleWhenAsked) {
  const char* before = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = before != nullptr ? before : "C";
  SetCodePageForTesting(932);
  std::setlocale(LC_CTYPE, "C");  // no codeset is even asked for
  SetCodePageForTesting(-1);
  EXPECT_EQ(CurrentCodePage(), 0);
  if (std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {  // a codeset that is single-byte here
    SetCodePageForTesting(932);
    SetCodePageForTesting(-1);
    EXPECT_EQ(CurrentCodePage(), 0);
    EXPECT_EQ(LeadByteTable()[0x81], 0);
  }
  std::setlocale(LC_CTYPE, saved.c_str());
}
#endif

TEST_F(CodePage, LoneLeadByteBeforeTheEndCountsAsOneByte) {
  SetCodePageForTesting(936);
  EXPECT_EQ(_mbclen(U("\x81")), 2u);  // the runtime rule does not look at the trail
  EXPECT_EQ(CharLength(U("\x81")), 1u);
  EXPECT_EQ(CharLength(U("\x81\x41")), 2u);
}

TEST_F(CodePage, MbschrStepsByCharacters) {
  SetCodePageForTesting(932);
  const unsigned char* s = U("\x81\x5C\\x");  // a character with a backslash trail, then '\'
  EXPECT_EQ(_mbschr(s, '\\'), s + 2);
  EXPECT_EQ(_mbschr(s, 0x815C), s);
  EXPECT_EQ(_mbschr(s, 'y'), nullptr);
  EXPECT_EQ(_mbschr(s, 0), s + 4);
  SetCodePageForTesting(0);
  EXPECT_EQ(_mbschr(s, '\\'), s + 1);
}

TEST_F(CodePage, ComparisonsTakeDoubleByteCharactersWhole) {
  SetCodePageForTesting(932);
  // A trail byte that looks like a letter is never folded.
  EXPECT_NE(_mbsnicmp(U("\x81"
                        "A"),
                      U("\x81"
                        "a"),
                      2),
            0);
  EXPECT_EQ(_mbsnicmp(U("aB\x81"
                        "A"),
                      U("Ab\x81"
                        "A"),
                      4),
            0);
  // A lead byte in the last compared position is compared alone.
  EXPECT_EQ(_mbsnicmp(U("x\x81"
                        "A"),
                      U("X\x81"
                        "B"),
                      2),
            0);
  EXPECT_EQ(_mbsncmp(U("abc"), U("abd"), 2), 0);
  EXPECT_LT(_mbsncmp(U("abc"), U("abd"), 3), 0);
  EXPECT_GT(_mbsncmp(U("ab"), U("a"), 5), 0);
  EXPECT_EQ(_mbsncmp(U("ab"), U("ab"), 5), 0);
  EXPECT_NE(_mbsncmp(U("aB"), U("ab"), 2), 0);
}

TEST_F(CodePage, MbsstrNeverMatchesFromATrailByte) {
  SetCodePageForTesting(932);
  // 0x81 0x5D is one character whose trail byte is ']'.
  const unsigned char* s = U("\x81]]>x]]>");
  EXPECT_EQ(_mbsstr(s, U("]]>")), s + 5);
  SetCodePageForTesting(0);
  EXPECT_EQ(_mbsstr(s, U("]]>")), s + 1);
  EXPECT_EQ(_mbsstr(U("abc"), U("]]>")), nullptr);
  EXPECT_EQ(_mbsstr(s, U("")), s);
}

TEST_F(CodePage, CopiesTakeWholeCharacters) {
  SetCodePageForTesting(949);
  unsigned char out[4] = {'-', '-', '-', '-'};
  _mbccpy(out, U("\xB0\xA1z"));
  EXPECT_EQ(std::memcmp(out, "\xB0\xA1--", 4), 0);
  _mbccpy(out, U("q"));
  EXPECT_EQ(out[0], 'q');
  unsigned char buf[8];
  std::memset(buf, '#', sizeof buf);
  _mbsnbcpy(buf, U("ab"), 5);
  EXPECT_EQ(std::memcmp(buf, "ab\0###", 6), 0);
  _mbsnbcpy(buf, U("wxyz"), 2);
  EXPECT_EQ(std::memcmp(buf, "wx\0", 3), 0);
}

}  // namespace
}  // namespace ostrel::platform
