// Setting the text: one forward pass over it that rebuilds the element records, pairs end tags
// with open elements by the repair rules, and words the first error met.
#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "platform/mbcs.h"
#include "xml/byte_classes.h"
#include "xml/open_tag_stack.h"
#include "xml/scan_paths.h"
#include "xml/stop_list.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

// One more than the deepest level a record holds: the count of open elements under which an
// empty element may still be added.
constexpr int32_t kLevelLimit = static_cast<int32_t>(ElementRecord::kMaxLevel) + 1;

// Texts from this long on have their records counted before the parse (see Parse); a shorter
// one starts in the store's own block, and the parse reckons its records when it outgrows that.
constexpr size_t kCountRecordsFrom = 8 * 1024;

// How much of a text the count of its records reads: kCountWindows windows spread over it
// evenly, a quarter of the text in all and at most kCountSampleBytes.
constexpr int64_t kCountSampleBytes = 64 * 1024;
constexpr int64_t kCountWindows = 4;

// About how many records a parse of the text takes (the document's and one per start tag), at
// most a segment's worth, reckoned from windows of it. Too few costs a copy of the first
// segment while the parse runs, too many only their room.
int32_t ExpectedRecords(const DocumentText& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  const auto length = static_cast<int64_t>(text.size());
  const int32_t limit = ElementStore::kSegmentRecords;
  const int64_t window = std::min(length / 4, kCountSampleBytes) / kCountWindows;
  int64_t counted = 0;
  for (int64_t w = 0; w < kCountWindows; ++w) {
    const int64_t from = (length - window) * w / (kCountWindows - 1);
    counted += block_index::CountStartTags(bytes + from, static_cast<int32_t>(window), limit);
  }
  const int64_t expected = counted * length / (window * kCountWindows);
  return static_cast<int32_t>(std::min<int64_t>(expected + 1, limit));
}

// A single-byte text shorter than this is searched a byte at a time: its stops lie so close
// together that classifying its blocks costs more than it saves.
constexpr int32_t kByteSearchBelow = 2048;

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
bool NameMatches(const char* open, int32_t open_length, const char* end_name, int32_t n,
                 bool fold_case) {
  if (open_length < n) return false;
  if (fold_case) {
    if (platform::_mbsnicmp(reinterpret_cast<const unsigned char*>(open),
                            reinterpret_cast<const unsigned char*>(end_name),
                            static_cast<size_t>(n)) != 0)
      return false;
  } else if (!SameBytes(open, end_name, static_cast<size_t>(n))) {
    return false;
  }
  if (open_length == n) return true;
  const char after = open[n];
  return after == ' ' || after == '=' || after == '/' || after == '[' || after == ']';
}

// Under a single-byte code page a stored name holds no byte that ends a name, so "</", the
// innermost open element's name and ">" is an end tag of exactly that name, closing it.
OSTREL_ALWAYS_INLINE bool EndsInnermost(const unsigned char* t, std::ptrdiff_t start,
                                        const OpenTagStack::OpenElement& open,
                                        std::ptrdiff_t length) {
  const std::ptrdiff_t close = start + 2 + open.name_length;
  return close < length && t[close] == '>' &&
         SameBytes(reinterpret_cast<const char*>(t) + start + 2,
                   reinterpret_cast<const char*>(t) + open.NameStart(),
                   static_cast<size_t>(open.name_length));
}

// The end of the comment, CDATA section or processing instruction opening at start: the
// offset of its closing '>', or -1 when the text ends first (nul then holds the offset of its
// NUL). Its body is not read (a processing instruction's target name is read first).
template <class Skipper>
OSTREL_ALWAYS_INLINE int32_t SkipDelimited(const byte_classes::ByteClasses& classes,
                                           const unsigned char* t, int32_t start, Skipper& skip,
                                           int32_t& nul) {
  int32_t body = start + 4;
  const unsigned char delimiter = scan_paths::DelimiterOf(t, start);
  if (delimiter == '?') body = skip.template SkipTo<block_index::Stops::kNameEnd>(start + 2);
  nul = body;
  if (t[body] == '\0') return -1;
  return scan_paths::SkipDelimitedBody(classes, t, body, delimiter, skip, nul);
}

