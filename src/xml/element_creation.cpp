// Adding elements: the markup goes straight into the text, laid out one element per line, and
// the records are kept in step (linked, and shifted behind the insertion) without a new parse.
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "platform/mbcs.h"
#include "xml/byte_classes.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

constexpr char kLineBreak[] = "\r\n";

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

bool XmlDocument::IsEmptyElement(int32_t index) const {
  if (index == 0) return false;
  const ElementRecord& r = At(index);
  return r.length == r.StartTagLength();
}

bool XmlDocument::HasNoContent(int32_t index) const {
  if (index == 0) return false;
  const ElementRecord& r = At(index);
  return r.length - r.StartTagLength() - r.EndTagLength() == 0;
}

bool XmlDocument::InsertElement(const char* name, const char* value, unsigned flags) {
  if (name == nullptr) return false;
  if ((flags & AsChild) != 0 && currentPos_ == 0) return false;
  const int32_t parent = (flags & AsChild) != 0 ? currentPos_ : parentPos_;
  int32_t reference = (flags & AsChild) != 0 ? childPos_ : currentPos_;
  const bool hasValue = value != nullptr && value[0] != '\0';
  if ((flags & NoEndTag) != 0 && hasValue) return false;

  // Positions must name records in use, the reference a child of the parent, and the new
  // element's level must fit its field.
  if (parent < 0 || parent >= nextFree_ || reference < 0 || reference >= nextFree_) return false;
  if (reference != 0 && At(reference).parent != parent) return false;
  if (parent != 0 && At(parent).Level() >= ElementRecord::MaxLevel) return false;

  // Replacing content is defined for the content of the current element when it holds no
  // child element and no child is current. Empty content has nothing to replace: the element
  // simply goes in. Anything else would leave records that the text no longer matches.
  if ((flags & ReplaceContent) != 0) {
    if ((flags & AsChild) == 0 || reference != 0 || At(parent).firstChild != 0) return false;
    if (HasNoContent(parent)) flags &= ~static_cast<unsigned>(ReplaceContent);
  }

  // The tag lengths must fit the record.
  const size_t n = std::strlen(name);
  if (n + 4 > static_cast<size_t>(ElementRecord::MaxStartTagLength)) return false;
  if (hasValue && n + 3 > static_cast<size_t>(ElementRecord::MaxEndTagLength)) return false;

  // The markup, assembled in the node's buffer; a line break may follow it.
  PendingNode node;
  node.flags = flags;
  const std::string_view nameText(name, n);
  int32_t length, startTag, endTag;
  if (hasValue) {
    // A value without a special byte escapes to itself: it is copied as it stands. (Escaping
    // leaves out a lead byte that ends the value, so such a value takes the long way.)
    // (One scan finds both whether the value is plain and how long it is.)
    const char* specials = (flags & EscapeQuotes) != 0 ? "<&>'\"" : "<&>";
    const size_t plain_length = (flags & AsCData) == 0 ? std::strcspn(value, specials) : 0;
    const bool plain =
        (flags & AsCData) == 0 && value[plain_length] == '\0' && !EndsInLoneLeadByte(value);
    std::string escaped;
    if (!plain) escaped = (flags & AsCData) != 0 ? WrapCData(value) : EscapeValue(value, flags);
    const std::string_view content =
        plain ? std::string_view(value, plain_length) : std::string_view(escaped);
    if (content.size() > kMaxTextLength) return false;
    node.Reserve(2 * n + 5 + content.size() + 2);
    node.Append('<');
    node.Append(nameText);
    node.Append('>');
    node.Append(content);
    node.Append('<');
    node.Append('/');
    node.Append(nameText);
    node.Append('>');
    length = static_cast<int32_t>(node.Size());
    startTag = static_cast<int32_t>(n + 2);
    endTag = static_cast<int32_t>(n + 3);
  } else {
    node.Reserve(n + 4 + 2);
    node.Append('<');
    node.Append(nameText);
    node.Append((flags & NoEndTag) != 0 ? ">" : (flags & SpacedEmptyTag) != 0 ? " />" : "/>");
    length = startTag = static_cast<int32_t>(node.Size());
    endTag = 0;
  }

  // Room for the record first, so that nothing below can fail half way.
  if (nextFree_ == tree_.Capacity()) tree_.EnsureCapacity(0, nextFree_);
  const int32_t replaced = PlaceElementText(parent, reference, node);
  if (replaced < 0) return false;

  const int32_t element = NewRecord();
  ElementRecord& record = At(element);
  record.length = length;
  record.tagLengths = 0;
  record.SetStartTagLength(startTag);
  record.SetEndTagLength(endTag);
  record.start = node.start;
  record.firstChild = 0;
  record.flags = (flags & NoEndTag) != 0 ? ElementRecord::Unended : 0;
  LinkElement(parent, reference, element);
  ShiftFollowing(element, static_cast<int32_t>(node.Size()) - replaced);

  if ((flags & AsChild) != 0) {
    currentPos_ = parent;
    childPos_ = element;
  } else {
    parentPos_ = parent;
    currentPos_ = element;
    childPos_ = 0;
  }
  nodeOffset_ = 0;
  nodeLength_ = 0;
  nodeType_ = currentPos_ != 0 ? 1 : 0;
  return true;
}

