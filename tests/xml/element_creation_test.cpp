#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/mbcs.h"
#include "xml/invariant_checker.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

using R = ElementRecord;
using testing::SameRecordsAsFreshParse;

const char kDeclaration[] = "<?xml version=\"1.0\"?>\r\n";

// Adds an element and checks what every insertion must keep: the invariants, and the same
// records as a fresh parse of the new text.
void Insert(XmlDocument& doc, const char* name, const char* value, unsigned flags) {
  ASSERT_TRUE(doc.InsertElement(name, value, flags)) << name;
  ASSERT_INVARIANTS(doc);
  ASSERT_TRUE(SameRecordsAsFreshParse(doc));
}

struct Snapshot {
  std::string text;
  std::vector<R> records;
  int32_t parent, current, child, nodeType, capacity;

  explicit Snapshot(const XmlDocument& doc)
      : text(doc.Text()),
        parent(doc.ParentPos()),
        current(doc.CurrentPos()),
        child(doc.ChildPos()),
        nodeType(doc.CurrentNodeType()),
        capacity(doc.Capacity()) {
    for (int32_t i = 0; i < doc.NextFree(); ++i) records.push_back(doc.At(i));
  }

  bool operator==(const Snapshot& o) const {
    if (text != o.text || records.size() != o.records.size() || parent != o.parent ||
        current != o.current || child != o.child || nodeType != o.nodeType)
      return false;
    for (size_t i = 0; i < records.size(); ++i) {
      const R& a = records[i];
      const R& b = o.records[i];
      if (a.start != b.start || a.length != b.length || a.tag_lengths != b.tag_lengths ||
          a.flags != b.flags || a.parent != b.parent || a.first_child != b.first_child ||
          a.next != b.next || a.prev != b.prev)
        return false;
    }
    return true;
  }
};

// A refused insertion changes nothing at all.
void ExpectRefused(XmlDocument& doc, const char* name, const char* value, unsigned flags) {
  const Snapshot before(doc);
  EXPECT_FALSE(doc.InsertElement(name, value, flags)) << (name ? name : "(null)");
  EXPECT_TRUE(Snapshot(doc) == before) << "a refused insertion changed the document";
  EXPECT_INVARIANTS(doc);
}

std::string Lines(std::initializer_list<const char*> lines) {
  std::string out;
  for (const char* line : lines) out.append(line).append("\r\n");
  return out;
}

TEST(InsertElement, StartPlayDocumentComesOutByteForByte) {
  XmlDocument doc;
  EXPECT_FALSE(doc.SetText(kDeclaration));
  Insert(doc, "iq type='command'", nullptr, 0);
  EXPECT_EQ(doc.Text(), Lines({"<?xml version=\"1.0\"?>", "<iq type='command'/>"}));
  Insert(doc, "query xmlns='iq:command'", nullptr, kAsChild);
  EXPECT_EQ(doc.Text(), Lines({"<?xml version=\"1.0\"?>", "<iq type='command'>",
                               "<query xmlns='iq:command'/>", "</iq>"}));
  ASSERT_TRUE(doc.EnterElement());
  Insert(doc, "Command", nullptr, kAsChild);
  ASSERT_TRUE(doc.EnterElement());
  Insert(doc, "Function", "StartPlay", kAsChild);
  Insert(doc, "Vidout", "1", kAsChild);
  Insert(doc, "Area", "2", kAsChild);
  Insert(doc, "Url", "stream01", kAsChild);
  const std::string expected =
      Lines({"<?xml version=\"1.0\"?>", "<iq type='command'>", "<query xmlns='iq:command'>",
             "<Command>", "<Function>StartPlay</Function>", "<Vidout>1</Vidout>", "<Area>2</Area>",
             "<Url>stream01</Url>", "</Command>", "</query>", "</iq>"});
  EXPECT_EQ(doc.Text(), expected);
  EXPECT_EQ(doc.Text().size(), 201u);
  EXPECT_TRUE(doc.CheckWellFormed());
  EXPECT_EQ(doc.ErrorText(), "No root element");  // creation leaves the parse's message
  EXPECT_EQ(UnescapeContent(doc.ElementContent(doc.FindChild(3, "Url"))), "stream01");
}

