// A parse, then a sequence of InsertElement, EnterElement and repositioning decoded from the
// input, under every supported code page.
//
// Input (read with FuzzedDataProvider): a code page selector; the starting text (none, the XML
// declaration, a generated well-formed or damaged document from a seed, or raw bytes); then
// steps until the input runs out. A step is a byte that picks EnterElement, a repositioning or
// an insertion; an insertion reads a flag word (every bit, defined or not), a name and a value.
// Names are real names (ASCII name characters, and whole double-byte characters under a
// double-byte code page), optionally followed by attribute text without '>'; a name given to
// an element made without end tag is unique ("u", 0x7F, a number: no other name holds 0x7F, and
// reparses are not compared for starting texts that hold one), so that a fresh parse cannot
// close that element elsewhere. Values are arbitrary bytes.
//
// Checked after every step: the records agree with the text and the link invariants hold; a
// refused insertion changes nothing; and when the starting text parsed without repairs, a fresh
// parse of the text gives the same records (the exceptions are listed where that is decided).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "xml/document_generator.h"
#include "xml/invariant_checker.h"
#include "xml/xml_document.h"

namespace ostrel::fuzz {
namespace {

using xml::XmlDocument;

constexpr int kMaxSteps = 48;

std::string StartingText(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      return "";
    case 1:
      return "<?xml version=\"1.0\"?>\r\n";
    case 2: {
      xml::testing::DocumentGenerator generator(input.ConsumeIntegral<uint16_t>());
      return generator.WellFormed(3, 4).text;
    }
    case 3: {
      xml::testing::DocumentGenerator generator(input.ConsumeIntegral<uint16_t>());
      return generator.IllFormed(3, 4);
    }
    default:
      return input.ConsumeRandomLengthString(512);
  }
}

class NameMaker {
 public:
  explicit NameMaker(int codePage) : codePage_(codePage) {}

  std::string Make(FuzzedDataProvider& input, unsigned flags) {
    std::string name;
    if ((flags & xml::kNoEndTag) != 0) {
      name = "u\x7F" + std::to_string(unique_++);
    } else {
      name = Plain(input);
    }
    static const char* const kAttributes[] = {"", " k='1'", " m=\"v\" l='2'", "  x = 'a b'",
                                              " q=\"'\""};
    name += kAttributes[input.ConsumeIntegralInRange<std::size_t>(0, 4)];
    return name;
  }

