#include "vds_structure.h"

#include "drive/client_if.h"
#include "kel/config.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "platform/sync.h"
#include "support/instant_clock.h"
#include "kelhost/vnode.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_rewritable.h"
#include "udf/udf_vds_rules.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace e2e {

namespace {

using kel_test::InstantClock;

// A drive client of this process on the harness's pipe, for one check. The
// pipe connection stays open until the harness ends; a later harness's
// pipe is found again through KEL_PIPE_DIR. At the end of the check this
// process gives the medium up, so that the service serves the next engine.
class DriveClient {
 public:
  explicit DriveClient(kelsim::SimHarness& sim) : sim_(sim) {
    ::setenv("KEL_REGISTRY", (sim.directory() + "/structure-check.reg").c_str(), 1);
    kel::ResetConfigCache();
    kel::SetMediumCookie(sim.cookie());
    pclient_if = new client_if();
    pclient_if->storage()->set_device_number("sg0");
    pclient_if->storage()->set_device_name("/dev/sg-no-such-device");
    ok_ = pclient_if->storage()->init() == 0;
  }
  ~DriveClient() {
    clientif_delete();
    pclient_if = nullptr;
    kel::SetMediumCookie(0);
    kel::ResetConfigCache();
    sim_.service().release_medium(sim_.cookie());
  }
  bool ok() const { return ok_; }

 private:
  kelsim::SimHarness& sim_;
  bool ok_ = false;
};

bool unlinked(const mdcudfsr_mount& m) {
  const auto& md = m.vds.pmap.type2_metadata;
  return md.file_loc >= m.vds.pd.part_len && md.mirror_file_loc >= m.vds.pd.part_len;
}

// The metadata file (L - 4096) and its mirror (L - 4080) of the location L
// that 1500h's position word (value bytes 56-59, big-endian) names.
std::string link_from_cartridge_memory(kelsim::Cartridge& c, int slot, mdcudfsr_mount* m) {
  const auto it = c.attributes.find(0x1500);
  if (it == c.attributes.end() || it->second.value.size() < 60) return "unlinked, and no 1500h to link from";
  const std::uint8_t* p = it->second.value.data() + 56;
  const std::uint32_t vuvi = std::uint32_t{p[0]} << 24 | p[1] << 16 | p[2] << 8 | p[3];
  if (mdcudfsr_vuvi_slot(vuvi) != static_cast<std::uint32_t>(slot)) return "unlinked, and 1500h names another slot";
  const std::uint32_t fe = mdcudfsr_vuvi_fe_location(vuvi);
  if (fe < 4096 || std::uint64_t{fe} - 4080 >= m->vds.pd.part_len) return "unlinked, and 1500h names no metadata file";
  m->vds.pmap.type2_metadata.file_loc = fe - 4096;
  m->vds.pmap.type2_metadata.mirror_file_loc = fe - 4080;
  return "";
}

std::string check_loaded(kelsim::SimHarness& sim, int slot) {
  kelsim::Cartridge& c = sim.cartridge();
  vnode devvp{};
  auto mnt = std::make_unique<mdcudfsr_mount>();
  mnt->devvp = &devvp;  // any vnode reaches the drive client
  mnt->num_sectors = c.disc_blocks();
  mnt->medium_type = c.medium_type();
  mnt->is_rewritable = c.write_once() ? 0 : 1;
  mnt->logical_sector_size = kelsim::kBlockSize;
  mnt->logical_block_size = kelsim::kBlockSize;
  mnt->loaded_slot = static_cast<std::uint32_t>(slot);
  mnt->current_disc = static_cast<std::uint32_t>(slot);
  mnt->num_discs = c.slots();
  if (mnt->is_rewritable) {
    if (int e = mdcudfsr_read_avdp_RE(mnt.get(), nullptr, 1, 0, nullptr)) return "anchors unreadable: " + std::to_string(e);
  } else {
    if (int e = mdcudfsr_read_avdp(mnt.get(), nullptr, 1, 0, nullptr)) return "anchors unreadable: " + std::to_string(e);
    if (int e = mdcudfsr_read_vds(mnt.get(), nullptr, 0, 1, 0, nullptr))
      return "descriptor sequences unreadable: " + std::to_string(e);
  }
  // A soft write protection is a verdict of its own: an earlier slot of a
  // volume that went on is closed for writing.
  std::uint32_t soft = 0;
  int e = mdcudfsr_check_vds_structure(mnt.get(), &soft, nullptr);
  if (e && unlinked(*mnt)) {
    // While files are written the descriptors point past the partition and
    // the cartridge memory names the metadata file: checked as a mount
    // links them, without writing anything.
    const std::string why = link_from_cartridge_memory(c, slot, mnt.get());
    if (!why.empty()) return why;
    e = mdcudfsr_check_vds_structure(mnt.get(), &soft, nullptr);
  }
  if (e) return "structure refused: " + std::to_string(e);
  return "";
}

}  // namespace

std::string vds_structure_verdict(kelsim::SimHarness& sim, int slot) {
  const int before = sim.cartridge().loaded_slot;
  if (sim.drive().load(slot) != 0) return "slot " + std::to_string(slot) + " cannot be loaded";
  std::string verdict;
  {
    // The drive client's waits (unit ready, reconnects) pass at once.
    InstantClock clock;
    platform::ScopedClock scope(clock);
    DriveClient client(sim);
    verdict = client.ok() ? check_loaded(sim, slot) : "the drive client did not start";
  }
  if (before >= 0) sim.drive().load(before);
  return verdict;
}

}  // namespace e2e

// The engine's log lines of the check go nowhere.
extern "C" {
bool __wrap_CheckLogLevel(int) { return false; }
void __wrap_SendDebugStringA(int, const char*) {}
void __wrap_SendDebugStringW(int, const WCHAR*) {}
}