TEST(InsertElement, RecordsTakeTheLengthsOfTheMarkupWritten) {
  struct Case {
    const char* name;
    const char* value;
    unsigned flags;
    const char* markup;
    int32_t length, startTag, endTag;
    bool unended;
  } cases[] = {
      {"name", "v&", 0, "<name>v&amp;</name>", 19, 6, 7, false},
      {"name", nullptr, 0, "<name/>", 7, 7, 0, false},
      {"name", "", 0, "<name/>", 7, 7, 0, false},
      {"name", nullptr, kSpacedEmptyTag, "<name />", 8, 8, 0, false},
      {"name", nullptr, kNoEndTag | kSpacedEmptyTag, "<name>", 6, 6, 0, true},
      {"name", "x]]>", kAsCData, "<name><![CDATA[x]]]]><![CDATA[>]]></name>", 41, 6, 7, false},
      {"a b='1'", "v", 0, "<a b='1'>v</a b='1'>", 20, 9, 10, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.markup);
    XmlDocument doc;
    doc.SetText(nullptr);
    Insert(doc, c.name, c.value, c.flags);
    EXPECT_EQ(doc.Text(), std::string(c.markup) + "\r\n");
    const R& r = doc.At(1);
    EXPECT_EQ(r.start, 0);
    EXPECT_EQ(r.length, c.length);
    EXPECT_EQ(r.StartTagLength(), c.startTag);
    EXPECT_EQ(r.EndTagLength(), c.endTag);
    EXPECT_EQ(r.Has(R::kUnended), c.unended);
    EXPECT_EQ(doc.At(0).length, c.length + 2);
  }
}

TEST(InsertElement, PositionsFollowTheNewElement) {
  XmlDocument doc;
  doc.SetText(nullptr);
  Insert(doc, "a", nullptr, 0);
  EXPECT_EQ(doc.ParentPos(), 0);
  EXPECT_EQ(doc.CurrentPos(), 1);
  EXPECT_EQ(doc.ChildPos(), 0);
  EXPECT_EQ(doc.CurrentNodeType(), 1);
  Insert(doc, "b", nullptr, kAsChild);
  EXPECT_EQ(doc.CurrentPos(), 1);
  EXPECT_EQ(doc.ChildPos(), 2);
  Insert(doc, "c", nullptr, kAsChild);  // the next child goes after the current child
  EXPECT_EQ(doc.Text(), Lines({"<a>", "<b/>", "<c/>", "</a>"}));
  EXPECT_EQ(doc.ChildPos(), 3);
  ASSERT_TRUE(doc.EnterElement());
  EXPECT_EQ(doc.ParentPos(), 1);
  EXPECT_EQ(doc.CurrentPos(), 3);
  EXPECT_EQ(doc.ChildPos(), 0);
  // Entering an element without a current child leaves no current element...
  ASSERT_TRUE(doc.EnterElement());
  EXPECT_EQ(doc.CurrentPos(), 0);
  EXPECT_EQ(doc.CurrentNodeType(), 0);
  EXPECT_FALSE(doc.EnterElement());
  // ... and an element added without kAsChild then goes at the end of the entered one.
  Insert(doc, "d", nullptr, 0);
  EXPECT_EQ(doc.Text(), Lines({"<a>", "<b/>", "<c>", "<d/>", "</c>", "</a>"}));
  EXPECT_EQ(doc.ParentPos(), 3);
  EXPECT_EQ(doc.CurrentPos(), 4);
}

