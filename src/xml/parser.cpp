// Setting the text: one forward pass of the scanner that rebuilds the element records, pairs end
// tags with open elements by the repair rules, and words the first error met.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/mbcs.h"
#include "xml/byte_classes.h"
#include "xml/open_tag_stack.h"
#include "xml/scan_paths.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

// Offsets are 32-bit signed: a longer text cannot be indexed.
constexpr size_t kMaxTextLength = static_cast<size_t>(std::numeric_limits<int32_t>::max() - 1);

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&out[0], out.size() + 1, format, again);
  va_end(again);
  return out;
}

// Equal bytes, compared a word at a time (overlapping at the end) rather than by a call.
inline bool SameBytes(const char* a, const char* b, size_t n) {
  auto load64 = [](const char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  };
  auto load32 = [](const char* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  };
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8)
      if (load64(a + i) != load64(b + i)) return false;
    return load64(a + n - 8) == load64(b + n - 8);
  }
  if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
  for (size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// Does an open element's name answer an end tag's name of n bytes? Its first n bytes must
// equal the end tag's name, and the byte after them must be the end or one of " =/[]".
bool NameMatches(const char* open, int32_t openLength, const char* endName, int32_t n,
                 bool foldCase) {
  if (openLength < n) return false;
  if (foldCase) {
    if (platform::_mbsnicmp(reinterpret_cast<const unsigned char*>(open),
                            reinterpret_cast<const unsigned char*>(endName),
                            static_cast<size_t>(n)) != 0)
      return false;
  } else if (!SameBytes(open, endName, static_cast<size_t>(n))) {
    return false;
  }
  if (openLength == n) return true;
  const char after = open[n];
  return after == ' ' || after == '=' || after == '/' || after == '[' || after == ']';
}

}  // namespace

bool XmlDocument::SetText(const char* text) {
  if (text == nullptr) {
    text_.clear();
  } else {
    const size_t length = std::strlen(text);
    if (length > kMaxTextLength) {
      // Not indexable with 32-bit offsets: the document holds no text instead.
      text_.clear();
      Parse();
      errorText_ = "Document too large";
      return false;
    }
    text_.assign(text, length);
  }
  errorText_.clear();
  return Parse();
}

bool XmlDocument::Parse() {
  SetPosition(0, 0, 0);
  nextFree_ = 1;
  EnsureCapacity(static_cast<int32_t>(text_.size() / 64) + 8);
  At(0) = ElementRecord{0, 0, 0, 0, 0, 0, 0, 0};
  if (text_.empty()) {
    errorText_ = "Empty document";
  } else {
    ScanCursor cursor;
    cursor.nameStart = 0;
    cursor.nameEnd = -1;
    cursor.next = 0;
    cursor.text = text_.c_str();
    cursor.options = options_;
    const int32_t first = ParseElements(cursor);
    ElementRecord& document = At(0);
    document.length = static_cast<int32_t>(text_.size());
    if (first == 0) {
      errorText_ = "No root element";
    } else {
      document.firstChild = first;
      if (At(first).next != 0) errorText_ = "Root element has sibling";
    }
  }
  SetPosition(0, 0, 0);
  return CheckWellFormed();
}

bool XmlDocument::CheckWellFormed() const {
  if (tree_.Capacity() == 0) return false;
  const ElementRecord& document = At(0);
  if (document.Has(ElementRecord::IllFormed)) return false;
  if (document.firstChild == 0) return false;
  return At(document.firstChild).next == 0;
}

void XmlDocument::NoteContentError(int32_t parent) {
  At(0).flags |= ElementRecord::IllFormed;
  At(parent).flags |= ElementRecord::ContentError;
}

