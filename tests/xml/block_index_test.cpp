// The parse's block index and the fast paths that use it, held against the byte-by-byte
// machine: the same stops, the same tokens, the same records, under every code page.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "platform/mbcs.h"
#include "xml/block_index.h"
#include "xml/byte_by_byte_parse.h"
#include "xml/document_generator.h"
#include "xml/invariant_checker.h"
#include "xml/scanner.h"
#include "xml/stop_list.h"
#include "xml/xml_document.h"

namespace ostrel::xml {
namespace {

class BlockIndexTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::SetCodePageForTesting(0);
#ifdef OSTREL_XML_BLOCK_INDEX
    block_index::SetStopChunkForTesting(0);
#endif
  }
};

// Texts rich in the bytes the scanner stops at, long enough to cross several 64-byte blocks.
std::string RandomText(std::mt19937& random, size_t maxLength) {
  static const std::string alphabet =
      "<>\"'/ \t\r\n=!?-[]abcxyzAB:_\x01\x1f\x80\x81\x83\x9f\xa1\xdf\xe0\xfc\xfe\xff\x5c";
  std::string text(random() % (maxLength + 1), ' ');
  for (char& c : text) c = alphabet[random() % alphabet.size()];
  if (random() % 3 == 0) {
    // Long runs without a stop byte, so that whole blocks are passed over.
    const size_t at = random() % (text.size() + 1);
    text.insert(at, std::string(random() % 200, "abcd\x81"[random() % 5]));
  }
  return text;
}

#ifdef OSTREL_XML_BLOCK_INDEX
template <block_index::Stops kStops, class Index>
void ExpectSameStops(const std::string& text, Index& index) {
  const auto* t = reinterpret_cast<const unsigned char*>(text.c_str());
  const block_index::ByteSkipper bytes(byte_classes::CurrentClasses(), t);
  for (int32_t q = 0; q <= static_cast<int32_t>(text.size()); ++q) {
    ASSERT_EQ(index.template SkipTo<kStops>(q), bytes.SkipTo<kStops>(q))
        << "stop class " << static_cast<int>(kStops) << " from " << q << " in: " << text;
  }
}

template <bool kDoubleByte>
void ExpectSameStopsForEveryClass(const std::string& text) {
  using block_index::Stops;
  const auto* t = reinterpret_cast<const unsigned char*>(text.c_str());
  block_index::BlockIndex<kDoubleByte> index(byte_classes::CurrentClasses(), t,
                                             static_cast<int32_t>(text.size()));
  ExpectSameStops<Stops::kNameEnd>(text, index);
  ExpectSameStops<Stops::kTagStop>(text, index);
  ExpectSameStops<Stops::kDoubleQuote>(text, index);
  ExpectSameStops<Stops::kSingleQuote>(text, index);
  ExpectSameStops<Stops::kEndTagStop>(text, index);
  ExpectSameStops<Stops::kTextStop>(text, index);
  ExpectSameStops<Stops::kDataStop>(text, index);
}

TEST_F(BlockIndexTest, StopsWhereTheByteLoopStopsForEveryClassAndOffset) {
  std::mt19937 random(4242);
  for (int codePage : {0, 932, 936, 949, 950}) {
    platform::SetCodePageForTesting(codePage);
    for (int round = 0; round < 300; ++round) {
      const std::string text = RandomText(random, 300);
      if (codePage == 0) {
        ExpectSameStopsForEveryClass<false>(text);
      } else {
        ExpectSameStopsForEveryClass<true>(text);
      }
      if (HasFatalFailure()) return;
    }
  }
}

