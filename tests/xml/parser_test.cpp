#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/mbcs.h"
#include "xml/invariant_checker.h"
#include "xml/open_tag_stack.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

using R = ElementRecord;

// "index: start+length startTag/endTag Llevel flags pParent cFirstChild nNext vPrev", flags as
// F (kIsFirstChild), U (Unended), C (kContentError), I (IllFormed), or '-'.
std::string DescribeRecord(const XmlDocument& doc, int32_t i) {
  const R& r = doc.At(i);
  std::ostringstream out;
  out << i << ": " << r.start << "+" << r.length << " " << r.StartTagLength() << "/"
      << r.EndTagLength() << " L" << r.Level() << " ";
  std::string flags;
  if (r.Has(R::kIsFirstChild)) flags += 'F';
  if (r.Has(R::kUnended)) flags += 'U';
  if (r.Has(R::kContentError)) flags += 'C';
  if (r.Has(R::kIllFormed)) flags += 'I';
  out << (flags.empty() ? "-" : flags) << " p" << r.parent << " c" << r.first_child << " n"
      << r.next << " v" << r.prev;
  return out.str();
}

std::vector<std::string> DescribeRecords(const XmlDocument& doc) {
  std::vector<std::string> out;
  for (int32_t i = 0; i < doc.NextFree(); ++i) out.push_back(DescribeRecord(doc, i));
  return out;
}

struct ParseCase {
  std::string text;
  bool wellFormed;
  std::string error;
  std::vector<std::string> records;  // empty: not checked here
  uint32_t options = 0;
};

void RunCases(const std::vector<ParseCase>& cases) {
  for (const ParseCase& c : cases) {
    SCOPED_TRACE("text: " + c.text);
    XmlDocument doc;
    doc.SetOptions(c.options);
    EXPECT_EQ(doc.SetText(c.text.c_str()), c.wellFormed);
    EXPECT_EQ(doc.CheckWellFormed(), c.wellFormed);
    EXPECT_EQ(doc.ErrorText(), c.error);
    EXPECT_EQ(doc.Text(), c.text);
    if (!c.records.empty()) {
      EXPECT_EQ(DescribeRecords(doc), c.records);
    }
    EXPECT_EQ(doc.ParentPos() | doc.CurrentPos() | doc.ChildPos() | doc.CurrentNodeType(), 0);
    EXPECT_INVARIANTS(doc);
  }
}

TEST(Parse, TextsWithoutElements) {
  RunCases({
      {"", false, "Empty document", {"0: 0+0 0/0 L0 - p0 c0 n0 v0"}},
      {"<?xml version=\"1.0\"?>\r\n", false, "No root element", {"0: 0+23 0/0 L0 - p0 c0 n0 v0"}},
      {" \r\n ", false, "No root element", {"0: 0+4 0/0 L0 - p0 c0 n0 v0"}},
      {"just text", false, "No root element", {"0: 0+9 0/0 L0 - p0 c0 n0 v0"}},
      {"<a", false, "No root element", {"0: 0+2 0/0 L0 CI p0 c0 n0 v0"}},
  });
  XmlDocument doc;
  EXPECT_FALSE(doc.SetText(nullptr));
  EXPECT_EQ(doc.ErrorText(), "Empty document");
  EXPECT_GE(doc.Capacity(), 8);
  EXPECT_INVARIANTS(doc);
}