int32_t XmlDocument::ParseElements(ScanCursor& cursor) {
  OpenTagStack stack;
  NodeToken token;
  int32_t parent = 0;  // the innermost open element, 0 when none is open
  int32_t count = 0;
  int32_t first = 0;
  int32_t firstChild = 0;  // the current parent's first and last children, 0 if none
  int32_t lastChild = 0;
  int32_t staleLevelsFrom = 0;  // lowest record whose level went stale, 0 if none
  const bool foldCase = (options_ & CaseInsensitiveEndTags) != 0;
  const byte_classes::ByteClasses& classes = byte_classes::CurrentClasses();
  const bool singleByte = &classes == &byte_classes::kSingleByteClasses;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(cursor.text);
  const size_t textLength = text_.size();

  for (;;) {
    const unsigned char nextByte = bytes[cursor.next];
    if (nextByte != '<' && nextByte != '\0') {
      // Text and whitespace nodes are passed over: skip them at once. Without double-byte
      // characters that is a search for the next '<'.
      if (singleByte) {
        const void* lt = std::memchr(bytes + cursor.next, '<', textLength - cursor.next);
        cursor.next = lt != nullptr
                          ? static_cast<int32_t>(static_cast<const unsigned char*>(lt) - bytes)
                          : static_cast<int32_t>(textLength);
      } else {
        cursor.next = byte_classes::SkipCharacterData(classes, bytes, cursor.next);
      }
      continue;
    }
    // Start and end tags go straight to the scanner's fast paths; a start tag's name stays in
    // the text, its offsets in the cursor. Anything else is scanned as usual.
    NodeType type;
    const unsigned char second = nextByte == '<' ? bytes[cursor.next + 1] : 0;
    if ((classes.of[second] & byte_classes::kNameStart) != 0 || second == '/') {
      token.start = cursor.next;
      token.flags = 0;
      type = second == '/' ? scan_paths::ScanEndTag(cursor, token, classes)
                           : scan_paths::ScanStartTag(cursor, token, classes, true);
    } else {
      type = ScanNode(cursor, token);
    }
    switch (type) {
      case NodeType::ElementTag: {
        // A start tag whose length or depth the record cannot hold gets no record.
        if (token.length > ElementRecord::MaxStartTagLength) {
          NoteContentError(parent);
          if (errorText_.empty())
            errorText_ = Format("Element tag at offset %d too long", token.start);
          break;
        }
        if (static_cast<uint32_t>(count) > ElementRecord::MaxLevel) {
          NoteContentError(parent);
          if (errorText_.empty())
            errorText_ = Format("Element tag at offset %d nested too deep", token.start);
          break;
        }
        const int32_t f = NewRecord();
        if (first == 0) first = f;
        ElementRecord& element = At(f);
        element.parent = parent;
        element.next = 0;
        element.firstChild = 0;
        if (lastChild != 0) {
          // Appended behind the last child, which the first child's prev names.
          At(lastChild).next = f;
          element.prev = lastChild;
          At(firstChild).prev = f;
          element.flags = 0;
        } else {
          At(parent).firstChild = f;
          firstChild = f;
          element.prev = f;
          element.flags = ElementRecord::IsFirstChild;
        }
        element.flags |= static_cast<uint32_t>(count);
        element.start = token.start;
        element.tagLengths = 0;
        element.SetStartTagLength(token.length);
        if ((token.flags & EmptyElement) != 0) {
          element.SetEndTagLength(0);
          element.length = token.length;
          lastChild = f;
        } else {
          stack[count] = {f,
                          token.start,
                          token.length,
                          cursor.nameStart,
                          cursor.nameEnd - cursor.nameStart + 1,
                          firstChild};
          ++count;
          parent = f;
          firstChild = lastChild = 0;
          stack.MakeRoomFor(count);
        }
        break;
      }

      case NodeType::EndTag: {
        const char* endName = cursor.text + cursor.nameStart;
        const int32_t n = cursor.nameEnd - cursor.nameStart + 1;
        if (token.length > ElementRecord::MaxEndTagLength) {
          // Its length would not fit the record: it closes nothing.
          NoteContentError(parent);
          if (errorText_.empty())
            errorText_ = Format("Element end tag at offset %d too long", token.start);
          break;
        }
        int32_t j = count - 1;
        while (j >= 0 && !NameMatches(cursor.text + stack[j].nameStart, stack[j].nameLength,
                                      endName, n, foldCase))
          --j;
        if (j < 0) {
          NoteContentError(parent);
          if (errorText_.empty()) {
            errorText_ = Format("No start tag for end tag '%s' at offset %d",
                                std::string(endName, static_cast<size_t>(n)).c_str(), token.start);
          }
          break;
        }
        const int32_t matched = stack[j].record;
        ElementRecord& element = At(matched);
        element.length = token.start + token.length - stack[j].start;
        // Both tag lengths written at once, as SetStartTagLength and SetEndTagLength would.
        element.tagLengths = static_cast<uint32_t>(stack[j].startTagLength) |
                             static_cast<uint32_t>(token.length) << 22;
        if (j < count - 1) CloseUnended(stack, j, count, cursor, &token, staleLevelsFrom);
        parent = j > 0 ? stack[j - 1].record : 0;
        firstChild = stack[j].parentsFirst;
        lastChild = matched;  // an open element is always its parent's last child
        count = j;
        break;
      }

      case NodeType::Error:
        NoteContentError(parent);
        if (errorText_.empty()) errorText_ = token.text;
        break;

      case NodeType::EndOfDocument:
        CloseUnended(stack, -1, count, cursor, nullptr, staleLevelsFrom);
        if (staleLevelsFrom != 0) FixLevelsFrom(staleLevelsFrom);
        return first;

      default:  // CDATA sections, processing instructions, comments, DOCTYPE: passed over
        break;
    }
  }
}

