// Files archived onto a blank cartridge through the real KelDriver, as the
// host service does it: the fragment exchange moves their bytes, listings
// show them, Restore and Verify hand them back byte-identical, before and
// after the volume is synchronised, unmounted and mounted again by new
// processes with the same and with an emptied cache directory; udfinfo
// judges the slot images.
#include "scenario_support.h"
#include "support/settles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using e2e::EngineElement;
using kelsim::ArchiveRequest;
using kelsim::ExchangeResult;
using kelsim::RestoreRequest;

using Setup = e2e::MediumSetup;

std::string setup_name(const ::testing::TestParamInfo<Setup>& info) { return e2e::medium_setup_name(info.param, true); }

// Bytes that differ from block to block and from file to file.
std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed * 131 + i / 2048 * 13) & 0xFF);
  return s;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One archived file: where it lies on the volume and what it holds.
struct Item {
  std::string folder, name;
  std::size_t size;
  std::uint32_t generation = 0, version = 0;
  std::uint64_t modification = 0;  // 100 ns since 1601
  std::uint64_t creation = 0;      // the same; 0: a second before the modification
  std::string path() const { return folder + "/" + name; }
};

constexpr std::uint64_t kTimeBase = 133000000000000000ull;  // a day of 2022
constexpr std::size_t kMiB = 1u << 20;

class ArchiveLife : public e2e::MediumScenario {
 protected:
  void SetUp() override {
    MediumScenario::SetUp();
    local_ = sim_->directory() + "/local";
    std::filesystem::create_directories(local_);
  }

  std::string content(const Item& item) const { return pattern(item.size, static_cast<unsigned>(item.size % 251)); }

  ExchangeResult archive(const Item& item) {
    const std::string local = local_ + "/in.bin";
    std::ofstream(local, std::ios::binary | std::ios::trunc) << content(item);
    ArchiveRequest q;
    q.name = item.path();
    q.generation = item.generation;
    q.version = item.version;
    q.modification_time = item.modification;
    q.creation_time = item.creation ? item.creation : item.modification - 10000000;
    const ExchangeResult r = engine_->archive(++sequence_, local, q);
    EXPECT_TRUE(r.ok) << item.path() << ": " << r.error << "\n"
                      << (r.last() ? r.last()->raw : "no answer") << "\n"
                      << engine_->describe();
    EXPECT_EQ(r.bytes, item.size) << item.path();
    return r;
  }

  // Restore (or Verify) of the whole file gives exactly its bytes.
  void expect_restored(const Item& item, bool verify = false) {
    const std::string local = local_ + "/out.bin";
    RestoreRequest q;
    q.name = item.path();
    q.generation = item.generation;
    q.version = item.version;
    q.verify = verify;
    const ExchangeResult r = engine_->restore(++sequence_, q, local);
    ASSERT_TRUE(r.ok) << (verify ? "Verify " : "Restore ") << item.path() << ": " << r.error << "\n"
                      << (r.last() ? r.last()->raw : "no answer") << "\n"
                      << engine_->describe();
    EXPECT_EQ(r.file_size, item.size) << item.path();
    EXPECT_TRUE(read_file(local) == content(item)) << item.path() << " is not byte-identical";
  }

  // The entries of a folder by name.
  std::map<std::string, EngineElement> entries(const std::string& folder) {
    std::map<std::string, EngineElement> out;
    for (const auto& e : ask("ReadDirectory", {{"Name", kelsim::escape_name(folder)}})) {
      const std::string name = kelsim::unescape_name(e.attribute("ObjectName"));
      if (e.name == "KelDirent" && !name.empty()) out[name] = e;
      else if (e.name != "KelDirent") ADD_FAILURE() << "listing of " << folder << ": " << e.raw;
    }
    return out;
  }

