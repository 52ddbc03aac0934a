#include "xml/xml_document.h"

#include <utility>

namespace ostrel::xml {
namespace {

// The records a document without text has room for, as a parse of no text leaves it.
constexpr int32_t kEmptyDocumentRecords = 8;

constexpr char kEmptyDocumentError[] = "Empty document";

}  // namespace

// As Clear leaves it, the error text built in place rather than assigned.
XmlDocument::XmlDocument() : errorText_(kEmptyDocumentError) { ClearRecords(); }

XmlDocument::XmlDocument(const XmlDocument& other)
    : errorText_(other.errorText_),
      parentPos_(other.parentPos_),
      currentPos_(other.currentPos_),
      childPos_(other.childPos_),
      nextFree_(other.nextFree_),
      nodeType_(other.nodeType_),
      nodeOffset_(other.nodeOffset_),
      nodeLength_(other.nodeLength_),
      options_(other.options_) {
  text_.reserve(other.text_.capacity());
  text_.assign(other.text_);
  tree_.CopyFrom(other.tree_, other.nextFree_);
}

// The store releases its segments, then the members release the strings.
XmlDocument::~XmlDocument() = default;

std::string XmlDocument::TakeText() {
  std::string text = std::move(text_);
  Clear();
  return text;
}

// What SetText(nullptr) leaves, reached without a parse: composing a command makes a document
// and takes its text every time.
void XmlDocument::Clear() {
  text_.clear();
  errorText_ = kEmptyDocumentError;
  ClearRecords();
}

void XmlDocument::ClearRecords() {
  nextFree_ = 1;
  tree_.EnsureCapacity(kEmptyDocumentRecords, nextFree_);
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
  if (!NextName(cursor) || cursor.nameStart > cursor.nameEnd) return std::string_view();
  return std::string_view(text_).substr(static_cast<size_t>(cursor.nameStart),
                                        static_cast<size_t>(cursor.nameEnd - cursor.nameStart + 1));
}

std::string_view XmlDocument::ElementMarkup(int32_t index) const {
  const ElementRecord& r = At(index);
  return std::string_view(text_).substr(static_cast<size_t>(r.start),
                                        static_cast<size_t>(r.length));
}

std::string_view XmlDocument::ElementContent(int32_t index) const {
  if (index == 0) return text_;
  const ElementRecord& r = At(index);
  if (r.EndTagLength() == 0) return std::string_view();
  const int32_t content_start = r.start + r.StartTagLength();
  const int32_t content_length = r.length - r.StartTagLength() - r.EndTagLength();
  return std::string_view(text_).substr(static_cast<size_t>(content_start),
                                        static_cast<size_t>(content_length));
}

int32_t XmlDocument::FindChild(int32_t parent, std::string_view name) const {
  for (int32_t child = At(parent).firstChild; child != 0; child = At(child).next)
    if (ElementTagName(child) == name) return child;
  return 0;
}

}  // namespace ostrel::xml
