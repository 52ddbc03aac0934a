// Element creation: appending N children to one element costs the same per element whatever N
// (items per second stays flat from 1e3 to 1e6). Inserting each new child at the front moves
// the whole text and shifts every following record each time, so it is quadratic by design:
// its per-element cost grows with N.
#include <benchmark/benchmark.h>

#include "xml/xml_document.h"

namespace {

using ostrel::xml::AsChild;
using ostrel::xml::InsertBefore;
using ostrel::xml::XmlDocument;

void StartDocument(XmlDocument& doc) {
  doc.SetText("<?xml version=\"1.0\"?>\r\n");
  doc.InsertElement("root", nullptr, 0);
}

void AppendChildren(benchmark::State& state) {
  const int64_t n = state.range(0);
  for (auto _ : state) {
    XmlDocument doc;
    StartDocument(doc);
    for (int64_t i = 0; i < n; ++i) doc.InsertElement("item", "value", AsChild);
    benchmark::DoNotOptimize(doc.Text().size());
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(AppendChildren)->Unit(benchmark::kMillisecond)->RangeMultiplier(10)->Range(1000, 1000000);

void InsertChildrenAtTheFront(benchmark::State& state) {
  const int64_t n = state.range(0);
  for (auto _ : state) {
    XmlDocument doc;
    StartDocument(doc);
    doc.InsertElement("item", "value", AsChild);
    for (int64_t i = 1; i < n; ++i) doc.InsertElement("item", "value", AsChild | InsertBefore);
    benchmark::DoNotOptimize(doc.Text().size());
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(InsertChildrenAtTheFront)
    ->Unit(benchmark::kMillisecond)
    ->Arg(1000)
    ->Arg(4000)
    ->Arg(16000);

}  // namespace
