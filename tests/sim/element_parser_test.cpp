// The host library's reading of the engine's elements: its plain scanner
// must give exactly what expat gives, for the engine's own shapes and for
// everything near them that it leaves to expat.
#include "sim/element_parser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

void expect_same(kelsim::ElementParser& p, const std::string& raw) {
  const kelsim::EngineElement got = p.parse(raw);
  const kelsim::EngineElement want = p.parse_with_expat(raw);
  EXPECT_EQ(got.parsed, want.parsed) << raw;
  EXPECT_EQ(got.raw, raw);
  if (!want.parsed) return;  // a failed parse's partial fields mean nothing
  EXPECT_EQ(got.name, want.name) << raw;
  EXPECT_EQ(got.attributes, want.attributes) << raw;
  EXPECT_EQ(got.text, want.text) << raw;
}

TEST(ElementParser, ReadsAsExpatReads) {
  const std::string cases[] = {
      // The engine's shapes.
      "<KelDirent Fragment=\"0\" Generation=\"4294967295\" ObjectName=\"x0000021\" Size=\"0\" "
      "SpaceEntries.Count=\"0\" SpaceEntries.0.BlockNumber=\"12\"></KelDirent>",
      "<Error SequenceNumber=\"2\">[KSIM] FUSE{ERR_} TID[b1] ****[f:53] pid 1 cnp-&gt;vfs_name:&lt;Root&gt; x</Error>",
      "<KelSuccess SequenceNumber=\"1\"></KelSuccess>",
      "<Shutdown SequenceNumber=\"18446744073709551615\"></Shutdown>",
      "<KelDirent ObjectName=\"a&amp;b &lt;c&gt; &quot;d&quot; &apos;e&apos; &amp;#9;\"></KelDirent>",
      "<Trace SequenceNumber=\"3\">line one\nline\ttwo</Trace>",
      "<A/>", "<A />", "<A x=\"1\"/>", "<A x=\"1\"  y=\"\" >text > more</A>", "<A></A>", "<a-b.c_d e.f-g=\"v\"></a-b.c_d>",
      "<A x='1'/>", "<A x=\"it's\"/>", "<A x=\"a>b\"/>", "<A x=\"]]>\"/>",
      // Left to expat, and still read alike.
      "<A x=\"caf\xC3\xA9\">\xC3\xA9</A>", "<A x=\"&#65;&#x42;\">&#67;</A>", "<A x=\"a\tb\nc\rd\"/>",
      "<A>a\r\nb</A>", "<A>a]]>b</A>", "<A>a]]&gt;b</A>", "<A>a]b]>c</A>", "<A>x<B>y</B>z</A>",
      "<A xmlns=\"u\" xml:lang=\"en\"/>", "<A XMLx=\"1\"/>", "<A x=\"1\" x=\"2\"/>", "<A x=\"1\"y=\"2\"/>",
      "<A x = \"1\"/>", "<A\tx=\"1\"/>", "<A\nx=\"1\"></A\n>", "<A></A >", "<A></B>", "<A>text</A> ",
      "<A/><B/>", "<?xml version=\"1.0\"?><A/>", "<!-- c --><A/>", "<A><!-- c --></A>", "<A><![CDATA[<x>]]></A>",
      "<A x=\"&unknown;\"/>", "<A x=\"a&b\"/>", "<A>&amp</A>", "<A x=\"<\"/>", "<1A/>", "<:A/>", "<A:B c:d=\"1\"/>",
      "<A x=\"1\"", "<A", "<", "", "A", "<A>", "</A>", "<A/ >", "<A x=1/>", "<A x=\"\x01\"/>", "<A>\x7F</A>",
      "<A>\xFF</A>", std::string("<A>a\0b</A>", 10),
  };
  kelsim::ElementParser p;
  for (const std::string& raw : cases) expect_same(p, raw);
}

// Random elements near the engine's shapes, seeded so that a finding
// replays: names, attributes and text drawn from the characters the scanner
// decides on.
TEST(ElementParser, RandomElementsReadAsExpatReads) {
  static const char* const kPieces[] = {"a",  "Z",  "_", "0", ".", "-", ":", " ", "  ", "\t", "\n", "\r", "=", "\"",
                                        "'",  "<",  ">", "/", "&", "&amp;", "&lt;", "&gt;", "&quot;", "&apos;",
                                        "&#65;", "]]>", "]", "\xC3\xA9", "\x01", "x=\"1\"", "<B/>", "</A>"};
  std::mt19937 rng(20261210);
  auto pieces = [&](int most) {
    std::string s;
    for (int n = static_cast<int>(rng() % most); n > 0; --n) s += kPieces[rng() % std::size(kPieces)];
    return s;
  };
  kelsim::ElementParser p;
  for (int i = 0; i < 20000; ++i) {
    std::string raw = "<A";
    for (int k = static_cast<int>(rng() % 4); k > 0; --k)
      raw += " k" + std::to_string(rng() % 3) + "=\"" + pieces(4) + "\"";
    if (rng() % 4 == 0) raw += pieces(2);
    raw += rng() % 5 == 0 ? "/>" : ">" + pieces(6) + (rng() % 8 == 0 ? "</B>" : "</A>");
    if (rng() % 10 == 0) raw += pieces(2);
    expect_same(p, raw);
    if (HasFailure()) break;
  }
}

}  // namespace
