// Parse throughput of generated documents (1, 16, 128 MB; flat, deep, attribute-heavy), ours
// beside pugixml's default parse of the same buffers. Bytes per second is the number to read.
#include <benchmark/benchmark.h>

#include <pugixml.hpp>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "xml/scanner.h"
#include "xml/xml_document.h"
#include "xml_documents.h"

namespace {

using ostrel::bench::BenchDocument;
using ostrel::bench::Shape;

constexpr std::size_t kMB = 1024 * 1024;

#if defined(__GLIBC__)
// Freed memory stays in the process, so that every parser runs on warm pages: without this the
// numbers of both sides swing by a factor of three with the kernel's page faults for fresh
// mappings, depending on which benchmark ran before.
const bool kWarmHeap = [] {
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  return true;
}();
#endif

void Label(benchmark::State& state, Shape shape, std::size_t size) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  state.SetLabel(std::string(ostrel::bench::ShapeName(shape)) + " " +
                 std::to_string(state.range(0)) + " MB");
}

// SetText on a fresh document, as pugixml parses into a fresh one: copies the text in, scans
// it, builds the records, judges it.
void OstrelSetText(benchmark::State& state, Shape shape) {
  const std::string& text = BenchDocument(shape, static_cast<std::size_t>(state.range(0)) * kMB);
  int32_t elements = 0;
  for (auto _ : state) {
    ostrel::xml::XmlDocument doc;
    bool ok = doc.SetText(text.c_str());
    benchmark::DoNotOptimize(ok);
    if (!ok) state.SkipWithError(doc.ErrorText().c_str());
    elements = doc.NextFree() - 1;
  }
  state.counters["elements"] = elements;
  Label(state, shape, text.size());
}

// SetText again on the same document: its text storage and record store are reused.
void OstrelSetTextReused(benchmark::State& state, Shape shape) {
  const std::string& text = BenchDocument(shape, static_cast<std::size_t>(state.range(0)) * kMB);
  ostrel::xml::XmlDocument doc;
  for (auto _ : state) {
    bool ok = doc.SetText(text.c_str());
    benchmark::DoNotOptimize(ok);
    if (!ok) state.SkipWithError(doc.ErrorText().c_str());
  }
  Label(state, shape, text.size());
}

// The scanner alone over the same text: the ceiling for the parse.
void OstrelScanOnly(benchmark::State& state, Shape shape) {
  const std::string& text = BenchDocument(shape, static_cast<std::size_t>(state.range(0)) * kMB);
  for (auto _ : state) {
    ostrel::xml::ScanCursor cursor;
    cursor.text = text.c_str();
    ostrel::xml::NodeToken token;
    int64_t nodes = 0;
    while (ostrel::xml::ScanNode(cursor, token) != ostrel::xml::NodeType::EndOfDocument) ++nodes;
    benchmark::DoNotOptimize(nodes);
  }
  Label(state, shape, text.size());
}

// pugixml's default parse (escapes, end-of-line handling, CDATA), copying the buffer in.
void PugixmlLoadBuffer(benchmark::State& state, Shape shape) {
  const std::string& text = BenchDocument(shape, static_cast<std::size_t>(state.range(0)) * kMB);
  for (auto _ : state) {
    pugi::xml_document doc;
    pugi::xml_parse_result result = doc.load_buffer(text.data(), text.size());
    benchmark::DoNotOptimize(result);
    if (!result) state.SkipWithError(result.description());
  }
  Label(state, shape, text.size());
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond);
  b->Arg(1)->Arg(16);
}

void Large(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->Arg(128)->Iterations(2);
}

#define SHAPE_BENCHMARKS(fn)                                              \
  BENCHMARK_CAPTURE(fn, flat, Shape::Flat)->Apply(Sizes);                 \
  BENCHMARK_CAPTURE(fn, flat, Shape::Flat)->Apply(Large);                 \
  BENCHMARK_CAPTURE(fn, deep, Shape::Deep)->Apply(Sizes);                 \
  BENCHMARK_CAPTURE(fn, deep, Shape::Deep)->Apply(Large);                 \
  BENCHMARK_CAPTURE(fn, attributes, Shape::AttributeHeavy)->Apply(Sizes); \
  BENCHMARK_CAPTURE(fn, attributes, Shape::AttributeHeavy)->Apply(Large)

SHAPE_BENCHMARKS(OstrelSetText);
SHAPE_BENCHMARKS(PugixmlLoadBuffer);
SHAPE_BENCHMARKS(OstrelSetTextReused);
SHAPE_BENCHMARKS(OstrelScanOnly);

}  // namespace
