// Benchmark inputs: generated documents of a given shape and size, made once and kept for the
// run, and real XML files read from disk.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ostrel::bench {

enum class Shape {
  Flat,            // many small sibling elements, one per line
  AttributeHeavy,  // empty elements with ten attributes each, in both kinds of quotes
  TextHeavy,       // long paragraphs with entity and character references
  Deep,            // element chains 2,000 levels deep
  Mixed,           // comments, CDATA sections, processing instructions, a DOCTYPE subset
  Dense,           // short pseudo-random elements with no whitespace, ~19 bytes each
};

const char* ShapeName(Shape shape);

// A well-formed document of about `bytes` bytes (a little more, to finish the last element).
const std::string& BenchDocument(Shape shape, std::size_t bytes);

// A flat document of exactly `elements` item elements under its root.
std::string FlatWithElements(std::size_t elements);

// One benchmark input: a name for the report and the text.
struct Input {
  std::string name;
  std::string origin;  // "generated" or the file's path
  const std::string* text;
  std::size_t elements = 0;  // filled in once the inputs are chosen
};

// The whole content of a file; empty if it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace ostrel::bench
