// Packed writing against the real writer over the scripted operation table:
// 1,000 files of 64 KiB packed in one session and divided, then the same
// files written one by one; files per second, their ratio, and the resident
// memory the packed session's rings take.
#include "LumoQVE/PackedFileIO.h"
#include "LumoQVE/PackedSession.h"
#include "LumoQVE/UserDataFileIO.h"
#include "interface/support/loop_fake_engine.h"
#include "kel/entry.h"
#include "kel/kel_interface.h"
#include "kel/volctrl.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

template <class T>
std::vector<std::uint8_t> bytes(const T& v) {
  std::vector<std::uint8_t> b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}

long residentKiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::strlen(key)));
  return -1;
}

void volume(bool packed) {
  auto& e = looptest::engine();
  e.reset();
  e.file_store = true;
  e.packed_store = true;
  e.fsctl_out[0xC0107016] = bytes(MDCFS_VOLUME_TRACK_INFORMATION{4, 0, 0x100, 0x4000000});
  e.fsctl_out[0xC0107041] = bytes(MDCFS_TRACK_WRITE_RESOURCE_INFORMATION{0, 0x20, 0x1000, 0x1000});
  e.fsctl_out[0x40047040] = bytes(std::uint32_t{0});
  e.fsctl_out[0x40207063] = bytes(MDCFS_STATFS_SIZEINFO{2048, 0, 0x4000000, 0x3000000, 0});
  e.fsctl_out[0x40087057] = bytes(std::int64_t{-1});
  MDCFS_MOUNT_INFORMATION m{};
  m.MediumType = 0xE1;
  m.VolumeStatus = 0x81;
  m.VolumeTypeAndInformationVersion = 0x10;
  e.fsctl_out[0x40107014] = bytes(m);
  e.fsctl_out[0x40207051] = bytes(MDCFS_WRITE_POLICY_INFORMATION{0, 66048, 512, 1024, 1024, 128, 32768, 0});
  RuvoCtrlVolume::resetForTesting();
  RuvoCtrlVolume::setPackedWriteMode(packed);
  RuvoCtrlVolume::setDfltFsFlshPlcy(1);
  RuvoCtrlVolume::setPckdWrtMaxFNum(8192);
  RuvoCtrlVolume::setPckdWrtEndSects(0x200000);
}

bool archive(int i, const std::string& content) {
  const std::string rel = "d\\f" + std::to_string(i);
  {
    std::lock_guard<std::mutex> lk(looptest::engine().mu);
    looptest::engine().files["/d/f" + std::to_string(i)].id = looptest::engine().next_id++;
  }
  std::shared_ptr<LumoQVE::UserDataFileIO> f;
  if (LumoQVE::UserDataFileIO::convertPort2Writer(u"", std::u16string(rel.begin(), rel.end()), 0x40000000, nullptr, 0,
                                                 1, 0x80, nullptr, f))
    return false;
  f->seek(static_cast<std::int64_t>(content.size()));
  if (f->setEndOfFile()) return false;
  f->seek(0);
  std::uint32_t written = 0;
  if (f->createWriterObject() || f->getWriter()->write(content.data(), static_cast<std::uint32_t>(content.size()), &written))
    return false;
  if (f->getWriter()->flush(true) || f->getWriter()->setFileTime(1, 2, 3)) return false;
  return f->close() == 0;
}

// Files per second of n files written in the given mode (and, packed,
// divided at the end).
double run(bool packed, int n, const std::string& content, long* session_kib) {
  volume(packed);
  const long before = residentKiB("VmRSS:");
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < n; ++i)
    if (!archive(i, content)) {
      std::fprintf(stderr, "file %d failed\n", i);
      return 0;
    }
  if (session_kib) *session_kib = residentKiB("VmRSS:") - before;
  if (packed)
    if (const std::uint32_t r = LumoQVE::PackedSession::current()->end(6).result)
      std::fprintf(stderr, "division failed: 0x%08X\n", r);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return n / s;
}

}  // namespace

int main() {
  CKelInterface itf;
  if (itf.Initialise(&looptest::fakeOperations()) != S_OK) return 1;
  kel::SetCurrentInterface(&itf);
  const int n = 1000;
  std::string content(65536, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  long session_kib = 0;
  const double packed = run(true, n, content, &session_kib);
  const double real = run(false, n, content, nullptr);
  std::printf("packed: %.1f files/s (one session, divided)\n", packed);
  std::printf("real writer: %.1f files/s\n", real);
  std::printf("ratio packed/real: %.2f\n", real > 0 ? packed / real : 0.0);
  std::printf("resident memory grown during the packed session: %ld KiB (peak %ld KiB)\n", session_kib,
              residentKiB("VmHWM:"));
  kel::SetCurrentInterface(nullptr);
  return 0;
}
