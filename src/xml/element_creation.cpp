// Adding elements: the markup goes straight into the text, laid out one element per line, and
// the records are kept in step (linked, and shifted behind the insertion) without a new parse.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/mbcs.h"
#include "xml/byte_classes.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

constexpr std::string_view kLineBreak = "\r\n";
// Bytes a tag adds to the element's name: "<" and ">"; "</" and ">"; "<" and " />" at most.
constexpr size_t kStartTagAround = 2;
constexpr size_t kEndTagAround = 3;
constexpr size_t kEmptyTagAround = 4;

// True when the last character of the text is a lead byte without its trail byte.
bool EndsInLoneLeadByte(const char* text) {
  if (platform::CurrentCodePage() == 0) return false;  // no lead bytes at all
  const unsigned char* lead = platform::LeadByteTable();
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p != 0) {
    if (lead[*p] != 0) {
      if (p[1] == 0) return true;
      p += 2;
    } else {
      ++p;
    }
  }
  return false;
}

// The parent and the reference sibling the navigation positions give an insertion, and whether
// they allow it; replacing empty content is plain insertion, and the flags say so.
bool ChooseParent(const XmlDocument& doc, bool has_value, unsigned& flags, int32_t& parent,
                  int32_t& reference) {
  const bool as_child = (flags & kAsChild) != 0;
  if (as_child && doc.CurrentPos() == 0) return false;
  parent = as_child ? doc.CurrentPos() : doc.ParentPos();
  reference = as_child ? doc.ChildPos() : doc.CurrentPos();
  if ((flags & kNoEndTag) != 0 && has_value) return false;

  // Positions must name records in use, the reference a child of the parent, and the new
  // element's level must fit its field.
  const int32_t in_use = doc.NextFree();
  if (parent < 0 || parent >= in_use || reference < 0 || reference >= in_use) return false;
  if (reference != 0 && doc.At(reference).parent != parent) return false;
  const ElementRecord& p = doc.At(parent);
  if (parent != 0 && p.Level() >= ElementRecord::kMaxLevel) return false;

  // Replacing content is defined for the content of the current element when it holds no
  // child element and no child is current. Empty content has nothing to replace: the element
  // simply goes in. Anything else would leave records that the text no longer matches.
  if ((flags & kReplaceContent) != 0) {
    if (!as_child || reference != 0 || p.first_child != 0) return false;
    if (parent != 0 && p.length - p.StartTagLength() - p.EndTagLength() == 0)
      flags &= ~static_cast<unsigned>(kReplaceContent);
  }
  return true;
}

// The content a value becomes. A value without a special byte escapes to itself and is used as
// it stands (one scan finds that and its length); escaping leaves out a lead byte that ends the
// value, so such a value takes the long way. Escaped or wrapped content is kept in `held`.
std::string_view ValueContent(const char* value, unsigned flags, std::string& held) {
  if ((flags & kAsCData) != 0) {
    held = WrapCData(value);
    return held;
  }
  const char* specials = (flags & kEscapeQuotes) != 0 ? "<&>'\"" : "<&>";
  const size_t plain = std::strcspn(value, specials);
  if (value[plain] == '\0' && !EndsInLoneLeadByte(value)) return std::string_view(value, plain);
  held = EscapeValue(value, flags);
  return held;
}

// Where a new element starts, before any line break is written in front of it.
int32_t NodeStart(const XmlDocument& doc, const ElementRecord& p, int32_t parent, int32_t reference,
                  unsigned flags, bool empty) {
  const int32_t content_start = p.start + p.StartTagLength();
  int32_t start;
  if (reference != 0) {
    const ElementRecord& r = doc.At(reference);
    start = (flags & kInsertBefore) != 0 ? r.start : r.start + r.length;
  } else if (empty) {
    start = p.Has(ElementRecord::kUnended) ? content_start : content_start - 1;
  } else if ((flags & (kInsertBefore | kReplaceContent)) != 0) {
    start = content_start;
  } else {
    start = parent == 0 ? static_cast<int32_t>(doc.Text().size())
                        : p.start + p.length - p.EndTagLength();
  }
  // Land directly before the next markup, behind the line break of the line before.
  if ((flags & (kNoLineBreaks | kReplaceContent)) == 0 && !empty) {
    const auto* t = reinterpret_cast<const unsigned char*>(doc.Text().data());
    int32_t o = start;
    while (byte_classes::IsWhitespaceByte(t[o])) ++o;  // (NUL is not whitespace)
    if (t[o] == '\0' || t[o] == '<') start = o;
  }
  return start;
}