TEST(InsertElement, EmptyParentsOpenAroundTheirFirstChild) {
  XmlDocument doc;
  doc.SetText(nullptr);
  Insert(doc, "a", nullptr, kSpacedEmptyTag);
  Insert(doc, "c", nullptr, kAsChild);
  EXPECT_EQ(doc.Text(), Lines({"<a >", "<c/>", "</a>"}));
  EXPECT_EQ(doc.At(1).StartTagLength(), 4);  // the space before the slash stays

  doc.SetText(nullptr);
  Insert(doc, "b", nullptr, kNoEndTag);
  EXPECT_EQ(doc.Text(), Lines({"<b>"}));
  Insert(doc, "c", "x", kAsChild);
  EXPECT_EQ(doc.Text(), Lines({"<b>", "<c>x</c>", "</b>"}));
  EXPECT_FALSE(doc.At(1).Has(R::kUnended));

  // A sibling after an element made without end tag leaves it open on its own line.
  doc.SetText(nullptr);
  Insert(doc, "r", nullptr, 0);
  Insert(doc, "b", nullptr, kAsChild | kNoEndTag);
  Insert(doc, "c", "x", kAsChild);
  EXPECT_EQ(doc.Text(), Lines({"<r>", "<b>", "<c>x</c>", "</r>"}));
  EXPECT_TRUE(doc.At(2).Has(R::kUnended));

  // A parsed empty element, and one the parse closed as not ended.
  EXPECT_FALSE(doc.SetText("<r><e/><u></r>"));  // u is closed as not ended
  doc.SetPosition(1, 2, 0);
  Insert(doc, "k", nullptr, kAsChild);
  doc.SetPosition(1, 3, 0);
  Insert(doc, "k", nullptr, kAsChild);
  EXPECT_EQ(doc.Text(), "<r><e>\r\n<k/>\r\n</e><u>\r\n<k/>\r\n</u></r>");
}

// Markup is assembled before it goes into the text, on the stack while it is short: these sizes
// cross that room with the markup alone, and with the opened parent's end tag behind it.
TEST(InsertElement, LongMarkupComesOutWhole) {
  for (const size_t valueSize : {1u, 300u, 380u, 383u, 384u, 385u, 5000u}) {
    for (const size_t parentSize : {1u, 200u, 500u}) {
      const std::string value(valueSize, 'v');
      const std::string parent(parentSize, 'p');
      XmlDocument doc;
      doc.SetText(("<" + parent + "/>").c_str());
      doc.SetPosition(0, 1, 0);
      Insert(doc, "c", value.c_str(), kAsChild);
      EXPECT_EQ(doc.Text(), "<" + parent + ">\r\n<c>" + value + "</c>\r\n</" + parent + ">")
          << valueSize << " " << parentSize;
    }
  }
}

TEST(InsertElement, NoLineBreaksWritesNoWhitespaceAtAll) {
  XmlDocument doc;
  doc.SetText(nullptr);
  Insert(doc, "a", nullptr, kNoLineBreaks);
  Insert(doc, "b", "v", kNoLineBreaks | kAsChild);
  Insert(doc, "c", nullptr, kNoLineBreaks | kAsChild);
  EXPECT_EQ(doc.Text(), "<a><b>v</b><c/></a>");
}

TEST(InsertElement, InsertBeforeTheFirstChildMakesANewFirstChild) {
  XmlDocument doc;
  doc.SetText(nullptr);
  Insert(doc, "a", nullptr, 0);
  Insert(doc, "b", nullptr, kAsChild);
  Insert(doc, "c", nullptr, kAsChild);
  doc.SetPosition(0, 1, 2);  // current child: the first child b
  Insert(doc, "n", nullptr, kAsChild | kInsertBefore);
  EXPECT_EQ(doc.Text(), Lines({"<a>", "<n/>", "<b/>", "<c/>", "</a>"}));
  EXPECT_EQ(doc.At(1).first_child, 4);
  EXPECT_TRUE(doc.At(4).Has(R::kIsFirstChild));
  EXPECT_FALSE(doc.At(2).Has(R::kIsFirstChild));
  // Before a later child: linked after its previous sibling.
  doc.SetPosition(0, 1, 3);
  Insert(doc, "m", nullptr, kAsChild | kInsertBefore);
  EXPECT_EQ(doc.Text(), Lines({"<a>", "<n/>", "<b/>", "<m/>", "<c/>", "</a>"}));
  // Without a current child: the new element becomes the first child.
  doc.SetPosition(0, 1, 0);
  Insert(doc, "f", nullptr, kAsChild | kInsertBefore);
  EXPECT_EQ(doc.Text(), Lines({"<a>", "<f/>", "<n/>", "<b/>", "<m/>", "<c/>", "</a>"}));
}

