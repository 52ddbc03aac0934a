// Setting the text: one forward pass of the scanner that rebuilds the element records, pairs end
// tags with open elements by the repair rules, and words the first error met.
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/mbcs.h"
#include "xml/byte_classes.h"
#include "xml/open_tag_stack.h"
#include "xml/scan_paths.h"
#include "xml/stop_list.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

// Offsets are 32-bit signed: a longer text cannot be indexed.
constexpr size_t kMaxTextLength = static_cast<size_t>(std::numeric_limits<int32_t>::max() - 1);

// Room given to a short text (see SetText).
constexpr size_t kSmallTextRoom = 512;

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

OSTREL_ALWAYS_INLINE bool SameBytes(const char* a, const char* b, size_t n) {
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
  auto load16 = [](const char* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  };
  if (n >= 2) return load16(a) == load16(b) && load16(a + n - 2) == load16(b + n - 2);
  return n == 0 || a[0] == b[0];
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

// Under a single-byte code page a stored name holds no byte that ends a name, so "</", the
// innermost open element's name and ">" is an end tag of exactly that name, closing it.
OSTREL_ALWAYS_INLINE bool EndsInnermost(const unsigned char* t, std::ptrdiff_t start,
                                        const OpenTagStack::OpenElement& open,
                                        std::ptrdiff_t length) {
  const std::ptrdiff_t close = start + 2 + open.nameLength;
  return close < length && t[close] == '>' &&
         SameBytes(reinterpret_cast<const char*>(t) + start + 2,
                   reinterpret_cast<const char*>(t) + open.NameStart(),
                   static_cast<size_t>(open.nameLength));
}

// The kind word of a comment ("<!--"), CDATA section ("<![C") or processing instruction ("<?")
// opening at start, whose body the parse only passes over; nullptr for any other node.
const char* PassedOverKind(const unsigned char* t, int32_t start) {
  if (t[start + 1] == '?') return "Processing instruction";
  if (t[start + 1] != '!') return nullptr;
  if (t[start + 2] == '-' && t[start + 3] == '-') return "Comment";
  if (t[start + 2] == '[' && t[start + 3] == 'C') return "CDATA Section";
  return nullptr;
}

// The end of the comment, CDATA section or processing instruction opening at start: the
// offset of its closing '>', or -1 when the text ends first (nul then holds the offset of its
// NUL). Its body is only passed over (a processing instruction's target name is read first).
template <class Skipper>
OSTREL_ALWAYS_INLINE int32_t SkipPassedOver(const byte_classes::ByteClasses& classes,
                                            const unsigned char* t, int32_t start, Skipper& skip,
                                            int32_t& nul) {
  const unsigned char second = t[start + 1];
  int32_t body = start + 4;
  const unsigned char delimiter = second == '?' ? '?' : t[start + 2] == '-' ? '-' : ']';
  if (delimiter == '?') body = skip.template SkipTo<block_index::Stops::NameEnd>(start + 2);
  nul = body;
  if (t[body] == '\0') return -1;
  return scan_paths::SkipDelimitedBody(classes, t, body, delimiter, skip, nul);
}

}  // namespace

// Where the parse stands in the tree: the innermost open element, how many are open, and the
// children of the innermost one so far.
//
// Records are numbered in text order, so an element's first child, if it has any, is the record
// after its own. While an element is open its firstChild is left 0 and its first child's prev
// names the child itself: the parse sets both once the element closes (the document record's
// once the text ends), so that adding a child writes no other record than the previous sibling.
struct XmlDocument::ParsePlace {
  int32_t count = 0;      // open elements
  int32_t first = 0;      // the first top-level element
  int32_t lastChild = 0;  // the innermost open element's last child so far, 0 if none
};

