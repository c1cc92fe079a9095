#include "life_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace e2e::life {
namespace {

constexpr const char* kDiscFull = "-2147024784";  // 0x80070070
constexpr const char* kMetaFolder = "$QuorvelData";
constexpr std::size_t kLogLines = 2000;
// Room a disc may keep beyond its margin and still count as spent: a
// large archive with its parity and a flush round do not fit there.
constexpr std::uint32_t kSpentSlack = 0x4000;

std::uint64_t splitmix(std::uint64_t& s) {
  std::uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::string parent_of(const std::string& path) {
  const std::size_t p = path.rfind('/');
  return p == 0 || p == std::string::npos ? "/" : path.substr(0, p);
}

std::string leaf_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string join(const std::string& folder, const std::string& leaf) {
  return folder == "/" ? "/" + leaf : folder + "/" + leaf;
}

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtoull(v, nullptr, 0) : fallback;
}

// Paths and sizes of a tree, the contents left out.
std::map<std::string, std::uint64_t> shape(const Tree& t) {
  std::map<std::string, std::uint64_t> s;
  for (const auto& [p, c] : t.files) s[p] = c.size;
  for (const auto& d : t.dirs) s[d + "/"] = 0;
  return s;
}

std::string describe_shape(const Tree& t) {
  std::ostringstream o;
  for (const auto& [p, size] : shape(t)) o << "  " << p << " " << size << "\n";
  return o.str();
}

// What one tree has that the other has not (paths with their sizes).
std::string difference(const Tree& seen, const Tree& expected) {
  const auto a = shape(seen), b = shape(expected);
  std::ostringstream o;
  for (const auto& [p, size] : a)
    if (auto i = b.find(p); i == b.end() || i->second != size) o << "  seen only: " << p << " " << size << "\n";
  for (const auto& [p, size] : b)
    if (auto i = a.find(p); i == a.end() || i->second != size) o << "  expected only: " << p << " " << size << "\n";
  return o.str();
}

}  // namespace

std::string bytes_of(const Content& c) {
  std::string out(c.size, '\0');
  std::uint64_t s = c.seed;
  for (std::size_t i = 0; i < out.size(); i += 8) {
    const std::uint64_t v = splitmix(s);
    for (std::size_t k = 0; k < 8 && i + k < out.size(); ++k) out[i + k] = static_cast<char>(v >> (8 * k));
  }
  return out;
}

std::set<std::string> Tree::children(const std::string& folder) const {
  std::set<std::string> out;
  for (const auto& [p, c] : files)
    if (parent_of(p) == folder) out.insert(leaf_of(p));
  for (const auto& d : dirs)
    if (parent_of(d) == folder) out.insert(leaf_of(d));
  return out;
}

void Tree::add_dirs(const std::string& folder) {
  for (std::string f = folder; f != "/"; f = parent_of(f)) dirs.insert(f);
}

// ---------------------------------------------------------------- the run

