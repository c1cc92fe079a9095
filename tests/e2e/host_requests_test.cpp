// Host requests as a host of its own sends them to KelDriver: every Sync
// saves what was archived, every ending of the engine saves and unmounts
// first, and names that are no folder or no absolute path are refused.
#include "scenario_support.h"

#include "platform/xml_sax.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using e2e::EngineElement;
using Setup = e2e::MediumSetup;

const std::string kNotADirectory = "-2147023537";  // 0x8007054F, the host's not-a-directory
const std::string kInvalidName = "-2147024773";    // 0x8007007B
const std::string kNotFound = "-2147024894";       // 0x80070002

std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 11 + seed * 97 + i / 2048 * 5 + 3) & 0xFF);
  return s;
}

std::string hresult_element(std::uint64_t seq, const std::string& code) {
  return "<HRESULT SequenceNumber=\"" + std::to_string(seq) + "\" HRESULT=\"" + code + "\"></HRESULT>";
}

class HostRequests : public e2e::MediumScenario {
 protected:
  // Archives data under name with the host's generation and version.
  kelsim::ExchangeResult archive(const std::string& name, const std::string& data, std::uint32_t generation,
                                 std::uint32_t version) {
    const std::string local = sim_->directory() + "/host-in";
    std::ofstream(local, std::ios::binary | std::ios::trunc) << data;
    archived_[name] = data;
    kelsim::ArchiveRequest r;
    r.name = name;
    r.generation = generation;
    r.version = version;
    r.io_size = 64 * 1024;
    settle();
    return engine_->archive(++sequence_, local, r);
  }

  // An Archive the host stops after its first piece ("FailureCallback").
  void archive_stopped(const std::string& name, const std::string& data) {
    const std::uint64_t seq = ++sequence_;
    kelsim::ArchiveRequest r;
    r.name = name;
    r.generation = r.version = 1;
    EngineElement e;
    ASSERT_TRUE(engine_->send(kelsim::archive_line(seq, r)));
    ASSERT_TRUE(engine_->next(&e) && e.name == "KelFragment") << engine_->describe();
    ASSERT_TRUE(engine_->send(kelsim::request_line(seq, "OpenFragmentFileCallback", {{"IOSize", "65536"}})));
    ASSERT_TRUE(engine_->next(&e) && e.name == "KelFragment") << engine_->describe();
    std::string why;
    ASSERT_TRUE(kelsim::write_process_memory(engine_->pid(), std::stoull(e.attribute("Buffer"), nullptr, 16),
                                             data.data(), 65536, &why))
        << why;
    ASSERT_TRUE(engine_->send(kelsim::request_line(
        seq, "WriteCallback",
        {{"FragmentFileSize", std::to_string(data.size())}, {"BytesToWrite", "65536"}})));
    ASSERT_TRUE(engine_->next(&e) && e.name == "KelFragment") << engine_->describe();
    ASSERT_TRUE(engine_->send(kelsim::request_line(seq, "FailureCallback", {{"ErrorCode", "30"}})));
  }

  // The folder's entries as "name generation/version", and the closing one.
  std::map<std::string, std::string> versions(const std::string& folder) {
    std::map<std::string, std::string> out;
    const auto answers = ask("ReadDirectory", {{"Name", kelsim::escape_name(folder)}});
    EXPECT_TRUE(!answers.empty() && answers.back().name == "KelDirent") << engine_->describe();
    for (const auto& e : answers)
      if (e.name == "KelDirent" && !e.attribute("ObjectName").empty())
        out[kelsim::unescape_name(e.attribute("ObjectName"))] = e.attribute("Generation") + "/" + e.attribute("Version");
    return out;
  }

  // Restores name with the pair: the answer's last element, and the bytes.
  std::string restore_answer(const std::string& name, std::uint32_t generation, std::uint32_t version,
                             std::string* bytes = nullptr) {
    kelsim::RestoreRequest q;
    q.name = name;
    q.generation = generation;
    q.version = version;
    const std::string local = sim_->directory() + "/host-out";
    settle();
    const auto r = engine_->restore(++sequence_, q, local);
    if (bytes) {
      std::ifstream in(local, std::ios::binary);
      bytes->assign(std::istreambuf_iterator<char>(in), {});
    }
    return r.last() ? r.last()->raw : "no answer";
  }
  // Restores name with its pair and expects the bytes it was archived with.
  void expect_restores_as(const std::string& name, std::uint32_t generation, std::uint32_t version) {
    std::string got;
    const std::string answer = restore_answer(name, generation, version, &got);
    EXPECT_EQ(answer, "<KelSuccess SequenceNumber=\"" + std::to_string(sequence_) + "\"></KelSuccess>") << name;
    EXPECT_TRUE(got == archived_[name]) << name << ": " << got.size() << " bytes restored";
  }
  // The answer is the request's "HRESULT" with code.
  void expect_refused(const std::string& answer, const std::string& code) {
    EXPECT_EQ(answer, hresult_element(sequence_, code));
  }