TEST(Parse, WellFormedDocumentsIndexEveryElement) {
  RunCases({
      {"<a/>", true, "", {"0: 0+4 0/0 L0 - p0 c1 n0 v0", "1: 0+4 4/0 L0 F p0 c0 n0 v1"}},
      {"<a><b></b><c/></a>",
       true,
       "",
       {"0: 0+18 0/0 L0 - p0 c1 n0 v0", "1: 0+18 3/4 L0 F p0 c2 n0 v1",
        "2: 3+7 3/4 L1 F p1 c0 n3 v3", "3: 10+4 4/0 L1 - p1 c0 n0 v2"}},
      {"x<a/>y", true, "", {}},
      {"<a/><!--c-->", true, "", {}},
      {"<?xml version='1.0'?>\n<!DOCTYPE a [<!ELEMENT a ANY>]>\n<a><![CDATA[<b>]]><?p?></a>\n",
       true,
       "",
       {"0: 0+82 0/0 L0 - p0 c1 n0 v0", "1: 54+27 3/4 L0 F p0 c0 n0 v1"}},
      {"<a=b></a>", true, "", {}},
      {"<a[1]></a>", true, "", {}},
      {"<a b='1'></a >", true, "", {}},
      {"<A></a>", true, "", {}, kCaseInsensitiveEndTags},
      {"<a><b><a></a></b></a>", true, "", {}},
  });
}

TEST(Parse, RootMessagesOverwriteTheLoopsMessage) {
  RunCases({
      {"<a/><b/>",
       false,
       "Root element has sibling",
       {"0: 0+8 0/0 L0 - p0 c1 n0 v0", "1: 0+4 4/0 L0 F p0 c0 n2 v2",
        "2: 4+4 4/0 L0 - p0 c0 n0 v1"}},
      // b is closed first (its message is written), then a, whose child b becomes top-level.
      {"<a><b>",
       false,
       "Root element has sibling",
       {"0: 0+6 0/0 L0 I p0 c1 n0 v0", "1: 0+3 3/0 L0 FU p0 c0 n2 v2",
        "2: 3+3 3/0 L0 U p0 c0 n0 v1"}},
  });
}

TEST(Parse, EndTagsThatMatchNothingArePassedOver) {
  RunCases({
      {"<a></b></a>",
       false,
       "No start tag for end tag 'b' at offset 3",
       {"0: 0+11 0/0 L0 I p0 c1 n0 v0", "1: 0+11 3/4 L0 FC p0 c0 n0 v1"}},
      {"<a/></b>",
       false,
       "No start tag for end tag 'b' at offset 4",
       {"0: 0+8 0/0 L0 CI p0 c1 n0 v0", "1: 0+4 4/0 L0 F p0 c0 n0 v1"}},
      {"<ab></a>", false, "No start tag for end tag 'a' at offset 4", {}},
      {"<A></a>", false, "No start tag for end tag 'a' at offset 3", {}},
      {"<a></></a>", false, "No start tag for end tag '' at offset 3", {}},
  });
}

TEST(Parse, EndTagOfAnOuterElementClosesTheInnerOnesAsNotEnded) {
  RunCases({
      {"<a><b></a>",
       false,
       "End tag 'a' at offset 7 does not match start tag 'b' at offset 3",
       {"0: 0+10 0/0 L0 I p0 c1 n0 v0", "1: 0+10 3/4 L0 F p0 c2 n0 v1",
        "2: 3+3 3/0 L1 FU p1 c0 n0 v2"}},
      // The kContentError first set on b ends up on a.
      {"<a><b></c></a>",
       false,
       "No start tag for end tag 'c' at offset 6",
       {"0: 0+14 0/0 L0 I p0 c1 n0 v0", "1: 0+14 3/4 L0 FC p0 c2 n0 v1",
        "2: 3+3 3/0 L1 FU p1 c0 n0 v2"}},
  });
}

TEST(Parse, ElementsOpenAtTheEndAreClosedAsNotEnded) {
  RunCases({
      {"<a>x",
       false,
       "Element 'a' at offset 0 not ended",
       {"0: 0+4 0/0 L0 I p0 c1 n0 v0", "1: 0+3 3/0 L0 FU p0 c0 n0 v1"}},
      {"<a><b",
       false,
       "Element tag at offset 3 unterminated",
       {"0: 0+5 0/0 L0 CI p0 c1 n0 v0", "1: 0+3 3/0 L0 FU p0 c0 n0 v1"}},
      {"<a><1/></a>",
       false,
       "Incorrect tag name character at offset 3",
       {"0: 0+11 0/0 L0 I p0 c1 n0 v0", "1: 0+11 3/4 L0 FC p0 c0 n0 v1"}},
  });
}