bool XmlDocument::EnterElement() {
  if (currentPos_ == 0 || nodeType_ != 1) return false;
  parentPos_ = currentPos_;
  currentPos_ = childPos_;
  childPos_ = 0;
  nodeOffset_ = 0;
  nodeLength_ = 0;
  nodeType_ = currentPos_ != 0 ? 1 : 0;
  return true;
}

// Chooses where the node goes, completes its text (line breaks; around it, the end tag of an
// empty parent being opened) and splices it in. Returns the number of bytes replaced, or -1
// (nothing changed) when the result could not be indexed.
int32_t XmlDocument::PlaceElementText(int32_t parent, int32_t& reference, PendingNode& node) {
  const unsigned flags = node.flags;
  const ElementRecord& p = At(parent);
  const bool empty = IsEmptyElement(parent);
  const bool noContent = HasNoContent(parent);
  const int32_t contentStart = p.start + p.StartTagLength();
  const int32_t endTagStart =
      parent == 0 ? static_cast<int32_t>(text_.size()) : p.start + p.length - p.EndTagLength();

  int32_t s;
  if (reference != 0) {
    const ElementRecord& r = At(reference);
    s = (flags & InsertBefore) != 0 ? r.start : r.start + r.length;
  } else if (empty) {
    s = p.Has(ElementRecord::Unended) ? contentStart : contentStart - 1;
  } else if ((flags & (InsertBefore | ReplaceContent)) != 0) {
    s = contentStart;
  } else {
    s = endTagStart;
  }

  // Land directly before the next markup, behind the line break of the line before.
  if ((flags & (NoLineBreaks | ReplaceContent)) == 0 && !empty) {
    const auto* t = reinterpret_cast<const unsigned char*>(text_.c_str());
    int32_t o = s;
    while (byte_classes::IsWhitespaceByte(t[o])) ++o;  // (NUL is not whitespace)
    if (t[o] == '\0' || t[o] == '<') s = o;
  }

  // The sibling after which the new element is linked (0: first child).
  int32_t after = reference;
  if (after != 0 && (flags & InsertBefore) != 0) {
    after = At(after).Has(ElementRecord::IsFirstChild) ? 0 : At(after).prev;
  } else if (after == 0 && (flags & InsertBefore) == 0 && p.firstChild != 0) {
    after = At(p.firstChild).prev;
  }

  const bool lineBreaks = (flags & NoLineBreaks) == 0;
  const std::string_view lineBreak = lineBreaks ? kLineBreak : "";
  if (lineBreaks) {
    if (empty || noContent) s += 2;
    node.Append(lineBreak);
  }

  int32_t at, removed;
  size_t tagNameSize = 0;
  if (empty) {
    // The parent's name is copied out of the text before the text changes.
    const std::string_view parentName = TagNameIn(parent);
    tagNameSize = parentName.size();
    if (tagNameSize + 3 > static_cast<size_t>(ElementRecord::MaxEndTagLength)) return -1;
    node.Prepend(lineBreak);
    node.Prepend(">");
    node.Reserve(2 + tagNameSize);
    node.Append('<');
    node.Append('/');
    node.Append(parentName);
    // The parent's own final '>' closes the new end tag.
    if (p.Has(ElementRecord::Unended)) {
      at = p.start + p.length - 1;
      removed = 0;
    } else {
      at = p.start + p.length - 2;  // the '/' of "/>"
      removed = 1;
    }
  } else if ((flags & ReplaceContent) != 0) {
    at = contentStart;
    removed = p.length - p.StartTagLength() - p.EndTagLength();
  } else if (noContent) {
    if (lineBreaks) node.Prepend(lineBreak);
    at = contentStart;
    removed = 0;
  } else {
    at = s;
    removed = 0;
  }

  const size_t newLength = text_.size() - static_cast<size_t>(removed) + node.Size();
  if (newLength > kMaxTextLength) return -1;
  ReserveText(newLength);  // the only step that can fail; nothing has changed yet

  if (empty) {
    ElementRecord& opened = At(parent);
    if (opened.Has(ElementRecord::Unended)) {
      opened.flags &= ~ElementRecord::Unended;
    } else {
      opened.SetStartTagLength(opened.StartTagLength() - 1);  // a space before '/' stays
    }
    opened.SetEndTagLength(static_cast<int32_t>(tagNameSize) + 3);
  }
  ReplaceSpan(at, removed, node);
  node.start = s;
  reference = after;
  return removed;
}

void XmlDocument::LinkElement(int32_t parent, int32_t after, int32_t element) {
  ElementRecord& x = At(element);
  x.parent = parent;
  ElementRecord& p = At(parent);
  if (after != 0) {
    ElementRecord& a = At(after);
    x.flags &= ~ElementRecord::IsFirstChild;
    x.next = a.next;
    if (x.next != 0) {
      At(x.next).prev = element;
    } else {
      At(p.firstChild).prev = element;  // the new last child
    }
    a.next = element;
    x.prev = after;
  } else {
    x.flags |= ElementRecord::IsFirstChild;
    if (p.firstChild != 0) {
      ElementRecord& f = At(p.firstChild);
      x.next = p.firstChild;
      x.prev = f.prev;
      f.prev = element;
      f.flags &= ~ElementRecord::IsFirstChild;
    } else {
      x.next = 0;
      x.prev = element;
    }
    p.firstChild = element;
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
    if (record.firstChild != 0) {
      r = record.firstChild;
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
