// The volumes of the listing and mount figures: an F2h cartridge formatted
// by a Check and filled with empty files in one helper run of this program
// with the engine's own create and flush routines, with the metadata files
// an archiving host leaves (generation and version of every file). A volume
// may be kept between runs (--keep-volumes), remade when another commit
// built this program.
#include "e2e.h"

#include "kel/entry.h"
#include "kel/kel_interface.h"
#include "kel/metadata.h"
#include "kel/writer_port.h"
#include "kelhost/kern.h"
#include "kelmain/engine_main.h"
#include "kelmain/slots.h"
#include "platform/codepage.h"
#include "udf/udf_mount.h"

#include <sys/stat.h>
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

int mount_in_process(const char* cookie_text, const char* cache_directory) {
  std::string program = "KelDriver", cookie = cookie_text, cache = cache_directory;
  std::vector<char*> args = {program.data(), cookie.data(), cache.data(), nullptr};
  if (quorvel_kel_init(3, const_cast<const char**>(args.data())) != 0 || Initialise(3, args.data()) != 0) return 10;
  if (int r = kelmain::MountDefault()) return std::fprintf(stderr, "mount: %d\n", r), 11;
  return 0;
}

namespace {

// Files "x0000000" ... of folder "/f<n>" (made first), `count` of them; the
// object id of each goes to ids.
int fill_folder(unsigned folder, unsigned count, std::vector<std::uint32_t>* ids) {
  char dir[16], name[32], path[64];
  std::snprintf(dir, sizeof dir, "/f%04u", folder);
  if (int r = kelmain::CreateDirectory("/", dir + 1, false)) return r;
  for (unsigned i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "x%07u", i);
    char stored[256];
    void* handle = nullptr;
    if (int r = kelmain::CreateFile(dir, name, sizeof stored, stored, &handle)) return r;
    if (int r = kelmain::CloseFile(handle, false)) return r;
    std::snprintf(path, sizeof path, "%s/%s", dir, name);
    KELFS_OBJECT_INFO info{};
    if (int r = kelmain::GetPathInfo(path, 0, &info)) return r;
    ids->push_back(info.ObjectID);
  }
  return 0;
}

// One metadata file written whole as the Sync handler writes it: an
// earlier one deleted, made anew through the slots, its bytes through the
// user-data writer (the slots write no file of the metadata folder), then
// owner-read-only.
int write_metadata_file(kel::CKelMetaData::CMetaDataFile& file) {
  const std::string path = std::string(kel::kMetaDataFolder) + "/" + file.GetFileName();
  if (kelmain::GetPathInfo(path.c_str(), 0, nullptr) == 0)
    if (int r = kelmain::DeleteFile(kel::kMetaDataFolder, file.GetFileName().c_str())) return r;
  char stored[260] = {};
  void* handle = nullptr;
  if (int r = kelmain::CreateFile(kel::kMetaDataFolder, file.GetFileName().c_str(), sizeof stored, stored, &handle))
    return r;
  std::unique_ptr<kel::WriterFile> out;
  const kel::UserDataWriter& w = kel::CurrentUserDataWriter();
  if (w.Open(platform::utf8_to_utf16(stored), 0x40000000u, 0, 1, &out) != 0 || !out) return 20;
  const std::uint64_t size = file.ImageLength();
  out->Seek(static_cast<std::int64_t>(size));
  if (out->SetEndOfFile() != 0) return 21;
  out->Seek(0);
  for (std::uint64_t offset = 0; offset < size;) {
    std::uint32_t piece = static_cast<std::uint32_t>(std::min<std::uint64_t>(size - offset, kel::kMetaTransferBytes));
    const std::uint8_t* data = file.GetFileData(offset, &piece);
    std::uint32_t done = 0;
    if (!data || piece == 0) return 22;
    if (out->Write(data, piece, &done) != 0 || done != piece) return 23;
    offset += piece;
  }
  if (out->Flush() != 0 || out->Close() != 0) return 24;
  if (int r = kelmain::CloseFile(handle, true)) return r;
  return kelmain::SetAttributes(handle, 0x100);
}

// Generation 1 and version 1 of every file, as an archiving host leaves
// them; the writer reaches the engine through an interface made current
// here, as in the program.
int write_metadata(const std::vector<std::uint32_t>& ids) {
  const FileSystemOperations ops = kelmain::operation_table();
  CKelInterface itf;
  kel::SetCurrentInterface(&itf);
  struct Leave {
    ~Leave() { kel::SetCurrentInterface(nullptr); }
  } leave;
  if (FAILED(itf.Initialise(&ops))) return 25;
  kel::CKelMetaData store(&ops);
  std::lock_guard<platform::CriticalSection> lk(store.Lock());
  if (DWORD e = store.FormatIdentity("KELBENCH", 1, 0)) return static_cast<int>(e);
  for (std::uint32_t id : ids)
    if (DWORD e = store.SetObjectVersion(id, 1, 1)) return static_cast<int>(e);
  if (int r = kelmain::CreateDirectory("/", kel::kMetaDataFolder + 1, true)) return r;
  for (auto* file : store.GetDirtyFiles())
    if (int r = write_metadata_file(*file)) return r;
  // A packed session holds the files' bytes until its end, which leaves the
  // privileged mode before the flush.
  const kel::UserDataWriter& w = kel::CurrentUserDataWriter();
  if (w.SessionOpen && w.SessionOpen() && w.EndSession().Failed()) return 26;
  return 0;
}

std::uint64_t metadata_bytes_now() {
  const auto* mnt = static_cast<const mdcudfsr_mount*>(kel_global_mount()->mnt_data);
  return mnt != nullptr ? mnt->metadata_main_partition_length : 0;
}

}  // namespace

