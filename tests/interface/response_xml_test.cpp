#include "kel/response.h"
#include "kel/request.h"

#include "platform/codepage.h"
#include "platform/xml_sax.h"

#include "support/loop_fake_engine.h"
#include "../../drivesdk/include/KelDriveSDK/quorvel_api.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

using looptest::CapturedStream;
using looptest::splitElements;

namespace {

// Sends elements into a temporary file and gives back the elements split at
// their NUL bytes.
class ResponseXml : public ::testing::Test {
 protected:
  void SetUp() override { kel::SetResponseStream(out_.file()); }
  void TearDown() override { kel::SetResponseStream(nullptr); }
  std::vector<std::string> sent() { return splitElements(out_.contents()); }
  // The one element r sends.
  std::string one(kel::CServiceXMLResponse& r) {
    const std::size_t before = sent().size();
    EXPECT_EQ(r.Send(), 0u);
    auto v = sent();
    EXPECT_EQ(v.size(), before + 1);
    return v.size() > before ? v.back() : "";
  }
  CapturedStream out_;
};

std::unique_ptr<KELFS_OBJECT_INFO> object(const char* name) {
  auto o = std::make_unique<KELFS_OBJECT_INFO>();
  std::memset(o.get(), 0, sizeof *o);
  std::strcpy(o->ObjectName, name);
  o->Flags = 1;
  o->ObjectID = 77;
  o->Mode = 0x1A4;
  o->Links = 1;
  o->Size = 5000000000ull;
  o->Type = 2;
  o->CreationTime = {1600000000, 5, 0};
  o->ModificationTime = {1600000001, 123456789, 0};
  o->AccessTime = {0, 0, 0};
  o->IOSize = 65536;
  return o;
}

// One element read back by the platform's reader: its result, the value of
// one attribute and the character data.
struct ReadBack {
  HRESULT hr = E_FAIL;
  std::u16string value;
  std::u16string text;
};

ReadBack readBack(const std::string& element, const char16_t* attribute) {
  struct Stream : platform::SaxInputStream {
    std::string data;
    std::size_t pos = 0;
    HRESULT Read(void* b, ULONG n, ULONG* got) override {
      *got = static_cast<ULONG>(std::min<std::size_t>(n, data.size() - pos));
      std::memcpy(b, data.data() + pos, *got);
      pos += *got;
      return S_OK;
    }
  } in;
  in.data = element;
  struct Reader : platform::SaxContentHandler {
    const char16_t* attribute = nullptr;
    ReadBack got;
    HRESULT startDocument() override { return S_OK; }
    HRESULT endDocument() override { return S_OK; }
    HRESULT startElement(std::u16string_view, const platform::SaxAttributes& a) override {
      return a.getValueFromQName(attribute, &got.value);
    }
    HRESULT endElement(std::u16string_view) override { return S_OK; }
    HRESULT characters(std::u16string_view t) override {
      got.text += t;
      return S_OK;
    }
  } reader;
  reader.attribute = attribute;
  reader.got.hr = platform::SaxReader().parse(in, reader);
  return reader.got;
}

// UTF-16 to UTF-8 that also encodes an unpaired surrogate on its own, as a
// name from a medium written by another program may hold one.
std::string looseUtf8(std::u16string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF)
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[++i] - 0xDC00);
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

}  // namespace

TEST_F(ResponseXml, SimpleElements) {
  kel::CServiceSuccessResponse ok(42);
  EXPECT_EQ(one(ok), "<KelSuccess SequenceNumber=\"42\"></KelSuccess>");
  CapturedStream again;
  kel::SetResponseStream(again.file());
  kel::CServiceShutdownResponse bye(18446744073709551615ull);
  EXPECT_EQ(bye.Send(), 0u);
  EXPECT_EQ(again.contents(), std::string("<Shutdown SequenceNumber=\"18446744073709551615\"></Shutdown>") + '\0');
}

TEST_F(ResponseXml, HresultIsSignedDecimal) {
  kel::CServiceHRESULTResponse r(7, static_cast<HRESULT>(0x80070070u));
  EXPECT_EQ(one(r), "<HRESULT SequenceNumber=\"7\" HRESULT=\"-2147024784\"></HRESULT>");
}

