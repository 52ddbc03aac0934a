// Writes the seed corpora of the robustness fuzz targets, each in its target's input format:
//   make_seeds <output directory> [<conformance suite directory>]
// Under the output directory it fills fuzz_set_text/, fuzz_element_creation/, fuzz_escaping/,
// fuzz_command_document/ and fuzz_framed_reply/ from documents of the conformance suite (cut to
// kMaxSeed bytes), documents made by the test suite's generator, and hand-picked values and
// replies.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "xml/document_generator.h"

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxSeed = 4096;
constexpr int kCodePageSelectors = 5;  // single-byte, 932, 936, 949, 950

class SeedWriter {
 public:
  explicit SeedWriter(fs::path directory) : directory_(std::move(directory)) {
    fs::create_directories(directory_);
  }
  void Write(const std::string& bytes) {
    std::ofstream out(directory_ / ("seed-" + std::to_string(count_++)), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  int count() const { return count_; }

 private:
  fs::path directory_;
  int count_ = 0;
};

std::vector<std::string> SuiteDocuments(const fs::path& root) {
  std::vector<std::string> documents;
  if (root.empty() || !fs::is_directory(root)) {
    return documents;
  }
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    const std::string extension = entry.path().extension().string();
    if (!entry.is_regular_file() || (extension != ".xml" && extension != ".ent" &&
                                     extension != ".dtd" && extension != ".xsl")) {
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.size() > kMaxSeed) {
      text.resize(kMaxSeed);
    }
    documents.push_back(std::move(text));
  }
  return documents;
}

std::string RandomBytes(std::mt19937& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

void SetTextSeeds(const fs::path& out, const std::vector<std::string>& suite) {
  SeedWriter writer(out / "fuzz_set_text");
  int i = 0;
  for (const std::string& text : suite) {
    writer.Write(std::string(1, static_cast<char>(i++ % kCodePageSelectors)) + text);
  }
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    ostrel::xml::testing::DocumentGenerator generator(seed);
    const char selector = static_cast<char>(seed % kCodePageSelectors | (seed % 7 == 0 ? 8 : 0));
    writer.Write(selector + generator.WellFormed(4, 4).text);
    writer.Write(selector + generator.IllFormed(4, 4));
  }
  std::printf("fuzz_set_text: %d seeds\n", writer.count());
}

// FuzzedDataProvider reads strings from the front and numbers from the back, so a document in
// front of a run of random bytes gives a raw starting text and random steps.
void ElementCreationSeeds(const fs::path& out, const std::vector<std::string>& suite) {
  SeedWriter writer(out / "fuzz_element_creation");
  std::mt19937 random(7);
  for (std::size_t i = 0; i < suite.size(); i += 4) {
    writer.Write(suite[i].substr(0, 512) + RandomBytes(random, 64 + random() % 256));
  }
  for (int i = 0; i < 400; ++i) {
    writer.Write(RandomBytes(random, 32 + random() % 480));
  }
  std::printf("fuzz_element_creation: %d seeds\n", writer.count());
}

void EscapingSeeds(const fs::path& out, const std::vector<std::string>& suite) {
  SeedWriter writer(out / "fuzz_escaping");
  static const char* const kValues[] = {
      "a<b",        "x&y",       "&lt;",          "'\"",         "]]>",     "&amp;",     "&#38;",
      "&#x26;",     "&_:a-b.c;", "R&D",           "&a",          "&;",      "&1;",       "&x y;",
      "&\xE9;",     "]]]>",      "x]]>]]>y",      "\r\n\t",      "\x81]]>", "\x82\xA0<", "a]\x81]>",
      "&\x81\x40;", "\x81",      "<![CDATA[x]]>", "&quot;&apos;"};
  static const unsigned kFlags[] = {0x0, 0x08, 0x100, 0x108, 0x1, 0x4000, 0xFFFF};
  for (const char* value : kValues) {
    for (unsigned flags : kFlags) {
      for (int selector = 0; selector < kCodePageSelectors; ++selector) {
        writer.Write(std::string{static_cast<char>(selector), static_cast<char>(flags & 0xFF),
                                 static_cast<char>(flags >> 8)} +
                     value);
      }
    }
  }
  writer.Write(std::string("\0\0\0", 3) + std::string(100, '<'));
  for (std::size_t i = 0; i < suite.size(); i += 8) {
    writer.Write(std::string{static_cast<char>(i % kCodePageSelectors), 0x08, 0x01} +
                 suite[i].substr(0, 256));
  }
  std::printf("fuzz_escaping: %d seeds\n", writer.count());
}

// Numbers come from the back: a few texts in front of random bytes.
void CommandSeeds(const fs::path& out) {
  SeedWriter writer(out / "fuzz_command_document");
  std::mt19937 random(11);
  static const char* const kTexts[] = {
      "1",   "rtsp://10.0.0.1/live?a=1&b=<2>", "\x81\x40\x82", "a]]>b", "\r\n\t", "&amp;", "'\"",
      "\x81"};
  for (const char* first : kTexts) {
    for (const char* second : kTexts) {
      writer.Write(std::string(first) + '\0' + second + RandomBytes(random, 16));
    }
  }
  for (int i = 0; i < 100; ++i) writer.Write(RandomBytes(random, 16 + random() % 300));
  std::printf("fuzz_command_document: %d seeds\n", writer.count());
}

std::string LittleEndian(uint32_t value) {
  return std::string{static_cast<char>(value), static_cast<char>(value >> 8),
                     static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
}

void ReplySeeds(const fs::path& out) {
  SeedWriter writer(out / "fuzz_framed_reply");
  const std::string body = "<iq type='result'/>";
  const std::vector<std::string> replies = {
      LittleEndian(4),
      LittleEndian(0),
      LittleEndian(0) + "ignored",
      LittleEndian(static_cast<uint32_t>(body.size() + 4)) + body,
      LittleEndian(static_cast<uint32_t>(body.size() + 4)) + body + "extra",
      LittleEndian(static_cast<uint32_t>(body.size() + 10)) + body,
      LittleEndian(3),
      LittleEndian(1) + "x",
      LittleEndian(0xFFFFFFFF),
      LittleEndian(1u << 20) + "x",
      LittleEndian((1u << 20) + 1),
      std::string("\x05\x00", 2),
      "",
  };
  for (const std::string& reply : replies) {
    for (char shape : {'\x00', '\x01', '\x13', '\x20', '\x25'}) {
      writer.Write(shape + reply);
    }
  }
  std::printf("fuzz_framed_reply: %d seeds\n", writer.count());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <output directory> [<conformance suite directory>]\n", argv[0]);
    return 2;
  }
  const fs::path out = argv[1];
  const std::vector<std::string> suite = SuiteDocuments(argc > 2 ? fs::path(argv[2]) : fs::path());
  std::printf("conformance suite: %zu documents\n", suite.size());
  SetTextSeeds(out, suite);
  ElementCreationSeeds(out, suite);
  EscapingSeeds(out, suite);
  CommandSeeds(out);
  ReplySeeds(out);
  return 0;
}