std::uint64_t Life::seed_from_environment(std::uint64_t fallback) {
  const char* v = std::getenv("KEL_LIFE_SEED");
  if (!v || !*v) return fallback;
  if (std::string(v) != "random") return std::strtoull(v, nullptr, 0);
  return std::random_device{}() * 0x100000001ull ^
         static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

void Life::start_life(const LifeMedium& medium, std::uint64_t seed) {
  medium_ = medium;
  seed_ = seed;
  rng_.seed(seed);
  make_sim(medium.type, medium.product, medium.slots, medium.disc_blocks);
  if (medium.map_entries) {
    for (int s = 0; s < sim_->cartridge().slots(); ++s) sim_->cartridge().disc(s).pow.map_entries = medium.map_entries;
    ASSERT_EQ(0u, sim_->drive().flush());
  }
  local_ = sim_->directory() + "/life-file";
  // KEL_LIFE_PACKED=0 or 1 sets packed writing; the seed's roll is taken
  // all the same, so the rest of the life follows the seed.
  packed_ = chance(50);
  if (const char* p = std::getenv("KEL_LIFE_PACKED"); p && *p) packed_ = *p == '1';
  dwords_ = {{"Packed Write Mode", packed_ ? 1u : 0u}};
  started_ = std::chrono::steady_clock::now();
  note(std::string("start, packed ") + (packed_ ? "on" : "off"));
  restart(false);
}

void Life::run_life(std::chrono::seconds budget, std::uint64_t actions) {
  const auto seconds = std::chrono::seconds(env_number("KEL_LIFE_SECONDS", static_cast<std::uint64_t>(budget.count())));
  const std::uint64_t max_actions = env_number("KEL_LIFE_ACTIONS", actions);
  const auto end = started_ + seconds;
  while (max_actions ? done_ < max_actions : std::chrono::steady_clock::now() < end) {
    std::vector<const LifeAction*> ready;
    int total = 0;
    for (const auto& a : actions_)
      if (!a.ready || a.ready(*this)) {
        ready.push_back(&a);
        total += a.weight;
      }
    if (ready.empty()) break;
    int roll = static_cast<int>(pick(static_cast<std::uint64_t>(total)));
    const LifeAction* chosen = ready.back();
    for (const LifeAction* a : ready)
      if ((roll -= a->weight) < 0) {
        chosen = a;
        break;
      }
    note(chosen->name);
    chosen->run(*this);
    ++done_;
    ++counts_[chosen->name];
    if (HasFailure()) break;
  }
  if (!HasFailure() && engine_ && std::getenv("KEL_LIFE_END_KILL")) kill_during(0, nullptr, {});
  if (!HasFailure() && engine_) remount(true, packed_);
  // At the end every file of the tree restores, not a sample.
  if (!HasFailure() && engine_)
    for (const auto& [path, content] : current().files) expect_file(path, content);
  report();
}

void Life::mark_full() {
  if (!full_at_) full_at_ = done_;
  full_ = true;
}

void Life::note(const std::string& what) {
  log_.push_back("#" + std::to_string(done_) + " " + what);
  if (log_.size() > kLogLines) log_.pop_front();
}

void Life::report() {
  std::ostringstream o;
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started_);
  o << "life of medium " << std::hex << int(medium_.type) << std::dec << ": seed " << seed_ << ", " << done_
    << " actions in " << secs.count() << " s";
  for (const auto& [name, n] : counts_) o << ", " << name << " " << n;
  if (full_at_) o << "; the cartridge full from action " << *full_at_;
  if (HasFailure()) {
    o << "\nreplay: KEL_LIFE_SEED=" << seed_ << " KEL_LIFE_ACTIONS=" << done_ << "\nlast actions:\n";
    for (const auto& l : log_) o << "  " << l << "\n";
    if (keep_copy("at-failure")) o << "cartridge and cache kept in " << std::getenv("KEL_LIFE_KEEP") << "\n";
    ADD_FAILURE() << o.str();
  } else {
    std::printf("%s\n", o.str().c_str());
  }
}

// With KEL_LIFE_KEEP: the cartridge and the cache directory as they are now,
// in a folder of that name.
bool Life::keep_copy(const std::string& name) {
  const char* keep = std::getenv("KEL_LIFE_KEEP");
  if (!keep || !*keep) return false;
  engine_.reset();
  sim_->drive().flush();
  const std::string to = std::string(keep) + "/" + name;
  std::filesystem::remove_all(to);
  kelsim::copy_directory_sparse(sim_->cartridge_directory(), to + "/cartridge");
  kelsim::copy_directory_sparse(cache_, to + "/cache");
  return true;
}

void Life::TearDown() {
  engine_.reset();
  Scenario::TearDown();
}

// ---------------------------------------------------------------- choices

std::string Life::random_file() {
  const Tree& t = current();
  if (t.files.empty()) return "";
  auto it = t.files.begin();
  std::advance(it, static_cast<long>(pick(t.files.size())));
  return it->first;
}

std::string Life::random_folder() {
  const Tree& t = current();
  const std::uint64_t n = pick(t.dirs.size() + 1);
  if (n == t.dirs.size()) return "/";
  auto it = t.dirs.begin();
  std::advance(it, static_cast<long>(n));
  return *it;
}

std::string Life::new_path(bool new_folder_allowed) {
  static const char* const kNames[] = {"a", "b", "data", "Caf\xC3\xA9", "x y", "\xE6\xBC\xA2\xE5\xAD\x97", "z"};
  std::string folder = random_folder();
  if (new_folder_allowed && chance(15)) folder = join(folder, kNames[pick(std::size(kNames))]);
  const Tree& t = current();
  for (;;) {
    const std::string path = join(folder, "f" + std::to_string(next_name_++));
    if (!t.files.count(path) && !t.dirs.count(path)) return path;
  }
}