TEST(InsertElement, TopLevelInsertions) {
  XmlDocument doc;
  doc.SetText(kDeclaration);
  Insert(doc, "first", nullptr, kInsertBefore);  // at the very start, before the declaration
  EXPECT_EQ(doc.Text(), std::string("<first/>\r\n") + kDeclaration);

  doc.SetText(kDeclaration);
  Insert(doc, "first", nullptr, 0);
  Insert(doc, "second", nullptr, 0);  // after the current element, at the end of the text
  EXPECT_EQ(doc.Text(), std::string(kDeclaration) + "<first/>\r\n<second/>\r\n");
  EXPECT_EQ(doc.At(1).next, 2);
  EXPECT_FALSE(doc.SetText(std::string(doc.Text()).c_str()));
  EXPECT_EQ(doc.ErrorText(), "Root element has sibling");
}

TEST(InsertElement, ReplaceContentTakesThePlaceOfTextContent) {
  XmlDocument doc;
  doc.SetText("<a>xyz</a>");
  doc.SetPosition(0, 1, 0);
  Insert(doc, "b", nullptr, kAsChild | kReplaceContent);
  EXPECT_EQ(doc.Text(), "<a><b/>\r\n</a>");

  // Content without elements but with other markup goes as a whole.
  doc.SetText("<a>x<!--c--><?p?>y</a>");
  doc.SetPosition(0, 1, 0);
  Insert(doc, "b", "v", kAsChild | kReplaceContent | kNoLineBreaks);
  EXPECT_EQ(doc.Text(), "<a><b>v</b></a>");

  // Empty content has nothing to replace: the element goes in as a first child.
  doc.SetText("<a></a>");
  doc.SetPosition(0, 1, 0);
  Insert(doc, "b", nullptr, kAsChild | kReplaceContent);
  EXPECT_EQ(doc.Text(), "<a>\r\n<b/>\r\n</a>");
  doc.SetText("<a/>");
  doc.SetPosition(0, 1, 0);
  Insert(doc, "b", nullptr, kAsChild | kReplaceContent);
  EXPECT_EQ(doc.Text(), "<a>\r\n<b/>\r\n</a>");
}

TEST(InsertElement, ReplaceContentIsRefusedWhereItWouldOrphanRecords) {
  XmlDocument doc;
  doc.SetText("<a>x<b/>y</a>");
  doc.SetPosition(0, 1, 0);
  ExpectRefused(doc, "c", nullptr, kAsChild | kReplaceContent);  // content holds an element
  doc.SetPosition(0, 1, 2);
  ExpectRefused(doc, "c", nullptr, kAsChild | kReplaceContent);  // a current child is set
  doc.SetPosition(1, 2, 0);
  ExpectRefused(doc, "c", nullptr, kReplaceContent);  // not as a child
  doc.SetText("text only");
  ExpectRefused(doc, "c", nullptr, kReplaceContent);  // the document's own content
}

TEST(InsertElement, NewSiblingLandsBeforeFollowingTextContent) {
  XmlDocument doc;
  doc.SetText("<a><b/>xyz</a>");
  doc.SetPosition(1, 2, 0);
  Insert(doc, "c", nullptr, 0);
  EXPECT_EQ(doc.Text(), "<a><b/><c/>\r\nxyz</a>");
  // Over whitespace up to the next markup.
  doc.SetText("<a><b/>  \r\n <!--x--></a>");
  doc.SetPosition(1, 2, 0);
  Insert(doc, "c", nullptr, 0);
  EXPECT_EQ(doc.Text(), "<a><b/>  \r\n <c/>\r\n<!--x--></a>");
}

TEST(InsertElement, RefusalsChangeNothing) {
  XmlDocument doc;
  doc.SetText(kDeclaration);
  ExpectRefused(doc, "a", nullptr, kAsChild);  // no current element
  ExpectRefused(doc, "a", "v", kNoEndTag);     // a value needs an end tag
  ExpectRefused(doc, nullptr, nullptr, 0);     // no name
  EXPECT_FALSE(doc.EnterElement());

  // Positions that do not describe the tree are refused rather than followed.
  doc.SetText("<r><a/><b/></r>");
  doc.SetPosition(2, 3, 0);  // b is not a child of a
  ExpectRefused(doc, "x", nullptr, 0);
  for (int32_t bad : {9, -1}) {
    doc.SetPosition(0, bad, 0);  // no such record
    const std::string before(doc.Text());
    EXPECT_FALSE(doc.InsertElement("x", nullptr, kAsChild));
    EXPECT_FALSE(doc.InsertElement("x", nullptr, 0));
    EXPECT_EQ(doc.Text(), before);
    doc.SetPosition(0, 0, 0);
    EXPECT_INVARIANTS(doc);
  }
}