  bool packed() const { return GetParam().packed; }

  // A WRITE(10) of the request starting at lba was answered GOOD.
  bool written_at(std::uint64_t sequence, std::uint32_t lba) const {
    for (const auto& e : e2e::commands_of(sim_->service().transcript(), sequence)) {
      if (e.cdb.size() < 10 || e.cdb[0] != 0x2A || !e.answered || e.check_condition || e.status != 0) continue;
      const std::uint32_t at = (std::uint32_t{e.cdb[2]} << 24) | (std::uint32_t{e.cdb[3]} << 16) |
                               (std::uint32_t{e.cdb[4]} << 8) | e.cdb[5];
      if (at == lba) return true;
    }
    return false;
  }

  // A new cartridge of the parameter's medium, and the engine started on it
  // with the given registry words.
  void start_on_new_cartridge(std::vector<std::pair<std::string, std::uint32_t>> dwords) {
    e2e::ScenarioOptions o;
    o.medium_type = GetParam().type;
    o.product = GetParam().product;
    make_sim(o);
    dwords_ = std::move(dwords);
    archived_.clear();
    start_checked();
  }
};

std::string setup_name(const ::testing::TestParamInfo<Setup>& info) { return e2e::medium_setup_name(info.param, false); }

// ---------------------------------------------------------------- every Sync saves

// "SyncPreDeallocate" after packed archives: the session's end leaves the
// volume clean, and the generations and versions of its files are saved all
// the same. The engine is killed after the Sync, so only the Sync saved
// them: a new engine lists and checks them.
TEST_P(HostRequests, SyncPreDeallocateSavesTheGenerationsAndVersions) {
  start_checked();
  ASSERT_TRUE(archive("/n/x.bin", pattern(30000, 1), 7, 7).ok) << engine_->describe();
  ASSERT_TRUE(archive("/n/y.bin", pattern(90000, 2), 8, 8).ok) << engine_->describe();
  sync("SyncPreDeallocate");
  kill_engine();
  start_checked(true);
  EXPECT_EQ(versions("/n"), (std::map<std::string, std::string>{{"x.bin", "7/7"}, {"y.bin", "8/8"}}));
  expect_refused(restore_answer("/n/x.bin", 7, 8), kNotFound);
  expect_restores_as("/n/x.bin", 7, 7);
  expect_restores_as("/n/y.bin", 8, 8);
  unmount();
}

// ---------------------------------------------------------------- every ending saves

