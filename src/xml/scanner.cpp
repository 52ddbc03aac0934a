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

const char* KindWord(NodeType type, bool in_doctype) {
  if (in_doctype || type == NodeType::Doctype) return "Doctype";
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

// The general machine's reading of one node, a byte (or double-byte character) at a time.
class GeneralScan {
 public:
  GeneralScan(ScanCursor& cursor, NodeToken& token, const ByteClasses& classes)
      : cursor_(cursor),
        token_(token),
        classes_(classes),
        t_(Bytes(cursor.text)),
        o_(cursor.next),
        reported_(token.start) {}

  NodeType Run() {
    for (;;) {
      const unsigned char c = t_[o_];
      if (c == 0) return AtTextEnd();
      if (name_start_ >= 0) {
        if ((classes_.of[c] & kNameEnd) == 0) {
          ++o_;  // names are read byte by byte, not by character
          continue;
        }
        EndName();
      }
      if (Read(c)) return result_;
      o_ += CharLength(classes_, t_ + o_);
    }
  }

 private:
  NodeType AtTextEnd() {
    if (type_ == NodeType::Text || type_ == NodeType::Whitespace)
      return Finish(cursor_, token_, type_, o_ - 1);
    return Unterminated(cursor_, token_, KindWord(type_, (state_ & kInDoctype) != 0), o_);
  }

  // An end tag's name goes into the cursor, any other into the token.
  void EndName() {
    if (type_ == NodeType::EndTag) {
      cursor_.name_start = name_start_;
      cursor_.name_end = o_ - 1;
    } else {
      token_.text.assign(cursor_.text + name_start_, static_cast<size_t>(o_ - name_start_));
    }
    name_start_ = -1;
    last_ = before_last_ = 0;
  }

  // Reads the byte c at o_; true when the node ends there, its type in result_.
  bool Read(unsigned char c) {
    if (delimiter_ != nullptr) return ReadBody(c);
    if (state_ == 0) {
      ReadFirst(c);
    } else if ((state_ & kWhitespaceRun) != 0) {
      if (c == '<') return Done(Finish(cursor_, token_, NodeType::Whitespace, o_ - 1));
      if ((classes_.of[c] & kWhitespace) == 0) {
        state_ &= ~kWhitespaceRun;
        type_ = NodeType::Text;  // the whitespace already read belongs to the text
        SetDelimiter("<");
      }
    } else if ((state_ & kAfterLt) != 0) {
      ReadAfterLt(c);
    } else if ((state_ & kAfterBang) != 0) {
      ReadAfterBang(c);
    } else if ((state_ & kAfterBangDash) != 0) {
      state_ &= ~kAfterBangDash;
      if (c == '-') {
        type_ = NodeType::Comment;
        SetDelimiter("-->");
      } else {
        Fail("comment tag");
      }
    } else if ((state_ & kAfterBangBracket) != 0) {
      state_ &= ~kAfterBangBracket;
      if (c == 'C') {
        type_ = NodeType::CDataSection;  // the rest of "CDATA[" is not looked at
        SetDelimiter("]]>");
      } else {
        Fail("tag");
      }
    } else if ((state_ & kInDoctype) != 0) {
      // At the DOCTYPE's own level quotes are not tracked.
      if (c == '<') {
        state_ |= kAfterLt;
      } else if (c == '>') {
        return Done(Finish(cursor_, token_, NodeType::Doctype, o_));
      }
    }
    return false;
  }

  // A byte of a node's body, up to its closing delimiter.
  bool ReadBody(unsigned char c) {
    if (c == '>' && (state_ & (kInSingleQuote | kInDoubleQuote)) == 0) {
      reported_ = o_;
      // A delimiter longer than '>' is "-->", "]]>" or "?>".
      const int32_t n = delimiter_length_;
      if (n == 1 || ClosesDelimited(t_, o_, static_cast<unsigned char>(delimiter_[0]))) {
        delimiter_ = nullptr;
        if (n == 1 && type_ == NodeType::ElementTag &&
            IsEmptyElementEnding(classes_, last_, before_last_))
          token_.flags |= kEmptyElement;
        // Inside a DOCTYPE a nested declaration is complete and the DOCTYPE goes on.
        if ((state_ & kInDoctype) == 0) return Done(Finish(cursor_, token_, type_, o_));
      }
    } else if (c == '<' && (type_ == NodeType::Text || type_ == NodeType::Error)) {
      return Done(Finish(cursor_, token_, type_, o_ - 1));
    } else if (type_ == NodeType::ElementTag || type_ == NodeType::Doctype ||
               type_ == NodeType::Error) {
      if (c == '"' && (state_ & kInSingleQuote) == 0) state_ ^= kInDoubleQuote;
      if (c == '\'' && (state_ & kInDoubleQuote) == 0) state_ ^= kInSingleQuote;
      if (type_ == NodeType::ElementTag) {
        before_last_ = last_;
        last_ = c;
      }
    }
    return false;
  }

  // The node's first byte.
  void ReadFirst(unsigned char c) {
    if (c == '<') {
      state_ |= kAfterLt;
    } else if ((classes_.of[c] & kWhitespace) != 0) {
      type_ = NodeType::Whitespace;
      state_ |= kWhitespaceRun;
    } else {
      type_ = NodeType::Text;
      SetDelimiter("<");
    }
  }

  void ReadAfterLt(unsigned char c) {
    state_ &= ~kAfterLt;
    if ((classes_.of[c] & kNameStart) != 0) {
      type_ = NodeType::ElementTag;
      SetDelimiter(">");
      name_start_ = o_;
    } else if (c == '/') {
      type_ = NodeType::EndTag;
      SetDelimiter(">");
      name_start_ = o_ + 1;
    } else if (c == '!') {
      state_ |= kAfterBang;
    } else if (c == '?') {
      type_ = NodeType::ProcessingInstruction;
      SetDelimiter("?>");
      name_start_ = o_ + 1;
    } else {
      Fail("tag name character");
    }
  }

  void ReadAfterBang(unsigned char c) {
    state_ &= ~kAfterBang;
    const bool in_doctype = (state_ & kInDoctype) != 0;
    if (c == '-') {
      state_ |= kAfterBangDash;
    } else if (c == '[' && !in_doctype) {
      state_ |= kAfterBangBracket;
    } else if (c == 'D' && !in_doctype) {
      state_ |= kInDoctype;  // the type stays Error until the DOCTYPE's own '>'
    } else if (c == 'E' || c == 'A' || c == 'N') {
      type_ = NodeType::Doctype;
      SetDelimiter(">");
    } else {
      Fail("! tag");
    }
  }

  void SetDelimiter(const char* delimiter) {
    delimiter_ = delimiter;
    delimiter_length_ = static_cast<int32_t>(std::strlen(delimiter));
  }

  void Fail(const char* word) {
    WriteMessage(token_, "Incorrect %s at offset %d", word, reported_);
    type_ = NodeType::Error;
    SetDelimiter(">");
  }

  bool Done(NodeType type) {
    result_ = type;
    return true;
  }

  ScanCursor& cursor_;
  NodeToken& token_;
  const ByteClasses& classes_;
  const unsigned char* const t_;
  int32_t o_;
  unsigned state_ = 0;
  NodeType type_ = NodeType::Error;
  NodeType result_ = NodeType::Error;
  const char* delimiter_ = nullptr;  // none while reading a node's opening
  int32_t delimiter_length_ = 0;
  int32_t name_start_ = -1;
  unsigned char last_ = 0;
  unsigned char before_last_ = 0;
  int32_t reported_;
};

NodeType ScanGeneral(ScanCursor& cursor, NodeToken& token, const ByteClasses& classes) {
  return GeneralScan(cursor, token, classes).Run();
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
    cursor.name_start = o;
    cursor.next = o;
    cursor.name_end = o - 1;
    return false;
  }
  const ByteClasses& cls = CurrentClasses();
  cursor.name_start = o;
  int32_t s = o;
  if (&cls == &kSingleByteClasses) {
    while (t[s] != 0 && (cls.of[t[s]] & kTokenStop) == 0) ++s;  // no byte is a lead byte
  } else {
    while (t[s] != 0 && (cls.of[t[s]] & kTokenStop) == 0) s += CharLength(cls, t + s);
  }
  if (s > o) {
    cursor.name_end = s - 1;
    cursor.next = s;
  } else {
    cursor.name_end = o;
    cursor.next = o + 1;
  }
  return true;
}

std::string NameText(const ScanCursor& cursor) {
  if (cursor.name_start > cursor.name_end) return std::string();
  return std::string(cursor.text + cursor.name_start,
                     static_cast<size_t>(cursor.name_end - cursor.name_start + 1));
}

}  // namespace ostrel::xml
