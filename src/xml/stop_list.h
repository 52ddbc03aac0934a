// The stops of a single-byte text listed in order: the offsets of every '<', '>', '"' and '\'',
// then the terminating NUL. The parse of a long text walks this list instead of searching byte
// runs, so that finding the next stop costs a load whose address does not wait on the previous
// search.
// The list is built a chunk of the text at a time, each chunk classified 64 bytes at a time.
// Internal to the XML code.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "xml/block_index.h"

#ifdef OSTREL_XML_BLOCK_INDEX

namespace ostrel::xml::block_index {

// Appends to out the offsets of the stops from `from` up to `to` (a multiple of 64, or the
// text's length), and the offset of the terminating NUL when the text's length is reached;
// returns how many were written. `out` has room for to - from + 1 offsets and kListSlack more
// (offsets are written several at a time).
constexpr int32_t kListSlack = 64;
// End marks behind a chunk's stops: enough for a reader's look sixteen stops ahead.
constexpr int32_t kEndMarks = 16;
static_assert(kEndMarks <= kListSlack, "the end marks go into the list's slack");
int32_t ListStops(const unsigned char* t, int32_t length, int32_t from, int32_t to, int32_t* out);

// Every way of listing stops this processor runs (SSE2, AVX-512 VBMI2), named,
// for tests that hold them against each other. ListStops uses the last one.
using ListStopsFunction = int32_t (*)(const unsigned char*, int32_t, int32_t, int32_t, int32_t*);
struct NamedStopLister {
  const char* name;
  ListStopsFunction list;
};
int SupportedStopListers(NamedStopLister* out, int room);

// How many bytes a chunk of the list covers: 4096, or for tests that cross chunk borders often, a
// smaller multiple of 64 (0 restores the default). Read when a list is made.
int32_t StopChunk();
void SetStopChunkForTesting(int32_t bytes);

// The shortest text whose stops the parse lists (a shorter one is searched a block at a time):
// 4096 bytes, or none while a test has set a smaller chunk.
int32_t ListStopsFrom();

class StopList {
 public:
  // A list that lists nothing until Start; making one costs nothing (its buffer is not cleared),
  // so a parse that needs no list pays nothing for having one at hand.
  StopList() = default;
  StopList(const unsigned char* t, int32_t length) { Start(t, length); }

  // Lists the stops of t[0, length). The list of a text shorter than kHeapListLength lives
  // inside the object, in chunks of at most kInlineChunk bytes: beside such a text and its
  // records a list on the heap would weigh more than a little.
  void Start(const unsigned char* t, int32_t length) {
    t_ = t;
    length_ = length;
    chunk_ = StopChunk();
    if (length < kHeapListLength) chunk_ = std::min(chunk_, kInlineChunk);
    const int32_t room = std::min(length, chunk_) + 1 + kListSlack;
    if (room <= kInlineOffsets) {
      offsets_ = inline_;
    } else {
      heap_.reset(new int32_t[static_cast<size_t>(room)]);
      offsets_ = heap_.get();
    }
  }
  bool Started() const { return offsets_ != nullptr; }

  StopList(const StopList&) = delete;
  StopList& operator=(const StopList&) = delete;

  // Where the chunk listed last ends: the offset after its last byte, or the text's length + 1
  // when it reaches the end.
  int32_t ListedUpTo() const { return end_; }
  int32_t Length() const { return length_; }

  // Reads the list from a place on, within one chunk. A reader is one pointer its user keeps in
  // a local; it never leaves its chunk, so reading the next stop is one load. The chunk's stops
  // are followed by end marks: the text's length, the offset of its NUL, which a reader gives
  // like the real end. A user that is given the NUL's offset therefore stops as at the end and,
  // unless the text really ends there, goes on with a new reader beyond the chunk. A reader may
  // fall behind the place its user has read to: From catches it up, reading each stop it skips
  // once.
  class Reader {
   public:
    // A reader whose first stop is the first at or after q in q's chunk, listing that chunk when
    // q lies outside the chunk listed last. A reader made far beyond the last chunk (after a run
    // of tags read without one, or a long node) may need only a stop or two: it lists a short
    // chunk. One made just beyond it (its user read a node across the chunk's end) lists a full
    // one.
    Reader(StopList& list, int32_t q) {
      if (q > list.length_) q = list.length_;
      if (q < list.begin_ || q >= list.end_) {
        const int32_t from = q & ~63;
        const bool far = from - list.end_ > kShortChunk;
        list.Fill(from, far && kShortChunk < list.chunk_ ? kShortChunk : list.chunk_);
      }
      const int32_t* listed = list.offsets_;
      at_ = std::lower_bound(listed, listed + list.listed_, q);
    }

    // The next stop, or the NUL's offset at the chunk's end. Not to be asked again after that.
    int32_t Next() { return *at_++; }

    // The first stop at or after q (which lies after every stop given so far, at most the
    // text's length), or the NUL's offset at the chunk's end. A reader that fell behind (after
    // tags read without it) is most often one tag behind: that case is looked at first.
    int32_t From(int32_t q) {
      if (at_[0] >= q) return *at_++;
      if (at_[1] >= q) {
        at_ += 2;
        return at_[-1];
      }
      // Behind by a tag read without the list (its '<' and '>').
      if (at_[2] >= q) {
        at_ += 3;
        return at_[-1];
      }
      // Far behind: sixteen stops at a time. The end marks stop both loops: none is below q.
      at_ += 3;
      while (at_[15] < q) at_ += 16;
      while (*at_ < q) ++at_;
      return *at_++;
    }

   private:
    const int32_t* at_ = nullptr;
  };