  // Each folder lists exactly its items (and `folders`), with their sizes,
  // generations, versions and modification seconds.
  void expect_listings(const std::vector<Item>& items, const std::map<std::string, std::set<std::string>>& folders) {
    std::map<std::string, std::set<std::string>> expected = folders;
    for (const Item& i : items) expected[i.folder.empty() ? "/" : i.folder].insert(i.name);
    for (const auto& [folder, names] : expected) {
      const auto got = entries(folder);
      std::set<std::string> listed;
      for (const auto& [name, e] : got) {
        EXPECT_EQ(name.find("#*ECC_Parity_"), std::string::npos) << name << ": a parity stream is no entry";
        listed.insert(name);
      }
      EXPECT_EQ(listed, names) << folder;
    }
    for (const Item& i : items) {
      const auto got = entries(i.folder.empty() ? "/" : i.folder);
      auto e = got.find(i.name);
      if (e == got.end()) continue;
      EXPECT_EQ(e->second.attribute("Size"), std::to_string(i.size)) << i.path();
      EXPECT_EQ(e->second.attribute("Generation"), std::to_string(i.generation)) << i.path();
      EXPECT_EQ(e->second.attribute("Version"), std::to_string(i.version)) << i.path();
      const std::string seconds = std::to_string(i.modification / 10000000 - 11644473600ull);
      EXPECT_EQ(e->second.attribute("ModificationTime").substr(0, seconds.size() + 1), seconds + ".")
          << i.path() << " " << e->second.raw;
    }
  }

  // UpdateArchiveInfo answers the size and the extents the listing shows.
  void expect_archive_info(const Item& item) {
    const auto listed = entries(item.folder);
    const auto dirent = listed.find(item.name);
    ASSERT_NE(dirent, listed.end()) << item.path();
    const auto answers = engine_->request(
        kelsim::request_line(++sequence_, "UpdateArchiveInfo", {{"Name", kelsim::escape_name(item.path())}}),
        [](const EngineElement& e) { return e.name == "KelArchive" || e.name == "HRESULT"; });
    ASSERT_FALSE(answers.empty()) << engine_->describe();
    const EngineElement& info = answers.back();
    ASSERT_EQ(info.name, "KelArchive") << info.raw;
    EXPECT_EQ(info.attribute("Size"), std::to_string(item.size)) << item.path();
    EXPECT_EQ(info.attribute("SpaceEntries.Count"), dirent->second.attribute("SpaceEntries.Count")) << item.path();
    for (const auto& [key, value] : dirent->second.attributes)
      if (key.rfind("SpaceEntries.", 0) == 0) {
        EXPECT_EQ(info.attribute(key), value) << item.path() << " " << key;
      }
  }

  void rename(Item& item, const std::string& folder, std::uint32_t generation, std::uint32_t version) {
    const std::string to = folder + "/" + item.name;
    ask_one("Rename", "KelVolume",
            {{"Name", kelsim::escape_name(item.path())},
             {"NewName", kelsim::escape_name(to)},
             {"OldGeneration", std::to_string(item.generation)},
             {"OldVersion", std::to_string(item.version)},
             {"NewGeneration", std::to_string(generation)},
             {"NewVersion", std::to_string(version)},
             {"KernelInterface", "0"},
             {"BlockNumber", "0"}});
    item.folder = folder;
    item.generation = generation;
    item.version = version;
  }

  void remove(const Item& item) {
    ask_one("Delete", "KelVolume",
            {{"Name", kelsim::escape_name(item.path())},
             {"Generation", std::to_string(item.generation)},
             {"Version", std::to_string(item.version)},
             {"KernelInterface", "0"},
             {"BlockNumber", "0"}});
  }

  // Every request line sent so far, the unmounts left out, has exactly one
  // end-of-request notice (no command block, phase 12); the notices reach
  // the host service after the answers, so the count waits (bounded).
  void expect_one_notice_per_request(const std::set<std::uint64_t>& unmounts) {
    std::map<std::uint64_t, int> notices;
    auto complete = [&] {
      notices.clear();
      for (const auto& e : sim_->service().transcript())
        if (e.cdb.empty() && e.phase == 12) ++notices[e.sequence];
      for (std::uint64_t seq = 1; seq <= sequence_; ++seq)
        if (!unmounts.count(seq) && notices[seq] == 0) return false;
      return true;
    };
    kel_test::settles(complete);
    for (std::uint64_t seq = 1; seq <= sequence_; ++seq)
      if (!unmounts.count(seq)) {
        EXPECT_EQ(notices[seq], 1) << "request " << seq;
      }
  }

  std::uint64_t figure(const std::string& key) { return e2e::number(ask_one("GetVolumeInfo", "KelVolume"), key); }

  std::string local_;
};

