// Mount time and memory of volumes of many files, each mounted by a freshly
// started KelDriver (Check) with an emptied cache directory and with the
// kept one; the volumes are filled in a helper run of this program with the
// engine's own create and flush routines (see populate()).
#include "e2e.h"

#include "kel/entry.h"
#include "kelhost/kern.h"
#include "kelmain/engine_main.h"
#include "kelmain/slots.h"
#include "udf/udf_mount.h"

#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace e2e {

namespace {

// Files "x<first>" ... of the folder, then a flush.
int fill(const std::string& folder, unsigned first, unsigned count, bool make_folder) {
  if (make_folder)
    if (int r = kelmain::CreateDirectory("/", folder.c_str() + 1, false)) return r;
  char name[32];
  for (unsigned i = first; i < first + count; ++i) {
    std::snprintf(name, sizeof name, "x%07u", i);
    char stored[256];
    void* handle = nullptr;
    if (int r = kelmain::CreateFile(folder.c_str(), name, sizeof stored, stored, &handle)) return r;
    if (int r = kelmain::CloseFile(handle, false)) return r;
  }
  return kelmain::Flush(true);
}

}  // namespace

int mount_in_process(const char* cookie_text, const char* cache_directory) {
  std::string program = "KelDriver", cookie = cookie_text, cache = cache_directory;
  std::vector<char*> args = {program.data(), cookie.data(), cache.data(), nullptr};
  if (quorvel_kel_init(3, const_cast<const char**>(args.data())) != 0 || Initialise(3, args.data()) != 0) return 10;
  if (int r = kelmain::MountDefault()) return std::fprintf(stderr, "mount: %d\n", r), 11;
  return 0;
}

namespace {

// Counts the entries as the program lists them: "." and ".." left out.
std::int64_t count_entry(const void* context, std::uint64_t, const char*, const void* record) {
  const char* name = static_cast<const KELFS_OBJECT_INFO*>(record)->ObjectName;
  if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
    ++*static_cast<std::size_t*>(const_cast<void*>(context));
  return 0;
}

std::uint64_t metadata_bytes_now() {
  const auto* mnt = static_cast<const mdcudfsr_mount*>(kel_global_mount()->mnt_data);
  return mnt != nullptr ? mnt->metadata_main_partition_length : 0;
}

}  // namespace

// argv: cookie text, cache directory, folder, first, count, make the folder (0 or 1).
int populate_main(int argc, char** argv) {
  if (argc != 6) return 2;
  const unsigned first = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
  const unsigned count = static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10));
  if (int r = mount_in_process(argv[0], argv[1])) return r;
  if (int r = fill(argv[2], first, count, argv[5][0] == '1')) return std::fprintf(stderr, "filling: %d\n", r), 12;
  std::printf("\nmetadata-bytes %llu\n", static_cast<unsigned long long>(metadata_bytes_now()));
  std::fflush(stdout);
  if (int r = kelmain::Unmount(false)) return std::fprintf(stderr, "unmount: %d\n", r), 13;
  return 0;
}

int list_main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (int r = mount_in_process(argv[0], argv[1])) return r;
  std::size_t listed = 0;
  const auto start = Clock::now();
  const std::int64_t r = kelmain::ReadDirectory(&listed, 0, argv[2], count_entry);
  const double s = secs_since(start);
  if (r != 0) return std::fprintf(stderr, "listing: %lld\n", static_cast<long long>(r)), 12;
  std::printf("\nlisted %zu %.9f\n", listed, s);
  std::fflush(stdout);
  kelmain::Unmount(false);
  return 0;
}

std::uint64_t make_volume(const Settings& s, kelsim::SimHarness& sim, unsigned files, unsigned per_folder) {
  {
    auto e = start_engine(sim, s.program);
    must(*e, 1, "Check", {}, "KelVolume");
    unmount(*e, 2);
  }
  // One helper run per kFolderFiles files, each ending with a flush, as the
  // volumes of earlier runs were made (each closed file leaves an inactive
  // proxy node under the shadow root until the unmount).
  std::uint64_t bytes = 0;
  for (unsigned made = 0; made < files;) {
    const unsigned folder = made / per_folder, first = made % per_folder;
    const unsigned count = std::min({kFolderFiles, per_folder - first, files - made});
    char name[16];
    std::snprintf(name, sizeof name, "/f%04u", folder);
    std::istringstream in(result_of(helper(s, {"--populate", sim.cookie_text(), sim.directory() + "/cache-populate",
                                               name, std::to_string(first), std::to_string(count),
                                               first == 0 ? "1" : "0"}),
                                    "metadata-bytes "));
    std::string word;
    in >> word >> bytes;
    if (word != "metadata-bytes") die("the filling run told no metadata size");
    made += count;
  }
  return bytes;
}

