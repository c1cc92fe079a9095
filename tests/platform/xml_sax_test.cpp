#include "platform/xml_sax.h"

#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using platform::SaxAttributes;
using platform::SaxReader;

// Hands out a fixed byte string, at most `step` bytes per Read.
class StringStream : public platform::SaxInputStream {
 public:
  explicit StringStream(std::string data, ULONG step = 1u << 30) : data_(std::move(data)), step_(step) {}
  HRESULT Read(void* buffer, ULONG count, ULONG* read) override {
    ++reads;
    ULONG n = static_cast<ULONG>(std::min<std::size_t>({count, step_, data_.size() - pos_}));
    std::memcpy(buffer, data_.data() + pos_, n);
    pos_ += n;
    *read = n;
    return S_OK;
  }
  int reads = 0;

 private:
  std::string data_;
  std::size_t pos_ = 0;
  ULONG step_;
};

// Records every event as one line of text; fails a chosen event.
class Recorder : public platform::SaxContentHandler {
 public:
  HRESULT startDocument() override { return note("startDocument"); }
  HRESULT endDocument() override { return note("endDocument"); }
  HRESULT startElement(std::u16string_view qname, const SaxAttributes& a) override {
    std::string line = "start " + platform::utf16_to_utf8(qname);
    for (int i = 0; i < a.length(); ++i)
      line += " " + platform::utf16_to_utf8(a.qname(i)) + "=" + platform::utf16_to_utf8(a.value(i));
    last_attributes = a;
    return note(line);
  }
  HRESULT endElement(std::u16string_view qname) override {
    return note("end " + platform::utf16_to_utf8(qname));
  }
  HRESULT characters(std::u16string_view text) override {
    return note("text [" + platform::utf16_to_utf8(text) + "]");
  }
  HRESULT note(const std::string& line) {
    events.push_back(line);
    if (!fail_on.empty() && line.rfind(fail_on, 0) == 0) return fail_with;
    return S_OK;
  }
  std::vector<std::string> events;
  std::string fail_on;
  HRESULT fail_with = S_OK;
  SaxAttributes last_attributes;
};

}  // namespace

TEST(XmlSax, ReportsEventsInOrderWithDecodedText) {
  StringStream in("<a x=\"1&amp;2\" y='&#x41;'><b/>t&lt;u</a>");
  Recorder r;
  EXPECT_EQ(SaxReader().parse(in, r), S_OK);
  std::vector<std::string> want = {"startDocument", "start a x=1&2 y=A", "start b", "end b",
                                   "text [t<u]",    "end a",             "endDocument"};
  EXPECT_EQ(r.events, want);
}

TEST(XmlSax, AttributeLookupIsExactAndMissingGivesFixedCode) {
  StringStream in("<a Name=\"v\"/>");
  Recorder r;
  ASSERT_EQ(SaxReader().parse(in, r), S_OK);
  std::u16string v;
  EXPECT_EQ(r.last_attributes.getValueFromQName(u"Name", &v), S_OK);
  EXPECT_EQ(v, u"v");
  EXPECT_EQ(r.last_attributes.getValueFromQName(u"name", &v), platform::kSaxErrAttrMissing);
}

TEST(XmlSax, NonAsciiTextArrivesAsUtf16) {
  StringStream in("<a n=\"\xC3\xA9\xF0\x9F\x98\x80\"/>");
  Recorder r;
  ASSERT_EQ(SaxReader().parse(in, r), S_OK);
  std::u16string v;
  ASSERT_EQ(r.last_attributes.getValueFromQName(u"n", &v), S_OK);
  EXPECT_EQ(v, std::u16string(u"\u00E9\U0001F600"));
}

