// Parse throughput and peak extra heap of the XML document's SetText beside its peers, on
// generated documents and on real XML files given on the command line (--file=PATH, repeatable).
// --input=NAME keeps one input (a generated one by name, a file by its base name) and makes no
// other: scripts/bench.sh runs one input at a time, so that the rows compared with each other
// take turns within seconds and a spell of load on the machine falls on all of them alike.
// Every row parses the same bytes held in memory and builds what it builds (ours: the element
// records) into a fresh document that it then destroys. Rows: ours; pugixml default and minimal;
// rapidxml non-destructive (in place over the caller's buffer, no copy); tinyxml2; expat (a
// parse with no handlers); libxml2's xmlReadMemory; and two floors that only read the bytes (a
// 256-entry table look-up per byte, and memchr for '<').
#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>
#include <tinyxml2.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <pugixml.hpp>
#include <rapidxml/rapidxml.hpp>
#include <string>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "command/command_document.h"
#include "heap_meter.h"
#include "xml/block_index.h"
#include "xml/stop_list.h"
#include "xml/xml_document.h"
#include "xml_documents.h"

namespace {

using ostrel::bench::Input;

constexpr std::size_t kMB = 1024 * 1024;

#if defined(__GLIBC__)
// Freed memory stays in the process, so that every row runs on warm pages: a fresh page costs
// a fault, which would otherwise charge each row for the footprint of the row before it.
const bool kWarmHeap = [] {
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  return true;
}();
#endif

// One row: parses the text into a fresh document and destroys it; true when the parser
// accepted the text.
using Parse = std::function<bool(const std::string&)>;

struct Row {
  const char* name;
  Parse parse;
};

bool OstrelSetText(const std::string& text) {
  ostrel::xml::XmlDocument doc;
  const bool ok = doc.SetText(text.c_str());
  benchmark::DoNotOptimize(doc.NextFree());
  return ok;
}

bool Pugixml(const std::string& text, unsigned options) {
  pugi::xml_document doc;
  const pugi::xml_parse_result result = doc.load_buffer(text.data(), text.size(), options);
  return static_cast<bool>(result);
}

bool Rapidxml(const std::string& text) {
  rapidxml::xml_document<char> doc;
  try {
    // Non-destructive: the buffer is read, never written.
    doc.parse<rapidxml::parse_non_destructive>(const_cast<char*>(text.c_str()));
  } catch (const rapidxml::parse_error&) {
    return false;
  }
  benchmark::DoNotOptimize(doc.first_node());
  return true;
}

bool Tinyxml2(const std::string& text) {
  tinyxml2::XMLDocument doc;
  return doc.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS;
}

bool Expat(const std::string& text) {
  XML_Parser parser = XML_ParserCreate(nullptr);
  const bool ok =
      XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return ok;
}

bool Libxml2(const std::string& text) {
  xmlDocPtr doc =
      xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                    XML_PARSE_HUGE | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) return false;
  xmlFreeDoc(doc);
  return true;
}

bool TableLoop(const std::string& text) {
  static const auto table = [] {
    std::array<unsigned char, 256> t{};
    for (unsigned char c : std::string("<>&\"' \t\r\n")) t[c] = 1;
    return t;
  }();
  std::size_t marked = 0;
  for (unsigned char c : text) marked += table[c];
  benchmark::DoNotOptimize(marked);
  return true;
}

bool MemchrLoop(const std::string& text) {
  std::size_t count = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  while ((p = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p))))) {
    ++count;
    ++p;
  }
  benchmark::DoNotOptimize(count);
  return true;
}

std::vector<Row> Rows() {
  return {
      {"ostrel", OstrelSetText},
      {"pugixml", [](const std::string& t) { return Pugixml(t, pugi::parse_default); }},
      {"pugixml-minimal", [](const std::string& t) { return Pugixml(t, pugi::parse_minimal); }},
      {"rapidxml", Rapidxml},
      {"tinyxml2", Tinyxml2},
      {"expat", Expat},
      {"libxml2", Libxml2},
      {"table-loop", TableLoop},
      {"memchr", MemchrLoop},
  };
}

void RunRow(benchmark::State& state, const Row& row, const Input& input) {
  // Peak extra heap of one parse, measured once per row and input, outside the timing.
  static std::map<std::string, std::pair<std::int64_t, bool>> measured;
  const std::string key = std::string(row.name) + "/" + input.name;
  auto found = measured.find(key);
  if (found == measured.end()) {
    bool ok = false;
    const std::int64_t peak = ostrel::bench::PeakExtraHeap([&] { ok = row.parse(*input.text); });
    found = measured.emplace(key, std::make_pair(peak, ok)).first;
  }
  bool ok = true;
  for (auto _ : state) ok = row.parse(*input.text) && ok;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * input.text->size()));
  state.counters["input_bytes"] = static_cast<double>(input.text->size());
  state.counters["peak_heap"] = static_cast<double>(found->second.first);
  state.counters["ok"] = found->second.second && ok ? 1 : 0;
  state.counters["elements"] = static_cast<double>(input.elements);
}

