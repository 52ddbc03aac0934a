// Composing and framing the start-play command (video output "1", area 2, URL "stream01": the
// 205-byte frame): the library's composition through its XML document beside hand-written
// versions with snprintf and appends (one of them in a single reserved buffer), a pugixml tree
// saved to a string, and a tinyxml2 document printed to a string. Each builds the document and its
// 4-byte length prefix. Each row also counts its heap allocations per iteration (operator new is
// replaced by a counting one), and one row reads the composed document back into a new document.
#include <benchmark/benchmark.h>
#include <tinyxml2.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <pugixml.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "command/command_document.h"
#include "xml/xml_document.h"

namespace {
// Calls of operator new in the process; one thread allocates here.
std::int64_t allocations = 0;
}  // namespace

// Out of line, so that the compiler never sees free() meet a block from operator new.
[[gnu::noinline]] void* operator new(std::size_t size) {
  ++allocations;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept { std::free(block); }
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

constexpr const char* kVidout = "1";
constexpr int kArea = 2;
constexpr const char* kUrl = "stream01";

// Heap allocations of one call of fn (operator new; the C allocation functions of pugixml and
// tinyxml2 are not counted).
template <class Fn>
double AllocationsOf(Fn&& fn) {
  const std::int64_t before = allocations;
  fn();
  return static_cast<double>(allocations - before);
}

std::vector<unsigned char> Frame(const char* text, std::size_t size) {
  std::vector<unsigned char> frame(size + 4);
  const auto total = static_cast<std::uint32_t>(size + 4);
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<unsigned char>(total >> (8 * i));
  std::copy(text, text + size, frame.begin() + 4);
  return frame;
}

std::size_t OstrelCompose() {
  const std::vector<unsigned char> frame =
      ostrel::command::FrameDocument(ostrel::command::ComposeStartPlay(kVidout, kArea, kUrl));
  benchmark::DoNotOptimize(frame.data());
  return frame.size();
}

// What a hand-written composer does: the text built with snprintf and appends (the values
// would be escaped; these need none), then framed.
std::size_t Snprintf() {
  std::string text = "<?xml version=\"1.0\"?>\r\n<iq type='command'>\r\n";
  text += "<query xmlns='iq:command'>\r\n<Command>\r\n<Function>StartPlay</Function>\r\n";
  char line[320];
  int n = std::snprintf(line, sizeof line, "<Vidout>%s</Vidout>\r\n<Area>%d</Area>\r\n", kVidout,
                        kArea);
  text.append(line, static_cast<std::size_t>(n));
  n = std::snprintf(line, sizeof line, "<Url>%s</Url>\r\n", kUrl);
  text.append(line, static_cast<std::size_t>(n));
  text += "</Command>\r\n</query>\r\n</iq>\r\n";
  const std::vector<unsigned char> frame = Frame(text.data(), text.size());
  benchmark::DoNotOptimize(frame.data());
  return frame.size();
}

// The stricter floor: the frame built in place in one reserved buffer, its length prefix
// written last, the literal pieces appended and the area number written with snprintf: one
// allocation and no copy of the document.
std::size_t Reserved() {
  constexpr std::size_t kRoom = 256;
  std::string frame;
  frame.reserve(kRoom);
  frame.append(4, '\0');
  frame += "<?xml version=\"1.0\"?>\r\n<iq type='command'>\r\n";
  frame += "<query xmlns='iq:command'>\r\n<Command>\r\n<Function>StartPlay</Function>\r\n";
  frame += "<Vidout>";
  frame += kVidout;
  frame += "</Vidout>\r\n<Area>";
  char digits[16];
  const int n = std::snprintf(digits, sizeof digits, "%d", kArea);
  frame.append(digits, static_cast<std::size_t>(n));
  frame += "</Area>\r\n<Url>";
  frame += kUrl;
  frame += "</Url>\r\n</Command>\r\n</query>\r\n</iq>\r\n";
  const auto total = static_cast<std::uint32_t>(frame.size());
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>(total >> (8 * i));
  benchmark::DoNotOptimize(frame.data());
  return frame.size();
}

// A small document's whole life: a new document, SetText of the composed start-play command,
// and its end.
std::size_t SmallDocument() {
  static const std::string text = ostrel::command::ComposeStartPlay(kVidout, kArea, kUrl);
  ostrel::xml::XmlDocument doc;
  benchmark::DoNotOptimize(doc.SetText(text.c_str()));
  return text.size();
}

// Runs one row, with its frame size and its heap allocations per iteration as counters.
void RunCounted(benchmark::State& state, std::size_t (*row)(), const char* size_name) {
  std::size_t size = 0;
  const double counted = AllocationsOf([&] { size = row(); });
  for (auto _ : state) size = row();
  state.counters[size_name] = static_cast<double>(size);
  state.counters["allocations"] = counted;
}

void OstrelComposeAndFrame(benchmark::State& state) {
  RunCounted(state, OstrelCompose, "frame_bytes");
}
BENCHMARK(OstrelComposeAndFrame);

void HandWrittenSnprintf(benchmark::State& state) { RunCounted(state, Snprintf, "frame_bytes"); }
BENCHMARK(HandWrittenSnprintf);

void HandWrittenReserved(benchmark::State& state) { RunCounted(state, Reserved, "frame_bytes"); }
BENCHMARK(HandWrittenReserved);

void OstrelSmallDocument(benchmark::State& state) {
  RunCounted(state, SmallDocument, "document_bytes");
}
BENCHMARK(OstrelSmallDocument);

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void* data, size_t size) override {
    out.append(static_cast<const char*>(data), size);
  }
};