// The block classifier marks exactly the bytes a per-byte look at them marks. Blocks are drawn
// from the bytes that matter and their neighbours, at every alignment.
TEST(BlockClassifiers, MarkTheBytesAPerByteLookMarks) {
  std::mt19937 random(2026);
  static const unsigned char kBytes[] = {'<', '>',  '"',  '\'', ' ',  '\t', '\n', '\r',        '/',
                                         0,   0x7F, 0x80, 0xFF, 0x3B, 0x3D, 0x21, 0x09 + 0x80, 'a'};
  std::vector<unsigned char> buffer(64 + 63);
  for (int round = 0; round < 4000; ++round) {
    for (auto& b : buffer) b = round % 2 == 0 ? kBytes[random() % sizeof kBytes] : random() & 0xFF;
    const unsigned char* p = buffer.data() + round % 64;
    block_index::BlockMasks expected{};
    for (int i = 0; i < 64; ++i) {
      const uint64_t bit = uint64_t{1} << i;
      const unsigned char c = p[i];
      if (c == '<') expected.lt |= bit;
      if (c == '>') expected.gt |= bit;
      if (c == '"') expected.dq |= bit;
      if (c == '\'') expected.sq |= bit;
      if (c >= 0x80) expected.high |= bit;
    }
    block_index::BlockMasks got{};
    block_index::ClassifySse2(p, got);
    ASSERT_TRUE(got.lt == expected.lt && got.gt == expected.gt && got.dq == expected.dq &&
                got.sq == expected.sq && got.high == expected.high)
        << "round " << round;
  }
}

TEST_F(BlockIndexTest, TextsOfEveryLengthAroundABlockEndAtTheirNul) {
  // The last block is read through a padded copy: the NUL is found at every length.
  for (int32_t length = 0; length <= 200; ++length) {
    const std::string text(static_cast<size_t>(length), 'a');
    ExpectSameStopsForEveryClass<false>(text);
    if (HasFatalFailure()) return;
  }
}
#endif

void ExpectSameTokens(const std::string& text) {
  ScanCursor fast, plain;
  fast.text = plain.text = text.c_str();
  NodeToken fastToken, plainToken;
  const int32_t length = static_cast<int32_t>(text.size());
  for (int guard = 0; guard <= length + 1; ++guard) {
    const NodeType a = detail::ScanNodeIndexed(fast, fastToken, length);
    const NodeType b = detail::ScanNodeGeneral(plain, plainToken);
    ASSERT_EQ(a, b) << "at " << plainToken.start << " in: " << text;
    ASSERT_EQ(fastToken.start, plainToken.start) << text;
    ASSERT_EQ(fastToken.length, plainToken.length) << text;
    ASSERT_EQ(fastToken.flags, plainToken.flags) << text;
    ASSERT_EQ(fastToken.text, plainToken.text) << text;
    ASSERT_EQ(fast.next, plain.next) << text;
    ASSERT_EQ(fast.name_start, plain.name_start) << text;
    ASSERT_EQ(fast.name_end, plain.name_end) << text;
    if (b == NodeType::EndOfDocument) return;
  }
  FAIL() << "no end of document: " << text;
}

TEST_F(BlockIndexTest, IndexedScanGivesTheGeneralMachinesTokens) {
  std::mt19937 random(777);
  for (int codePage : {0, 932, 936, 949, 950}) {
    platform::SetCodePageForTesting(codePage);
    for (int round = 0; round < 2000; ++round) {
      ExpectSameTokens(RandomText(random, 160));
      if (HasFatalFailure()) return;
    }
  }
}

void ExpectSameParse(const std::string& text, uint32_t options) {
  XmlDocument fast, plain;
  fast.SetOptions(options);
  plain.SetOptions(options);
  ASSERT_EQ(fast.SetText(text.c_str()), testing::SetTextByteByByte(plain, text.c_str())) << text;
  ASSERT_EQ(fast.ErrorText(), plain.ErrorText()) << text;
  ASSERT_EQ(fast.NextFree(), plain.NextFree()) << text;
  for (int32_t r = 0; r < fast.NextFree(); ++r) {
    const ElementRecord& a = fast.At(r);
    const ElementRecord& b = plain.At(r);
    ASSERT_TRUE(a.start == b.start && a.length == b.length && a.tag_lengths == b.tag_lengths &&
                a.flags == b.flags && a.parent == b.parent && a.first_child == b.first_child &&
                a.next == b.next && a.prev == b.prev)
        << "record " << r << " of: " << text;
  }
  ASSERT_INVARIANTS(plain);
}

