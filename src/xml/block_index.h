// Finding the scanner's next stop byte. A ByteSkipper steps byte by byte through the class table;
// a BlockIndex classifies the text 64 bytes at a time into bit masks (one bit per byte for '<',
// '>', each quote, and, under a double-byte code page, every byte from 0x80 up) and finds the
// next stop with a shift and a bit scan, so that runs of bytes that cannot change the scanner's
// state cost nothing and no search waits on the one before; the end of a name, a few bytes on,
// it finds byte by byte. Both give the same offset for the same question. Internal to the XML
// code.
#pragma once

#include <cstdint>
#include <cstring>

#include "xml/byte_classes.h"

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define OSTREL_XML_BLOCK_INDEX 1
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif
#endif

#if defined(__GNUC__) || defined(__clang__)
#define OSTREL_ALWAYS_INLINE inline __attribute__((always_inline))
#define OSTREL_NEVER_INLINE __attribute__((noinline))
#elif defined(_MSC_VER)
#define OSTREL_ALWAYS_INLINE __forceinline
#define OSTREL_NEVER_INLINE __declspec(noinline)
#else
#define OSTREL_ALWAYS_INLINE inline
#define OSTREL_NEVER_INLINE
#endif

namespace ostrel::xml::block_index {

using namespace byte_classes;

// The stop classes the scanner's fast paths search for.
enum class Stops {
  kNameEnd,      // kNameEnd: whitespace, '/', '>', NUL
  kTagStop,      // kTagStop: '>', quotes, NUL, lead bytes
  kDoubleQuote,  // kDoubleQStop: '"', NUL, lead bytes
  kSingleQuote,  // kSingleQStop: '\'', NUL, lead bytes
  kEndTagStop,   // kEndTagStop: '>', NUL, lead bytes
  kTextStop,     // kTextStop: '<', '>', NUL, lead bytes
  kDataStop,     // kDataStop: '<', NUL, lead bytes
};

constexpr uint16_t ClassOf(Stops stops) {
  switch (stops) {
    case Stops::kNameEnd:
      return kNameEnd;
    case Stops::kTagStop:
      return kTagStop;
    case Stops::kDoubleQuote:
      return kDoubleQStop;
    case Stops::kSingleQuote:
      return kSingleQStop;
    case Stops::kEndTagStop:
      return kEndTagStop;
    case Stops::kTextStop:
      return kTextStop;
    default:
      return kDataStop;
  }
}

// How many '<' in t[0, length) are followed by a byte other than '/', '!' and '?': the start
// tags, and any '<' that opens nothing. Stops counting once `limit` is reached. The text must
// be NUL-terminated (the byte after its last one is read).
int32_t CountStartTags(const unsigned char* t, int32_t length, int32_t limit);

// The first byte from q on whose class holds kClass, found by table look-ups four bytes a
// round (fewer taken branches). NUL is in every stop class, so no byte after it is read.
template <uint16_t kClass>
OSTREL_ALWAYS_INLINE int32_t SkipBytes(const ByteClasses& classes, const unsigned char* t,
                                       int32_t q) {
  const auto stops = [&classes](unsigned char c) { return (classes.of[c] & kClass) != 0; };
  // Stepped by pointer: the offset is worked out once, at the stop.
  const unsigned char* p = t + q;
  const auto at = [t](const unsigned char* stop) { return static_cast<int32_t>(stop - t); };
  for (;; p += 4) {
    if (stops(p[0])) return at(p);
    if (stops(p[1])) return at(p + 1);
    if (stops(p[2])) return at(p + 2);
    if (stops(p[3])) return at(p + 3);
  }
}

// The plain search, a byte at a time. Works on any NUL-terminated text; with
// kDoubleByteCodePage false, only under a single-byte code page (no byte is a lead byte).
template <bool kDoubleByteCodePage>
class BasicByteSkipper {
 public:
  static constexpr bool kDoubleByte = kDoubleByteCodePage;

  BasicByteSkipper(const ByteClasses& classes, const unsigned char* text)
      : classes_(&classes), t_(text) {}
  BasicByteSkipper(const ByteClasses& classes, const unsigned char* text, int32_t length)
      : classes_(&classes), t_(text), length_(length) {}

  const unsigned char* Text() const { return t_; }
  int32_t Length() const { return length_; }

  template <Stops kStops>
  int32_t SkipTo(int32_t q) const {
    // Under a single-byte code page the table is the fixed one, read without the pointer.
    return SkipBytes<ClassOf(kStops)>(kDoubleByte ? *classes_ : kSingleByteClasses, t_, q);
  }
  // SkipTo for a q just past the last stop found (a list of stops reads on from there).
  template <Stops kStops>
  int32_t SkipOn(int32_t q) const {
    return SkipTo<kStops>(q);
  }
  // SkipOn to the quote (or NUL) that closes a value opened by `quote`.
  int32_t SkipOnToQuote(int32_t q, unsigned char quote) const {
    return quote == '"' ? SkipTo<Stops::kDoubleQuote>(q) : SkipTo<Stops::kSingleQuote>(q);
  }
  void Rewind(int32_t /*q*/) {}

