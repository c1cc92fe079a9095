// Mount time and memory of volumes of many files, each mounted by a freshly
// started KelDriver (Check) with an emptied cache directory and with the
// kept one, beside a plain read of the volume's metadata file; and their
// growth from 10,000 files to the largest volume the system mounts.
#include "e2e.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace e2e {

namespace {

struct MountPass {
  double seconds = 0;
  Memory memory;
  unsigned files = 0;
  std::string counts;  // the volume's object counts as the mount told them
};

// One mount by a fresh engine with the given cache directory.
MountPass mount_once(kelsim::SimHarness& sim, const Settings& s, const std::string& cache) {
  drop_images(sim);
  auto e = start_engine(sim, s.program, cache);
  MountPass p;
  const auto start = Clock::now();
  const auto v = must(*e, 1, "Check", {}, "KelVolume");
  p.seconds = secs_since(start);
  p.memory = memory_of(e->pid());
  const auto& a = v.back();
  p.files = static_cast<unsigned>(std::strtoul(a.attribute("FileCount").c_str(), nullptr, 10));
  p.counts = "ObjectCount " + a.attribute("ObjectCount") + ", FileCount " + a.attribute("FileCount") +
             ", DirectoryCount " + a.attribute("DirectoryCount") + ", MaxObjectCount " + a.attribute("MaxObjectCount");
  unmount(*e, 2);
  return p;
}

struct Point {
  unsigned files = 0;
  std::uint64_t metadata_bytes = 0;
  double emptied_s = 0, kept_s = 0, read_s = 0;
  double rss_kib = 0, hwm_kib = 0;  // emptied cache, above the empty volume's
  double kept_rss_kib = 0;
};

// Passes each way (the metadata files count: a volume of N files holds
// N + 1 files); the medians. Each pass mounts with an emptied cache folder,
// then again with the cache that mount left (the kept cache), so that one
// cache at a time takes room on the disk.
Point measure(kelsim::SimHarness& sim, const Settings& s, unsigned files, std::uint64_t metadata_bytes,
              const Point& empty) {
  Point p;
  p.files = files;
  p.metadata_bytes = metadata_bytes;
  std::vector<double> et, kt, er, eh, kr, rt;
  const std::string kept_cache = sim.directory() + "/cache-kept";
  const std::string emptied = sim.directory() + "/cache-emptied";
  for (int pass = 0; pass < s.passes(); ++pass) {
    fs::remove_all(emptied);
    fs::remove_all(kept_cache);
    const MountPass a = mount_once(sim, s, emptied);
    fs::rename(emptied, kept_cache);
    if (a.files < files) die("the mount counted " + std::to_string(a.files) + " files of " + std::to_string(files));
    if (pass == 0) std::printf("mounted: %s\n", a.counts.c_str());
    et.push_back(a.seconds);
    er.push_back(static_cast<double>(a.memory.rss_kib));
    eh.push_back(static_cast<double>(a.memory.hwm_kib));
    const MountPass b = mount_once(sim, s, kept_cache);
    kt.push_back(b.seconds);
    kr.push_back(static_cast<double>(b.memory.rss_kib));
    fs::remove_all(kept_cache);
    if (metadata_bytes != 0) rt.push_back(plain_read(sim.cartridge_directory() + "/slot-00.img", 0, metadata_bytes));
  }
  p.emptied_s = median(et);
  p.kept_s = median(kt);
  p.read_s = median(rt);
  p.rss_kib = median(er) - empty.rss_kib;
  p.hwm_kib = median(eh) - empty.hwm_kib;
  p.kept_rss_kib = median(kr) - empty.kept_rss_kib;
  return p;
}

// The targets by the size of the volume: 1,000 files mount in 0.2 s; 100,000
// in at most ten times the plain read of their metadata; the largest volume
// in 15 s, with at most 1.2 KiB of memory a file.
void report_point(const Settings& s, const Point& p, bool largest) {
  const std::string at = std::to_string(p.files);
  const double md_kib = static_cast<double>(p.metadata_bytes) / 1024.0;
  std::printf("-- %u files: metadata file %.1f MiB\n", p.files, md_kib / 1024.0);
  Figure emptied{"mount_emptied_cache_" + at, "s", p.emptied_s, p.read_s, "", 0, false, true,
                 "baseline: plain read of the metadata file's bytes"};
  if (p.files == 1000) emptied.target = 0.2, emptied.target_on_value = true;
  if (p.files == 100000) emptied.target = 10;
  if (largest) emptied.target = 15, emptied.target_on_value = true;
  report(emptied, s.tiny);
  report({"mount_kept_cache_" + at, "s", p.kept_s, p.read_s, "", 0, false, true,
          "baseline: plain read of the metadata file's bytes"},
         s.tiny);
  report({"mount_kept_beside_emptied_" + at, "s", p.kept_s, p.emptied_s, "", 0, false, true,
          "what a kept cache spares: the disc reads of the metadata file and their copy into the cache"},
         s.tiny);
  Figure rss{"vmrss_per_file_" + at, "KiB/file", p.rss_kib / p.files, md_kib / p.files, "", 0, false, true,
             "above an empty volume's (" + std::to_string(static_cast<long long>(p.rss_kib)) +
                 " KiB in total); baseline: the metadata file's size per file"};
  if (largest) rss.target = 1.2, rss.target_on_value = true;
  report(rss, s.tiny);
  report({"vmhwm_per_file_" + at, "KiB/file", p.hwm_kib / p.files, md_kib / p.files, "", 0, false, true,
          "above an empty volume's (" + std::to_string(static_cast<long long>(p.hwm_kib)) + " KiB in total)"},
         s.tiny);
  report({"vmrss_kept_cache_per_file_" + at, "KiB/file", p.kept_rss_kib / p.files, md_kib / p.files, "", 0, false,
          true, "above an empty volume's"},
         s.tiny);
}

// Time and memory per file at the largest point against 10,000 files: the
// time above an empty volume's mount, so that a fixed cost of every mount
// does not hide the growth.
void report_growth(const Settings& s, const Point& empty, const std::vector<Point>& points) {
  const auto small = std::find_if(points.begin(), points.end(), [](const Point& p) { return p.files == 10000; });
  if (small == points.end() || points.back().files <= small->files) return;
  const Point &a = *small, &b = points.back();
  const std::string step = std::to_string(a.files) + "_to_" + std::to_string(b.files);
  std::printf("-- growth (per file; time above the empty volume's mount of %.3f s)\n", empty.emptied_s);
  report({"growth_mount_s_per_file_" + step, "us/file", (b.emptied_s - empty.emptied_s) / b.files * 1e6,
          (a.emptied_s - empty.emptied_s) / a.files * 1e6, "", 1.2, false, true, "emptied cache"},
         s.tiny);
  report({"growth_mount_kept_s_per_file_" + step, "us/file", (b.kept_s - empty.kept_s) / b.files * 1e6,
          (a.kept_s - empty.kept_s) / a.files * 1e6, "", 0, false, true, "kept cache"},
         s.tiny);
  report({"growth_vmrss_per_file_" + step, "KiB/file", b.rss_kib / b.files, a.rss_kib / a.files, "", 1.2, false, true,
          ""},
         s.tiny);
  // The disk's own growth in the same run: an emptied-cache mount reads the
  // whole metadata file from the disc, which a disk may serve slower per
  // byte when it is large.
  if (a.metadata_bytes != 0 && b.metadata_bytes != 0)
    report({"growth_plain_read_per_mib_" + step, "ms/MiB", b.read_s / (b.metadata_bytes / 1048576.0) * 1e3,
            a.read_s / (a.metadata_bytes / 1048576.0) * 1e3, "", 0, false, true,
            "the plain read of the metadata file, for comparison"},
           s.tiny);
}

// A volume filled in one session takes about 4.2 KiB per file on the disk
// (the metadata file and its mirror), a mount's cache 2.1 KiB; the
// run that fills it about 3 KiB of memory per file, a mount about 1.1.
// False, with the reason printed, when the disk or the memory lacks it.
bool room_for(const Settings& s, unsigned files) {
  const bool kept = !s.keep_volumes.empty() && fs::exists(s.keep_volumes + "/files-" + std::to_string(files) + "/stamp");
  const double disk_need = files * (kept ? 2.1 : 6.3) * 1024;
  struct statvfs st {};
  if (::statvfs(s.dir.c_str(), &st) == 0) {
    const double free = static_cast<double>(st.f_bavail) * st.f_frsize;
    if (free < disk_need * 1.2) {
      std::printf("stopped before %u files: the disk (about %.1f GB needed, %.1f GB free in %s)\n", files,
                  disk_need / 1e9, free / 1e9, s.dir.c_str());
      return false;
    }
  }
  // What the system can give without swapping (MemAvailable counts the
  // page cache it may drop); a kept volume needs only the mount's memory.
  const double memory_need = files * (kept ? 1.5 : 3.0) * 1024;
  std::ifstream meminfo("/proc/meminfo");
  double available = 0;
  for (std::string line; std::getline(meminfo, line);)
    if (line.rfind("MemAvailable:", 0) == 0) available = std::strtod(line.c_str() + 13, nullptr) * 1024;
  if (available < memory_need) {
    std::printf("stopped before %u files: the memory (about %.1f GB needed, %.1f GB available)\n", files,
                memory_need / 1e9, available / 1e9);
    return false;
  }
  return true;
}

}  // namespace