// How many elements the text holds: the floor of what a parse that indexes them must store.
std::size_t CountElements(const std::string& text) {
  ostrel::xml::XmlDocument doc;
  doc.SetText(text.c_str());
  return static_cast<std::size_t>(doc.NextFree() - 1);
}

// The command document a controller is sent most: start play, as composed by the library.
const std::string& CommandDocument() {
  static const std::string text = ostrel::command::ComposeStartPlay("1", 2, "stream01");
  return text;
}

// The byte-finding paths this processor runs, in the run's context: the widest lister is the
// one the parse uses (blocks are classified with SSE2 alone).
void ReportCpuPaths() {
#ifdef OSTREL_XML_BLOCK_INDEX
  namespace block_index = ostrel::xml::block_index;
  block_index::NamedStopLister listers[4];
  const int lister_count = block_index::SupportedStopListers(listers, 4);
  benchmark::AddCustomContext("xml_block_classifier", "sse2");
  benchmark::AddCustomContext("xml_stop_lister", listers[lister_count - 1].name);
#else
  benchmark::AddCustomContext("xml_block_classifier", "none (byte table)");
  benchmark::AddCustomContext("xml_stop_lister", "none");
#endif
}

// The inputs, all of them or the one named `only` (empty: all); only those kept are made or read.
std::vector<Input> Inputs(const std::vector<std::string>& files, const std::string& only) {
  using ostrel::bench::BenchDocument;
  using ostrel::bench::Shape;
  const auto wanted = [&only](const std::string& name) { return only.empty() || only == name; };
  const std::pair<const char*, std::pair<Shape, std::size_t>> generated[] = {
      {"flat-1MB", {Shape::Flat, 1 * kMB}},
      {"flat-16MB", {Shape::Flat, 16 * kMB}},
      {"flat-128MB", {Shape::Flat, 128 * kMB}},
      {"attributes-16MB", {Shape::AttributeHeavy, 16 * kMB}},
      {"text-16MB", {Shape::TextHeavy, 16 * kMB}},
      {"deep-16MB", {Shape::Deep, 16 * kMB}},
      {"mixed-16MB", {Shape::Mixed, 16 * kMB}},
      {"dense-1KB", {Shape::Dense, 1024}},
      {"dense-1MB", {Shape::Dense, 1 * kMB}},
      {"dense-16MB", {Shape::Dense, 16 * kMB}},
      {"dense-128MB", {Shape::Dense, 128 * kMB}},
  };
  std::vector<Input> inputs;
  if (wanted("command-201B")) inputs.push_back({"command-201B", "generated", &CommandDocument()});
  for (const auto& [name, shape] : generated) {
    if (wanted(name))
      inputs.push_back({name, "generated", &BenchDocument(shape.first, shape.second)});
  }
  static std::vector<std::unique_ptr<std::string>> contents;
  for (const std::string& path : files) {
    const std::size_t slash = path.find_last_of('/');
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (!wanted(name)) continue;
    auto content = std::make_unique<std::string>(ostrel::bench::ReadWholeFile(path));
    if (content->empty()) {
      std::fprintf(stderr, "xml_parse_bench: cannot read %s, left out\n", path.c_str());
      continue;
    }
    inputs.push_back({name, path, content.get()});
    contents.push_back(std::move(content));
  }
  for (Input& input : inputs) input.elements = CountElements(*input.text);
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::string> files;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--file=", 7) == 0) {
      files.push_back(argv[i] + 7);
    } else if (std::strncmp(argv[i], "--input=", 8) == 0) {
      only = argv[i] + 8;
    } else {
      std::fprintf(stderr, "xml_parse_bench: unknown argument %s\n", argv[i]);
      return 1;
    }
  }
  xmlInitParser();
  ReportCpuPaths();
  static const std::vector<Row> rows = Rows();
  static const std::vector<Input> inputs = Inputs(files, only);
  if (inputs.empty()) {
    std::fprintf(stderr, "xml_parse_bench: no input named %s\n", only.c_str());
    return 1;
  }
  for (const Input& input : inputs) {
    for (const Row& row : rows) {
      auto* b = benchmark::RegisterBenchmark(
          ("parse/" + std::string(row.name) + "/" + input.name).c_str(),
          [&row, &input](benchmark::State& state) { RunRow(state, row, input); });
      b->Unit(benchmark::kMillisecond);
      // The largest inputs: one parse per repetition keeps the run short.
      if (input.text->size() >= 64 * kMB) b->Iterations(1);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  xmlCleanupParser();
  return 0;
}