 private:
  const ByteClasses* classes_;
  const unsigned char* t_;
  int32_t length_ = 0;  // given only to a skipper of a whole text
};

// Any code page: lead bytes are looked up.
using ByteSkipper = BasicByteSkipper<true>;

#ifdef OSTREL_XML_BLOCK_INDEX

inline unsigned LowestBit(uint64_t mask) {
#if defined(_MSC_VER) && !defined(__clang__)
  unsigned long index;
  _BitScanForward64(&index, mask);
  return static_cast<unsigned>(index);
#else
  return static_cast<unsigned>(__builtin_ctzll(mask));
#endif
}

// One 64-byte block classified: a bit per byte for '<', '>', '"', '\'', and bytes from 0x80 up.
struct BlockMasks {
  uint64_t lt, gt, dq, sq, high;
};

// Classifies the 64 bytes at p. SSE2 is the baseline of every x86-64 machine; a wider
// classifier gains too little beside the rest of the parse.
inline void ClassifySse2(const unsigned char* p, BlockMasks& out) {
  const __m128i lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>');
  const __m128i dq = _mm_set1_epi8('"'), sq = _mm_set1_epi8('\'');
  uint64_t l = 0, g = 0, d = 0, s = 0, h = 0;
  for (int i = 0; i < 64; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const auto bits = [](__m128i m, int at) {
      return static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m))) << at;
    };
    l |= bits(_mm_cmpeq_epi8(x, lt), i);
    g |= bits(_mm_cmpeq_epi8(x, gt), i);
    d |= bits(_mm_cmpeq_epi8(x, dq), i);
    s |= bits(_mm_cmpeq_epi8(x, sq), i);
    h |= bits(x, i);  // the sign bit of every byte from 0x80 up
  }
  out = BlockMasks{l, g, d, s, h};
}

// The block search over a text of known length with no NUL before its end. Blocks lie at
// multiples of 64 from the text's first byte; the last one, which holds the terminating NUL, is
// read through a zero-padded copy, and its NUL bytes count as members of every class (as NUL
// is of every stop class), so no read passes the end of the text.
template <bool kDoubleByteCodePage>
class BlockIndex {
 public:
  static constexpr int32_t kBlock = 64;
  static constexpr bool kDoubleByte = kDoubleByteCodePage;  // false: no byte is a lead byte

  BlockIndex(const ByteClasses& cls, const unsigned char* t, int32_t length)
      : cls_(&cls), t_(t), length_(length) {}

  template <Stops kStops>
  OSTREL_ALWAYS_INLINE int32_t SkipOn(int32_t q) {
    return SkipTo<kStops>(q);
  }
  OSTREL_ALWAYS_INLINE int32_t SkipOnToQuote(int32_t q, unsigned char quote) {
    return quote == '"' ? SkipTo<Stops::kDoubleQuote>(q) : SkipTo<Stops::kSingleQuote>(q);
  }
  // Searches may go back to any place.
  void Rewind(int32_t /*q*/) {}
  const unsigned char* Text() const { return t_; }
  int32_t Length() const { return length_; }

  template <Stops kStops>
  OSTREL_ALWAYS_INLINE int32_t SkipTo(int32_t q) {
    if (kStops == Stops::kNameEnd) {
      // Names are short: a byte at a time costs less than classifying their bytes too. (No
      // lead byte ends a name, and a name is read byte by byte.)
      // The bytes that end a name are the same under every code page.
      return SkipBytes<kNameEnd>(kSingleByteClasses, t_, q);
    }
    for (;;) {
      if (static_cast<uint32_t>(q - base_) >= static_cast<uint32_t>(kBlock))
        Load(q & ~(kBlock - 1));
      const uint64_t mask = Mask<kStops>() >> (q - base_);
      if (mask == 0) {
        q = base_ + kBlock;
        continue;
      }
      q += static_cast<int32_t>(LowestBit(mask));
      // Under a double-byte code page every byte from 0x80 up is a candidate; the table tells
      // the lead bytes from the others.
      if (!kDoubleByte || t_[q] < 0x80 || (cls_->of[t_[q]] & ClassOf(kStops)) != 0) return q;
      ++q;
    }
  }

 private:
  // The classes each search stops at, combined once per block.
  template <Stops kStops>
  uint64_t Mask() const {
    switch (kStops) {
      case Stops::kTagStop:
        return tag_stop_;
      case Stops::kDoubleQuote:
        return dq_;
      case Stops::kSingleQuote:
        return sq_;
      case Stops::kEndTagStop:
        return gt_;
      case Stops::kTextStop:
        return text_stop_;
      default:
        return lt_;
    }
  }

  void Load(int32_t base) {
    base_ = base;
    BlockMasks m;
    if (length_ - base >= kBlock) {  // (not base + kBlock, which could pass INT32_MAX)
      ClassifySse2(t_ + base, m);
    } else {
      // The last block: what is left of the text, then zeros from its NUL on, which count as
      // members of every class.
      alignas(16) unsigned char tail[kBlock] = {};
      const int32_t left = length_ - base;
      if (left > 0) std::memcpy(tail, t_ + base, static_cast<size_t>(left));
      ClassifySse2(tail, m);
      const uint64_t nul = ~uint64_t{0} << left;
      m.lt |= nul;
      m.gt |= nul;
      m.dq |= nul;
      m.sq |= nul;
    }
    // Under a double-byte code page every byte from 0x80 up is a candidate stop; the table tells
    // the lead bytes from the others.
    const uint64_t high = kDoubleByte ? m.high : 0;
    lt_ = m.lt | high;
    gt_ = m.gt | high;
    dq_ = m.dq | high;
    sq_ = m.sq | high;
    tag_stop_ = m.gt | m.dq | m.sq | high;
    text_stop_ = m.lt | m.gt | high;
  }

  const ByteClasses* cls_;
  const unsigned char* t_;
  int32_t length_;
  int32_t base_ = -kBlock;  // no block loaded yet
  uint64_t lt_ = 0, gt_ = 0, dq_ = 0, sq_ = 0, tag_stop_ = 0, text_stop_ = 0;
};

#endif  // OSTREL_XML_BLOCK_INDEX

}  // namespace ostrel::xml::block_index