// However the engine's input ends its run (the end of input, a line that
// does not parse, a stray callback, a Format refused before it changes
// anything), what it answered is saved and the volume unmounted first: a
// new engine with an emptied cache finds the updated file at its new
// version and the file the engine dropped gone; each ending keeps its own
// exit code and answers.
TEST_P(HostRequests, EveryEndingSavesWhatWasAnsweredAndUnmounts) {
  const struct {
    const char* what;
    std::string line;
    int exit_code;
    bool shutdown;
  } endings[] = {
      {"end of input", "", static_cast<int>(static_cast<std::uint32_t>(platform::kSaxErrNoElements) & 0xFF), false},
      {"a line that does not parse", "<ArchiveFileSystemOperation",
       static_cast<int>(static_cast<std::uint32_t>(platform::kSaxErrUnclosedToken) & 0xFF), false},
      {"a stray callback", kelsim::request_line(90, "WriteCallback", {{"FragmentFileSize", "10"}, {"BytesToWrite", "10"}}),
       1359 & 0xFF, false},
      {"a refused Format", kelsim::request_line(90, "Format", {{"VolumeID", std::string(40, 'V')}, {"Replica", "1"}}), 0,
       true},
  };
  for (const auto& ending : endings) {
    SCOPED_TRACE(ending.what);
    start_on_new_cartridge({{"Packed Write Mode", packed() ? 1u : 0u}});
    const std::string first = pattern(50000, 3), second = pattern(120000, 4);
    ASSERT_TRUE(archive("/e/a.bin", first, 1, 1).ok) << engine_->describe();
    sync("SyncTime");
    ASSERT_TRUE(archive("/e/a.bin", second, 1, 2).ok) << engine_->describe();
    ASSERT_TRUE(archive("/e/c.bin", pattern(7000, 5), 3, 4).ok) << engine_->describe();
    ASSERT_NO_FATAL_FAILURE(archive_stopped("/e/b.bin", pattern(200000, 6)));
    if (!ending.line.empty()) {
      ASSERT_TRUE(engine_->send(ending.line));
    }
    EXPECT_EQ(engine_->wait_exit(), ending.exit_code) << engine_->describe();
    bool shutdown = false;
    for (const auto& e : engine_->elements()) shutdown = shutdown || e.name == "Shutdown";
    EXPECT_EQ(shutdown, ending.shutdown) << engine_->describe();
    engine_.reset();
    start_checked(true);
    EXPECT_EQ(versions("/e"), (std::map<std::string, std::string>{{"a.bin", "1/2"}, {"c.bin", "3/4"}}));
    expect_restores_as("/e/a.bin", 1, 2);
    expect_restores_as("/e/c.bin", 3, 4);
    expect_refused(restore_answer("/e/a.bin", 1, 1), kNotFound);
    unmount();
  }
}

// ---------------------------------------------------------------- names

// CreateDirectory of a name a file holds answers not a directory and
// creates nothing.
TEST_P(HostRequests, CreateDirectoryOfAFilesNameAnswersNotADirectory) {
  start_checked();
  ASSERT_TRUE(archive("/a/f1.txt", pattern(5000, 7), 1, 1).ok) << engine_->describe();
  const auto made = ask("CreateDirectory", {{"Name", "/a/f1.txt"}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
  ASSERT_FALSE(made.empty());
  EXPECT_EQ(made.back().raw, hresult_element(sequence_, kNotADirectory));
  const auto listed = ask("ReadDirectory", {{"Name", "/a"}});
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].attribute("ObjectName"), "f1.txt");
  EXPECT_EQ(listed[0].attribute("Type"), "2") << "still a file";
  expect_restores_as("/a/f1.txt", 1, 1);
  unmount();
}

// ReadDirectory of a file answers not a directory (an empty listing would
// pass it for an empty folder); an empty folder lists only its closing
// entry.
TEST_P(HostRequests, ReadDirectoryOfAFileAnswersNotADirectory) {
  start_checked();
  ASSERT_TRUE(archive("/a/f1.txt", pattern(5000, 7), 1, 1).ok) << engine_->describe();
  mkdir("/a/empty");
  const auto listed = ask("ReadDirectory", {{"Name", "/a/f1.txt"}});
  ASSERT_EQ(listed.size(), 1u) << "no entry, not even the closing one";
  EXPECT_EQ(listed.back().raw, hresult_element(sequence_, kNotADirectory));
  const auto empty = ask("ReadDirectory", {{"Name", "/a/empty"}});
  ASSERT_EQ(empty.size(), 1u);
  EXPECT_EQ(empty.back().name, "KelDirent");
  EXPECT_EQ(empty.back().attribute("ObjectName"), "");
  unmount();
}

// A path that does not start with "/" is refused before anything is
// written: no fragment is asked for, nothing reaches the volume.
TEST_P(HostRequests, ARelativeNameIsRefusedBeforeAnythingIsWritten) {
  start_checked();
  const std::string data = pattern(9000, 8);
  const kelsim::ExchangeResult r = archive("rel.bin", data, 1, 1);
  EXPECT_FALSE(r.ok);
  ASSERT_EQ(r.answers.size(), 1u) << "no KelFragment";
  EXPECT_EQ(r.answers.back().raw, hresult_element(sequence_, kInvalidName));
  for (const auto& e : e2e::commands_of(sim_->service().transcript(), sequence_))
    EXPECT_NE(e.cdb[0], 0x2A) << "a write for the refused request";
  for (const std::string& op : {std::string("ReadDirectory"), std::string("UpdateArchiveInfo")}) {
    const auto a = ask(op, {{"Name", "rel.bin"}});
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a.back().raw, hresult_element(sequence_, kInvalidName)) << op;
  }
  EXPECT_EQ(listing("/"), std::set<std::string>{});
  sync("SyncPreDeallocate");
  unmount();
}

