// Whole documents: the conformance suite's files, and generated documents, well-formed and
// damaged. After every parse the records must agree with the text.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/mbcs.h"
#include "xml/document_generator.h"
#include "xml/invariant_checker.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

// The conformance suite beside the project's source tree, unless the build names another
// place (OSTREL_XMLCONF_DIR); a run that must not go without it sets OSTREL_REQUIRE_CORPUS.
const char kCorpus[] = OSTREL_XMLCONF_DIR;

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> files;
  std::ifstream manifest(std::string(kCorpus) + "/manifest.tsv");
  std::string line;
  while (std::getline(manifest, line)) {
    const size_t tab = line.find('\t');
    if (tab != std::string::npos && tab > 0) files.push_back(line.substr(0, tab));
  }
  return files;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class Corpus : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetCodePageForTesting(0); }
};

TEST_F(Corpus, RecordsAgreeWithTheTextForEveryConformanceFile) {
  const std::vector<std::string> files = CorpusFiles();
  if (files.empty()) {
    const std::string why = std::string("no conformance suite at ") + kCorpus +
                            " (manifest.tsv missing; set the CMake variable OSTREL_XMLCONF_DIR)";
    if (std::getenv("OSTREL_REQUIRE_CORPUS") != nullptr) FAIL() << why;
    GTEST_SKIP() << why;
  }
  int parsed = 0, wellFormed = 0;
  for (int codePage : {0, 932}) {
    platform::SetCodePageForTesting(codePage);
    XmlDocument doc;  // one document for all: every parse starts over in the same store
    for (const std::string& file : files) {
      const std::string content = ReadFile(std::string(kCorpus) + "/" + file);
      // The document text ends at its first NUL, as a C string does.
      const bool result = doc.SetText(content.c_str());
      ASSERT_TRUE(testing::InvariantsHold(doc)) << file << " (code page " << codePage << ")";
      ++parsed;
      wellFormed += result;
    }
  }
  std::printf(
      "conformance suite: %zu files parsed under 2 code pages (%d parses, %d well-formed)\n",
      files.size(), parsed, wellFormed);
  EXPECT_GT(files.size(), 2000u);
  EXPECT_GT(wellFormed, parsed / 4);  // most valid documents pass; the count is a sanity check
}

TEST(GeneratedDocuments, WellFormedOnesGiveExactlyTheirRecords) {
  testing::DocumentGenerator generator(2024);
  XmlDocument doc;
  for (int round = 0; round < 1500; ++round) {
    const testing::GeneratedDocument expected = generator.WellFormed(6, 5);
    ASSERT_TRUE(doc.SetText(expected.text.c_str())) << doc.ErrorText() << "\n" << expected.text;
    EXPECT_EQ(doc.ErrorText(), "");
    ASSERT_EQ(doc.NextFree(), static_cast<int32_t>(expected.records.size()));
    for (int32_t i = 0; i < doc.NextFree(); ++i) {
      const ElementRecord& a = doc.At(i);
      const ElementRecord& b = expected.records[static_cast<size_t>(i)];
      ASSERT_TRUE(a.start == b.start && a.length == b.length && a.tag_lengths == b.tag_lengths &&
                  a.flags == b.flags && a.parent == b.parent && a.first_child == b.first_child &&
                  a.next == b.next && a.prev == b.prev)
          << "record " << i << " of\n"
          << expected.text;
    }
    ASSERT_INVARIANTS(doc);
  }
}

TEST(GeneratedDocuments, DamagedOnesStillGiveRecordsThatAgreeWithTheText) {
  testing::DocumentGenerator generator(77);
  XmlDocument doc, again;
  for (int round = 0; round < 6000; ++round) {
    const std::string text = generator.IllFormed(5, 4);
    const uint32_t options = round % 3 == 0 ? kCaseInsensitiveEndTags : 0;
    doc.SetOptions(options);
    doc.SetText(text.c_str());
    ASSERT_TRUE(testing::InvariantsHold(doc)) << "options " << options;
    // The same text parsed again gives the same records and message.
    again.SetOptions(options);
    again.SetText(text.c_str());
    ASSERT_TRUE(testing::SameRecordsAsFreshParse(doc));
    ASSERT_EQ(doc.ErrorText(), again.ErrorText());
    ASSERT_EQ(doc.CheckWellFormed(), again.CheckWellFormed());
  }
}

TEST(GeneratedDocuments, RandomMarkupFragmentsUnderDoubleByteCodePages) {
  const char* const pieces[] = {"<a>",  "</a>", "<b/>",  "</b>", "<\x81\x5C>", "</\x81\x5C>",
                                "x",    "\x81", "\x82<", "'",    "<!--",       "-->",
                                "<![C", "]]>",  ">",     "<",    "<?",         "?>",
                                "<!D",  " ",    "\x83>"};
  std::mt19937 random(99);
  XmlDocument doc;
  for (int codePage : {932, 936, 949, 950}) {
    platform::SetCodePageForTesting(codePage);
    for (int round = 0; round < 3000; ++round) {
      std::string text;
      const int count = static_cast<int>(random() % 30);
      for (int i = 0; i < count; ++i) text += pieces[random() % (sizeof pieces / sizeof *pieces)];
      doc.SetText(text.c_str());
      ASSERT_TRUE(testing::InvariantsHold(doc)) << "code page " << codePage;
    }
  }
  platform::SetCodePageForTesting(0);
}

}  // namespace
}  // namespace ostrel::xml