Content Life::new_content() {
  static const std::uint64_t kCuts[][2] = {{0, 1}, {1, 4097}, {4097, 262145}, {262145, 4u << 20}, {4u << 20, 6u << 20}};
  static const int kWeights[] = {4, 40, 33, 20, 3};
  int roll = static_cast<int>(pick(100));
  std::size_t k = 0;
  while (roll >= kWeights[k]) roll -= kWeights[k++];
  const std::uint64_t size = kCuts[k][0] + pick(kCuts[k][1] - kCuts[k][0]);
  return Content{next_seed_++, size};
}

// ---------------------------------------------------------------- requests

kelsim::ExchangeResult Life::archive_exchange(const std::string& path, const Content& c) {
  std::ofstream(local_, std::ios::binary | std::ios::trunc) << bytes_of(c);
  kelsim::ArchiveRequest r;
  r.name = path;
  r.generation = r.version = 1;
  return engine_->archive(++sequence_, local_, r);
}

kelsim::ExchangeResult Life::send_archive(const std::string& path, const Content& c) {
  return archive_exchange(path, c);
}

std::vector<EngineElement> Life::send_request(const std::string& opcode, const Attributes& attributes) {
  return engine_->request(kelsim::request_line(++sequence_, opcode, attributes), ends_request);
}

std::set<std::string> Life::maybe_waiting() const {
  std::set<std::string> out;
  for (const auto& [path, c] : current().files)
    if (!base_.files.count(path) &&
        std::find(packed_since_settled_.begin(), packed_since_settled_.end(), c.seed) != packed_since_settled_.end())
      out.insert(path);
  return out;
}

// ---------------------------------------------------------------- transient drive faults

std::set<std::string> Life::reported_lost(std::size_t first_element) const {
  static const std::string kLost = "Archived file lost, archive it again: ";
  const auto all = engine_->elements();
  std::set<std::string> named;
  for (std::size_t i = first_element; i < all.size(); ++i) {
    if (all[i].name != "Error" || all[i].text.rfind(kLost, 0) != 0) continue;
    EXPECT_TRUE(named.insert(all[i].text.substr(kLost.size())).second) << all[i].text << ": named lost twice";
  }
  return named;
}