// The sibling after which a new element is linked (0: as the first child).
int32_t SiblingBefore(const XmlDocument& doc, const ElementRecord& p, int32_t reference,
                      unsigned flags) {
  if (reference != 0 && (flags & kInsertBefore) != 0)
    return doc.At(reference).Has(ElementRecord::kIsFirstChild) ? 0 : doc.At(reference).prev;
  if (reference == 0 && (flags & kInsertBefore) == 0 && p.first_child != 0)
    return doc.At(p.first_child).prev;
  return reference;
}

}  // namespace

void XmlDocument::PendingNode::Reserve(size_t more) {
  if (static_cast<size_t>(limit_ - end_) >= more) return;
  const size_t front = static_cast<size_t>(begin_ - base_);
  const size_t size = Size();
  const size_t capacity = front + size + more;
  std::unique_ptr<char[]> bigger(new char[capacity]);
  std::memcpy(bigger.get() + front, begin_, size);
  base_ = bigger.get();
  begin_ = base_ + front;
  end_ = begin_ + size;
  limit_ = base_ + capacity;
  heap_ = std::move(bigger);
}

void XmlDocument::PendingNode::Prepend(std::string_view piece) {
  begin_ -= piece.size();
  std::memcpy(begin_, piece.data(), piece.size());
}

bool XmlDocument::InsertElement(const char* name, const char* value, unsigned flags) {
  const bool has_value = value != nullptr && value[0] != '\0';
  int32_t parent = 0;
  int32_t reference = 0;
  if (name == nullptr || !ChooseParent(*this, has_value, flags, parent, reference)) return false;

  // The tag lengths must fit the record.
  const size_t n = std::strlen(name);
  if (n + kEmptyTagAround > static_cast<size_t>(ElementRecord::kMaxStartTagLength)) return false;
  if (has_value && n + kEndTagAround > static_cast<size_t>(ElementRecord::kMaxEndTagLength))
    return false;

  // The markup, assembled in the node's buffer; a line break may follow it.
  PendingNode node;
  node.flags = flags;
  const std::string_view name_text(name, n);
  int32_t start_tag = 0;
  int32_t end_tag = 0;
  if (has_value) {
    std::string held;
    const std::string_view content = ValueContent(value, flags, held);
    if (content.size() > kMaxTextLength) return false;
    node.Reserve(2 * n + kStartTagAround + kEndTagAround + content.size() + kLineBreak.size());
    node.Append('<');
    node.Append(name_text);
    node.Append('>');
    node.Append(content);
    node.Append('<');
    node.Append('/');
    node.Append(name_text);
    node.Append('>');
    start_tag = static_cast<int32_t>(n + kStartTagAround);
    end_tag = static_cast<int32_t>(n + kEndTagAround);
  } else {
    node.Reserve(n + kEmptyTagAround + kLineBreak.size());
    node.Append('<');
    node.Append(name_text);
    node.Append((flags & kNoEndTag) != 0 ? ">" : (flags & kSpacedEmptyTag) != 0 ? " />" : "/>");
    start_tag = static_cast<int32_t>(node.Size());
  }
  const auto length = static_cast<int32_t>(node.Size());

  // Room for the record first, so that nothing below can fail half way.
  if (next_free_ == tree_.Capacity()) tree_.EnsureCapacity(0, next_free_);
  const int32_t replaced = PlaceElementText(parent, reference, node);
  if (replaced < 0) return false;

  const int32_t element = NewRecord();
  ElementRecord& record = At(element);
  record.start = node.start;
  record.length = length;
  record.tag_lengths = 0;
  record.SetStartTagLength(start_tag);
  record.SetEndTagLength(end_tag);
  record.flags = (flags & kNoEndTag) != 0 ? ElementRecord::kUnended : 0;
  record.first_child = 0;
  LinkElement(parent, reference, element);
  ShiftFollowing(element, static_cast<int32_t>(node.Size()) - replaced);
  if ((flags & kAsChild) != 0) {
    SetPosition(parent_pos_, parent, element);
  } else {
    SetPosition(parent, element, 0);
  }
  return true;
}

bool XmlDocument::EnterElement() {
  if (current_pos_ == 0 || node_type_ != 1) return false;
  SetPosition(current_pos_, child_pos_, 0);
  return true;
}

