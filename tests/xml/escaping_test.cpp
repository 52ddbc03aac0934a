#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/mbcs.h"
#include "xml/escaping.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

struct EscapeCase {
  std::string value;
  unsigned flags;
  std::string escaped;
};

TEST(EscapeValue, ReplacesMarkupCharactersByReferences) {
  const EscapeCase cases[] = {
      {"a<b", 0, "a&lt;b"},
      {"x&y", 0, "x&amp;y"},
      {"&lt;", 0, "&amp;lt;"},
      {"'\"", 0, "'\""},
      {"]]>", 0, "]]&gt;"},
      {"'\"", kEscapeQuotes, "&apos;&quot;"},
      {"<&>", kEscapeQuotes | kKeepReferences, "&lt;&amp;&gt;"},
      {"", 0, ""},
      {"\r\n\t", 0, "\r\n\t"},
      {"\x80\xE9\xFF", 0, "\x80\xE9\xFF"},
      {"plain", kAsCData | kNoLineBreaks | kAsChild, "plain"},  // other flag bits are not read
  };
  for (const EscapeCase& c : cases)
    EXPECT_EQ(EscapeValue(c.value.c_str(), c.flags), c.escaped) << c.value << " " << c.flags;
}

TEST(EscapeValue, KeepsWellFormedReferencesWhenAsked) {
  const EscapeCase cases[] = {
      {"&amp;", kKeepReferences, "&amp;"},
      {"&#38;", kKeepReferences, "&#38;"},
      {"&#x26;", kKeepReferences, "&#x26;"},
      {"&_:a-b.c;", kKeepReferences, "&_:a-b.c;"},
      {"R&D", kKeepReferences, "R&amp;D"},
      {"&a", kKeepReferences, "&amp;a"},
      {"&;", kKeepReferences, "&amp;;"},
      {"&1;", kKeepReferences, "&amp;1;"},
      {"&-x;", kKeepReferences, "&amp;-x;"},
      {"&x y;", kKeepReferences, "&amp;x y;"},
      {"&\xE9;", kKeepReferences, "&\xE9;"},
      {"a&b;c&d", kKeepReferences, "a&b;c&amp;d"},
      {"&amp;", 0, "&amp;amp;"},
  };
  for (const EscapeCase& c : cases)
    EXPECT_EQ(EscapeValue(c.value.c_str(), c.flags), c.escaped) << c.value;
}

TEST(EscapeValue, ReservationDoublesBeforeItCouldOverflow) {
  size_t reservation = 0;
  const std::string out = detail::EscapeValue(std::string(100, '<').c_str(), 0, &reservation);
  EXPECT_EQ(out.size(), 400u);
  EXPECT_EQ(reservation, 468u);  // 117, 234, 468
  detail::EscapeValue("abc", 0, &reservation);
  EXPECT_EQ(reservation, 10u);  // 3 + 0 + 7: no growth
}

TEST(EscapeValue, KeptReferencesLongerThanTheRoomStillFit) {
  // A reference of 5,000 bytes right after the start: the reservation grows to take it whole.
  const std::string reference = "&" + std::string(4998, 'a') + ";";
  for (const std::string& value : {reference, "x" + reference + "<", reference + reference}) {
    size_t reservation = 0;
    const std::string out = detail::EscapeValue(value.c_str(), kKeepReferences, &reservation);
    std::string expected = value;
    if (value.back() == '<') expected = "x" + reference + "&lt;";
    EXPECT_EQ(out, expected);
    EXPECT_GE(reservation, out.size());
  }
}

class EscapeCodePage : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetCodePageForTesting(0); }
};

TEST_F(EscapeCodePage, DoubleByteCharactersAreCopiedWhole) {
  platform::SetCodePageForTesting(932);
  EXPECT_EQ(EscapeValue("\x81\x40<", 0), "\x81\x40&lt;");
  EXPECT_EQ(EscapeValue("&\x81\x40;", kKeepReferences), "&\x81\x40;");
  // No trail byte is below 0x40, and every markup character is: a lead byte before one stands
  // alone, and the markup character is escaped. Copied whole, "\x81<" would reach a reader that
  // knows the code page as a stray byte and a raw '<'.
  EXPECT_EQ(EscapeValue("\x81<a<", 0), "\x81&lt;a&lt;");
  EXPECT_EQ(EscapeValue("\x81'\x81\"", kEscapeQuotes), "\x81&apos;\x81&quot;");
  EXPECT_EQ(EscapeValue("\x81'", 0), "\x81'");  // not special: the bytes stay as they were
  EXPECT_EQ(EscapeValue("&\x81<b;", kKeepReferences), "&amp;\x81&lt;b;");
  // The walk never steps past a lone lead byte at the end, and leaves it out: written, it
  // would take the '<' of the end tag behind it as its trail byte.
  EXPECT_EQ(EscapeValue("ab\x81", 0), "ab");
  EXPECT_EQ(EscapeValue("&\x81", kKeepReferences), "&amp;");
  EXPECT_EQ(EscapeValue("&a\x81", kKeepReferences), "&amp;a");
  EXPECT_EQ(EscapeValue("\x81\x81", 0), "\x81\x81");  // one whole character
  platform::SetCodePageForTesting(0);
  EXPECT_EQ(EscapeValue("\x81<a<", 0), "\x81&lt;a&lt;");
}

