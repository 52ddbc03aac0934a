#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/mbcs.h"
#include "xml/scanner.h"

namespace ostrel::xml {
namespace {

using ScanFunction = NodeType (*)(ScanCursor&, NodeToken&);

// One line per node: kind, start+length, and the name or message where the node has one.
std::string Describe(NodeType type, const NodeToken& token, const ScanCursor& cursor) {
  std::ostringstream out;
  switch (type) {
    case NodeType::ElementTag:
      out << "Element";
      break;
    case NodeType::EndTag:
      out << "End";
      break;
    case NodeType::Text:
      out << "Text";
      break;
    case NodeType::Whitespace:
      out << "Space";
      break;
    case NodeType::CDataSection:
      out << "CData";
      break;
    case NodeType::ProcessingInstruction:
      out << "PI";
      break;
    case NodeType::Comment:
      out << "Comment";
      break;
    case NodeType::Doctype:
      out << "Doctype";
      break;
    case NodeType::Error:
      out << "Error";
      break;
    case NodeType::EndOfDocument:
      out << "End of document";
      break;
  }
  out << " " << token.start << "+" << token.length;
  if (type == NodeType::EndTag) out << " '" << NameText(cursor) << "'";
  if (!token.text.empty()) out << " '" << token.text << "'";
  if ((token.flags & kEmptyElement) != 0) out << " empty";
  return out.str();
}

// Scans the whole text; the token's text is cleared before each node so that every line shows
// only what that scan wrote.
std::vector<std::string> ScanAll(const std::string& text, ScanFunction scan = &ScanNode) {
  std::vector<std::string> nodes;
  ScanCursor cursor;
  cursor.text = text.c_str();
  NodeToken token;
  for (int guard = 0; guard < 1000; ++guard) {
    token.text.clear();
    const int32_t before = cursor.next;
    const NodeType type = scan(cursor, token);
    if (type == NodeType::EndOfDocument) {
      EXPECT_EQ(cursor.next, before);
      EXPECT_EQ(token.length, 0);
      EXPECT_EQ(token.type, NodeType::EndTag);  // the code 0
      return nodes;
    }
    EXPECT_EQ(token.type, type);
    EXPECT_EQ(cursor.next, token.start + token.length) << "next must follow the node";
    EXPECT_GT(token.length, 0);
    nodes.push_back(Describe(type, token, cursor));
  }
  ADD_FAILURE() << "scanner does not advance";
  return nodes;
}

struct ScanCase {
  std::string text;
  std::vector<std::string> nodes;
};

void RunCases(const std::vector<ScanCase>& cases) {
  for (const ScanCase& c : cases) {
    EXPECT_EQ(ScanAll(c.text), c.nodes) << "text: " << c.text;
    EXPECT_EQ(ScanAll(c.text, &detail::ScanNodeGeneral), c.nodes) << "general, text: " << c.text;
  }
}

TEST(Scanner, EmptyTextIsEndOfDocumentAtOnce) { RunCases({{"", {}}}); }

TEST(Scanner, ElementTagsAndTheEmptyElementMark) {
  RunCases({
      {"<a/>", {"Element 0+4 'a' empty"}},
      {"<a />", {"Element 0+5 'a' empty"}},
      {"<a b='c'/>", {"Element 0+10 'a' empty"}},
      {"<a b=\"c\"/>", {"Element 0+10 'a' empty"}},
      {"<a b=c/>", {"Element 0+8 'a'"}},
      {"<a //>", {"Element 0+6 'a'"}},
      {"<a/ >", {"Element 0+5 'a'"}},
      {"<a>", {"Element 0+3 'a'"}},
      {"<abc\tx='1'>", {"Element 0+11 'abc'"}},
      {"<a=b>", {"Element 0+5 'a=b'"}},
      {"<a'b>", {"Element 0+5 'a'b'"}},  // quotes inside a name are not tracked
      {"<:x/>", {"Element 0+5 ':x' empty"}},
      {"<\x7f/>", {"Element 0+4 '\x7f' empty"}},
  });
}

TEST(Scanner, QuotedGreaterThanDoesNotEndTag) {
  RunCases({
      {"<a href='x>y'>", {"Element 0+14 'a'"}},
      {"<a href=\"x>y\">", {"Element 0+14 'a'"}},
      {"<a b='\"'>", {"Element 0+9 'a'"}},  // the other quote does not open inside
      {"<a b=\"'>\">x", {"Element 0+10 'a'", "Text 10+1"}},
  });
}

TEST(Scanner, EndTagsKeepTheirNameInTheCursor) {
  RunCases({
      {"</a >", {"End 0+5 'a'"}},
      {"</>", {"End 0+3 ''"}},
      {"</a '>'>", {"End 0+6 'a'", "Text 6+2"}},  // end tags do not track quotes
      {"</a <b>", {"End 0+7 'a'"}},
  });
  const std::string text = "</>";
  ScanCursor cursor;
  cursor.text = text.c_str();
  NodeToken token;
  ASSERT_EQ(ScanNode(cursor, token), NodeType::EndTag);
  EXPECT_EQ(cursor.name_start, 2);
  EXPECT_EQ(cursor.name_end, 1);
}

TEST(Scanner, TextAndWhitespaceNodes) {
  RunCases({
      {"ab>cd<x>", {"Text 0+3", "Text 3+2", "Element 5+3 'x'"}},
      {"  <a>", {"Space 0+2", "Element 2+3 'a'"}},
      {"  x<a>", {"Text 0+3", "Element 3+3 'a'"}},
      {" \t\r\n", {"Space 0+4"}},
      {"abc", {"Text 0+3"}},
      {">x>", {"Text 0+3"}},  // the first byte is read by the opening, not the body
      {"  >x<", {"Text 0+4", "Error 4+1 'tag at offset 4 unterminated'"}},
      {"a\"b'c>", {"Text 0+6"}},  // text does not track quotes
  });
}

TEST(Scanner, LayoutExampleGivesOneNodePerPiece) {
  RunCases(
      {{"<a>\r\n  <b/>\r\n</a>",
        {"Element 0+3 'a'", "Space 3+4", "Element 7+4 'b' empty", "Space 11+2", "End 13+4 'a'"}}});
}

TEST(Scanner, CommentsProcessingInstructionsAndCDataSections) {
  RunCases({
      {"<!-- a > b -->", {"Comment 0+14"}},
      {"<!-->", {"Comment 0+5"}},
      {"<!---->", {"Comment 0+7"}},
      {"<?>", {"Error 0+3 'Processing instruction at offset 0 unterminated'"}},
      {"x<?>", {"Text 0+1", "PI 1+3"}},
      {"<?xml version='1.0'?>", {"PI 0+21 'xml'"}},
      {"<?xml?>", {"PI 0+7 'xml?'"}},
      {"<? x ?>", {"PI 0+7"}},
      {"<?a ?> ?>", {"PI 0+6 'a'", "Text 6+3"}},
      {"<![CDATA[x]]>", {"CData 0+13"}},
      {"<![CX[x]]>", {"CData 0+10"}},
      {"<![CDATA[a]>b]]>", {"CData 0+16"}},
  });
}

TEST(Scanner, DeclarationsAndTheDoctype) {
  RunCases({
      {"<!DOCTYPE r [ <!ELEMENT r ANY> <!-- c --> ]>", {"Doctype 0+44"}},
      {"<!DOCTYPE r SYSTEM 'a>b'>", {"Doctype 0+22", "Text 22+3"}},
      {"<!DOCTYPE r SYSTEM \"a>b\">", {"Doctype 0+22", "Text 22+3"}},
      {"<!Dx>", {"Doctype 0+5"}},
      {"<!ENTITY e 'a>b'>", {"Doctype 0+17"}},
      {"<!ATTLIST a b CDATA \">\">", {"Doctype 0+24"}},
      {"<!NOTATION n SYSTEM 'x'>", {"Doctype 0+24"}},
      {"<!DOCTYPE r [<?pi x?>]>", {"Doctype 0+23 'pi'"}},
      {"<!DOCTYPE r [<e a='>'/>]>", {"Doctype 0+25 'e' empty"}},
      {"<!DOCTYPE r [<!D>]>", {"Doctype 0+19 'Incorrect ! tag at offset 0'"}},
      {"<!DOCTYPE r [<![x]>]>", {"Doctype 0+21 'Incorrect ! tag at offset 0'"}},
  });
}

TEST(Scanner, MalformedNodesGiveMessagesWithTheirOffsets) {
  RunCases({
      {"<!x>", {"Error 0+4 'Incorrect ! tag at offset 0'"}},
      {"<!e>", {"Error 0+4 'Incorrect ! tag at offset 0'"}},
      {"< a>", {"Error 0+4 'Incorrect tag name character at offset 0'"}},
      {"<1a>", {"Error 0+4 'Incorrect tag name character at offset 0'"}},
      {"<!-x>", {"Error 0+5 'Incorrect comment tag at offset 0'"}},
      {"<![Q>", {"Error 0+5 'Incorrect tag at offset 0'"}},
      {"<% bad <a>", {"Error 0+7 'Incorrect tag name character at offset 0'", "Element 7+3 'a'"}},
      {"ab<@x>", {"Text 0+2", "Error 2+4 'Incorrect tag name character at offset 2'"}},
      {"<@ '>' x>", {"Error 0+9 'Incorrect tag name character at offset 0'"}},
      {"<@ '<' x>",  // a '<' ends an error node even inside quotes
       {"Error 0+4 'Incorrect tag name character at offset 0'",
        "Error 4+5 'Incorrect tag name character at offset 4'"}},
      {"<<a>", {"Error 0+4 'Incorrect tag name character at offset 0'"}},
  });
}

TEST(Scanner, UnterminatedNodesNameTheirKind) {
  RunCases({
      {"<a", {"Error 0+2 'Element tag at offset 0 unterminated'"}},
      {"</a", {"Error 0+3 'Element end tag at offset 0 unterminated'"}},
      {"</a ", {"Error 0+4 'Element end tag at offset 0 unterminated'"}},
      {"<", {"Error 0+1 'tag at offset 0 unterminated'"}},
      {"<!", {"Error 0+2 'tag at offset 0 unterminated'"}},
      {"<!-", {"Error 0+3 'tag at offset 0 unterminated'"}},
      {"<![", {"Error 0+3 'tag at offset 0 unterminated'"}},
      {"<![C", {"Error 0+4 'CDATA Section at offset 0 unterminated'"}},
      {"<!--", {"Error 0+4 'Comment at offset 0 unterminated'"}},
      {"<?", {"Error 0+2 'Processing instruction at offset 0 unterminated'"}},
      {"<!DOCTYPE x", {"Error 0+11 'Doctype at offset 0 unterminated'"}},
      {"<!ELEMENT x", {"Error 0+11 'Doctype at offset 0 unterminated'"}},
      {"<a b='/>", {"Error 0+8 'Element tag at offset 0 unterminated'"}},
      {"<!x", {"Error 0+3 'tag at offset 0 unterminated'"}},  // replaces the first message
      {"x<a", {"Text 0+1", "Error 1+2 'Element tag at offset 1 unterminated'"}},
  });
}

TEST(Scanner, NestedDeclarationsInsideADoctype) {
  RunCases({
      {"<!DOCTYPE r [ <!X> ]>", {"Doctype 0+21 'Incorrect ! tag at offset 0'"}},
      {"<!DOCTYPE r [ <!ELEMENT a> < b> ]>",
       {"Doctype 0+34 'Incorrect tag name character at offset 25'"}},
      {"<!DOCTYPE r [ <!X <a> ]>",
       {"Error 0+18 'Incorrect ! tag at offset 0'", "Element 18+3 'a'", "Text 21+3"}},
      {"<!DOCTYPE r [ <!ELEMENT a", {"Error 0+25 'Doctype at offset 0 unterminated'"}},
  });
}

TEST(Scanner, TokenTextSurvivesNodesThatDoNotWriteIt) {
  const std::string text = "<a>text<!--c--></a><?pi?>";
  ScanCursor cursor;
  cursor.text = text.c_str();
  NodeToken token;
  std::vector<std::string> seen;
  while (ScanNode(cursor, token) != NodeType::EndOfDocument) seen.push_back(token.text);
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "a", "a", "a", "pi?"}));
}

