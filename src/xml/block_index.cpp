// The stop listers and the choice among them. A width is here only where it is clearly faster
// than the next narrower one: AVX-512 VBMI2, whose compress writes a block's offsets without bit
// scans (blocks are classified with SSE2 alone, inline). Each lister is an ordinary function
// compiled for its own instruction set and reached through a pointer, so that no code built for
// a newer processor can be inlined into, or chosen by the linker for, code that runs everywhere.
#include "xml/block_index.h"

#include <atomic>

#include "xml/stop_list.h"

#ifdef OSTREL_XML_BLOCK_INDEX

// Not for MinGW: its GCC may spill 32- and 64-byte vectors to a stack that Windows aligns only
// to 16 bytes, with aligned moves (a fault); there the SSE2 lister is used.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(_WIN32) && !defined(OSTREL_XML_SSE2_ONLY)
#include <immintrin.h>
#define OSTREL_XML_WIDE_LISTERS 1
#endif

namespace ostrel::xml::block_index {

namespace {

// Fills a caller's array of named functions, counting past its room.
template <class Named, class Function>
struct NamedFunctions {
  Named* out;
  int room;
  int count = 0;
  void Add(const char* name, Function function) {
    if (count < room) out[count] = Named{name, function};
    ++count;
  }
};

}  // namespace

namespace {

#if defined(__GNUC__) || defined(__clang__)
#define OSTREL_INLINE_INTO_TARGET inline __attribute__((always_inline))
#else
#define OSTREL_INLINE_INTO_TARGET inline
#endif

// The number of set bits, without a call where the instruction set has none for it.
OSTREL_INLINE_INTO_TARGET int32_t BitCount(uint64_t v) {
#if defined(__POPCNT__)
  return static_cast<int32_t>(__builtin_popcountll(v));
#else
  v = v - ((v >> 1) & 0x5555555555555555u);
  v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
  v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<int32_t>((v * 0x0101010101010101u) >> 56);
#endif
}

// Writes the offsets of the set bits of a block's mask, eight at a time whatever their number
// (the slots past the count are scratch), so that no branch waits on how many there are.
template <int32_t (*kCount)(uint64_t)>
OSTREL_INLINE_INTO_TARGET int32_t WriteOffsets(uint64_t mask, int32_t base, int32_t* out) {
  const int32_t count = kCount(mask);
  constexpr uint64_t kTop = uint64_t{1} << 63;  // keeps the bit scan defined once mask is 0
  for (int k = 0; k < 8; ++k) {
    out[k] = base + static_cast<int32_t>(LowestBit(mask | kTop));
    mask &= mask - 1;
  }
  for (int k = 8; mask != 0; ++k) {
    out[k] = base + static_cast<int32_t>(LowestBit(mask));
    mask &= mask - 1;
  }
  return count;
}

// The stop mask ('<', '>', '"', '\'') of the 64 bytes at p, SSE2.
OSTREL_INLINE_INTO_TARGET uint64_t StopMaskSse2(const unsigned char* p) {
  const __m128i lt = _mm_set1_epi8('<'), gt = _mm_set1_epi8('>');
  const __m128i dq = _mm_set1_epi8('"'), sq = _mm_set1_epi8('\'');
  uint64_t mask = 0;
  for (int i = 0; i < 64; i += 16) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i any = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, lt), _mm_cmpeq_epi8(x, gt)),
                                     _mm_or_si128(_mm_cmpeq_epi8(x, dq), _mm_cmpeq_epi8(x, sq)));
    mask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(any))) << i;
  }
  return mask;
}

