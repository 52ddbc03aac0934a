#include "command/command_document.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "command/wire_protocol.h"
#include "xml/xml_document.h"

namespace ostrel::command {
namespace {

// A parameter element: its name and its value, both as they stand until the call ends.
using Parameter = std::pair<const char*, const char*>;

// The text every command starts from: the XML declaration and its line break.
constexpr const char* kDeclaration = "<?xml version=\"1.0\"?>\r\n";

// An area number in decimal, as "%d" writes it, held in the caller's frame.
struct AreaText {
  explicit AreaText(int area) {
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits - 1, area);
    *end.ptr = '\0';
  }
  char digits[16];
};

// What a command of one function starts with: the declaration, then iq > query > Command >
// Function, with Command entered. Built once for each function, the first time its command is
// composed, and copied for each command.
struct CommandStart {
  explicit CommandStart(const char* function) {
    doc.SetText(kDeclaration);  // "No root element" is expected: elements come next
    doc.InsertElement("iq type='command'", nullptr, 0);
    doc.InsertElement("query xmlns='iq:command'", nullptr, xml::kAsChild);
    doc.EnterElement();
    doc.InsertElement("Command", nullptr, xml::kAsChild);
    doc.EnterElement();
    doc.InsertElement("Function", function, xml::kAsChild);
  }
  xml::XmlDocument doc;
};

// The command's start, then each parameter after the one before.
std::string Compose(const CommandStart& start, std::initializer_list<Parameter> parameters) {
  xml::XmlDocument doc(start.doc);
  for (const Parameter& parameter : parameters) {
    doc.InsertElement(parameter.first, parameter.second, xml::kAsChild);
  }
  return doc.TakeText();  // the document is done with: its text moves out, no copy
}

}  // namespace

std::string ComposeStartPlay(const char* vidout, int area, const char* url) {
  static const CommandStart start("StartPlay");
  const AreaText area_text(area);
  return Compose(start, {{"Vidout", vidout}, {"Area", area_text.digits}, {"Url", url}});
}

std::string ComposeStopPlay(const char* vidout, int area) {
  static const CommandStart start("StopPlay");
  const AreaText area_text(area);
  return Compose(start, {{"Vidout", vidout}, {"Area", area_text.digits}});
}

std::string ComposeDuplicate(const char* source_vidout, int source_area, const char* target_vidout,
                             int target_area) {
  static const CommandStart start("Duplicate");
  const AreaText source(source_area), target(target_area);
  return Compose(start, {{"Vidoutf", source_vidout},
                         {"Areaf", source.digits},
                         {"Vidoutt", target_vidout},
                         {"Areat", target.digits}});
}

std::vector<unsigned char> FrameDocument(const std::string& document) {
  const std::uint32_t total = static_cast<std::uint32_t>(document.size() + kLengthFieldSize);
  std::vector<unsigned char> frame(total);
  EncodeFrameLength(total, frame.data());
  // One block copy (an element-wise copy from char to unsigned char would go byte by byte).
  if (!document.empty())
    std::memcpy(frame.data() + kLengthFieldSize, document.data(), document.size());
  return frame;
}

}  // namespace ostrel::command
