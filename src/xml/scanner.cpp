#include "xml/scanner.h"

#include <cstdio>
#include <cstring>

#include "platform/mbcs.h"
#include "xml/byte_classes.h"
#include "xml/scan_paths.h"

namespace ostrel::xml {
namespace scan_paths {

NodeType Unterminated(ScanCursor& cursor, NodeToken& token, const char* kind, int32_t nul) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%s at offset %d unterminated", kind,
                static_cast<int>(token.start));
  token.text.assign(buffer);
  return Finish(cursor, token, NodeType::Error, nul - 1);
}

}  // namespace scan_paths

namespace {

using namespace byte_classes;
using namespace scan_paths;

void WriteMessage(NodeToken& token, const char* format, const char* word, int32_t offset) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, format, word, static_cast<int>(offset));
  token.text.assign(buffer);
}

const char* KindWord(NodeType type, bool inDoctype) {
  if (inDoctype || type == NodeType::Doctype) return "Doctype";
  switch (type) {
    case NodeType::ElementTag:
      return "Element tag";
    case NodeType::EndTag:
      return "Element end tag";
    case NodeType::CDataSection:
      return "CDATA Section";
    case NodeType::ProcessingInstruction:
      return "Processing instruction";
    case NodeType::Comment:
      return "Comment";
    default:
      return "tag";
  }
}

// Working state bits of the general machine.
enum : unsigned {
  kAfterLt = 0x01,
  kAfterBang = 0x02,
  kAfterBangDash = 0x04,
  kAfterBangBracket = 0x08,
  kWhitespaceRun = 0x10,
  kInDoctype = 0x20,
  kInSingleQuote = 0x40,
  kInDoubleQuote = 0x80,
};

NodeType ScanGeneral(ScanCursor& cursor, NodeToken& token, const ByteClasses& cls) {
  const unsigned char* t = Bytes(cursor.text);
  int32_t o = cursor.next;
  unsigned state = 0;
  NodeType type = NodeType::Error;
  const char* delimiter = nullptr;  // none while reading a node's opening
  int32_t delimiterLength = 0;
  int32_t nameStart = -1;
  unsigned char last = 0, beforeLast = 0;
  int32_t reported = token.start;

  auto setDelimiter = [&](const char* d) {
    delimiter = d;
    delimiterLength = static_cast<int32_t>(std::strlen(d));
  };
  auto fail = [&](const char* word) {
    WriteMessage(token, "Incorrect %s at offset %d", word, reported);
    type = NodeType::Error;
    setDelimiter(">");
  };

  for (;;) {
    const unsigned char c = t[o];
    if (c == 0) {
      if (type == NodeType::Text || type == NodeType::Whitespace)
        return Finish(cursor, token, type, o - 1);
      return Unterminated(cursor, token, KindWord(type, (state & kInDoctype) != 0), o);
    }

    if (nameStart >= 0) {
      if ((cls.of[c] & kNameEnd) == 0) {
        ++o;  // names are read byte by byte, not by character
        continue;
      }
      if (type == NodeType::EndTag) {
        cursor.nameStart = nameStart;
        cursor.nameEnd = o - 1;
      } else {
        token.text.assign(cursor.text + nameStart, static_cast<size_t>(o - nameStart));
      }
      nameStart = -1;
      last = beforeLast = 0;
    }

    if (delimiter != nullptr) {
      if (c == '>' && (state & (kInSingleQuote | kInDoubleQuote)) == 0) {
        reported = o;
        const int32_t n = delimiterLength;
        if (n == 1 || (o > n && std::memcmp(t + o - (n - 1), delimiter, n - 1) == 0)) {
          delimiter = nullptr;
          if (n == 1 && type == NodeType::ElementTag && IsEmptyElementEnding(cls, last, beforeLast))
            token.flags |= EmptyElement;
          // Inside a DOCTYPE a nested declaration is complete and the DOCTYPE goes on.
          if ((state & kInDoctype) == 0) return Finish(cursor, token, type, o);
        }
      } else if (c == '<' && (type == NodeType::Text || type == NodeType::Error)) {
        return Finish(cursor, token, type, o - 1);
      } else if (type == NodeType::ElementTag || type == NodeType::Doctype ||
                 type == NodeType::Error) {
        if (c == '"' && (state & kInSingleQuote) == 0) state ^= kInDoubleQuote;
        if (c == '\'' && (state & kInDoubleQuote) == 0) state ^= kInSingleQuote;
        if (type == NodeType::ElementTag) {
          beforeLast = last;
          last = c;
        }
      }
    } else if (state == 0) {  // the node's first byte
      if (c == '<') {
        state |= kAfterLt;
      } else if ((cls.of[c] & kWhitespace) != 0) {
        type = NodeType::Whitespace;
        state |= kWhitespaceRun;
      } else {
        type = NodeType::Text;
        setDelimiter("<");
      }
    } else if ((state & kWhitespaceRun) != 0) {
      if (c == '<') return Finish(cursor, token, NodeType::Whitespace, o - 1);
      if ((cls.of[c] & kWhitespace) == 0) {
        state &= ~kWhitespaceRun;
        type = NodeType::Text;  // the whitespace already read belongs to the text
        setDelimiter("<");
      }
    } else if ((state & kAfterLt) != 0) {
      state &= ~kAfterLt;
      if ((cls.of[c] & kNameStart) != 0) {
        type = NodeType::ElementTag;
        setDelimiter(">");
        nameStart = o;
      } else if (c == '/') {
        type = NodeType::EndTag;
        setDelimiter(">");
        nameStart = o + 1;
      } else if (c == '!') {
        state |= kAfterBang;
      } else if (c == '?') {
        type = NodeType::ProcessingInstruction;
        setDelimiter("?>");
        nameStart = o + 1;
      } else {
        fail("tag name character");
      }
    } else if ((state & kAfterBang) != 0) {
      state &= ~kAfterBang;
      const bool inDoctype = (state & kInDoctype) != 0;
      if (c == '-') {
        state |= kAfterBangDash;
      } else if (c == '[' && !inDoctype) {
        state |= kAfterBangBracket;
      } else if (c == 'D' && !inDoctype) {
        state |= kInDoctype;  // the type stays Error until the DOCTYPE's own '>'
      } else if (c == 'E' || c == 'A' || c == 'N') {
        type = NodeType::Doctype;
        setDelimiter(">");
      } else {
        fail("! tag");
      }
    } else if ((state & kAfterBangDash) != 0) {
      state &= ~kAfterBangDash;
      if (c == '-') {
        type = NodeType::Comment;
        setDelimiter("-->");
      } else {
        fail("comment tag");
      }
    } else if ((state & kAfterBangBracket) != 0) {
      state &= ~kAfterBangBracket;
      if (c == 'C') {
        type = NodeType::CDataSection;  // the rest of "CDATA[" is not looked at
        setDelimiter("]]>");
      } else {
        fail("tag");
      }
    } else if ((state & kInDoctype) != 0) {
      // At the DOCTYPE's own level quotes are not tracked.
      if (c == '<') {
        state |= kAfterLt;
      } else if (c == '>') {
        return Finish(cursor, token, NodeType::Doctype, o);
      }
    }
    o += CharLength(cls, t + o);
  }
}

}  // namespace