#ifdef OSTREL_XML_BLOCK_INDEX
// The stops readers give from q on: every '<', '>', '"' and '\'' at or after q in order, a
// chunk at a time, then the terminating NUL. Each reader ends its chunk with the NUL's offset;
// the next one starts where that chunk ends.
// The count of start tags the parse sizes its records by, against a look at each '<', for every
// length around the 64-byte steps and with a limit that stops it early.
TEST(CountStartTags, CountsEachLtThatOpensNoOtherNode) {
  const std::string unit = "<a><!--c--></a><?p?><b/>< <";
  std::string text;
  while (text.size() < 300) text += unit;
  const auto* t = reinterpret_cast<const unsigned char*>(text.c_str());
  int32_t expected = 0;
  for (int32_t length = 0; length <= static_cast<int32_t>(text.size()); ++length) {
    ASSERT_EQ(block_index::CountStartTags(t, length, 1 << 20), expected) << length;
    ASSERT_LE(block_index::CountStartTags(t, length, 3), std::max(expected, 3 + 63)) << length;
    if (length < static_cast<int32_t>(text.size()) && t[length] == '<') {
      const unsigned char after = t[length + 1];
      expected += after != '/' && after != '!' && after != '?';
    }
  }
}

TEST_F(BlockIndexTest, StopListGivesEveryStopInOrderAcrossChunks) {
  std::mt19937 random(4242);
  for (int32_t chunk : {64, 128, 4096}) {
    block_index::SetStopChunkForTesting(chunk);
    for (int round = 0; round < 300; ++round) {
      // Some texts span several full chunks, so that readers also jump chunks ahead.
      const std::string text = RandomText(random, round % 10 == 0 ? 20000 : 700);
      const auto* t = reinterpret_cast<const unsigned char*>(text.c_str());
      const int32_t length = static_cast<int32_t>(text.size());
      block_index::StopList list(t, length);
      // Readers from places in any order: the list moves between chunks as they ask.
      for (int start = 0; start < 4; ++start) {
        const int32_t q = static_cast<int32_t>(random() % (text.size() + 1));
        std::vector<int32_t> expected;
        for (int32_t i = q; i < length; ++i)
          if (t[i] == '<' || t[i] == '>' || t[i] == '"' || t[i] == '\'') expected.push_back(i);
        expected.push_back(length);
        std::vector<int32_t> got;
        for (int32_t from = q;;) {
          block_index::StopList::Reader reader(list, from);
          ASSERT_GE(list.ListedUpTo(), from + 1) << "the chunk listed holds the reader's place";
          for (int32_t stop = reader.Next(); stop != length; stop = reader.Next()) {
            ASSERT_LT(stop, list.ListedUpTo());
            got.push_back(stop);
          }
          if (list.ListedUpTo() > length) break;
          from = list.ListedUpTo();
        }
        got.push_back(length);
        ASSERT_EQ(got, expected) << "chunk " << chunk << ", from " << q << " in: " << text;
        // A reader that falls behind catches up to the first stop at or after where it is
        // asked, or ends its chunk.
        block_index::StopList::Reader lagging(list, q);
        const int32_t upTo = list.ListedUpTo();
        const int32_t later =
            std::min(length, q + static_cast<int32_t>(random() % (round % 2 == 0 ? 300 : 9000)));
        const auto first = std::lower_bound(expected.begin(), expected.end(), later);
        ASSERT_EQ(lagging.From(later), *first < upTo ? *first : length)
            << "chunk " << chunk << ", from " << later << " in: " << text;
      }
    }
  }
}
#endif