TEST(InsertElement, TagLengthsThatWouldNotFitTheRecordAreRefused) {
  XmlDocument doc;
  doc.SetText(nullptr);
  // With a value the end tag repeats the whole name: 508 bytes is the most that fits.
  Insert(doc, std::string(508, 'n').c_str(), "v", 0);
  ExpectRefused(doc, std::string(509, 'n').c_str(), "v", 0);
  Insert(doc, std::string(5000, 'n').c_str(), nullptr, 0);  // no end tag: fine
  // Opening an empty parent writes its tag name into the new end tag.
  doc.SetPosition(0, 2, 0);
  ExpectRefused(doc, "c", nullptr, kAsChild);
  doc.SetText(("<" + std::string(508, 'p') + "/>").c_str());
  doc.SetPosition(0, 1, 0);
  Insert(doc, "c", nullptr, kAsChild);
  // A start tag of 1,048,575 bytes at most.
  doc.SetText(nullptr);
  ExpectRefused(doc, std::string(R::kMaxStartTagLength - 3, 'n').c_str(), nullptr, kSpacedEmptyTag);
  Insert(doc, std::string(R::kMaxStartTagLength - 4, 'n').c_str(), nullptr, kSpacedEmptyTag);
}

TEST(InsertElement, ChildrenBeyondTheDeepestLevelAreRefused) {
  std::string text;
  for (int i = 0; i <= 65535; ++i) text += "<a>";
  for (int i = 0; i <= 65535; ++i) text += "</a>";
  XmlDocument doc;
  ASSERT_TRUE(doc.SetText(text.c_str()));
  EXPECT_EQ(doc.At(65535).Level(), 65534u);
  doc.SetPosition(65534, 65535, 0);
  Insert(doc, "ok", nullptr, kAsChild);  // level 65535: the last that fits
  doc.SetPosition(65535, 65536, 0);
  ExpectRefused(doc, "deep", nullptr, kAsChild);
}

// Names are written as they stand. One that breaks the markup is the caller's business, but the
// records must still describe what was written, and nothing may crash.
TEST(InsertElement, NamesThatAreNotNamesLeaveConsistentRecords) {
  for (const char* name : {"", ">", "a>b", "<", "a/b", "a\"", "x y='>'", "  ", "/", "a\r\nb"}) {
    SCOPED_TRACE(name);
    XmlDocument doc;
    doc.SetText(kDeclaration);
    ASSERT_TRUE(doc.InsertElement("r", nullptr, 0));
    ASSERT_TRUE(doc.InsertElement(name, nullptr, kAsChild));
    ASSERT_TRUE(testing::InvariantsHold(doc, testing::CheckDepth::Structural));
    ASSERT_TRUE(doc.InsertElement(name, "v<", kAsChild));
    ASSERT_TRUE(testing::InvariantsHold(doc, testing::CheckDepth::Structural));
    ASSERT_TRUE(doc.EnterElement());
    ASSERT_TRUE(doc.InsertElement("k", nullptr, kAsChild | kInsertBefore));
    ASSERT_TRUE(testing::InvariantsHold(doc, testing::CheckDepth::Structural));
    ASSERT_TRUE(doc.InsertElement(name, nullptr, 0));
    ASSERT_TRUE(testing::InvariantsHold(doc, testing::CheckDepth::Structural));
    const std::string text(doc.Text());
    doc.SetText(text.c_str());  // whatever the parse makes of it, it stays consistent
    EXPECT_INVARIANTS(doc);
  }
}