namespace {

template <class Skipper>
NodeType ScanNodeWith(ScanCursor& cursor, NodeToken& token, const ByteClasses& cls, Skipper& skip) {
  const unsigned char* t = Bytes(cursor.text);
  const int32_t o = cursor.next;
  token.start = o;
  token.flags = 0;
  if (t[o] == 0) {
    token.type = NodeType::EndTag;  // the code 0
    token.length = 0;
    return NodeType::EndOfDocument;
  }
  if (t[o] != '<') return ScanText(cursor, token, cls, skip);
  if ((cls.of[t[o + 1]] & kNameStart) != 0) return ScanStartTag(cursor, token, cls, skip);
  if (t[o + 1] == '/') return ScanEndTag(cursor, token, cls, skip);
  return ScanGeneral(cursor, token, cls);
}

}  // namespace

NodeType ScanNode(ScanCursor& cursor, NodeToken& token) {
  const ByteClasses& cls = CurrentClasses();
  ByteSkipper skip(cls, Bytes(cursor.text));
  return ScanNodeWith(cursor, token, cls, skip);
}

namespace detail {
NodeType ScanNodeGeneral(ScanCursor& cursor, NodeToken& token) {
  const unsigned char* t = Bytes(cursor.text);
  token.start = cursor.next;
  token.flags = 0;
  if (t[cursor.next] == 0) {
    token.type = NodeType::EndTag;
    token.length = 0;
    return NodeType::EndOfDocument;
  }
  return ScanGeneral(cursor, token, CurrentClasses());
}

NodeType ScanNodeIndexed(ScanCursor& cursor, NodeToken& token, int32_t length) {
#ifdef OSTREL_XML_BLOCK_INDEX
  const ByteClasses& cls = CurrentClasses();
  if (&cls == &kSingleByteClasses) {
    block_index::BlockIndex<false> skip(cls, Bytes(cursor.text), length);
    return ScanNodeWith(cursor, token, cls, skip);
  }
  block_index::BlockIndex<true> skip(cls, Bytes(cursor.text), length);
  return ScanNodeWith(cursor, token, cls, skip);
#else
  (void)length;
  return ScanNode(cursor, token);
#endif
}
}  // namespace detail

bool SkipWhitespace(const char* text, int32_t& offset) {
  const unsigned char* t = Bytes(text);
  if (t[offset] != 0) {
    while (IsWhitespaceByte(t[offset])) ++offset;
  }
  return t[offset] != 0;
}

bool NextName(ScanCursor& cursor) {
  const unsigned char* t = Bytes(cursor.text);
  int32_t o = cursor.next;
  SkipWhitespace(cursor.text, o);
  if (t[o] == 0) {
    cursor.nameStart = o;
    cursor.next = o;
    cursor.nameEnd = o - 1;
    return false;
  }
  const ByteClasses& cls = CurrentClasses();
  cursor.nameStart = o;
  int32_t s = o;
  if (&cls == &kSingleByteClasses) {
    while (t[s] != 0 && (cls.of[t[s]] & kTokenStop) == 0) ++s;  // no byte is a lead byte
  } else {
    while (t[s] != 0 && (cls.of[t[s]] & kTokenStop) == 0) s += CharLength(cls, t + s);
  }
  if (s > o) {
    cursor.nameEnd = s - 1;
    cursor.next = s;
  } else {
    cursor.nameEnd = o;
    cursor.next = o + 1;
  }
  return true;
}

std::string NameText(const ScanCursor& cursor) {
  if (cursor.nameStart > cursor.nameEnd) return std::string();
  return std::string(cursor.text + cursor.nameStart,
                     static_cast<size_t>(cursor.nameEnd - cursor.nameStart + 1));
}

}  // namespace ostrel::xml