void PugixmlTreeAndSave(benchmark::State& state) {
  std::size_t size = 0;
  for (auto _ : state) {
    pugi::xml_document doc;
    pugi::xml_node declaration = doc.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    pugi::xml_node iq = doc.append_child("iq");
    iq.append_attribute("type") = "command";
    pugi::xml_node query = iq.append_child("query");
    query.append_attribute("xmlns") = "iq:command";
    pugi::xml_node command = query.append_child("Command");
    command.append_child("Function").text() = "StartPlay";
    command.append_child("Vidout").text() = kVidout;
    command.append_child("Area").text() = kArea;
    command.append_child("Url").text() = kUrl;
    StringWriter writer;
    doc.save(writer, "", pugi::format_default, pugi::encoding_utf8);
    const std::vector<unsigned char> frame = Frame(writer.out.data(), writer.out.size());
    size = frame.size();
    benchmark::DoNotOptimize(frame.data());
  }
  state.counters["frame_bytes"] = static_cast<double>(size);
}
BENCHMARK(PugixmlTreeAndSave);

void Tinyxml2TreeAndPrint(benchmark::State& state) {
  std::size_t size = 0;
  for (auto _ : state) {
    tinyxml2::XMLDocument doc;
    doc.InsertEndChild(doc.NewDeclaration("xml version=\"1.0\""));
    tinyxml2::XMLElement* iq = doc.NewElement("iq");
    iq->SetAttribute("type", "command");
    doc.InsertEndChild(iq);
    tinyxml2::XMLElement* query = iq->InsertNewChildElement("query");
    query->SetAttribute("xmlns", "iq:command");
    tinyxml2::XMLElement* command = query->InsertNewChildElement("Command");
    command->InsertNewChildElement("Function")->SetText("StartPlay");
    command->InsertNewChildElement("Vidout")->SetText(kVidout);
    command->InsertNewChildElement("Area")->SetText(kArea);
    command->InsertNewChildElement("Url")->SetText(kUrl);
    tinyxml2::XMLPrinter printer;
    doc.Print(&printer);
    const std::vector<unsigned char> frame =
        Frame(printer.CStr(), static_cast<std::size_t>(printer.CStrSize() - 1));
    size = frame.size();
    benchmark::DoNotOptimize(frame.data());
  }
  state.counters["frame_bytes"] = static_cast<double>(size);
}
BENCHMARK(Tinyxml2TreeAndPrint);

}  // namespace
