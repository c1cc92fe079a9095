// Archive and restore through the whole stack (request lines, fragment
// exchange, engine, writer, pipe, simulated drive, slot images) beside a
// plain file copy of the same bytes on the same disk.
#include "e2e.h"

#include "sim/client.h"
#include "sim/wire.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace e2e {

namespace {

void write_random(const std::string& path, std::uint64_t size, std::uint64_t seed) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) die("cannot make " + path);
  std::mt19937_64 rng(seed);
  std::vector<std::uint64_t> buf(1 << 17);
  for (std::uint64_t done = 0; done < size;) {
    for (auto& w : buf) w = rng();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size() * 8, size - done));
    if (::write(fd, buf.data(), n) != static_cast<ssize_t>(n)) die("cannot write " + path);
    done += n;
  }
  ::fsync(fd);
  ::close(fd);
}

// Read the source, write the copy, fsync: seconds.
double plain_copy(const std::string& from, const std::string& to) {
  flush_and_drop(from);
  const auto start = Clock::now();
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in < 0 || out < 0) die("cannot copy " + from);
  std::vector<char> buf(1 << 20);
  for (ssize_t n; (n = ::read(in, buf.data(), buf.size())) > 0;)
    if (::write(out, buf.data(), static_cast<std::size_t>(n)) != n) die("cannot write " + to);
  ::fsync(out);
  ::close(in);
  ::close(out);
  return secs_since(start);
}

// The simulated drive's own rates: `bytes` in WRITE(10)s of 512 KiB (the
// writer's piece) through the host service's pipe, each answered once the
// slot image has it, onto a write-once disc of the archive's kind with one
// open track, then SYNCHRONIZE CACHE and an fdatasync of the slot images,
// as the archive's figure ends; then, the images dropped from the page
// cache, the same bytes in READ(10)s of 512 KiB, one after the other as
// the engine's reads go. Seconds of each.
struct DriveTimes {
  double write_s = 0, read_s = 0;
};
DriveTimes raw_drive(const Settings& s, std::uint64_t bytes) {
  kelsim::HarnessOptions o;
  o.parent_directory = s.dir;
  kelsim::SimHarness sim(o);
  kelsim::Disc& disc = sim.cartridge().disc(0);
  disc.formatted = true;
  disc.tracks = {kelsim::Track{0, sim.cartridge().disc_blocks(), 0, false, false}};
  kelsim::RawClient client;
  if (DWORD rc = client.connect()) die("cannot connect to the simulated drive: " + std::to_string(rc));
  constexpr std::uint32_t kBlocks = 256;
  const std::vector<std::uint8_t> data(kBlocks * kelsim::kBlockSize, 0x5A);
  auto command = [&](std::uint8_t op, std::uint64_t at, const std::vector<std::uint8_t>& out, std::uint32_t in) {
    kelsim::ScsiCall c;
    c.cdb.assign(10, 0);
    c.cdb[0] = op;
    if (op != 0x35) {
      kelsim::put_be32(&c.cdb[2], static_cast<std::uint32_t>(at / kelsim::kBlockSize));
      kelsim::put_be16(&c.cdb[7], kBlocks);
    }
    c.data_out = out;
    c.transfer_length = out.empty() ? in : static_cast<std::uint32_t>(out.size());
    c.cookie = sim.cookie();
    kelsim::RawAnswer a;
    if (DWORD rc = client.call(c, &a); rc || a.status != 0)
      die("a raw command to the simulated drive failed: " + std::to_string(rc) + " " + std::to_string(a.status));
  };
  DriveTimes t;
  auto start = Clock::now();
  for (std::uint64_t at = 0; at < bytes; at += data.size()) command(0x2A, at, data, 0);
  command(0x35, 0, {}, 0);
  drop_images(sim);
  t.write_s = secs_since(start);
  start = Clock::now();
  for (std::uint64_t at = 0; at < bytes; at += data.size())
    command(0x28, at, {}, static_cast<std::uint32_t>(data.size()));
  t.read_s = secs_since(start);
  return t;
}

