// The Archive, Restore and Verify exchanges through the real KelDriver on
// the simulator, driven step by step as a host that may stop them: the
// compare of a file already on the volume, a changed source or medium,
// another stored generation or version, an archive resumed after it was
// stopped or killed, "FailureCallback" at each wait, reads of packed files
// whose session has not ended yet, and F2h files of an earlier session.
#include "scenario_support.h"
#include "support/settles.h"
#include "udf/udf_tag.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using e2e::EngineElement;
using kelsim::TranscriptEntry;

using Setup = e2e::MediumSetup;

std::string setup_name(const ::testing::TestParamInfo<Setup>& info) { return e2e::medium_setup_name(info.param, false); }

// HRESULT elements as the host reads them: signed decimal.
const std::string kDataDiffers = "-2147024883";     // 0x8007000D
const std::string kVersionMismatch = "-2147024894";  // 0x80070002
const std::string& kNotFound = kVersionMismatch;     // 0x80070002 as well

// The "HRESULT" element exactly as the host reads it.
std::string hresult_element(std::uint64_t seq, const std::string& code) {
  return "<HRESULT SequenceNumber=\"" + std::to_string(seq) + "\" HRESULT=\"" + code + "\"></HRESULT>";
}

constexpr std::uint32_t kIo = 64 * 1024;
constexpr std::uint64_t kTime = 133000000000000000ull;

// Bytes that differ from block to block and from seed to seed.
std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed * 131 + i / 2048 * 13 + 1) & 0xFF);
  return s;
}

bool is_write(const TranscriptEntry& e) { return !e.cdb.empty() && (e.cdb[0] == 0x2A || e.cdb[0] == 0xAA); }
bool is_read(const TranscriptEntry& e) { return !e.cdb.empty() && (e.cdb[0] == 0x28 || e.cdb[0] == 0xA8); }

// One Archive as the host drives it. `stop_at` answers the n-th
// "KelFragment" (0: the IOSize request, 1: the one naming the block, n:
// after n - 1 pieces) with "FailureCallback" instead.
struct HostArchive {
  std::string name;
  std::string data;
  std::uint32_t generation = 1, version = 1;
  std::uint64_t block = kelsim::kNewFileBlock;
  std::uint32_t io = kIo;
  int stop_at = -1;
  // Called once the engine named the block (the second "KelFragment").
  std::function<void(std::uint64_t)> told{};
  // Done at `stop_at` in place of "FailureCallback" (a kill, say).
  std::function<void()> instead{};
};

struct HostResult {
  std::uint64_t sequence = 0;
  std::vector<EngineElement> answers;
  std::uint64_t block = 0;  // the second "KelFragment"'s BlockNumber
  std::size_t fragments = 0;
  const EngineElement& last() const {
    static const EngineElement none;
    return answers.empty() ? none : answers.back();
  }
  bool archived() const { return last().name == "KelArchive"; }
  std::string hresult() const { return last().raw; }
  std::uint64_t first_extent() const { return e2e::number(last(), "SpaceEntries.0.BlockNumber"); }
};

class ArchiveExchange : public e2e::MediumScenario {
 protected:
  // The next element; a failure names the transcript when none comes.
  EngineElement next() {
    EngineElement e;
    if (!engine_->next(&e)) ADD_FAILURE() << "no answer\n" << engine_->describe();
    return e;
  }

  bool fragment_of(const EngineElement& e, std::uint64_t seq) {
    return e.name == "KelFragment" && e2e::number(e, "SequenceNumber") == seq;
  }

  void failure_callback(std::uint64_t seq) {
    EXPECT_TRUE(engine_->send(kelsim::request_line(seq, "FailureCallback", {{"ErrorCode", "1236"}})));
  }

  void stop(const HostArchive& a, std::uint64_t seq) {
    if (a.instead) a.instead();
    else failure_callback(seq);
  }

  HostResult archive(const HostArchive& a) {
    HostResult r;
    r.sequence = ++sequence_;
    const std::uint64_t seq = r.sequence;
    kelsim::ArchiveRequest q;
    q.name = a.name;
    q.generation = a.generation;
    q.version = a.version;
    q.block_number = a.block;
    q.creation_time = kTime;
    q.modification_time = kTime + 10000000;
    const std::uint64_t size = a.data.size();
    EXPECT_TRUE(engine_->send(kelsim::archive_line(seq, q)));
    r.answers.push_back(next());
    if (!fragment_of(r.last(), seq)) return r;
    r.fragments = 1;
    if (a.stop_at == 0) return stop(a, seq), r;
    EXPECT_TRUE(engine_->send(kelsim::request_line(seq, "OpenFragmentFileCallback", {{"IOSize", std::to_string(a.io)}})));
    r.answers.push_back(next());
    if (!fragment_of(r.last(), seq)) return r;
    r.fragments = 2;
    r.block = e2e::number(r.last(), "BlockNumber");
    if (a.told) a.told(r.block);
    std::size_t offset = 0;
    for (;;) {
      if (a.stop_at == static_cast<int>(r.fragments) - 1) return stop(a, seq), r;
      const std::size_t n = std::min<std::size_t>(a.io, a.data.size() - offset);
      std::string why;
      const std::uint64_t address = std::stoull(r.last().attribute("Buffer"), nullptr, 16);
      EXPECT_TRUE(kelsim::write_process_memory(engine_->pid(), address, a.data.data() + offset, n, &why)) << why;
      EXPECT_TRUE(engine_->send(kelsim::request_line(
          seq, "WriteCallback", {{"FragmentFileSize", std::to_string(size)}, {"BytesToWrite", std::to_string(n)}})));
      offset += n;
      r.answers.push_back(next());
      if (!fragment_of(r.last(), seq)) return r;
      ++r.fragments;
      if (n == 0) {
        ADD_FAILURE() << "a fragment after the end of the data: " << r.last().raw;
        return r;
      }
    }
  }

  // Restore (or Verify) of the whole file: its bytes, or the answer that
  // refused it.
  kelsim::ExchangeResult restore(const std::string& name, std::uint32_t generation, std::uint32_t version,
                                 std::string* bytes, bool verify = false) {
    const std::string local = sim_->directory() + "/restored";
    kelsim::RestoreRequest q;
    q.name = name;
    q.generation = generation;
    q.version = version;
    q.verify = verify;
    q.io_size = kIo;
    auto r = engine_->restore(++sequence_, q, local);
    std::ifstream in(local, std::ios::binary);
    bytes->assign(std::istreambuf_iterator<char>(in), {});
    return r;
  }

  void expect_restores(const std::string& name, std::uint32_t generation, std::uint32_t version,
                       const std::string& data) {
    for (bool verify : {false, true}) {
      std::string got;
      const auto r = restore(name, generation, version, &got, verify);
      EXPECT_TRUE(r.ok) << (verify ? "Verify " : "Restore ") << name << ": " << r.error << " "
                        << (r.last() ? r.last()->raw : "no answer");
      EXPECT_EQ(got.size(), data.size()) << name;
      EXPECT_TRUE(got == data) << name << " is not byte-identical";
    }
  }

  // The end-of-request notices of one request (they reach the service after
  // the answers; the count waits for the first).
  int notices(std::uint64_t seq) {
    auto count = [&] {
      int n = 0;
      for (const auto& e : sim_->service().transcript()) n += e.cdb.empty() && e.phase == 12 && e.sequence == seq;
      return n;
    };
    kel_test::settles([&] { return count() > 0; });
    return count();
  }

  // Commands of a request that match.
  template <class Pred>
  std::size_t commands(std::uint64_t seq, Pred pred) {
    std::size_t n = 0;
    for (const auto& e : e2e::commands_of(sim_->service().transcript(), seq)) n += pred(e);
    return n;
  }

