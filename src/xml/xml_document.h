// An XML document held as one text string plus an index of its elements: one ElementRecord per
// element, in a segmented store. Setting the text parses it (with worded error messages and
// fixed repair rules); InsertElement writes new elements into the text, laid out one per line,
// and keeps the records in step without parsing again.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "xml/document_text.h"
#include "xml/element_record.h"
#include "xml/element_store.h"
#include "xml/escaping.h"
#include "xml/scanner.h"

namespace ostrel::xml {

// The flag word of InsertElement.
enum CreationFlags : unsigned {
  kAsCData = 0x01,           // a value goes in as a CDATA section instead of being escaped
  kNoLineBreaks = 0x02,      // no CR LF anywhere, no skipping over whitespace
  kSpacedEmptyTag = 0x04,    // "<name />" instead of "<name/>"
  kKeepReferences = 0x08,    // entity and character references in the value stay as they are
  kNoEndTag = 0x10,          // "<name>" alone, left open; a value is refused
  kEscapeQuotes = 0x100,     // apostrophe and double quote are escaped too
  kReplaceContent = 0x1000,  // the element replaces its parent's text content
  kInsertBefore = 0x2000,    // before the reference element (or as first child)
  kAsChild = 0x4000,         // a child of the current element, placed by the current child
};

// Document option: end tags match start tags without regard to ASCII case.
constexpr uint32_t kCaseInsensitiveEndTags = 0x08;

class XmlDocument;
namespace detail {
// SetText with every node read by `scan` instead of by the parse itself: how tests hold the
// parse against the scanner's byte-by-byte machine. Same records, only slower.
bool SetTextScannedBy(XmlDocument& document, const char* text, NodeScanner scan);
}  // namespace detail

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  // A copy holds the same text (with as much room), records, positions, options and error
  // text, and goes its own way after.
  XmlDocument(const XmlDocument& other);
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Replaces the text (nullptr: no text) and parses it. True when it is a well-formed document:
  // exactly one top-level element, every element ended, no rejected node. An ill-formed text
  // is indexed all the same and the first error is worded in ErrorText().
  bool SetText(const char* text);

  // Adds one element at the place the navigation positions designate. False when refused, with
  // nothing changed. The name is written as it stands (attribute text included).
  bool InsertElement(const char* name, const char* value, unsigned flags);

  // Makes the current element the parent of further children. False when there is none.
  bool EnterElement();

  std::string_view Text() const { return text_.View(); }
  // Moves the text out, for a caller that is done with the document, which is left holding no
  // text (as after SetText with none).
  std::string TakeText();
  const std::string& ErrorText() const { return error_text_; }
  bool CheckWellFormed() const;

  uint32_t Options() const { return options_; }
  void SetOptions(uint32_t options) { options_ = options; }

  // Navigation positions (record indexes; 0 = none).
  void SetPosition(int32_t parent, int32_t current, int32_t child) {
    parent_pos_ = parent;
    current_pos_ = current;
    child_pos_ = child;
    node_offset_ = 0;
    node_length_ = 0;
    node_type_ = current != 0 ? 1 : 0;
  }
  int32_t ParentPos() const { return parent_pos_; }
  int32_t CurrentPos() const { return current_pos_; }
  int32_t ChildPos() const { return child_pos_; }
  int32_t CurrentNodeType() const { return node_type_; }  // 1 with a current element, else 0
  int32_t NodeOffset() const { return node_offset_; }
  int32_t NodeLength() const { return node_length_; }

  // Records. Index 0 is the document record; elements are 1 to NextFree() - 1, in text order
  // after a parse. No bounds check.
  const ElementRecord& At(int32_t index) const { return tree_.At(index); }
  int32_t NextFree() const { return next_free_; }
  int32_t Capacity() const { return tree_.Capacity(); }
  const ElementStore& Tree() const { return tree_; }