// Syncs with a good drive until one saves (a failed end's loss is answered
// once). False when the volume takes none: the engine was replaced.
bool Life::settle_after_fault(std::set<std::string>* lost, std::size_t first_element,
                              const std::set<std::string>& waiting) {
  for (int i = 0; i < 3; ++i) {
    const auto answers =
        send_request("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
    if (!answers.empty() && answers.back().name == "KelSync") {
      *lost = reported_lost(first_element);
      return true;
    }
  }
  // The failure protects the volume for the rest of the mount: a new engine
  // shows a tree the medium holds, the newest one less files still waiting.
  // A waiting file that no Sync can save any more was named lost.
  note("the volume takes no Sync after the fault: a new engine");
  const std::set<std::string> named = reported_lost(first_element);
  const Tree model = current();
  std::vector<Tree> since_settled{base_};
  since_settled.insert(since_settled.end(), history_.begin(), history_.end());
  kill_during(0, nullptr, {});
  const Tree seen = listed_tree();
  // A file the new engine shows where a tree since the settled one held it
  // (a Rename the failed Sync did not keep) is not gone.
  auto shown_earlier = [&](const Content& c) {
    for (const Tree& t : since_settled)
      for (const auto& [p, held] : t.files)
        if (held == c && seen.files.count(p) && seen.files.at(p).size == c.size) return true;
    return false;
  };
  for (const std::string& path : waiting) {
    if (model.files.count(path) && !seen.files.count(path) && !shown_earlier(model.files.at(path))) {
      EXPECT_TRUE(named.count(path)) << path << " answered archived, then gone with the volume turned read-only, "
                                     << "though no \"Error\" named it lost";
    }
  }
  return false;
}

void Life::check_after_fault(const Tree& before, const std::set<std::string>& waiting,
                             const std::set<std::string>& lost) {
  const Tree seen = listed_tree();
  Tree t = current();
  for (auto f = t.files.begin(); f != t.files.end();) {
    const auto s = seen.files.find(f->first);
    if (s != seen.files.end() && s->second.size == f->second.size) {
      ++f;
      continue;
    }
    EXPECT_TRUE(waiting.count(f->first)) << f->first << " changed, though no session held it";
    EXPECT_TRUE(lost.count(f->first)) << f->first << " gone, though no \"Error\" named it lost";
    f = t.files.erase(f);
  }
  for (const std::string& path : lost) EXPECT_FALSE(t.files.count(path)) << path << " named lost, yet shown";
  for (const auto& [path, c] : seen.files) EXPECT_TRUE(t.files.count(path)) << "the fault left " << path << " behind";
  // A failed Archive or move takes back the folders it made for its target.
  EXPECT_EQ(t.dirs, seen.dirs) << "folders after the fault";
  for (const auto& [path, c] : t.files)
    if (waiting.count(path) || !before.files.count(path) || !(before.files.at(path) == c) || chance(5))
      expect_file(path, c);
  changed(std::move(t));
  settled();
}

bool Life::send_under_fault(const kelsim::FaultRule& rule, const FaultedRequest& request, int* fired,
                            bool after_first_sync) {
  int id = -1;
  if (after_first_sync) add_fault_at_next_sync(rule);
  else id = sim_->drive().add_fault(rule);
  const auto answers = request.send();
  if (after_first_sync) id = stop_waiting_for_sync();
  *fired = id < 0 ? 0 : sim_->drive().fault_fired(id);
  if (id >= 0) sim_->drive().remove_fault(id);
  const bool ok = !answers.empty() && answers.back().name == request.success;
  note(std::string("the fault fired ") + std::to_string(*fired) + " times; the request " +
       (ok ? "succeeded" : "answered " + (answers.empty() ? std::string("nothing") : answers.back().raw)));
  return ok;
}

void Life::through_drive_fault(const kelsim::FaultRule& rule, const FaultedRequest& request,
                               bool after_first_sync) {
  const Tree before = current();
  std::set<std::string> waiting = maybe_waiting();
  const std::size_t first = engine_->elements().size();
  int fired = 0;
  const bool ok = send_under_fault(rule, request, &fired, after_first_sync);
  const std::string kind = rule.kind == kelsim::FaultRule::Kind::PowerCut ? "LivePowerCut" : "DriveFault";
  ++counts_[kind + (fired ? " fired" : " unfired")];
  if (ok) {
    changed(request.succeeded);
    // A packed file answered meanwhile may wait in the session too.
    for (const auto& [path, c] : request.succeeded.files)
      if (!before.files.count(path) || !(before.files.at(path) == c)) {
        if (packed_) packed_since_settled_.push_back(c.seed);
        if (packed_) waiting.insert(path);
      }
  }
  std::set<std::string> lost;
  if (!settle_after_fault(&lost, first, waiting)) return;
  check_after_fault(before, waiting, lost);
  if (HasFailure()) return;
  remount(false, packed_);
  remount(true, packed_);
}

void Life::kill_after_drive_fault(const kelsim::FaultRule& rule, const FaultedRequest& request) {
  int fired = 0;
  send_under_fault(rule, request, &fired);
  note("the engine is killed");
  ++counts_[std::string("DriveFaultKill ") + (fired ? "fired" : "unfired")];
  // A failed request takes back the folders it made before it answers.
  // On E1h both copies of the descriptor sequences share one cluster, which
  // a failed sync after their rewrite loses whole: the next mount rebuilds
  // them, and the slots are checked at the next stop.
  const bool shared_cluster = sim_->cartridge().write_once() && sim_->cartridge().medium_type() != 0xF2;
  kill_during(0, nullptr, {current(), request.succeeded}, std::nullopt, !shared_cluster);
}

bool Life::archive(const std::string& path, const Content& c) {
  const auto res = archive_exchange(path, c);
  if (res.ok) {
    if (packed_) packed_since_settled_.push_back(c.seed);
    expect_synced_before_answer(sequence_, "Archive " + path);
    EXPECT_EQ(number(*res.last(), "Size"), c.size) << path;
    return true;
  }
  const EngineElement* last = res.last();
  if (last && last->name == "HRESULT" && last->attribute("HRESULT") == kDiscFull) {
    EXPECT_TRUE(every_disc_spent()) << "Archive of " << path << " answered disc full while a disc has room";
    mark_full();
    reconcile(path);
    return false;
  }
  ADD_FAILURE() << "Archive of " << path << " (" << c.size << " bytes): " << (last ? last->raw : res.error) << "\n"
                << engine_->describe();
  return false;
}

// After a failed Archive the old file may be gone (it is deleted before the
// new one is written): the tree is listed again, and whatever is there must
// be whole.
void Life::reconcile(const std::string& path) {
  const Tree seen = listed_tree();
  Tree t = current();
  const bool there = seen.files.count(path) != 0;
  const auto old = t.files.find(path);
  if (there && old == t.files.end()) {
    ADD_FAILURE() << "a failed Archive left " << path << " behind";
  } else if (there) {
    expect_file(path, old->second);
  } else if (old != t.files.end()) {
    t.files.erase(old);
  }
  t.dirs = seen.dirs;
  changed(std::move(t));
  EXPECT_TRUE(shape(seen) == shape(current())) << "the tree after a failed Archive of " << path << ":\n"
                                               << difference(seen, current());
}

std::optional<std::string> Life::restored(const std::string& path) {
  kelsim::RestoreRequest r;
  r.name = path;
  r.generation = r.version = 1;
  const std::string out = local_ + ".out";
  const auto res = engine_->restore(++sequence_, r, out);
  if (!res.ok) {
    ADD_FAILURE() << "Restore of " << path << ": " << (res.last() ? res.last()->raw : res.error);
    return std::nullopt;
  }
  std::ifstream in(out, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

void Life::expect_file(const std::string& path, const Content& c) {
  const auto got = restored(path);
  if (!got) return;
  EXPECT_TRUE(*got == bytes_of(c)) << path << ": " << got->size() << " bytes restored, " << c.size << " archived"
                                   << " (content seed " << c.seed << ")";
}

void Life::expect_listing(const std::string& folder) {
  std::set<std::string> names = listing(folder);
  if (folder == "/") names.erase(kMetaFolder);
  EXPECT_EQ(names, current().children(folder)) << "listing of " << folder;
}

bool Life::volume_request(const std::string& opcode, const Attributes& attributes) {
  const auto answers = ask(opcode, attributes);
  if (!answers.empty() && answers.back().name == "KelVolume") {
    check_free(answers.back());
    return true;
  }
  if (!answers.empty() && answers.back().attribute("HRESULT") == kDiscFull) {
    EXPECT_TRUE(every_disc_spent()) << opcode << " answered disc full while a disc has room";
    mark_full();
  } else if (!full_) {
    ADD_FAILURE() << opcode << " answered " << (answers.empty() ? "nothing" : answers.back().raw);
  }
  return false;
}

bool Life::sync_now() {
  const auto answers = ask("Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}});
  const EngineElement* last = answers.empty() ? nullptr : &answers.back();
  if (last && last->name == "KelSync") {
    settled();
    return true;
  }
  if (last && last->name == "HRESULT" && last->attribute("HRESULT") == kDiscFull) {
    EXPECT_TRUE(every_disc_spent()) << "Sync answered disc full while a disc has room";
    mark_full();
    return false;
  }
  ADD_FAILURE() << "Sync answered " << (last ? last->raw : "nothing") << "\n" << engine_->describe();
  return false;
}

// ---------------------------------------------------------------- engine restarts

void Life::restart(bool emptied) {
  if (emptied) empty_cache();
  if (const char* t = std::getenv("KEL_LIFE_TRACE")) {
    dwords_.push_back({"Debug File Trace Level", 9});
    strings_ = {{"Debug File Directory Path", t}};
  }
  start();
  const EngineElement v = ask_one("Check", "KelVolume");
  if (v.name == "KelVolume") check_free(v);
}

void Life::remount(bool emptied, bool packed) {
  note(std::string("remount, cache ") + (emptied ? "emptied" : "kept") + ", packed " + (packed ? "on" : "off"));
  note_volume_track();
  unmount();
  settled();
  check_slot_images();
  packed_ = packed;
  dwords_ = {{"Packed Write Mode", packed ? 1u : 0u}};
  restart(emptied);
  check_mounted({current()});
}

void Life::remount_with_unreadable_block() {
  note_volume_track();
  unmount();
  settled();
  check_slot_images();
  // The blocks a mount from the disc reads.
  empty_cache();
  const int slot = cartridge().loaded_slot;
  const std::size_t mark = sim_->service().transcript().size();
  start();
  ask_one("Check", "KelVolume");
  const auto reads = reads_since(sim_->service().transcript(), mark, slot);
  unmount();
  ASSERT_FALSE(reads.empty());
  const BlocksRead& r = reads[pick(reads.size())];
  const std::uint32_t lsn = r.first + static_cast<std::uint32_t>(pick(r.count));
  note("remount from the disc with block " + std::to_string(lsn) + " of slot " + std::to_string(r.slot) +
       " unreadable");
  int id = -1;
  const auto answers = check_with_unreadable_block(r.slot, lsn, &id);
  ASSERT_FALSE(answers.empty());
  // Restores may meet the unreadable block: only the tree is compared.
  if (answers.back().name == "KelVolume") {
    const Tree seen = listed_tree();
    EXPECT_TRUE(shape(seen) == shape(current()))
        << "a mount with an unreadable block shows another tree without saying so\n" << difference(seen, current());
  } else {
    note("the mount answered " + answers.back().raw);
  }
  unmount();
  sim_->drive().remove_fault(id);
  note("remount with the block readable, cache as that mount left it");
  restart(false);
  check_mounted({current()});
}

void Life::kill_during(std::size_t command, const std::function<void()>& request, const std::vector<Tree>& changes,
                       std::optional<std::uint32_t> power_cut_keep, bool check_discs) {
  std::vector<Tree> candidates{base_};
  candidates.insert(candidates.end(), history_.begin(), history_.end());
  candidates.insert(candidates.end(), changes.begin(), changes.end());
  candidates = with_packed_files_left_out(candidates);
  note_volume_track();
  kill_during_request(command, request);
  if (power_cut_keep) sim_->drive().power_cut(*power_cut_keep);
  ASSERT_EQ(0u, sim_->drive().flush());
  keep_copy("after-kill");
  if (check_discs) check_slot_images();
  const bool empty = chance(50);
  note(std::string("after the kill, cache ") + (empty ? "emptied" : "kept"));
  restart(empty);
  check_mounted(candidates);
}

// ---------------------------------------------------------------- invariants

// The whole tree as the engine lists it, sizes from the listing.
Tree Life::listed_tree() {
  Tree t;
  std::vector<std::string> folders{"/"};
  while (!folders.empty()) {
    const std::string folder = folders.back();
    folders.pop_back();
    for (const auto& e : ask("ReadDirectory", {{"Name", kelsim::escape_name(folder)}})) {
      const std::string name = kelsim::unescape_name(e.attribute("ObjectName"));
      if (e.name != "KelDirent") {
        ADD_FAILURE() << "listing of " << folder << ": " << e.raw;
        return t;
      }
      if (name.empty() || name.find("#*ECC_Parity_") != std::string::npos) continue;
      if (folder == "/" && name == kMetaFolder) continue;
      const std::string path = join(folder, name);
      if (e.attribute("Type") == "1") {
        t.dirs.insert(path);
        folders.push_back(path);
      } else {
        t.files[path] = Content{0, number(e, "Size")};
      }
    }
  }
  return t;
}

// The mounted tree must be one of the candidates whole; its files changed
// since the settled state (base_) are restored, and a few of the others.
void Life::check_mounted(const std::vector<Tree>& candidates) {
  const Tree seen = listed_tree();
  const auto shown = shape(seen);
  std::vector<const Tree*> same;  // the candidates of the shape shown, newest first
  for (auto t = candidates.rbegin(); t != candidates.rend(); ++t)
    if (shape(*t) == shown) same.push_back(&*t);
  if (same.empty()) {
    ADD_FAILURE() << "the mounted tree is none of the " << candidates.size()
                  << " states since the last Sync\nmounted:\n"
                  << describe_shape(seen) << "last synced:\n" << describe_shape(base_) << "newest:\n"
                  << describe_shape(candidates.back());
    return;
  }
  const Tree& m = by_contents(same);
  std::vector<std::pair<std::string, Content>> to_check;
  for (const auto& [p, c] : m.files) {
    const auto old = base_.files.find(p);
    if (old == base_.files.end() || !(old->second == c) || chance(5)) to_check.emplace_back(p, c);
  }
  for (const auto& [p, c] : to_check) expect_file(p, c);
  base_ = m;
  history_.clear();
  packed_since_settled_.clear();
}

// Of candidates of one shape, the newest whose files hold what the volume
// restores where they differ (an Archive over a file of the same size leaves
// two shapes alike); the newest when none does, for its checks to report.
const Tree& Life::by_contents(const std::vector<const Tree*>& same) {
  std::set<std::string> differ;
  for (const Tree* t : same)
    for (const auto& [p, c] : t->files)
      if (!(same.front()->files.at(p) == c)) differ.insert(p);
  std::map<std::string, std::string> got;
  for (const std::string& p : differ)
    if (auto b = restored(p)) got[p] = *b;
  for (const Tree* t : same) {
    bool all = true;
    for (const std::string& p : differ) all = all && got.count(p) && got[p] == bytes_of(t->files.at(p));
    if (all) return *t;
  }
  return *same.front();
}

// What a flush round may record besides the trees themselves: a file
// written with packed writing waits in its session until the session ends
// (a Sync, or the archive of a file that exists, ends it), and every flush
// before that leaves it out of its folder, while the folders, renames and
// deletes made meanwhile are recorded. A flush round of that kind comes in
// the middle of a session's end when the disc runs out of room or write
// resources and the tree is flushed before the move to the next disc. The
// session ends in the order its files were started, so what such a flush
// leaves out are the last files archived packed: each tree is also offered
// without the last one, two, ... of them. Only a file under a name the last
// Sync did not hold may be left out: a file the volume held at that Sync is
// never missing, whatever a packed update of it does. The trees themselves
// come last, so that a tie of shapes takes the tree.
std::vector<Tree> Life::with_packed_files_left_out(const std::vector<Tree>& trees) const {
  std::vector<Tree> out;
  for (const Tree& t : trees) {
    Tree less = t;
    for (auto seed = packed_since_settled_.rbegin(); seed != packed_since_settled_.rend(); ++seed) {
      const std::size_t before = less.files.size();
      std::erase_if(less.files, [&](const auto& f) { return f.second.seed == *seed && !base_.files.count(f.first); });
      if (less.files.size() != before) out.push_back(less);
    }
  }
  out.insert(out.end(), trees.begin(), trees.end());
  return out;
}

// A new track that a kill left half made is no part of the volume: the
// slots are checked up to the volume's track before the last request.
void Life::note_volume_track() {
  const EngineElement v = ask_one("GetVolumeInfo", "KelVolume");
  if (v.name == "KelVolume") volume_track_ = static_cast<int>(number(v, "CurrentTrackId"));
}

void Life::check_slot_images() { expect_udfinfo_on_slots_up_to(volume_track_); }

void Life::check_free(const EngineElement& volume) {
  if (!sim_->cartridge().write_once()) return;
  const std::uint64_t free = number(volume, "FreeBlocks");
  auto where = [](const EngineElement& v) {
    return "FreeBlocks " + v.attribute("FreeBlocks") + " UsedBlocks " + v.attribute("UsedBlocks") + " on track " +
           v.attribute("CurrentTrackId") + " at " + v.attribute("NextWritableBlock");
  };
  if (last_free_) {
    EXPECT_LE(free, *last_free_) << "the free space of a write-once cartridge grew: " << where(volume)
                                 << ", before " << last_volume_;
  }
  last_free_ = free;
  last_volume_ = where(volume);
}

// Every disc but the last is out of room or of its own write resources,
// and the last one is in the drive and out of either.
bool Life::every_disc_spent() {
  const CartridgeView v = view_of(sim_->drive());
  auto spent = [&](int s, std::uint32_t margin) {
    return v.resources_spent(s) || v.disc_blocks - std::min(v.used_blocks(s), v.disc_blocks) <= margin + kSpentSlack;
  };
  const int last = static_cast<int>(v.discs.size()) - 1;
  if (v.last_written != last) return false;
  for (int s = 0; s < last; ++s)
    if (!spent(s, medium_.margin)) return false;
  return spent(last, medium_.last_margin);
}

}  // namespace e2e::life