// argv: cookie text, cache directory, files, files per folder. One session,
// one flush at its end: a volume flushed more often holds every earlier
// copy of its metadata too.
int populate_main(int argc, char** argv) {
  if (argc != 4) return 2;
  const unsigned files = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  const unsigned per_folder = static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10));
  if (per_folder == 0) return 2;
  if (int r = mount_in_process(argv[0], argv[1])) return r;
  // A failed step still unmounts: the engine's threads end with it.
  auto fail = [](const char* step, int r, int status) {
    std::fprintf(stderr, "%s: %d\n", step, r);
    kelmain::Unmount(true);
    return status;
  };
  std::vector<std::uint32_t> ids;
  ids.reserve(files);
  for (unsigned folder = 0; folder * per_folder < files; ++folder)
    if (int r = fill_folder(folder, std::min(per_folder, files - folder * per_folder), &ids))
      return fail("filling", r, 12);
  if (int r = write_metadata(ids)) return fail("metadata files", r, 13);
  if (int r = kelmain::Flush(true)) return fail("flush", r, 14);
  std::printf("\nmetadata-bytes %llu\n", static_cast<unsigned long long>(metadata_bytes_now()));
  std::fflush(stdout);
  if (int r = kelmain::Unmount(false)) return std::fprintf(stderr, "unmount: %d\n", r), 15;
  return 0;
}

namespace {

std::uint64_t make_volume(const Settings& s, kelsim::SimHarness& sim, unsigned files, unsigned per_folder) {
  {
    auto e = start_engine(sim, s.program);
    must(*e, 1, "Check", {}, "KelVolume");
    unmount(*e, 2);
  }
  const std::string cache = sim.directory() + "/cache-populate";
  std::istringstream in(result_of(helper(s, {"--populate", sim.cookie_text(), cache, std::to_string(files),
                                             std::to_string(per_folder)}),
                                  "metadata-bytes "));
  fs::remove_all(cache);
  std::string word;
  std::uint64_t bytes = 0;
  in >> word >> bytes;
  if (word != "metadata-bytes") die("the filling run told no metadata size");
  return bytes;
}

bool is_slot_image(const fs::path& p) { return p.extension() == ".img"; }

// The slot images of `from` linked into `to`, the other files copied.
void link_cartridge(const std::string& from, const std::string& to) {
  fs::create_directories(to);
  for (const auto& e : fs::directory_iterator(from)) {
    const fs::path target = fs::path(to) / e.path().filename();
    if (is_slot_image(e.path())) fs::create_hard_link(e.path(), target);
    else fs::copy_file(e.path(), target, fs::copy_options::overwrite_existing);
  }
}

// Modification times of the slot images, to tell whether a run wrote them.
std::string image_times(const std::string& cartridge) {
  std::vector<std::string> lines;
  for (const auto& e : fs::directory_iterator(cartridge)) {
    if (!is_slot_image(e.path())) continue;
    struct stat st {};
    ::stat(e.path().c_str(), &st);
    lines.push_back(e.path().filename().string() + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                    std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_size));
  }
  std::sort(lines.begin(), lines.end());
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  return all;
}

}  // namespace

Volume::~Volume() {
  sim.reset();
  if (!kept_dir.empty() && image_times(kept_dir + "/cartridge") != kept_times) {
    // Mounts that wrote a slot image changed the kept volume too: it is
    // made anew next time.
    std::printf("the run wrote to the kept volume %s: it is dropped\n", kept_dir.c_str());
    fs::remove(kept_dir + "/stamp");
  }
  if (!own_dir.empty()) fs::remove_all(own_dir);
}

std::unique_ptr<Volume> volume_of(const Settings& s, const std::string& name, unsigned files, unsigned per_folder) {
  auto v = std::make_unique<Volume>();
  const std::string kept = s.keep_volumes.empty() ? "" : s.keep_volumes + "/" + name;
  if (!kept.empty()) {
    std::ifstream stamp(kept + "/stamp");
    std::string commit;
    unsigned long long bytes = 0;
    if (stamp >> commit >> bytes && commit == s.stamp) {
      char tmpl[512];
      std::snprintf(tmpl, sizeof tmpl, "%s/volume-XXXXXX", s.dir.c_str());
      if (!::mkdtemp(tmpl)) die("cannot make a folder in " + s.dir);
      v->own_dir = tmpl;
      const std::string cartridge = v->own_dir + "/cartridge";
      link_cartridge(kept + "/cartridge", cartridge);
      v->kept_dir = kept;
      v->kept_times = image_times(kept + "/cartridge");
      kelsim::HarnessOptions o;
      o.drive.product = "QMR-T400A";
      o.parent_directory = v->own_dir;
      o.existing_cartridge = cartridge;
      v->sim = std::make_unique<kelsim::SimHarness>(o);
      v->metadata_bytes = bytes;
      v->kept = true;
      return v;
    }
  }
  v->sim = f2h_cartridge(s);
  const auto start = Clock::now();
  v->metadata_bytes = make_volume(s, *v->sim, files, per_folder);
  v->made_s = secs_since(start);
  if (!kept.empty()) {
    fs::remove_all(kept);
    link_cartridge(v->sim->cartridge_directory(), kept + "/cartridge");
    std::ofstream(kept + "/stamp") << s.stamp << " " << v->metadata_bytes << "\n";
    v->kept_dir = kept;
    v->kept_times = image_times(kept + "/cartridge");
  }
  return v;
}

std::string about(const Volume& v) {
  return v.kept ? "kept from an earlier run" : "made in " + std::to_string(v.made_s) + " s";
}

}  // namespace e2e
