// The three command documents composed from arbitrary texts and area numbers, under every
// supported code page: what a host can hand the play commands.
//
// Input (read with FuzzedDataProvider): a code page selector, the command, two area numbers,
// then the texts (video outputs of at most 63 bytes, a URL of at most 255, as the entry points
// allow).
// Checked: the document parses as a well-formed document whose records agree with its text;
// it is iq > query > Command > Function and the command's parameters in order, each reading
// back as the value given (a lead byte ending a text is left out); its length is the one the
// message format gives for the escaped values; the frame's length field counts the frame.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "command/command_document.h"
#include "fuzz_support.h"
#include "xml/invariant_checker.h"
#include "xml/xml_document.h"

namespace ostrel::fuzz {
namespace {

using Parameters = std::vector<std::pair<std::string, std::string>>;

// Bytes a parameter line adds: "<Name>" value "</Name>" CR LF, or "<Name/>" CR LF when empty.
std::size_t LineLength(const std::string& name, const std::string& value) {
  if (value.empty()) return name.size() + 3 + 2;
  return 2 * name.size() + 5 + xml::EscapeValue(value.c_str(), 0).size() + 2;
}

void Check(const std::string& function, const Parameters& parameters, const std::string& text) {
  xml::XmlDocument doc;
  if (!doc.SetText(text.c_str())) {
    Finding("the command document is not well-formed", {doc.ErrorText()}, text);
  }
  const std::vector<std::string> violations =
      xml::testing::FindInvariantViolations(doc, xml::testing::CheckDepth::Full);
  if (!violations.empty()) Finding("records disagree with the text", violations, text);

  const int32_t iq = doc.RootElement();
  const int32_t query = doc.At(iq).first_child;
  const int32_t command = query != 0 ? doc.At(query).first_child : 0;
  if (doc.ElementTagName(iq) != "iq" || query == 0 || doc.ElementTagName(query) != "query" ||
      command == 0 || doc.ElementTagName(command) != "Command" || doc.At(query).next != 0 ||
      doc.At(command).next != 0) {
    Finding("the document is not iq > query > Command", {}, text);
  }
  int32_t element = doc.At(command).first_child;
  Parameters expected = {{"Function", function}};
  expected.insert(expected.end(), parameters.begin(), parameters.end());
  std::size_t length = 23 + 21 + 28 + 11 + 12 + 10 + 7;  // the fixed lines, CR LF included
  for (const auto& [name, value] : expected) {
    if (element == 0 || doc.ElementTagName(element) != name) {
      Finding("parameter " + name + " missing or out of order", {}, text);
    }
    const std::string content(doc.ElementContent(element));
    if (xml::UnescapeContent(content) != Whole(value) ||
        content.find_first_of("<>") != std::string::npos) {
      Finding("parameter " + name + " does not read back as its value", {content}, text);
    }
    length += LineLength(name, value);
    element = doc.At(element).next;
  }
  if (element != 0) Finding("a parameter too many", {}, text);
  if (text.size() != length) {
    Finding(
        "length " + std::to_string(text.size()) + ", the format gives " + std::to_string(length),
        {}, text);
  }
  const std::vector<unsigned char> frame = command::FrameDocument(text);
  const uint32_t total =
      frame[0] | (frame[1] << 8) | (frame[2] << 16) | (static_cast<uint32_t>(frame[3]) << 24);
  if (frame.size() != text.size() + 4 || total != frame.size() ||
      std::string(frame.begin() + 4, frame.end()) != text) {
    Finding("the frame does not carry the document", {}, text);
  }
}

}  // namespace
}  // namespace ostrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ostrel;
  FuzzedDataProvider input(data, size);
  fuzz::SelectCodePage(input.ConsumeIntegral<uint8_t>());
  const int which = input.ConsumeIntegralInRange<int>(0, 2);
  const int first_area = input.ConsumeIntegral<int32_t>();
  const int second_area = input.ConsumeIntegral<int32_t>();
  const std::string vidout = input.ConsumeRandomLengthString(63);
  const std::string other =
      which == 0 ? input.ConsumeRandomLengthString(255) : input.ConsumeRandomLengthString(63);
  // The entry points take C texts: each ends at its first NUL.
  const std::string first_text = vidout.c_str();
  const std::string second_text = other.c_str();
  switch (which) {
    case 0:
      fuzz::Check(
          "StartPlay",
          {{"Vidout", first_text}, {"Area", std::to_string(first_area)}, {"Url", second_text}},
          command::ComposeStartPlay(first_text.c_str(), first_area, second_text.c_str()));
      break;
    case 1:
      fuzz::Check("StopPlay", {{"Vidout", first_text}, {"Area", std::to_string(first_area)}},
                  command::ComposeStopPlay(first_text.c_str(), first_area));
      break;
    default:
      fuzz::Check("Duplicate",
                  {{"Vidoutf", first_text},
                   {"Areaf", std::to_string(first_area)},
                   {"Vidoutt", second_text},
                   {"Areat", std::to_string(second_area)}},
                  command::ComposeDuplicate(first_text.c_str(), first_area, second_text.c_str(),
                                            second_area));
      break;
  }
  return 0;
}