// The former children of an element closed as not ended follow it as siblings, with their
// levels, the first-child mark and the new parent's last-child link brought into line.
TEST(Parse, FormerChildrenJoinTheParentWithLinksAndLevelsInLine) {
  RunCases({
      {"<r><a><b/><c><d/></c></r>",
       false,
       "End tag 'r' at offset 22 does not match start tag 'a' at offset 3",
       {"0: 0+25 0/0 L0 I p0 c1 n0 v0", "1: 0+25 3/4 L0 F p0 c2 n0 v1",
        "2: 3+3 3/0 L1 FU p1 c0 n3 v4", "3: 6+4 4/0 L1 - p1 c0 n4 v2",
        "4: 10+11 3/4 L1 - p1 c5 n0 v3", "5: 13+4 4/0 L2 F p4 c0 n0 v5"}},
      // Several open elements closed by one end tag: all of them and their children end up
      // in the matching element, in text order.
      {"<r><a><x/><b><y/><c><z/></r>",
       false,
       "End tag 'r' at offset 25 does not match start tag 'c' at offset 17",
       {"0: 0+28 0/0 L0 I p0 c1 n0 v0", "1: 0+28 3/4 L0 F p0 c2 n0 v1",
        "2: 3+3 3/0 L1 FU p1 c0 n3 v7", "3: 6+4 4/0 L1 - p1 c0 n4 v2",
        "4: 10+3 3/0 L1 U p1 c0 n5 v3", "5: 13+4 4/0 L1 - p1 c0 n6 v4",
        "6: 17+3 3/0 L1 U p1 c0 n7 v5", "7: 20+4 4/0 L1 - p1 c0 n0 v6"}},
      {"<a><b><c><d>",
       false,
       "Root element has sibling",
       {"0: 0+12 0/0 L0 I p0 c1 n0 v0", "1: 0+3 3/0 L0 FU p0 c0 n2 v4",
        "2: 3+3 3/0 L0 U p0 c0 n3 v1", "3: 6+3 3/0 L0 U p0 c0 n4 v2",
        "4: 9+3 3/0 L0 U p0 c0 n0 v3"}},
  });
}

TEST(Parse, FormerChildrenKeepTheirOwnSubtrees) {
  XmlDocument doc;
  doc.SetText("<top><mid><x><y><z/></y></x><w/></top><tail/>");
  EXPECT_EQ(doc.ErrorText(), "Root element has sibling");
  EXPECT_INVARIANTS(doc);
  // mid lost its children x and w to top; x keeps y, y keeps z, one level higher than before.
  const int32_t x = doc.FindChild(1, "x");
  ASSERT_NE(x, 0);
  EXPECT_EQ(doc.At(x).Level(), 1u);
  const int32_t y = doc.FindChild(x, "y");
  ASSERT_NE(y, 0);
  EXPECT_EQ(doc.At(y).Level(), 2u);
  EXPECT_EQ(doc.At(doc.FindChild(y, "z")).Level(), 3u);
}

TEST(Parse, ManyNotEndedElementsAreUnwoundInOnePass) {
  std::string text;
  for (int i = 0; i < 60000; ++i) text += "<e><f/>";
  XmlDocument doc;
  EXPECT_FALSE(doc.SetText(text.c_str()));
  EXPECT_EQ(doc.ErrorText(), "Root element has sibling");
  EXPECT_EQ(doc.NextFree(), 120001);
  EXPECT_INVARIANTS(doc);
  for (int32_t i = 1; i < doc.NextFree(); ++i) ASSERT_EQ(doc.At(i).parent, 0);
}

