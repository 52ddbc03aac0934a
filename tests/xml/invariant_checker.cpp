#include "xml/invariant_checker.h"

#include <cstring>
#include <map>
#include <sstream>

namespace ostrel::xml::testing {
namespace {

using R = ElementRecord;

class Checker {
 public:
  Checker(const XmlDocument& doc, CheckDepth depth)
      : doc_(doc),
        depth_(depth),
        text_(doc.Text()),
        textLength_(static_cast<int64_t>(text_.size())) {}

  std::vector<std::string> Run() {
    CheckStore();
    if (!problems_.empty()) return problems_;
    CheckDocumentRecord();
    CheckNavigation();
    for (int32_t r = 1; r < doc_.NextFree(); ++r) CheckElement(r);
    if (problems_.empty()) CheckLinks();
    return problems_;
  }

 private:
  template <typename... Parts>
  void Fail(Parts&&... parts) {
    std::ostringstream out;
    (out << ... << parts);
    if (problems_.size() < 20) problems_.push_back(out.str());
  }

  void CheckStore() {
    if (doc_.NextFree() < 1) Fail("nextFree ", doc_.NextFree(), " below 1");
    if (doc_.NextFree() > doc_.Capacity())
      Fail("nextFree ", doc_.NextFree(), " above capacity ", doc_.Capacity());
  }

  void CheckDocumentRecord() {
    const R& d = doc_.At(0);
    if (d.start != 0) Fail("record 0: start ", d.start);
    if (d.length != textLength_) Fail("record 0: length ", d.length, " but text has ", textLength_);
    if (d.tag_lengths != 0) Fail("record 0: tag_lengths ", d.tag_lengths);
    if (d.parent != 0 || d.next != 0 || d.prev != 0)
      Fail("record 0: parent/next/prev ", d.parent, "/", d.next, "/", d.prev);
    if ((d.flags & ~(R::kIllFormed | R::kContentError)) != 0)
      Fail("record 0: stray flag bits ", std::hex, d.flags);
  }

  void CheckNavigation() {
    const int32_t n = doc_.NextFree();
    for (int32_t pos : {doc_.ParentPos(), doc_.CurrentPos(), doc_.ChildPos()})
      if (pos < 0 || pos >= n) Fail("navigation position ", pos, " outside records in use");
    if (doc_.CurrentNodeType() != (doc_.CurrentPos() != 0 ? 1 : 0))
      Fail("nodeType ", doc_.CurrentNodeType(), " with currentPos ", doc_.CurrentPos());
    if (doc_.NodeOffset() != 0 || doc_.NodeLength() != 0) Fail("node offset/length not 0");
  }

  char At(int64_t offset) const {
    return offset >= 0 && offset < textLength_ ? text_[static_cast<size_t>(offset)] : '\0';
  }

  void CheckElement(int32_t i) {
    const R& r = doc_.At(i);
    const uint32_t allowed = R::kLevelMask | R::kIsFirstChild | R::kUnended | R::kContentError;
    if ((r.flags & ~allowed) != 0) Fail("record ", i, ": stray flag bits ", std::hex, r.flags);
    if ((r.tag_lengths & 0x00100000u) != 0) Fail("record ", i, ": bit 20 of tag_lengths set");
    const int64_t stl = r.StartTagLength(), etl = r.EndTagLength();
    const int64_t start = r.start, length = r.length;
    if (start < 0 || length < 0 || start + length > textLength_) {
      Fail("record ", i, ": span ", start, "+", length, " outside text of ", textLength_);
      return;
    }
    if (stl < 2 || stl > length || etl < 0 || stl + etl > length) {
      Fail("record ", i, ": tag lengths ", stl, "/", etl, " in length ", length);
      return;
    }
    if (At(start) != '<') Fail("record ", i, ": no '<' at ", start);
    if (At(start + stl - 1) != '>') Fail("record ", i, ": start tag does not end with '>'");
    if (r.Has(R::kUnended) && (etl != 0 || length != stl))
      Fail("record ", i, ": Unended but has an end tag or content");
    if (etl > 0) {
      const int64_t e = start + length - etl;
      if (At(e) != '<' || At(e + 1) != '/' || At(start + length - 1) != '>')
        Fail("record ", i, ": no end tag at ", e);
    } else if (!r.Has(R::kUnended)) {
      if (length != stl || At(start + length - 2) != '/')
        Fail("record ", i, ": neither ended, nor empty, nor Unended");
    }
    if (depth_ == CheckDepth::Full && problems_.empty()) RescanElement(i);
  }