 private:
  std::string Plain(FuzzedDataProvider& input) {
    static const char kStart[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_:";
    static const char kRest[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_:.-";
    std::string name(1, kStart[input.ConsumeIntegralInRange<std::size_t>(0, sizeof kStart - 2)]);
    const int extra = input.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < extra; ++i) {
      const uint8_t pick = input.ConsumeIntegral<uint8_t>();
      if (codePage_ != 0 && pick >= 0xF0) {
        // A whole double-byte character: a lead byte of this code page and a trail byte.
        unsigned lead = 0x81 + (pick & 0x0F);
        while (!platform::IsLeadByteOf(codePage_, lead)) ++lead;
        const uint8_t trail =
            static_cast<uint8_t>(0x40 + input.ConsumeIntegralInRange<int>(0, 0xBC));
        name += static_cast<char>(lead);
        name += static_cast<char>(trail == 0x7F ? 0x80 : trail);
      } else {
        name += kRest[pick % (sizeof kRest - 1)];
      }
    }
    return name;
  }

  int codePage_;
  int unique_ = 0;
};

// A text whose last character is a lead byte without its trail byte: the parse reads it as one
// byte, but markup appended behind it would become its trail byte.
bool EndsInLoneLeadByte(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    if (platform::IsLeadByte(*p) && p[1] == 0) return true;
    p += platform::IsLeadByte(*p) ? 2 : 1;
  }
  return false;
}

std::vector<int32_t> Children(const XmlDocument& doc, int32_t parent) {
  std::vector<int32_t> children{0};
  for (int32_t c = doc.At(parent).first_child; c != 0; c = doc.At(c).next) children.push_back(c);
  return children;
}

// A parent, one of its children or none, and one of that one's children or none.
void Reposition(FuzzedDataProvider& input, XmlDocument& doc) {
  const int32_t parent = input.ConsumeIntegralInRange<int32_t>(0, doc.NextFree() - 1);
  const std::vector<int32_t> children = Children(doc, parent);
  const int32_t current =
      children[input.ConsumeIntegralInRange<std::size_t>(0, children.size() - 1)];
  int32_t child = 0;
  if (current != 0) {
    const std::vector<int32_t> grandchildren = Children(doc, current);
    child = grandchildren[input.ConsumeIntegralInRange<std::size_t>(0, grandchildren.size() - 1)];
  }
  doc.SetPosition(parent, current, child);
}

// True when every element's name reads the same to the parse (up to whitespace, '/' or '>',
// byte by byte) and to element creation (which stops also at '<', '=', '\\', '?' and '!', and
// steps by characters). A starting text with other names ("<a?b/>") gets end tags that a parse
// does not pair with their start tags: names are not validated, so only the structure is held
// to there.
bool NamesReadAlike(const XmlDocument& doc) {
  const std::string_view text = doc.Text();
  for (int32_t i = 1; i < doc.NextFree(); ++i) {
    const std::size_t from = static_cast<std::size_t>(doc.At(i).start) + 1;
    std::size_t to = from;
    while (to < text.size() && std::strchr(" \t\r\n/>", text[to]) == nullptr) ++to;
    if (doc.ElementTagName(i) != text.substr(from, to - from)) return false;
  }
  return true;
}

void CheckStep(const XmlDocument& doc, bool compareReparse, bool namesAreNames,
               const std::string& step) {
  const std::string text(doc.Text());
  std::vector<std::string> problems = xml::testing::FindInvariantViolations(
      doc, namesAreNames ? xml::testing::CheckDepth::Full : xml::testing::CheckDepth::Structural);
  if (!problems.empty()) {
    problems.insert(problems.begin(), step);
    Finding("records disagree with the text", problems, text);
  }
  if (compareReparse) {
    problems = xml::testing::FindReparseDifferences(doc);
    if (!problems.empty()) {
      problems.insert(problems.begin(), step);
      Finding("a fresh parse gives other records", problems, text);
    }
  }
}

std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace
}  // namespace ostrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ostrel;
  FuzzedDataProvider input(data, size);
  const int codePage = fuzz::SelectCodePage(input.ConsumeIntegral<uint8_t>());
  xml::XmlDocument doc;
  const std::string start = fuzz::StartingText(input);
  doc.SetText(start.c_str());
  // In a text the parse had to repair, new markup can be swallowed by an unterminated node on
  // a fresh parse; there only the invariants are held to. So too when the text already holds
  // the byte that marks the unique names, or ends in a lone lead byte, or opens with "<?>": at
  // offset 0 those three bytes do not close a processing instruction, anywhere else they do, so
  // an element inserted before them changes how the rest of the text reads.
  const bool namesAreNames = fuzz::NamesReadAlike(doc);
  const bool compareReparse =
      !doc.At(0).Has(xml::ElementRecord::kIllFormed) && start.find('\x7F') == std::string::npos &&
      start.compare(0, 3, "<?>") != 0 && !fuzz::EndsInLoneLeadByte(start.c_str()) && namesAreNames;
  fuzz::CheckStep(doc, compareReparse, namesAreNames, "after the parse");
  fuzz::NameMaker names(codePage);
  for (int step = 0; step < fuzz::kMaxSteps && input.remaining_bytes() > 0; ++step) {
    const uint8_t choice = input.ConsumeIntegral<uint8_t>() % 8;
    if (choice == 0) {
      doc.EnterElement();
      fuzz::CheckStep(doc, compareReparse, namesAreNames,
                      "step " + std::to_string(step) + ": EnterElement");
      continue;
    }
    if (choice == 1) {
      fuzz::Reposition(input, doc);
      continue;
    }
    const unsigned flags = input.ConsumeIntegral<uint32_t>();
    const std::string name = names.Make(input, flags);
    const bool noValue = input.ConsumeBool();
    const std::string value = input.ConsumeRandomLengthString(64);
    const std::string before(doc.Text());
    const bool added = doc.InsertElement(name.c_str(), noValue ? nullptr : value.c_str(), flags);
    const std::string what =
        "step " + std::to_string(step) + ": InsertElement('" + fuzz::Printable(name) + "', " +
        (noValue ? std::string("none") : "'" + fuzz::Printable(value) + "'") + ", 0x" +
        [&] {
          char hex[16];
          std::snprintf(hex, sizeof hex, "%X", flags);
          return std::string(hex);
        }() +
        ") " + (added ? "added" : "refused") + "\nbefore: " + fuzz::Printable(before);
    if (!added && doc.Text() != before) {
      fuzz::Finding("a refused insertion changed the text", {what}, before);
    }
    fuzz::CheckStep(doc, compareReparse && added, namesAreNames, what);
  }
  return 0;
}