TEST(XmlSax, BadDocumentsGiveFixedCodesWithDistinctLowBytes) {
  struct Case {
    const char* doc;
    HRESULT want;
  } cases[] = {
      {"", platform::kSaxErrNoElements},
      {"<a>", platform::kSaxErrNoElements},
      {"<a", platform::kSaxErrUnclosedToken},
      {"<a></b>", platform::kSaxErrTagMismatch},
      {"<a x='1' x='2'/>", platform::kSaxErrDuplicateAttr},
      {"<a/><b/>", platform::kSaxErrJunkAfterRoot},
      {"<a>&nope;</a>", platform::kSaxErrUndefinedEntity},
      {"<a>&#0;</a>", platform::kSaxErrBadCharRef},
      {"<a <", platform::kSaxErrInvalidToken},
      {"<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>", platform::kSaxErrDtdProhibited},
  };
  for (const auto& c : cases) {
    StringStream in(c.doc);
    Recorder r;
    EXPECT_EQ(SaxReader().parse(in, r), c.want) << c.doc;
    EXPECT_EQ(std::count(r.events.begin(), r.events.end(), "endDocument"), 0) << c.doc;
  }
  std::vector<int> low;
  for (HRESULT hr :
       {platform::kSaxErrNoMemory, platform::kSaxErrSyntax, platform::kSaxErrNoElements,
        platform::kSaxErrInvalidToken, platform::kSaxErrUnclosedToken, platform::kSaxErrPartialChar,
        platform::kSaxErrTagMismatch, platform::kSaxErrDuplicateAttr, platform::kSaxErrJunkAfterRoot,
        platform::kSaxErrUndefinedEntity, platform::kSaxErrBadCharRef,
        platform::kSaxErrUnknownEncoding, platform::kSaxErrDtdProhibited, platform::kSaxErrOther})
    low.push_back(static_cast<DWORD>(hr) & 0xFF);
  std::sort(low.begin(), low.end());
  EXPECT_EQ(std::adjacent_find(low.begin(), low.end()), low.end());
  // None of them may look like the loop's own 1359 (low byte 79).
  EXPECT_EQ(std::count(low.begin(), low.end(), 79), 0);
}

TEST(XmlSax, HandlerFailureStopsParseWithItsCode) {
  const HRESULT mine = static_cast<HRESULT>(0x800705B9u);
  StringStream in("<a><b/><c/></a>");
  Recorder r;
  r.fail_on = "start b";
  r.fail_with = mine;
  EXPECT_EQ(SaxReader().parse(in, r), mine);
  EXPECT_EQ(r.events.back(), "start b");  // nothing after the failing event

  StringStream in2("<a/>");
  Recorder r2;
  r2.fail_on = "startDocument";
  r2.fail_with = E_FAIL;
  EXPECT_EQ(SaxReader().parse(in2, r2), E_FAIL);
  EXPECT_EQ(in2.reads, 0);
}

TEST(XmlSax, TextSplitOverReadsIsReportedOnce) {
  std::string doc = "<a>" + std::string(10000, 'x') + "</a>";
  StringStream in(doc, 7);
  Recorder r;
  ASSERT_EQ(SaxReader().parse(in, r), S_OK);
  ASSERT_EQ(r.events.size(), 5u);
  EXPECT_EQ(r.events[2].size(), std::string("text []").size() + 10000);
  EXPECT_GT(in.reads, 1000);
}

TEST(XmlSax, StreamFailureIsReturned) {
  struct Failing : platform::SaxInputStream {
    HRESULT Read(void*, ULONG, ULONG* read) override {
      *read = 0;
      return E_OUTOFMEMORY;
    }
  } in;
  Recorder r;
  EXPECT_EQ(SaxReader().parse(in, r), E_OUTOFMEMORY);
}

TEST(XmlSax, EncodingDeclarationIsHonoured) {
  StringStream in("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a n=\"\xE9\"/>");
  Recorder r;
  ASSERT_EQ(SaxReader().parse(in, r), S_OK);
  std::u16string v;
  ASSERT_EQ(r.last_attributes.getValueFromQName(u"n", &v), S_OK);
  EXPECT_EQ(v, u"\u00E9");
}
