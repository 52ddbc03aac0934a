// The bytes of each command document and frame.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <string>

#include "command/command_document.h"
#include "xml/xml_document.h"

namespace ostrel::command {
namespace {

std::string Lines(std::initializer_list<const char*> lines) {
  std::string text;
  for (const char* line : lines) text += std::string(line) + "\r\n";
  return text;
}

TEST(CommandDocument, StartPlayExampleIs201Bytes) {
  const std::string expected =
      Lines({"<?xml version=\"1.0\"?>", "<iq type='command'>", "<query xmlns='iq:command'>",
             "<Command>", "<Function>StartPlay</Function>", "<Vidout>1</Vidout>", "<Area>2</Area>",
             "<Url>stream01</Url>", "</Command>", "</query>", "</iq>"});
  const std::string document = ComposeStartPlay("1", 2, "stream01");
  EXPECT_EQ(document, expected);
  EXPECT_EQ(document.size(), 201u);

  const std::vector<unsigned char> frame = FrameDocument(document);
  ASSERT_EQ(frame.size(), 205u);
  EXPECT_EQ((std::vector<unsigned char>(frame.begin(), frame.begin() + 4)),
            (std::vector<unsigned char>{0xCD, 0x00, 0x00, 0x00}));
  EXPECT_EQ(std::string(frame.begin() + 4, frame.end()), expected);
}

TEST(CommandDocument, StopPlayExampleIs179BytesInTenLines) {
  const std::string expected =
      Lines({"<?xml version=\"1.0\"?>", "<iq type='command'>", "<query xmlns='iq:command'>",
             "<Command>", "<Function>StopPlay</Function>", "<Vidout>3</Vidout>", "<Area>0</Area>",
             "</Command>", "</query>", "</iq>"});
  const std::string document = ComposeStopPlay("3", 0);
  EXPECT_EQ(document, expected);
  EXPECT_EQ(document.size(), 179u);
  const std::vector<unsigned char> frame = FrameDocument(document);
  EXPECT_EQ(frame[0], 0xB7);
  EXPECT_EQ(frame[1] | frame[2] | frame[3], 0);
}

TEST(CommandDocument, DuplicateNamesSourceAndTarget) {
  EXPECT_EQ(ComposeDuplicate("a", 1, "b", -2),
            Lines({"<?xml version=\"1.0\"?>", "<iq type='command'>", "<query xmlns='iq:command'>",
                   "<Command>", "<Function>Duplicate</Function>", "<Vidoutf>a</Vidoutf>",
                   "<Areaf>1</Areaf>", "<Vidoutt>b</Vidoutt>", "<Areat>-2</Areat>", "</Command>",
                   "</query>", "</iq>"}));
}

// The line a value lands on, for the start-play document.
std::string VidoutLine(const std::string& vidout) {
  const std::string document = ComposeStartPlay(vidout.c_str(), 0, "u");
  const auto begin = document.find("<Vidout");
  return document.substr(begin, document.find("\r\n<Area>") - begin);
}

TEST(CommandDocument, ValuesAreEscapedNeverWrapped) {
  struct Case {
    std::string value;
    std::string line;
  };
  const Case cases[] = {
      {"a<b", "<Vidout>a&lt;b</Vidout>"},
      {"&lt;", "<Vidout>&amp;lt;</Vidout>"},
      {"x>y&z", "<Vidout>x&gt;y&amp;z</Vidout>"},
      {"it's \"q\"", "<Vidout>it's \"q\"</Vidout>"},
      {"]]>", "<Vidout>]]&gt;</Vidout>"},
      {"a\r\nb\tc", "<Vidout>a\r\nb\tc</Vidout>"},
      {"\x80\xE9\xFF", "<Vidout>\x80\xE9\xFF</Vidout>"},
      {"", "<Vidout/>"},
  };
  for (const Case& c : cases) EXPECT_EQ(VidoutLine(c.value), c.line) << c.value;
}

TEST(CommandDocument, AreaNumbersInDecimal) {
  struct Case {
    int area;
    const char* line;
  };
  for (const Case& c :
       {Case{0, "<Area>0</Area>"}, Case{-1, "<Area>-1</Area>"},
        Case{INT_MAX, "<Area>2147483647</Area>"}, Case{INT_MIN, "<Area>-2147483648</Area>"}}) {
    EXPECT_NE(ComposeStopPlay("v", c.area).find(std::string("\r\n") + c.line + "\r\n"),
              std::string::npos)
        << c.area;
  }
}

TEST(CommandDocument, EmptyValuesTakeTheEmptyElementForm) {
  const std::string start = ComposeStartPlay("", 5, "");
  EXPECT_NE(start.find("\r\n<Vidout/>\r\n<Area>5</Area>\r\n<Url/>\r\n</Command>"),
            std::string::npos);
  EXPECT_EQ(start.size(), 191u + 1 - 8 - 5);  // one area digit; empty video output and URL
  const std::string dup = ComposeDuplicate("", 1, "", 2);
  EXPECT_EQ(dup.size(), 220u + 1 + 1 - 9 - 9);
}

std::size_t EscapedLength(const std::string& value) {
  std::size_t n = 0;
  for (char c : value) n += c == '<' || c == '>' ? 4 : c == '&' ? 5 : 1;
  return n;
}

TEST(CommandDocument, LengthFormulasHoldForRandomValues) {
  std::mt19937 random(20261208);
  const std::string alphabet =
      "ab<>&'\"\r\n\t;]\x80\xFE"
      "0123456789";
  auto text = [&](std::size_t max) {
    std::string s(1 + random() % max, ' ');
    for (char& c : s) c = alphabet[random() % alphabet.size()];
    return s;
  };
  auto digits = [](int area) { return std::to_string(area).size(); };
  for (int i = 0; i < 500; ++i) {
    const std::string v = text(63), u = text(255), t = text(63);
    const int a = static_cast<int>(random()), b = static_cast<int>(random());
    EXPECT_EQ(ComposeStartPlay(v.c_str(), a, u.c_str()).size(),
              191 + EscapedLength(v) + digits(a) + EscapedLength(u));
    EXPECT_EQ(ComposeStopPlay(v.c_str(), a).size(), 177 + EscapedLength(v) + digits(a));
    EXPECT_EQ(ComposeDuplicate(v.c_str(), a, t.c_str(), b).size(),
              220 + EscapedLength(v) + digits(a) + EscapedLength(t) + digits(b));
  }
}

TEST(CommandDocument, EveryDocumentParsesBackWellFormed) {
  xml::XmlDocument doc;
  EXPECT_TRUE(doc.SetText(ComposeStartPlay("a<&>", -7, "rtsp://x/?a=1&b=2").c_str()));
  EXPECT_TRUE(doc.SetText(ComposeDuplicate("", 0, "]]>", 1).c_str()));
}

}  // namespace
}  // namespace ostrel::command
