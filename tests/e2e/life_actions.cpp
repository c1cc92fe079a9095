// The standard actions of a cartridge's life, one row each.
#include "life_support.h"

#include <iterator>
#include <set>

namespace e2e::life {
namespace {

std::string parent_of(const std::string& path) {
  const std::size_t p = path.rfind('/');
  return p == 0 || p == std::string::npos ? "/" : path.substr(0, p);
}

// The host's generation and version of every file of a life.
Attributes versioned(Attributes a) {
  a.insert(a.end(), {{"KernelInterface", "0"}, {"BlockNumber", "0"}});
  return a;
}

Attributes rename_attributes(const std::string& from, const std::string& to) {
  return versioned({{"Name", kelsim::escape_name(from)},
                    {"NewName", kelsim::escape_name(to)},
                    {"OldGeneration", "1"},
                    {"OldVersion", "1"},
                    {"NewGeneration", "1"},
                    {"NewVersion", "1"}});
}

Attributes delete_attributes(const std::string& path) {
  return versioned({{"Name", kelsim::escape_name(path)}, {"Generation", "1"}, {"Version", "1"}});
}

Attributes folder_attributes(const std::string& path) { return versioned({{"Name", kelsim::escape_name(path)}}); }

// ---------------------------------------------------------------- the trees each change makes

Tree with_file(const Tree& t, const std::string& path, const Content& c) {
  Tree n = t;
  n.files[path] = c;
  n.add_dirs(parent_of(path));
  return n;
}

Tree renamed(const Tree& t, const std::string& from, const std::string& to) {
  Tree n = t;
  const Content c = n.files.at(from);
  n.files.erase(from);
  n.files[to] = c;
  n.add_dirs(parent_of(to));
  return n;
}

Tree without(const Tree& t, const std::string& path) {
  Tree n = t;
  n.files.erase(path);
  return n;
}

Tree folder_renamed(const Tree& t, const std::string& from, const std::string& to) {
  auto moved = [&](const std::string& p) { return p == from || p.rfind(from + "/", 0) == 0 ? to + p.substr(from.size()) : p; };
  Tree n;
  for (const auto& [p, c] : t.files) n.files[moved(p)] = c;
  for (const auto& d : t.dirs) n.dirs.insert(moved(d));
  n.add_dirs(parent_of(to));
  return n;
}

Tree with_folder(const Tree& t, const std::string& path) {
  Tree n = t;
  n.add_dirs(path);
  return n;
}

// A file to write: one of the tree's now and then, else a new one (in an
// existing folder once the cartridge is full: a failed Archive leaves no
// folder behind to track).
std::string archive_target(Life& l) {
  if (!l.current().files.empty() && l.chance(25)) return l.random_file();
  return l.new_path(!l.full());
}

std::string new_folder(Life& l) { return l.new_path(true) + "d"; }

// ---------------------------------------------------------------- actions

void archive(Life& l) {
  const std::string path = archive_target(l);
  const Content c = l.new_content();
  l.note("archive " + path + " " + std::to_string(c.size) + (l.packed() ? " packed" : ""));
  if (l.archive(path, c)) l.changed(with_file(l.current(), path, c));
}

void sync(Life& l) { l.sync_now(); }

void read_directory(Life& l) { l.expect_listing(l.random_folder()); }

void restore(Life& l) {
  const std::string path = l.random_file();
  l.note("restore " + path);
  l.expect_file(path, l.current().files.at(path));
}

void rename(Life& l) {
  const std::string from = l.random_file(), to = l.new_path(!l.full());
  l.note("rename " + from + " to " + to);
  if (l.volume_request("Rename", rename_attributes(from, to))) l.changed(renamed(l.current(), from, to));
}

void remove(Life& l) {
  const std::string path = l.random_file();
  l.note("delete " + path);
  if (l.volume_request("Delete", delete_attributes(path))) l.changed(without(l.current(), path));
}

void create_directory(Life& l) {
  const std::string path = new_folder(l);
  l.note("create directory " + path);
  if (l.volume_request("CreateDirectory", folder_attributes(path))) l.changed(with_folder(l.current(), path));
}

void remount(Life& l) { l.remount(l.chance(50), l.chance(50)); }

// A kill at a random drive command of a random request, or while idle.
void kill(Life& l) {
  const std::size_t at = l.pick(160);
  const Tree& t = l.current();
  switch (l.pick(t.files.empty() ? 3 : 6)) {
    case 0: {
      const std::string path = archive_target(l);
      const Content c = l.new_content();
      l.note("kill at command " + std::to_string(at) + " of archive " + path + " " + std::to_string(c.size));
      // The folders an Archive makes for its file are made (and may be
      // flushed) before the file.
      l.kill_during(at, [&] { l.send_archive(path, c); }, {with_folder(t, parent_of(path)), with_file(t, path, c)});
      return;
    }
    case 1:
      l.note("kill at command " + std::to_string(at) + " of a sync");
      l.kill_during(at, [&] { l.send_request("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"},
                                                      {"Bytes", "0"}, {"Generation", "0"}}); }, {});
      return;
    case 2: {
      const std::string path = new_folder(l);
      l.note("kill at command " + std::to_string(at) + " of create directory " + path);
      l.kill_during(at, [&] { l.send_request("CreateDirectory", folder_attributes(path)); }, {with_folder(t, path)});
      return;
    }
    case 3: {
      const std::string from = l.random_file(), to = l.new_path(true);
      l.note("kill at command " + std::to_string(at) + " of rename " + from + " to " + to);
      l.kill_during(at, [&] { l.send_request("Rename", rename_attributes(from, to)); },
                    {with_folder(t, parent_of(to)), renamed(t, from, to)});
      return;
    }
    case 4: {
      const std::string path = l.random_file();
      l.note("kill at command " + std::to_string(at) + " of delete " + path);
      l.kill_during(at, [&] { l.send_request("Delete", delete_attributes(path)); }, {without(t, path)});
      return;
    }
    default:
      l.note("kill while idle");
      l.kill_during(0, nullptr, {});
  }
}

