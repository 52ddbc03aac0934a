// EscapeValue and WrapCData on arbitrary values under every supported code page.
//
// Input: byte 0 picks the code page (low bits); byte 1 is the low byte of the flag word, byte 2
// its second byte (so kKeepReferences 0x08 and kEscapeQuotes 0x100 come and go with every other
// bit); the rest is the value, which ends at its first NUL.
// Checked: EscapeValue gives exactly what a plain reading of the escaping rules gives (walk by
// characters, a lead byte taking the next byte only when it can be a trail byte; replace the
// special characters; with kKeepReferences copy "&", a reference-start character,
// reference-name characters and ";" unchanged); no markup character is left in the result,
// byte by byte; unescaping an escaped value (without kKeepReferences) gives the value back;
// unwrapping a wrapped value gives the value back, read byte by byte and as the scanner reads;
// and a document holding either as an element's content parses into that one element.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "fuzz_support.h"
#include "xml/escaping.h"
#include "xml/xml_document.h"

namespace ostrel::fuzz {
namespace {

bool IsAsciiLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool IsReferenceStart(unsigned char c) {
  return IsAsciiLetter(c) || c == '#' || c == '_' || c == ':' || c >= 0x80;
}

bool IsReferenceName(unsigned char c) {
  return IsAsciiLetter(c) || (c >= '0' && c <= '9') || c == '_' || c == ':' || c == '-' ||
         c == '.' || c >= 0x80;
}

// The end of a kept reference that starts with the '&' at i, or 0 when none starts there.
std::size_t KeptReferenceEnd(const std::string& v, std::size_t i) {
  std::size_t j = i + 1;
  if (j >= v.size() || !IsReferenceStart(static_cast<unsigned char>(v[j]))) {
    return 0;
  }
  j += ValueCharLen(v, j);
  while (j < v.size() && IsReferenceName(static_cast<unsigned char>(v[j]))) {
    j += ValueCharLen(v, j);
  }
  return j < v.size() && v[j] == ';' ? j + 1 : 0;
}

std::string PlainEscape(const std::string& v, unsigned flags) {
  const bool quotes = (flags & xml::kEscapeQuotes) != 0;
  const bool keep = (flags & xml::kKeepReferences) != 0;
  std::string out;
  for (std::size_t i = 0; i < v.size();) {
    const unsigned char c = static_cast<unsigned char>(v[i]);
    const char* replacement = nullptr;
    switch (c) {
      case '<':
        replacement = "&lt;";
        break;
      case '>':
        replacement = "&gt;";
        break;
      case '&':
        replacement = "&amp;";
        break;
      case '\'':
        replacement = quotes ? "&apos;" : nullptr;
        break;
      case '"':
        replacement = quotes ? "&quot;" : nullptr;
        break;
      default:
        break;
    }
    if (replacement == nullptr) {
      if (platform::IsLeadByte(c) && i + 1 == v.size()) {
        break;  // a lone lead byte at the end is no character: left out
      }
      const std::size_t n = ValueCharLen(v, i);
      out.append(v, i, n);
      i += n;
      continue;
    }
    if (keep && c == '&') {
      if (const std::size_t end = KeptReferenceEnd(v, i)) {
        out.append(v, i, end - i);
        i = end;
        continue;
      }
    }
    out += replacement;
    ++i;
  }
  return out;
}

void CheckEscape(const std::string& value, unsigned flags) {
  const std::string escaped = xml::EscapeValue(value.c_str(), flags);
  const std::string expected = PlainEscape(value, flags);
  if (escaped != expected) {
    Finding("EscapeValue differs from the escaping rules",
            {"flags " + std::to_string(flags), "got: " + escaped, "expected: " + expected}, value);
  }
  // A reader that knows the code page sees every byte below 0x40 as itself: none may be markup.
  const bool quotes = (flags & xml::kEscapeQuotes) != 0;
  for (char c : escaped) {
    if (c == '<' || c == '>' || (quotes && (c == '\'' || c == '"'))) {
      Finding("a markup character is left in the escaped value", {"escaped: " + escaped}, value);
    }
  }
  if ((flags & xml::kKeepReferences) == 0 && xml::UnescapeContent(escaped) != Whole(value)) {
    Finding("unescaping an escaped value does not give it back", {"escaped: " + escaped}, value);
  }
}

void CheckWrap(const std::string& value) {
  const std::string wrapped = xml::WrapCData(value.c_str());
  if (wrapped.compare(0, 9, "<![CDATA[") != 0 || wrapped.size() < 12 ||
      wrapped.compare(wrapped.size() - 3, 3, "]]>") != 0) {
    Finding("WrapCData result is not a CDATA section", {"wrapped: " + wrapped}, value);
  }
  if (ReadBack(wrapped) != Whole(value)) {
    Finding("unwrapping a wrapped value does not give it back", {"wrapped: " + wrapped}, value);
  }
  if (xml::UnescapeContent(wrapped) != Whole(value)) {
    Finding("UnescapeContent does not unwrap a wrapped value", {"wrapped: " + wrapped}, value);
  }
}

// The content as an element's only content: one element, well-formed, reading back as the value.
void CheckAsContent(const std::string& value, const std::string& content, const char* how) {
  xml::XmlDocument doc;
  const std::string text = "<a>" + content + "</a>";
  const bool wellFormed = doc.SetText(text.c_str());
  if (!wellFormed || doc.NextFree() != 2 || doc.ElementContent(1) != content) {
    Finding(std::string(how) + " content does not stay inside its element",
            {"document: " + text, "error: " + doc.ErrorText()}, value);
  }
}

}  // namespace
}  // namespace ostrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ostrel;
  if (size < 3) {
    return 0;
  }
  fuzz::SelectCodePage(data[0]);
  const unsigned flags = data[1] | (static_cast<unsigned>(data[2]) << 8);
  std::string value(reinterpret_cast<const char*>(data) + 3, size - 3);
  value.resize(std::char_traits<char>::length(value.c_str()));  // a C text ends at its NUL
  fuzz::CheckEscape(value, flags);
  fuzz::CheckWrap(value);
  fuzz::CheckAsContent(value, xml::EscapeValue(value.c_str(), flags), "escaped");
  fuzz::CheckAsContent(value, xml::WrapCData(value.c_str()), "wrapped");
  return 0;
}