Volume volume_of(const Settings& s, const std::string& name, unsigned files, unsigned per_folder) {
  Volume v;
  const std::string kept = s.keep_volumes.empty() ? "" : s.keep_volumes + "/" + name;
  if (!kept.empty()) {
    std::ifstream stamp(kept + "/stamp");
    std::string commit;
    unsigned long long bytes = 0;
    if (stamp >> commit >> bytes && commit == s.stamp) {
      char tmpl[512];
      std::snprintf(tmpl, sizeof tmpl, "%s/volume-XXXXXX", s.dir.c_str());
      if (!::mkdtemp(tmpl)) die("cannot make a folder in " + s.dir);
      const std::string copy = std::string(tmpl) + "/cartridge";
      if (std::system(("cp -a --sparse=always '" + kept + "/cartridge' '" + copy + "'").c_str()) != 0)
        die("cannot copy the kept volume " + kept);
      kelsim::HarnessOptions o;
      o.drive.product = "QMR-T400A";
      o.parent_directory = tmpl;
      o.existing_cartridge = copy;
      v.sim = std::make_unique<kelsim::SimHarness>(o);
      v.metadata_bytes = bytes;
      v.kept = true;
      return v;
    }
  }
  v.sim = f2h_cartridge(s);
  const auto start = Clock::now();
  v.metadata_bytes = make_volume(s, *v.sim, files, per_folder);
  v.made_s = secs_since(start);
  if (!kept.empty()) {
    fs::remove_all(kept);
    fs::create_directories(kept);
    if (std::system(("cp -a --sparse=always '" + v.sim->cartridge_directory() + "' '" + kept + "/cartridge'").c_str()) != 0)
      die("cannot keep the volume in " + kept);
    std::ofstream(kept + "/stamp") << s.stamp << " " << v.metadata_bytes << "\n";
  }
  return v;
}

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
  double rss_kib = 0, hwm_kib = 0;          // emptied cache, above the empty volume's
  double kept_rss_kib = 0, kept_hwm_kib = 0;
};

// Three passes each way; the medians.
Point measure(kelsim::SimHarness& sim, const Settings& s, unsigned files, std::uint64_t metadata_bytes,
              const Point& empty) {
  Point p;
  p.files = files;
  p.metadata_bytes = metadata_bytes;
  std::vector<double> et, kt, er, eh, kr, kh, rt;
  const std::string kept_cache = sim.directory() + "/cache-kept";
  mount_once(sim, s, kept_cache);  // makes the kept cache
  for (int pass = 0; pass < s.passes(); ++pass) {
    const std::string emptied = sim.directory() + "/cache-emptied";
    fs::remove_all(emptied);
    const MountPass a = mount_once(sim, s, emptied);
    if (a.files < files) die("the mount counted " + std::to_string(a.files) + " files of " + std::to_string(files));
    if (pass == 0) std::printf("mounted: %s\n", a.counts.c_str());
    et.push_back(a.seconds);
    er.push_back(static_cast<double>(a.memory.rss_kib));
    eh.push_back(static_cast<double>(a.memory.hwm_kib));
    const MountPass b = mount_once(sim, s, kept_cache);
    kt.push_back(b.seconds);
    kr.push_back(static_cast<double>(b.memory.rss_kib));
    kh.push_back(static_cast<double>(b.memory.hwm_kib));
    if (metadata_bytes != 0) {
      const std::string image = sim.cartridge_directory() + "/slot-00.img";
      rt.push_back(plain_read(image, 0, metadata_bytes));
    }
  }
  p.emptied_s = median(et);
  p.kept_s = median(kt);
  p.read_s = median(rt);
  p.rss_kib = median(er) - empty.rss_kib;
  p.hwm_kib = median(eh) - empty.hwm_kib;
  p.kept_rss_kib = median(kr) - empty.kept_rss_kib;
  p.kept_hwm_kib = median(kh) - empty.kept_hwm_kib;
  return p;
}

void report_point(const Settings& s, const Point& p) {
  const std::string at = std::to_string(p.files);
  const double md_kib = static_cast<double>(p.metadata_bytes) / 1024.0;
  std::printf("-- %u files: metadata file %.1f MiB\n", p.files, md_kib / 1024.0);
  report({"mount_emptied_cache_" + at, "s", p.emptied_s, p.read_s, "", 0, false, false,
          "baseline: plain read of the metadata file's bytes"},
         s.tiny);
  report({"mount_kept_cache_" + at, "s", p.kept_s, p.read_s, "", 0, false, false,
          "baseline: plain read of the metadata file's bytes"},
         s.tiny);
  for (const auto& [what, kib] : {std::pair<std::string, double>{"vmrss", p.rss_kib}, {"vmhwm", p.hwm_kib},
                                  {"vmrss_kept_cache", p.kept_rss_kib}, {"vmhwm_kept_cache", p.kept_hwm_kib}})
    report({what + "_per_file_" + at, "KiB/file", kib / p.files, md_kib / p.files, "", 0, false, false,
            "above an empty volume's (" + std::to_string(static_cast<long long>(kib)) +
                " KiB in total); baseline: the metadata file's size per file"},
           s.tiny);
}