// One of the files that may still wait in the packed session, at random.
std::string waiting_file(Life& l) {
  const std::set<std::string> w = l.maybe_waiting();
  auto it = w.begin();
  std::advance(it, static_cast<long>(l.pick(w.size())));
  return *it;
}

// A new name for a folder beside it, never inside it.
std::string sibling_of(Life& l, const std::string& folder) {
  const std::string parent = parent_of(folder);
  for (;;) {
    const std::string to = (parent == "/" ? "" : parent) + "/m" + std::to_string(l.pick(1000000));
    if (!l.current().dirs.count(to) && !l.current().files.count(to)) return to;
  }
}

struct Move {
  std::string opcode;
  Attributes attributes;
  Tree after;
  std::string what;
};

// A rename or delete of a file that may wait in the packed session, or a
// rename of its folder: the session ends first.
Move waiting_move(Life& l) {
  const std::string path = waiting_file(l), folder = parent_of(path);
  const Tree& t = l.current();
  const std::uint64_t roll = l.pick(4);
  if (roll == 0) return {"Delete", delete_attributes(path), without(t, path), "delete waiting " + path};
  if (roll == 1 && folder != "/") {
    const std::string to = sibling_of(l, folder);
    return {"RenameDirectory", versioned({{"Name", kelsim::escape_name(folder)}, {"NewName", kelsim::escape_name(to)}}),
            folder_renamed(t, folder, to), "rename the folder " + folder + " of waiting " + path + " to " + to};
  }
  const std::string to = l.new_path(!l.full());
  return {"Rename", rename_attributes(path, to), renamed(t, path, to), "rename waiting " + path + " to " + to};
}