TEST(Scanner, SkipWhitespaceStopsAtTheFirstOtherByte) {
  struct Case {
    const char* text;
    int32_t from, stop;
    bool more;
  } cases[] = {{" \t\r\nx", 0, 4, true}, {"  ", 0, 2, false}, {"", 0, 0, false},
               {"a  b", 1, 3, true},     {"x", 0, 0, true},   {"\v", 0, 0, true}};
  for (const Case& c : cases) {
    int32_t offset = c.from;
    EXPECT_EQ(SkipWhitespace(c.text, offset), c.more) << c.text;
    EXPECT_EQ(offset, c.stop) << c.text;
  }
}

TEST(Scanner, NextNameReadsNameTokensAndSingleStopBytes) {
  const std::string text = "  width=3 /<x\\y";
  ScanCursor cursor;
  cursor.text = text.c_str();
  std::vector<std::string> names;
  while (NextName(cursor)) names.push_back(NameText(cursor));
  EXPECT_EQ(names, (std::vector<std::string>{"width", "=", "3", "/", "<", "x", "\\", "y"}));
  EXPECT_EQ(cursor.next, static_cast<int32_t>(text.size()));
  EXPECT_EQ(cursor.name_start, static_cast<int32_t>(text.size()));
  EXPECT_EQ(cursor.name_end, cursor.name_start - 1);
  EXPECT_EQ(NameText(cursor), "");

  ScanCursor second;
  second.text = text.c_str();
  ASSERT_TRUE(NextName(second));
  EXPECT_EQ(second.next, 7);  // at '='
}

