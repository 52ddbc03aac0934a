// The scanner's fast paths for the most common nodes (start tags, end tags, character data),
// inline so that the document parse runs them without a call. Internal to the XML code; every
// path gives exactly what the general state machine gives for the same node.
#pragma once

#include <cstdint>

#include "xml/byte_classes.h"
#include "xml/scanner.h"

namespace ostrel::xml::scan_paths {

using namespace byte_classes;

inline const unsigned char* Bytes(const char* text) {
  return reinterpret_cast<const unsigned char*>(text);
}

inline NodeType Finish(ScanCursor& cursor, NodeToken& token, NodeType type, int32_t end) {
  cursor.next = end + 1;
  token.type = type;
  token.length = end + 1 - token.start;
  return type;
}

// The text ended (NUL at offset nul) inside a node that needs a closing delimiter: the message
// replaces the token's text and the node is an Error.
NodeType Unterminated(ScanCursor& cursor, NodeToken& token, const char* kind, int32_t nul);

inline bool IsEmptyElementEnding(const ByteClasses& cls, unsigned char last,
                                 unsigned char beforeLast) {
  return last == '/' && (beforeLast == 0 || (cls.of[beforeLast] & kBeforeSlash) != 0);
}

// Tracks the last two bytes read in a start tag's body after a run of single-byte characters
// [from, to).
inline void TrackRun(const unsigned char* t, int32_t from, int32_t to, unsigned char& last,
                     unsigned char& beforeLast) {
  if (to - from >= 2) {
    beforeLast = t[to - 2];
    last = t[to - 1];
  } else if (to - from == 1) {
    beforeLast = last;
    last = t[to - 1];
  }
}

// "<" and a name-start byte: an element start tag. With nameInCursor its name is left in the
// text, as two offsets in the cursor, instead of being copied into the token.
inline NodeType ScanStartTag(ScanCursor& cursor, NodeToken& token, const ByteClasses& cls,
                             bool nameInCursor) {
  const unsigned char* t = Bytes(cursor.text);
  const int32_t nameStart = token.start + 1;
  int32_t q = nameStart + CharLength(cls, t + nameStart);
  while ((cls.of[t[q]] & kNameEnd) == 0) ++q;
  if (t[q] == 0) return Unterminated(cursor, token, "Element tag", q);
  if (nameInCursor) {
    cursor.nameStart = nameStart;
    cursor.nameEnd = q - 1;
  } else {
    token.text.assign(cursor.text + nameStart, static_cast<size_t>(q - nameStart));
  }

  unsigned char last = 0, beforeLast = 0;
  for (;;) {
    int32_t run = q;
    while ((cls.of[t[q]] & kTagStop) == 0) ++q;
    TrackRun(t, run, q, last, beforeLast);
    unsigned char c = t[q];
    if (c == '>') {
      if (IsEmptyElementEnding(cls, last, beforeLast)) token.flags |= EmptyElement;
      return Finish(cursor, token, NodeType::ElementTag, q);
    }
    if (c == 0) return Unterminated(cursor, token, "Element tag", q);
    beforeLast = last;
    last = c;
    if (c != '"' && c != '\'') {  // a lead byte
      q += CharLength(cls, t + q);
      continue;
    }
    // Inside a quoted value only the same quote (or the end of the text) matters.
    const unsigned char quote = c;
    const uint16_t stop = quote == '"' ? kDoubleQStop : kSingleQStop;
    ++q;
    for (;;) {
      run = q;
      while ((cls.of[t[q]] & stop) == 0) ++q;
      TrackRun(t, run, q, last, beforeLast);
      c = t[q];
      if (c == 0) return Unterminated(cursor, token, "Element tag", q);
      beforeLast = last;
      last = c;
      if (c == quote) {
        ++q;
        break;
      }
      q += CharLength(cls, t + q);
    }
  }
}

// "</": an end tag. Its name stays in the text, as two offsets in the cursor.
inline NodeType ScanEndTag(ScanCursor& cursor, NodeToken& token, const ByteClasses& cls) {
  const unsigned char* t = Bytes(cursor.text);
  const int32_t nameStart = token.start + 2;
  int32_t q = nameStart;
  while ((cls.of[t[q]] & kNameEnd) == 0) ++q;
  if (t[q] == 0) return Unterminated(cursor, token, "Element end tag", q);
  cursor.nameStart = nameStart;
  cursor.nameEnd = q - 1;
  for (;;) {
    while ((cls.of[t[q]] & kEndTagStop) == 0) ++q;
    if (t[q] == '>') return Finish(cursor, token, NodeType::EndTag, q);
    if (t[q] == 0) return Unterminated(cursor, token, "Element end tag", q);
    q += CharLength(cls, t + q);
  }
}

// Anything not opened by '<': whitespace, or character data up to the next '<' or through the
// next '>' (the node's own first byte excepted).
inline NodeType ScanText(ScanCursor& cursor, NodeToken& token, const ByteClasses& cls) {
  const unsigned char* t = Bytes(cursor.text);
  int32_t q = token.start;
  if ((cls.of[t[q]] & kWhitespace) != 0) {
    while ((cls.of[t[q]] & kWhitespace) != 0) ++q;
    if (t[q] == '<' || t[q] == 0) return Finish(cursor, token, NodeType::Whitespace, q - 1);
  }
  q += CharLength(cls, t + q);
  for (;;) {
    while ((cls.of[t[q]] & kTextStop) == 0) ++q;
    const unsigned char c = t[q];
    if (c == '>') return Finish(cursor, token, NodeType::Text, q);
    if (c == '<' || c == 0) return Finish(cursor, token, NodeType::Text, q - 1);
    q += CharLength(cls, t + q);
  }
}

}  // namespace ostrel::xml::scan_paths