 private:
  // Lists the chunk from `from` (a multiple of 64, or the text's length), of `bytes` bytes
  // (a multiple of 64, at most the chunk size), and puts the end marks behind it.
  void Fill(int32_t from, int32_t bytes) {
    const int32_t to = length_ - from > bytes ? from + bytes : length_;
    begin_ = from;
    end_ = to == length_ ? length_ + 1 : to;
    listed_ = ListStops(t_, length_, from, to, offsets_);
    std::fill_n(offsets_ + listed_, kEndMarks, length_);
  }

  static constexpr int32_t kShortChunk = 256;
  static constexpr int32_t kInlineChunk = 1024;
  static constexpr int32_t kHeapListLength = 256 * 1024;
  static constexpr int32_t kInlineOffsets = kInlineChunk + 1 + kListSlack;

  const unsigned char* t_ = nullptr;
  int32_t length_ = 0;
  int32_t chunk_ = 0;
  int32_t* offsets_ = nullptr;
  std::unique_ptr<int32_t[]> heap_;
  int32_t inline_[kInlineOffsets];
  int32_t begin_ = 0, end_ = 0;  // the chunk listed holds the stops in [begin_, end_)
  int32_t listed_ = 0;
};

// A single-byte text's stops found through its stop list, with the interface of a ByteSkipper:
// SkipTo gives the first byte of a class at or after q. A search that runs past the chunk listed
// last is finished by a block search, and the next one lists from where that one ended (so the
// inside of a long run of text or a long value is classified, not listed). The end of a name is
// looked for byte by byte: names are short, and the list holds none of the bytes that end them.
class ListedSkipper {
 public:
  static constexpr bool kDoubleByte = false;

  ListedSkipper(StopList& list, const unsigned char* t)
      : reader_(list, 0), list_(&list), t_(t), length_(list.Length()) {}

  template <Stops kStops>
  OSTREL_ALWAYS_INLINE int32_t SkipTo(int32_t q) {
    if (kStops == Stops::kNameEnd) {
      while ((kSingleByteClasses.of[t_[q]] & kNameEnd) == 0) ++q;
      return q;
    }
    return Search<kStops>(q, reader_.From(q));
  }

  // SkipTo for a q just past the last stop found: the next listed stop is the first candidate.
  template <Stops kStops>
  OSTREL_ALWAYS_INLINE int32_t SkipOn(int32_t q) {
    return Search<kStops>(q, reader_.Next());
  }

  // SkipOn to the quote (or NUL) that closes a value opened by `quote`: one loop for both kinds
  // of quote, so that no branch waits on which one it is.
  OSTREL_ALWAYS_INLINE int32_t SkipOnToQuote(int32_t q, unsigned char quote) {
    int32_t stop = reader_.Next();
    while (t_[stop] != quote && t_[stop] != 0) stop = reader_.Next();
    if (t_[stop] != 0 || list_->ListedUpTo() > length_) return stop;
    const Crossing crossing = quote == '"'
                                  ? BeyondChunk<Stops::kDoubleQuote>(*list_, t_, length_, q)
                                  : BeyondChunk<Stops::kSingleQuote>(*list_, t_, length_, q);
    reader_ = crossing.reader;
    return crossing.stop;
  }

  const unsigned char* Text() const { return t_; }
  int32_t Length() const { return length_; }

  // Goes back to q (a search otherwise goes on from the last stop it gave).
  void Rewind(int32_t q) { reader_ = StopList::Reader(*list_, q); }

 private:
  // Whether a listed byte ('<', '>', '"', '\'' or NUL) is of the class; the same as a look in the
  // class table, with fewer comparisons.
  template <Stops kStops>
  static bool IsListed(unsigned char c) {
    switch (kStops) {
      case Stops::kTagStop:
        return c != '<';
      case Stops::kDoubleQuote:
        return c == '"' || c == 0;
      case Stops::kSingleQuote:
        return c == '\'' || c == 0;
      case Stops::kEndTagStop:
        return c == '>' || c == 0;
      case Stops::kTextStop:
        return c == '<' || c == '>' || c == 0;
      default:
        return c == '<' || c == 0;
    }
  }

  // The first stop of the class from `stop`, a listed stop at or after q, on.
  template <Stops kStops>
  OSTREL_ALWAYS_INLINE int32_t Search(int32_t q, int32_t stop) {
    while (!IsListed<kStops>(t_[stop])) stop = reader_.Next();
    // A NUL ends the text, or only the chunk.
    if (t_[stop] != 0 || list_->ListedUpTo() > length_) return stop;
    const Crossing crossing = BeyondChunk<kStops>(*list_, t_, length_, q);
    reader_ = crossing.reader;
    return crossing.stop;
  }

  struct Crossing {
    int32_t stop;
    StopList::Reader reader;  // reads on after the stop
  };

  // A search from q that found no stop of its class in the chunk listed last, finished by a
  // block search. Not a member, so that a skipper held in locals stays in registers.
  template <Stops kStops>
  static OSTREL_NEVER_INLINE Crossing BeyondChunk(StopList& list, const unsigned char* t,
                                                  int32_t length, int32_t q) {
    BlockIndex<false> blocks(kSingleByteClasses, t, length);
    const int32_t stop = blocks.template SkipTo<kStops>(std::max(q, list.ListedUpTo()));
    return Crossing{stop, StopList::Reader(list, stop + 1)};
  }

  StopList::Reader reader_;
  StopList* list_;
  const unsigned char* t_;
  int32_t length_;
};

}  // namespace ostrel::xml::block_index

#endif  // OSTREL_XML_BLOCK_INDEX