// The stops of the block at base that lie in [from, to): a block whole inside the text read in
// place, the one holding the text's end through a zero-padded copy.
template <uint64_t (*kStopMask)(const unsigned char*)>
OSTREL_INLINE_INTO_TARGET uint64_t BlockStops(const unsigned char* t, int32_t length, int32_t base,
                                              int32_t from, int32_t to) {
  uint64_t stops;
  if (length - base >= 64) {  // (not base + 64: a text may end within 64 of INT32_MAX)
    stops = kStopMask(t + base);
  } else {
    alignas(64) unsigned char tail[64] = {};
    std::memcpy(tail, t + base, static_cast<size_t>(length - base));
    stops = kStopMask(tail);
  }
  if (base < from) stops &= ~uint64_t{0} << (from - base);
  if (to - base < 64) stops &= (uint64_t{1} << (to - base)) - 1;
  return stops;
}

// The blocks of [from, to), each through kStopMask, their offsets written a bit scan at a time.
template <uint64_t (*kStopMask)(const unsigned char*), int32_t (*kCount)(uint64_t)>
OSTREL_INLINE_INTO_TARGET int32_t ListStopsWith(const unsigned char* t, int32_t length,
                                                int32_t from, int32_t to, int32_t* out) {
  int32_t n = 0;
  for (int64_t at = from & ~63; at < to; at += 64) {
    const auto base = static_cast<int32_t>(at);
    n += WriteOffsets<kCount>(BlockStops<kStopMask>(t, length, base, from, to), base, out + n);
  }
  if (to == length) out[n++] = length;
  return n;
}

int32_t ListStopsSse2(const unsigned char* t, int32_t length, int32_t from, int32_t to,
                      int32_t* out) {
  return ListStopsWith<StopMaskSse2, BitCount>(t, length, from, to, out);
}

#ifdef OSTREL_XML_WIDE_LISTERS
__attribute__((target("popcnt"))) inline int32_t BitCountPopcnt(uint64_t v) {
  return static_cast<int32_t>(__builtin_popcountll(v));
}

__attribute__((target("avx512f,avx512bw"))) inline uint64_t StopMaskAvx512(const unsigned char* p) {
  const __m512i x = _mm512_loadu_si512(p);
  return _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('<')) |
         _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('>')) |
         _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('"')) |
         _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8('\''));
}

// The offsets of packed byte positions 16 * kPart to 16 * kPart + 15 of a block at `offset`.
// (The zero-masked forms, because the plain ones start from an undefined vector that GCC warns
// about.)
template <int kPart>
__attribute__((target("avx512f,avx512bw"))) inline __m512i SixteenOffsets(__m512i packed,
                                                                          __m512i offset) {
  const __m128i bytes = _mm512_maskz_extracti32x4_epi32(0xF, packed, kPart);
  return _mm512_add_epi32(_mm512_maskz_cvtepu8_epi32(0xFFFF, bytes), offset);
}

// With AVX-512 VBMI2 a block's offsets are packed by one compress of the byte positions 0-63
// and widened sixteen at a time, instead of one bit scan per stop.
__attribute__((target("avx512f,avx512bw,avx512vbmi2,popcnt"))) int32_t ListStopsAvx512Vbmi2(
    const unsigned char* t, int32_t length, int32_t from, int32_t to, int32_t* out) {
  const __m512i positions = _mm512_set_epi8(
      63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41,
      40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18,
      17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
  int32_t n = 0;
  for (int64_t at = from & ~63; at < to; at += 64) {
    const auto base = static_cast<int32_t>(at);
    const uint64_t stops = BlockStops<StopMaskAvx512>(t, length, base, from, to);
    const __m512i packed = _mm512_maskz_compress_epi8(stops, positions);
    const __m512i offset = _mm512_set1_epi32(base);
    const int32_t count = BitCountPopcnt(stops);
    // Sixteen offsets are written whatever the count (the slots past it are scratch).
    _mm512_storeu_si512(out + n, SixteenOffsets<0>(packed, offset));
    if (count > 16) {
      _mm512_storeu_si512(out + n + 16, SixteenOffsets<1>(packed, offset));
      if (count > 32) {
        _mm512_storeu_si512(out + n + 32, SixteenOffsets<2>(packed, offset));
        _mm512_storeu_si512(out + n + 48, SixteenOffsets<3>(packed, offset));
      }
    }
    n += count;
  }
  if (to == length) out[n++] = length;
  return n;
}

bool HasAvx512Vbmi2() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi2");
}
#endif  // OSTREL_XML_WIDE_LISTERS