// A folder of the tree moved to a new name, now and then in a new folder
// (the move makes it first), never below itself.
Move folder_move(Life& l) {
  const Tree& t = l.current();
  auto it = t.dirs.begin();
  std::advance(it, static_cast<long>(l.pick(t.dirs.size())));
  const std::string from = *it;
  std::string to = new_folder(l);
  while (to.rfind(from + "/", 0) == 0) to = new_folder(l);
  return {"RenameDirectory", versioned({{"Name", kelsim::escape_name(from)}, {"NewName", kelsim::escape_name(to)}}),
          folder_renamed(t, from, to), "rename the folder " + from + " to " + to};
}

void move_waiting(Life& l) {
  Move m = waiting_move(l);
  l.note(m.what);
  if (l.volume_request(m.opcode, m.attributes)) l.changed(std::move(m.after));
}

// The requests a drive fault meets, noted after `what`, and the trees they
// make when they succeed.
Life::FaultedRequest faulted_archive(Life& l, const std::string& what) {
  const std::string path = archive_target(l);
  const Content c = l.new_content();
  l.note(what + "archive " + path + " " + std::to_string(c.size));
  return {[&l, path, c] { return l.send_archive(path, c).answers; }, "KelArchive", with_file(l.current(), path, c)};
}

Life::FaultedRequest faulted_sync(Life& l, const std::string& what) {
  l.note(what + "a sync");
  return {[&l] {
            return l.send_request("Sync",
                                  {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
          },
          "KelSync", l.current()};
}

Life::FaultedRequest faulted_move(Life& l, const std::string& what, Move m) {
  l.note(what + m.what);
  return {[&l, m] { return l.send_request(m.opcode, m.attributes); }, "KelVolume", m.after};
}

// A burst of failing WRITE(10) or SYNCHRONIZE CACHE from a random command
// of an Archive, a Sync, or a move that ends the packed session (up to the
// request's end); then the drive is good again. Some WRITE bursts begin
// only after the request's first good sync: a session's end has synced
// its data, and the flush that names it fails.
void drive_fault(Life& l) {
  const std::uint8_t opcode = l.chance(50) ? 0x2A : 0x35;
  kelsim::FaultRule rule = kelsim::command_fails(opcode, kelsim::Sense{3, 0x0C, 0});
  // The longest bursts last until the request ends: every retry of a
  // descriptor's write fails.
  rule.times = 1 + static_cast<int>(l.pick(12));
  if (rule.times == 12) rule.times = -1;
  rule.skip = static_cast<int>(l.pick(3));
  const bool after_sync = opcode == 0x2A && l.chance(33);
  const std::string burst = (rule.times < 0 ? std::string("all") : std::to_string(rule.times)) + " failing " +
                            (opcode == 0x2A ? "WRITE" : "SYNCHRONIZE CACHE") + " after " +
                            std::to_string(rule.skip) + " good ones" +
                            (after_sync ? " from the first good SYNCHRONIZE CACHE" : "") + ", during ";
  const std::uint64_t roll = l.pick(l.maybe_waiting().empty() ? 2 : 3);
  l.through_drive_fault(rule,
                        roll == 0   ? faulted_archive(l, burst)
                        : roll == 1 ? faulted_sync(l, burst)
                                    : faulted_move(l, burst, waiting_move(l)),
                        after_sync);
}

// Every SYNCHRONIZE CACHE fails from a random command of an Archive or a
// Sync to its end (the integrity descriptor it writes may be lost with the
// drive's cache), and the engine is killed before anything writes it again.
void drive_fault_then_kill(Life& l) {
  kelsim::FaultRule rule = kelsim::command_fails(0x35, kelsim::Sense{3, 0x0C, 0});
  rule.times = -1;
  rule.skip = static_cast<int>(l.pick(3));
  const std::string burst = "all failing SYNCHRONIZE CACHE after " + std::to_string(rule.skip) + " good ones, during ";
  l.kill_after_drive_fault(rule, l.chance(50) ? faulted_archive(l, burst) : faulted_sync(l, burst));
}

// The drive loses power at a random command of an Archive, a Sync, a
// Delete, a Rename or a RenameDirectory (none of them perhaps: the request
// ends first) and comes back; the same engine goes on.
void live_power_cut(Life& l) {
  kelsim::FaultRule rule = kelsim::power_cut_at(std::nullopt, l.chance(50) ? 0 : static_cast<std::uint32_t>(l.pick(512)));
  // Deletes, renames and packed archives take a few commands, Syncs many.
  rule.skip = static_cast<int>(l.pick(l.chance(50) ? 12 : 96));
  rule.times = 1;
  const std::string where = "live power cut (" + std::to_string(rule.keep_blocks) + " cached blocks kept) at command " +
                            std::to_string(rule.skip) + " of ";
  const Tree& t = l.current();
  const std::uint64_t roll = l.pick(t.files.empty() ? 2 : t.dirs.empty() || l.full() ? 4 : 5);
  if (roll < 2) {
    l.through_drive_fault(rule, roll == 0 ? faulted_archive(l, where) : faulted_sync(l, where));
    return;
  }
  if (roll == 4) {
    l.through_drive_fault(rule, faulted_move(l, where, folder_move(l)));
    return;
  }
  const std::string path = l.random_file();
  if (roll == 2) {
    l.through_drive_fault(rule, faulted_move(l, where, {"Delete", delete_attributes(path), without(t, path), "delete " + path}));
    return;
  }
  const std::string to = l.new_path(!l.full());
  // A rename into a new folder makes the folder first.
  l.through_drive_fault(rule, faulted_move(l, where, {"Rename", rename_attributes(path, to), renamed(t, path, to),
                                                      "rename " + path + " to " + to}));
}

bool has_files(Life& l) { return !l.current().files.empty(); }
bool has_waiting(Life& l) { return l.packed() && !l.maybe_waiting().empty(); }
bool has_room(Life& l) { return !l.full(); }

void power_cut(Life& l) {
  const std::size_t at = l.pick(160);
  const auto keep = static_cast<std::uint32_t>(l.chance(50) ? 0 : l.pick(512));
  const std::string where = "power cut (" + std::to_string(keep) + " cached blocks kept) at command " +
                            std::to_string(at) + " of ";
  if (l.pick(2) == 0) {
    const std::string path = archive_target(l);
    const Content c = l.new_content();
    l.note(where + "archive " + path + " " + std::to_string(c.size));
    l.kill_during(at, [&] { l.send_archive(path, c); },
                  {with_folder(l.current(), parent_of(path)), with_file(l.current(), path, c)}, keep);
    return;
  }
  l.note(where + "a sync");
  l.kill_during(at, [&] { l.send_request("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"},
                                                  {"Bytes", "0"}, {"Generation", "0"}}); }, {}, keep);
}

}  // namespace

LifeAction power_cut_action() { return {"PowerCut", 4, nullptr, power_cut}; }

LifeAction drive_fault_kill_action() { return {"DriveFaultKill", 1, nullptr, drive_fault_then_kill}; }

LifeAction unreadable_mount_action() {
  return {"UnreadableMount", 1, nullptr, [](Life& l) { l.remount_with_unreadable_block(); }};
}

std::vector<LifeAction> standard_actions() {
  return {
      {"Archive", 30, nullptr, archive},
      {"Sync", 14, nullptr, sync},
      {"ReadDirectory", 8, nullptr, read_directory},
      {"Restore", 8, has_files, restore},
      {"Rename", 5, has_files, rename},
      {"Delete", 5, has_files, remove},
      {"CreateDirectory", 4, has_room, create_directory},
      {"Remount", 3, nullptr, remount},
      {"Kill", 5, nullptr, kill},
      {"MoveWaiting", 6, has_waiting, move_waiting},
      {"DriveFault", 2, nullptr, drive_fault},
      {"LivePowerCut", 3, nullptr, live_power_cut},
  };
}

}  // namespace e2e::life