// Per-file time and memory at the largest point against the smallest: no
// worse than linear means within 1.5 times.
void report_growth(const Settings& s, const std::vector<Point>& points) {
  if (points.size() < 2) return;
  std::printf("-- growth (per file)\n");
  for (std::size_t i = 1; i < points.size(); ++i) {
    const Point &a = points[i - 1], &b = points[i];
    const std::string step = std::to_string(a.files) + "_to_" + std::to_string(b.files);
    report({"mount_s_per_file_" + step, "us/file", b.emptied_s / b.files * 1e6, a.emptied_s / a.files * 1e6, "", 0,
            false, true, ""},
           s.tiny);
    report({"vmrss_per_file_" + step, "KiB/file", b.rss_kib / b.files, a.rss_kib / a.files, "", 0, false, true, ""},
           s.tiny);
  }
  const Point &first = points.front(), &last = points.back();
  const std::string step = std::to_string(first.files) + "_to_" + std::to_string(last.files);
  report({"growth_mount_s_per_file_" + step, "us/file", last.emptied_s / last.files * 1e6,
          first.emptied_s / first.files * 1e6, "", 1.5, false, true, "no worse than linear"},
         s.tiny);
  report({"growth_vmrss_per_file_" + step, "KiB/file", last.rss_kib / last.files, first.rss_kib / first.files, "",
          1.5, false, true, "no worse than linear"},
         s.tiny);
}

// The slot image of a volume filled ten thousand files per flush takes about
// 26 KiB per file on the disk (each flush writes the metadata it changed
// anew), a kept copy as much again, the engine about 1.1 KiB of memory per
// file. False, with the reason printed, when the disk or the memory lacks it.
bool room_for(const Settings& s, unsigned files) {
  const std::string kept = s.keep_volumes.empty() ? "" : s.keep_volumes + "/files-" + std::to_string(files);
  const double disk_need = files * 26.0 * 1024 * (kept.empty() ? 1 : 2);
  struct statvfs st {};
  if (::statvfs(s.dir.c_str(), &st) == 0 && !fs::exists(kept + "/stamp")) {
    const double free = static_cast<double>(st.f_bavail) * st.f_frsize;
    if (free < disk_need * 1.2) {
      std::printf("stopped before %u files: the disk (about %.1f GB needed, %.1f GB free in %s)\n", files,
                  disk_need / 1e9, free / 1e9, s.dir.c_str());
      return false;
    }
  }
  const double memory_need = files * 1.1 * 1024 * 3;  // the engine, and room around it
  if (static_cast<double>(::sysconf(_SC_AVPHYS_PAGES)) * ::sysconf(_SC_PAGESIZE) < memory_need) {
    std::printf("stopped before %u files: the memory\n", files);
    return false;
  }
  return true;
}

}  // namespace

void mount_figures(const Settings& s) {
  std::printf("== mount and memory (F2h cartridge in a QMR-T400A; folders of %u files)\n", kFolderFiles);
  std::vector<unsigned> sizes;
  for (unsigned n : {10000u, 100000u})
    if (n < s.largest) sizes.push_back(n);
  sizes.push_back(s.largest);
  Point empty;
  {
    Volume v = volume_of(s, "empty", 0, kFolderFiles);
    const Point e = measure(*v.sim, s, 0, 0, Point{});
    empty.rss_kib = e.rss_kib;
    empty.hwm_kib = e.hwm_kib;
    empty.kept_rss_kib = e.kept_rss_kib;
    empty.kept_hwm_kib = e.kept_hwm_kib;
    std::printf("empty volume: VmRSS %.0f KiB, VmHWM %.0f KiB after the mount (emptied cache)\n", empty.rss_kib,
                empty.hwm_kib);
  }
  std::vector<Point> points;
  for (unsigned files : sizes) {
    if (!room_for(s, files)) break;
    Volume v = volume_of(s, "files-" + std::to_string(files), files, kFolderFiles);
    std::printf("volume of %u files: %s\n", files,
                v.kept ? "kept from an earlier run" : ("made in " + std::to_string(v.made_s) + " s").c_str());
    points.push_back(measure(*v.sim, s, files, v.metadata_bytes, empty));
    report_point(s, points.back());
  }
  report_growth(s, points);
  if (!s.tiny)
    std::printf("largest point: %u files in folders of %u: a volume of type 0 on F2h mounts at most 800,000 "
                "objects (files and folders as the node cache counts them; empty files have no parity file), so "
                "1,000,000 files lie beyond every limit by design\n",
                s.largest, kFolderFiles);
}

}  // namespace e2e
