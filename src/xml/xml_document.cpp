#include "xml/xml_document.h"

#include <utility>

namespace ostrel::xml {
namespace {

// The records a document without text has room for, as a parse of no text leaves it.
constexpr int32_t kEmptyDocumentRecords = 8;

constexpr char kEmptyDocumentError[] = "Empty document";

}  // namespace

// As Clear leaves it, the error text built in place rather than assigned.
XmlDocument::XmlDocument() : error_text_(kEmptyDocumentError) { ClearRecords(); }

XmlDocument::XmlDocument(const XmlDocument& other)
    : text_(other.text_),
      error_text_(other.error_text_),
      parent_pos_(other.parent_pos_),
      current_pos_(other.current_pos_),
      child_pos_(other.child_pos_),
      next_free_(other.next_free_),
      node_type_(other.node_type_),
      node_offset_(other.node_offset_),
      node_length_(other.node_length_),
      options_(other.options_) {
  tree_.CopyFrom(other.tree_, other.next_free_);
}

// The store releases its segments, then the members release the strings.
XmlDocument::~XmlDocument() = default;

std::string XmlDocument::TakeText() {
  std::string text = text_.Take();
  Clear();
  return text;
}

// What SetText(nullptr) leaves, reached without a parse: composing a command makes a document
// and takes its text every time.
void XmlDocument::Clear() {
  text_.clear();
  error_text_ = kEmptyDocumentError;
  ClearRecords();
}

void XmlDocument::ClearRecords() {
  next_free_ = 1;
  tree_.EnsureCapacity(kEmptyDocumentRecords, next_free_);
  At(0) = ElementRecord{0, 0, 0, 0, 0, 0, 0, 0};
  SetPosition(0, 0, 0);
}

std::string XmlDocument::ElementTagName(int32_t index) const {
  return std::string(TagNameIn(index));
}

std::string_view XmlDocument::TagNameIn(int32_t index) const {
  if (index == 0) return std::string_view();
  ScanCursor cursor;
  cursor.text = text_.c_str();
  cursor.next = At(index).start + 1;
  cursor.options = options_;
  if (!NextName(cursor) || cursor.name_start > cursor.name_end) return std::string_view();
  return text_.View().substr(static_cast<size_t>(cursor.name_start),
                             static_cast<size_t>(cursor.name_end - cursor.name_start + 1));
}

std::string_view XmlDocument::ElementMarkup(int32_t index) const {
  const ElementRecord& r = At(index);
  return text_.View().substr(static_cast<size_t>(r.start), static_cast<size_t>(r.length));
}

std::string_view XmlDocument::ElementContent(int32_t index) const {
  if (index == 0) return text_.View();
  const ElementRecord& r = At(index);
  if (r.EndTagLength() == 0) return std::string_view();
  const int32_t content_start = r.start + r.StartTagLength();
  const int32_t content_length = r.length - r.StartTagLength() - r.EndTagLength();
  return text_.View().substr(static_cast<size_t>(content_start),
                             static_cast<size_t>(content_length));
}

int32_t XmlDocument::FindChild(int32_t parent, std::string_view name) const {
  for (int32_t child = At(parent).first_child; child != 0; child = At(child).next)
    if (ElementTagName(child) == name) return child;
  return 0;
}

}  // namespace ostrel::xml
