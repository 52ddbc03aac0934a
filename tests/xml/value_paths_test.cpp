// The short cuts InsertElement and the command composition take: a value without special bytes
// is copied as it stands, the markup is built in a reused buffer, the text can be moved out.
// Each must give exactly what the long way gives.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/mbcs.h"
#include "xml/escaping.h"
#include "xml/invariant_checker.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

class ValuePaths : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetCodePageForTesting(0); }
};

// Values mostly without special bytes (the short cut), some with, some ending in a lead byte.
std::string RandomValue(std::mt19937& random) {
  static const std::string plain = "abcXYZ 019-_.\t\r\n;#\x81\x82\xe0\xa1\x5c";
  static const std::string special = "<>&'\"";
  std::string value(1 + random() % 12, ' ');
  for (char& c : value) c = plain[random() % plain.size()];
  if (random() % 3 == 0) value[random() % value.size()] = special[random() % special.size()];
  if (random() % 4 == 0) value.push_back('\x81');
  return value;
}

TEST_F(ValuePaths, ElementContentIsTheEscapedOrWrappedValueUnderEveryCodePage) {
  const unsigned flagSets[] = {0, kEscapeQuotes, kKeepReferences, kAsCData, kNoLineBreaks};
  std::mt19937 random(2718);
  for (int codePage : {0, 932, 936, 949, 950}) {
    platform::SetCodePageForTesting(codePage);
    for (int round = 0; round < 400; ++round) {
      const unsigned flags = flagSets[random() % 5];
      const std::string value = RandomValue(random);
      XmlDocument doc;
      doc.SetText("<?xml version=\"1.0\"?>\r\n");
      ASSERT_TRUE(doc.InsertElement("root", nullptr, 0));
      // Several elements into one document, so that the reused buffer is reused.
      for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(doc.InsertElement("v", value.c_str(), flags | kAsChild));
        const std::string expected =
            (flags & kAsCData) != 0 ? WrapCData(value.c_str()) : EscapeValue(value.c_str(), flags);
        ASSERT_EQ(doc.ElementContent(doc.ChildPos()), expected)
            << "code page " << codePage << ", flags " << flags << ", value " << value;
      }
      ASSERT_INVARIANTS(doc);
    }
  }
}

TEST_F(ValuePaths, ANameOrValueTakenFromTheDocumentsOwnTextIsWrittenAsItWas) {
  XmlDocument doc;
  doc.SetText("<?xml version=\"1.0\"?>\r\n");
  ASSERT_TRUE(doc.InsertElement("root", nullptr, 0));
  for (int i = 0; i < 6; ++i) {
    // The whole text as the value: the text is edited while the value is written.
    const std::string before(doc.Text());
    ASSERT_TRUE(doc.InsertElement("v", doc.Text().data(), kAsChild));
    EXPECT_EQ(doc.ElementContent(doc.ChildPos()), EscapeValue(before.c_str(), 0));
    ASSERT_INVARIANTS(doc);
  }
  // A name that is the text's own last bytes (NUL-terminated there).
  const std::string_view text = doc.Text();
  const char* name = text.data() + text.size() - 1;  // the final '\n'... not a name, but written
  ASSERT_TRUE(doc.InsertElement(name, nullptr, kAsChild));
  EXPECT_EQ(doc.ElementMarkup(doc.ChildPos()), "<\n/>");
  ASSERT_TRUE(testing::InvariantsHold(doc, testing::CheckDepth::Structural));
}

TEST_F(ValuePaths, TakingTheTextLeavesAnEmptyDocument) {
  XmlDocument doc;
  doc.SetText("<?xml version=\"1.0\"?>\r\n");
  ASSERT_TRUE(doc.InsertElement("iq type='command'", nullptr, 0));
  ASSERT_TRUE(doc.InsertElement("query", "x<y", kAsChild));
  const std::string written(doc.Text());
  EXPECT_EQ(doc.TakeText(), written);
  EXPECT_EQ(doc.Text(), "");
  EXPECT_EQ(doc.NextFree(), 1);
  EXPECT_EQ(doc.RootElement(), 0);
  EXPECT_EQ(doc.CurrentPos(), 0);
  EXPECT_EQ(doc.ErrorText(), "Empty document");
  ASSERT_INVARIANTS(doc);
  // The document goes on as any other.
  EXPECT_TRUE(doc.SetText("<a><b/></a>"));
  ASSERT_INVARIANTS(doc);
}

TEST_F(ValuePaths, AShortTextGrowsIntoALongDocumentWithRecordsInStep) {
  // A short text starts with room to spare; growing far beyond it must keep every record.
  XmlDocument doc;
  doc.SetText("<r/>");
  doc.SetPosition(0, 1, 0);  // the element r is current
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(doc.InsertElement("item", "value", kAsChild));
  EXPECT_EQ(doc.NextFree(), 2002);
  ASSERT_INVARIANTS(doc);
  EXPECT_TRUE(testing::SameRecordsAsFreshParse(doc));
}

// A short text is held inside the document, a longer one on the heap: every way in and out
// keeps the bytes, and the NUL after them that InsertElement reads up to, on both sides of that
// line and across it.
TEST_F(ValuePaths, TextsAroundTheInlineRoomKeepTheirBytesEveryWayInAndOut) {
  const auto ends_in_nul = [](const XmlDocument& doc) {
    return doc.Text().data()[doc.Text().size()] == '\0';
  };
  for (size_t length = 480; length <= 520; ++length) {
    const std::string text = "<r>" + std::string(length - 7, 'x') + "</r>";
    XmlDocument doc;
    ASSERT_TRUE(doc.SetText(text.c_str()));
    EXPECT_EQ(doc.Text(), text);
    // The document's own text given back to it, whole and from an offset within it.
    ASSERT_TRUE(doc.SetText(doc.Text().data()));
    EXPECT_EQ(doc.Text(), text);
    doc.SetText(doc.Text().data() + 3);
    EXPECT_EQ(doc.Text(), text.substr(3));
    EXPECT_TRUE(ends_in_nul(doc));
    // Grown across the line by an insertion (after a longer text left bytes behind its NUL),
    // then moved out.
    doc.SetText(std::string(length + 20, ' ').c_str());
    ASSERT_TRUE(doc.SetText(text.c_str()));
    doc.SetPosition(0, 1, 0);
    ASSERT_TRUE(doc.InsertElement("v", "1", kAsChild));
    ASSERT_INVARIANTS(doc);
    EXPECT_TRUE(ends_in_nul(doc));
    const std::string grown(doc.Text());
    EXPECT_EQ(doc.TakeText(), grown);
    EXPECT_EQ(doc.Text(), "");
  }
}

}  // namespace
}  // namespace ostrel::xml
