// The checker that every other XML test relies on must itself catch broken records.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "xml/invariant_checker.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

using R = ElementRecord;

struct Corruption {
  const char* what;
  std::function<void(XmlDocument&)> apply;
  const char* expectedWords;  // part of the first problem reported
};

TEST(InvariantChecker, CatchesEachKindOfBrokenRecord) {
  const Corruption corruptions[] = {
      {"start moved", [](XmlDocument& d) { d.At(2).start += 1; }, "no '<'"},
      {"length short", [](XmlDocument& d) { d.At(3).length -= 1; }, "no end tag"},
      {"start tag length", [](XmlDocument& d) { d.At(3).SetStartTagLength(4); },
       "does not end with '>'"},
      {"end tag length", [](XmlDocument& d) { d.At(1).SetEndTagLength(3); }, "no end tag"},
      {"empty tag claims an end tag", [](XmlDocument& d) { d.At(4).flags |= R::kUnended; },
       "Unended"},
      {"prev of a middle child", [](XmlDocument& d) { d.At(3).prev = 4; }, "prev"},
      {"last-child link", [](XmlDocument& d) { d.At(2).prev = 3; }, "first child's prev"},
      {"level", [](XmlDocument& d) { d.At(3).SetLevel(2); }, "level"},
      {"first-child mark", [](XmlDocument& d) { d.At(3).flags |= R::kIsFirstChild; },
       "kIsFirstChild"},
      {"parent", [](XmlDocument& d) { d.At(4).parent = 0; }, "parent"},
      {"record left out",
       [](XmlDocument& d) {
         d.At(3).next = 0;
         d.At(2).prev = 3;
       },
       "in no child chain"},
      {"cycle", [](XmlDocument& d) { d.At(4).next = 2; }, "again"},
      {"document length", [](XmlDocument& d) { d.At(0).length += 1; }, "record 0"},
      {"stray flag", [](XmlDocument& d) { d.At(2).flags |= 0x00400000; }, "stray flag"},
      {"names differ", [](XmlDocument& d) { d.At(1).length = d.At(3).start + d.At(3).length; },
       "closed by end tag"},
  };
  for (const Corruption& c : corruptions) {
    SCOPED_TRACE(c.what);
    XmlDocument doc;
    ASSERT_TRUE(doc.SetText("<r><a/><b>t</b><c/></r>"));
    ASSERT_INVARIANTS(doc);
    c.apply(doc);
    const auto problems = testing::FindInvariantViolations(doc);
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(problems.front().find(c.expectedWords), std::string::npos) << problems.front();
  }
}

TEST(InvariantChecker, ReparseComparisonSeesLinksThatDisagreeWithTheText) {
  XmlDocument doc;
  ASSERT_TRUE(doc.SetText("<r><a/><b/></r>"));
  EXPECT_TRUE(testing::SameRecordsAsFreshParse(doc));
  doc.At(3).flags |= R::kUnended;  // the text has b closing itself
  EXPECT_FALSE(testing::FindReparseDifferences(doc).empty());
}

}  // namespace
}  // namespace ostrel::xml