// A new record f (element) for the start tag at start, of length bytes, appended as the last child
// of the innermost open element (top; the document's slot when none is open); an element that is
// not empty is opened: pushed on the stack (the caller makes room for the next push) and made the
// parent of what follows. last_child is the innermost open element's last child so far.
//
// Records are numbered in text order, so an element's first child, if it has any, is the record
// after its own. While an element is open its first_child is left 0 and its first child's prev
// names the child itself: the parse sets both once the element closes (the document record's
// once the text ends), so that adding a child writes no other record than the previous sibling.
template <class Records>
OSTREL_ALWAYS_INLINE void AddStartTag(const Records& records, OpenTagStack::OpenElement*& top,
                                      int32_t& last_child, int32_t f, ElementRecord& element,
                                      int32_t start, int32_t length, int32_t name_end, bool empty) {
  element.parent = top->record;
  element.next = 0;
  element.first_child = 0;
  const uint32_t level = static_cast<uint32_t>(top->open_count);
  if (last_child != 0) {
    // Appended behind the last child.
    records(last_child).next = f;
    element.prev = last_child;
    element.flags = level;
  } else {
    element.prev = f;
    element.flags = ElementRecord::kIsFirstChild | level;
  }
  element.start = start;
  element.tag_lengths = static_cast<uint32_t>(length);
  if (empty) {
    // Complete: start-tag length only, end-tag length 0.
    element.length = length;
    last_child = f;
  } else {
    ++top;
    top->element = &element;
    top->record = f;
    top->start = start;
    top->name_length = name_end - (start + 1);
    last_child = 0;
  }
}

// The end tag ending at end (its '>') closes the open element `open`, the innermost one (the
// caller has closed those inside it as not ended, leaving last_child its last child); the caller
// pops it.
template <class Records>
OSTREL_ALWAYS_INLINE void CloseOpen(const Records& records, const OpenTagStack::OpenElement& open,
                                    int32_t& last_child, int32_t end_tag_length, int32_t end) {
  ElementRecord& element = *open.element;
  element.length = end + 1 - open.start;
  // Its end-tag length is still 0: it goes in beside the start tag's.
  element.tag_lengths |= static_cast<uint32_t>(end_tag_length) << ElementRecord::kEndTagShift;
  // Its children are complete: it names the first, which names the last as its prev.
  if (last_child != 0) {
    element.first_child = open.record + 1;
    if (last_child != open.record + 1) records(open.record + 1).prev = last_child;
  }
  last_child = open.record;  // an open element is always its parent's last child
}

// Where the parse stands in the tree: how many elements are open, and the innermost open
// element's last child so far (0 if none).
struct Place {
  int32_t count = 0;
  int32_t last_child = 0;
};

// What ParseNode read: a node that builds nothing, a start tag, an end tag, or the text's end.
enum class Node { kOther, kStartTag, kEndTag, kEnd };

// A node read by ParseNode: where it starts, and for a tag where its name ends and
// whether it is empty. An end tag already known to close the innermost element by its exact
// name is marked so.
struct NodeRead {
  Node node = Node::kOther;
  int32_t start = 0;
  int32_t name_end = 0;
  bool empty = false;
  bool closes_innermost = false;
};

// The parse of one text into the document's records: the open-tag stack, the position, the
// first error. The records and the error text are the document's; the parse writes them.
class Parser {
 public:
  Parser(const DocumentText& text, uint32_t options, ElementStore& tree, int32_t& next_free,
         std::string& error_text)
      : text_(text.c_str()),
        bytes_(reinterpret_cast<const unsigned char*>(text.c_str())),
        length_(static_cast<int32_t>(text.size())),
        fold_case_((options & kCaseInsensitiveEndTags) != 0),
        classes_(byte_classes::CurrentClasses()),
        tree_(tree),
        next_free_(next_free),
        error_text_(error_text) {
    cursor_.text = text_;
    cursor_.options = options;
  }

  // Parses the whole text, every node read by `scan` when it is given; returns the first
  // top-level element, 0 if none.
  int32_t Run(NodeScanner scan);

 private:
  // Marks a parse whose nodes are all read by a scanner given to it.
  struct ScannedBy {
    NodeScanner scan;
  };