#ifdef OSTREL_XML_BLOCK_INDEX
// Every stop lister the processor runs gives the offsets a byte-by-byte look gives, for ranges
// that start anywhere and end at a block border or at the text's end (which adds the NUL).
TEST_F(BlockIndexTest, EveryStopListerListsWhatALookAtEachByteFinds) {
  block_index::NamedStopLister listers[8];
  const int count = block_index::SupportedStopListers(listers, 8);
  ASSERT_GE(count, 1);
  std::mt19937 random(2024);
  for (int round = 0; round < 3000; ++round) {
    std::string text = RandomText(random, 700);
    if (round % 5 == 0) text.append(70, '<');  // blocks with more stops than one write covers
    const auto* t = reinterpret_cast<const unsigned char*>(text.c_str());
    const int32_t length = static_cast<int32_t>(text.size());
    const int32_t from = static_cast<int32_t>(random() % (text.size() + 1));
    const int32_t blocks = static_cast<int32_t>(random() % 4) + 1;
    const int32_t to = std::min(length, (from & ~63) + 64 * blocks);
    std::vector<int32_t> expected;
    for (int32_t i = from; i < to; ++i)
      if (t[i] == '<' || t[i] == '>' || t[i] == '"' || t[i] == '\'') expected.push_back(i);
    if (to == length) expected.push_back(length);
    for (int k = 0; k < count; ++k) {
      std::vector<int32_t> out(static_cast<size_t>(to - from) + 1 + block_index::kListSlack);
      const int32_t n = listers[k].list(t, length, from, to, out.data());
      out.resize(static_cast<size_t>(n));
      ASSERT_EQ(out, expected) << listers[k].name << " from " << from << " to " << to
                               << " in: " << text;
    }
  }
}
#endif

// Runs of nested tags read without the stop list, around text and attributes that need it: the
// list's reader jumps far ahead (a short chunk first) and nodes cross chunk ends.
std::string NestedRuns(std::mt19937& random) {
  std::string text = "<r>";
  for (int run = 0; run < 3; ++run) {
    const int depth = 50 + static_cast<int>(random() % 300);
    for (int d = 0; d < depth; ++d) {
      text += "<d" + std::to_string(d % 7);
      if (random() % 9 == 0) text += " a='" + std::string(random() % 90, 'v') + "'";
      text += ">";
    }
    text += std::string(random() % 600, 't');
    for (int d = depth - 1; d >= 0; --d) text += "</d" + std::to_string(d % 7) + ">";
    text += "\r\n";
  }
  return text + "</r>";
}

TEST_F(BlockIndexTest, FastParseGivesTheRecordsOfTheByteByByteParse) {
  testing::DocumentGenerator generator(31337);
  std::mt19937 random(99);
  for (int codePage : {0, 932, 936}) {
    platform::SetCodePageForTesting(codePage);
    // Small chunks under the single-byte code page, so that the stop list crosses chunk borders
    // inside tags, values and passed-over nodes; at 512 bytes a far jump lists a short chunk.
    for (int32_t chunk : {64, 512}) {
      if (codePage != 0 && chunk != 64) continue;
#ifdef OSTREL_XML_BLOCK_INDEX
      block_index::SetStopChunkForTesting(codePage == 0 ? chunk : 0);
#endif
      for (int round = 0; round < 400; ++round) {
        const uint32_t options = round % 4 == 0 ? kCaseInsensitiveEndTags : 0;
        ExpectSameParse(generator.WellFormed(5, 4).text, options);
        ExpectSameParse(generator.IllFormed(5, 4), options);
        ExpectSameParse(RandomText(random, 200), options);
        if (round % 8 == 0) ExpectSameParse(NestedRuns(random), options);
        if (HasFatalFailure()) return;
      }
    }
  }
}

}  // namespace
}  // namespace ostrel::xml