TEST(WrapCData, SplitsEveryClosingSequence) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "<![CDATA[]]>"},
      {"abc", "<![CDATA[abc]]>"},
      {"]]>", "<![CDATA[]]]]><![CDATA[>]]>"},
      {"a]]>b", "<![CDATA[a]]]]><![CDATA[>b]]>"},
      {"]]]>", "<![CDATA[]]]]]><![CDATA[>]]>"},
      {"x]]>]]>y", "<![CDATA[x]]]]><![CDATA[>]]]]><![CDATA[>y]]>"},
      {"<&>", "<![CDATA[<&>]]>"},
  };
  for (const auto& c : cases) EXPECT_EQ(WrapCData(c.first.c_str()), c.second) << c.first;
}

TEST_F(EscapeCodePage, WrapCDataNeverSplitsInsideACharacter) {
  platform::SetCodePageForTesting(932);
  EXPECT_EQ(WrapCData("\x81]]]>"), "<![CDATA[\x81]]]]]><![CDATA[>]]>");
  // 0x81 0x5D is one character ending in ']'. Before "]>" its bytes would read as "]]>": the
  // section ends right behind the character.
  EXPECT_EQ(WrapCData("\x81]]>"), "<![CDATA[\x81]]]><![CDATA[]>]]>");
  // A lead byte that ends the value is left out, as escaping does: it would take the ']' of the
  // closing "]]>" as its trail byte.
  EXPECT_EQ(WrapCData("ab\x81"), "<![CDATA[ab]]>");
  EXPECT_EQ(WrapCData("ab\x81\x81"), "<![CDATA[ab\x81\x81]]>");
}

// The value as escaping and wrapping keep it: without a lead byte that ends it.
std::string WithoutLoneLeadByteAtTheEnd(const std::string& value) {
  std::size_t i = 0;
  while (i < value.size()) {
    if (platform::IsLeadByte(static_cast<unsigned char>(value[i])) && i + 1 == value.size()) {
      return value.substr(0, i);
    }
    i += platform::IsLeadByte(static_cast<unsigned char>(value[i])) &&
                 static_cast<unsigned char>(value[i + 1]) >= 0x40
             ? 2
             : 1;
  }
  return value;
}

TEST_F(EscapeCodePage, WrappedValuesReadBackByteByByteUnderEveryCodePage) {
  std::mt19937 random(8);
  const std::string alphabet = "]]]>>\x81\x5Dx";
  for (int codePage : {0, 932, 936, 949, 950}) {
    platform::SetCodePageForTesting(codePage);
    for (int round = 0; round < 3000; ++round) {
      std::string value(random() % 12, ' ');
      for (char& c : value) c = alphabet[random() % alphabet.size()];
      ASSERT_EQ(UnescapeContent(WrapCData(value.c_str())), WithoutLoneLeadByteAtTheEnd(value))
          << codePage << ": " << value;
    }
  }
}

TEST(UnescapeContent, ReadsBackWhatEscapingAndWrappingWrote) {
  std::mt19937 random(5);
  const std::string alphabet = "<>&'\"]]x; \r\n#a";
  for (int round = 0; round < 3000; ++round) {
    std::string value(random() % 20, ' ');
    for (char& c : value) c = alphabet[random() % alphabet.size()];
    EXPECT_EQ(UnescapeContent(EscapeValue(value.c_str(), 0)), value);
    EXPECT_EQ(UnescapeContent(EscapeValue(value.c_str(), kEscapeQuotes)), value);
    EXPECT_EQ(UnescapeContent(WrapCData(value.c_str())), value);
  }
  EXPECT_EQ(UnescapeContent("&#38;&unknown;x"), "&#38;&unknown;x");
  EXPECT_EQ(UnescapeContent("a<![CDATA[b"), "ab");  // a section cut short ends at the end
}

// Under a double-byte code page too, byte by byte as any reader that knows the code page reads
// it: a stray lead byte never hides a markup character from the escaping.
TEST_F(EscapeCodePage, EscapedValuesReadBackUnderEveryCodePage) {
  std::mt19937 random(6);
  const std::string alphabet = "<>&'\"]x;\x81\x40\x5D\xE0";
  for (int codePage : {0, 932, 936, 949, 950}) {
    platform::SetCodePageForTesting(codePage);
    for (int round = 0; round < 3000; ++round) {
      std::string value(random() % 16, ' ');
      for (char& c : value) c = alphabet[random() % alphabet.size()];
      const std::string kept = WithoutLoneLeadByteAtTheEnd(value);
      ASSERT_EQ(UnescapeContent(EscapeValue(value.c_str(), 0)), kept) << codePage;
      ASSERT_EQ(UnescapeContent(EscapeValue(value.c_str(), kEscapeQuotes)), kept) << codePage;
      const std::string escaped = EscapeValue(value.c_str(), kEscapeQuotes);
      for (std::size_t i = 0; i < escaped.size(); ++i) {
        ASSERT_EQ(std::string("<>'\"").find(escaped[i]), std::string::npos) << codePage;
      }
    }
  }
}

}  // namespace
}  // namespace ostrel::xml
