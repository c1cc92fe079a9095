// The cost of a Sync of a small change on a write-once cartridge: a small
// Archive and a "SyncTime", again and again, through the real KelDriver on
// an E1h cartridge of the drive's default discs and write resources. The
// blocks written and the pseudo-overwrites per Sync beside the blocks the
// change itself needs (the file's bytes), and the Syncs a disc then holds,
// with what limits them: its room up to the write margin, its map entries
// or its map updates (the media-resource floors 256 and 100).
#include "e2e.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

namespace e2e {

namespace {

constexpr std::uint32_t kMarginBlocks = 0x80000;  // E1h write margin of a disc
constexpr std::uint32_t kInitialBlocks = 0x1140;  // the formatted volume before any file
constexpr std::uint32_t kMapFloor = 256, kUpdateFloor = 100;

struct Costs {
  double blocks = 0, map_entries = 0, updates = 0;
};

// Blocks written and resources used per Archive of `bytes` bytes over
// `cycles` Archives with a Sync after every `sync_every`-th, on disc 0
// (packed writing off).
Costs measure(const Settings& s, std::uint64_t bytes, unsigned cycles, unsigned sync_every) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = 0xE1;
  o.drive.product = "QMR-T300A";
  o.parent_directory = s.dir;
  kelsim::SimHarness sim(o);
  kelsim::EngineProcessOptions eo;
  eo.program = s.program;
  eo.registry_dwords = {{"Packed Write Mode", 0}};
  eo.deadline = std::chrono::minutes(60);
  kelsim::EngineProcess engine(sim, eo);
  if (!engine.started()) die("cannot start " + s.program + ": " + engine.error());
  std::uint64_t seq = 0;
  must(engine, ++seq, "Check", {}, "KelVolume");
  const std::string local = sim.directory() + "/small";
  std::ofstream(local, std::ios::binary | std::ios::trunc) << std::string(bytes, 'x');
  auto disc0 = [&] {
    kelsim::Disc d;
    int loaded = 0;
    sim.drive().inspect([&](kelsim::Cartridge& k) {
      d = k.disc(0);
      loaded = k.loaded_slot;
    });
    if (loaded != 0) die("the cycles left disc 0");
    return d;
  };
  const kelsim::Disc before = disc0();
  for (unsigned i = 0; i < cycles; ++i) {
    kelsim::ArchiveRequest a;
    a.name = "/f" + std::to_string(i);
    if (!engine.archive(++seq, local, a).ok) die("archive " + a.name + " failed");
    if ((i + 1) % sync_every != 0) continue;
    must(engine, ++seq, "Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}},
         "KelSync");
  }
  const kelsim::Disc after = disc0();
  Costs c;
  c.blocks = static_cast<double>(after.tracks.front().nwa - before.tracks.front().nwa) / cycles;
  c.map_entries = static_cast<double>(before.pow.map_entries - after.pow.map_entries) / cycles;
  c.updates = static_cast<double>(before.pow.updates - after.pow.updates) / cycles;
  unmount(engine, ++seq);
  return c;
}

// What a disc holds of one kind of step: by its room up to the margin, by
// its map entries, by its map updates; the least, and which it is.
void per_disc(const char* name, const Costs& c, bool tiny) {
  const kelsim::WriteResources fresh = kelsim::default_write_resources(0xE1);
  const double by_room = (kelsim::kDefaultDiscBlocks - kMarginBlocks - kInitialBlocks) / std::max(c.blocks, 1.0);
  const double by_map = (fresh.map_entries - kMapFloor) / std::max(c.map_entries, 1e-9);
  const double by_updates = (fresh.updates - kUpdateFloor) / std::max(c.updates, 1e-9);
  const double least = std::min({by_room, by_map, by_updates});
  const char* limit = least == by_room ? "room" : least == by_map ? "map entries" : "map updates";
  char note[160];
  std::snprintf(note, sizeof note, "limited by %s (room %.0f, map entries %.0f, updates %.0f)", limit, by_room,
                by_map, by_updates);
  report({name, "steps", least, by_room, "steps", 0, false, false, note}, tiny);
}

}  // namespace

void sync_figures(const Settings& s) {
  const std::uint64_t bytes = 3000;
  const Costs c = measure(s, bytes, s.tiny ? 5 : 100, 1);
  const double change_blocks = static_cast<double>((bytes + 2047) / 2048);
  report({"sync-blocks-per-small-change", "blocks", c.blocks, change_blocks, "", 0, false, true,
          "an Archive of 3000 bytes and a Sync, beside the file's own blocks"},
         s.tiny);
  report({"sync-pseudo-overwrites", "rewrites", c.updates, change_blocks, "blocks", 0, false, true,
          "map updates per Archive and Sync, beside the file's own blocks"},
         s.tiny);
  per_disc("syncs-per-disc", c, s.tiny);
  const Costs f = measure(s, 65536, s.tiny ? 10 : 200, 50);
  report({"file-64k-blocks", "blocks", f.blocks, 32, "", 0, false, true,
          "an Archive of 64 KiB (a Sync every 50), beside the file's own blocks"},
         s.tiny);
  per_disc("files-64k-per-disc", f, s.tiny);
}

}  // namespace e2e