ListStopsFunction WidestStopLister() {
  static const ListStopsFunction chosen = [] {
    NamedStopLister all[4];
    return all[SupportedStopListers(all, 4) - 1].list;
  }();
  return chosen;
}

}  // namespace

int32_t ListStops(const unsigned char* t, int32_t length, int32_t from, int32_t to, int32_t* out) {
  return WidestStopLister()(t, length, from, to, out);
}

int SupportedStopListers(NamedStopLister* out, int room) {
  NamedFunctions<NamedStopLister, ListStopsFunction> found{out, room};
  found.Add("sse2", &ListStopsSse2);
#ifdef OSTREL_XML_WIDE_LISTERS
  __builtin_cpu_init();
  if (HasAvx512Vbmi2()) found.Add("avx512vbmi2", &ListStopsAvx512Vbmi2);
#endif
  return found.count;
}

namespace {

// The '<' among the 16 bytes at p that a byte other than '/', '!' and '?' follows, a bit each.
inline uint64_t StartTagMask16(const unsigned char* p) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
  const __m128i opens = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(after, _mm_set1_epi8('/')),
                                                  _mm_cmpeq_epi8(after, _mm_set1_epi8('!'))),
                                     _mm_cmpeq_epi8(after, _mm_set1_epi8('?')));
  const __m128i lt = _mm_andnot_si128(opens, _mm_cmpeq_epi8(x, _mm_set1_epi8('<')));
  return static_cast<unsigned>(_mm_movemask_epi8(lt));
}

}  // namespace

int32_t CountStartTags(const unsigned char* t, int32_t length, int32_t limit) {
  int32_t count = 0;
  int32_t i = 0;
  // 64 bytes at a time while the byte after them lies within the text or is its NUL.
  for (; i + 64 <= length && count < limit; i += 64) {
    const uint64_t mask = StartTagMask16(t + i) | StartTagMask16(t + i + 16) << 16 |
                          StartTagMask16(t + i + 32) << 32 | StartTagMask16(t + i + 48) << 48;
    count += BitCount(mask);
  }
  for (; i < length && count < limit; ++i)
    count += t[i] == '<' && t[i + 1] != '/' && t[i + 1] != '!' && t[i + 1] != '?';
  return count;
}

namespace {
constexpr int32_t kDefaultStopChunk = 4096;
std::atomic<int32_t> stop_chunk{kDefaultStopChunk};
}  // namespace

int32_t StopChunk() { return stop_chunk.load(std::memory_order_relaxed); }

int32_t ListStopsFrom() {
  constexpr int32_t kDefaultListStopsFrom = 4096;
  return StopChunk() == kDefaultStopChunk ? kDefaultListStopsFrom : 0;
}

void SetStopChunkForTesting(int32_t bytes) {
  stop_chunk.store(bytes >= 64 ? bytes & ~63 : kDefaultStopChunk, std::memory_order_relaxed);
}

}  // namespace ostrel::xml::block_index

#endif  // OSTREL_XML_BLOCK_INDEX

#ifndef OSTREL_XML_BLOCK_INDEX
namespace ostrel::xml::block_index {
int32_t CountStartTags(const unsigned char* t, int32_t length, int32_t limit) {
  int32_t count = 0;
  for (int32_t i = 0; i < length && count < limit; ++i)
    count += t[i] == '<' && t[i + 1] != '/' && t[i + 1] != '!' && t[i + 1] != '?';
  return count;
}
}  // namespace ostrel::xml::block_index
#endif
