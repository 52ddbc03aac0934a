// The scanner's fast paths for the most common nodes (start tags, end tags, character data),
// inline so that the document parse runs them without a call. Internal to the XML code; every
// path gives exactly what the general state machine gives for the same node.
#pragma once

#include <cstddef>
#include <cstdint>

#include "xml/block_index.h"
#include "xml/byte_classes.h"
#include "xml/scanner.h"

namespace ostrel::xml::scan_paths {

using namespace byte_classes;
using block_index::ByteSkipper;
using block_index::Stops;

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
                                 unsigned char before_last) {
  return last == '/' && (before_last == 0 || (cls.of[before_last] & kBeforeSlash) != 0);
}

// Tracks the last two bytes read in a start tag's body after a run of single-byte characters
// [from, to).
inline void TrackRun(const unsigned char* t, int32_t from, int32_t to, unsigned char& last,
                     unsigned char& before_last) {
  if (to - from >= 2) {
    before_last = t[to - 2];
    last = t[to - 1];
  } else if (to - from == 1) {
    before_last = last;
    last = t[to - 1];
  }
}

// Each path finds the next byte of a class with skip.SkipTo<Stops::...>(q), which gives what
// `while ((cls.of[t[q]] & class) == 0) ++q;` gives: a ByteSkipper does exactly that, a
// block_index::BlockIndex searches whole blocks.

// The length of the character at p; always 1 where the skipper knows there are no lead bytes.
template <class Skipper>
inline int32_t StepOver(const ByteClasses& cls, const unsigned char* p) {
  return Skipper::kDoubleByte ? CharLength(cls, p) : 1;
}

// Where a start or end tag ends and what it holds. A tag whose text ends before its '>' is not
// ended: end is then the last byte before the NUL, and the name counts only when named is set
// (the name itself was complete).
struct TagScan {
  int32_t name_end = 0;  // the byte that ended the name (one past its last byte)
  int32_t end = 0;       // the tag's '>', or the last byte before the NUL
  bool named = false;
  bool ended = false;
  bool empty = false;  // closed by "/>"
};

// The attributes of a start tag in a text with no lead bytes, from the byte that ended its name
// (at q, not '>') to the '>' that ends the tag: the first one outside quoted values. The last two
// bytes before it tell whether "/>" makes the element empty.
template <class Skipper>
OSTREL_ALWAYS_INLINE void ScanSingleByteAttributes(const ByteClasses& cls, const unsigned char* t,
                                                   int32_t q, Skipper& skip, TagScan& scan) {
  const int32_t name_end = q;
  q = skip.template SkipTo<Stops::kTagStop>(q);
  for (;;) {
    const unsigned char c = t[q];
    if (c == '>') {
      const unsigned char before_last = q - 2 >= name_end ? t[q - 2] : 0;
      scan.empty = IsEmptyElementEnding(cls, t[q - 1], before_last);
      scan.ended = true;
      scan.end = q;
      return;
    }
    if (c != 0) q = skip.SkipOnToQuote(q + 1, c);
    if (t[q] == 0) {
      scan.end = q - 1;
      return;
    }
    q = skip.template SkipOn<Stops::kTagStop>(q + 1);
  }
}

