#include "xml_documents.h"

#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <utility>

namespace ostrel::bench {
namespace {

constexpr const char* kDeclaration = "<?xml version=\"1.0\"?>\r\n";
constexpr int kDeepLevels = 2000;

std::string Flat(std::size_t bytes) {
  std::string out = std::string(kDeclaration) + "<root>\r\n";
  for (std::size_t i = 0; out.size() < bytes; ++i) {
    out +=
        "<item id=\"" + std::to_string(i) + "\">value of item " + std::to_string(i) + "</item>\r\n";
  }
  return out + "</root>\r\n";
}

std::string AttributeHeavy(std::size_t bytes) {
  std::string out = std::string(kDeclaration) + "<root>\r\n";
  for (std::size_t i = 0; out.size() < bytes; ++i) {
    out += "<rec";
    for (int a = 0; a < 10; ++a) {
      const char* quote = a % 2 == 0 ? "'" : "\"";
      out += " attr" + std::to_string(a) + "=" + quote + "v" + std::to_string(i) + "-" +
             std::to_string(a) + quote;
    }
    out += "/>\r\n";
  }
  return out + "</root>\r\n";
}

std::string TextHeavy(std::size_t bytes) {
  std::string out = std::string(kDeclaration) + "<book>\r\n";
  for (std::size_t i = 0; out.size() < bytes; ++i) {
    out += "<p n=\"" + std::to_string(i) +
           "\">The quick brown fox &amp; the lazy dog met at &lt;noon&gt; by the river, where "
           "&quot;nothing&quot; happened &#169; for a while; then it&apos;s paragraph " +
           std::to_string(i) +
           " again, with a little more text to make the run of character data long enough to "
           "matter &#x263A; in the end.</p>\r\n";
  }
  return out + "</book>\r\n";
}

std::string Deep(std::size_t bytes) {
  std::string out = std::string(kDeclaration) + "<root>\r\n";
  while (out.size() < bytes) {
    for (int d = 0; d < kDeepLevels; ++d) out += "<d" + std::to_string(d % 100) + ">";
    out += "leaf";
    for (int d = kDeepLevels - 1; d >= 0; --d) out += "</d" + std::to_string(d % 100) + ">";
    out += "\r\n";
  }
  return out + "</root>\r\n";
}

std::string Mixed(std::size_t bytes) {
  std::string out = std::string(kDeclaration) +
                    "<!DOCTYPE root [\r\n<!ELEMENT root ANY>\r\n<!ELEMENT item (#PCDATA)>\r\n"
                    "<!ATTLIST item id CDATA #IMPLIED>\r\n<!-- a subset with a comment -->\r\n"
                    "<?subset-pi data?>\r\n]>\r\n<root>\r\n";
  for (std::size_t i = 0; out.size() < bytes; ++i) {
    const std::string n = std::to_string(i);
    out += "<!-- comment " + n + " > with a greater-than -->\r\n<?process item=\"" + n +
           "\"?>\r\n<item id=\"" + n + "\"><![CDATA[raw <data> & more " + n +
           "]]></item>\r\n<item id='" + n + "b'>plain " + n + "</item>\r\n";
  }
  return out + "</root>\r\n";
}

// Data-heavy records: short pseudo-random elements side by side with no whitespace between them
// (about 19 bytes per element), some with a value, some empty with an attribute, in a fixed
// pseudo-random order (the same document every run).
std::string Dense(std::size_t bytes) {
  static const char* const kNames[] = {"id",   "name", "time", "value",
                                       "rate", "code", "unit", "qty"};
  std::mt19937 random(20240611);
  const auto pick = [&random](unsigned n) { return static_cast<unsigned>(random() % n); };
  std::string out = std::string(kDeclaration) + "<data>";
  while (out.size() < bytes) {
    const std::string name = kNames[pick(8)];
    const std::string value =
        std::to_string(random() % 1000000u) + "." + std::to_string(random() % 100u);
    switch (pick(8)) {
      case 0:
        out += "<" + name + " k=\"" + value.substr(0, 1 + pick(4)) + "\"/>";
        break;
      case 1:
        out += "<" + name + "/>";
        break;
      default:
        out += "<" + name + ">" + value + "</" + name + ">";
        break;
    }
  }
  return out + "</data>\r\n";
}

}  // namespace

const char* ShapeName(Shape shape) {
  switch (shape) {
    case Shape::Flat:
      return "flat";
    case Shape::AttributeHeavy:
      return "attributes";
    case Shape::TextHeavy:
      return "text";
    case Shape::Deep:
      return "deep";
    case Shape::Dense:
      return "dense";
    default:
      return "mixed";
  }
}

const std::string& BenchDocument(Shape shape, std::size_t bytes) {
  static std::map<std::pair<int, std::size_t>, std::unique_ptr<std::string>> cache;
  auto& slot = cache[{static_cast<int>(shape), bytes}];
  if (!slot) {
    switch (shape) {
      case Shape::Flat:
        slot = std::make_unique<std::string>(Flat(bytes));
        break;
      case Shape::AttributeHeavy:
        slot = std::make_unique<std::string>(AttributeHeavy(bytes));
        break;
      case Shape::TextHeavy:
        slot = std::make_unique<std::string>(TextHeavy(bytes));
        break;
      case Shape::Deep:
        slot = std::make_unique<std::string>(Deep(bytes));
        break;
      case Shape::Mixed:
        slot = std::make_unique<std::string>(Mixed(bytes));
        break;
      case Shape::Dense:
        slot = std::make_unique<std::string>(Dense(bytes));
        break;
    }
  }
  return *slot;
}

std::string FlatWithElements(std::size_t elements) {
  std::string out = std::string(kDeclaration) + "<root>\r\n";
  for (std::size_t i = 0; i < elements; ++i) {
    out +=
        "<item id=\"" + std::to_string(i) + "\">value of item " + std::to_string(i) + "</item>\r\n";
  }
  return out + "</root>\r\n";
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace ostrel::bench