class ScannerCodePage : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetCodePageForTesting(0); }
};

TEST_F(ScannerCodePage, DoubleByteTrailsAreTakenWithTheirLeadUnder932) {
  platform::SetCodePageForTesting(932);
  RunCases({
      // 0x83 0x5C is one character whose trail byte is a backslash.
      {"<\x83\x5C\x83\x5C/>", {"Element 0+7 '\x83\x5C\x83\x5C' empty"}},
      // A trail byte that looks like '>' or '<' belongs to its character in text...
      {"ab\x81>cd<e/>", {"Text 0+6", "Element 6+4 'e' empty"}},
      {"x\x81<y<e/>", {"Text 0+4", "Element 4+4 'e' empty"}},
      // ... in a quoted value, after a lead byte, a quote is a trail byte ...
      {"<a b='\x81'>'>", {"Element 0+11 'a'"}},
      // ... and in an end tag's body.
      {"</a \x81>x>", {"End 0+8 'a'"}},
      // Names are read byte by byte after their first character.
      {"<a\x81>", {"Element 0+4 'a\x81'"}},
      {"<\x81>x>", {"Element 0+5 '\x81>x'"}},
  });
  platform::SetCodePageForTesting(0);
  RunCases({
      {"ab\x81>cd<e/>", {"Text 0+4", "Text 4+2", "Element 6+4 'e' empty"}},
      {"<a b='\x81'>'>", {"Element 0+9 'a'", "Text 9+2"}},
      {"</a \x81>x>", {"End 0+6 'a'", "Text 6+2"}},
  });
}

