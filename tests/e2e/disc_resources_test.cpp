// A cartridge used to its end through the real KelDriver: each disc taken
// until its own room or write resources run out, the move to the next
// disc, disc full only when every disc is spent, many Syncs and many files.
#include "foreign_volume.h"
#include "scenario_support.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace e2e {
namespace {

class DiscResources : public Scenario {
 protected:
  // The pseudo-overwrite map entries the loaded disc has left, others kept.
  void leave_map_entries(int slot, std::uint32_t n) {
    kelsim::WriteResources r = view_of(sim_->drive()).discs.at(static_cast<std::size_t>(slot)).pow;
    r.map_entries = n;
    ASSERT_EQ(0u, sim_->drive().set_write_resources(slot, r));
  }
  // Packed writing on an F2h cartridge of small discs, the first with a few
  // hundred pseudo-overwrites to spend, and "/old" archived and synced.
  void start_with_a_synced_file(std::uint8_t slots) {
    make_sim(0xF2, "QMR-T400A", slots, 0x440000);
    ASSERT_NO_FATAL_FAILURE(leave_map_entries(0, 256 + 600));
    dwords_ = {{"Packed Write Mode", 1u}};
    start();
    check_mounts();
    archive_file("/old", 70000, 1);
    sync("SyncTime");
  }
};

// A file written without packing is left out of the flush that makes the
// next disc a member of the volume (on F2h its parity is kept as parity
// information too). When an Archive's own flush finds the disc's resources
// spent at its start and moves to the next disc, the file's entry is written
// by a flush of its own on the new disc: closed without it, the session left
// the file unrecorded, and the unmount found nothing to flush (the file was
// gone after the next mount). Every other file, written before, restores
// too.
TEST_F(DiscResources, AFileTheMoveToTheNextDiscLeftOutIsRecordedOnTheNewDisc) {
  const struct {
    std::uint8_t type;
    const char* product;
    std::uint32_t disc_blocks;
  } media[] = {{0xF2, "QMR-T400A", 0x440000}, {0xE1, "QMR-T300A", 0x90000}};
  for (const auto& m : media) {
    bool moved_in_the_archive = false;
    for (std::uint32_t entries : {258u, 262u, 266u}) {
      SCOPED_TRACE(std::to_string(m.type) + " " + std::to_string(entries));
      make_sim(m.type, m.product, 3, m.disc_blocks);
      dwords_ = {{"Packed Write Mode", 0u}};
      start();
      check_mounts();
      for (int i = 0; i < 6; ++i) archive_file("/m" + std::to_string(i), 2000 + i, 10 + i);
      sync("SyncTime");
      archive_file("/b", 261976, 2);
      sync("SyncTime");
      ASSERT_NO_FATAL_FAILURE(leave_map_entries(0, entries));
      archive_file("/b", 261975, 3);
      moved_in_the_archive |= view_of(sim_->drive()).last_written == 1;
      unmount();
      empty_cache();
      start();
      check_mounts();
      std::set<std::string> names = listing("/");
      names.erase("$QuorvelData");
      EXPECT_EQ(names.size(), 7u);
      for (const auto& [name, bytes] : archived_) expect_restores(name);
      unmount();
      archived_.clear();
    }
    EXPECT_TRUE(moved_in_the_archive) << "no Archive met the end of the first disc's resources on " << int(m.type);
  }
}

// A small change and a Sync, again and again, on a cartridge whose discs
// each have room for many more: every disc is written until its own
// pseudo-overwrite resources are spent, the next disc takes over, and
// disc full (0x80070070) comes only on the last one. Every synced file then
// restores after a new mount with an emptied cache.
TEST_F(DiscResources, EachDiscIsUsedUntilItsOwnResourcesAreSpent) {
  make_sim(0xE1, "QMR-T300A", 3, 0x90000);
  for (int s = 0; s < 3; ++s) ASSERT_NO_FATAL_FAILURE(leave_map_entries(s, 256 + 60));
  dwords_ = {{"Packed Write Mode", 0u}};
  start();
  check_mounts();
  std::vector<int> syncs_on(3, 0);
  std::vector<std::string> synced;
  std::string answer;
  for (int i = 0; i < 200 && answer.empty(); ++i) {
    const int slot = view_of(sim_->drive()).last_written;
    kelsim::ArchiveRequest r;
    r.name = "/f" + std::to_string(i);
    const std::string local = sim_->directory() + "/small";
    std::ofstream(local, std::ios::binary | std::ios::trunc) << std::string(3000, static_cast<char>('a' + i % 26));
    const auto res = engine_->archive(++sequence_, local, r);
    const Attributes sync_attributes{{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}};
    const auto s = res.ok ? ask("Sync", sync_attributes) : std::vector<EngineElement>{};
    const EngineElement* last = res.ok ? (s.empty() ? nullptr : &s.back()) : res.last();
    if (!last || (last->name != "KelSync")) {
      answer = last ? last->name + " " + last->attribute("HRESULT") : "nothing";
      EXPECT_EQ(view_of(sim_->drive()).last_written, 2) << "disc full before the last disc";
      break;
    }
    archived_[r.name] = std::string(3000, static_cast<char>('a' + i % 26));
    synced.push_back(r.name);
    const CartridgeView v = view_of(sim_->drive());
    const int now = v.last_written;
    if (now != slot) {
      // The disc left behind is out of its own resources, the next one whole.
      EXPECT_TRUE(v.resources_spent(slot)) << "slot " << slot;
      EXPECT_EQ(now, slot + 1);
    }
    ++syncs_on[static_cast<std::size_t>(now)];
  }
  EXPECT_EQ(answer, "HRESULT -2147024784") << "the end of the last disc answers disc full";
  for (int s = 0; s < 3; ++s) EXPECT_GE(syncs_on[static_cast<std::size_t>(s)], 5) << "slot " << s;
  std::printf("Syncs of a 3000-byte Archive per disc with 60 pseudo-overwrite map entries: %d, %d, %d\n",
              syncs_on[0], syncs_on[1], syncs_on[2]);
  unmount();
  expect_udfinfo_on_written_slots();
  empty_cache();
  start();
  check_mounts();
  for (const auto& f : synced) expect_restores(f);
  unmount();
}

// 5,000 Syncs of small changes (a folder renamed back and forth, every
// 25th time a small file archived) with the drive's default resources, over
// several discs: the volume then mounts, lists and restores every file, with
// the cache kept and emptied, and its slot images pass udfinfo.
TEST_F(DiscResources, AVolumeAfter5000SyncsMountsListsAndRestoresEveryFile) {
  make_sim(0xE1, "QMR-T300A", 8, kelsim::kDefaultDiscBlocks);
  dwords_ = {{"Packed Write Mode", 0u}};
  start();
  check_mounts();
  mkdir("/r/a");
  std::map<std::string, std::set<std::string>> tree{{"/", {"r", "f"}}, {"/r", {"a"}}};
  for (int i = 0; i < 5000; ++i) {
    if (i % 25 == 0) {
      const std::string name = "g" + std::to_string(i);
      archive_file("/f/" + name, static_cast<std::size_t>(100 + i % 3000), i);
      tree["/f"].insert(name);
    } else {
      const bool there = tree["/r"].count("a") != 0;
      const std::string from = there ? "a" : "b", to = there ? "b" : "a";
      ask_one("RenameDirectory", "KelVolume",
              {{"Name", "/r/" + from}, {"NewName", "/r/" + to}, {"KernelInterface", "0"}, {"BlockNumber", "0"}});
      tree["/r"] = {to};
    }
    if (sync("SyncTime").name != "KelSync") return;
  }
  std::printf("5000 Syncs took the volume to slot %d\n", view_of(sim_->drive()).last_written);
  unmount();
  expect_udfinfo_on_written_slots();
  for (bool emptied : {false, true}) {
    SCOPED_TRACE(emptied ? "cache emptied" : "cache kept");
    start_checked(emptied);
    for (const auto& [folder, names] : tree) {
      std::set<std::string> listed = listing(folder);
      if (folder == "/") listed.erase("$QuorvelData");
      EXPECT_EQ(listed, names) << folder;
    }
    for (const auto& [name, bytes] : archived_) expect_restores(name);
    unmount();
  }
}

// Files of 64 KiB without packed writing, one after another until the
// cartridge is full, on small discs limited by their room, by their own
// write resources or by a "Disc Span Threshold": a disc is left only when
// the next file does not fit in front of its margin, its resources are spent
// or its next writable address is past the threshold, and disc full comes
// only on the last disc. The files then list and restore from a new mount.
TEST_F(DiscResources, FilesOf64KiBFillEachDiscBeforeTheNext) {
  constexpr std::uint32_t kMargin = 0x80000;      // the write policy's margin on E1h
  constexpr std::uint32_t kFileBlocks = 32 + 32;  // body and the parity of its partial stripe
  const struct {
    const char* what;
    std::uint32_t disc_blocks;
    std::uint32_t map_entries;  // 0: the drive's default
    std::uint32_t threshold;    // "Disc Span Threshold", 0: none
  } cases[] = {
      {"room", kMargin + 0x4000, 0, 0},
      {"resources", 0x90000, 256 + 90, 0},
      {"span threshold", 0x90000, 0, 0x3000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    make_sim(0xE1, "QMR-T300A", 3, c.disc_blocks);
    if (c.map_entries) {
      for (int s = 0; s < 3; ++s) ASSERT_NO_FATAL_FAILURE(leave_map_entries(s, c.map_entries));
    }
    dwords_ = {{"Packed Write Mode", 0u}};
    if (c.threshold) dwords_.push_back({"Disc Span Threshold", c.threshold});
    start();
    check_mounts();
    auto spent = [&](const CartridgeView& v, int s) {
      const std::uint32_t room = v.disc_blocks - v.used_blocks(s);
      return v.resources_spent(s) || room < kMargin + kFileBlocks + 0x100 ||
             (c.threshold && v.used_blocks(s) > c.threshold);
    };
    std::vector<int> files_on(3, 0);
    std::string end;
    int n = 0;
    for (; n < 2000 && end.empty(); ++n) {
      const int slot = view_of(sim_->drive()).last_written;
      const std::string name = "/d" + std::to_string(n / 100) + "/f" + std::to_string(n);
      const std::string data(65536, static_cast<char>(n));
      const std::string local = sim_->directory() + "/64k";
      std::ofstream(local, std::ios::binary | std::ios::trunc) << data;
      kelsim::ArchiveRequest r;
      r.name = name;
      const auto res = engine_->archive(++sequence_, local, r);
      if (!res.ok) {
        end = res.last() ? res.last()->attribute("HRESULT") : res.error;
        const CartridgeView v = view_of(sim_->drive());
        EXPECT_EQ(v.last_written, 2) << "disc full before the last disc";
        EXPECT_TRUE(spent(v, 2)) << "disc full with room on the last disc";
        break;
      }
      archived_[name] = data;
      const CartridgeView v = view_of(sim_->drive());
      const int now = v.last_written;
      if (now != slot) {
        EXPECT_TRUE(spent(v, slot)) << "slot " << slot << " left with room and resources";
        // The threshold counts from the partition's start, a few thousand
        // blocks into the disc: the disc is left there, far before its margin.
        if (c.threshold) {
          EXPECT_LT(v.used_blocks(slot), c.threshold + 0x2000) << "slot " << slot;
        }
      }
      ++files_on[static_cast<std::size_t>(now)];
      if (n % 50 == 49) sync("SyncTime");
    }
    EXPECT_EQ(end, "-2147024784") << "the end of the last disc answers disc full";
    std::printf("64 KiB files per disc (%s): %d, %d, %d\n", c.what, files_on[0], files_on[1], files_on[2]);
    unmount();
    expect_udfinfo_on_written_slots();
    empty_cache();
    start();
    check_mounts();
    std::size_t listed = 0;
    for (int folder = 0; folder <= n / 100; ++folder)
      for (const auto& name : listing("/d" + std::to_string(folder)))
        listed += archived_.count("/d" + std::to_string(folder) + "/" + name);
    EXPECT_EQ(listed, archived_.size());
    for (int i = 0; i < n; i += 37) expect_restores("/d" + std::to_string(i / 100) + "/f" + std::to_string(i));
    unmount();
    archived_.clear();
  }
}

// Files answered as archived while they still wait in a packed session,
// when the last disc runs out of write resources before the session ends
// (F2h, one disc). The session's end wrote none of their data (the writer
// took the disc for full) and rebuilt them empty; the volume was read-only
// by then, so their removal failed too, and the host saw a file it was
// answered with 256,384 bytes listed, restored and, after a remount,
// stored with 0 bytes. Whatever request ends the session, the files keep
// their bytes: in the listing, in a Restore and after a remount with the
// cache emptied; the request that meets the full cartridge answers disc
// full (0x80070070).
TEST_F(DiscResources, FilesWaitingInAPackedSessionOutliveTheLastDiscsEndOfResources) {
  const std::string kDiscFull = std::to_string(std::int32_t(0x80070070));
  const Attributes sync_time{{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}};
  const struct {
    const char* ends_with;
    std::string opcode;  // empty: an unmount
    Attributes attributes;
  } cases[] = {
      {"Sync", "Sync", sync_time},
      {"Delete of a synced file",
       "Delete",
       {{"Name", "/old"}, {"Generation", "0"}, {"Version", "0"}, {"KernelInterface", "0"}, {"BlockNumber", "0"}}},
      {"unmount", "", {}},
  };
  const std::map<std::string, std::size_t> waiting{{"/w1", 256384}, {"/d/w2", 3000}, {"/w3", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ends_with);
    ASSERT_NO_FATAL_FAILURE(start_with_a_synced_file(1));
    int seed = 2;
    for (const auto& [name, bytes] : waiting) archive_file(name, bytes, seed++);
    ASSERT_NO_FATAL_FAILURE(leave_map_entries(0, 256));
    if (!c.opcode.empty()) {
      const auto answers = ask(c.opcode, c.attributes);
      ASSERT_FALSE(answers.empty());
      EXPECT_EQ(answers.back().attribute("HRESULT"), kDiscFull) << answers.back().raw;
      auto sizes = listed_sizes("/");
      const auto in_d = listed_sizes("/d");
      for (const auto& [name, size] : in_d) sizes["d/" + name] = size;
      for (const auto& [name, bytes] : waiting) {
        EXPECT_EQ(sizes[name.substr(1)], bytes) << name << " as the running engine lists it";
        expect_restores(name);
      }
    }
    unmount();
    expect_udfinfo_on_written_slots();
    empty_cache();
    start();
    check_mounts();
    for (const auto& [name, bytes] : archived_) expect_restores(name);
    unmount();
    archived_.clear();
  }
}

// A Sync whose packed session meets the end of the first disc's write
// resources moves to the next disc, and the tree is flushed on the first
// disc before the move while files of the session still wait (their data is
// not all written): that flush leaves them out, and records what else
// changed (the folder one of them made). A power cut of the drive at the
// first command to the next disc, the engine killed with it, leaves the
// first disc's tree: the synced file and the files of a session that ended
// before restore byte for byte, and a waiting file is whole or absent,
// never an entry over data that was not written. That mount finds the first
// disc closed for writing and short of resources and moves on to the next
// one: the descriptors it writes there are open for writing (the first
// Archive unlinks them; killed then, the next disc, the last one, had read
// as soft write-protected, and so read-only).
TEST_F(DiscResources, APowerCutAtTheMoveInAPackedSyncLeavesTheWaitingFilesWholeOrAbsent) {
  const Attributes sync_time{{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}};
  const std::map<std::string, std::size_t> waiting{{"/w1", 256384}, {"/d/w2", 3000}};
  for (const bool emptied : {false, true}) {
    SCOPED_TRACE(emptied ? "cache emptied" : "cache kept");
    ASSERT_NO_FATAL_FAILURE(start_with_a_synced_file(2));
    archive_file("/ended", 3000, 2);
    archive_file("/old", 90000, 3);  // the Archive of a file that exists ends the session
    int seed = 4;
    for (const auto& [name, bytes] : waiting) archive_file(name, bytes, seed++);
    ASSERT_NO_FATAL_FAILURE(leave_map_entries(0, 256));
    const std::string line = kelsim::request_line(++sequence_, "Sync", sync_time);
    ASSERT_TRUE(kill_during_request(0, [&] { engine_->request(line, ends_request); }, nullptr, std::nullopt, 1))
        << "the Sync did not move to the next disc";
    sim_->drive().power_cut(0);
    ASSERT_EQ(0u, sim_->drive().flush());
    expect_udfinfo_on_slots_up_to(0);
    if (emptied) empty_cache();
    start();
    check_mounts();
    EXPECT_EQ(listing("/").count("d"), 1u) << "the folder a waiting file made";
    for (const char* name : {"/old", "/ended"}) expect_restores(name);
    auto sizes = listed_sizes("/");
    for (const auto& [name, size] : listed_sizes("/d")) sizes["d/" + name] = size;
    for (const auto& [name, bytes] : waiting) {
      if (!sizes.count(name.substr(1))) continue;
      EXPECT_EQ(sizes[name.substr(1)], bytes) << name;
      expect_restores(name);
    }
    archive_file("/after", 5000, 9);
    kill_engine();
    ASSERT_EQ(0u, sim_->drive().flush());
    expect_udfinfo_on_written_slots();
    start();
    check_mounts();
    archive_file("/later", 3000, 10);
    sync("SyncTime");
    expect_restores("/later");
    unmount();
    archived_.clear();
  }
}

// The drive fails every ask for the track's next writable address at one
// point of the flush a packed Sync makes on the first disc before it moves
// to the next (inside the track controls), or the first ask once the next
// disc is begun: a volume turned read-only stays on its disc, for the next
// disc would get descriptors linked to no tree, and what the running engine
// writes after the failure is numbered where it lies. A new engine that
// mounts from the discs alone finds every synced file whole, and the volume
// takes new files.
TEST_F(DiscResources, ATrackReadFailingBeforeTheMoveToTheNextDiscLeavesAMountableVolume) {
  const Attributes sync_time{{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}};
  for (int at = 0;; ++at) {
    SCOPED_TRACE("READ TRACK INFORMATION " + std::to_string(at) + " of the moving Sync fails");
    ASSERT_NO_FATAL_FAILURE(start_with_a_synced_file(2));
    archive_file("/a", 120000, 2);
    ASSERT_NO_FATAL_FAILURE(leave_map_entries(0, 256));
    kelsim::FaultRule fails = kelsim::command_fails(0x52, {0x04, 0x44, 0x00});
    fails.skip = at;
    fails.times = 3;  // the first ask and those after it
    const int id = sim_->drive().add_fault(fails);
    const std::vector<EngineElement> answer = ask("Sync", sync_time);
    const bool fired = sim_->drive().fault_fired(id) > 0;
    sim_->drive().remove_fault(id);
    // The first failure that comes once the next disc is begun ends the run.
    const bool began = view_of(sim_->drive()).used_blocks(1) > 0;
    const bool synced = !answer.empty() && answer.back().name == "KelSync";
    SCOPED_TRACE("the Sync answered " + (answer.empty() ? std::string("nothing") : answer.back().raw));
    // A file its failed Sync may have dropped is whole where it is listed.
    const std::string a = archived_["/a"];
    if (!synced) archived_.erase("/a");
    const EngineElement info = ask_one("GetVolumeInfo", "KelVolume");
    if (number(info, "WriteProtectReason") == 0) {
      archive_file("/b", 90000, 3);
      sync("SyncTime");
    }
    unmount();
    expect_udfinfo_on_written_slots();
    empty_cache();
    start();
    check_mounts();
    if (!synced && listing("/").count("a")) archived_["/a"] = a;
    for (const auto& [name, bytes] : archived_) expect_restores(name);
    archive_file("/after", 5000, 9);
    sync("SyncTime");
    expect_restores("/after");
    unmount();
    expect_udfinfo_on_written_slots();
    ASSERT_TRUE(fired) << "the Sync asked for the track fewer than " << at + 1 << " times, and did not move";
    archived_.clear();
    if (began || HasFatalFailure()) break;
  }
}

// A Sync whose packed session moves the volume to the next disc while every
// SYNCHRONIZE CACHE on that disc fails from the first, the second, ... on:
// the Sync answers the failure, the drive then loses power with nothing of
// its cache kept, and the engine is killed. The drive names the next disc
// the last written one as soon as anything was written to it, though its
// format may never have reached the medium; the first disc still holds the
// tree of the last good Sync. A new engine mounts that tree (every synced
// file restores); it takes new files, or, when the next disc holds no
// format of this system's (and the first is closed for writing), answers
// them write-protected and leaves that disc as it was.
TEST_F(DiscResources, AMoveWhoseSyncsFailOnTheNextDiscLeavesTheLastSyncedTreeMountable) {
  const Attributes sync_time{{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}};
  bool refused_once = false;
  for (int good = 0;; ++good) {
    SCOPED_TRACE(std::to_string(good) + " good syncs on the next disc before the burst");
    ASSERT_NO_FATAL_FAILURE(start_with_a_synced_file(2));
    archive_file("/a", 120000, 2);
    ASSERT_NO_FATAL_FAILURE(leave_map_entries(0, 256));
    kelsim::FaultRule burst = kelsim::command_fails(0x35, {0x03, 0x0C, 0x00});
    burst.slot = 1;
    burst.skip = good;
    const int id = sim_->drive().add_fault(burst);
    const std::vector<EngineElement> answer = ask("Sync", sync_time);
    const bool fired = sim_->drive().fault_fired(id) > 0;
    sim_->drive().remove_fault(id);
    const bool synced = !answer.empty() && answer.back().name == "KelSync";
    SCOPED_TRACE("the Sync answered " + (answer.empty() ? std::string("nothing") : answer.back().raw));
    sim_->drive().power_cut(0);
    kill_engine();
    ASSERT_EQ(0u, sim_->drive().flush());
    // A file its failed Sync may have dropped is whole where it is listed.
    const std::string a = archived_["/a"];
    if (!synced) archived_.erase("/a");
    const std::size_t mark = sim_->service().transcript().size();
    start();
    ASSERT_NO_FATAL_FAILURE(check_mounts());
    if (!synced && listing("/").count("a")) archived_["/a"] = a;
    for (const auto& [name, bytes] : archived_) expect_restores(name);
    if (number(ask_one("GetVolumeInfo", "KelVolume"), "WriteProtectReason") == 0) {
      archive_file("/after", 5000, 9);
      sync("SyncTime");
      expect_restores("/after");
      unmount();
      expect_udfinfo_on_written_slots();
    } else {
      refused_once = true;
      EXPECT_FALSE(try_archive_file("/after", 5000, 9).ok) << "a write-protected volume took a file";
      unmount();
      int slot = -1;
      const auto t = sim_->service().transcript();
      for (std::size_t i = mark; i < t.size(); ++i) {
        if (is_slot_load(t[i])) slot = loaded_slot_of(t[i]);
        EXPECT_FALSE(slot == 1 && writes_disc(t[i])) << "sent to slot 1: " << t[i].line();
      }
      expect_udfinfo_on_slots_up_to(0);
    }
    archived_.clear();
    if (!fired || HasFatalFailure()) break;
  }
  EXPECT_TRUE(refused_once) << "no burst left the next disc without a format of its own";
}

}  // namespace
}  // namespace e2e