// The attributes of a start tag in a text that may hold double-byte characters, from the byte
// that ended its name (at q, not '>') to the '>' that ends the tag: the first one outside quoted
// values. The last two bytes read before it (a trail byte is stepped over, not read) tell whether
// "/>" makes the element empty.
template <class Skipper>
void ScanDoubleByteAttributes(const ByteClasses& cls, const unsigned char* t, int32_t q,
                              Skipper& skip, TagScan& scan) {
  unsigned char last = 0, before_last = 0;
  for (;;) {
    int32_t run = q;
    q = skip.template SkipTo<Stops::kTagStop>(q);
    TrackRun(t, run, q, last, before_last);
    unsigned char c = t[q];
    if (c == '>') {
      scan.empty = IsEmptyElementEnding(cls, last, before_last);
      scan.ended = true;
      scan.end = q;
      return;
    }
    if (c == 0) {
      scan.end = q - 1;
      return;
    }
    before_last = last;
    last = c;
    if (c != '"' && c != '\'') {  // a lead byte
      q += CharLength(cls, t + q);
      continue;
    }
    // Inside a quoted value only the same quote (or the end of the text) matters.
    const unsigned char quote = c;
    ++q;
    for (;;) {
      run = q;
      q = quote == '"' ? skip.template SkipTo<Stops::kDoubleQuote>(q)
                       : skip.template SkipTo<Stops::kSingleQuote>(q);
      TrackRun(t, run, q, last, before_last);
      c = t[q];
      if (c == 0) {
        scan.end = q - 1;
        return;
      }
      before_last = last;
      last = c;
      if (c == quote) {
        ++q;
        break;
      }
      q += CharLength(cls, t + q);
    }
  }
}

// "<" and a name-start byte at start: an element start tag. Its name runs from start + 1 to
// name_end - 1.
template <class Skipper>
OSTREL_ALWAYS_INLINE TagScan ScanStartTagAt(const ByteClasses& cls, const unsigned char* t,
                                            int32_t start, Skipper& skip) {
  TagScan scan;
  const int32_t name_start = start + 1;
  int32_t q = name_start + StepOver<Skipper>(cls, t + name_start);
  q = skip.template SkipTo<Stops::kNameEnd>(q);
  if (t[q] == '>') {  // no attributes: the name's end closes the tag
    scan.named = scan.ended = true;
    scan.name_end = scan.end = q;
    return scan;
  }
  if (t[q] == 0) {
    scan.end = q - 1;
    return scan;
  }
  scan.named = true;
  scan.name_end = q;
  if (Skipper::kDoubleByte) {
    ScanDoubleByteAttributes(cls, t, q, skip, scan);
  } else {
    ScanSingleByteAttributes(cls, t, q, skip, scan);
  }
  return scan;
}

// "</" at start: an end tag. Its name runs from start + 2 to name_end - 1.
template <class Skipper>
inline TagScan ScanEndTagAt(const ByteClasses& cls, const unsigned char* t, int32_t start,
                            Skipper& skip) {
  TagScan scan;
  int32_t q = skip.template SkipTo<Stops::kNameEnd>(start + 2);
  if (t[q] == 0) {
    scan.end = q - 1;
    return scan;
  }
  scan.named = true;
  scan.name_end = q;
  for (;;) {
    q = skip.template SkipTo<Stops::kEndTagStop>(q);
    if (t[q] == '>') {
      scan.ended = true;
      scan.end = q;
      return scan;
    }
    if (t[q] == 0) {
      scan.end = q - 1;
      return scan;
    }
    q += CharLength(cls, t + q);
  }
}

// The kind word of a comment ("<!--"), CDATA section ("<![C") or processing instruction ("<?")
// opening at start, whose body the parse does not read; nullptr for any other node.
inline const char* DelimitedKind(const unsigned char* t, std::ptrdiff_t start) {
  if (t[start + 1] == '?') return "Processing instruction";
  if (t[start + 1] != '!') return nullptr;
  if (t[start + 2] == '-' && t[start + 3] == '-') return "Comment";
  if (t[start + 2] == '[' && t[start + 3] == 'C') return "CDATA Section";
  return nullptr;
}

// The byte that, doubled (or once for a processing instruction), stands before the '>' that
// closes the node DelimitedKind named at start: '-', ']' or '?'.
inline unsigned char DelimiterOf(const unsigned char* t, std::ptrdiff_t start) {
  return t[start + 1] == '?' ? '?' : t[start + 2] == '-' ? '-' : ']';
}

// Does the byte at `end` close a node whose delimiter is `delimiter`: a '>' after "--" or "]]",
// or after '?' past offset 2?
OSTREL_ALWAYS_INLINE bool ClosesDelimited(const unsigned char* t, std::ptrdiff_t end,
                                          unsigned char delimiter) {
  if (t[end] != '>') return false;
  if (delimiter == '?') return end > 2 && t[end - 1] == '?';
  return t[end - 1] == delimiter && t[end - 2] == delimiter;
}

