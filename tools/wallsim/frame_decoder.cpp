#include "wallsim/frame_decoder.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

#include "xml/xml_document.h"

namespace ostrel::wallsim {
namespace {

// One element of the parsed document: its tag name, attributes and content.
struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string_view content;   // raw text between the start and end tag
  std::vector<int> children;  // record indexes
};

class DocumentView {
 public:
  explicit DocumentView(const xml::XmlDocument& doc) : doc_(doc), text_(doc.Text()) {}

  int Root() const { return doc_.RootElement(); }

  Element Read(int index) const {
    const xml::ElementRecord& record = doc_.At(index);
    Element element;
    element.name = doc_.ElementTagName(index);
    ParseAttributes(text_.substr(record.start, record.StartTagLength()), &element);
    element.content = doc_.ElementContent(index);
    for (int child = record.first_child; child != 0; child = doc_.At(child).next) {
      element.children.push_back(child);
    }
    return element;
  }

 private:
  static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

  // "<name a='1' b="2">": the quoted attribute values after the name.
  static void ParseAttributes(std::string_view tag, Element* element) {
    size_t i = 1;
    while (i < tag.size() && !IsSpace(tag[i]) && tag[i] != '/' && tag[i] != '>') ++i;
    while (i < tag.size()) {
      while (i < tag.size() && IsSpace(tag[i])) ++i;
      const size_t name_start = i;
      while (i < tag.size() && tag[i] != '=' && !IsSpace(tag[i]) && tag[i] != '/' && tag[i] != '>')
        ++i;
      if (i == name_start) break;
      std::string name(tag.substr(name_start, i - name_start));
      while (i < tag.size() && IsSpace(tag[i])) ++i;
      if (i >= tag.size() || tag[i] != '=') break;
      ++i;
      while (i < tag.size() && IsSpace(tag[i])) ++i;
      if (i >= tag.size() || (tag[i] != '\'' && tag[i] != '"')) break;
      const char quote = tag[i++];
      const size_t valueStart = i;
      while (i < tag.size() && tag[i] != quote) ++i;
      element->attributes[name] = std::string(tag.substr(valueStart, i - valueStart));
      ++i;
    }
  }

  const xml::XmlDocument& doc_;
  std::string_view text_;
};

// Decodes character data: entity and character references, CDATA sections. Fails on markup.
std::optional<std::string> DecodeContent(std::string_view content, std::string* error) {
  std::string out;
  size_t i = 0;
  while (i < content.size()) {
    const char c = content[i];
    if (c == '<') {
      constexpr std::string_view kOpen = "<![CDATA[";
      if (content.substr(i, kOpen.size()) == kOpen) {
        const size_t end = content.find("]]>", i + kOpen.size());
        if (end == std::string_view::npos) {
          *error = "unterminated CDATA section";
          return std::nullopt;
        }
        out.append(content.substr(i + kOpen.size(), end - i - kOpen.size()));
        i = end + 3;
        continue;
      }
      if (content.substr(i, 4) == "<!--") {
        const size_t end = content.find("-->", i + 4);
        if (end == std::string_view::npos) break;
        i = end + 3;
        continue;
      }
      *error = "markup inside a value";
      return std::nullopt;
    }
    if (c != '&') {
      out += c;
      ++i;
      continue;
    }
    const size_t semicolon = content.find(';', i);
    if (semicolon == std::string_view::npos || semicolon - i > 12) {
      *error = "unterminated reference in a value";
      return std::nullopt;
    }
    const std::string_view name = content.substr(i + 1, semicolon - i - 1);
    static const std::map<std::string_view, char> kEntities = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
    if (auto entity = kEntities.find(name); entity != kEntities.end()) {
      out += entity->second;
    } else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x';
      const std::string digits(name.substr(hex ? 2 : 1));
      char* end = nullptr;
      const unsigned long code = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
      if (digits.empty() || *end != '\0' || code == 0 || code > 0xFF) {
        *error = "unsupported character reference &" + std::string(name) + ";";
        return std::nullopt;
      }
      out += static_cast<char>(code);
    } else {
      *error = "unknown entity &" + std::string(name) + ";";
      return std::nullopt;
    }
    i = semicolon + 1;
  }
  return out;
}

std::optional<int> ParseArea(const std::string& text) {
  if (text.empty() || text.size() > 11) return std::nullopt;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size()) return std::nullopt;
  for (size_t k = i; k < text.size(); ++k) {
    if (text[k] < '0' || text[k] > '9') return std::nullopt;
  }
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno != 0 || value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

