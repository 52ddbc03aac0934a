// Generated benchmark documents of a given size and shape, made once and kept for the run.
#pragma once

#include <cstddef>
#include <string>

namespace ostrel::bench {

enum class Shape { Flat, Deep, AttributeHeavy };

// A document of about `bytes` bytes (a little more, to finish the last element).
const std::string& BenchDocument(Shape shape, std::size_t bytes);

const char* ShapeName(Shape shape);

}  // namespace ostrel::bench