TEST_F(ResponseXml, DebugTextIsTrimmedAndEscaped) {
  kel::CServiceDebugReponse a("Error", 0, "bad <thing> & \"more\" 'x'  \t\r\n");
  EXPECT_EQ(one(a),
            "<Error SequenceNumber=\"0\">bad &lt;thing&gt; &amp; &quot;more&quot; &apos;x&apos;</Error>");
  // Wide text: converted to UTF-8, a code unit below 0x20 other than tab
  // and new line replaced.
  kel::CServiceDebugReponse b("Trace", 3, u"caf\u00E9 line\none \f\v ");
  EXPECT_EQ(one(b), "<Trace SequenceNumber=\"3\">caf\xC3\xA9 line\none</Trace>");
  kel::CServiceDebugReponse c("Warning", 4, u"a<b>&\"'\x01\tz \n");
  EXPECT_EQ(one(c), "<Warning SequenceNumber=\"4\">a&lt;b&gt;&amp;&quot;&apos;\xEF\xBF\xBD\tz</Warning>");
}

// Debug text is well-formed whatever it holds: characters XML cannot carry
// and bytes that are not UTF-8 arrive as U+FFFD.
TEST_F(ResponseXml, DebugTextNeverCarriesWhatXmlCannot) {
  const char16_t wide[] = {u'a', char16_t(0xD800), u'b', char16_t(0x01), char16_t(0xFFFE), u'c', 0};
  kel::CServiceDebugReponse w("Warning", 1, wide);
  EXPECT_EQ(w.Send(), 0u);
  kel::CServiceDebugReponse n("Error", 2, "x\x01y\x1F\xFFz\xED\xA0\x80!\xEF\xBF\xBF");
  EXPECT_EQ(n.Send(), 0u);
  const auto sent_ = sent();
  ASSERT_EQ(sent_.size(), 2u);
  const ReadBack a = readBack(sent_[0], u"SequenceNumber");
  ASSERT_EQ(a.hr, S_OK) << sent_[0];
  EXPECT_EQ(a.text, u"a\uFFFDb\uFFFD\uFFFDc");
  const ReadBack b = readBack(sent_[1], u"SequenceNumber");
  ASSERT_EQ(b.hr, S_OK) << sent_[1];
  EXPECT_EQ(b.text, u"x\uFFFDy\uFFFD\uFFFDz\uFFFD!\uFFFD");
}

TEST_F(ResponseXml, AttributeValuesKeepTabsAndLineBreaks) {
  auto o = object("a\tb\nc\rd<&>'\"");
  kel::CServiceArchiveResponse r(1, 0, o.get());
  std::string e = one(r);
  EXPECT_NE(e.find("ObjectName=\"a&#9;b&#10;c&#13;d&lt;&amp;&gt;&apos;&quot;\""), std::string::npos)
      << e;
  // An XML reader gives the name back unchanged.
  const ReadBack got = readBack(e, u"ObjectName");
  ASSERT_EQ(got.hr, S_OK);
  EXPECT_EQ(got.value, u"a\tb\nc\rd<&>'\"");
}

// A listed or volume name, whatever the medium holds, is sent well-formed and
// comes back as itself through the reader and UnescapeName, as it does when
// the host sends it back in a request.
TEST_F(ResponseXml, NamesRoundTripThroughReaderAndUnescapeName) {
  const std::u16string names[] = {
      u"a\x01" u"b",
      u"\x02\x08\x0B\x0C\x0E\x1F",
      u"tab\tlf\ncr\r",
      u"\uFFFE\uFFFF",
      std::u16string{u'x', char16_t(0xD800), u'y'},           // lone high surrogate
      std::u16string{char16_t(0xDC00)},                         // lone low surrogate
      std::u16string{char16_t(0xDE00), char16_t(0xD83D)},       // pair in the wrong order
      u"\U0001F600 caf\u00E9",
      u"a&b & c&",
      u"&#65;",       // would be undone by UnescapeName unless escaped once more
      u"&amp;x",
      u"&#1;\x01",
      u"&#99999;",
      u"&#x41;&lt;&#;",
  };
  for (const auto& name : names) {
    const std::string utf8 = looseUtf8(name);
    auto o = object(utf8.c_str());
    auto v = std::make_unique<kel::KelVolumeInformation>();
    std::memset(v.get(), 0, sizeof *v);
    std::strcpy(v->Info.VolumeName, utf8.c_str());
    CapturedStream w;
    kel::SetResponseStream(w.file());
    kel::CServiceArchiveResponse archive(1, 0, o.get());
    kel::CServiceVolumeResponse volume(2, v.get());
    ASSERT_EQ(archive.Send(), 0u);
    ASSERT_EQ(volume.Send(), 0u);
    const auto elements = splitElements(w.contents());
    ASSERT_EQ(elements.size(), 2u);
    const std::pair<const std::string&, const char16_t*> sends[] = {{elements[0], u"ObjectName"},
                                                                   {elements[1], u"VolumeName"}};
    for (const auto& [element, attribute] : sends) {
      const ReadBack got = readBack(element, attribute);
      ASSERT_EQ(got.hr, S_OK) << element;
      std::u16string back;
      ASSERT_EQ(kel::UnescapeName(got.value, &back), S_OK) << element;
      EXPECT_EQ(back, name) << element;
    }
  }
}

