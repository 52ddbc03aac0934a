// The stops of a single-byte text listed in order: the offsets of every '<', '>', '"' and '\'',
// then the terminating NUL. The lean parse walks this list instead of searching byte runs, so
// that finding the next stop costs a load whose address does not wait on the previous search.
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
int32_t ListStops(const unsigned char* t, int32_t length, int32_t from, int32_t to, int32_t* out);

// Every way of listing stops this processor runs (SSE2, AVX2, AVX-512, AVX-512 VBMI2), named,
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

class StopList {
 public:
  // A list that lists nothing until Start; making one costs nothing (its buffer is not cleared),
  // so a parse that needs no list pays nothing for having one at hand.
  StopList() = default;
  StopList(const unsigned char* t, int32_t length) { Start(t, length); }

  // Lists the stops of t[0, length). A short text's list lives inside the object: parsing a
  // small document takes nothing from the heap for it.
  void Start(const unsigned char* t, int32_t length) {
    t_ = t;
    length_ = length;
    chunk_ = StopChunk();
    const int32_t room = (length < chunk_ ? length : chunk_) + 1 + kListSlack;
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

  // Reads the list from a place on. A reader is a pair of pointers its user keeps in locals;
  // only moving on to another chunk goes through the list. A reader may fall behind the place
  // its user has read to: From catches it up, each stop passed over once.
  class Reader {
   public:
    // A reader whose first stop is the first at or after q.
    Reader(StopList& list, int32_t q) : list_(&list) {
      if (q < list.begin_ || q >= list.end_) list.Fill(q & ~63, list.chunk_);
      end_ = list.offsets_ + list.listed_;
      at_ = std::lower_bound(static_cast<const int32_t*>(list.offsets_), end_, q);
    }

    // The next stop. Past the terminating NUL it is that NUL again. A chunk may hold no stop;
    // the last one holds at least the NUL.
    int32_t Next() {
      while (at_ == end_) list_->FillNext(*this);
      return *at_++;
    }

    // The first stop at or after q (which lies after every stop given so far); past the text's
    // end, its NUL. A reader that fell behind (after tags read without it) catches up here when
    // it is one tag behind, out of line when further.
    int32_t From(int32_t q) {
      if (end_ - at_ >= 3) {
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
      }
      return CatchUp(q);
    }

   private:
    friend class StopList;
#if defined(__GNUC__) || defined(__clang__)
    __attribute__((noinline))
#endif
    int32_t
    CatchUp(int32_t q) {
      for (;;) {
        // Far behind: sixteen stops at a time.
        while (end_ - at_ > 16 && at_[15] < q) at_ += 16;
        while (at_ != end_) {
          const int32_t stop = *at_++;
          if (stop >= q) return stop;
        }
        q = list_->FillFor(*this, q);
      }
    }

    StopList* list_;
    const int32_t* at_ = nullptr;
    const int32_t* end_ = nullptr;
  };

 private:
  // Lists the chunk from `from` (a multiple of 64, or the text's length), of `bytes` bytes
  // (a multiple of 64, at most the chunk size).
  void Fill(int32_t from, int32_t bytes) {
    if (from > length_) from = length_;
    const int32_t to = length_ - from > bytes ? from + bytes : length_;
    begin_ = from;
    end_ = to == length_ ? length_ + 1 : to;
    listed_ = ListStops(t_, length_, from, to, offsets_);
  }

  void FillNext(Reader& reader) {
    Fill(end_, chunk_);
    reader.at_ = offsets_;
    reader.end_ = offsets_ + listed_;
  }

  // The reader has no stop left in the current chunk: the next one, or the one holding q when
  // that lies further on (the stops between are never asked for). A reader that jumps ahead
  // (after a run of tags read without it) may need only a stop or two there: a short chunk first.
  // Returns q, or the text's length when q lies past it.
  int32_t FillFor(Reader& reader, int32_t q) {
    if (q > length_) q = length_;
    if ((q & ~63) > end_) {
      Fill(q & ~63, kShortChunk < chunk_ ? kShortChunk : chunk_);
    } else {
      Fill(end_, chunk_);
    }
    reader.at_ = offsets_;
    reader.end_ = offsets_ + listed_;
    return q;
  }

  static constexpr int32_t kShortChunk = 256;
  static constexpr int32_t kInlineOffsets = 256 + 1 + kListSlack;

  const unsigned char* t_ = nullptr;
  int32_t length_ = 0;
  int32_t chunk_ = 0;
  int32_t* offsets_ = nullptr;
  std::unique_ptr<int32_t[]> heap_;
  int32_t inline_[kInlineOffsets];
  int32_t begin_ = 0, end_ = 0;  // the chunk listed holds the stops in [begin_, end_)
  int32_t listed_ = 0;
};

}  // namespace ostrel::xml::block_index

#endif  // OSTREL_XML_BLOCK_INDEX
