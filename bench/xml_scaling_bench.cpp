// How the XML document scales: SetText time against text size (1 KB to 128 MB: it should be
// linear, so bytes per second stays flat), appending N children to one element (N = 1e3 to 1e6:
// the time per element should stay flat), and heap against element count, for both.
#include <benchmark/benchmark.h>

#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "heap_meter.h"
#include "xml/xml_document.h"
#include "xml_documents.h"

namespace {

using ostrel::xml::kAsChild;
using ostrel::xml::XmlDocument;

#if defined(__GLIBC__)
const bool kWarmHeap = [] {
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  return true;
}();
#endif

// SetText on a fresh flat document of range(0) bytes.
void SetTextBySize(benchmark::State& state) {
  const std::string& text = ostrel::bench::BenchDocument(ostrel::bench::Shape::Flat,
                                                         static_cast<std::size_t>(state.range(0)));
  int32_t elements = 0;
  const std::int64_t peak = ostrel::bench::PeakExtraHeap([&] {
    XmlDocument doc;
    doc.SetText(text.c_str());
    elements = doc.NextFree() - 1;
  });
  for (auto _ : state) {
    XmlDocument doc;
    benchmark::DoNotOptimize(doc.SetText(text.c_str()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["input_bytes"] = static_cast<double>(text.size());
  state.counters["elements"] = elements;
  state.counters["peak_heap"] = static_cast<double>(peak);
}
BENCHMARK(SetTextBySize)
    ->Unit(benchmark::kMicrosecond)
    ->Arg(1 << 10)
    ->Arg(16 << 10)
    ->Arg(256 << 10)
    ->Arg(4 << 20)
    ->Arg(32 << 20)
    ->Arg(128 << 20);

// SetText on a flat document of exactly range(0) elements: heap against element count.
void SetTextByElements(benchmark::State& state) {
  const std::string text =
      ostrel::bench::FlatWithElements(static_cast<std::size_t>(state.range(0)));
  const std::int64_t peak = ostrel::bench::PeakExtraHeap([&] {
    XmlDocument doc;
    doc.SetText(text.c_str());
  });
  for (auto _ : state) {
    XmlDocument doc;
    benchmark::DoNotOptimize(doc.SetText(text.c_str()));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.counters["input_bytes"] = static_cast<double>(text.size());
  state.counters["elements"] = static_cast<double>(state.range(0));
  state.counters["peak_heap"] = static_cast<double>(peak);
}
BENCHMARK(SetTextByElements)
    ->Unit(benchmark::kMicrosecond)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000);

void Append(std::int64_t n) {
  XmlDocument doc;
  doc.SetText("<?xml version=\"1.0\"?>\r\n");
  doc.InsertElement("root", nullptr, 0);
  for (std::int64_t i = 0; i < n; ++i) doc.InsertElement("item", "value", kAsChild);
  benchmark::DoNotOptimize(doc.Text().size());
}

// Appending range(0) children to one element, each after the one before.
void AppendChildren(benchmark::State& state) {
  const std::int64_t n = state.range(0);
  const std::int64_t peak = ostrel::bench::PeakExtraHeap([&] { Append(n); });
  for (auto _ : state) Append(n);
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["elements"] = static_cast<double>(n);
  state.counters["peak_heap"] = static_cast<double>(peak);
}
BENCHMARK(AppendChildren)->Unit(benchmark::kMicrosecond)->RangeMultiplier(10)->Range(1000, 1000000);

}  // namespace