// ---------------------------------------------------------------- the update copy's name

// The name the engine gives an update's new copy while it is written is no
// name of the volume's host folders: a host folder and a host file of that
// name are listed, restored, renamed and deleted like any other, and an
// update of a file beside them takes its place and leaves them alone. So it
// is after a Sync in a new engine, the cache emptied (a volume written with
// such names before keeps them).
TEST_P(HostRequests, TheUpdateCopysNameIsAnOrdinaryHostName) {
  const std::string name = "$KelUpdate$.tmp";
  start_checked();
  ASSERT_TRUE(archive("/d/" + name + "/h.bin", pattern(20000, 11), 1, 1).ok) << engine_->describe();
  ASSERT_TRUE(archive("/d/x.bin", pattern(30000, 12), 1, 1).ok) << engine_->describe();
  ASSERT_TRUE(archive("/e/" + name, pattern(9000, 13), 1, 1).ok) << engine_->describe();
  ASSERT_TRUE(archive("/e/y.bin", pattern(7000, 14), 1, 1).ok) << engine_->describe();
  sync("SyncTime");
  ASSERT_TRUE(archive("/d/x.bin", pattern(40000, 15), 1, 2).ok) << engine_->describe();
  ASSERT_TRUE(archive("/e/y.bin", pattern(8000, 16), 1, 2).ok) << engine_->describe();
  ASSERT_TRUE(archive("/e/" + name, pattern(5000, 17), 1, 2).ok) << engine_->describe();
  for (const bool new_engine : {false, true}) {
    SCOPED_TRACE(new_engine ? "a new engine, the cache emptied" : "the archiving engine");
    if (new_engine) {
      sync("SyncPreDeallocate");
      unmount();
      start_checked(true);
    }
    EXPECT_EQ(listing("/d"), (std::set<std::string>{name, "x.bin"}));
    EXPECT_EQ(listing("/d/" + name), std::set<std::string>{"h.bin"});
    EXPECT_EQ(listing("/e"), (std::set<std::string>{name, "y.bin"}));
    expect_restores_as("/d/" + name + "/h.bin", 1, 1);
    expect_restores_as("/d/x.bin", 1, 2);
    expect_restores_as("/e/" + name, 1, 2);
    expect_restores_as("/e/y.bin", 1, 2);
  }
  const auto rename = ask("Rename", {{"Name", kelsim::escape_name("/e/" + name)}, {"NewName", "/e/z.bin"},
                                     {"OldGeneration", "1"}, {"OldVersion", "2"}, {"NewGeneration", "1"},
                                     {"NewVersion", "2"}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
  ASSERT_FALSE(rename.empty());
  EXPECT_EQ(rename.back().name, "KelVolume") << rename.back().raw;
  const auto deleted = ask("Delete", {{"Name", kelsim::escape_name("/d/" + name + "/h.bin")}, {"Generation", "1"},
                                      {"Version", "1"}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
  ASSERT_FALSE(deleted.empty());
  EXPECT_EQ(deleted.back().name, "KelVolume") << deleted.back().raw;
  const auto removed = ask("DeleteDirectory", {{"Name", kelsim::escape_name("/d/" + name)}, {"KernelInterface", "0"},
                                               {"BlockNumber", "0"}});
  ASSERT_FALSE(removed.empty());
  EXPECT_EQ(removed.back().name, "KelVolume") << removed.back().raw;
  EXPECT_EQ(listing("/d"), std::set<std::string>{"x.bin"});
  EXPECT_EQ(listing("/e"), (std::set<std::string>{"y.bin", "z.bin"}));
  archived_["/e/z.bin"] = archived_["/e/" + name];
  expect_restores_as("/e/z.bin", 1, 2);
  sync("SyncPreDeallocate");
  unmount();
}

// ---------------------------------------------------------------- a failed session's losses

// A file waiting in the packed session is never renamed or moved with its
// folder while it waits: the session ends first, as before a Delete. When
// that end fails (the drive fails its writes until the move is answered) and the session's
// data has passed what the writer can hold again (its ring of 4 MiB here),
// the rename answers the failure and moves nothing, and the file the
// session lost is the one removed, under the name it has: a synced file
// that the host then gives the lost file's old name keeps its bytes, in
// this engine and in a new one with the cache kept or emptied. The next
// Sync names the loss. So it is too when a small file's data reaches the
// disc at the end and only the flush that names it fails (every write past
// the data), leaving the volume read-only: no Sync can name the data any
// more, and a new mount shows no such file.
TEST_P(HostRequests, AFailedSessionRemovesOnlyTheFileItLost) {
  if (!packed()) GTEST_SKIP() << "no packed session without packed writing";
  const struct {
    const char* what;
    std::string waiting, opcode, from, to;
    std::size_t size;
    bool data_written;  // the fault spares the end's write of the file's data
  } rows[] = {
      {"Rename of the waiting file", "/r/a.bin", "Rename", "/r/a.bin", "/r/moved.bin", 5000000, false},
      {"RenameDirectory of its folder", "/r/s/a.bin", "RenameDirectory", "/r/s", "/r/t", 5000000, false},
      {"Rename of the waiting file, its data written", "/r/a.bin", "Rename", "/r/a.bin", "/r/moved.bin", 30000, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    // The waiting file's data stays in the session's buffer: its end writes it.
    start_on_new_cartridge({{"Packed Write Mode", 1u}, {"Write Buffer MB", 1u}});
    ASSERT_TRUE(archive("/r/keep.bin", pattern(40000, 21), 1, 1).ok) << engine_->describe();
    sync("SyncTime");
    const kelsim::ExchangeResult waiting = archive(row.waiting, pattern(row.size, 22), 1, 1);
    ASSERT_TRUE(waiting.ok) << engine_->describe();
    kelsim::FaultRule fault = kelsim::command_fails(0x2A, kelsim::Sense{3, 0x0C, 0});
    fault.times = -1;  // until the move is answered
    int id = -1;
    std::uint32_t data_at = 0;
    if (row.data_written) {
      // The small file's data waits in the session's buffer: the end writes
      // it and syncs it, and the writes after that first sync fail.
      data_at = static_cast<std::uint32_t>(std::stoul(waiting.last()->attribute("SpaceEntries.0.BlockNumber")));
      add_fault_at_next_sync(fault);
    } else {
      id = sim_->drive().add_fault(fault);
    }
    e2e::Attributes move{{"Name", row.from}, {"NewName", row.to}, {"KernelInterface", "0"}, {"BlockNumber", "0"}};
    if (row.opcode == "Rename")
      move.insert(move.end(), {{"OldGeneration", "1"}, {"OldVersion", "1"}, {"NewGeneration", "1"}, {"NewVersion", "1"}});
    const auto moved = ask(row.opcode, move);
    ASSERT_FALSE(moved.empty());
    EXPECT_EQ(moved.back().name, "HRESULT") << "the session's end failed: " << moved.back().raw;
    if (row.data_written) {
      id = stop_waiting_for_sync();
      EXPECT_TRUE(written_at(sequence_, data_at)) << "the end wrote no data at " << data_at;
    }
    ASSERT_GE(id, 0) << "no sync in the move";
    EXPECT_GT(sim_->drive().fault_fired(id), 0);
    sim_->drive().remove_fault(id);
    const auto renamed = ask("Rename", {{"Name", "/r/keep.bin"}, {"NewName", "/r/a.bin"}, {"OldGeneration", "1"},
                                        {"OldVersion", "1"}, {"NewGeneration", "1"}, {"NewVersion", "1"},
                                        {"KernelInterface", "0"}, {"BlockNumber", "0"}});
    ASSERT_FALSE(renamed.empty());
    const bool writable = renamed.back().name == "KelVolume";
    const std::string keep_at = writable ? "/r/a.bin" : "/r/keep.bin";
    archived_[keep_at] = archived_["/r/keep.bin"];
    const auto answers = ask("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back().name, "HRESULT") << "the loss is answered: " << answers.back().raw;
    bool told = false;
    for (const auto& e : engine_->elements())
      told = told || (e.name == "Error" && e.attribute("SequenceNumber") == std::to_string(sequence_) &&
                      e.text == "Archived file lost, archive it again: " + row.waiting);
    EXPECT_TRUE(told) << engine_->describe();
    for (const int restart : {0, 1, 2}) {
      SCOPED_TRACE(restart == 0 ? "the running engine" : restart == 1 ? "a new engine, the cache kept" : "a new engine, the cache emptied");
      if (restart) {
        unmount();
        start_checked(restart == 2);
      }
      std::set<std::string> expected{keep_at.substr(3)};
      // The folder is not moved, and empty now; it reaches the disc with a
      // Sync the volume takes (the failed writes may leave it read-only).
      if (row.opcode == "RenameDirectory" && (restart == 0 || writable)) expected.insert("s");
      EXPECT_EQ(listing("/r"), expected);
      expect_restores_as(keep_at, 1, 1);
    }
    unmount();
    engine_.reset();
  }
}

// ---------------------------------------------------------------- a failed Archive

// Every WRITE(10) of an Archive fails from its first: the Archive answers
// the failure, and once the drive is well the name it made is neither
// listed nor restored (never a file of 0 bytes handed over as success), in
// this engine and in a new one; the folder's other file restores whole.
TEST_P(HostRequests, AFailedArchiveLeavesNoFileToListOrRestore) {
  start_checked();
  ASSERT_TRUE(archive("/f/keep.bin", pattern(50000, 31), 1, 1).ok) << engine_->describe();
  sync("SyncTime");
  const int id = sim_->drive().add_fault(kelsim::command_fails(0x2A, kelsim::Sense{3, 0x0C, 0}));
  const auto failed = archive("/f/big.bin", pattern(3000000, 32), 1, 1);
  sim_->drive().remove_fault(id);
  ASSERT_TRUE(failed.last()) << engine_->describe();
  EXPECT_EQ(failed.last()->name, "HRESULT") << failed.last()->raw;
  ask("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
  for (const bool restarted : {false, true}) {
    SCOPED_TRACE(restarted ? "a new engine" : "the same engine");
    if (restarted) {
      unmount();
      start_checked();
    }
    const auto listed = versions("/f");
    EXPECT_FALSE(listed.count("big.bin")) << "the failed file is listed";
    expect_refused(restore_answer("/f/big.bin", 1, 1), kNotFound);
    expect_restores_as("/f/keep.bin", 1, 1);
  }
  unmount();
}

// The drive fails the n-th READ ATTRIBUTE of an Archive, for each n up to
// the answer's query of the volume, which comes after the file is written:
// an Archive answered as failed leaves no file to list or restore, one
// answered "KelArchive" restores whole. A file its close flushed lies on the
// disc: the query is asked again and such an Archive is never answered as
// failed; a packed file still waiting in its session is taken back.
TEST_P(HostRequests, AnArchiveWhoseVolumeQueryFailsLeavesNoFileBehind) {
  start_checked();
  // The folder is the host's: a failed Archive takes back only folders it made.
  mkdir("/q");
  int failed = 0, fired_any = 0;
  for (int n = 0; n < 8; ++n) {
    const std::string name = "a" + std::to_string(n) + ".bin";
    SCOPED_TRACE("READ ATTRIBUTE " + std::to_string(n) + " fails: " + name);
    kelsim::FaultRule rule = kelsim::command_fails(0x8C, kelsim::Sense{3, 0x11, 0});
    rule.skip = n;
    rule.times = 1;
    const int id = sim_->drive().add_fault(rule);
    const auto res = archive("/q/" + name, pattern(70000, 40 + n), 1, 1);
    const bool fired = sim_->drive().fault_fired(id) > 0;
    sim_->drive().remove_fault(id);
    ASSERT_TRUE(res.last()) << engine_->describe();
    const bool ok = res.last()->name == "KelArchive";
    failed += !ok;
    fired_any += fired;
    if (!fired) {
      EXPECT_TRUE(ok) << res.last()->raw;
    }
    EXPECT_EQ(versions("/q").count(name), ok ? 1u : 0u) << res.last()->raw;
    if (ok) expect_restores_as("/q/" + name, 1, 1);
    else expect_refused(restore_answer("/q/" + name, 1, 1), kNotFound);
  }
  unmount();
  if (fired_any == 0) GTEST_SKIP() << "an Archive on this medium reads no attribute";
  if (packed()) {
    EXPECT_GT(failed, 0) << "no READ ATTRIBUTE of an Archive failed it";
  } else {
    EXPECT_EQ(failed, 0) << "an Archive whose file its close flushed was answered as failed";
  }
}

// ---------------------------------------------------------------- a failed move

// A Rename or RenameDirectory into a folder that does not exist makes the
// folder first. When the move then fails, it answers the failure and takes
// back the folders it made: the target's parent lists nothing new, in this
// engine and in a new one with the cache emptied. The drive's faults turn
// the volume read-only (the first change after a Sync writes the volume's
// dirty mark: every WRITE(10) failing, or the drive's write of the
// cartridge attribute, 8Dh, DBh on the T400 drive), so the folders never
// reach the disc; the engine's own refusals (a name too long for the
// volume, a folder moved below itself) leave it writable, and the next Sync
// must not record them.
TEST_P(HostRequests, AFailedMoveTakesBackTheFoldersItMade) {
  const kelsim::FaultRule writes_fail = kelsim::command_fails(0x2A, kelsim::Sense{3, 0x0C, 0});
  const kelsim::FaultRule mark_fails =
      kelsim::command_fails(std::string(GetParam().product) == "QMR-T400A" ? 0xDB : 0x8D, kelsim::Sense{3, 0x0C, 0});
  const std::string too_long(300, 'x');
  const struct {
    const char* what;
    std::string opcode, from, to;
    std::optional<kelsim::FaultRule> rule;  // none: the engine refuses the move
  } rows[] = {
      {"Rename, every WRITE(10) failing", "Rename", "/t/a/f.bin", "/t/n/m/f.bin", writes_fail},
      {"RenameDirectory, every WRITE(10) failing", "RenameDirectory", "/t/a/d", "/t/n/m/d", writes_fail},
      {"Rename, the attribute write failing", "Rename", "/t/a/f.bin", "/t/n/m/f.bin", mark_fails},
      {"RenameDirectory, the attribute write failing", "RenameDirectory", "/t/a/d", "/t/n/m/d", mark_fails},
      {"Rename to a name too long", "Rename", "/t/a/f.bin", "/t/n/m/" + too_long, std::nullopt},
      {"RenameDirectory below itself", "RenameDirectory", "/t/a/d", "/t/a/d/n/m/d", std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    start_on_new_cartridge({{"Packed Write Mode", packed() ? 1u : 0u}});
    ASSERT_TRUE(archive("/t/a/f.bin", pattern(20000, 51), 1, 1).ok) << engine_->describe();
    mkdir("/t/a/d");
    sync("SyncTime");
    const int id = row.rule ? sim_->drive().add_fault(*row.rule) : -1;
    e2e::Attributes move{{"Name", row.from}, {"NewName", row.to}, {"KernelInterface", "0"}, {"BlockNumber", "0"}};
    if (row.opcode == "Rename")
      move.insert(move.end(), {{"OldGeneration", "1"}, {"OldVersion", "1"}, {"NewGeneration", "1"}, {"NewVersion", "1"}});
    const auto moved = ask(row.opcode, move);
    if (row.rule) {
      EXPECT_GT(sim_->drive().fault_fired(id), 0);
      sim_->drive().remove_fault(id);
    }
    ASSERT_FALSE(moved.empty());
    EXPECT_EQ(moved.back().name, "HRESULT") << moved.back().raw;
    // The volume as the failure left it: a writable one takes a new folder.
    const auto made = ask("CreateDirectory", {{"Name", "/t/c"}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
    ASSERT_FALSE(made.empty());
    EXPECT_EQ(made.back().name, row.rule ? "HRESULT" : "KelVolume") << made.back().raw;
    std::set<std::string> expected{"a"};
    if (!row.rule) {
      expected.insert("c");
      sync("SyncTime");
    }
    for (const bool restarted : {false, true}) {
      SCOPED_TRACE(restarted ? "a new engine, the cache emptied" : "the same engine");
      if (restarted) {
        unmount();
        start_checked(true);
      }
      EXPECT_EQ(listing("/t"), expected);
      EXPECT_EQ(listing("/t/a"), (std::set<std::string>{"d", "f.bin"}));
      EXPECT_EQ(listing("/t/a/d"), std::set<std::string>{});
      expect_restores_as("/t/a/f.bin", 1, 1);
    }
    unmount();
    engine_.reset();
  }
}

INSTANTIATE_TEST_SUITE_P(Media, HostRequests,
                         ::testing::Values(Setup{0xE1, "QMR-T300A", true}, Setup{0xE1, "QMR-T300A", false},
                                           Setup{0xE2, "QMR-T300A", true}, Setup{0xF2, "QMR-T400A", true}),
                         setup_name);

}  // namespace
