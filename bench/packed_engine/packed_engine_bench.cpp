// Packed writing over the real engine's slots in this process on the
// simulated drive: N files (default 1,000) of K KiB (default 64) written as
// the archive handler writes them, packed in one session and divided at its
// forced end, against the same files written one by one through the real
// writer on a fresh cartridge in the same run. Prints files per second,
// their ratio, and the resident memory the packed session's rings take.
// The engine's metadata flush is left out of both figures. The engine's own
// log lines are dropped; the figures go to standard output.
//
//   packed_engine_bench [--files N] [--kib K] [--rewritable]
#include "LumoQVE/PackedFileIO.h"
#include "LumoQVE/PackedSession.h"
#include "LumoQVE/UserDataFileIO.h"
#include "common/bench_frame.h"
#include "common/engine_mount.h"
#include "kel/volctrl.h"
#include "kelmain/slots.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using kel_bench::Clock;
using kel_bench::die;

struct Options {
  int files = 1000;
  std::size_t bytes = 65536;
  std::uint8_t medium = 0xE1;
};

long status_kib(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
  return -1;
}

// One file as the archive handler writes it: made by the engine, opened
// through the writer by its stored name, sized, written, flushed, timed
// and closed, then the engine's handle closed.
void archive(const std::string& name, const std::string& content) {
  char stored[260] = {};
  void* handle = nullptr;
  if (int e = kelmain::CreateFile("/", name.c_str(), sizeof stored, stored, &handle)) die("create failed", e);
  const std::string s(stored);
  std::shared_ptr<LumoQVE::UserDataFileIO> f;
  std::uint32_t r = LumoQVE::UserDataFileIO::convertPort2Writer(u"", std::u16string(s.begin(), s.end()), 0x40000000,
                                                                nullptr, 0, 1, 0x80, nullptr, f);
  if (r) die("open failed", r);
  f->seek(static_cast<std::int64_t>(content.size()));
  if ((r = f->setEndOfFile())) die("size failed", r);
  f->seek(0);
  std::uint32_t written = 0;
  if ((r = f->createWriterObject()) ||
      (r = f->getWriter()->write(content.data(), static_cast<std::uint32_t>(content.size()), &written)))
    die("write failed", r);
  if ((r = f->getWriter()->flush(true)) || (r = f->getWriter()->setFileTime(1, 2, 3)) || (r = f->close()))
    die("close failed", r);
  kelmain::CloseFile(handle, true);
}

// The last file's size as the engine reports it: a run that lost data is
// no figure.
void check_last(const std::string& name, std::size_t size) {
  KELFS_OBJECT_INFO info{};
  if (kelmain::GetPathInfo(("/" + name).c_str(), 0, &info) != 0 || info.Size != size) die("a file lost its size", 0);
}

struct Run {
  double files_per_s = 0;
  long session_kib = 0;  // resident memory grown while the files were written
  long peak_kib = 0;     // the process's resident peak after the run
  std::uint32_t proxy_buffers = 0;
  std::uint64_t proxy_buffer_bytes = 0;
};

Run run(const Options& o, bool packed, const std::filesystem::path& dir) {
  kelsim::HarnessOptions h;
  h.cartridge.medium_type = o.medium;
  const kel_bench::MountedEngine engine(dir, h);
  RuvoCtrlVolume::setPackedWriteMode(packed);
  std::string content(o.bytes, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 2048);
  Run out;
  const long before = status_kib("VmRSS:");
  const auto t0 = Clock::now();
  for (int i = 0; i < o.files; ++i) archive("f" + std::to_string(i), content);
  out.session_kib = status_kib("VmRSS:") - before;
  if (packed) {
    const std::shared_ptr<LumoQVE::ProxyWriter> proxy = LumoQVE::PackedSession::current()->proxy();
    if (!proxy) die("the files were not packed", 0);
    out.proxy_buffers = proxy->m_bufferCount;
    out.proxy_buffer_bytes = LumoQVE::UserDataFileIO::calcAnnulsBufferSizeBytes();
    if (std::uint32_t r = LumoQVE::PackedSession::current()->end(6).result) die("division failed", r);
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  out.files_per_s = s > 0 ? o.files / s : 0;
  check_last("f" + std::to_string(o.files - 1), o.bytes);
  out.peak_kib = status_kib("VmHWM:");
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  kel_bench::set_program("packed_engine_bench");
  Options o;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--files") && i + 1 < argc) o.files = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--kib") && i + 1 < argc) o.bytes = std::strtoull(argv[++i], nullptr, 10) * 1024;
    else if (!std::strcmp(argv[i], "--rewritable")) o.medium = 0xE2;
    else die("unknown argument", i);
  }
  if (o.files < 1) die("--files must be at least 1", o.files);
  const auto dir = std::filesystem::temp_directory_path() / ("packed_engine_bench_" + std::to_string(::getpid()));
  Run packed, real;
  {
    kel_bench::EngineLogAside aside;
    packed = run(o, true, dir);
    real = run(o, false, dir);
  }
  std::printf("%d files of %zu KiB on a %s cartridge\n", o.files, o.bytes / 1024,
              o.medium == 0xE2 ? "rewritable" : "write-once");
  std::printf("packed, one session and its division: %9.1f files/s\n", packed.files_per_s);
  std::printf("real writer, file by file (baseline): %9.1f files/s\n", real.files_per_s);
  std::printf("ratio packed/real: %.2f\n", real.files_per_s > 0 ? packed.files_per_s / real.files_per_s : 0.0);
  std::printf("resident memory grown while the session was open: %ld KiB, process peak %ld KiB\n",
              packed.session_kib, packed.peak_kib);
  std::printf("rings reserved: ghost 3 x %llu MiB, proxy %u x %llu MiB\n",
              static_cast<unsigned long long>(LumoQVE::GhostFileWriter::kBufferBytes >> 20), packed.proxy_buffers,
              static_cast<unsigned long long>(packed.proxy_buffer_bytes >> 20));
  return 0;
}
