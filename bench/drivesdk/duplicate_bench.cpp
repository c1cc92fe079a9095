// Throughput of a volume duplication to a plain directory, and the cost of
// building a file list from a large node list.
//
//   duplicate_bench [--tiny] [--small N] [--large M] [--large-mib S] [--nodes K]
//
// Starts the simulated host service and changer drive in-process; a stand-in
// for the engine's controls answers the node list of a tree of files kept in
// a temporary directory, which a drive letter names. Measures, in one run:
//   - a mode-0 duplication of N small files (4 KiB, default 4000) and M large
//     files (S MiB each, defaults 4 and 64) to a plain directory, in MB/s,
//     with the ratio to a plain read-and-write copy of the same tree;
//   - the time and the peak resident memory (VmHWM) of makeFileList over a
//     translated node list of K entries (default 100000).
// --tiny runs a few files and nodes and checks the copies (used as a test).
#include "duplicate.h"
#include "file_list.h"

#include "KelDriveSDK/KelDriveSDK.h"
#include "kel/mdcfs.h"
#include "platform/drive_letters.h"
#include "sim/harness.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "duplicate_bench: %s\n", what);
  std::exit(1);
}

struct Node {
  std::string path;
  std::uint64_t id, parent, size;
  std::uint32_t attributes;
};
std::vector<Node> g_nodes;

int control(unsigned code, void* buffer) {
  auto* b = static_cast<std::uint8_t*>(buffer);
  switch (code) {
    case 0xC1247056: {
      const std::uint32_t count = static_cast<std::uint32_t>(g_nodes.size() - 1);
      std::memcpy(b + 268, &count, 4);
      std::uint32_t size;
      std::uint64_t address;
      std::memcpy(&size, b + 276, 4);
      std::memcpy(&address, b + 280, 8);
      std::uint32_t written = 0;
      for (const Node& n : g_nodes) {
        if (written == size / 1004) break;
        PxoUtilityLib::EngineNodeEntry e{};
        e.id = n.id;
        e.parent = n.parent;
        e.size = n.size;
        e.attributes = n.attributes;
        const std::string name = n.path == "/" ? "/" : n.path.substr(n.path.rfind('/') + 1);
        std::memcpy(e.name, name.data(), name.size());
        std::memcpy(reinterpret_cast<std::uint8_t*>(address) + written * 1004ull, &e, sizeof e);
        ++written;
      }
      std::memcpy(b + 272, &written, 4);
      return 0;
    }
    case 0x402C7050: std::memset(b, 0, 44); std::memcpy(b, "BENCHMEDIA", 10); return 0;
    case 0x40107014: {
      MDCFS_MOUNT_INFORMATION info{};
      info.MediumType = 0xE1;
      std::memcpy(b, &info, sizeof info);
      return 0;
    }
    default: return 0;
  }
}

void writeFile(const std::string& path, std::uint64_t size, std::uint8_t seed) {
  std::vector<char> chunk(1 << 20);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 7 + seed);
  std::ofstream out(path, std::ios::binary);
  for (std::uint64_t left = size; left > 0;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    left -= n;
  }
  if (!out) die("cannot write the source tree");
}

void addNode(const std::string& path, std::uint64_t size, std::uint32_t attributes, std::uint64_t parent) {
  g_nodes.push_back({path, g_nodes.size() + 1, parent, size, attributes});
}

// A plain copy of the tree, read and written in 32 MiB pieces.
void plainCopy(const fs::path& from, const fs::path& to) {
  std::vector<char> buffer(0x2000000);
  for (const auto& entry : fs::recursive_directory_iterator(from)) {
    const fs::path target = to / fs::relative(entry.path(), from);
    if (entry.is_directory()) {
      fs::create_directory(target);
      continue;
    }
    const int in = ::open(entry.path().c_str(), O_RDONLY);
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (in < 0 || out < 0) die("plain copy open");
    for (ssize_t n; (n = ::read(in, buffer.data(), buffer.size())) > 0;)
      if (::write(out, buffer.data(), static_cast<std::size_t>(n)) != n) die("plain copy write");
    ::close(in);
    ::close(out);
  }
}

long vmHwmKiB() {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == "VmHWM:") {
      status >> value;
      return value;
    }
    status.ignore(1 << 16, '\n');
  }
  return -1;
}