TEST_P(ArchiveLife, FilesComeBackByteIdenticalThroughUnmountAndRestarts) {
  const std::string odd = "a&b<c\"d caf\xC3\xA9 \xF0\x9F\x93\x81.bin";
  std::vector<Item> items = {
      {"/new/deep", "empty.bin", 0},
      {"/new", "one.bin", 1},
      {"/old", "f2047.bin", 2047},
      {"/old", "f2048.bin", 2048},
      {"/new", "f65537.bin", 65537},
      {"/old", "three.bin", 3 * kMiB + 5},
      {"/big", "beyond.bin", 33 * kMiB + 7},  // more than one 32 MiB writer buffer
      {"/old", odd, 1000},
  };
  for (std::size_t i = 0; i < items.size(); ++i) {
    items[i].generation = 1 + static_cast<std::uint32_t>(i);
    items[i].version = 100 + static_cast<std::uint32_t>(i);
    items[i].modification = kTimeBase + i * 10000000ull;
  }
  std::map<std::string, std::set<std::string>> folders = {{"/", {"new", "old", "big"}}, {"/new", {"deep"}}};

  start_checked();
  mkdir("/old");
  for (const Item& i : items) archive(i);
  if (!GetParam().packed)
    for (const Item& i : items) expect_restored(i);  // straight from the volume, before any Sync
  sync("SyncTime");
  expect_listings(items, folders);
  for (const Item& i : items) expect_restored(i);
  for (const Item& i : items) expect_restored(i, true);
  for (const Item& i : items) expect_archive_info(i);
  // Renamed into a new folder path with a new generation and version; one
  // file deleted.
  rename(items[1], "/moved/here", 77, 88);
  folders["/"].insert("moved");
  folders["/moved"] = {"here"};
  const Item gone = items[3];
  remove(gone);
  items.erase(items.begin() + 3);
  expect_listings(items, folders);
  expect_restored(items[1]);
  sync("SyncTime");
  sync("SyncPreDeallocate");
  const std::uint64_t files = figure("FileCount"), dirs = figure("DirectoryCount");
  unmount();
  std::set<std::uint64_t> unmounts{last_sequence()};

  for (bool emptied : {false, true}) {
    SCOPED_TRACE(emptied ? "emptied cache" : "same cache");
    start_checked(emptied);
    expect_listings(items, folders);
    for (const Item& i : items) expect_restored(i);
    RestoreRequest q;
    q.name = gone.path();
    q.generation = gone.generation;
    q.version = gone.version;
    const ExchangeResult r = engine_->restore(++sequence_, q, local_ + "/gone.bin");
    EXPECT_FALSE(r.ok) << "the deleted file stays deleted";
    EXPECT_TRUE(r.last() && r.last()->name == "HRESULT") << (r.last() ? r.last()->raw : "no answer");
    EXPECT_EQ(figure("FileCount"), files);
    EXPECT_EQ(figure("DirectoryCount"), dirs);
    unmount();
    unmounts.insert(last_sequence());
  }
  expect_one_notice_per_request(unmounts);
  // The integrity descriptor counts the root, which DirectoryCount leaves out.
  expect_udfinfo_on_written_slots(
      {"integrity=closed", "numfiles=" + std::to_string(files), "numdirs=" + std::to_string(dirs + 1)});
}

class ArchiveCases : public ArchiveLife {};

// "Volume Type" 1 keeps no parity: an archived file has no parity file
// beside it, also after a restart.
TEST_P(ArchiveCases, VolumeTypeOneArchivesWithoutParityFiles) {
  dwords_.push_back({"Volume Type", 1});
  const Item item{"/p", "f.bin", 3 * kMiB + 5, 1, 2, kTimeBase};
  start_checked();
  archive(item);
  sync("SyncTime");
  for (int round = 0; round < 2; ++round) {
    std::set<std::string> names;
    for (const auto& [name, e] : entries("/p")) names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{"f.bin"})) << "round " << round;
    expect_restored(item);
    sync("SyncPreDeallocate");
    unmount();
    start_checked();
  }
  unmount();
}