  // The skipper is made in the loop's own frame from `args`, not handed over by value: its
  // fields go in as registers rather than through a copy in memory.
  template <class Skipper, class... Args>
  OSTREL_NEVER_INLINE void ParseNodes(Place& place, Args&&... args);
  OSTREL_NEVER_INLINE void ParseListedStops(Place& place);
  template <class Skipper>
  int32_t ParseNode(Skipper& skip, int32_t next, Place& place);
  template <class Skipper>
  NodeRead ReadNode(Skipper& skip, int32_t& next, int32_t count, int32_t parent);
  NodeRead ReadNode(ScannedBy& scanner, int32_t& next, int32_t count, int32_t parent);
  void AddElement(const NodeRead& read, int32_t length, int32_t count, int32_t parent,
                  Place& place);
  void EndElement(const NodeRead& read, int32_t next, int32_t count, int32_t parent, Place& place);
  int32_t Finish(Place& place);

  int32_t NewRecord() {
    if (next_free_ == tree_.Capacity()) tree_.EnsureCapacity(0, next_free_);
    return next_free_++;
  }
  ElementRecord& At(int32_t index) { return tree_.At(index); }
  void PointOpenSlots(int32_t count);
  // The innermost open element's slot stands for the count of open elements (the document's slot
  // when none is open). From this slot on a start tag needs a look at the limits: the level a
  // record holds, and a push may not fill the stack's last slot.
  const OpenTagStack::OpenElement* OpenLimit() {
    return &stack_[std::min(kLevelLimit, stack_.Capacity() - 1) - 1];
  }
  void CloseUnended(int32_t outer, int32_t count, int32_t end_name_start, int32_t end_name_length,
                    int32_t& last_child);
  void NoteUnclosed(int32_t count, int32_t end_name_start, int32_t end_name_length);
  int32_t Unended(int32_t parent, int32_t start, const char* kind, int32_t nul);
  void NoteContentError(int32_t parent);
  void NoteError(int32_t parent, const std::string& message);
  void NoteError(int32_t parent, const char* format, int32_t offset);
  void FixLevelsFrom(int32_t first);

  const char* const text_;
  const unsigned char* const bytes_;
  const int32_t length_;  // the text has no NUL before it
  const bool fold_case_;
  const byte_classes::ByteClasses& classes_;
  ElementStore& tree_;
  int32_t& next_free_;
  std::string& error_text_;
  OpenTagStack stack_;
  ScanCursor cursor_;  // for the nodes the general scanner reads, and for its messages
  NodeToken token_;
  int32_t stale_levels_from_ = 0;  // lowest record whose level went stale, 0 if none
};

}  // namespace

bool XmlDocument::SetText(const char* text) { return ReplaceText(text, nullptr); }

bool detail::SetTextScannedBy(XmlDocument& document, const char* text, NodeScanner scan) {
  return document.ReplaceText(text, scan);
}

bool XmlDocument::ReplaceText(const char* text, NodeScanner scan) {
  if (text == nullptr) {
    text_.clear();
  } else {
    const size_t length = std::strlen(text);
    if (length > kMaxTextLength) {
      // Not indexable with 32-bit offsets: the document holds no text instead.
      text_.clear();
      Parse(scan);
      error_text_ = "Document too large";
      return false;
    }
    // A short text is held inside the document with room for the elements that usually follow
    // (a command document is built from a 23-byte declaration up to a few hundred bytes); a
    // longer one exactly, and InsertElement grows it as needed.
    text_.assign(text, length);
  }
  error_text_.clear();
  return Parse(scan);
}

bool XmlDocument::Parse(NodeScanner scan) {
  if (text_.empty()) {
    Clear();
    return false;
  }
  SetPosition(0, 0, 0);
  next_free_ = 1;
  const int32_t estimate = static_cast<int32_t>(text_.size() / 64) + 8;
  // The store's first segment gets room for the records the text will take, so that it does
  // not grow by copying while the parse runs (the old and the new block would both be held).
  if (text_.size() >= kCountRecordsFrom) tree_.ReserveForGrowth(estimate, ExpectedRecords(text_));
  EnsureCapacity(estimate);
  At(0) = ElementRecord{0, 0, 0, 0, 0, 0, 0, 0};
  Parser parser(text_, options_, tree_, next_free_, error_text_);
  const int32_t first = parser.Run(scan);
  ElementRecord& document = At(0);
  document.length = static_cast<int32_t>(text_.size());
  if (first == 0) {
    error_text_ = "No root element";
  } else {
    document.first_child = first;
    if (At(first).next != 0) error_text_ = "Root element has sibling";
  }
  SetPosition(0, 0, 0);
  return CheckWellFormed();
}