bool sameTree(const fs::path& a, const fs::path& b) {
  for (const auto& entry : fs::recursive_directory_iterator(a)) {
    if (entry.is_directory()) continue;
    std::ifstream x(entry.path(), std::ios::binary), y(b / fs::relative(entry.path(), a), std::ios::binary);
    if (!std::equal(std::istreambuf_iterator<char>(x), {}, std::istreambuf_iterator<char>(y), {})) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool tiny = false;
  std::uint64_t small = 4000, large = 4, largeMiB = 64, nodes = 100000;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&] { return i + 1 < argc ? std::strtoull(argv[++i], nullptr, 10) : 0ull; };
    if (a == "--tiny") tiny = true;
    else if (a == "--small") small = next();
    else if (a == "--large") large = next();
    else if (a == "--large-mib") largeMiB = next();
    else if (a == "--nodes") nodes = next();
    else die("usage: duplicate_bench [--tiny] [--small N] [--large M] [--large-mib S] [--nodes K]");
  }
  if (tiny) {
    small = 20;
    large = 1;
    largeMiB = 1;
    nodes = 500;
  }
  char scratch[] = "/tmp/kel-dupbench-XXXXXX";
  if (!mkdtemp(scratch)) die("mkdtemp");
  const fs::path root = scratch;
  const fs::path src = root / "src", dst = root / "dst", plain = root / "plain";
  fs::create_directories(src / "small");
  fs::create_directories(dst);
  fs::create_directories(plain);
  setenv("KEL_REGISTRY", (root / "registry.reg").c_str(), 1);

  kelsim::HarnessOptions options;
  options.drive.product = "QMR-T300B";
  kelsim::SimHarness sim(options);
  KelDriveSDK_Quorvel_SetCallbacks(nullptr, nullptr, control, nullptr, 1, 3);
  if (!platform::drive_letter_assign(u'S', {sim.cookie_text(), src.string()})) die("drive letter");

  addNode("/", 0, 0x10, 0);
  addNode("/small", 0, 0x10, 1);
  std::uint64_t bytes = 0;
  for (std::uint64_t i = 0; i < small; ++i) {
    const std::string name = "/small/f" + std::to_string(i);
    writeFile((src.string() + name), 4096, static_cast<std::uint8_t>(i));
    addNode(name, 4096, 0, 2);
    bytes += 4096;
  }
  for (std::uint64_t i = 0; i < large; ++i) {
    const std::string name = "/large" + std::to_string(i);
    writeFile(src.string() + name, largeMiB << 20, static_cast<std::uint8_t>(i));
    addNode(name, largeMiB << 20, 0, 1);
    bytes += largeMiB << 20;
  }

  // Duplication and the plain copy, in the same run.
  PxoUtilityLib::Duplicate dup;
  std::uint32_t files = 0;
  std::uint64_t size = 0;
  if (dup.getFilesDuplicateMedia(u"S:", u"\\", false, files, size) != 0) die("collecting the source failed");
  PxoUtilityLib::DuplicateResult result;
  std::vector<PxoUtilityLib::DuplicateEntryResult> list;
  const auto t0 = Clock::now();
  const std::uint32_t r = dup.doDuplicateMedia(0, 0, 1, PxoUtilityLib::widen(dst.string()), result, list, false, nullptr);
  const double dupSeconds = seconds(Clock::now() - t0);
  if (r != 0 || result.values[1] != files) die("the duplication failed");
  const auto t1 = Clock::now();
  plainCopy(src, plain);
  const double plainSeconds = seconds(Clock::now() - t1);
  if (!sameTree(src, dst)) die("the duplicate differs from the source");
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("duplication: %llu files, %.1f MB in %.3f s: %.1f MB/s\n", static_cast<unsigned long long>(files), mb,
              dupSeconds, mb / dupSeconds);
  std::printf("plain copy:  %.1f MB in %.3f s: %.1f MB/s\n", mb, plainSeconds, mb / plainSeconds);
  std::printf("ratio duplication / plain copy: %.2f\n", plainSeconds / dupSeconds);

  // The file list of a large node list.
  g_nodes.clear();
  addNode("/", 0, 0x10, 0);
  for (std::uint64_t i = 1; i < nodes; ++i) {
    if (i % 1000 == 1) addNode("/d" + std::to_string(i), 0, 0x10, 1);
    else addNode("/d" + std::to_string(i - (i - 1) % 1000) + "/f" + std::to_string(i), i, 0,
                 g_nodes.size() - (i - 1) % 1000 + 1);
  }
  PxoUtilityLib::DriveCtrl drive(PxoUtilityLib::widen(sim.cookie_text()), false);
  if (drive.openReadOnly() != 0) die("open the drive");
  {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";  // resets the peak
  }
  const long before = vmHwmKiB();
  PxoUtilityLib::FileList fileList;
  const auto t2 = Clock::now();
  if (drive.makeFileList(u"\\", fileList) != 0) die("makeFileList failed");
  const double listSeconds = seconds(Clock::now() - t2);
  if (fileList.itemCount + fileList.dirCount + 1 != g_nodes.size()) die("the file list lost nodes");
  std::printf("makeFileList: %zu nodes in %.3f s, VmHWM %ld KiB (%ld KiB before)\n", g_nodes.size(), listSeconds,
              vmHwmKiB(), before);
  KelDriveSDK_Quorvel_SetCallbacks(nullptr, nullptr, nullptr, nullptr, 0, 0);
  fs::remove_all(root);
  return 0;
}