  // The scanner must see the same tags where the record says they are.
  void RescanElement(int32_t i) {
    const R& r = doc_.At(i);
    ScanCursor cursor;
    cursor.text = text_.data();  // a view of the document's string, so NUL-terminated
    cursor.next = r.start;
    NodeToken start;
    if (ScanNode(cursor, start) != NodeType::ElementTag || start.length != r.StartTagLength()) {
      Fail("record ", i, ": start tag rescans as type ", static_cast<int>(start.type), " length ",
           start.length, ", record says ", r.StartTagLength());
      return;
    }
    const bool emptyTag = (start.flags & kEmptyElement) != 0;
    // An opened empty element keeps its start tag; so the flag is only checked where unchanged.
    if (r.EndTagLength() == 0 && !r.Has(R::kUnended) && !emptyTag)
      Fail("record ", i, ": empty element whose tag does not close itself");
    if (r.Has(R::kUnended) && emptyTag) Fail("record ", i, ": Unended but its tag closes itself");
    if (r.EndTagLength() == 0) return;
    cursor.next = r.start + r.length - r.EndTagLength();
    NodeToken end;
    if (ScanNode(cursor, end) != NodeType::EndTag || end.length != r.EndTagLength()) {
      Fail("record ", i, ": end tag rescans as type ", static_cast<int>(end.type), " length ",
           end.length, ", record says ", r.EndTagLength());
      return;
    }
    const std::string endName = NameText(cursor);
    const std::string& name = start.text;
    const bool fold = (doc_.Options() & kCaseInsensitiveEndTags) != 0;
    bool same = name.size() >= endName.size();
    for (size_t k = 0; same && k < endName.size(); ++k) {
      char a = name[k], b = endName[k];
      if (fold && a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
      if (fold && b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
      same = a == b;
    }
    if (same && name.size() > endName.size()) same = std::strchr(" =/[]", name[endName.size()]);
    if (!same) Fail("record ", i, ": start tag '", name, "' closed by end tag '", endName, "'");
  }

  void CheckLinks() {
    const int32_t n = doc_.NextFree();
    std::vector<char> seen(static_cast<size_t>(n), 0);
    int32_t visited = 0;
    for (int32_t p = 0; p < n; ++p) {
      const R& parent = doc_.At(p);
      const int32_t first = parent.first_child;
      if (first == 0) continue;
      if (first < 0 || first >= n) {
        Fail("record ", p, ": first_child ", first, " not in use");
        return;
      }
      const int64_t lo = p == 0 ? 0 : int64_t{parent.start} + parent.StartTagLength();
      const int64_t hi =
          p == 0 ? textLength_ : int64_t{parent.start} + parent.length - parent.EndTagLength();
      int32_t previous = 0;
      int64_t previousEnd = lo;
      for (int32_t c = first; c != 0; c = doc_.At(c).next) {
        if (c < 0 || c >= n || seen[static_cast<size_t>(c)] || c == p) {
          Fail("record ", p, ": child chain reaches ", c, " again or out of range");
          return;
        }
        seen[static_cast<size_t>(c)] = 1;
        ++visited;
        const R& child = doc_.At(c);
        if (child.parent != p)
          Fail("record ", c, ": parent ", child.parent, " but in chain of ", p);
        if (child.Has(R::kIsFirstChild) != (c == first))
          Fail("record ", c, ": kIsFirstChild ", child.Has(R::kIsFirstChild) ? "set" : "clear");
        const uint32_t level = p == 0 ? 0 : parent.Level() + 1;
        if (child.Level() != level)
          Fail("record ", c, ": level ", child.Level(), " expected ", level);
        if (c != first && child.prev != previous)
          Fail("record ", c, ": prev ", child.prev, " expected ", previous);
        if (child.start < previousEnd || int64_t{child.start} + child.length > hi)
          Fail("record ", c, ": span ", child.start, "+", child.length, " not inside ", p,
               "'s content after its previous sibling");
        previous = c;
        previousEnd = int64_t{child.start} + child.length;
      }
      if (doc_.At(first).prev != previous)
        Fail("record ", p, ": first child's prev ", doc_.At(first).prev, " but last child is ",
             previous);
    }
    if (visited != n - 1) Fail(n - 1 - visited, " records in use are in no child chain");
  }

  const XmlDocument& doc_;
  CheckDepth depth_;
  std::string_view text_;
  int64_t textLength_;
  std::vector<std::string> problems_;
};

::testing::AssertionResult Report(const std::vector<std::string>& problems,
                                  const XmlDocument& doc) {
  if (problems.empty()) return ::testing::AssertionSuccess();
  auto result = ::testing::AssertionFailure();
  for (const std::string& p : problems) result << p << "\n";
  std::string_view text = doc.Text();
  result << "text (" << text.size()
         << " bytes): " << (text.size() <= 400 ? text : text.substr(0, 400));
  return result;
}

}  // namespace

std::vector<std::string> FindInvariantViolations(const XmlDocument& doc, CheckDepth depth) {
  return Checker(doc, depth).Run();
}

// Records created by insertion are numbered in order of creation, not in text order, so the
// two sets of records are matched by the offset of each element, and links by what they name.
std::vector<std::string> FindReparseDifferences(const XmlDocument& doc) {
  std::vector<std::string> out;
  XmlDocument fresh;
  fresh.SetOptions(doc.Options());
  const std::string text(doc.Text());
  fresh.SetText(text.c_str());
  if (fresh.NextFree() != doc.NextFree()) {
    out.push_back("fresh parse has " + std::to_string(fresh.NextFree() - 1) + " elements, " +
                  "document has " + std::to_string(doc.NextFree() - 1));
    return out;
  }
  std::map<int32_t, int32_t> freshAt;  // element offset -> fresh record
  for (int32_t i = 1; i < fresh.NextFree(); ++i) freshAt[fresh.At(i).start] = i;
  auto translate = [&](int32_t link) -> int32_t {
    if (link == 0) return 0;
    auto found = freshAt.find(doc.At(link).start);
    return found == freshAt.end() ? -1 : found->second;
  };
  if (translate(doc.At(0).first_child) != fresh.At(0).first_child)
    out.push_back("record 0: first child differs");
  const uint32_t compared = R::kLevelMask | R::kIsFirstChild | R::kUnended;
  for (int32_t i = 1; i < doc.NextFree() && out.size() < 20; ++i) {
    const R& a = doc.At(i);
    auto found = freshAt.find(a.start);
    if (found == freshAt.end()) {
      out.push_back("record " + std::to_string(i) + ": no element at " + std::to_string(a.start) +
                    " in a fresh parse");
      continue;
    }
    const R& b = fresh.At(found->second);
    if (a.length != b.length || a.tag_lengths != b.tag_lengths ||
        (a.flags & compared) != (b.flags & compared) || translate(a.parent) != b.parent ||
        translate(a.first_child) != b.first_child || translate(a.next) != b.next ||
        translate(a.prev) != b.prev) {
      std::ostringstream s;
      s << "record " << i << " (fresh " << found->second << ") at " << a.start << ": document {"
        << a.length << "," << a.StartTagLength() << "/" << a.EndTagLength() << ",flags " << std::hex
        << (a.flags & compared) << std::dec << ",p" << translate(a.parent) << ",c"
        << translate(a.first_child) << ",n" << translate(a.next) << ",v" << translate(a.prev)
        << "} fresh {" << b.length << "," << b.StartTagLength() << "/" << b.EndTagLength()
        << ",flags " << std::hex << (b.flags & compared) << std::dec << ",p" << b.parent << ",c"
        << b.first_child << ",n" << b.next << ",v" << b.prev << "}";
      out.push_back(s.str());
    }
  }
  return out;
}

::testing::AssertionResult InvariantsHold(const XmlDocument& doc, CheckDepth depth) {
  return Report(FindInvariantViolations(doc, depth), doc);
}

::testing::AssertionResult SameRecordsAsFreshParse(const XmlDocument& doc) {
  return Report(FindReparseDifferences(doc), doc);
}

}  // namespace ostrel::xml::testing
