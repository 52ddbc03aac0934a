// The markup node scanner: cuts document text into nodes, one per call, left to right, and
// words a message for a malformed or unterminated node. It builds nothing and never changes
// the text.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel::xml {

enum class NodeType : int32_t {
  EndTag = 0,
  ElementTag = 1,
  Text = 2,
  Whitespace = 4,
  CDataSection = 8,
  ProcessingInstruction = 16,
  Comment = 32,
  Doctype = 64,
  Error = -1,
  EndOfDocument = -2,
};

// Set in NodeToken::flags for an element start tag closed by "/>".
constexpr uint32_t kEmptyElement = 0x10000;

struct ScanCursor {
  int32_t name_start = 0;      // first byte of a name (end tags and NextName only)
  int32_t name_end = -1;       // last byte of that name; below name_start: empty name
  int32_t next = 0;            // where the next scan begins
  const char* text = nullptr;  // the whole NUL-terminated document text; not owned
  uint32_t options = 0;        // the document's option flags, carried for the caller
};

struct NodeToken {
  NodeType type = NodeType::EndTag;
  int32_t start = 0;
  int32_t length = 0;
  uint32_t flags = 0;
  // A start tag's name, a processing instruction's target, or a message. Other nodes leave it
  // as it was.
  std::string text;
};

// Scans the node at cursor.next into token and moves cursor.next past it.
NodeType ScanNode(ScanCursor& cursor, NodeToken& token);

// A scan of one node as ScanNode does it.
using NodeScanner = NodeType (*)(ScanCursor& cursor, NodeToken& token);

// Moves offset over space, tab, LF and CR; true when it stops on a byte other than NUL.
bool SkipWhitespace(const char* text, int32_t& offset);

// Finds the next name token after cursor.next (whitespace skipped): a run of characters up to
// a stop byte, or a stop byte alone. False at the end of the text.
bool NextName(ScanCursor& cursor);

// The bytes from cursor.name_start to cursor.name_end; empty when name_end < name_start.
std::string NameText(const ScanCursor& cursor);

namespace detail {
// The byte-by-byte state machine that ScanNode falls back to for declarations, comments,
// processing instructions, CDATA sections and errors. Exposed so that tests can hold the fast
// paths against it on any input.
NodeType ScanNodeGeneral(ScanCursor& cursor, NodeToken& token);

// ScanNode with its stop bytes found through the block index the parse uses. The text must
// hold no NUL before length, its terminating NUL.
NodeType ScanNodeIndexed(ScanCursor& cursor, NodeToken& token, int32_t length);
}  // namespace detail

}  // namespace ostrel::xml