  // After a request that ended quietly: the next request's answers carry
  // none of its elements, and it left exactly one notice.
  void expect_ended_quietly(std::uint64_t seq) {
    const auto answers = ask("GetVolumeInfo");
    for (const auto& e : answers) EXPECT_NE(e2e::number(e, "SequenceNumber"), seq) << e.raw;
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back().name, "KelVolume") << answers.back().raw;
    EXPECT_EQ(notices(seq), 1) << "request " << seq;
  }

  // UpdateArchiveInfo: the file's "KelArchive".
  EngineElement archive_info(const std::string& name) {
    const auto answers = engine_->request(
        kelsim::request_line(++sequence_, "UpdateArchiveInfo", {{"Name", kelsim::escape_name(name)}}),
        [](const EngineElement& e) { return e.name == "KelArchive" || e.name == "HRESULT"; });
    if (answers.empty() || answers.back().name != "KelArchive") {
      ADD_FAILURE() << "UpdateArchiveInfo " << name << "\n" << engine_->describe();
      return {};
    }
    return answers.back();
  }

  // A file a failed or stopped archive left: none. Restore and Verify do not
  // find it, the listing does not show it.
  void expect_no_file(const std::string& name) {
    for (bool verify : {false, true}) {
      std::string got;
      const auto r = restore(name, 0xFFFFFFFFu, 0xFFFFFFFFu, &got, verify);
      ASSERT_NE(r.last(), nullptr) << engine_->describe();
      EXPECT_EQ(r.last()->raw, hresult_element(sequence_, kNotFound)) << name;
      EXPECT_EQ(r.answers.size(), 1u) << name << ": no fragment";
    }
    // A folder the archive made for it is taken back with it.
    const std::string folder = name.substr(0, name.rfind('/'));
    if (!folder.empty()) {
      const std::string parent = folder.substr(0, folder.rfind('/'));
      if (!listing(parent.empty() ? "/" : parent).count(folder.substr(folder.rfind('/') + 1))) return;
    }
    EXPECT_EQ(listing(folder.empty() ? "/" : folder).count(name.substr(name.rfind('/') + 1)), 0u) << name;
  }

  std::uint64_t figure(const std::string& key) { return e2e::number(ask_one("GetVolumeInfo", "KelVolume"), key); }

  bool packed() const { return GetParam().packed; }
};

// ---------------------------------------------------------------- compare

// The host archives a file that is on the volume already, with the same
// generation and version and the block where it lies: the data is read back
// and compared, never written again. Rows: what the host sends this time.
struct CompareRow {
  const char* what;
  std::size_t change_at;  // SIZE_MAX: no byte changed
  std::size_t cut;        // bytes left out at the end
  std::size_t grow;       // bytes added at the end
  bool same;
};

TEST_P(ArchiveExchange, AFileOnTheVolumeIsComparedAndNeverRewritten) {
  const CompareRow rows[] = {
      {"the same bytes", SIZE_MAX, 0, 0, true},
      {"a byte changed in the second piece", kIo + 4321, 0, 0, false},
      {"a byte changed in the last piece", 3 * kIo + 17, 0, 0, false},
      {"the source one byte shorter", SIZE_MAX, 1, 0, false},
      {"the source grown by a piece", SIZE_MAX, 0, kIo, false},
  };
  const std::string data = pattern(3 * kIo + 100, 5);
  start_checked();
  HostArchive first{"/c/file.bin", data, 7, 8};
  const HostResult stored = archive(first);
  ASSERT_TRUE(stored.archived()) << stored.last().raw << "\n" << engine_->describe();
  sync("SyncTime");
  // Where the data lies (a packed file's "KelArchive" named its placeholder).
  const std::uint64_t at = e2e::number(archive_info(first.name), "SpaceEntries.0.BlockNumber");
  for (const CompareRow& row : rows) {
    SCOPED_TRACE(row.what);
    HostArchive again = first;
    again.block = at;
    if (row.change_at != SIZE_MAX) again.data[row.change_at] ^= 0x5A;
    again.data.resize(again.data.size() - row.cut);
    again.data += pattern(row.grow, 77);
    const HostResult r = archive(again);
    if (row.same) {
      ASSERT_TRUE(r.archived()) << r.last().raw << "\n" << engine_->describe();
      EXPECT_EQ(r.first_extent(), at);
      EXPECT_EQ(r.last().attribute("Size"), std::to_string(data.size()));
    } else {
      EXPECT_EQ(r.hresult(), hresult_element(r.sequence, kDataDiffers));
    }
    // Read in phase 7, nothing written for the request.
    EXPECT_GT(commands(r.sequence, [](const TranscriptEntry& e) { return is_read(e) && e.phase == 7; }), 0u);
    EXPECT_EQ(commands(r.sequence, is_write), 0u);
    expect_restores(first.name, 7, 8, data);
  }
  sync("SyncPreDeallocate");
  unmount();
}

// ---------------------------------------------------------------- mismatch

// Another generation or version stored for the file: it is deleted and
// written anew, "KelArchive" names where the new data lies, and a Restore
// asking for the old pair is refused.
TEST_P(ArchiveExchange, AnotherStoredVersionWritesTheFileAnew) {
  const std::string old_data = pattern(2 * kIo + 9, 1), new_data = pattern(kIo + 5000, 2);
  start_checked();
  const HostResult old = archive({"/m/file.bin", old_data, 1, 1});
  ASSERT_TRUE(old.archived()) << old.last().raw << "\n" << engine_->describe();
  sync("SyncTime");
  const std::uint64_t at = e2e::number(archive_info("/m/file.bin"), "SpaceEntries.0.BlockNumber");
  HostArchive anew{"/m/file.bin", new_data, 2, 3};
  anew.block = at;
  const HostResult r = archive(anew);
  ASSERT_TRUE(r.archived()) << r.last().raw << "\n" << engine_->describe();
  EXPECT_EQ(r.last().attribute("Size"), std::to_string(new_data.size()));
  EXPECT_EQ(commands(r.sequence, [](const TranscriptEntry& e) { return is_read(e) && e.phase == 7; }), 0u)
      << "the new file is not compared";
  if (!packed()) {
    EXPECT_NE(r.first_extent(), at);
    EXPECT_GT(commands(r.sequence, [](const TranscriptEntry& e) { return is_write(e) && e.phase == 8; }), 0u);
  }
  expect_restores("/m/file.bin", 2, 3, new_data);
  std::string got;
  const auto refused = restore("/m/file.bin", 1, 1, &got);
  ASSERT_NE(refused.last(), nullptr);
  EXPECT_EQ(refused.last()->raw, hresult_element(sequence_, kVersionMismatch));
  EXPECT_EQ(refused.answers.size(), 1u) << "no fragment before the refusal";
  sync("SyncTime");
  if (!packed()) {
    EXPECT_EQ(e2e::number(archive_info("/m/file.bin"), "SpaceEntries.0.BlockNumber"), r.first_extent());
  }
  sync("SyncPreDeallocate");
  unmount();
  start_checked();
  expect_restores("/m/file.bin", 2, 3, new_data);
  unmount();
}

// Restore and Verify check the pair the host names against the stored one;
// a file stored without a pair (0xFFFFFFFF) is handed over for any.
TEST_P(ArchiveExchange, RestoreAndVerifyCheckTheStoredGenerationAndVersion) {
  struct Row {
    std::uint32_t stored_g, stored_v, asked_g, asked_v;
    bool found;
  };
  const Row rows[] = {
      {4, 5, 4, 5, true},       {4, 5, 9, 5, false},        {4, 5, 4, 9, false},
      {4, 5, 0, 0, false},      {0xFFFFFFFFu, 0xFFFFFFFFu, 1, 2, true},
  };
  start_checked();
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    SCOPED_TRACE(i);
    const std::string name = "/v/f" + std::to_string(i);
    const std::string data = pattern(3000 + i, static_cast<unsigned>(i));
    ASSERT_TRUE(archive({name, data, row.stored_g, row.stored_v}).archived()) << engine_->describe();
    for (bool verify : {false, true}) {
      std::string got;
      const auto r = restore(name, row.asked_g, row.asked_v, &got, verify);
      if (row.found) {
        EXPECT_TRUE(r.ok) << r.error << " " << (r.last() ? r.last()->raw : "");
        EXPECT_TRUE(got == data);
      } else {
        ASSERT_NE(r.last(), nullptr);
        EXPECT_EQ(r.last()->raw, hresult_element(sequence_, kVersionMismatch));
        EXPECT_EQ(r.answers.size(), 1u) << "no fragment before the refusal";
      }
    }
  }
  unmount();
}