// Bytes that are not UTF-8 cannot come back as themselves; they arrive as
// U+FFFD and never break the element.
TEST_F(ResponseXml, NameBytesThatAreNotUtf8BecomeReplacementCharacters) {
  auto o = object("a\xFF\xC0\x80" "b\xE2\x82");
  kel::CServiceArchiveResponse r(1, 0, o.get());
  const ReadBack got = readBack(one(r), u"ObjectName");
  ASSERT_EQ(got.hr, S_OK);
  EXPECT_EQ(got.value, u"a\uFFFD\uFFFD\uFFFDb\uFFFD\uFFFD");
}

TEST_F(ResponseXml, ArchiveWritesCountAndAtMostMaxEntries) {
  // Room for 5 extents behind the record.
  std::vector<std::uint8_t> raw(KelObjectInfoSize(5));
  auto* o = reinterpret_cast<KELFS_OBJECT_INFO*>(raw.data());
  *o = *object("dir/f");
  o->SpaceEntries.Count = 5;
  for (int i = 0; i < 5; ++i) {
    o->SpaceEntries.Entries[i].BlockNumber = 1000 + i;
    o->SpaceEntries.Entries[i].NumberOfBlocks = 10 + i;
  }
  kel::CServiceArchiveResponse r(9, 2, o);
  EXPECT_EQ(one(r),
            "<KelArchive ObjectName=\"dir/f\" Flags=\"1\" ObjectID=\"77\" Mode=\"420\" Links=\"1\" "
            "Size=\"5000000000\" Type=\"2\" CreationTime=\"1600000000.5\" "
            "ModificationTime=\"1600000001.123456789\" AccessTime=\"0.0\" IOSize=\"65536\" "
            "SequenceNumber=\"9\" SpaceEntries.Count=\"5\" SpaceEntries.0.BlockNumber=\"1000\" "
            "SpaceEntries.0.NumberOfBlocks=\"10\" SpaceEntries.1.BlockNumber=\"1001\" "
            "SpaceEntries.1.NumberOfBlocks=\"11\"></KelArchive>");
}

TEST_F(ResponseXml, DirentPutsTheVersionTripleFirst) {
  auto o = object("x");
  o->SpaceEntries.Count = 0;
  kel::KelDirentHeader h{0, 3, 4294967295u, 0};
  kel::CServiceDirentResponse r(5, 1, &h, o.get());
  std::string e = one(r);
  EXPECT_EQ(e.rfind("<KelDirent Fragment=\"0\" Generation=\"3\" Version=\"4294967295\" ObjectName=\"x\" ", 0),
            0u)
      << e;
  EXPECT_NE(e.find("SequenceNumber=\"5\" SpaceEntries.Count=\"0\"></KelDirent>"), std::string::npos) << e;
}