bool XmlDocument::CheckWellFormed() const {
  if (tree_.Capacity() == 0) return false;
  const ElementRecord& document = At(0);
  if (document.Has(ElementRecord::kIllFormed)) return false;
  if (document.first_child == 0) return false;
  return At(document.first_child).next == 0;
}

namespace {

// The stop search is chosen once per parse: a block index where the text can be searched a
// block at a time (it has no NUL before its end), with the lead-byte checks compiled out under
// a single-byte code page; for a short single-byte text the byte table, and for a long one its
// list of stops.
int32_t Parser::Run(NodeScanner scan) {
  Place place;
  if (scan != nullptr) {
    ScannedBy scanner{scan};
    for (int32_t next = 0; next >= 0;) next = ParseNode(scanner, next, place);
    return Finish(place);
  }
#ifdef OSTREL_XML_BLOCK_INDEX
  if (&classes_ != &byte_classes::kSingleByteClasses) {
    ParseNodes<block_index::BlockIndex<true>>(place, classes_, bytes_, length_);
  } else if (length_ < kByteSearchBelow) {
    ParseNodes<block_index::BasicByteSkipper<false>>(place, classes_, bytes_, length_);
  } else if (length_ < block_index::ListStopsFrom()) {
    ParseNodes<block_index::BlockIndex<false>>(place, classes_, bytes_, length_);
  } else {
    ParseListedStops(place);
  }
#else
  ParseNodes<block_index::ByteSkipper>(place, classes_, bytes_, length_);
#endif
  return Finish(place);
}

#ifdef OSTREL_XML_BLOCK_INDEX
// A long text's parse, through the list of its stops (kept out of Run: the list's own room would
// weigh on every short parse's frame).
void Parser::ParseListedStops(Place& place) {
  block_index::StopList stops(bytes_, length_);
  ParseNodes<block_index::ListedSkipper>(place, stops, bytes_);
}
#endif

// Reads the node at next the general way and builds what it holds. Returns where the node after
// it starts, or -1 at the end of the text.
template <class Skipper>
OSTREL_NEVER_INLINE int32_t Parser::ParseNode(Skipper& skip, int32_t next, Place& place) {
  const int32_t count = place.count;
  const int32_t parent = stack_[count - 1].record;  // 0 when none is open
  const NodeRead read = ReadNode(skip, next, count, parent);
  switch (read.node) {
    case Node::kEnd:
      cursor_.next = next;
      return -1;
    case Node::kStartTag:
      AddElement(read, next - read.start, count, parent, place);
      break;
    case Node::kEndTag:
      EndElement(read, next, count, parent, place);
      break;
    case Node::kOther:
      break;
  }
  return next;
}

// Reads the next node with the scanner given to the parse.
NodeRead Parser::ReadNode(ScannedBy& scanner, int32_t& next, int32_t /*count*/, int32_t parent) {
  NodeRead read;
  cursor_.next = next;
  const NodeType type = scanner.scan(cursor_, token_);
  read.start = token_.start;
  next = cursor_.next;
  if (type == NodeType::ElementTag) {
    read.node = Node::kStartTag;
    read.name_end = read.start + 1 + static_cast<int32_t>(token_.text.size());
    read.empty = (token_.flags & kEmptyElement) != 0;
  } else if (type == NodeType::EndTag) {
    read.node = Node::kEndTag;
    read.name_end = cursor_.name_end + 1;
  } else if (type == NodeType::EndOfDocument) {
    read.node = Node::kEnd;
  } else if (type == NodeType::Error) {
    NoteError(parent, token_.text);
  }
  return read;
}

// Reads the next node. Text and whitespace are skipped, start and end tags are read by the
// fast paths with their names left in the text, anything else by the general scanner. A node
// in error is noted here and read as kOther.
template <class Skipper>
OSTREL_ALWAYS_INLINE NodeRead Parser::ReadNode(Skipper& skip, int32_t& next, int32_t count,
                                               int32_t parent) {
  NodeRead read;
  const int32_t start = next;
  read.start = start;
  const unsigned char first = bytes_[start];
  if (first != '<') {
    if (first == '\0') {
      read.node = Node::kEnd;
    } else {
      // Text and whitespace nodes: to the next '<' that starts a character.
      next = scan_paths::SkipCharacterData(classes_, bytes_, start, skip);
    }
    return read;
  }
  const unsigned char second = bytes_[start + 1];
  scan_paths::TagScan scan;
  if ((classes_.of[second] & byte_classes::kNameStart) != 0) {
    scan = scan_paths::ScanStartTagAt(classes_, bytes_, start, skip);
    if (!scan.ended) {
      next = Unended(parent, start, "Element tag", scan.end + 1);
      return read;
    }
    read.node = Node::kStartTag;
    read.empty = scan.empty;
  } else if (second == '/') {
    if (!Skipper::kDoubleByte && count > 0 &&
        EndsInnermost(bytes_, start, stack_[count - 1], length_)) {
      // "</" + the innermost element's name + ">": the scan would find just that.
      scan.name_end = scan.end = start + 2 + stack_[count - 1].name_length;
      read.closes_innermost = true;
    } else {
      scan = scan_paths::ScanEndTagAt(classes_, bytes_, start, skip);
      if (!scan.ended) {
        next = Unended(parent, start, "Element end tag", scan.end + 1);
        return read;
      }
    }
    read.node = Node::kEndTag;
  } else if (const char* kind = scan_paths::DelimitedKind(bytes_, start)) {
    int32_t nul = 0;
    const int32_t end = SkipDelimited(classes_, bytes_, start, skip, nul);
    if (end < 0) {
      next = Unended(parent, start, kind, nul);
    } else {
      next = end + 1;
    }
    return read;
  } else {
    // A declaration or an error: never a start or an end tag.
    cursor_.next = next;
    if (ScanNode(cursor_, token_) == NodeType::Error) NoteError(parent, token_.text);
    next = cursor_.next;
    return read;
  }
  read.name_end = scan.name_end;
  next = scan.end + 1;
  return read;
}

// A start tag of length bytes: a new record, and unless it is empty a new open element. A start
// tag whose length or depth the record cannot hold gets no record.
OSTREL_ALWAYS_INLINE void Parser::AddElement(const NodeRead& read, int32_t length, int32_t count,
                                             int32_t parent, Place& place) {
  if (length > ElementRecord::kMaxStartTagLength) {
    NoteError(parent, "Element tag at offset %d too long", read.start);
    return;
  }
  if (static_cast<uint32_t>(count) > ElementRecord::kMaxLevel) {
    NoteError(parent, "Element tag at offset %d nested too deep", read.start);
    return;
  }
  const bool grows = next_free_ == tree_.Capacity();
  if (grows && read.start > 0) {
    // The records so far, for the share of the text read, tell about how many it takes.
    const int64_t expected = int64_t{next_free_} * length_ / read.start;
    tree_.ReserveForGrowth(0, static_cast<int32_t>(std::min<int64_t>(expected, INT32_MAX)));
  }
  const int32_t f = NewRecord();
  // A growth may copy a segment, and with it records of open elements.
  if (grows) PointOpenSlots(count);
  OpenTagStack::OpenElement* top = &stack_[count - 1];
  AddStartTag([this](int32_t i) -> ElementRecord& { return At(i); }, top, place.last_child, f,
              At(f), read.start, length, read.name_end, read.empty);
  place.count = top->open_count;
  stack_.MakeRoomFor(place.count);
}

// An end tag ending before next: it closes the innermost open element of its name, and the
// elements inside that one as not ended.
OSTREL_ALWAYS_INLINE void Parser::EndElement(const NodeRead& read, int32_t next, int32_t count,
                                             int32_t parent, Place& place) {
  const int32_t start = read.start;
  const int32_t length = next - start;
  const int32_t name_start = start + 2;
  const int32_t n = read.name_end - name_start;
  if (length > ElementRecord::kMaxEndTagLength) {
    // Its length would not fit the record: it closes nothing.
    NoteError(parent, "Element end tag at offset %d too long", start);
    return;
  }
  const char* end_name = text_ + name_start;
  int32_t j = count - 1;
  // Most end tags close the innermost element, by the same name: that case without a call.
  const bool innermost_same =
      read.closes_innermost ||
      (j >= 0 && !fold_case_ && stack_[j].name_length == n &&
       SameBytes(text_ + stack_[j].NameStart(), end_name, static_cast<size_t>(n)));
  if (!innermost_same) {
    while (j >= 0 && !NameMatches(text_ + stack_[j].NameStart(), stack_[j].name_length, end_name, n,
                                  fold_case_))
      --j;
  }
  if (j < 0) {
    NoteContentError(parent);
    if (error_text_.empty()) {
      error_text_ = Format("No start tag for end tag '%s' at offset %d",
                           std::string(end_name, static_cast<size_t>(n)).c_str(), start);
    }
    return;
  }
  if (j < count - 1) CloseUnended(j, count, name_start, n, place.last_child);
  CloseOpen([this](int32_t i) -> ElementRecord& { return At(i); }, stack_[j], place.last_child,
            length, next - 1);
  place.count = j;
}

// The text's end: the elements still open are closed as not ended.
int32_t Parser::Finish(Place& place) {
  if (place.count > 0) CloseUnended(-1, place.count, 0, -1, place.last_child);
  // The top-level list is complete: its first element (record 1) names the last as its prev.
  if (place.last_child != 0) At(1).prev = place.last_child;
  if (stale_levels_from_ != 0) FixLevelsFrom(stale_levels_from_);
  // Records are numbered in text order: the first one is the first top-level element.
  return next_free_ > 1 ? 1 : 0;
}

// How far ahead of the record being written the parse loop prefetches: 64 records, 2 KB.
constexpr uintptr_t kPrefetchAhead = 64 * sizeof(ElementRecord);

// The byte-table search of a single-byte text serves only texts shorter than kByteSearchBelow.
// Their start tags fit a record's length field, their records lie in the first segment, and those
// records stay in the cache (none is prefetched).
template <class Skipper>
constexpr bool kShortTextsOnly = false;
#ifdef OSTREL_XML_BLOCK_INDEX
template <>
constexpr bool kShortTextsOnly<block_index::BasicByteSkipper<false>> = true;
#endif
static_assert(kByteSearchBelow <= ElementRecord::kMaxStartTagLength + 1 &&
                  kByteSearchBelow <= ElementStore::kSegmentRecords,
              "a short text's start tags and records fit without checks");

// The records of the store's segment that the next record goes into, reached by number without a
// segment look-up: through the address where record 0 would lie, rather than a pointer outside
// the segment.
template <bool kOneSegment>
class SegmentWindow {
 public:
  // When all records lie in one segment, the window opens on it at once (the store holds the
  // document's record).
  explicit SegmentWindow(ElementStore& tree) : tree_(&tree), capacity_(tree.Capacity()) {
    if (kOneSegment) Open(0);
  }