TEST(Parse, CaseInsensitiveMatchingFoldsOnlySingleByteLetters) {
  XmlDocument doc;
  doc.SetOptions(kCaseInsensitiveEndTags);
  EXPECT_TRUE(doc.SetText("<aBc></AbC>"));
  EXPECT_INVARIANTS(doc);
  platform::SetCodePageForTesting(932);
  // 0x81 'A' is one character: its trail byte is not a letter to fold.
  EXPECT_FALSE(
      doc.SetText("<\x81"
                  "A></\x81"
                  "a>"));
  EXPECT_EQ(doc.ErrorText(),
            "No start tag for end tag '\x81"
            "a' at offset 4");
  EXPECT_INVARIANTS(doc);
  EXPECT_TRUE(
      doc.SetText("<\x81"
                  "Ax></\x81"
                  "AX>"));
  EXPECT_INVARIANTS(doc);
  platform::SetCodePageForTesting(0);
  EXPECT_TRUE(
      doc.SetText("<\x81"
                  "A></\x81"
                  "a>"));
  EXPECT_INVARIANTS(doc);
}

TEST(Parse, LoneLeadByteAtTheEndStaysInsideTheText) {
  for (int code_page : {932, 936, 949, 950}) {
    platform::SetCodePageForTesting(code_page);
    XmlDocument doc;
    EXPECT_TRUE(doc.SetText("<a>x</a>\x81"));
    EXPECT_INVARIANTS(doc);
    EXPECT_FALSE(doc.SetText("<a b='\x81"));
    EXPECT_EQ(doc.ErrorText(), "No root element");
    EXPECT_INVARIANTS(doc);
  }
  platform::SetCodePageForTesting(0);
}

TEST(Parse, StartTagsUpToTheLimitAreHeldExactly) {
  XmlDocument doc;
  std::string longest = "<a" + std::string(R::kMaxStartTagLength - 3, ' ') + ">";
  EXPECT_TRUE(doc.SetText(("<r>" + longest + "</a></r>").c_str()));
  EXPECT_EQ(doc.At(2).StartTagLength(), R::kMaxStartTagLength);
  EXPECT_INVARIANTS(doc);

  // One byte more does not fit the record: the tag gets no record and is an error.
  std::string tooLong = "<a" + std::string(R::kMaxStartTagLength - 2, ' ') + ">";
  EXPECT_FALSE(doc.SetText(("<r>" + tooLong + "<b/></r>").c_str()));
  EXPECT_EQ(doc.ErrorText(), "Element tag at offset 3 too long");
  EXPECT_EQ(doc.NextFree(), 3);  // r and b
  EXPECT_TRUE(doc.At(1).Has(R::kContentError));
  EXPECT_EQ(doc.At(2).parent, 1);
  EXPECT_INVARIANTS(doc);
}

TEST(Parse, EndTagsUpToTheLimitAreHeldExactly) {
  XmlDocument doc;
  EXPECT_TRUE(doc.SetText(("<a></a" + std::string(507, ' ') + ">").c_str()));
  EXPECT_EQ(doc.At(1).EndTagLength(), R::kMaxEndTagLength);
  EXPECT_INVARIANTS(doc);

  EXPECT_FALSE(doc.SetText(("<a></a" + std::string(508, ' ') + ">").c_str()));
  EXPECT_EQ(doc.ErrorText(), "Element end tag at offset 3 too long");
  EXPECT_TRUE(doc.At(1).Has(R::kUnended));
  EXPECT_INVARIANTS(doc);
}