// The medium's data changed under a stored file (found at the next mount):
// the compare of the host's unchanged source answers 0x8007000D and writes
// nothing; Verify hands over what the medium holds.
TEST_P(ArchiveExchange, ChangedMediumDataIsReportedByTheCompare) {
  const std::string data = pattern(2 * kIo + 300, 9);
  start_checked();
  const HostResult stored = archive({"/d/file.bin", data, 3, 4});
  ASSERT_TRUE(stored.archived()) << engine_->describe();
  sync("SyncTime");
  sync("SyncPreDeallocate");
  const EngineElement info = archive_info("/d/file.bin");
  const std::uint64_t block = e2e::number(info, "SpaceEntries.0.BlockNumber");
  unmount();
  // Change one byte of the file's second block on the disc.
  std::vector<std::uint8_t> b(2048);
  ASSERT_EQ(cartridge().read_blocks(0, static_cast<std::uint32_t>(block + 1), 1, b.data()), 0u);
  ASSERT_EQ(std::memcmp(b.data(), data.data() + 2048, b.size()), 0) << "the extent does not hold the file's data";
  b[100] ^= 0xFF;
  ASSERT_EQ(cartridge().write_blocks(0, static_cast<std::uint32_t>(block + 1), 1, b.data()), 0u);
  start_checked();
  HostArchive again{"/d/file.bin", data, 3, 4};
  again.block = block;
  const HostResult r = archive(again);
  EXPECT_EQ(r.hresult(), hresult_element(r.sequence, kDataDiffers)) << engine_->describe();
  EXPECT_EQ(commands(r.sequence, is_write), 0u);
  std::string got;
  ASSERT_TRUE(restore("/d/file.bin", 3, 4, &got, true).ok);
  std::string changed = data;
  changed[2048 + 100] ^= static_cast<char>(0xFF);
  EXPECT_TRUE(got == changed) << "Verify hands over the medium's bytes";
  unmount();
}

// ---------------------------------------------------------------- resume

// An archive the host stopped after two pieces is resumed with the block it
// was told: the whole file is on the volume, across a restart.
TEST_P(ArchiveExchange, AnArchiveStoppedMidFileIsResumedWhole) {
  const std::string data = pattern(5 * kIo + 77, 3);
  start_checked();
  HostArchive a{"/r/file.bin", data, 5, 6};
  a.stop_at = 3;
  const HostResult stopped = archive(a);
  EXPECT_EQ(stopped.fragments, 4u);
  expect_ended_quietly(stopped.sequence);
  expect_no_file(a.name);
  HostArchive resume = a;
  resume.stop_at = -1;
  resume.block = stopped.block;
  const HostResult r = archive(resume);
  ASSERT_TRUE(r.archived()) << r.last().raw << "\n" << engine_->describe();
  EXPECT_EQ(r.last().attribute("Size"), std::to_string(data.size()));
  expect_restores(a.name, 5, 6, data);
  sync("SyncTime");
  sync("SyncPreDeallocate");
  unmount();
  start_checked();
  expect_restores(a.name, 5, 6, data);
  unmount();
}

// An archive whose engine was killed after two pieces: after a restart the
// file is not there, and the host's resume with the block it was told
// writes it whole.
TEST_P(ArchiveExchange, AnArchiveKilledMidFileIsResumedAfterARestart) {
  const std::string data = pattern(5 * kIo + 77, 13);
  start_checked();
  ASSERT_TRUE(archive({"/r/before.bin", data, 1, 1}).archived()) << engine_->describe();
  sync("SyncTime");
  HostArchive a{"/r/file.bin", data, 5, 6};
  a.stop_at = 3;
  a.instead = [&] { kill_engine(); };
  const HostResult killed = archive(a);
  ASSERT_EQ(killed.fragments, 4u);
  start_checked();
  expect_no_file(a.name);
  expect_restores("/r/before.bin", 1, 1, data);
  HostArchive resume = a;
  resume.stop_at = -1;
  resume.instead = nullptr;
  resume.block = killed.block;
  const HostResult r = archive(resume);
  ASSERT_TRUE(r.archived()) << r.last().raw << "\n" << engine_->describe();
  expect_restores(a.name, 5, 6, data);
  sync("SyncPreDeallocate");
  unmount();
  start_checked();
  expect_restores(a.name, 5, 6, data);
  unmount();
}