  // Makes record i, the next one written, reachable by InSegment; false when the store is full.
  OSTREL_ALWAYS_INLINE bool Reach(int32_t i) {
    if (i < end_) return true;
    if (i == capacity_) return false;
    Open(ElementStore::FirstOfSegment(i));
    return true;
  }

  OSTREL_ALWAYS_INLINE ElementRecord& InSegment(int32_t i) const {
    return *reinterpret_cast<ElementRecord*>(base_ +
                                             static_cast<uintptr_t>(i) * sizeof(ElementRecord));
  }

  // Any record written so far: the last child lies in the current segment unless the segment
  // began after it (never so when all lie in one).
  OSTREL_ALWAYS_INLINE ElementRecord& operator()(int32_t i) const {
    return kOneSegment || i >= first_ ? InSegment(i) : tree_->At(i);
  }

  // A long text's records go to memory that is not in the cache, and memory brings a line in
  // more slowly than records are written: the line of a record some way ahead is asked for now
  // (beyond the segment too: a prefetch never faults).
  OSTREL_ALWAYS_INLINE void PrefetchAhead(int32_t i) const {
    const uintptr_t ahead =
        base_ + static_cast<uintptr_t>(i) * sizeof(ElementRecord) + kPrefetchAhead;
#ifdef OSTREL_XML_BLOCK_INDEX
    _mm_prefetch(reinterpret_cast<const char*>(ahead), _MM_HINT_T0);
#else
    (void)ahead;
#endif
  }