namespace {

// A new record f (element) for the start tag at start, of length bytes, appended as the last child
// of the innermost open element (top; slot -1, the document, when none is open); an element that
// is not empty is opened: pushed on the stack (the caller makes room for the next push) and made
// the parent of what follows. lastChild is the innermost open element's last child so far.
template <class Records>
OSTREL_ALWAYS_INLINE void AddStartTag(const Records& records, OpenTagStack::OpenElement*& top,
                                      int32_t& lastChild, int32_t f, ElementRecord& element,
                                      int32_t start, int32_t length,
                                      const scan_paths::TagScan& scan) {
  element.parent = top->record;
  element.next = 0;
  element.firstChild = 0;
  const uint32_t level = static_cast<uint32_t>(top->openCount);
  if (lastChild != 0) {
    // Appended behind the last child.
    records(lastChild).next = f;
    element.prev = lastChild;
    element.flags = level;
  } else {
    element.prev = f;
    element.flags = ElementRecord::IsFirstChild | level;
  }
  element.start = start;
  element.tagLengths = static_cast<uint32_t>(length);
  if (scan.empty) {
    // Complete: start-tag length only, end-tag length 0.
    element.length = length;
    lastChild = f;
  } else {
    ++top;
    top->element = &element;
    top->record = f;
    top->start = start;
    top->nameLength = scan.nameEnd - (start + 1);
    lastChild = 0;
  }
}

// The end tag ending at end (its '>') closes the open element `open`, the innermost one (the
// caller has closed those inside it as not ended, leaving lastChild its last child); the caller
// pops it.
OSTREL_ALWAYS_INLINE void CloseOpen(ElementStore& tree, const OpenTagStack::OpenElement& open,
                                    int32_t& lastChild, int32_t endTagLength, int32_t end) {
  ElementRecord& element = *open.element;
  element.length = end + 1 - open.start;
  // Its end-tag length is still 0: it goes in beside the start tag's.
  element.tagLengths |= static_cast<uint32_t>(endTagLength) << 22;
  // Its children are complete: it names the first, which names the last as its prev.
  if (lastChild != 0) {
    element.firstChild = open.record + 1;
    if (lastChild != open.record + 1) tree.At(open.record + 1).prev = lastChild;
  }
  lastChild = open.record;  // an open element is always its parent's last child
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
    // A short text gets room for the elements that usually follow (a command document is
    // built from a 23-byte declaration up to a few hundred bytes), so that building one does not
    // reallocate. Longer texts are held exactly; InsertElement grows them as needed.
    if (length < kSmallTextRoom && text_.capacity() < kSmallTextRoom) text_.reserve(kSmallTextRoom);
    text_.assign(text, length);
  }
  errorText_.clear();
  return Parse();
}