TEST_F(ScannerCodePage, NextNameDoesNotStopAtABackslashTrailByte) {
  const std::string text = "\x83\x5Cx=1";
  ScanCursor cursor;
  cursor.text = text.c_str();
  platform::SetCodePageForTesting(932);
  ASSERT_TRUE(NextName(cursor));
  EXPECT_EQ(NameText(cursor), "\x83\x5Cx");
  platform::SetCodePageForTesting(0);
  cursor.next = 0;
  ASSERT_TRUE(NextName(cursor));
  EXPECT_EQ(NameText(cursor), "\x83");
}

TEST_F(ScannerCodePage, LeadByteBeforeTheEndNeverStepsPastIt) {
  for (int codePage : {932, 936, 949, 950}) {
    platform::SetCodePageForTesting(codePage);
    SCOPED_TRACE(codePage);
    RunCases({
        {"ab\x81", {"Text 0+3"}},
        {"<a b='\x81", {"Error 0+7 'Element tag at offset 0 unterminated'"}},
        {"<\x81", {"Error 0+2 'Element tag at offset 0 unterminated'"}},
        {"</a \x81", {"Error 0+5 'Element end tag at offset 0 unterminated'"}},
        {"<!--\x81", {"Error 0+5 'Comment at offset 0 unterminated'"}},
        {"<!DOCTYPE \x81", {"Error 0+11 'Doctype at offset 0 unterminated'"}},
        {"<a>\x81", {"Element 0+3 'a'", "Text 3+1"}},
    });
    const std::string text = "ab\x81";
    ScanCursor cursor;
    cursor.text = text.c_str();
    ASSERT_TRUE(NextName(cursor));
    EXPECT_EQ(NameText(cursor), "ab\x81");
    EXPECT_EQ(cursor.next, 3);
  }
}

// The fast paths for tags and text must agree with the byte-by-byte machine on any input.
TEST_F(ScannerCodePage, FastPathsAgreeWithTheGeneralMachineOnRandomText) {
  const std::string alphabet = "<<<>>>//!?!?--[]CDEANa:b_ x'\"=\t\n]\x81\x83\xE0\x5C\xA1";
  std::mt19937 random(12345);
  for (int codePage : {0, 932, 936}) {
    platform::SetCodePageForTesting(codePage);
    for (int round = 0; round < 20000; ++round) {
      std::string text(random() % 24, ' ');
      for (char& c : text) c = alphabet[random() % alphabet.size()];
      const auto fast = ScanAll(text);
      const auto general = ScanAll(text, &detail::ScanNodeGeneral);
      ASSERT_EQ(fast, general) << "code page " << codePage << ", text: " << text;
    }
  }
}

}  // namespace
}  // namespace ostrel::xml