 private:
  OSTREL_ALWAYS_INLINE void Open(int32_t first) {
    first_ = first;
    base_ = reinterpret_cast<uintptr_t>(&tree_->At(first_)) -
            static_cast<uintptr_t>(first_) * sizeof(ElementRecord);
    end_ = std::min(capacity_, first_ + ElementStore::kSegmentRecords);
  }

  ElementStore* tree_;
  int32_t capacity_;
  uintptr_t base_ = 0;
  int32_t first_ = std::numeric_limits<int32_t>::max();  // no record in the window yet
  int32_t end_ = 0;                                      // none reachable before the first Reach
};

// The parse loop. The nodes most texts are made of are read here, with the tree position in
// locals so that the hot state stays in registers: start tags, end tags that close the innermost
// element by its exact name (under a single-byte code page), character data, and comments, CDATA
// sections and processing instructions that end. Any other node, a node in error, and a start
// tag that the record store or the open-tag stack has no room for yet go to ParseNode, with the
// position handed over and taken back.
template <class Skipper, class... Args>
OSTREL_NEVER_INLINE void Parser::ParseNodes(Place& place, Args&&... args) {
  Skipper skip(std::forward<Args>(args)...);
  // The text and its length as the skipper holds them, in locals that the records' stores
  // cannot alias.
  const unsigned char* const t = skip.Text();
  const int32_t text_length = skip.Length();
  const byte_classes::ByteClasses& classes =
      Skipper::kDoubleByte ? classes_ : byte_classes::kSingleByteClasses;
  OpenTagStack::OpenElement* top = &stack_[place.count - 1];
  const OpenTagStack::OpenElement* open_limit_top = OpenLimit();
  int32_t last_child = place.last_child;
  int32_t next_free = next_free_;
  constexpr bool kShort = kShortTextsOnly<Skipper>;
  SegmentWindow<kShort> records(tree_);
  int32_t q = 0;  // the node being read

  for (;;) {
    if (t[q] != '<') {
      if (t[q] == '\0') break;
      q = scan_paths::SkipCharacterData(classes, t, q, skip);
      if (t[q] == '\0') break;
    }
    const unsigned char second = t[q + 1];
    if ((classes.of[second] & byte_classes::kNameStart) != 0) {
      const scan_paths::TagScan scan = scan_paths::ScanStartTagAt(classes, t, q, skip);
      const int32_t length = scan.end + 1 - q;
      if (scan.ended && (kShort || length <= ElementRecord::kMaxStartTagLength) &&
          (top < open_limit_top || (scan.empty && top->open_count < kLevelLimit)) &&
          records.Reach(next_free)) {
        if (!kShort) records.PrefetchAhead(next_free);
        AddStartTag(records, top, last_child, next_free, records.InSegment(next_free), q, length,
                    scan.name_end, scan.empty);
        ++next_free;
        q = scan.end + 1;
        continue;
      }
    } else if (second == '/') {
      // The document slot's name is longer than any end tag: no test for an empty stack.
      const int32_t length = 3 + top->name_length;
      if (!Skipper::kDoubleByte && length <= ElementRecord::kMaxEndTagLength &&
          EndsInnermost(t, q, *top, text_length)) {
        CloseOpen(records, *top, last_child, length, q + length - 1);
        --top;
        q += length;
        continue;
      }
    } else if (scan_paths::DelimitedKind(t, q) != nullptr) {
      int32_t nul = 0;
      const int32_t end = SkipDelimited(classes, t, q, skip, nul);
      if (end >= 0) {
        q = end + 1;
        continue;
      }
    }
    // Any other node. The skipper goes by a copy, so that the loop's own stays in registers.
    place.count = top->open_count;
    place.last_child = last_child;
    next_free_ = next_free;
    Skipper general = skip;
    general.Rewind(q);
    q = ParseNode(general, q, place);
    if (q < 0) return;
    skip = general;
    top = &stack_[place.count - 1];
    open_limit_top = OpenLimit();
    last_child = place.last_child;
    next_free = next_free_;
    records = SegmentWindow<kShort>(tree_);
  }
  place.count = top->open_count;
  place.last_child = last_child;
  next_free_ = next_free;
  cursor_.next = q;
}
// The text ended inside a tag that starts at start: the scanner's message is noted as the
// error of `parent`.
int32_t Parser::Unended(int32_t parent, int32_t start, const char* kind, int32_t nul) {
  cursor_.next = start;
  token_.start = start;
  token_.flags = 0;
  scan_paths::Unterminated(cursor_, token_, kind, nul);
  NoteError(parent, token_.text);
  return cursor_.next;
}

void Parser::NoteContentError(int32_t parent) {
  At(0).flags |= ElementRecord::kIllFormed;
  At(parent).flags |= ElementRecord::kContentError;
}

// A node in error inside parent: the document is ill-formed, and the first message is kept.
void Parser::NoteError(int32_t parent, const std::string& message) {
  NoteContentError(parent);
  if (error_text_.empty()) error_text_ = message;
}

void Parser::NoteError(int32_t parent, const char* format, int32_t offset) {
  NoteContentError(parent);
  if (error_text_.empty()) error_text_ = Format(format, offset);
}

// Closes the open elements in slots outer + 1 to count - 1 as not ended, as if one at a time
// from the innermost outwards: each loses its end tag and its children, which follow it as
// siblings. Done in one pass, every moved record ends up a child of the element in slot outer
// (the document record when outer is -1), so each record is moved at most once per parse.
// end_name_length -1: at the end of the text, else at the end tag whose name lies at
// end_name_start. last_child: the innermost open element's last child before, the last child of
// the element they close into after.
void Parser::CloseUnended(int32_t outer, int32_t count, int32_t end_name_start,
                          int32_t end_name_length, int32_t& last_child) {
  if (outer + 1 >= count) return;
  At(0).flags |= ElementRecord::kIllFormed;
  const int32_t target = outer >= 0 ? stack_[outer].record : 0;
  bool content_error = false;
  int32_t final_last = 0;

  for (int32_t i = outer + 1; i < count; ++i) {
    const int32_t u = stack_[i].record;
    ElementRecord& closed = At(u);
    if (closed.Has(ElementRecord::kContentError)) {
      content_error = true;
      closed.flags &= ~ElementRecord::kContentError;
    }
    closed.parent = target;  // already so for the outermost
    closed.SetEndTagLength(0);
    closed.flags |= ElementRecord::kUnended;
    closed.length = closed.StartTagLength();
    // Its first child, if it has one (the next open element is one), is the record after it.
    const int32_t first_child = i + 1 < count || last_child != 0 ? u + 1 : 0;
    final_last = u;
    if (first_child == 0) continue;

    ElementRecord& head = At(first_child);
    // The closed element's last child: the next open element, or for the innermost one the
    // last child so far.
    final_last = i + 1 < count ? stack_[i + 1].record : last_child;
    head.flags &= ~ElementRecord::kIsFirstChild;
    head.prev = u;
    closed.next = first_child;
    // The chain ends at the next open element (its next is still 0) or at the last child.
    for (int32_t c = first_child; c != 0; c = At(c).next) At(c).parent = target;
    if (stale_levels_from_ == 0 || first_child < stale_levels_from_)
      stale_levels_from_ = first_child;
  }

  // The target's last child is now the last record moved.
  last_child = final_last;
  if (content_error) At(target).flags |= ElementRecord::kContentError;
  if (error_text_.empty()) NoteUnclosed(count, end_name_start, end_name_length);
}

// The message for open elements closed as not ended; it names the innermost one.
void Parser::NoteUnclosed(int32_t count, int32_t end_name_start, int32_t end_name_length) {
  const OpenTagStack::OpenElement& innermost = stack_[count - 1];
  const std::string name(text_ + innermost.NameStart(), static_cast<size_t>(innermost.name_length));
  const int32_t start = At(innermost.record).start;
  if (end_name_length < 0) {
    error_text_ = Format("Element '%s' at offset %d not ended", name.c_str(), start);
  } else {
    const std::string end_name(text_ + end_name_start, static_cast<size_t>(end_name_length));
    error_text_ = Format("End tag '%s' at offset %d does not match start tag '%s' at offset %d",
                         end_name.c_str(), end_name_start - 1, name.c_str(), start);
  }
}

// Points the open elements on the stack at their records after a growth of the store moved
// records.
void Parser::PointOpenSlots(int32_t count) {
  for (int32_t i = 0; i < count; ++i) stack_[i].element = &At(stack_[i].record);
}

// Records are numbered in text order and a parent always comes before its children, so one
// forward pass sets every level from the parent's.
void Parser::FixLevelsFrom(int32_t first) {
  for (int32_t r = first; r < next_free_; ++r) {
    ElementRecord& record = At(r);
    record.SetLevel(record.parent != 0 ? At(record.parent).Level() + 1 : 0);
  }
}

}  // namespace
}  // namespace ostrel::xml
