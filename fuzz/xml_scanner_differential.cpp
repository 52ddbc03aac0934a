// The fast scanner against the byte-by-byte machine. Each input is a document text (up to its
// first NUL), read under every supported code page:
// - token by token: ScanNode (tag and text fast paths) and ScanNode through the parse's block
//   index, each beside the general machine: type, offsets, flags, name or message, cursor;
// - record by record: SetText beside SetTextByteByByte, the same parse with every node read by
//   the general machine: result, message, every record; the invariant checker on the result.
//   Under the single-byte code page once more with the smallest stop-list chunk, so that the
//   list crosses chunk borders inside tags, values and passed-over nodes.
// The first byte of the input chooses the document options (bit 3: case-insensitive end tags).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/mbcs.h"
#include "xml/byte_by_byte_parse.h"
#include "xml/invariant_checker.h"
#include "xml/scanner.h"
#include "xml/stop_list.h"
#include "xml/xml_document.h"

namespace {

using namespace ostrel::xml;

const int kCodePages[] = {0, 932, 936, 949, 950};

[[noreturn]] void Differ(const char* what, const std::string& text, int codePage, int32_t at) {
  std::fprintf(stderr, "difference in %s under code page %d at offset %d; text (%zu bytes):\n",
               what, codePage, static_cast<int>(at), text.size());
  for (unsigned char c : text) std::fprintf(stderr, "%02X", c);
  std::fprintf(stderr, "\n");
  std::abort();
}

bool SameNode(NodeType a, const NodeToken& ta, const ScanCursor& ca, NodeType b,
              const NodeToken& tb, const ScanCursor& cb) {
  return a == b && ta.type == tb.type && ta.start == tb.start && ta.length == tb.length &&
         ta.flags == tb.flags && ta.text == tb.text && ca.next == cb.next &&
         ca.name_start == cb.name_start && ca.name_end == cb.name_end;
}

template <class Scan>
void CompareTokens(const std::string& text, int codePage, const char* what, Scan fast) {
  ScanCursor fastCursor, plainCursor;
  fastCursor.text = plainCursor.text = text.c_str();
  NodeToken fastToken, plainToken;
  for (;;) {
    const NodeType a = fast(fastCursor, fastToken);
    const NodeType b = detail::ScanNodeGeneral(plainCursor, plainToken);
    if (!SameNode(a, fastToken, fastCursor, b, plainToken, plainCursor))
      Differ(what, text, codePage, plainToken.start);
    if (b == NodeType::EndOfDocument) return;
    if (plainCursor.next <= plainToken.start) Differ("progress", text, codePage, plainCursor.next);
  }
}

bool SameRecord(const ElementRecord& a, const ElementRecord& b) {
  return a.start == b.start && a.length == b.length && a.tag_lengths == b.tag_lengths &&
         a.flags == b.flags && a.parent == b.parent && a.first_child == b.first_child &&
         a.next == b.next && a.prev == b.prev;
}

void CompareRecords(const std::string& text, int codePage, uint32_t options) {
  XmlDocument fast, plain;
  fast.SetOptions(options);
  plain.SetOptions(options);
  const bool a = fast.SetText(text.c_str());
  const bool b = ostrel::xml::testing::SetTextByteByByte(plain, text.c_str());
  if (a != b || fast.ErrorText() != plain.ErrorText() || fast.NextFree() != plain.NextFree() ||
      fast.Capacity() != plain.Capacity())
    Differ("parse result", text, codePage, 0);
  for (int32_t r = 0; r < fast.NextFree(); ++r)
    if (!SameRecord(fast.At(r), plain.At(r))) Differ("record", text, codePage, fast.At(r).start);
  const std::vector<std::string> problems = ostrel::xml::testing::FindInvariantViolations(fast);
  if (!problems.empty()) {
    std::fprintf(stderr, "%s\n", problems.front().c_str());
    Differ("invariants", text, codePage, 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t options = (data[0] & 0x08) != 0 ? kCaseInsensitiveEndTags : 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  text.resize(std::strlen(text.c_str()));  // a document text ends at its first NUL
  const int32_t length = static_cast<int32_t>(text.size());
  for (int codePage : kCodePages) {
    ostrel::platform::SetCodePageForTesting(codePage);
    CompareTokens(text, codePage, "ScanNode",
                  [](ScanCursor& c, NodeToken& t) { return ScanNode(c, t); });
    CompareTokens(text, codePage, "ScanNodeIndexed", [length](ScanCursor& c, NodeToken& t) {
      return detail::ScanNodeIndexed(c, t, length);
    });
    CompareRecords(text, codePage, options);
#ifdef OSTREL_XML_BLOCK_INDEX
    if (codePage == 0) {
      // Chunks small enough for most inputs to cross several: 64 bytes, and 512 bytes, where a
      // reader made far ahead lists a short chunk first.
      for (int32_t chunk : {64, 512}) {
        block_index::SetStopChunkForTesting(chunk);
        CompareRecords(text, codePage, options);
      }
      block_index::SetStopChunkForTesting(0);
    }
#endif
  }
  ostrel::platform::SetCodePageForTesting(0);
  return 0;
}