DecodeResult Refuse(std::string why) {
  DecodeResult result;
  result.error = std::move(why);
  return result;
}

// Finds the single child element of the given name.
std::optional<Element> OnlyChild(const DocumentView& view, const Element& parent,
                                 const std::string& name, std::string* error) {
  if (parent.children.size() != 1) {
    *error = "<" + parent.name + "> must hold exactly one element, <" + name + ">";
    return std::nullopt;
  }
  Element child = view.Read(parent.children[0]);
  if (child.name != name) {
    *error = "<" + parent.name + "> holds <" + child.name + "> where <" + name + "> belongs";
    return std::nullopt;
  }
  return child;
}

}  // namespace

DecodeResult DecodeCommandDocument(const std::string& document) {
  if (document.find('\0') != std::string::npos) return Refuse("document holds a NUL byte");
  xml::XmlDocument doc;
  if (!doc.SetText(document.c_str())) {
    return Refuse("not a well-formed XML document: " + std::string(doc.ErrorText()));
  }
  DocumentView view(doc);
  std::string error;

  const Element iq = view.Read(view.Root());
  if (iq.name != "iq") return Refuse("root element is <" + iq.name + ">, not <iq>");
  if (auto type = iq.attributes.find("type");
      type == iq.attributes.end() || type->second != "command") {
    return Refuse("<iq> is not of type 'command'");
  }
  auto query = OnlyChild(view, iq, "query", &error);
  if (!query) return Refuse(error);
  if (auto ns = query->attributes.find("xmlns");
      ns == query->attributes.end() || ns->second != "iq:command") {
    return Refuse("<query> is not in the iq:command namespace");
  }
  auto command = OnlyChild(view, *query, "Command", &error);
  if (!command) return Refuse(error);

  // Function first, then the parameters by name.
  std::map<std::string, std::string> values;
  std::string function;
  for (size_t i = 0; i < command->children.size(); ++i) {
    const Element child = view.Read(command->children[i]);
    if (!child.children.empty()) return Refuse("<" + child.name + "> holds elements, not a value");
    auto value = DecodeContent(child.content, &error);
    if (!value) return Refuse("<" + child.name + ">: " + error);
    if (i == 0) {
      if (child.name != "Function") return Refuse("<Command> does not begin with <Function>");
      function = *value;
      continue;
    }
    if (!values.emplace(child.name, *value).second) {
      return Refuse("parameter <" + child.name + "> given twice");
    }
  }
  if (command->children.empty()) return Refuse("<Command> is empty");

  struct Signature {
    Function function;
    std::vector<const char*> parameters;
  };
  static const std::map<std::string, Signature> kFunctions = {
      {"StartPlay", {Function::StartPlay, {"Vidout", "Area", "Url"}}},
      {"StopPlay", {Function::StopPlay, {"Vidout", "Area"}}},
      {"Duplicate", {Function::Duplicate, {"Vidoutf", "Areaf", "Vidoutt", "Areat"}}}};
  auto signature = kFunctions.find(function);
  if (signature == kFunctions.end()) return Refuse("unknown function \"" + function + "\"");
  for (const char* name : signature->second.parameters) {
    if (values.find(name) == values.end()) return Refuse(function + " lacks <" + name + ">");
  }
  if (values.size() != signature->second.parameters.size()) {
    for (const auto& [name, value] : values) {
      bool known = false;
      for (const char* p : signature->second.parameters) known = known || name == p;
      if (!known) return Refuse(function + " has no parameter <" + name + ">");
    }
  }

  DecodeResult result;
  Command& out = result.command;
  out.function = signature->second.function;
  auto area = [&](const char* name, int* target) {
    auto parsed = ParseArea(values[name]);
    if (!parsed) {
      error = "<" + std::string(name) + "> is not a whole number: \"" + values[name] + "\"";
      return false;
    }
    *target = *parsed;
    return true;
  };
  switch (out.function) {
    case Function::StartPlay:
      out.vidout = values["Vidout"];
      out.url = values["Url"];
      if (!area("Area", &out.area)) return Refuse(error);
      break;
    case Function::StopPlay:
      out.vidout = values["Vidout"];
      if (!area("Area", &out.area)) return Refuse(error);
      break;
    case Function::Duplicate:
      out.vidout = values["Vidoutf"];
      out.targetVidout = values["Vidoutt"];
      if (!area("Areaf", &out.area) || !area("Areat", &out.targetArea)) return Refuse(error);
      break;
  }
  result.ok = true;
  return result;
}

}  // namespace ostrel::wallsim
