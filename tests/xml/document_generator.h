// Test support: random XML documents from a seed, with the records a correct parse must give
// for the well-formed ones, and random damage for ill-formed ones.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "xml/element_record.h"

namespace ostrel::xml::testing {

struct GeneratedDocument {
  std::string text;
  std::vector<ElementRecord> records;  // index 0 is the document record
};

class DocumentGenerator {
 public:
  explicit DocumentGenerator(uint32_t seed) : random_(seed) {}

  // A well-formed document: prolog, one top-level element, epilog; elements with attributes
  // (some holding '>' in quotes), text, comments, CDATA sections, processing instructions.
  GeneratedDocument WellFormed(int maxDepth, int maxChildren);

  // The same kind of text, damaged: bytes cut out, markup fragments put in, or cut short.
  std::string IllFormed(int maxDepth, int maxChildren);

  uint32_t Next(uint32_t bound) { return static_cast<uint32_t>(random_() % bound); }

 private:
  void Element(int32_t parent, uint32_t level, int depthLeft, int maxChildren);
  void Misc();
  std::string Name();

  std::mt19937 random_;
  GeneratedDocument doc_;
};

}  // namespace ostrel::xml::testing