void mount_figures(const Settings& s) {
  std::printf("== mount and memory (F2h cartridge in a QMR-T400A; folders of %u files)\n", kFolderFiles);
  std::vector<unsigned> sizes;
  for (unsigned n : {1000u, 10000u, 100000u})
    if (n < s.largest) sizes.push_back(n);
  sizes.push_back(s.largest);
  Point empty;
  {
    auto v = volume_of(s, "empty", 0, kFolderFiles);
    empty = measure(*v->sim, s, 0, 0, Point{});
    std::printf("empty volume: mount %.3f s (kept cache %.3f s), VmRSS %.0f KiB, VmHWM %.0f KiB after it\n",
                empty.emptied_s, empty.kept_s, empty.rss_kib, empty.hwm_kib);
  }
  std::vector<Point> points;
  for (unsigned files : sizes) {
    if (!room_for(s, files)) break;
    auto v = volume_of(s, "files-" + std::to_string(files), files, kFolderFiles);
    std::printf("volume of %u files: %s\n", files, about(*v).c_str());
    points.push_back(measure(*v->sim, s, files, v->metadata_bytes, empty));
    report_point(s, points.back(), files == s.largest && !s.tiny);
  }
  report_growth(s, empty, points);
  if (!s.tiny)
    std::printf("largest point: %u files in folders of %u: a volume of type 0 on F2h mounts at most 800,000 "
                "objects (files and folders as the node cache counts them; empty files have no parity file)\n",
                s.largest, kFolderFiles);
}

}  // namespace e2e