// Numbers at their extremes are written as printf writes them: unsigned in
// full, a negative type with its sign, the time's fraction without padding.
TEST_F(ResponseXml, NumbersAtTheirExtremes) {
  struct Case {
    std::uint32_t u32;
    std::int32_t type;
    std::uint64_t size;
    std::int64_t seconds;
    std::uint32_t fraction;
    const char* expected;
  } cases[] = {
      {0, 0, 0, 0, 0, "Flags=\"0\" ObjectID=\"0\" Mode=\"0\" Links=\"0\" Size=\"0\" Type=\"0\" "
                      "CreationTime=\"0.0\""},
      {4294967295u, -2147483647 - 1, 18446744073709551615ull, 9223372036854775807ll, 999999999,
       "Flags=\"4294967295\" ObjectID=\"4294967295\" Mode=\"4294967295\" Links=\"4294967295\" "
       "Size=\"18446744073709551615\" Type=\"-2147483648\" CreationTime=\"9223372036854775807.999999999\""},
      {10, -1, 10, 10, 10, "Flags=\"10\" ObjectID=\"10\" Mode=\"10\" Links=\"10\" Size=\"10\" Type=\"-1\" "
                           "CreationTime=\"10.10\""},
  };
  for (const Case& c : cases) {
    CapturedStream w;
    kel::SetResponseStream(w.file());
    auto o = object("n");
    o->Flags = o->ObjectID = o->Mode = o->Links = c.u32;
    o->Size = c.size;
    o->Type = c.type;
    o->CreationTime = {c.seconds, c.fraction, 0};
    kel::KelDirentHeader h{0, c.u32, c.u32, 0};
    kel::CServiceDirentResponse r(c.size, 0, &h, o.get());
    ASSERT_EQ(r.Send(), 0u);
    const std::string e = splitElements(w.contents())[0];
    EXPECT_NE(e.find(c.expected), std::string::npos) << e;
    EXPECT_NE(e.find("Generation=\"" + std::to_string(c.u32) + "\" Version=\"" + std::to_string(c.u32) + "\""),
              std::string::npos)
        << e;
    EXPECT_NE(e.find("SequenceNumber=\"" + std::to_string(c.size) + "\""), std::string::npos) << e;
  }
}

TEST_F(ResponseXml, VolumeWithAndWithoutVolumeId) {
  auto v = std::make_unique<kel::KelVolumeInformation>();
  std::memset(v.get(), 0, sizeof *v);
  v->Info.VolumeInitializationId = 1;
  v->Info.ParityRatio = 128;
  v->Info.NextWritableBlock = 0xFFFFFFFFu;
  v->Info.WriteProtectReason = 0xC0002F44u;
  v->Info.CreationTime = {1700000000, 250, 0};
  for (int i = 0; i < 16; ++i) v->Info.MediumGUID[i] = static_cast<std::uint8_t>(0xA0 + i);
  std::strcpy(v->Info.VolumeName, "Vol&1");
  kel::CServiceVolumeResponse r(11, v.get());
  const std::string e = one(r);
  EXPECT_EQ(e,
            "<KelVolume SequenceNumber=\"11\" VolumeInitializationId=\"1\" "
            "VolumeInitializationCount=\"0\" VolumeType=\"0\" ParityRatio=\"128\" ObjectCount=\"0\" "
            "FileCount=\"0\" DirectoryCount=\"0\" MaxObjectCount=\"0\" BlockSize=\"0\" IOSize=\"0\" "
            "TotalBlocks=\"0\" FreeBlocks=\"0\" AvailableBlocks=\"0\" UsedBlocks=\"0\" "
            "FilesFree=\"0\" Dirty=\"0\" CurrentTrackId=\"0\" MaximumTrackId=\"0\" "
            "PartitionStart=\"0\" NextWritableBlock=\"4294967295\" NumberOfBlocksPerTrack=\"0\" "
            "LastFileIndex=\"0\" WriteProtectReason=\"3221237572\" CreationTime=\"1700000000.250\" "
            "ModificationTime=\"0.0\" AccessTime=\"0.0\" BackupTime=\"0.0\" "
            "MediumGUID=\"A0A1A2A3A4A5A6A7A8A9AAABACADAEAF\" VolumeName=\"Vol&amp;1\" "
            "QuorvelReplica=\"4294967295\"></KelVolume>");

  CapturedStream w;
  kel::SetResponseStream(w.file());
  v->QuorvelReplica = 2;
  std::strcpy(v->QuorvelVolumeID, "VOL-0001");
  kel::CServiceVolumeResponse r2(12, v.get());
  ASSERT_EQ(r2.Send(), 0u);
  const std::string e2 = splitElements(w.contents())[0];
  EXPECT_NE(e2.find("VolumeName=\"Vol&amp;1\" QuorvelReplica=\"2\" QuorvelVolumeID=\"VOL-0001\"></KelVolume>"),
            std::string::npos)
      << e2;
}

