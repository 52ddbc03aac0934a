// The wider block classifiers and the choice among them. Each is an ordinary function compiled
// for its own instruction set and reached through a pointer, so that no code built for a newer
// processor can be inlined into, or chosen by the linker for, code that runs everywhere.
#include "xml/block_index.h"

#ifdef OSTREL_XML_BLOCK_INDEX

// Not for MinGW: its GCC may spill 32- and 64-byte vectors to a stack that Windows aligns only
// to 16 bytes, with aligned moves (a fault); there the inline SSE2 classifier is used.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__)) && \
    !defined(_WIN32)
#include <immintrin.h>
#define OSTREL_XML_WIDE_CLASSIFIERS 1
#endif

namespace ostrel::xml::block_index {

#ifdef OSTREL_XML_WIDE_CLASSIFIERS
namespace {

__attribute__((target("avx2"))) void ClassifyAvx2(const unsigned char* p, BlockMasks& out) {
  const __m256i lt = _mm256_set1_epi8('<'), gt = _mm256_set1_epi8('>');
  const __m256i dq = _mm256_set1_epi8('"'), sq = _mm256_set1_epi8('\'');
  const __m256i space = _mm256_set1_epi8(' '), tab = _mm256_set1_epi8('\t');
  const __m256i lf = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r');
  const __m256i slash = _mm256_set1_epi8('/');
  uint64_t l = 0, g = 0, d = 0, s = 0, n = 0, h = 0;
  for (int i = 0; i < 64; i += 32) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    const auto bits = [](__m256i m, int at) __attribute__((target("avx2"))) {
      return static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(m))) << at;
    };
    l |= bits(_mm256_cmpeq_epi8(x, lt), i);
    g |= bits(_mm256_cmpeq_epi8(x, gt), i);
    d |= bits(_mm256_cmpeq_epi8(x, dq), i);
    s |= bits(_mm256_cmpeq_epi8(x, sq), i);
    const __m256i white =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(x, space), _mm256_cmpeq_epi8(x, tab)),
                        _mm256_or_si256(_mm256_cmpeq_epi8(x, lf), _mm256_cmpeq_epi8(x, cr)));
    n |= bits(_mm256_or_si256(white, _mm256_cmpeq_epi8(x, slash)), i);
    h |= bits(x, i);
  }
  out = BlockMasks{l, g, d, s, n, h};
}

__attribute__((target("avx512f,avx512bw"))) void ClassifyAvx512(const unsigned char* p,
                                                                BlockMasks& out) {
  const __m512i x = _mm512_loadu_si512(p);
  const auto eq = [&x](char c) __attribute__((target("avx512f,avx512bw"))) {
    return static_cast<uint64_t>(_mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(c)));
  };
  out.lt = eq('<');
  out.gt = eq('>');
  out.dq = eq('"');
  out.sq = eq('\'');
  out.nameEnd = eq(' ') | eq('\t') | eq('\n') | eq('\r') | eq('/');
  out.high = static_cast<uint64_t>(_mm512_movepi8_mask(x));
}

bool HasAvx512Bw() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

bool HasAvx2() { return __builtin_cpu_supports("avx2"); }

}  // namespace
#endif  // OSTREL_XML_WIDE_CLASSIFIERS

ClassifyBlock WidestClassifier() {
#ifdef OSTREL_XML_WIDE_CLASSIFIERS
  static const ClassifyBlock chosen = [] {
    __builtin_cpu_init();
    if (HasAvx512Bw()) return &ClassifyAvx512;
    if (HasAvx2()) return &ClassifyAvx2;
    return static_cast<ClassifyBlock>(nullptr);
  }();
  return chosen;
#else
  return nullptr;
#endif
}

int SupportedClassifiers(NamedClassifier* out, int room) {
  int count = 0;
  const auto add = [&](const char* name, ClassifyBlock classify) {
    if (count < room) out[count] = NamedClassifier{name, classify};
    ++count;
  };
  add("sse2", &ClassifySse2);
#ifdef OSTREL_XML_WIDE_CLASSIFIERS
  __builtin_cpu_init();
  if (HasAvx2()) add("avx2", &ClassifyAvx2);
  if (HasAvx512Bw()) add("avx512bw", &ClassifyAvx512);
#endif
  return count;
}

}  // namespace ostrel::xml::block_index

#endif  // OSTREL_XML_BLOCK_INDEX
