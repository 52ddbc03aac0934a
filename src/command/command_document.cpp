#include "command/command_document.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "xml/xml_document.h"

namespace ostrel::command {
namespace {

using Parameter = std::pair<const char*, std::string>;

// The text every command starts from: the XML declaration and its line break.
constexpr const char* kDeclaration = "<?xml version=\"1.0\"?>\r\n";

std::string AreaText(int area) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%d", area);
  return digits;
}

// iq > query > Command > Function, then each parameter after the one before, one per line.
std::string Compose(const char* function, std::initializer_list<Parameter> parameters) {
  xml::XmlDocument doc;
  doc.SetText(kDeclaration);  // "No root element" is expected: elements come next
  doc.InsertElement("iq type='command'", nullptr, 0);
  doc.InsertElement("query xmlns='iq:command'", nullptr, xml::AsChild);
  doc.EnterElement();
  doc.InsertElement("Command", nullptr, xml::AsChild);
  doc.EnterElement();
  doc.InsertElement("Function", function, xml::AsChild);
  for (const Parameter& parameter : parameters) {
    doc.InsertElement(parameter.first, parameter.second.c_str(), xml::AsChild);
  }
  return std::string(doc.Text());
}

}  // namespace

std::string ComposeStartPlay(const char* vidout, int area, const char* url) {
  return Compose("StartPlay", {{"Vidout", vidout}, {"Area", AreaText(area)}, {"Url", url}});
}

std::string ComposeStopPlay(const char* vidout, int area) {
  return Compose("StopPlay", {{"Vidout", vidout}, {"Area", AreaText(area)}});
}

std::string ComposeDuplicate(const char* sourceVidout, int sourceArea, const char* targetVidout,
                             int targetArea) {
  return Compose("Duplicate", {{"Vidoutf", sourceVidout},
                               {"Areaf", AreaText(sourceArea)},
                               {"Vidoutt", targetVidout},
                               {"Areat", AreaText(targetArea)}});
}

std::vector<unsigned char> FrameDocument(const std::string& document) {
  const std::uint32_t total = static_cast<std::uint32_t>(document.size() + 4);
  std::vector<unsigned char> frame(total);
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<unsigned char>(total >> (8 * i));
  std::copy(document.begin(), document.end(), frame.begin() + 4);
  return frame;
}

}  // namespace ostrel::command
