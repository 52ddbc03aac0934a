#include "xml_documents.h"

#include <map>
#include <memory>
#include <utility>

namespace ostrel::bench {
namespace {

// One element per line under a root: the shape of a command log or a record list.
std::string Flat(std::size_t bytes) {
  std::string out = "<?xml version=\"1.0\"?>\r\n<root>\r\n";
  for (std::size_t i = 0; out.size() < bytes; ++i) {
    out +=
        "<item id=\"" + std::to_string(i) + "\">value of item " + std::to_string(i) + "</item>\r\n";
  }
  out += "</root>\r\n";
  return out;
}

// Chains 64 elements deep, one after the other.
std::string Deep(std::size_t bytes) {
  std::string out = "<?xml version=\"1.0\"?>\r\n<root>";
  while (out.size() < bytes) {
    for (int d = 0; d < 64; ++d) out += "<level" + std::to_string(d) + ">";
    out += "leaf";
    for (int d = 63; d >= 0; --d) out += "</level" + std::to_string(d) + ">";
    out += "\r\n";
  }
  out += "</root>\r\n";
  return out;
}

// Empty elements carrying ten attributes each, in both kinds of quotes.
std::string AttributeHeavy(std::size_t bytes) {
  std::string out = "<?xml version=\"1.0\"?>\r\n<root>\r\n";
  for (std::size_t i = 0; out.size() < bytes; ++i) {
    out += "<rec";
    for (int a = 0; a < 10; ++a) {
      out += " attr" + std::to_string(a) + (a % 2 == 0 ? "='" : "=\"") + "v" + std::to_string(i) +
             "-" + std::to_string(a) + (a % 2 == 0 ? "'" : "\"");
    }
    out += "/>\r\n";
  }
  out += "</root>\r\n";
  return out;
}

}  // namespace

const char* ShapeName(Shape shape) {
  switch (shape) {
    case Shape::Flat:
      return "flat";
    case Shape::Deep:
      return "deep";
    default:
      return "attributes";
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
      case Shape::Deep:
        slot = std::make_unique<std::string>(Deep(bytes));
        break;
      case Shape::AttributeHeavy:
        slot = std::make_unique<std::string>(AttributeHeavy(bytes));
        break;
    }
  }
  return *slot;
}

}  // namespace ostrel::bench