// A Restore the host stopped is resumed from the bytes it holds; a range
// is handed over in whole buffers from its offset, its reads in phase 7.
TEST_P(ArchiveExchange, ARestoreStoppedIsResumedFromItsOffset) {
  const std::string data = pattern(65537, 21);
  start_checked();
  ASSERT_TRUE(archive({"/q/file.bin", data, 1, 2}).archived()) << engine_->describe();
  // Stopped after the first piece of 4096 bytes.
  const std::uint64_t seq = ++sequence_;
  kelsim::RestoreRequest q;
  q.name = "/q/file.bin";
  q.generation = 1;
  q.version = 2;
  ASSERT_TRUE(engine_->send(kelsim::restore_line(seq, q)));
  EngineElement e = next();
  ASSERT_TRUE(fragment_of(e, seq)) << e.raw;
  EXPECT_EQ(e.attribute("FragmentFileSize"), "65537");
  ASSERT_TRUE(engine_->send(kelsim::request_line(seq, "OpenFragmentFileCallback", {{"IOSize", "4096"}})));
  e = next();
  ASSERT_TRUE(fragment_of(e, seq)) << e.raw;
  ASSERT_EQ(e.attribute("BytesTransferred"), "4096");
  std::string held(4096, '\0');
  std::string why;
  ASSERT_TRUE(kelsim::read_process_memory(engine_->pid(), std::stoull(e.attribute("Buffer"), nullptr, 16),
                                          held.data(), held.size(), &why))
      << why;
  failure_callback(seq);
  expect_ended_quietly(seq);
  // Resumed from byte 4096 to the end.
  q.offset = 4096;
  q.io_size = 4096;
  std::string rest;
  {
    const auto r = engine_->restore(++sequence_, q, sim_->directory() + "/rest");
    ASSERT_TRUE(r.ok) << r.error;
    std::ifstream in(sim_->directory() + "/rest", std::ios::binary);
    rest.assign(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_TRUE(held + rest == data) << "the stopped and the resumed Restore together give the file";
  // Bytes 100 to 149 asked for: one piece of bytes 100 to 4195, then the end.
  q.offset = 100;
  q.length = 50;
  const auto range = engine_->restore(++sequence_, q, sim_->directory() + "/range");
  ASSERT_TRUE(range.ok) << range.error;
  std::vector<std::string> counts;
  for (const auto& x : range.answers)
    if (x.name == "KelFragment") counts.push_back(x.attribute("BytesTransferred"));
  EXPECT_EQ(counts, (std::vector<std::string>{"0", "4096", "0"}));
  EXPECT_GT(commands(sequence_, [](const TranscriptEntry& t) { return is_read(t) && t.phase == 7; }), 0u);
  EXPECT_EQ(commands(sequence_, [](const TranscriptEntry& t) { return is_read(t) && t.phase != 7 && t.phase != 3; }), 0u);
  unmount();
}

// ---------------------------------------------------------------- FailureCallback

// "FailureCallback" at each wait of an Archive ends it with the notice only:
// no further "KelFragment", no "HRESULT"; the next requests are served, the
// name can be archived again, and Format and Sync run in the same process.
TEST_P(ArchiveExchange, FailureCallbackAtEachWaitEndsTheArchiveQuietly) {
  const std::string data = pattern(4 * kIo + 1, 8);
  start_checked();
  for (int stop : {0, 1, 2, 4}) {
    SCOPED_TRACE("stopped at fragment " + std::to_string(stop));
    HostArchive a{"/f/file" + std::to_string(stop) + ".bin", data, 1, 2};
    a.stop_at = stop;
    const HostResult r = archive(a);
    EXPECT_EQ(r.fragments, static_cast<std::size_t>(stop) + 1);
    for (const auto& e : r.answers) EXPECT_EQ(e.name, "KelFragment") << e.raw;
    // The IOSize request: an empty record but for the packed write mode.
    EXPECT_EQ(r.answers.front().raw,
              "<KelFragment SequenceNumber=\"" + std::to_string(r.sequence) +
                  "\" FragmentFileSize=\"0\" BlockNumber=\"0\" ModificationTime=\"0.0\" IOSize=\"0\" "
                  "BytesTransferred=\"0\" Buffer=\"0000000000000000\" isPackedWrite=\"" +
                  (packed() ? "1" : "0") + "\"></KelFragment>");
    expect_ended_quietly(r.sequence);
    expect_no_file(a.name);
    a.stop_at = -1;
    a.data = pattern(3 * kIo, 9 + stop);
    ASSERT_TRUE(archive(a).archived()) << engine_->describe();
    expect_restores(a.name, 1, 2, a.data);
  }
  const EngineElement v = ask_one("Format", "KelVolume", {{"VolumeID", "AFTER-STOP"}, {"Replica", "3"}});
  EXPECT_EQ(v.attribute("QuorvelVolumeID"), "AFTER-STOP") << v.raw;
  EXPECT_EQ(listing("/"), std::set<std::string>{});
  ASSERT_TRUE(archive({"/after/g.bin", data, 1, 2}).archived()) << engine_->describe();
  sync("SyncTime");
  sync("SyncPreDeallocate");
  unmount();
  start_checked();
  expect_restores("/after/g.bin", 1, 2, data);
  unmount();
}

// A drive write failure mid-file answers "HRESULT" and leaves no file of
// that name; the process then archives, formats and syncs as before. (A
// writer buffer of 1 MiB makes a packed file go out while it is taken.)
TEST_P(ArchiveExchange, AWriteFailureMidFileLeavesTheProcessServing) {
  const std::string data = pattern(3 * 1024 * 1024 + 5, 8);
  dwords_.push_back({"Write Buffer MB", 1});
  start_checked();
  int id = 0;
  HostArchive a{"/w/file.bin", data, 1, 2};
  // The writes from a block on fail each of the writer's ten attempts, and
  // only those: an attempt after a failure starts at the drive's next
  // writable address, which the sync of the failed one moves past the
  // padding of its cluster.
  a.told = [&](std::uint64_t block) {
    kelsim::FaultRule fault = kelsim::write_error(static_cast<std::uint32_t>(block + 600), 0xFFFFFFFFu);
    fault.times = 10;
    id = sim_->drive().add_fault(fault);
  };
  const HostResult failed = archive(a);
  EXPECT_EQ(sim_->drive().fault_fired(id), 10);
  EXPECT_EQ(failed.last().name, "HRESULT") << failed.last().raw;
  EXPECT_EQ(notices(failed.sequence), 1);
  sim_->drive().remove_fault(id);
  expect_no_file(a.name);
  a.told = nullptr;
  ASSERT_TRUE(archive(a).archived()) << engine_->describe();
  expect_restores("/w/file.bin", 1, 2, data);
  ask_one("Format", "KelVolume", {{"VolumeID", "AFTER-FAULT"}, {"Replica", "3"}});
  ASSERT_TRUE(archive(a).archived()) << engine_->describe();
  sync("SyncTime");
  expect_restores("/w/file.bin", 1, 2, data);
  unmount();
}

// "FailureCallback" at each wait of a Restore or Verify closes the file and
// ends the request with the notice only.
TEST_P(ArchiveExchange, FailureCallbackDuringARestoreEndsItQuietly) {
  const std::string data = pattern(3 * kIo + 5, 12);
  start_checked();
  ASSERT_TRUE(archive({"/s/file.bin", data, 1, 2}).archived()) << engine_->describe();
  for (bool verify : {false, true})
    for (int stop : {0, 1, 3}) {
      SCOPED_TRACE(std::string(verify ? "Verify" : "Restore") + " stopped at fragment " + std::to_string(stop));
      const std::uint64_t seq = ++sequence_;
      kelsim::RestoreRequest q;
      q.name = "/s/file.bin";
      q.generation = 1;
      q.version = 2;
      q.verify = verify;
      ASSERT_TRUE(engine_->send(kelsim::restore_line(seq, q)));
      int fragments = 0;
      for (;; ++fragments) {
        const EngineElement e = next();
        ASSERT_TRUE(fragment_of(e, seq)) << e.raw;
        if (fragments == stop) break;
        const std::string line = fragments == 0
                                     ? kelsim::request_line(seq, "OpenFragmentFileCallback", {{"IOSize", std::to_string(kIo)}})
                                     : kelsim::request_line(seq, "ReadCallback");
        ASSERT_TRUE(engine_->send(line));
      }
      failure_callback(seq);
      expect_ended_quietly(seq);
    }
  expect_restores("/s/file.bin", 1, 2, data);
  unmount();
}

// ---------------------------------------------------------------- a failed update

// An update of a file the volume holds that does not become whole keeps the
// archived copy: under its name, with its generation and version and its
// bytes, in this engine and after a Sync in a new one. Rows: the update at
// a new block that the host stops after one piece (FailureCallback 29), the
// update at the stored block with another version (the road of a
// generation mismatch) stopped the same way, and a drive that fails the new
// copy's writes. A whole update then takes the old copy's place.
TEST_P(ArchiveExchange, AFailedUpdateKeepsTheArchivedCopy) {
  const std::string old_data = pattern(200000, 31);
  dwords_.push_back({"Write Buffer MB", 1});
  start_checked();
  const HostResult stored = archive({"/m/g.bin", old_data, 1, 1});
  ASSERT_TRUE(stored.archived()) << stored.last().raw << "\n" << engine_->describe();
  sync("SyncTime");
  const std::uint64_t at = e2e::number(archive_info("/m/g.bin"), "SpaceEntries.0.BlockNumber");
  auto stop_29 = [this](std::uint64_t seq) {
    EXPECT_TRUE(engine_->send(kelsim::request_line(seq, "FailureCallback", {{"ErrorCode", "29"}})));
  };
  const struct {
    const char* what;
    bool stored_block;
    bool write_fault;
  } rows[] = {
      {"a new block, stopped after a piece", false, false},
      {"the stored block with another version, stopped after a piece", true, false},
      {"the drive fails the new copy's writes", false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    HostArchive update{"/m/g.bin", pattern(row.write_fault ? 3 * 1024 * 1024 + 5 : 3 * kIo + 7, 32), 1, 2};
    if (row.stored_block) update.block = at;
    int fault = 0;
    if (row.write_fault) {
      update.told = [&](std::uint64_t block) {
        kelsim::FaultRule f = kelsim::write_error(static_cast<std::uint32_t>(block + 600), 0xFFFFFFFFu);
        f.times = 10;
        fault = sim_->drive().add_fault(f);
      };
    } else {
      update.stop_at = 2;
      const std::uint64_t seq = sequence_ + 1;
      update.instead = [&stop_29, seq] { stop_29(seq); };
    }
    const HostResult r = archive(update);
    EXPECT_FALSE(r.archived()) << r.last().raw;
    if (row.write_fault) {
      EXPECT_EQ(r.last().name, "HRESULT") << r.last().raw;
      sim_->drive().remove_fault(fault);
    } else {
      expect_ended_quietly(r.sequence);
    }
    EXPECT_EQ(listing("/m"), std::set<std::string>{"g.bin"});
    expect_restores("/m/g.bin", 1, 1, old_data);
    std::string got;
    const auto refused = restore("/m/g.bin", 1, 2, &got);
    ASSERT_NE(refused.last(), nullptr);
    EXPECT_EQ(refused.last()->raw, hresult_element(sequence_, kVersionMismatch));
  }
  // A failed write leaves its session's failure to the next Sync.
  ask("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
  sync("SyncPreDeallocate");
  unmount();
  start_checked(true);
  EXPECT_EQ(listing("/m"), std::set<std::string>{"g.bin"});
  expect_restores("/m/g.bin", 1, 1, old_data);
  const std::string new_data = pattern(kIo + 99, 33);
  ASSERT_TRUE(archive({"/m/g.bin", new_data, 1, 3}).archived()) << engine_->describe();
  EXPECT_EQ(listing("/m"), std::set<std::string>{"g.bin"});
  expect_restores("/m/g.bin", 1, 3, new_data);
  unmount();
}

// An engine killed in the middle of an update: the archived copy is what a
// new engine finds, under its name and with its pair, and nothing of the
// unfinished copy is listed; the update done again replaces it.
TEST_P(ArchiveExchange, AnUpdateKilledMidFileKeepsTheArchivedCopy) {
  const std::string old_data = pattern(150000, 41), new_data = pattern(4 * kIo + 11, 42);
  start_checked();
  ASSERT_TRUE(archive({"/m/k.bin", old_data, 2, 1}).archived()) << engine_->describe();
  sync("SyncTime");
  HostArchive update{"/m/k.bin", new_data, 2, 2};
  update.stop_at = 3;
  update.instead = [this] { kill_engine(); };
  archive(update);
  start_checked();
  EXPECT_EQ(listing("/m"), std::set<std::string>{"k.bin"});
  expect_restores("/m/k.bin", 2, 1, old_data);
  update.stop_at = -1;
  update.instead = nullptr;
  ASSERT_TRUE(archive(update).archived()) << engine_->describe();
  EXPECT_EQ(listing("/m"), std::set<std::string>{"k.bin"});
  sync("SyncPreDeallocate");
  unmount();
  start_checked(true);
  EXPECT_EQ(listing("/m"), std::set<std::string>{"k.bin"});
  expect_restores("/m/k.bin", 2, 2, new_data);
  unmount();
}

// ---------------------------------------------------------------- listings among re-archives

// A seeded run of re-archives (a new block, the stored block with another
// version, stopped mid-file; Syncs between) with a listing after each: the
// listing always closes and shows exactly the host's files, and every name
// the volume answers for a file resolves, its parity stream's too. (A
// removed file's parity stream kept answering its path with a node that was
// gone, so the stream of every second file archived again under that name
// could not be looked up, and a listing that met it failed with
// 0x80070002.)
TEST_P(ArchiveExchange, ListingsAmongReArchivesNeverFail) {
  start_checked();
  std::uint64_t seed = 5555;
  auto rnd = [&seed] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return seed >> 33;
  };
  const std::string parity = GetParam().type == 0xE1 ? "#*ECC_Parity_V100_N=2064_K=2048" : "";
  std::map<std::string, HostResult> alive;
  std::map<std::string, std::uint32_t> version;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    const std::string name = "/d/g" + std::to_string(rnd() % 2) + ".bin";
    HostArchive a{name, pattern(1 + rnd() % 300000, static_cast<unsigned>(round)), 1, ++version[name]};
    if (alive.count(name) && rnd() % 2) a.block = alive[name].first_extent();
    if (rnd() % 5 == 0) a.stop_at = 2;
    const HostResult r = archive(a);
    if (a.stop_at < 0) {
      ASSERT_TRUE(r.archived()) << r.last().raw << "\n" << engine_->describe();
      alive[name] = r;
    } else {
      expect_ended_quietly(r.sequence);
    }
    if (rnd() % 4 == 0) sync("SyncTime");
    std::set<std::string> expected;
    for (const auto& [path, result] : alive) expected.insert(path.substr(3));
    EXPECT_EQ(listing("/d"), expected);
    if (parity.empty()) continue;
    for (const auto& [path, result] : alive) {
      const auto answers = engine_->request(
          kelsim::request_line(++sequence_, "UpdateArchiveInfo", {{"Name", kelsim::escape_name(path + parity)}}),
          [](const EngineElement& e) { return e.name == "KelArchive" || e.name == "HRESULT"; });
      ASSERT_FALSE(answers.empty());
      EXPECT_EQ(answers.back().name, "KelArchive") << path << parity << ": " << answers.back().raw;
    }
  }
  sync("SyncPreDeallocate");
  unmount();
}

INSTANTIATE_TEST_SUITE_P(Media, ArchiveExchange,
                         ::testing::Values(Setup{0xE1, "QMR-T300A", true}, Setup{0xE1, "QMR-T300A", false},
                                           Setup{0xF2, "QMR-T400A", true}, Setup{0xF2, "QMR-T400A", false}),
                         setup_name);


// The volume's last file archived again with its pair and block but another
// size (the host's copy grew after it was stored) is written anew whole; no
// "KelArchive" names a file whose data is not all on the volume. Without
// parity ("Volume Type" 1) the file is the last one the volume handed an
// id; with parity its parity file is.
class LastFile : public ArchiveExchange {};

TEST_P(LastFile, WithAnotherSizeItIsWrittenAnewWhole) {
  const std::string first = pattern(kIo + 10, 4);
  const std::string grown = first + pattern(2 * kIo, 6);
  dwords_.push_back({"Volume Type", 1});
  start_checked();
  const HostResult stored = archive({"/g/file.bin", first, 5, 6});
  ASSERT_TRUE(stored.archived()) << engine_->describe();
  ASSERT_EQ(stored.last().attribute("ObjectID"), std::to_string(figure("LastFileIndex")));
  HostArchive again{"/g/file.bin", grown, 5, 6};
  again.block = stored.first_extent();
  const HostResult r = archive(again);
  ASSERT_TRUE(r.archived()) << r.last().raw << "\n" << engine_->describe();
  EXPECT_EQ(r.last().attribute("Size"), std::to_string(grown.size()));
  expect_restores("/g/file.bin", 5, 6, grown);
  unmount();
}

INSTANTIATE_TEST_SUITE_P(Media, LastFile,
                         ::testing::Values(Setup{0xE1, "QMR-T300A", true}, Setup{0xE1, "QMR-T300A", false}),
                         setup_name);

// ---------------------------------------------------------------- packed sessions not yet ended

class PackedSession : public ArchiveExchange {
 protected:
  // READs of the request that met blocks never recorded: what a read of a
  // placeholder looks like on a write-once disc.
  std::size_t unrecorded_reads(std::uint64_t seq) {
    return commands(seq, [](const TranscriptEntry& e) { return is_read(e) && e.unrecorded_blocks > 0; });
  }
};

// Files archived into a packed session that has not ended: Restore, Verify
// and the compare of an Archive (with the placeholder's block its
// "KelArchive" named) hand over their own bytes, never the placeholder's;
// the session ends first, and the next file starts a new one at the new
// write position.
TEST_P(PackedSession, ReadsBeforeTheSessionEndedGiveTheFilesBytes) {
  const std::string a = pattern(5000, 1), b = pattern(70000, 2), c = pattern(1, 3), d = pattern(kIo * 2, 4);
  start_checked();
  ASSERT_TRUE(archive({"/p/a", a, 1, 1}).archived()) << engine_->describe();
  ASSERT_TRUE(archive({"/p/b", b, 1, 1}).archived()) << engine_->describe();
  ASSERT_TRUE(archive({"/p/c", c, 1, 1}).archived()) << engine_->describe();
  std::string got;
  const auto rb = restore("/p/b", 1, 1, &got);
  ASSERT_TRUE(rb.ok) << rb.error << " " << (rb.last() ? rb.last()->raw : "");
  EXPECT_TRUE(got == b) << "Restore of a file of an unended session";
  const std::uint64_t seq = last_sequence();
  EXPECT_GT(commands(seq, [](const TranscriptEntry& e) { return is_write(e) && e.phase == 4; }), 0u)
      << "the session is ended by the Restore";
  EXPECT_EQ(unrecorded_reads(seq), 0u);
  // The next file: a new session at the write position.
  const EngineElement v = ask_one("GetVolumeInfo", "KelVolume");
  const std::uint64_t position = e2e::number(v, "NextWritableBlock") + e2e::number(v, "PartitionStart") +
                                 e2e::number(v, "CurrentTrackId") * e2e::number(v, "NumberOfBlocksPerTrack");
  const HostResult rd = archive({"/p/d", d, 1, 1});
  ASSERT_TRUE(rd.archived()) << engine_->describe();
  EXPECT_EQ(rd.block, position);
  HostArchive compare{"/p/d", d, 1, 1};
  compare.block = rd.first_extent();
  const HostResult same = archive(compare);
  EXPECT_TRUE(same.archived()) << same.last().raw;
  EXPECT_GT(commands(same.sequence, [](const TranscriptEntry& e) { return is_read(e) && e.phase == 7; }), 0u)
      << "compared, not written anew";
  EXPECT_EQ(unrecorded_reads(same.sequence), 0u);
  ASSERT_TRUE(archive({"/p/e", c, 1, 1}).archived()) << engine_->describe();
  ASSERT_TRUE(restore("/p/e", 1, 1, &got, true).ok);
  EXPECT_TRUE(got == c) << "Verify of a file of an unended session";
  EXPECT_EQ(unrecorded_reads(last_sequence()), 0u);
  for (const auto& [name, data] : {std::pair{"/p/a", a}, {"/p/b", b}, {"/p/c", c}, {"/p/d", d}, {"/p/e", c}})
    expect_restores(name, 1, 1, data);
  unmount();
}

// A session still open at an unmount without any Sync, at a
// "SyncPreDeallocate" or at a "SyncTime" ends there: every file answered
// "KelArchive" comes back from the medium after a restart with an emptied
// cache (after the SyncTime the engine is killed, not unmounted).
TEST_P(PackedSession, TheSessionEndsAtASyncOrAnUnmountWithoutSync) {
  const std::string a = pattern(9000, 5), b = pattern(kIo + 3, 6);
  start_checked();
  ASSERT_TRUE(archive({"/u/a", a, 1, 1}).archived()) << engine_->describe();
  unmount();
  start_checked(true);
  expect_restores("/u/a", 1, 1, a);
  ASSERT_TRUE(archive({"/u/b", b, 2, 2}).archived()) << engine_->describe();
  sync("SyncPreDeallocate");
  unmount();
  start_checked(true);
  expect_restores("/u/a", 1, 1, a);
  expect_restores("/u/b", 2, 2, b);
  // A SyncTime, then the engine killed: the file went out with the Sync.
  const std::string c = pattern(3 * kIo, 7);
  ASSERT_TRUE(archive({"/u/c", c, 3, 3}).archived()) << engine_->describe();
  sync("SyncTime");
  kill_engine();
  start_checked(true);
  expect_restores("/u/c", 3, 3, c);
  unmount();
}

// An engine killed while its packed session is open: after a restart the
// file of that session is not there at all (no placeholder to read), and
// the host's archive of it again with the block it was told writes it.
TEST_P(PackedSession, AKilledEngineLeavesNoPlaceholderToRead) {
  const std::string a = pattern(7000, 7), b = pattern(kIo + 11, 8);
  start_checked();
  ASSERT_TRUE(archive({"/k/a", a, 1, 1}).archived()) << engine_->describe();
  sync("SyncTime");
  const HostResult rb = archive({"/k/b", b, 1, 1});
  ASSERT_TRUE(rb.archived()) << engine_->describe();
  const std::uint64_t told = rb.block;
  kill_engine();
  for (bool emptied : {false, true}) {
    SCOPED_TRACE(emptied ? "emptied cache" : "same cache");
    start_checked(emptied);
    expect_restores("/k/a", 1, 1, a);
    // Its data never reached the medium: the file is not there at all.
    expect_no_file("/k/b");
    unmount();
  }
  // The host archives it again with the block it was told.
  start_checked();
  HostArchive again{"/k/b", b, 1, 1};
  again.block = told;
  ASSERT_TRUE(archive(again).archived()) << engine_->describe();
  expect_restores("/k/b", 1, 1, b);
  unmount();
}

// A file archived again with another pair while its first copy still waits
// in the packed session: the session ends before the old file goes, and the
// new one is what the volume keeps.
TEST_P(PackedSession, AFileReplacedInsideItsSessionKeepsTheNewData) {
  const std::string old_data = pattern(6000, 1), new_data = pattern(kIo + 6000, 2);
  start_checked();
  const HostResult first = archive({"/x/f", old_data, 1, 1});
  ASSERT_TRUE(first.archived()) << engine_->describe();
  HostArchive anew{"/x/f", new_data, 2, 2};
  anew.block = first.first_extent();
  ASSERT_TRUE(archive(anew).archived()) << engine_->describe();
  expect_restores("/x/f", 2, 2, new_data);
  unmount();
  start_checked(true);
  expect_restores("/x/f", 2, 2, new_data);
  unmount();
}

// An archive stopped mid-file while other files wait in the packed
// session: the stopped file is gone, the others come back whole after a
// restart with an emptied cache.
TEST_P(PackedSession, AnArchiveStoppedInsideASessionLeavesTheOthersWhole) {
  const std::string a = pattern(5000, 1), b = pattern(4 * kIo, 2), c = pattern(kIo + 1, 3);
  start_checked();
  ASSERT_TRUE(archive({"/s/a", a, 1, 1}).archived()) << engine_->describe();
  HostArchive stopped{"/s/b", b, 1, 1};
  stopped.stop_at = 3;
  const HostResult r = archive(stopped);
  EXPECT_EQ(r.fragments, 4u);
  expect_ended_quietly(r.sequence);
  ASSERT_TRUE(archive({"/s/c", c, 1, 1}).archived()) << engine_->describe();
  unmount();
  start_checked(true);
  expect_restores("/s/a", 1, 1, a);
  expect_restores("/s/c", 1, 1, c);
  expect_no_file("/s/b");
  unmount();
}

// The blocks "KelArchive" names for files waiting in the session are those
// the session's end gives them (each file behind the padded pieces of the
// ones before, a file of two data chunks with two extents): the same as
// "KelFragment" announced and as UpdateArchiveInfo answers after the Sync.
TEST_P(PackedSession, KelArchiveNamesTheBlocksTheFileWillOccupy) {
  start_checked();
  struct Archived {
    std::string name;
    std::uint64_t told;
    std::string extents;
  };
  auto extents_of = [](const EngineElement& e) {
    std::string out = e.attribute("SpaceEntries.Count");
    for (std::uint64_t i = 0; i < e2e::number(e, "SpaceEntries.Count"); ++i)
      out += " " + e.attribute("SpaceEntries." + std::to_string(i) + ".BlockNumber") + "+" +
             e.attribute("SpaceEntries." + std::to_string(i) + ".NumberOfBlocks");
    return out;
  };
  std::vector<Archived> files;
  const std::size_t sizes[] = {1000, 71000, 140000, 5, 70u * 1024 * 1024 + 3};
  for (std::size_t i = 0; i < std::size(sizes); ++i) {
    const std::string name = "/k/f" + std::to_string(i);
    const HostResult r = archive({name, pattern(sizes[i], static_cast<unsigned>(i)), 1, 1});
    ASSERT_TRUE(r.archived()) << r.last().raw << "\n" << engine_->describe();
    EXPECT_EQ(r.first_extent(), r.block) << name << ": the block announced";
    files.push_back({name, r.block, extents_of(r.last())});
  }
  EXPECT_EQ(files.back().extents.substr(0, 1), "2") << "a file of two data chunks";
  sync("SyncTime");
  for (const auto& f : files) EXPECT_EQ(extents_of(archive_info(f.name)), f.extents) << f.name;
  unmount();
}

// A file deleted (after a rename, or as it was archived) while it waits in
// the packed session with others before and after it: the session ends
// before the file goes, the Sync answers "KelSync", and after a restart with
// an emptied cache the others restore and the deleted file is gone (the
// session's end used to find the file gone and the Sync answered
// 0x80070002).
TEST_P(PackedSession, AFileDeletedInsideItsSessionLeavesTheSessionWhole) {
  const std::string a = pattern(3 * kIo + 5, 1), b = pattern(kIo * 9 + 3, 2), c = pattern(2160, 3);
  for (bool renamed : {false, true}) {
    SCOPED_TRACE(renamed ? "renamed first" : "as archived");
    start_checked(true);
    const std::string dir = renamed ? "/r" : "/d";
    ASSERT_TRUE(archive({dir + "/a", a, 1, 1}).archived()) << engine_->describe();
    ASSERT_TRUE(archive({dir + "/b", b, 1, 1}).archived()) << engine_->describe();
    std::string gone = dir + "/b";
    if (renamed) {
      ask_one("Rename", "KelVolume",
              {{"Name", gone}, {"NewName", dir + "/x/b"}, {"OldGeneration", "1"}, {"OldVersion", "1"},
               {"NewGeneration", "1"}, {"NewVersion", "1"}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
      gone = dir + "/x/b";
    }
    ASSERT_TRUE(archive({dir + "/c", c, 1, 1}).archived()) << engine_->describe();
    ask_one("Delete", "KelVolume",
            {{"Name", gone}, {"Generation", "1"}, {"Version", "1"}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
    sync("SyncTime");
    unmount();
    start_checked(true);
    expect_restores(dir + "/a", 1, 1, a);
    expect_restores(dir + "/c", 1, 1, c);
    expect_no_file(gone);
    unmount();
  }
}

INSTANTIATE_TEST_SUITE_P(Media, PackedSession,
                         ::testing::Values(Setup{0xE1, "QMR-T300A", true}, Setup{0xF2, "QMR-T400A", true}),
                         setup_name);

// ---------------------------------------------------------------- later sessions on F2h

// On F2h a file's parity, read back at a mount, lives as parity
// information; a later session's metadata rewrite still writes the file's
// stream directory with its entry, so the next mounts find the parity and
// the volume stays writable (a stream directory lost makes it read-only).
class F2hSessions : public e2e::Scenario, public ::testing::WithParamInterface<bool> {};

TEST_P(F2hSessions, AFileOfAnEarlierSessionKeepsItsParityThroughALaterRewrite) {
  e2e::ScenarioOptions o;
  o.medium_type = 0xF2;
  o.product = "QMR-T400A";
  make_sim(o);
  dwords_ = {{"Packed Write Mode", GetParam() ? 1u : 0u}};
  start_checked();
  archive_file("/u/a", 9000, 1);
  sync("SyncPreDeallocate");
  unmount();
  start_checked();
  mkdir("/x");
  archive_file("/u/b", 65539, 2);
  sync("SyncPreDeallocate");
  unmount();
  for (bool emptied : {false, true}) {
    SCOPED_TRACE(emptied ? "emptied cache" : "same cache");
    if (emptied) empty_cache();
    start();
    EXPECT_EQ(ask_one("Check", "KelVolume").attribute("WriteProtectReason"), "0");
    std::set<std::string> names;
    for (const auto& e : ask("ReadDirectory", {{"Name", "/u"}})) names.insert(kelsim::unescape_name(e.attribute("ObjectName")));
    // The parity read back is parity information, not listed.
    EXPECT_EQ(names, (std::set<std::string>{"", "a", "b"}));
    expect_restores("/u/a");
    expect_restores("/u/b");
    mkdir(emptied ? "/z" : "/y");
    sync("SyncPreDeallocate");
    unmount();
  }
  expect_udfinfo_on_written_slots({"integrity=closed"});
}

INSTANTIATE_TEST_SUITE_P(WriteMode, F2hSessions, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Packed" : "Unpacked"; });

}  // namespace

namespace {

using e2e::Attributes;

const std::string kAccessDenied = "-2147024891";  // 0x80070005
const std::string kStore = "/$QuorvelData/QVMetaData000000.dat";
const std::string kParity = "#*ECC_Parity_V100_N=2064_K=2048";

// What the host can reach: its own files and folders only.
class HostReach : public ArchiveExchange {
 protected:
  // The names a ReadDirectory answers, the closing entry's empty one left out.
  std::vector<std::string> listed(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& e : ask("ReadDirectory", {{"Name", kelsim::escape_name(folder)}})) {
      EXPECT_EQ(e.name, "KelDirent") << e.raw;
      const std::string name = kelsim::unescape_name(e.attribute("ObjectName"));
      if (!name.empty()) names.push_back(name);
    }
    return names;
  }
  std::string refused(const std::string& opcode, const Attributes& attributes) {
    const auto answers = ask(opcode, attributes);
    return answers.size() == 1 ? answers.back().raw : "answers: " + std::to_string(answers.size());
  }
};

// Every host request that names the metadata folder or anything in it is
// refused with access denied and changes nothing: the store keeps every
// file's generation and version across a Sync and a new engine.
TEST_P(HostReach, TheMetaDataFolderIsRefusedToTheHost) {
  const std::string data = pattern(100000, 21);
  start_checked();
  ASSERT_TRUE(archive({"/f/a", data, 3, 4}).archived()) << engine_->describe();
  sync("SyncTime");
  const struct {
    const char* opcode;
    Attributes attributes;
  } requests[] = {
      {"Rename", {{"Name", "/$QuorvelData"}, {"NewName", "/stolen"}, {"OldGeneration", "0"}, {"OldVersion", "0"},
                  {"NewGeneration", "0"}, {"NewVersion", "0"}}},
      {"Delete", {{"Name", kStore}, {"Generation", "0"}, {"Version", "0"}}},
      {"CreateDirectory", {{"Name", "/$QuorvelData/evil"}}},
      {"CreateDirectory", {{"Name", "/$quorveldata"}}},
      {"RenameDirectory", {{"Name", "/$QuorvelData"}, {"NewName", "/stolen"}}},
      {"RenameDirectory", {{"Name", "/f"}, {"NewName", "//$QuorvelData/f"}}},
      {"DeleteDirectory", {{"Name", "/$QuorvelData"}}},
      {"UpdateArchiveInfo", {{"Name", kStore}}},
      {"ReadDirectory", {{"Name", "/$QuorvelData/evil"}}},
  };
  for (const auto& r : requests) {
    SCOPED_TRACE(r.opcode);
    Attributes escaped;
    for (const auto& [key, value] : r.attributes)
      escaped.push_back({key, key == "Name" || key == "NewName" ? kelsim::escape_name(value) : value});
    if (std::string(r.opcode) != "UpdateArchiveInfo" && std::string(r.opcode) != "ReadDirectory") {
      escaped.push_back({"KernelInterface", "0"});
      escaped.push_back({"BlockNumber", "0"});
    }
    const std::string answer = refused(r.opcode, escaped);
    EXPECT_EQ(answer, hresult_element(sequence_, kAccessDenied));
  }
  for (const std::string& name : {std::string("/$QuorvelData/x"), kStore}) {
    const HostResult a = archive({name, data, 1, 1});
    EXPECT_EQ(a.hresult(), hresult_element(a.sequence, kAccessDenied)) << name;
    EXPECT_EQ(a.fragments, 0u) << name;
    std::string got;
    const auto r = restore(name, 0xFFFFFFFFu, 0xFFFFFFFFu, &got);
    ASSERT_NE(r.last(), nullptr);
    EXPECT_EQ(r.last()->raw, hresult_element(sequence_, kAccessDenied)) << name;
  }
  sync("SyncTime");
  EXPECT_EQ(listed("/"), (std::vector<std::string>{"f"}));
  expect_restores("/f/a", 3, 4, data);
  unmount();
  start_checked(true);
  EXPECT_EQ(listed("/"), (std::vector<std::string>{"f"}));
  expect_restores("/f/a", 3, 4, data);
  std::string got;
  const auto wrong = restore("/f/a", 3, 5, &got);
  ASSERT_NE(wrong.last(), nullptr);
  EXPECT_EQ(wrong.last()->raw, hresult_element(sequence_, kVersionMismatch)) << "the store kept the pair";
  unmount();
}

// The reserved names (the metadata folder's, the name of an update's new
// copy) as components of every path a host request takes, in any ASCII
// case, with runs of slashes, "." and "..": a path that reaches the
// metadata folder is refused with access denied, one with a "." or ".."
// component with invalid name, each with one answer and before anything is
// made or written; any other is an ordinary name of the host's, served
// whole. Without "." and ".." refused, "/f/../$QuorvelData/x" passed the
// folder's check and reached into it.
TEST_P(HostReach, ReservedNamesAreRefusedWholeOrServedAsOrdinaryNames) {
  const std::string kInvalidName = "-2147024773";  // 0x8007007B
  const std::string data = pattern(30000, 23);
  start_checked();
  ASSERT_TRUE(archive({"/f/a", data, 1, 1}).archived()) << engine_->describe();
  const struct {
    std::string path;
    const std::string& code;
  } refusals[] = {
      {"/$QuorvelData/x", kAccessDenied},        {"//$quorveldata/x", kAccessDenied},
      {"/$QUORVELDATA//x/", kAccessDenied},      {"/$QuorvelData/$KelUpdate$.tmp", kAccessDenied},
      {"/$qUORVELdATA", kAccessDenied},          {"/./$QuorvelData/x", kInvalidName},
      {"/f/../$QuorvelData/x", kInvalidName},    {"/f/../$QuorvelData", kInvalidName},
      {"/f/./n", kInvalidName},                  {"/f/..", kInvalidName},
      {"/g/$KelUpdate$.tmp/./y", kInvalidName},  {"/g/../f/a", kInvalidName},
  };
  auto attributes = [](const std::string& opcode, const std::string& name, const std::string& other) {
    Attributes a{{"Name", kelsim::escape_name(name)}};
    if (!other.empty()) a.push_back({"NewName", kelsim::escape_name(other)});
    if (opcode == "Rename")
      a.insert(a.end(), {{"OldGeneration", "1"}, {"OldVersion", "1"}, {"NewGeneration", "1"}, {"NewVersion", "1"}});
    if (opcode == "Delete") a.insert(a.end(), {{"Generation", "1"}, {"Version", "1"}});
    if (opcode != "UpdateArchiveInfo" && opcode != "ReadDirectory")
      a.insert(a.end(), {{"KernelInterface", "0"}, {"BlockNumber", "0"}});
    return a;
  };
  const std::vector<std::string> tree_before = listed("/");
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.path);
    const struct {
      const char* opcode;
      std::string name, other;
    } requests[] = {
        {"Rename", r.path, "/f/b"},         {"Rename", "/f/a", r.path},          {"Delete", r.path, ""},
        {"CreateDirectory", r.path, ""},    {"RenameDirectory", r.path, "/h"},   {"RenameDirectory", "/f", r.path},
        {"DeleteDirectory", r.path, ""},    {"UpdateArchiveInfo", r.path, ""},   {"ReadDirectory", r.path, ""},
    };
    for (const auto& q : requests) {
      // The metadata folder itself lists as empty.
      if (std::string(q.opcode) == "ReadDirectory" && r.path == "/$qUORVELdATA") continue;
      const std::string answer = refused(q.opcode, attributes(q.opcode, q.name, q.other));
      EXPECT_EQ(answer, hresult_element(sequence_, r.code)) << q.opcode << " " << q.name << " " << q.other;
      EXPECT_EQ(commands(sequence_, is_write), 0u) << q.opcode;
    }
    const HostResult a = archive({r.path, data, 1, 1});
    EXPECT_EQ(a.hresult(), hresult_element(a.sequence, r.code));
    EXPECT_EQ(a.fragments, 0u);
    std::string got;
    const auto back = restore(r.path, 1, 1, &got);
    ASSERT_NE(back.last(), nullptr);
    EXPECT_EQ(back.last()->raw, hresult_element(sequence_, r.code));
  }
  EXPECT_EQ(listed("/"), tree_before) << "nothing was made";
  EXPECT_EQ(listed("/f"), std::vector<std::string>{"a"});
  // The same names anywhere else are the host's.
  const std::vector<std::string> ordinary = {"/g/$KelUpdate$.tmp", "/g/$kelupdate$.TMP/x", "/g/$QuorvelData/y",
                                             "//g//$qUORVELdATA//z", "/g/$KelUpdate$.tmp.d/$QuorvelData"};
  for (const std::string& path : ordinary) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(archive({path, data, 1, 1}).archived()) << engine_->describe();
    expect_restores(path, 1, 1, data);
    EXPECT_EQ(e2e::number(archive_info(path), "Size"), data.size());
    const auto moved = ask("Rename", attributes("Rename", path, path + ".r"));
    ASSERT_FALSE(moved.empty());
    EXPECT_EQ(moved.back().name, "KelVolume") << moved.back().raw;
    expect_restores(path + ".r", 1, 1, data);
    for (const auto& [opcode, name] : {std::pair<std::string, std::string>{"Delete", path + ".r"},
                                       {"CreateDirectory", path + ".d"}}) {
      const auto answer = ask(opcode, attributes(opcode, name, ""));
      ASSERT_FALSE(answer.empty());
      EXPECT_EQ(answer.back().name, "KelVolume") << opcode << ": " << answer.back().raw;
    }
    EXPECT_TRUE(listed(path + ".d").empty());
    for (const auto& [opcode, name, other] :
         {std::tuple<std::string, std::string, std::string>{"RenameDirectory", path + ".d", path + ".e"},
          {"DeleteDirectory", path + ".e", ""}}) {
      const auto answer = ask(opcode, attributes(opcode, name, other));
      ASSERT_FALSE(answer.empty());
      EXPECT_EQ(answer.back().name, "KelVolume") << opcode << ": " << answer.back().raw;
    }
  }
  // Names compare without regard to case: y and z share one folder.
  const std::vector<std::string> g = listed("/g");
  EXPECT_EQ(std::set<std::string>(g.begin(), g.end()),
            (std::set<std::string>{"$KelUpdate$.tmp.d", "$kelupdate$.TMP", "$QuorvelData"}));
  EXPECT_EQ(listed("/g/$QuorvelData").size(), 0u) << "their files were renamed and deleted";
  sync("SyncPreDeallocate");
  unmount();
  start_checked(true);
  EXPECT_EQ(listed("/f"), std::vector<std::string>{"a"});
  expect_restores("/f/a", 1, 1, data);
  unmount();
}

// The parity stream the writer makes beside a file is no file of the
// volume: never listed, counted or restored, in the session that archived
// it as in a new one. (The Format writes the metadata store's first file,
// which the volume counts as its other file.)
TEST_P(HostReach, AParityStreamIsNoFile) {
  const std::string data = pattern(100000, 22);
  start_checked();
  ask_one("Format", "KelVolume", {{"VolumeID", "PARITY-COUNT"}, {"Replica", "1"}});
  ASSERT_TRUE(archive({"/f/a", data, 1, 1}).archived()) << engine_->describe();
  for (int session = 0; session < 2; ++session) {
    SCOPED_TRACE(session == 0 ? "the archiving engine" : "a new engine");
    EXPECT_EQ(listed("/f"), (std::vector<std::string>{"a"}));
    EXPECT_EQ(figure("FileCount"), 2u);
    std::string got;
    const auto r = restore("/f/a" + kParity, 0xFFFFFFFFu, 0xFFFFFFFFu, &got);
    ASSERT_NE(r.last(), nullptr);
    EXPECT_EQ(r.last()->raw, hresult_element(sequence_, kNotFound));
    EXPECT_TRUE(got.empty());
    expect_restores("/f/a", 1, 1, data);
    sync("SyncPreDeallocate");
    unmount();
    start_checked(true);
  }
  unmount();
}

// Rewrites the extended file entries of `bytes` bytes that the run wrote:
// each allocation descriptor is marked allocated but not recorded. The
// engine must not be running. The number of entries changed.
int unrecord_entries_of_size(kelsim::SimHarness& sim, std::uint64_t bytes) {
  kelsim::Cartridge& c = sim.cartridge();
  const int slot = std::max(0, e2e::last_written_slot(c));
  std::set<std::uint32_t> blocks;
  for (const TranscriptEntry& e : sim.service().transcript()) {
    if (!is_write(e) || e.cdb.size() < 10) continue;
    const std::uint32_t lba = std::uint32_t{e.cdb[2]} << 24 | e.cdb[3] << 16 | e.cdb[4] << 8 | e.cdb[5];
    const std::uint32_t count = e.cdb[0] == 0x2A ? (e.cdb[7] << 8 | e.cdb[8])
                                                 : (std::uint32_t{e.cdb[6]} << 24 | e.cdb[7] << 16 | e.cdb[8] << 8 | e.cdb[9]);
    for (std::uint32_t i = 0; i < count; ++i) blocks.insert(lba + i);
  }
  int changed = 0;
  for (std::uint32_t b : blocks) {
    std::uint8_t block[2048];
    if (c.read_blocks(slot, b, 1, block) != 0) continue;
    std::uint16_t tag;
    std::uint64_t size;
    std::uint32_t l_ea, l_ad;
    std::memcpy(&tag, block, 2);
    std::memcpy(&size, block + 56, 8);
    std::memcpy(&l_ea, block + 208, 4);
    std::memcpy(&l_ad, block + 212, 4);
    const std::uint32_t ad = (block[34] & 7) == 0 ? 8 : 16;  // short or long descriptors
    if (tag != 266 || size != bytes || !mdcudfsr_check_udf_tag(block, 266) || 216u + l_ea + l_ad > sizeof block)
      continue;
    for (std::uint32_t at = 216 + l_ea; at + ad <= 216 + l_ea + l_ad; at += ad) {
      std::uint32_t len;
      std::memcpy(&len, block + at, 4);
      len = (len & 0x3FFFFFFF) | 0x40000000;
      std::memcpy(block + at, &len, 4);
    }
    mdcudfsr_set_udf_tag_crc_and_checksum(block, 216 + l_ea + l_ad);
    if (c.write_blocks(slot, b, 1, block) == 0) ++changed;
  }
  return changed;
}

// Data a file's entry says is allocated but not recorded reads as zeros
// (its meaning in UDF): a Restore hands over every byte of the file's size,
// never a file cut short and answered "KelSuccess".
TEST_P(HostReach, AnExtentNotRecordedRestoresAsZeros) {
  const std::string data = pattern(100000, 23);
  start_checked();
  ASSERT_TRUE(archive({"/f/a", data, 1, 1}).archived()) << engine_->describe();
  sync("SyncPreDeallocate");
  unmount();
  ASSERT_GT(unrecord_entries_of_size(*sim_, data.size()), 0);
  start_checked(true);
  for (bool verify : {false, true}) {
    std::string got;
    const auto r = restore("/f/a", 1, 1, &got, verify);
    EXPECT_TRUE(r.ok) << r.error << " " << (r.last() ? r.last()->raw : "no answer");
    EXPECT_EQ(got, std::string(data.size(), '\0'));
  }
  unmount();
}

INSTANTIATE_TEST_SUITE_P(Media, HostReach,
                         ::testing::Values(Setup{0xE1, "QMR-T300A", true}, Setup{0xE1, "QMR-T300A", false}),
                         setup_name);

}  // namespace