// Chooses where the node goes, completes its text (line breaks; around it, the end tag of an
// empty parent being opened) and splices it in. Returns the number of bytes replaced, or -1
// (nothing changed) when the result could not be indexed.
int32_t XmlDocument::PlaceElementText(int32_t parent, int32_t& reference, PendingNode& node) {
  const unsigned flags = node.flags;
  const ElementRecord& p = At(parent);
  const int32_t content_start = p.start + p.StartTagLength();
  const bool empty = parent != 0 && p.length == p.StartTagLength();
  // (An empty parent has no content either.)
  const bool no_content = parent != 0 && p.start + p.length - p.EndTagLength() == content_start;
  int32_t start = NodeStart(*this, p, parent, reference, flags, empty);
  const int32_t after = SiblingBefore(*this, p, reference, flags);

  const bool line_breaks = (flags & kNoLineBreaks) == 0;
  const std::string_view line_break = line_breaks ? kLineBreak : "";
  if (line_breaks) {
    if (no_content) start += static_cast<int32_t>(kLineBreak.size());
    node.Append(line_break);
  }
  int32_t at = start;
  int32_t removed = 0;
  size_t parent_name_size = 0;
  if (empty) {
    // The parent's name is copied out of the text before the text changes.
    const std::string_view parent_name = TagNameIn(parent);
    parent_name_size = parent_name.size();
    if (parent_name_size + kEndTagAround > static_cast<size_t>(ElementRecord::kMaxEndTagLength))
      return -1;
    node.Prepend(line_break);
    node.Prepend(">");
    node.Reserve(parent_name_size + kEndTagAround);
    node.Append('<');
    node.Append('/');
    node.Append(parent_name);
    // The parent's own final '>' closes the new end tag: the node goes in front of it, and in
    // place of the '/' of "/>".
    const bool unended = p.Has(ElementRecord::kUnended);
    removed = unended ? 0 : 1;
    at = p.start + p.length - 1 - removed;
  } else if ((flags & kReplaceContent) != 0) {
    at = content_start;
    removed = p.length - p.StartTagLength() - p.EndTagLength();
  } else if (no_content) {
    node.Prepend(line_break);
    at = content_start;
  }

  const size_t new_length = text_.size() - static_cast<size_t>(removed) + node.Size();
  if (new_length > kMaxTextLength) return -1;
  ReserveText(new_length);  // the only step that can fail; nothing has changed yet

  if (empty) {
    ElementRecord& opened = At(parent);
    if (opened.Has(ElementRecord::kUnended)) {
      opened.flags &= ~ElementRecord::kUnended;
    } else {
      opened.SetStartTagLength(opened.StartTagLength() - 1);  // a space before '/' stays
    }
    opened.SetEndTagLength(static_cast<int32_t>(parent_name_size + kEndTagAround));
  }
  ReplaceSpan(at, removed, node);
  node.start = start;
  reference = after;
  return removed;
}

void XmlDocument::LinkElement(int32_t parent, int32_t after, int32_t element) {
  ElementRecord& x = At(element);
  x.parent = parent;
  ElementRecord& p = At(parent);
  if (after != 0) {
    ElementRecord& a = At(after);
    x.flags &= ~ElementRecord::kIsFirstChild;
    x.next = a.next;
    if (x.next != 0) {
      At(x.next).prev = element;
    } else {
      At(p.first_child).prev = element;  // the new last child
    }
    a.next = element;
    x.prev = after;
  } else {
    x.flags |= ElementRecord::kIsFirstChild;
    if (p.first_child != 0) {
      ElementRecord& f = At(p.first_child);
      x.next = p.first_child;
      x.prev = f.prev;
      f.prev = element;
      f.flags &= ~ElementRecord::kIsFirstChild;
    } else {
      x.next = 0;
      x.prev = element;
    }
    p.first_child = element;
  }
  if (parent != 0) x.SetLevel(p.Level() + 1);
}

// Adds shift to the start of every record after the element in document order, and to the
// length of every record that encloses it (the document record included). The records after
// it are the following siblings of the element and of each enclosing record, with all they
// hold; an element added last has none, and only the enclosing lengths change.
void XmlDocument::ShiftFollowing(int32_t element, int32_t shift) {
  const ElementRecord* child = &At(element);
  for (;;) {
    for (int32_t sibling = child->next; sibling != 0; sibling = At(sibling).next)
      ShiftSubtree(sibling, shift);
    const int32_t parent = child->parent;
    ElementRecord& enclosing = At(parent);
    enclosing.length += shift;
    if (parent == 0) return;
    child = &enclosing;
  }
}

// Adds shift to the start of the root record and of every record it holds.
void XmlDocument::ShiftSubtree(int32_t root, int32_t shift) {
  int32_t r = root;
  for (;;) {
    ElementRecord& record = At(r);
    record.start += shift;
    if (record.first_child != 0) {
      r = record.first_child;
      continue;
    }
    while (r != root && At(r).next == 0) r = At(r).parent;
    if (r == root) return;
    r = At(r).next;
  }
}

void XmlDocument::ReserveText(size_t length) {
  if (length > text_.capacity()) {
    size_t room = length + length / 2 + 128;
    if (room < length) room = length;
    text_.reserve(room);
  }
}

// The caller has reserved room for the result, so the replace moves bytes and allocates nothing.
void XmlDocument::ReplaceSpan(int32_t offset, int32_t removed, const PendingNode& node) {
  text_.replace(static_cast<size_t>(offset), static_cast<size_t>(removed), node.Data(),
                node.Size());
}

}  // namespace ostrel::xml