TEST(Parse, NestingBeyondTheLevelFieldIsRefused) {
  const int depth = 65537;
  std::string text;
  text.reserve(depth * 7);
  for (int i = 0; i < depth; ++i) text += "<a>";
  for (int i = 0; i < depth; ++i) text += "</a>";
  XmlDocument doc;
  EXPECT_FALSE(doc.SetText(text.c_str()));
  EXPECT_EQ(doc.ErrorText(), "Element tag at offset 196608 nested too deep");
  EXPECT_EQ(doc.NextFree(), 65537);  // levels 0 to 65535
  EXPECT_EQ(doc.At(65536).Level(), 65535u);
  EXPECT_INVARIANTS(doc);

  text = std::string();
  for (int i = 0; i < depth - 1; ++i) text += "<a>";
  for (int i = 0; i < depth - 1; ++i) text += "</a>";
  EXPECT_TRUE(doc.SetText(text.c_str()));
  EXPECT_INVARIANTS(doc);
}

TEST(Parse, StackGrowthDoesNotChangeTheResult) {
  for (int depth = 1; depth <= 45; ++depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<n" + std::to_string(i) + ">";
    for (int i = depth - 1; i >= 0; --i) text += "</n" + std::to_string(i) + ">";
    XmlDocument doc;
    EXPECT_TRUE(doc.SetText(text.c_str())) << depth;
    EXPECT_EQ(doc.NextFree(), depth + 1);
    EXPECT_EQ(doc.At(depth).Level(), static_cast<uint32_t>(depth - 1));
    EXPECT_INVARIANTS(doc);
  }
}

TEST(OpenTagStack, GrowsFromSixByTwiceAndSixKeepingItsSlots) {
  OpenTagStack stack;
  EXPECT_EQ(stack.Capacity(), 6);
  EXPECT_EQ(stack[-1].record, 0);
  std::vector<int32_t> capacities;
  for (int32_t count = 1; count <= 90; ++count) {
    // A push writes the first three fields; each slot's open count was filled in by the stack.
    stack[count - 1].record = count;
    stack[count - 1].start = 3 * count;
    stack[count - 1].name_length = count % 7;
    stack.MakeRoomFor(count);
    if (capacities.empty() || capacities.back() != stack.Capacity())
      capacities.push_back(stack.Capacity());
  }
  EXPECT_EQ(capacities, (std::vector<int32_t>{6, 18, 42, 90, 186}));
  // The document, parent of the outermost, survives growth, still with no name an end tag
  // could match and no element open.
  EXPECT_EQ(stack[-1].record, 0);
  EXPECT_EQ(stack[-1].name_length, OpenTagStack::kNoName);
  EXPECT_EQ(stack[-1].open_count, 0);
  for (int32_t i = 1; i <= 90; ++i) {
    EXPECT_EQ(stack[i - 1].record, i);
    EXPECT_EQ(stack[i - 1].start, 3 * i);
    EXPECT_EQ(stack[i - 1].name_length, i % 7);
  }
  for (int32_t slot = 0; slot < stack.Capacity(); ++slot)
    ASSERT_EQ(stack[slot].open_count, slot + 1) << "slot " << slot;
}

TEST(Parse, ANewTextReusesTheStoreAndForgetsTheOldRecords) {
  XmlDocument doc;
  std::string big = "<r>";
  for (int i = 0; i < 1000; ++i) big += "<x/>";
  big += "</r>";
  EXPECT_TRUE(doc.SetText(big.c_str()));
  const int32_t capacity = doc.Capacity();
  EXPECT_GE(capacity, 1001);
  doc.SetPosition(1, 2, 0);
  EXPECT_TRUE(doc.SetText("<a/>"));
  EXPECT_EQ(doc.Capacity(), capacity);  // never lowered
  EXPECT_EQ(doc.NextFree(), 2);
  EXPECT_EQ(doc.CurrentPos(), 0);
  EXPECT_INVARIANTS(doc);
}

TEST(Parse, StoreIsSizedFromTheTextLength) {
  XmlDocument doc;
  std::string text = "<a>" + std::string(64 * 100, 'x') + "</a>";
  doc.SetText(text.c_str());
  EXPECT_GE(doc.Capacity(), static_cast<int32_t>(text.size() / 64 + 8));
  EXPECT_INVARIANTS(doc);
}

}  // namespace
}  // namespace ostrel::xml
