// A document's text, always followed by a NUL. A short text is held inside the object, so that a
// short document takes nothing from the heap for its text (a command document is built and parsed
// within this room); a longer one in a string, which keeps its room once it has some. Internal to
// the XML code.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace ostrel::xml {

class DocumentText {
 public:
  // The longest text held inside the object.
  static constexpr size_t kInlineLength = 511;

  DocumentText() { inline_[0] = '\0'; }
  // The same text, with as much room.
  DocumentText(const DocumentText& other) : size_(other.size_), on_heap_(other.on_heap_) {
    if (on_heap_) {
      heap_.reserve(other.heap_.capacity());
      heap_.assign(other.heap_);
    } else {
      std::memcpy(inline_, other.inline_, size_ + 1);
    }
  }
  DocumentText& operator=(const DocumentText&) = delete;

  const char* c_str() const { return on_heap_ ? heap_.c_str() : inline_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return on_heap_ ? heap_.capacity() : kInlineLength; }
  std::string_view View() const { return std::string_view(c_str(), size_); }

  void clear() {
    heap_.clear();
    on_heap_ = false;
    size_ = 0;
    inline_[0] = '\0';
  }

  // The text becomes the n bytes at text, which may lie within it.
  void assign(const char* text, size_t n) {
    if (n <= kInlineLength) {
      std::memmove(inline_, text, n);
      inline_[n] = '\0';
      on_heap_ = false;
    } else {
      heap_.assign(text, n);
      on_heap_ = true;
    }
    size_ = n;
  }

  // Room for n bytes; a failed allocation throws std::bad_alloc and changes nothing.
  void reserve(size_t n) {
    if (n <= capacity()) return;
    heap_.reserve(n);
    if (!on_heap_) {
      heap_.assign(inline_, size_);
      on_heap_ = true;
    }
  }

  // Replaces `removed` bytes at offset by the n bytes at data, which lie outside the text. The
  // caller has reserved room for the result.
  void replace(size_t offset, size_t removed, const char* data, size_t n) {
    const size_t new_size = size_ - removed + n;
    reserve(new_size);
    if (on_heap_) {
      heap_.replace(offset, removed, data, n);
    } else {
      // The bytes after the span move, with the NUL.
      std::memmove(inline_ + offset + n, inline_ + offset + removed, size_ - offset - removed + 1);
      std::memcpy(inline_ + offset, data, n);
    }
    size_ = new_size;
  }

  // The text as a string, moved out when it has one; the text is left empty.
  std::string Take() {
    std::string out = on_heap_ ? std::move(heap_) : std::string(inline_, size_);
    clear();
    return out;
  }

 private:
  std::string heap_;
  size_t size_ = 0;
  bool on_heap_ = false;
  char inline_[kInlineLength + 1];  // only the text and its NUL are written
};

}  // namespace ostrel::xml