// The host's own part of an archive, as EngineProcess::archive does it:
// the source read in 1 MiB pieces and each copied into another buffer with
// the call that places it in the engine's memory (here this process's):
// seconds.
double host_side(const std::string& source) {
  flush_and_drop(source);
  const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) die("cannot open " + source);
  std::vector<char> piece(1 << 20), engine(1 << 20);
  std::string why;
  const auto start = Clock::now();
  for (off_t at = 0;;) {
    const ssize_t n = ::pread(fd, piece.data(), piece.size(), at);
    if (n < 0) die("cannot read " + source);
    if (n == 0) break;
    if (!kelsim::write_process_memory(::getpid(), reinterpret_cast<std::uintptr_t>(engine.data()), piece.data(),
                                      static_cast<std::size_t>(n), &why))
      die("cannot copy into this process: " + why);
    at += n;
  }
  const double s = secs_since(start);
  ::close(fd);
  return s;
}

bool same_bytes(const std::string& a, const std::string& b) {
  return std::system(("cmp -s '" + a + "' '" + b + "'").c_str()) == 0;
}

class Bench {
 public:
  Bench(const Settings& s, kelsim::SimHarness& sim) : s_(s), sim_(sim), engine_(start_engine(sim, s.program)) {
    must(*engine_, ++seq_, "Check", {}, "KelVolume");
  }
  ~Bench() { unmount(*engine_, ++seq_); }

  // Archive of the files, the Sync that makes them durable and an
  // fdatasync of the slot images: seconds.
  double archive(const std::vector<std::string>& local, const std::vector<std::string>& names) {
    for (const auto& f : local) flush_and_drop(f);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < local.size(); ++i) {
      kelsim::ArchiveRequest a;
      a.name = names[i];
      a.generation = a.version = 1;
      const auto r = engine_->archive(++seq_, local[i], a);
      if (!r.ok)
        die("Archive of " + names[i] + " failed: " + (r.error.empty() && r.last() ? r.last()->raw : r.error) +
            "\n" + engine_->standard_error().substr(0, 4000));
    }
    must(*engine_, ++seq_, "Sync", {{"Reason", "SyncTime"}, {"BlockNumber", "0"}, {"Bytes", "0"}, {"Generation", "0"}},
         "KelSync");
    drop_images(sim_);
    return secs_since(start);
  }
  // Restore of each name into the local file, fsync'ed: seconds.
  double restore(const std::vector<std::string>& names, const std::vector<std::string>& local) {
    drop_images(sim_);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < names.size(); ++i) {
      kelsim::RestoreRequest q;
      q.name = names[i];
      q.generation = q.version = 1;
      const auto r = engine_->restore(++seq_, q, local[i]);
      if (!r.ok)
        die("Restore of " + names[i] + " failed: " + (r.error.empty() && r.last() ? r.last()->raw : r.error));
      const int fd = ::open(local[i].c_str(), O_RDONLY | O_CLOEXEC);
      ::fsync(fd);
      ::close(fd);
    }
    return secs_since(start);
  }
  void folder(const std::string& name) { must(*engine_, ++seq_, "CreateDirectory", name_attrs(name), "KelVolume"); }

 private:
  const Settings& s_;
  kelsim::SimHarness& sim_;
  std::unique_ptr<kelsim::EngineProcess> engine_;
  std::uint64_t seq_ = 0;
};

struct Timings {
  std::vector<double> archive, restore, copy, copy_back, drive, drive_read, host;
};

// Three passes of the same files, each on a cartridge of its own; every
// restored file is compared with its source. What each step leaves on the
// disk goes before the next step, so that the disk holds at most the
// sources and two copies of them at a time.
Timings passes(const Settings& s, const std::string& local, const std::vector<std::string>& sources,
               const std::string& tag) {
  Timings t;
  auto named = [&](const std::string& prefix) {
    std::vector<std::string> v;
    for (const auto& f : sources) v.push_back(local + "/" + prefix + fs::path(f).filename().string());
    return v;
  };
  auto remove = [](const std::vector<std::string>& v) {
    for (const auto& f : v) fs::remove(f);
  };
  const std::vector<std::string> restored = named("restored-"), copies = named("copy-"),
                                  copied_back = named("copy-back-");
  for (int pass = 0; pass < s.passes(); ++pass) {
    {
      kelsim::HarnessOptions o;
      o.parent_directory = s.dir;
      kelsim::SimHarness sim(o);
      Bench b(s, sim);
      const std::string folder = "/" + tag;
      b.folder(folder);
      std::vector<std::string> names;
      for (const auto& f : sources) names.push_back(folder + "/" + fs::path(f).filename().string());
      t.archive.push_back(b.archive(sources, names));
      t.restore.push_back(b.restore(names, restored));
      for (std::size_t i = 0; i < sources.size(); ++i)
        if (!same_bytes(sources[i], restored[i])) die("restored " + names[i] + " differs from its source");
      remove(restored);
    }
    double c = 0, cb = 0;
    for (std::size_t i = 0; i < sources.size(); ++i) c += plain_copy(sources[i], copies[i]);
    for (std::size_t i = 0; i < sources.size(); ++i) cb += plain_copy(copies[i], copied_back[i]);
    t.copy.push_back(c);
    t.copy_back.push_back(cb);
    remove(copies);
    remove(copied_back);
    if (sources.size() == 1) {
      const DriveTimes d = raw_drive(s, fs::file_size(sources[0]));
      t.drive.push_back(d.write_s);
      t.drive_read.push_back(d.read_s);
      t.host.push_back(host_side(sources[0]));
    }
  }
  return t;
}