// Closes the open elements in slots outer + 1 to count - 1 as not ended, as if one at a time
// from the innermost outwards: each loses its end tag and its children, which follow it as
// siblings. Done in one pass, every moved record ends up a child of the element in slot outer
// (the document record when outer is -1), so each record is moved at most once per parse.
void XmlDocument::CloseUnended(OpenTagStack& stack, int32_t outer, int32_t count,
                               const ScanCursor& cursor, const NodeToken* endTag,
                               int32_t& staleLevelsFrom) {
  if (outer + 1 >= count) return;
  At(0).flags |= ElementRecord::IllFormed;
  const int32_t target = outer >= 0 ? stack[outer].record : 0;
  bool contentError = false;
  int32_t finalLast = 0;

  for (int32_t i = outer + 1; i < count; ++i) {
    const int32_t u = stack[i].record;
    ElementRecord& closed = At(u);
    if (closed.Has(ElementRecord::ContentError)) {
      contentError = true;
      closed.flags &= ~ElementRecord::ContentError;
    }
    closed.parent = target;  // already so for the outermost
    closed.SetEndTagLength(0);
    closed.flags |= ElementRecord::Unended;
    closed.length = closed.StartTagLength();
    const int32_t firstChild = closed.firstChild;
    closed.firstChild = 0;
    finalLast = u;
    if (firstChild == 0) continue;

    ElementRecord& head = At(firstChild);
    finalLast = head.prev;  // the closed element's last child
    head.flags &= ~ElementRecord::IsFirstChild;
    head.prev = u;
    closed.next = firstChild;
    // The chain ends at the next open element (its next is still 0) or at the last child.
    for (int32_t c = firstChild; c != 0; c = At(c).next) At(c).parent = target;
    if (staleLevelsFrom == 0 || firstChild < staleLevelsFrom) staleLevelsFrom = firstChild;
  }

  // The target's last child is now the last record moved.
  At(At(target).firstChild).prev = finalLast;
  if (contentError) At(target).flags |= ElementRecord::ContentError;

  if (!errorText_.empty()) return;
  const OpenTagStack::OpenElement& innermost = stack[count - 1];
  const std::string name(cursor.text + innermost.nameStart,
                         static_cast<size_t>(innermost.nameLength));
  const int32_t start = At(innermost.record).start;
  if (endTag == nullptr) {
    errorText_ = Format("Element '%s' at offset %d not ended", name.c_str(), start);
  } else {
    const std::string endName(cursor.text + cursor.nameStart,
                              static_cast<size_t>(cursor.nameEnd - cursor.nameStart + 1));
    errorText_ = Format("End tag '%s' at offset %d does not match start tag '%s' at offset %d",
                        endName.c_str(), cursor.nameStart - 1, name.c_str(), start);
  }
}

// Records are numbered in text order and a parent always comes before its children, so one
// forward pass sets every level from the parent's.
void XmlDocument::FixLevelsFrom(int32_t first) {
  for (int32_t r = first; r < nextFree_; ++r) {
    ElementRecord& record = At(r);
    record.SetLevel(record.parent != 0 ? At(record.parent).Level() + 1 : 0);
  }
}

}  // namespace ostrel::xml
