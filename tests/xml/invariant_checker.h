// Test support: checks that an XmlDocument's records agree with its text and that the link
// invariants hold. Every XML test calls it after each operation on a document.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/xml_document.h"

namespace ostrel::xml::testing {

enum class CheckDepth {
  // Also rescans every start and end tag and checks the scanner agrees with the record.
  Full,
  // Spans, tag delimiters and links only: for elements created with names that are not
  // names (attribute text with '>', a name that is empty...).
  Structural,
};

// Every problem found, each worded; empty when the document is sound.
std::vector<std::string> FindInvariantViolations(const XmlDocument& doc,
                                                 CheckDepth depth = CheckDepth::Full);

// Differences between the document's records and those of a fresh parse of its text.
std::vector<std::string> FindReparseDifferences(const XmlDocument& doc);

::testing::AssertionResult InvariantsHold(const XmlDocument& doc,
                                          CheckDepth depth = CheckDepth::Full);
::testing::AssertionResult SameRecordsAsFreshParse(const XmlDocument& doc);

}  // namespace ostrel::xml::testing

#define EXPECT_INVARIANTS(doc) EXPECT_TRUE(::ostrel::xml::testing::InvariantsHold(doc))
#define ASSERT_INVARIANTS(doc) ASSERT_TRUE(::ostrel::xml::testing::InvariantsHold(doc))
