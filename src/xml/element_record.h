// One record per element: where the element lies in the document text and how it links to its
// parent, children and siblings. Links are record indexes, never pointers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace ostrel::xml {

// Offsets are 32-bit signed: a longer text cannot be indexed.
constexpr size_t kMaxTextLength = static_cast<size_t>(std::numeric_limits<int32_t>::max() - 1);

struct ElementRecord {
  int32_t start;         // offset of the element's '<'; 0 for the document record
  int32_t length;        // through the end tag's '>', or the start tag alone when there is none
  uint32_t tag_lengths;  // start-tag length (bits 0-19 and 21), end-tag length (top ten bits)
  uint32_t flags;        // level in the low 16 bits, plus the flag bits below
  int32_t parent;        // 0 for a top-level element
  int32_t first_child;   // 0 if none
  int32_t next;          // next sibling, 0 for the last child
  int32_t prev;          // previous sibling; for the first child, the last child

  static constexpr uint32_t kLevelMask = 0x0000FFFF;
  static constexpr uint32_t kIsFirstChild = 0x00080000;
  static constexpr uint32_t kUnended = 0x00100000;
  static constexpr uint32_t kContentError = 0x00200000;
  static constexpr uint32_t kIllFormed = 0x00800000;

  static constexpr uint32_t kStartTagMask = 0x002FFFFF;
  static constexpr int kEndTagShift = 22;
  static constexpr int32_t kMaxStartTagLength = 0xFFFFF;  // 2^20 - 1: held exactly
  static constexpr int32_t kMaxEndTagLength = 511;        // ten bits, read as signed
  static constexpr uint32_t kMaxLevel = 0xFFFF;

  int32_t StartTagLength() const { return static_cast<int32_t>(tag_lengths & kStartTagMask); }
  int32_t EndTagLength() const { return static_cast<int32_t>(tag_lengths) >> kEndTagShift; }
  void SetStartTagLength(int32_t n) {
    tag_lengths = (tag_lengths & ~kStartTagMask) + static_cast<uint32_t>(n);
  }
  void SetEndTagLength(int32_t n) {
    tag_lengths = (tag_lengths & kStartTagMask) + (static_cast<uint32_t>(n) << kEndTagShift);
  }
  uint32_t Level() const { return flags & kLevelMask; }
  void SetLevel(uint32_t level) { flags = (flags & ~kLevelMask) | (level & kLevelMask); }
  bool Has(uint32_t bit) const { return (flags & bit) != 0; }
};

static_assert(sizeof(ElementRecord) == 32, "eight 32-bit fields");

}  // namespace ostrel::xml