bool XmlDocument::SetTextByteByByte(const char* text) {
  byteByByte_ = true;
  try {
    const bool result = SetText(text);
    byteByByte_ = false;
    return result;
  } catch (...) {
    byteByByte_ = false;
    throw;
  }
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

// The scan's stop searches are chosen once per parse: a block index where the text can be
// searched a block at a time (it has no NUL before its end), with the lead-byte checks compiled
// out under a single-byte code page.
int32_t XmlDocument::ParseElements(ScanCursor& cursor) {
  if (byteByByte_) return ParseElementsWith<block_index::GeneralScanner>(cursor);
#ifdef OSTREL_XML_BLOCK_INDEX
  if (&byte_classes::CurrentClasses() == &byte_classes::kSingleByteClasses)
    return ParseElementsWith<block_index::BlockIndex<false>>(cursor);
  return ParseElementsWith<block_index::BlockIndex<true>>(cursor);
#else
  return ParseElementsWith<block_index::ByteSkipper>(cursor);
#endif
}

template <class Skipper>
int32_t XmlDocument::ParseElementsWith(ScanCursor& cursor) {
  OpenTagStack stack;
  NodeToken token;  // for the nodes the general scanner reads, and for its messages
  ParsePlace place;
  int32_t staleLevelsFrom = 0;  // lowest record whose level went stale, 0 if none
  const bool foldCase = (options_ & CaseInsensitiveEndTags) != 0;
  const byte_classes::ByteClasses& classes = byte_classes::CurrentClasses();
  const char* text = cursor.text;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  // The text has no NUL before its end: a block index may search it a block at a time.
  const int32_t textLength = static_cast<int32_t>(text_.size());
  Skipper skip(classes, bytes, textLength);
#ifdef OSTREL_XML_BLOCK_INDEX
  // The lean loop pays for itself on texts longer than a command document (a quarter of a stop
  // list chunk); a short text is read by this loop alone.
  block_index::StopList stops;
  if constexpr (std::is_same_v<Skipper, block_index::BlockIndex<false>>)
    if (textLength >= block_index::StopChunk() / 4) stops.Start(bytes, textLength);
#endif
  // The scan position stays in a local; the cursor is brought up to date only for the general
  // scanner and for messages.
  int32_t next = cursor.next;

  for (;;) {
    // The common nodes of a single-byte text first, by the lean loop; this one reads the node
    // that loop left to it.
#ifdef OSTREL_XML_BLOCK_INDEX
    if constexpr (std::is_same_v<Skipper, block_index::BlockIndex<false>>)
      if (stops.Started()) {
        const int32_t before = nextFree_;
        const LeanResult lean = ParseCommonNodes(place.count, place.lastChild, stack, stops, next);
        next = lean.next;
        place.count = lean.count;
        place.lastChild = lean.lastChild;
        // Records are numbered in text order: the first one of the parse is its first
        // top-level element.
        if (place.first == 0 && nextFree_ != before) place.first = before;
      }
#endif

    // Read the next node. Text and whitespace are passed over, start and end tags are read by
    // the fast paths with their names left in the text, anything else by the general scanner.
    // The byte-by-byte lane reads every node with the general scanner.
    enum { kOther, kStartTag, kEndTag, kEnd } node = kOther;
    scan_paths::TagScan scan;
    bool closesInnermost = false;  // an end tag already known to close the innermost element
    int32_t start = next;
    const int32_t count = place.count;
    const int32_t parent = stack[count - 1].record;  // 0 when none is open
    if constexpr (Skipper::kByteByByte) {
      cursor.next = next;
      const NodeType type = detail::ScanNodeGeneral(cursor, token);
      start = token.start;
      next = cursor.next;
      scan.end = next - 1;
      scan.named = scan.ended = true;
      if (type == NodeType::ElementTag) {
        node = kStartTag;
        scan.nameEnd = start + 1 + static_cast<int32_t>(token.text.size());
        scan.empty = (token.flags & EmptyElement) != 0;
      } else if (type == NodeType::EndTag) {
        node = kEndTag;
        scan.nameEnd = cursor.nameEnd + 1;
      } else if (type == NodeType::EndOfDocument) {
        node = kEnd;
      } else if (type == NodeType::Error) {
        NoteError(parent, token.text);
      }
    } else {
      const unsigned char nextByte = bytes[next];
      if (nextByte != '<') {
        if (nextByte == '\0') {
          node = kEnd;
        } else {
          // Text and whitespace nodes: to the next '<' that starts a character.
          next = scan_paths::SkipCharacterData(classes, bytes, next, skip);
          continue;
        }
      } else {
        const unsigned char second = bytes[next + 1];
        if ((classes.of[second] & byte_classes::kNameStart) != 0) {
          scan = scan_paths::ScanStartTagAt(classes, bytes, start, skip);
          node = kStartTag;
          if (!scan.ended) {
            next = Unended(cursor, token, start, "Element tag", scan.end + 1);
            NoteError(parent, token.text);
            continue;
          }
        } else if (second == '/') {
          node = kEndTag;
          if (!Skipper::kDoubleByte && count > 0 &&
              EndsInnermost(bytes, start, stack[count - 1], textLength)) {
            // "</" + the innermost element's name + ">": the scan would find just that.
            scan.named = scan.ended = true;
            scan.nameEnd = scan.end = start + 2 + stack[count - 1].nameLength;
            closesInnermost = true;
          } else {
            scan = scan_paths::ScanEndTagAt(classes, bytes, start, skip);
          }
          if (!scan.ended) {
            next = Unended(cursor, token, start, "Element end tag", scan.end + 1);
            NoteError(parent, token.text);
            continue;
          }
        } else if (const char* kind = PassedOverKind(bytes, start)) {
          int32_t nul = 0;
          const int32_t end = SkipPassedOver(classes, bytes, start, skip, nul);
          if (end < 0) {
            next = Unended(cursor, token, start, kind, nul);
            NoteError(parent, token.text);
          } else {
            next = end + 1;
          }
          continue;
        } else {
          // A declaration or an error: never a start or an end tag.
          cursor.next = next;
          if (ScanNode(cursor, token) == NodeType::Error) NoteError(parent, token.text);
          next = cursor.next;
          continue;
        }
        next = scan.end + 1;
      }
    }

    if (node == kEnd) {
      CloseUnended(stack, -1, count, text, 0, -1, place.lastChild, staleLevelsFrom);
      // The top-level list is complete: its first element (record 1) names the last as its prev.
      if (place.lastChild != 0) At(1).prev = place.lastChild;
      if (staleLevelsFrom != 0) FixLevelsFrom(staleLevelsFrom);
      cursor.next = next;
      return place.first;
    }

    if (node == kStartTag) {
      const int32_t length = next - start;
      // A start tag whose length or depth the record cannot hold gets no record.
      if (length > ElementRecord::MaxStartTagLength) {
        NoteError(parent, "Element tag at offset %d too long", start);
        continue;
      }
      if (static_cast<uint32_t>(count) > ElementRecord::MaxLevel) {
        NoteError(parent, "Element tag at offset %d nested too deep", start);
        continue;
      }
      const bool grows = nextFree_ == tree_.Capacity();
      const int32_t f = NewRecord();
      // A growth may copy a segment, and with it records of open elements.
      if (grows) PointOpenSlots(stack, count);
      if (place.first == 0) place.first = f;
      OpenTagStack::OpenElement* top = &stack[count - 1];
      AddStartTag([this](int32_t i) -> ElementRecord& { return At(i); }, top, place.lastChild, f,
                  At(f), start, length, scan);
      place.count = top->openCount;
      stack.MakeRoomFor(place.count);
      continue;
    }

    if (node == kEndTag) {
      const int32_t length = next - start;
      const int32_t nameStart = start + 2;
      const int32_t n = scan.nameEnd - nameStart;
      if (length > ElementRecord::MaxEndTagLength) {
        // Its length would not fit the record: it closes nothing.
        NoteError(parent, "Element end tag at offset %d too long", start);
        continue;
      }
      const char* endName = text + nameStart;
      int32_t j = count - 1;
      // Most end tags close the innermost element, by the same name: that case without a call.
      const bool innermostSame =
          closesInnermost ||
          (j >= 0 && !foldCase && stack[j].nameLength == n &&
           SameBytes(text + stack[j].NameStart(), endName, static_cast<size_t>(n)));
      if (!innermostSame) {
        while (j >= 0 &&
               !NameMatches(text + stack[j].NameStart(), stack[j].nameLength, endName, n, foldCase))
          --j;
      }
      if (j < 0) {
        NoteContentError(parent);
        if (errorText_.empty()) {
          errorText_ = Format("No start tag for end tag '%s' at offset %d",
                              std::string(endName, static_cast<size_t>(n)).c_str(), start);
        }
        continue;
      }
      if (j < count - 1)
        CloseUnended(stack, j, count, text, nameStart, n, place.lastChild, staleLevelsFrom);
      CloseOpen(tree_, stack[j], place.lastChild, length, next - 1);
      place.count = j;
      continue;
    }
  }
}

#ifdef OSTREL_XML_BLOCK_INDEX
namespace {

// How far ahead of the record being written the lean loop prefetches: 64 records, 2 KB.
constexpr uintptr_t kPrefetchAhead = 64 * sizeof(ElementRecord);

// The first byte from q on that ends a name in a single-byte text (whitespace, '/', '>', or the
// terminating NUL). Names are short: a byte at a time costs less than setting up a wider search.
OSTREL_ALWAYS_INLINE std::ptrdiff_t FindNameEnd(const unsigned char* t, std::ptrdiff_t q) {
  while ((byte_classes::kSingleByteClasses.of[t[q]] & byte_classes::kNameEnd) == 0) ++q;
  return q;
}

// Does the '>' or other stop at `end` close a passed-over node whose delimiter is `delimiter`:
// a '>' after "--" or "]]", or after '?' past offset 2?
OSTREL_ALWAYS_INLINE bool ClosesPassedOver(const unsigned char* t, std::ptrdiff_t end,
                                           unsigned char delimiter) {
  if (t[end] != '>') return false;
  if (delimiter == '?') return end > 2 && t[end - 1] == '?';
  return t[end - 1] == delimiter && t[end - 2] == delimiter;
}

}  // namespace

// The lean loop for a single-byte text: start tags, end tags that close the innermost element
// by its exact name, character data, and comments, CDATA sections and processing instructions
// that end. A tag whose end follows its name is read directly; runs that may be long (character
// data, a tag's attributes, a passed-over node's body) are passed over by the list of stops, so
// that their end never waits on a search through their bytes. The tree position lives in
// locals, so that the hot state stays in registers. Its result names the first node it
// leaves to the general loop: the end of the text, any other node, a node in error, a node whose
// end lies beyond the stop list's chunk (the general loop reads it, and the next call lists the
// chunk after it: so the loop makes no calls), or a start tag that the record store or the
// open-tag stack has no room for yet (the general loop makes room).
XmlDocument::LeanResult XmlDocument::ParseCommonNodes(int32_t count, int32_t lastChildIn,
                                                      OpenTagStack& stack,
                                                      block_index::StopList& list, int32_t next) {
  const byte_classes::ByteClasses& classes = byte_classes::kSingleByteClasses;
  const unsigned char* t = reinterpret_cast<const unsigned char*>(text_.c_str());
  const int32_t textLength = static_cast<int32_t>(text_.size());
  const int32_t capacity = tree_.Capacity();
  // How deep an element may open here: the record holds levels up to MaxLevel, and a push may
  // not fill the stack's last slot.
  const int32_t emptyLimit = static_cast<int32_t>(ElementRecord::MaxLevel) + 1;
  const int32_t openLimit = std::min(emptyLimit, stack.Capacity() - 1);
  // The innermost open slot stands for the count of open elements (slot -1 when none is open);
  // a start tag needs a look at the limits only once the count reaches openLimit.
  OpenTagStack::OpenElement* top = &stack[count - 1];
  const OpenTagStack::OpenElement* const openLimitTop = &stack[openLimit - 1];
  int32_t lastChild = lastChildIn;
  int32_t nextFree = nextFree_;
  // The segment the next record goes into holds records segmentFirst up to segmentEnd (none
  // before the first start tag); inSegment gives them by number, without a segment look-up, as
  // an address (recordAt, where record 0 would lie) rather than a pointer outside the segment.
  uintptr_t recordAt = 0;
  int32_t segmentFirst = nextFree;
  int32_t segmentEnd = nextFree;
  const auto inSegment = [&recordAt](int32_t i) -> ElementRecord& {
    return *reinterpret_cast<ElementRecord*>(recordAt +
                                             static_cast<uintptr_t>(i) * sizeof(ElementRecord));
  };
  block_index::StopList::Reader stops(list, next);
  // Offsets held at the width of a pointer, so that reading the text needs no widening.
  std::ptrdiff_t q = next;  // the node being read

  for (;;) {
    if (t[q] != '<') {
      // Character data, to the next '<'. The NUL ends the text or the reader's chunk: either
      // way the general loop goes on from the data's start.
      if (t[q] == '\0') break;
      std::ptrdiff_t end = stops.From(static_cast<int32_t>(q));
      while (t[end] != '<' && t[end] != '\0') end = stops.Next();
      if (t[end] == '\0') break;
      q = end;
    }
    const unsigned char second = t[q + 1];
    if ((classes.of[second] & byte_classes::kNameStart) != 0) {
      // A start tag: its name, then its body to the first '>' outside quoted values.
      const std::ptrdiff_t nameEnd = FindNameEnd(t, q + 2);
      std::ptrdiff_t end = nameEnd;
      bool empty = false;
      if (t[nameEnd] != '>') {
        if (t[nameEnd] == '\0') break;
        end = stops.From(static_cast<int32_t>(nameEnd));
        for (;;) {
          const unsigned char c = t[end];
          if (c == '>' || c == '\0') break;
          if (c == '"' || c == '\'') {
            do end = stops.Next();
            while (t[end] != c && t[end] != '\0');
            if (t[end] == '\0') break;
          }
          end = stops.Next();
        }
        if (t[end] == '\0') break;
        // The last two bytes of the body decide whether "/>" closes an empty element.
        const unsigned char beforeLast = end - 2 >= nameEnd ? t[end - 2] : 0;
        empty = scan_paths::IsEmptyElementEnding(classes, t[end - 1], beforeLast);
      }
      const std::ptrdiff_t length = end + 1 - q;
      if (length > ElementRecord::MaxStartTagLength) break;
      if (top >= openLimitTop && (!empty || top->openCount >= emptyLimit)) break;
      if (nextFree == segmentEnd) {
        // The next record lies in another segment, or the store is full (the general loop
        // grows it).
        if (nextFree == capacity) break;
        segmentFirst = nextFree & ~0xFFFF;
        recordAt = reinterpret_cast<uintptr_t>(&tree_.At(segmentFirst)) -
                   static_cast<uintptr_t>(segmentFirst) * sizeof(ElementRecord);
        segmentEnd = std::min(capacity, (nextFree | 0xFFFF) + 1);
      }
      // A long text's records go to memory that is not in the cache, and memory brings a
      // line in more slowly than records are written: the line of a record some way ahead is
      // asked for now (beyond the segment too: a prefetch never faults).
      const uintptr_t ahead =
          recordAt + static_cast<uintptr_t>(nextFree) * sizeof(ElementRecord) + kPrefetchAhead;
      _mm_prefetch(reinterpret_cast<const char*>(ahead), _MM_HINT_T0);
      scan_paths::TagScan scan;
      scan.nameEnd = static_cast<int32_t>(nameEnd);
      scan.empty = empty;
      // The last child lies in the current segment unless the segment began after it.
      const auto records = [this, &inSegment, segmentFirst](int32_t i) -> ElementRecord& {
        return i >= segmentFirst ? inSegment(i) : tree_.At(i);
      };
      AddStartTag(records, top, lastChild, nextFree, inSegment(nextFree), static_cast<int32_t>(q),
                  static_cast<int32_t>(length), scan);
      ++nextFree;
      q = end + 1;
      continue;
    }
    if (second == '/') {
      // Slot -1's name is longer than any end tag: no test for an empty stack.
      const int32_t length = 3 + top->nameLength;
      if (length > ElementRecord::MaxEndTagLength || !EndsInnermost(t, q, *top, textLength)) break;
      CloseOpen(tree_, *top, lastChild, length, static_cast<int32_t>(q) + length - 1);
      --top;
      q += length;
      continue;
    }
    // A comment, CDATA section or processing instruction: to the '>' its delimiter closes.
    if (PassedOverKind(t, q) == nullptr) break;
    // A processing instruction's target name is not read: it ends at the first byte that ends
    // a name, and no stop before that is a '>', so its end is the same '>' either way.
    const unsigned char delimiter = second == '?' ? '?' : t[q + 2] == '-' ? '-' : ']';
    std::ptrdiff_t end = stops.From(static_cast<int32_t>(delimiter == '?' ? q + 2 : q + 4));
    while (t[end] != '\0' && !ClosesPassedOver(t, end, delimiter)) end = stops.Next();
    if (t[end] == '\0') break;
    q = end + 1;
  }

  nextFree_ = nextFree;
  return LeanResult{static_cast<int32_t>(q), top->openCount, lastChild};
}
#endif  // OSTREL_XML_BLOCK_INDEX

// The text ended inside a tag that starts at start: the scanner's message goes into the token.
int32_t XmlDocument::Unended(ScanCursor& cursor, NodeToken& token, int32_t start, const char* kind,
                             int32_t nul) {
  cursor.next = start;
  token.start = start;
  token.flags = 0;
  scan_paths::Unterminated(cursor, token, kind, nul);
  return cursor.next;
}

// A node in error inside parent: the document is ill-formed, and the first message is kept.
void XmlDocument::NoteError(int32_t parent, const std::string& message) {
  NoteContentError(parent);
  if (errorText_.empty()) errorText_ = message;
}

void XmlDocument::NoteError(int32_t parent, const char* format, int32_t offset) {
  NoteContentError(parent);
  if (errorText_.empty()) errorText_ = Format(format, offset);
}

// Closes the open elements in slots outer + 1 to count - 1 as not ended, as if one at a time
// from the innermost outwards: each loses its end tag and its children, which follow it as
// siblings. Done in one pass, every moved record ends up a child of the element in slot outer
// (the document record when outer is -1), so each record is moved at most once per parse.
void XmlDocument::CloseUnended(OpenTagStack& stack, int32_t outer, int32_t count, const char* text,
                               int32_t endNameStart, int32_t endNameLength, int32_t& lastChild,
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
    // Its first child, if it has one (the next open element is one), is the record after it.
    const int32_t firstChild = i + 1 < count || lastChild != 0 ? u + 1 : 0;
    finalLast = u;
    if (firstChild == 0) continue;

    ElementRecord& head = At(firstChild);
    // The closed element's last child: the next open element, or for the innermost one the
    // last child so far.
    finalLast = i + 1 < count ? stack[i + 1].record : lastChild;
    head.flags &= ~ElementRecord::IsFirstChild;
    head.prev = u;
    closed.next = firstChild;
    // The chain ends at the next open element (its next is still 0) or at the last child.
    for (int32_t c = firstChild; c != 0; c = At(c).next) At(c).parent = target;
    if (staleLevelsFrom == 0 || firstChild < staleLevelsFrom) staleLevelsFrom = firstChild;
  }

  // The target's last child is now the last record moved.
  lastChild = finalLast;
  if (contentError) At(target).flags |= ElementRecord::ContentError;

  if (!errorText_.empty()) return;
  const OpenTagStack::OpenElement& innermost = stack[count - 1];
  const std::string name(text + innermost.NameStart(), static_cast<size_t>(innermost.nameLength));
  const int32_t start = At(innermost.record).start;
  if (endNameLength < 0) {
    errorText_ = Format("Element '%s' at offset %d not ended", name.c_str(), start);
  } else {
    const std::string endName(text + endNameStart, static_cast<size_t>(endNameLength));
    errorText_ = Format("End tag '%s' at offset %d does not match start tag '%s' at offset %d",
                        endName.c_str(), endNameStart - 1, name.c_str(), start);
  }
}

void XmlDocument::PointOpenSlots(OpenTagStack& stack, int32_t count) {
  for (int32_t i = 0; i < count; ++i) stack[i].element = &At(stack[i].record);
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
