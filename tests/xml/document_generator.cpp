#include "xml/document_generator.h"

namespace ostrel::xml::testing {
namespace {

const char* const kNames[] = {"a", "b", "item", "x:y", "_z", "Q", "a-b", "ab", "long.name"};
const char* const kAttributes[] = {
    "", " k='v'", " k=\"v>w\"", " k='1' l=\"2\"", "\t\r\nk='>'", " ", " x='\"' y=\"'\""};
const char* const kMisc[] = {
    "text",  " ",   "\r\n", "<!-- c > d -->", "<![CDATA[<b>]]]>", "<?pi x?>",
    "&amp;", "a>b", "\t",   "<!---->"};
const char* const kJunk[] = {"<",   "</b>", "<!",      "<a",        "</", ">",  "<![", "<!--", "<?",
                             "<1>", "<b>",  "</item>", "<!DOCTYPE", "'",  "\"", "/>",  "<x/>"};

}  // namespace

std::string DocumentGenerator::Name() { return kNames[Next(sizeof kNames / sizeof *kNames)]; }

void DocumentGenerator::Misc() { doc_.text += kMisc[Next(sizeof kMisc / sizeof *kMisc)]; }

void DocumentGenerator::Element(int32_t parent, uint32_t level, int depthLeft, int maxChildren) {
  const int32_t index = static_cast<int32_t>(doc_.records.size());
  ElementRecord record{};
  record.start = static_cast<int32_t>(doc_.text.size());
  record.parent = parent;
  record.flags = level;
  doc_.records.push_back(record);

  // Link as the last child of parent, as the parse does.
  ElementRecord& p = doc_.records[static_cast<size_t>(parent)];
  if (p.first_child == 0) {
    p.first_child = index;
    doc_.records[static_cast<size_t>(index)].prev = index;
    doc_.records[static_cast<size_t>(index)].flags |= ElementRecord::kIsFirstChild;
  } else {
    ElementRecord& head = doc_.records[static_cast<size_t>(p.first_child)];
    const int32_t last = head.prev;
    doc_.records[static_cast<size_t>(last)].next = index;
    doc_.records[static_cast<size_t>(index)].prev = last;
    head.prev = index;
  }

  const std::string name = Name();
  doc_.text += "<" + name + kAttributes[Next(sizeof kAttributes / sizeof *kAttributes)];
  const bool empty = depthLeft == 0 || Next(3) == 0;
  if (empty) {
    doc_.text += Next(2) == 0 ? "/>" : " />";
    const int32_t length = static_cast<int32_t>(doc_.text.size()) - record.start;
    ElementRecord& r = doc_.records[static_cast<size_t>(index)];
    r.length = length;
    r.SetStartTagLength(length);
    return;
  }
  doc_.text += ">";
  const int32_t startTag = static_cast<int32_t>(doc_.text.size()) - record.start;
  const int children = static_cast<int>(Next(static_cast<uint32_t>(maxChildren) + 1));
  for (int i = 0; i < children; ++i) {
    if (Next(3) == 0) {
      Misc();
    } else {
      Element(index, level + 1, depthLeft - 1, maxChildren);
    }
  }
  const size_t endStart = doc_.text.size();
  doc_.text += "</" + name + (Next(4) == 0 ? " >" : ">");
  ElementRecord& r = doc_.records[static_cast<size_t>(index)];
  r.length = static_cast<int32_t>(doc_.text.size()) - record.start;
  r.SetStartTagLength(startTag);
  r.SetEndTagLength(static_cast<int32_t>(doc_.text.size() - endStart));
}

GeneratedDocument DocumentGenerator::WellFormed(int maxDepth, int maxChildren) {
  doc_ = GeneratedDocument();
  doc_.records.push_back(ElementRecord{});
  if (Next(2) == 0) doc_.text += "<?xml version=\"1.0\"?>\r\n";
  if (Next(3) == 0) doc_.text += "<!DOCTYPE r [ <!ELEMENT r ANY> <!ATTLIST r k CDATA '>'> ]>\n";
  if (Next(2) == 0) Misc();
  Element(0, 0, maxDepth, maxChildren);
  if (Next(2) == 0) doc_.text += "\r\n<!-- end -->";
  doc_.records[0].length = static_cast<int32_t>(doc_.text.size());
  return doc_;
}

std::string DocumentGenerator::IllFormed(int maxDepth, int maxChildren) {
  std::string text = WellFormed(maxDepth, maxChildren).text;
  const int damage = 1 + static_cast<int>(Next(4));
  for (int i = 0; i < damage; ++i) {
    const size_t at = Next(static_cast<uint32_t>(text.size() + 1));
    switch (Next(3)) {
      case 0:
        text.erase(at, Next(6));
        break;
      case 1:
        text.insert(at, kJunk[Next(sizeof kJunk / sizeof *kJunk)]);
        break;
      default:
        text.resize(at);
        break;
    }
  }
  return text;
}

}  // namespace ostrel::xml::testing