// The body of a comment, CDATA section or processing instruction from q: characters up to a '>'
// that closes it (ClosesDelimited). Returns the offset of that '>', or -1 when the text ends
// first (nul then holds the offset of its NUL).
template <class Skipper>
inline int32_t SkipDelimitedBody(const ByteClasses& cls, const unsigned char* t, int32_t q,
                                 unsigned char delimiter, Skipper& skip, int32_t& nul) {
  for (;;) {
    q = skip.template SkipTo<Stops::kEndTagStop>(q);
    const unsigned char c = t[q];
    if (c == '>') {
      if (ClosesDelimited(t, q, delimiter)) return q;
      ++q;
    } else if (c == 0) {
      nul = q;
      return -1;
    } else {
      q += CharLength(cls, t + q);  // a lead byte and its trail
    }
  }
}

// The same as ScanNode results: a start tag's name copied into the token, an end tag's left in
// the cursor.
template <class Skipper>
inline NodeType ScanStartTag(ScanCursor& cursor, NodeToken& token, const ByteClasses& cls,
                             Skipper& skip) {
  const TagScan scan = ScanStartTagAt(cls, Bytes(cursor.text), token.start, skip);
  if (scan.named) {
    const int32_t name_start = token.start + 1;
    token.text.assign(cursor.text + name_start, static_cast<size_t>(scan.name_end - name_start));
  }
  if (!scan.ended) return Unterminated(cursor, token, "Element tag", scan.end + 1);
  if (scan.empty) token.flags |= kEmptyElement;
  return Finish(cursor, token, NodeType::ElementTag, scan.end);
}

template <class Skipper>
inline NodeType ScanEndTag(ScanCursor& cursor, NodeToken& token, const ByteClasses& cls,
                           Skipper& skip) {
  const TagScan scan = ScanEndTagAt(cls, Bytes(cursor.text), token.start, skip);
  if (scan.named) {
    cursor.name_start = token.start + 2;
    cursor.name_end = scan.name_end - 1;
  }
  if (!scan.ended) return Unterminated(cursor, token, "Element end tag", scan.end + 1);
  return Finish(cursor, token, NodeType::EndTag, scan.end);
}

// Anything not opened by '<': whitespace, or character data up to the next '<' or through the
// next '>' (the node's own first byte excepted).
template <class Skipper>
inline NodeType ScanText(ScanCursor& cursor, NodeToken& token, const ByteClasses& cls,
                         Skipper& skip) {
  const unsigned char* t = Bytes(cursor.text);
  int32_t q = token.start;
  if ((cls.of[t[q]] & kWhitespace) != 0) {
    while ((cls.of[t[q]] & kWhitespace) != 0) ++q;
    if (t[q] == '<' || t[q] == 0) return Finish(cursor, token, NodeType::Whitespace, q - 1);
  }
  q += CharLength(cls, t + q);
  for (;;) {
    q = skip.template SkipTo<Stops::kTextStop>(q);
    const unsigned char c = t[q];
    if (c == '>') return Finish(cursor, token, NodeType::Text, q);
    if (c == '<' || c == 0) return Finish(cursor, token, NodeType::Text, q - 1);
    q += CharLength(cls, t + q);
  }
}

// Passes over character data from offset (which must not hold '<') to the next '<' that starts
// a character, or to the terminating NUL.
template <class Skipper>
inline int32_t SkipCharacterData(const ByteClasses& cls, const unsigned char* t, int32_t offset,
                                 Skipper& skip) {
  int32_t q = offset;
  for (;;) {
    q = skip.template SkipTo<Stops::kDataStop>(q);
    if (!Skipper::kDoubleByte || (cls.of[t[q]] & kLead) == 0) return q;
    q += CharLength(cls, t + q);
  }
}

}  // namespace ostrel::xml::scan_paths
