// Random documents, then random sequences of insertions, entries and repositionings with random
// flags: after every step the records agree with the text, and (for documents that parsed without
// repairs) a fresh parse of the text gives the same records.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/mbcs.h"
#include "xml/document_generator.h"
#include "xml/invariant_checker.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

class CreationSteps {
 public:
  explicit CreationSteps(uint32_t seed) : random_(seed), generator_(seed ^ 0x9E3779B9u) {}

  std::string StartingText() {
    switch (Next(6)) {
      case 0:
        return "";
      case 1:
        return "<?xml version=\"1.0\"?>\r\n";
      case 2:
        return "some text";
      case 3:
        return generator_.IllFormed(3, 4);  // only the invariants are compared for these
      default:
        return generator_.WellFormed(3, 4).text;
    }
  }

  // Each name is used by one element only when it is made without end tag, so that no end tag
  // in the text can close it on a fresh parse. Attribute text holds no '>': with a value it is
  // repeated in the end tag, which ends at the first '>'.
  std::string Name(unsigned flags) {
    static const char* const kNames[] = {"a",   "b", "item",    "x:y",
                                         "a-b", "Q", "n k='1'", "m k=\"v\" l='2'"};
    if ((flags & kNoEndTag) != 0) return "open" + std::to_string(unique_++);
    return kNames[Next(sizeof kNames / sizeof *kNames)];
  }

  std::string Value() {
    static const char* const kPieces[] = {"v",   "<", ">",    "&",   "&amp;", "&#38;", "'", "\"",
                                          "]]>", " ", "\r\n", "x y", "&a",    ";",     "]"};
    const uint32_t n = Next(5);
    std::string out;
    for (uint32_t i = 0; i < n; ++i) out += kPieces[Next(sizeof kPieces / sizeof *kPieces)];
    return out;
  }

  unsigned Flags() {
    static const unsigned kBits[] = {kAsCData,  kNoLineBreaks, kSpacedEmptyTag, kKeepReferences,
                                     kNoEndTag, kEscapeQuotes, kReplaceContent, kInsertBefore};
    unsigned flags = Next(5) < 3 ? static_cast<unsigned>(kAsChild) : 0u;
    for (unsigned bit : kBits)
      if (Next(7) == 0) flags |= bit;
    return flags;
  }

  // Somewhere in the tree: a parent, one of its children or none, one of that one's or none.
  void Reposition(XmlDocument& doc) {
    const int32_t parent = static_cast<int32_t>(Next(static_cast<uint32_t>(doc.NextFree())));
    const int32_t current = SomeChild(doc, parent);
    doc.SetPosition(parent, current, current != 0 ? SomeChild(doc, current) : 0);
  }

  uint32_t Next(uint32_t bound) { return static_cast<uint32_t>(random_() % bound); }

 private:
  int32_t SomeChild(const XmlDocument& doc, int32_t parent) {
    std::vector<int32_t> children{0};
    for (int32_t c = doc.At(parent).first_child; c != 0; c = doc.At(c).next) children.push_back(c);
    return children[Next(static_cast<uint32_t>(children.size()))];
  }

  std::mt19937 random_;
  testing::DocumentGenerator generator_;
  int unique_ = 0;
};

void RunSteps(uint32_t seed, int documents, int stepsPerDocument) {
  CreationSteps steps(seed);
  int inserted = 0, refused = 0;
  for (int d = 0; d < documents; ++d) {
    XmlDocument doc;
    const std::string start = steps.StartingText();
    doc.SetText(start.c_str());
    ASSERT_INVARIANTS(doc);
    // In a text the parse had to repair (an unterminated declaration, say), new markup can
    // be swallowed on a fresh parse; there only the invariants are held to.
    const bool reparseComparable = !doc.At(0).Has(ElementRecord::kIllFormed);
    for (int s = 0; s < stepsPerDocument; ++s) {
      const uint32_t choice = steps.Next(10);
      if (choice == 0) {
        steps.Reposition(doc);
        continue;
      }
      if (choice == 1) {
        doc.EnterElement();
        ASSERT_INVARIANTS(doc);
        continue;
      }
      const unsigned flags = steps.Flags();
      const std::string name = steps.Name(flags);
      const std::string value = steps.Value();
      const bool noValue = steps.Next(4) == 0;
      const std::string before(doc.Text());
      const bool ok = doc.InsertElement(name.c_str(), noValue ? nullptr : value.c_str(), flags);
      ASSERT_TRUE(testing::InvariantsHold(doc))
          << "step " << s << ": '" << name << "' = '" << value << "' flags " << std::hex << flags
          << "\nbefore: " << before;
      if (!ok) {
        ASSERT_EQ(doc.Text(), before) << "a refused insertion changed the text";
        ++refused;
        continue;
      }
      ++inserted;
      if (!reparseComparable) continue;
      ASSERT_TRUE(testing::SameRecordsAsFreshParse(doc))
          << "step " << s << ": '" << name << "' = '" << value << "' flags " << std::hex << flags
          << "\nbefore: " << before;
    }
  }
  // Both outcomes must have been exercised for the run to mean something.
  EXPECT_GT(inserted, documents * stepsPerDocument / 3);
  EXPECT_GT(refused, 0);
}

TEST(CreationProperty, RandomInsertionsKeepRecordsAndTextInStep) { RunSteps(1, 300, 40); }

TEST(CreationProperty, LongSequencesOnOneDocument) { RunSteps(2, 6, 600); }

TEST(CreationProperty, RandomInsertionsUnderADoubleByteCodePage) {
  platform::SetCodePageForTesting(932);
  RunSteps(3, 150, 40);
  platform::SetCodePageForTesting(0);
}

}  // namespace
}  // namespace ostrel::xml