  // Low-level store access: a caller that takes a record writes all of its fields and keeps
  // the link invariants.
  ElementRecord& At(int32_t index) { return tree_.At(index); }
  int32_t NewRecord() {
    if (next_free_ == tree_.Capacity()) tree_.EnsureCapacity(0, next_free_);
    return next_free_++;
  }
  bool EnsureCapacity(int32_t requested) {
    tree_.EnsureCapacity(requested, next_free_);
    return true;
  }

  // Reading elements back.
  int32_t RootElement() const { return tree_.At(0).first_child; }
  // The name of an element as the text spells it: the bytes after '<' up to the first
  // whitespace, '<', '>', '=', '\', '/', '?', '!'. Empty for record 0.
  std::string ElementTagName(int32_t index) const;
  // The same name as a view into the text, valid until the text changes.
  std::string_view TagNameIn(int32_t index) const;
  // The element's whole markup, start tag through end tag.
  std::string_view ElementMarkup(int32_t index) const;
  // The text between the start tag and the end tag, as written (escaped, CDATA sections kept);
  // empty for an element without end tag. For record 0 the whole text.
  std::string_view ElementContent(int32_t index) const;
  // The first child of `parent` whose tag name is `name`, 0 if none.
  int32_t FindChild(int32_t parent, std::string_view name) const;

 private:
  // The markup of an element being added, assembled in one buffer (on the stack unless it is
  // long) and written into the text in one step. Assembling it first also copies a name or value
  // that lies inside the text out of it before the text changes.
  class PendingNode {
   public:
    int32_t start = 0;
    unsigned flags = 0;

    PendingNode() = default;
    PendingNode(const PendingNode&) = delete;
    PendingNode& operator=(const PendingNode&) = delete;

    // Room for `more` bytes behind the markup; Append writes only into room reserved so.
    void Reserve(size_t more);
    void Append(char c) { *end_++ = c; }
    void Append(std::string_view piece) {
      if (!piece.empty()) std::memcpy(end_, piece.data(), piece.size());
      end_ += piece.size();
    }
    // Up to kFrontRoom bytes in all go in front of the markup.
    void Prepend(std::string_view piece);
    const char* Data() const { return begin_; }
    size_t Size() const { return static_cast<size_t>(end_ - begin_); }

   private:
    static constexpr size_t kFrontRoom = 8;
    static constexpr size_t kLocalBytes = 384;
    char* base_ = local_;
    char* begin_ = local_ + kFrontRoom;
    char* end_ = begin_;
    char* limit_ = local_ + kLocalBytes;
    std::unique_ptr<char[]> heap_;
    char local_[kLocalBytes];  // not cleared: only bytes appended are read
  };
  friend bool detail::SetTextScannedBy(XmlDocument& document, const char* text, NodeScanner scan);
  // Replaces the text and parses it, every node read by `scan` when one is given. Parse
  // (parser.cpp) rebuilds the records from the text.
  bool ReplaceText(const char* text, NodeScanner scan);
  bool Parse(NodeScanner scan);
  // Leaves the document as SetText(nullptr) does.
  void Clear();
  // The records and positions as Clear leaves them.
  void ClearRecords();

  int32_t PlaceElementText(int32_t parent, int32_t& reference, PendingNode& node);
  void LinkElement(int32_t parent, int32_t after, int32_t element);
  void ShiftFollowing(int32_t element, int32_t shift);
  void ShiftSubtree(int32_t root, int32_t shift);
  void ReplaceSpan(int32_t offset, int32_t removed, const PendingNode& node);
  void ReserveText(size_t length);

  DocumentText text_;
  std::string error_text_;
  int32_t parent_pos_ = 0;
  int32_t current_pos_ = 0;
  int32_t child_pos_ = 0;
  int32_t next_free_ = 0;
  int32_t node_type_ = 0;
  int32_t node_offset_ = 0;
  int32_t node_length_ = 0;
  uint32_t options_ = 0;
  // No entry table: nothing in this system ever adds entries to one.
  ElementStore tree_;
};

}  // namespace ostrel::xml
