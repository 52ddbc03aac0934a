// SetText on arbitrary bytes under every supported code page.
//
// Input: byte 0 picks the code page (low bits) and case-insensitive end tags (bit 3); the rest
// is the text, which ends at its first NUL as any C text does.
// Checked: the records agree with the text and the link invariants hold; the result is the
// well-formedness judgement and comes with an error text exactly when it is false; parsing the
// same text again into the used document gives the same records.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "xml/invariant_checker.h"
#include "xml/xml_document.h"

namespace ostrel::fuzz {
namespace {

std::string Describe(const xml::XmlDocument& doc) {
  std::string out;
  for (int32_t i = 0; i < doc.NextFree(); ++i) {
    const xml::ElementRecord& r = doc.At(i);
    out += std::to_string(r.start) + "," + std::to_string(r.length) + "," +
           std::to_string(r.tag_lengths) + "," + std::to_string(r.flags) + "," +
           std::to_string(r.parent) + "," + std::to_string(r.first_child) + "," +
           std::to_string(r.next) + "," + std::to_string(r.prev) + ";";
  }
  return out;
}

void CheckOne(const std::string& text, uint32_t options) {
  xml::XmlDocument doc;
  doc.SetOptions(options);
  const bool wellFormed = doc.SetText(text.c_str());
  if (doc.Text() != text.c_str()) {
    Finding("SetText changed the text", {}, text);
  }
  const std::vector<std::string> violations =
      xml::testing::FindInvariantViolations(doc, xml::testing::CheckDepth::Full);
  if (!violations.empty()) {
    Finding("records disagree with the text", violations, text);
  }
  if (wellFormed != doc.CheckWellFormed()) {
    Finding("SetText result differs from CheckWellFormed", {}, text);
  }
  if (wellFormed == !doc.ErrorText().empty()) {
    Finding("error text does not match the result", {"error text: " + doc.ErrorText()}, text);
  }
  const std::string first = Describe(doc);
  const std::string error = doc.ErrorText();
  // A second parse reuses the grown store; leftovers from the first must not show.
  doc.SetText("<x><y/></x>");
  if (doc.SetText(text.c_str()) != wellFormed || Describe(doc) != first ||
      doc.ErrorText() != error) {
    Finding("parsing the same text again gives other records", {}, text);
  }
}

}  // namespace
}  // namespace ostrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;
  }
  ostrel::fuzz::SelectCodePage(data[0]);
  const uint32_t options = (data[0] & 0x08) != 0 ? ostrel::xml::kCaseInsensitiveEndTags : 0;
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  ostrel::fuzz::CheckOne(text, options);
  return 0;
}