TEST_F(ResponseXml, SyncFragmentAndRollbackElements) {
  kel::KelSyncRecord s{1, 0, 5000000000ull, 77};
  kel::CServiceSyncResponse sync(3, &s);
  EXPECT_EQ(one(sync),
            "<KelSync SequenceNumber=\"3\" Dirty=\"1\" BlockNumber=\"5000000000\" "
            "NextWritableBlock=\"77\"></KelSync>");

  CapturedStream w;
  kel::SetResponseStream(w.file());
  kel::KelFragmentRecord f{};
  f.FragmentFileSize = 1048576;
  f.BlockNumber = 18446744073709551615ull;
  f.ModificationTime = {1600000000, 7, 0};
  f.IOSize = 262144;
  f.BytesTransferred = 100;
  f.ErrorCode = 99;
  f.Buffer = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x7F00ABCDEF10ull));
  f.isPackedWrite = 1;
  kel::CServiceFragmentResponse frag(4, &f);
  ASSERT_EQ(frag.Send(), 0u);
  EXPECT_EQ(splitElements(w.contents())[0],
            "<KelFragment SequenceNumber=\"4\" FragmentFileSize=\"1048576\" "
            "BlockNumber=\"18446744073709551615\" ModificationTime=\"1600000000.7\" IOSize=\"262144\" "
            "BytesTransferred=\"100\" Buffer=\"00007F00ABCDEF10\" isPackedWrite=\"1\"></KelFragment>");

  // The drive utility library's rollback record reads as three u32.
  CapturedStream w2;
  kel::SetResponseStream(w2.file());
  _KEL_SDK_ROLLBACK_INFO point;
  point.SlotNumber = 3;
  point.MetaDataFE_LSN = 1234;
  point.FsdLsn = 56;
  static_assert(sizeof point == sizeof(kel::KelRollbackRecord));
  kel::CServiceRollbackInfoResponse rb(6, reinterpret_cast<const kel::KelRollbackRecord*>(&point));
  ASSERT_EQ(rb.Send(), 0u);
  EXPECT_EQ(splitElements(w2.contents())[0],
            "<KelRollbackInfo SequenceNumber=\"6\" SlotNumber=\"3\" MetaDataFE_LSN=\"1234\" "
            "FsdLsn=\"56\"></KelRollbackInfo>");
}

TEST_F(ResponseXml, LongElementsAreWrittenWholeWithOneNul) {
  std::string name(4095, 'n');
  name[100] = '&';
  auto o = object(name.c_str());
  kel::CServiceArchiveResponse r(1, 0, o.get());
  ASSERT_EQ(r.Send(), 0u);
  const std::string all = out_.contents();
  ASSERT_EQ(all.back(), '\0');
  EXPECT_EQ(all.find('\0'), all.size() - 1);
  EXPECT_GT(all.size(), 4096u);
  EXPECT_EQ(all.size(), r.size() + 1);
  EXPECT_NE(all.find("</KelArchive>"), std::string::npos);
}

TEST_F(ResponseXml, ConcurrentSendersNeverInterleave) {
  constexpr int kThreads = 4, kEach = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string text(3000 + 100 * t, static_cast<char>('a' + t));
      for (int i = 0; i < kEach; ++i) {
        kel::CServiceDebugReponse r("Trace", static_cast<std::uint64_t>(t), text.c_str());
        EXPECT_EQ(r.Send(), 0u);
      }
    });
  }
  for (auto& th : threads) th.join();
  auto elements = sent();
  ASSERT_EQ(elements.size(), static_cast<std::size_t>(kThreads * kEach));
  for (const auto& e : elements) {
    ASSERT_EQ(e.rfind("<Trace SequenceNumber=\"", 0), 0u);
    const int t = e[23] - '0';
    const std::string want = "<Trace SequenceNumber=\"" + std::to_string(t) + "\">" +
                             std::string(3000 + 100 * t, static_cast<char>('a' + t)) + "</Trace>";
    ASSERT_EQ(e, want);
  }
}

TEST_F(ResponseXml, ShortWriteIsReported) {
  std::FILE* full = std::fopen("/dev/full", "w");
  if (!full) GTEST_SKIP() << "no /dev/full";
  kel::SetResponseStream(full);
  kel::CServiceSuccessResponse ok(1);
  EXPECT_NE(ok.Send(), 0u);
  kel::SetResponseStream(out_.file());
  std::fclose(full);
}