void report_pair(const Settings& s, const std::string& what, const Timings& t, double bytes, double files,
                 double target) {
  const double mb = bytes / 1e6;
  report({"archive_" + what, "MB/s", mb / median(t.archive), mb / median(t.copy), "", target, false, false,
          "baseline: plain copy (read, write, fsync)"},
         s.tiny);
  if (!t.drive.empty()) {
    // The target is the lower of 0.8 x cp and 0.9 x the drive's own rate:
    // the archive cannot outrun the drive it writes to.
    const double cp = mb / median(t.copy), drive = mb / median(t.drive), archive = mb / median(t.archive);
    report({"archive_" + what + "_vs_drive", "MB/s", archive, drive, "", 0.9, false, false,
            "baseline: the simulated drive's own WRITE(10)s of 512 KiB through the pipe, sync, fdatasync"},
           s.tiny);
    std::printf("the host's own part of the archive (the source read in 1 MiB pieces, each copied as into the "
                "engine): %.1f MB/s\n",
                mb / median(t.host));
    const bool drive_lower = 0.9 * drive < 0.8 * cp;
    std::printf("archive target: the lower of 0.8 x cp (%.1f MB/s) and 0.9 x the drive (%.1f MB/s) is the %s: "
                "%s\n",
                0.8 * cp, 0.9 * drive, drive_lower ? "drive's" : "copy's",
                archive >= std::min(0.8 * cp, 0.9 * drive) ? "met" : "MISSED");
  }
  report({"restore_" + what, "MB/s", mb / median(t.restore), mb / median(t.copy_back), "", target, false, false,
          "baseline: the copy read into another file"},
         s.tiny);
  if (!t.drive_read.empty())
    report({"restore_" + what + "_vs_drive", "MB/s", mb / median(t.restore), mb / median(t.drive_read), "", 0, false,
            false, "baseline: the simulated drive's own READ(10)s of 512 KiB through the pipe, one after the other"},
           s.tiny);
  if (files > 1) {
    report({"archive_" + what + "_files", "files/s", files / median(t.archive), files / median(t.copy), "", 0, false,
            false, ""},
           s.tiny);
    report({"restore_" + what + "_files", "files/s", files / median(t.restore), files / median(t.copy_back), "", 0,
            false, false, ""},
           s.tiny);
  }
}

}  // namespace

void archive_figures(const Settings& s) {
  std::printf("== archive and restore (E1h cartridge in a QMR-T300B; %llu-byte file, %u files of 64 KiB)\n",
              static_cast<unsigned long long>(s.size), s.small_files);
  const std::string local = s.dir + "/archive-local-" + std::to_string(::getpid());
  fs::create_directories(local + "/small");
  const std::string large = local + "/large.bin";
  write_random(large, s.size, 41);
  std::vector<std::string> small;
  for (unsigned i = 0; i < s.small_files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/small/s%05u.bin", i);
    small.push_back(local + name);
    write_random(small.back(), 64 * 1024, 1000 + i);
  }
  report_pair(s, "large", passes(s, local, {large}, "large"), static_cast<double>(s.size), 1, 0.8);
  report_pair(s, "small", passes(s, local, small, "small"), 64.0 * 1024 * s.small_files, s.small_files, 0);
  fs::remove_all(local);
}

}  // namespace e2e