// Format of a mounted volume that holds files and folders: everything goes,
// the volume answers the new identity, and a restart mounts it empty with
// that identity.
TEST_P(ArchiveCases, FormatOfAVolumeWithFilesEmptiesIt) {
  start_checked();
  mkdir("/keep/me");
  archive(Item{"/keep", "f.bin", 70000, 1, 2, kTimeBase});
  sync("SyncTime");
  const EngineElement v = ask_one("Format", "KelVolume", {{"VolumeID", "VOL-9"}, {"Replica", "12"}});
  EXPECT_EQ(v.attribute("QuorvelReplica"), "12") << v.raw;
  EXPECT_EQ(v.attribute("QuorvelVolumeID"), "VOL-9") << v.raw;
  EXPECT_EQ(listing("/"), std::set<std::string>{});
  archive(Item{"/after", "g.bin", 2048, 3, 4, kTimeBase});
  sync("SyncTime");
  sync("SyncPreDeallocate");
  unmount();
  start();
  const EngineElement again = ask_one("Check", "KelVolume");
  EXPECT_EQ(again.attribute("QuorvelReplica"), "12") << again.raw;
  EXPECT_EQ(again.attribute("QuorvelVolumeID"), "VOL-9") << again.raw;
  EXPECT_EQ(listing("/"), (std::set<std::string>{"after"}));
  expect_restored(Item{"/after", "g.bin", 2048, 3, 4, kTimeBase});
  unmount();
}

// File times the host gives are kept within the years a timestamp holds
// (1970 to 9999): a time up to 1970-01-01 00:00:00 as the first second after
// it, never as the moment of the Archive; a time after 9999 as the last
// microsecond of 9999. The answer, and a new engine that reads the entries
// from the disc, give those times. The first flush, with the metadata folder
// made, counts the folders and the root in the integrity descriptor.
TEST_P(ArchiveCases, EarlyAndFarTimesAreKeptWithinTheYearsAVolumeHolds) {
  constexpr std::uint64_t kEpoch = 116444736000000000ull, kSecond = 10000000ull;
  constexpr std::uint64_t kYear10000 = (253402300800ull + 11644473600ull) * kSecond;
  const std::string kFirst = "1.0", kLast = "253402300799.999999000";
  const struct {
    Item item;
    std::string creation, modification;
  } cases[] = {
      {{"/t", "early.bin", 100, 1, 2, kEpoch, 1}, kFirst, kFirst},
      {{"/t", "before.bin", 2048, 3, 4, kEpoch - kSecond, kEpoch + kSecond / 2}, kFirst, kFirst},
      {{"/t", "far.bin", 3000, 5, 6, ~0ull, kYear10000}, kLast, kLast},
  };
  start_checked();
  for (const auto& c : cases) {
    const ExchangeResult r = archive(c.item);
    ASSERT_TRUE(r.last() && r.last()->name == "KelArchive") << c.item.name;
    EXPECT_EQ(r.last()->attribute("CreationTime"), c.creation) << r.last()->raw;
    EXPECT_EQ(r.last()->attribute("ModificationTime"), c.modification) << r.last()->raw;
  }
  sync("SyncTime");
  const std::uint64_t dirs = figure("DirectoryCount");
  EXPECT_EQ(dirs, 2u) << "/t and the metadata folder";
  kill_engine();  // the discs as that flush left them
  expect_udfinfo_on_written_slots({"integrity=closed", "numdirs=" + std::to_string(dirs + 1)});

  start_checked(true);
  const auto listed = entries("/t");
  for (const auto& c : cases) {
    const auto e = listed.find(c.item.name);
    ASSERT_NE(e, listed.end()) << c.item.name;
    EXPECT_EQ(e->second.attribute("CreationTime"), c.creation) << e->second.raw;
    EXPECT_EQ(e->second.attribute("ModificationTime"), c.modification) << e->second.raw;
    expect_restored(c.item);
  }
  unmount();
  expect_udfinfo_on_written_slots({"integrity=closed"});
}

INSTANTIATE_TEST_SUITE_P(Media, ArchiveCases,
                         ::testing::Values(Setup{0xE1, "QMR-T300A", true}, Setup{0xE1, "QMR-T300A", false},
                                           Setup{0xE2, "QMR-T300A", true}),
                         setup_name);

INSTANTIATE_TEST_SUITE_P(Media, ArchiveLife,
                         ::testing::Values(Setup{0xE1, "QMR-T300A", true}, Setup{0xE1, "QMR-T300A", false},
                                           Setup{0xE2, "QMR-T300A", true}, Setup{0xE2, "QMR-T300A", false},
                                           Setup{0xF2, "QMR-T400A", true},
                                           Setup{0xF2, "QMR-T400A", false}),
                         setup_name);

}  // namespace