TEST(InsertElement, FollowingRecordsShiftAndEnclosingOnesGrow) {
  XmlDocument doc;
  ASSERT_TRUE(doc.SetText("<r>\r\n<a>\r\n<x/>\r\n</a>\r\n<b>\r\n<y/>\r\n</b>\r\n</r>"));
  const int32_t bStart = doc.At(4).start, yStart = doc.At(5).start;
  const int32_t rLength = doc.At(1).length, aLength = doc.At(2).length;
  doc.SetPosition(1, 2, 3);
  Insert(doc, "new", nullptr, kAsChild);  // "<new/>" and a line break: 8 bytes
  EXPECT_EQ(doc.At(4).start, bStart + 8);
  EXPECT_EQ(doc.At(5).start, yStart + 8);
  EXPECT_EQ(doc.At(1).length, rLength + 8);
  EXPECT_EQ(doc.At(2).length, aLength + 8);
  EXPECT_EQ(doc.At(3).start, 10);  // x, before it, stays
}

// A lead byte that ends a value is left out, on the escaping path and on the path that copies a
// value without special bytes as it stands alike: kept, it would swallow the '<' of the end tag.
TEST(InsertElement, ValueEndingInALoneLeadByteKeepsItsEndTag) {
  platform::SetCodePageForTesting(932);
  const std::pair<const char*, const char*> cases[] = {
      {"ab\x81", "<Url>ab</Url>\r\n"},  // no special byte: copied as it stands
      {"a<\x81", "<Url>a&lt;</Url>\r\n"},
      {"\x81", "<Url></Url>\r\n"},              // a value all left out: an element with no content
      {"\x81\x81", "<Url>\x81\x81</Url>\r\n"},  // one whole character
  };
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(value);
    XmlDocument doc;
    doc.SetText(kDeclaration);
    Insert(doc, "Url", value, 0);
    EXPECT_EQ(std::string(doc.Text().substr(sizeof kDeclaration - 1)), expected);
  }
  platform::SetCodePageForTesting(0);
}

// An element's name is read back from its start tag as the scanner reads a name: whitespace
// first is passed over, a stop byte first is the name, and under a double-byte code page a lead
// byte takes the byte after it (the single-byte step must not).
TEST(ElementTagName, ReadsTheNameAsTheStartTagSpellsIt) {
  struct Case {
    int codePage;
    const char* name;  // as given to InsertElement
    const char* expected;
  };
  const Case cases[] = {
      {0, "abc", "abc"},       {0, "abc x='1'", "abc"},
      {0, "a\tb", "a"},        {0, " lead", "lead"},
      {0, "/", "/"},           {0, "a=b", "a"},
      {0, "\x82>x y", "\x82"},  // single-byte: 0x82 is a byte like any other
      {932, "abc x", "abc"},   {932, "\x82>x y", "\x82>x"},  // 932: 0x82 takes the '>'
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::SetCodePageForTesting(c.codePage);
    XmlDocument doc;
    doc.SetText(nullptr);
    ASSERT_TRUE(doc.InsertElement(c.name, nullptr, kNoLineBreaks));
    EXPECT_EQ(doc.ElementTagName(1), c.expected);
  }
  platform::SetCodePageForTesting(0);
}

// A copy starts as its source (records over two segments too) and then goes its own way: an
// insertion into it leaves the source as it was, and writes what it writes into the source.
TEST(CopiedDocument, StartsAsItsSourceAndGoesItsOwnWay) {
  std::string big = "<r>";
  for (int i = 0; i < 70000; ++i) big += "<x/>";
  big += "</r>";
  for (const std::string& text : {std::string(kDeclaration) + "<a><b/></a>", big}) {
    XmlDocument source;
    source.SetText(text.c_str());
    source.SetPosition(1, 0, 0);
    XmlDocument copy(source);
    EXPECT_TRUE(Snapshot(copy) == Snapshot(source));
    EXPECT_EQ(copy.Capacity(), source.Capacity());
    EXPECT_EQ(copy.ErrorText(), source.ErrorText());
    const Snapshot before(source);
    Insert(copy, "c", "1", 0);
    EXPECT_TRUE(Snapshot(source) == before);
    Insert(source, "c", "1", 0);
    EXPECT_EQ(copy.Text(), source.Text());
  }
}

}  // namespace
}  // namespace ostrel::xml
