// The UDF code on the real routines over the simulated drive (see
// real_support.h).
#include "engine/udf/real_support.h"

#include "drive/client_if.h"
#include "drive/cm_data.h"
#include "drive/device_control.h"
#include "drive/storage_scsi_records.h"
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelcache/cache.h"
#include "kelvfs/mdcudfsr_clusters.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_partitions.h"
#include "engine/udf/support_mount.h"
#include "kel/config.h"
#include "kel/debug.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "support/settles.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_lvid.h"
#include "udf/udf_mount.h"
#include "udf/udf_names.h"
#include "udf/udf_rewritable.h"
#include "support/test_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace udf_real {

namespace {
std::mutex g_log_mutex;
std::vector<LogLine> g_logs;

// "[prog] MODU{LEVL} TID[........] MARK[function:line] message"
LogLine parse(int level, const std::string& line) {
  LogLine l{static_cast<unsigned>(level), -1, "", ""};
  const size_t mod = line.find("] ");
  if (mod != std::string::npos && line.size() >= mod + 6) {
    const std::string tag = line.substr(mod + 2, 4);
    static const char* const kTags[] = {"FS__", "DRV_", "CORE", "PROT", "USER", "WRIT", "SDKC",
                                        "LIBW", "LOGG", "CONF", "KELC", "FUSE", "_MNT", "RMNT"};
    for (int i = 0; i < 14; ++i)
      if (tag == kTags[i]) l.module = i;
  }
  const size_t tid = line.find("TID[");
  const size_t fn = tid == std::string::npos ? std::string::npos : line.find('[', tid + 4);
  const size_t colon = fn == std::string::npos ? std::string::npos : line.find(':', fn);
  const size_t end = colon == std::string::npos ? std::string::npos : line.find("] ", colon);
  if (end != std::string::npos) {
    l.function = line.substr(fn + 1, colon - fn - 1);
    l.text = line.substr(end + 2);
  }
  return l;
}
// The cartridge memory of a formatted volume, written through the drive
// client: all twelve attributes, the 1500h value with its signature and no
// metadata file position yet.
int write_formatted_cartridge_memory(vnode_t devvp) {
  uint8_t record[MDCUDFSR_CM_RECORD_SIZE] = {};
  uint8_t* v1500 = record + cm_attr::k1500Value;
  std::memcpy(v1500 + cm1500::kSignature, "KEL", 3);
  v1500[cm1500::kVersion] = 1;
  v1500[cm1500::kLength] = 120;
  scsi_service_cm cm;
  cm.set_storage_scsi(pclient_if->storage());
  regid entity{};
  cm.make_1500h_entity(&entity);
  std::memcpy(v1500 + cm1500::kEntity, &entity, sizeof entity);
  pxo_attribute_data_t copy;
  std::memcpy(&copy, record, sizeof copy);
  copy.length = cm_attr::kBoth;
  for (int i = 0; i < cm_attr::kCount; ++i) {
    uint8_t* h = reinterpret_cast<uint8_t*>(&copy) + cm_attr::kOffsets[i];
    h[0] = static_cast<uint8_t>(cm_attr::kIds[i]);
    h[1] = static_cast<uint8_t>(cm_attr::kIds[i] >> 8);
    h[2] = cm_attr::kFormats[i];
    h[3] = static_cast<uint8_t>(cm_attr::kLengths[i]);
    h[4] = static_cast<uint8_t>(cm_attr::kLengths[i] >> 8);
  }
  if (const int err = scsi_service_cm::convEndianForCMData(&copy)) return err;
  uint8_t* v = reinterpret_cast<uint8_t*>(&copy) + cm_attr::k1500Value;
  const uint16_t crc = scsi_service_cm::calculate_crc(v, cm1500::kCrc);
  v[cm1500::kCrc] = static_cast<uint8_t>(crc >> 8);
  v[cm1500::kCrc + 1] = static_cast<uint8_t>(crc);
  const uint32_t size = (scsi_service_cm::calcAttrListDataSize(cm_attr::kMaskAll) + 3) / 4 * 4 + 4;
  std::vector<uint8_t> list(size);
  scsi_service_cm::makeAttrListDataForCMWA(cm_attr::kMaskAll, list.data(), size, &copy);
  return VNOP_IOCTL(devvp, PXOIOWRITEATTRIBUTE, reinterpret_cast<char*>(list.data()), 0, nullptr);
}

}  // namespace

std::vector<LogLine> logs() {
  std::lock_guard<std::mutex> lk(g_log_mutex);
  return g_logs;
}

void clear_logs() {
  std::lock_guard<std::mutex> lk(g_log_mutex);
  g_logs.clear();
}

size_t count_logged(const std::string& text) {
  std::lock_guard<std::mutex> lk(g_log_mutex);
  return static_cast<size_t>(std::count_if(g_logs.begin(), g_logs.end(), [&](const LogLine& l) { return l.text == text; }));
}

bool logged(const std::string& text) { return count_logged(text) > 0; }

RealVolume::RealVolume(udf_test::MediumClass cls, uint32_t slot, bool build) {
  clock_scope_ = std::make_unique<platform::ScopedClock>(clock_);
  spec = udf_test::spec_for(cls, slot);
  std::vector<uint8_t> image;
  layout = udf_test::build_volume(spec, image);
  dir_ = (std::filesystem::temp_directory_path() /
          ("kel_udf_real_" + std::to_string(::getpid()) + "_" +
           kel_test::flat_test_name()))
             .string();
  std::filesystem::create_directories(dir_);
  ::setenv("KEL_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
  kel::ResetConfigCache();

  kelsim::HarnessOptions o;
  o.cartridge.medium_type = static_cast<uint8_t>(spec.medium_type);
  o.cartridge.disc_blocks = spec.sectors;
  o.cartridge.medium_serial = "SER-0001";
  o.cartridge.loaded_slot = static_cast<int>(slot);
  sim_ = std::make_unique<kelsim::SimHarness>(o);
  kelsim::Cartridge& cart = sim_->cartridge();
  constexpr uint32_t kUnit = 32;
  const uint32_t end_area = spec.sectors - (spec.medium_type == 0xF2 ? 128 : 32);
  uint32_t data_end = 0;
  for (uint32_t unit = 0; build && unit < spec.sectors; unit += kUnit) {
    const uint8_t* p = image.data() + static_cast<size_t>(unit) * kSector;
    if (std::all_of(p, p + kUnit * kSector, [](uint8_t b) { return b == 0; })) continue;
    EXPECT_EQ(cart.write_blocks(static_cast<int>(slot), unit, kUnit, p), 0u);
    if (unit < end_area) data_end = unit + kUnit;
  }
  kelsim::Disc& d = cart.disc(static_cast<int>(slot));
  d.formatted = true;
  d.unique_id.assign(14, '1');
  if (cart.write_once()) {
    d.status = kelsim::DiscStatus::Incomplete;
    d.tracks = {kelsim::Track{0, end_area, data_end, false, false},
                kelsim::Track{end_area, spec.sectors - end_area, build ? spec.sectors : end_area, false, true}};
  } else {
    d.status = kelsim::DiscStatus::Complete;
    d.highest_written = build ? spec.sectors : 0;
  }
  EXPECT_EQ(cart.save(), 0u);
  kel::SetMediumCookie(sim_->cookie());
  pclient_if = new client_if();
  pclient_if->storage()->set_device_number("sg0");
  pclient_if->storage()->set_device_name("/dev/sg-no-such-device");
  EXPECT_EQ(pclient_if->storage()->init(), 0);

  mnt_ = record();
  EXPECT_EQ(write_formatted_cartridge_memory(mnt_->devvp), 0);
  clear();
}

RealVolume::~RealVolume() {
  stop_agent();
  mnt_.reset();
  clientif_delete();
  pclient_if = nullptr;
  sim_.reset();
  kel::SetMediumCookie(0);
  kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
  kel::ResetConfigCache();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
  clear_logs();
}

std::unique_ptr<mdcudfsr_mount> RealVolume::record() {
  auto m = std::make_unique<mdcudfsr_mount>();
  m->mp = &mp_;
  m->devvp = reinterpret_cast<vnode_t>(&mp_);  // any vnode reaches the drive client
  m->num_sectors = spec.sectors;
  m->medium_type = spec.medium_type;
  m->is_rewritable = spec.cls == udf_test::MediumClass::Rewritable ? 1 : 0;
  m->logical_sector_size = kSector;
  m->logical_block_size = kSector;
  m->loaded_slot = spec.slot;
  m->current_disc = spec.slot;
  m->num_discs = sim_->cartridge().slots();
  return m;
}

void RealVolume::mount() {
  mount_record(mnt_.get());
  clear();
}

std::unique_ptr<mdcudfsr_mount> RealVolume::mount_again() {
  auto again = record();
  mount_record(again.get());
  return again;
}

void RealVolume::mount_record(mdcudfsr_mount* m) {
  if (m->is_rewritable) {
    EXPECT_EQ(mdcudfsr_read_avdp_RE(m, nullptr, 1, 0, nullptr), 0);
  } else {
    EXPECT_EQ(mdcudfsr_read_avdp(m, nullptr, 1, 0, nullptr), 0);
    EXPECT_EQ(mdcudfsr_read_vds(m, nullptr, 0, 1, 0, nullptr), 0);
  }
  udf_test::setup_partitions(m, layout);
  EXPECT_EQ(mdcudfsr_read_lvid(m, nullptr, 0, 1, 0, 0), 0);
  // The cartridge memory into the mount's copy, as the mount reads it.
  int readonly = 0;
  EXPECT_EQ(mdcudfsr_read_write_attribute_for_mount(m, &readonly, nullptr), 0);
  EXPECT_EQ(readonly, 0);
}

void RealVolume::start_agent() {
  mdcudfsr_mount* m = mnt_.get();
  // The agent and its requests wait on condition variables for each other:
  // the process clock again (the instant clock never lets a wait go).
  clock_scope_.reset();
  ASSERT_EQ(config_set_string(0, nullptr, "Fs Cache File Path", (dir_ + "/KELFS").c_str(), nullptr), 0);
  mdcudfsr_metacache_init();
  m->metacachedev = mdcudfsr_metacache_alloc(m);
  ASSERT_NE(m->metacachedev, nullptr);
  argv_ = {"KelDriver", "/dev/sd1A2B", dir_};
  for (auto& a : argv_) argp_.push_back(a.data());
  argp_.push_back(nullptr);
  ASSERT_NE(FsCacheAgent_main_func(3, argp_.data()), 0u);
  ASSERT_TRUE(kel_test::settles([m] { return m->cache_agent_opened != 0; }));
  ASSERT_EQ(mdcudfsr_init_clusters(m), 0);
  ASSERT_EQ(mdcudfsr_cache_local_cache_open(m, 3, nullptr), 0);
  clear();
}

void RealVolume::stop_agent() {
  mdcudfsr_mount* m = mnt_.get();
  if (!m || !m->metacachedev) return;
  mdcudfsr_clear_all_clusters(m);
  if (m->local_cache_handles[0] >= 0) mdcudfsr_cache_local_fs_cache_del(m, 1);
  if (mdcudfsr_metacache_is_opened(m->metacachedev)) {
    EXPECT_EQ(mdcudfsr_metacache_mark_will_free(m->metacachedev), 0);
    EXPECT_EQ(mdcudfsr_metacache_unmount(m), 0);
    EXPECT_EQ(mdcudfsr_metacache_wait_close(m->metacachedev, 5000), 0);
  }
  mdcudfsr_metacache_free(m->metacachedev);
  m->metacachedev = nullptr;
}

int32_t RealVolume::open_cache_file(const char* name) {
  int32_t h = -1;
  uint32_t cache_err = 0;
  EXPECT_EQ(mdcudfsr_metacache_localfile_open(mnt_.get(), name, 3, &h, &cache_err), 0);
  EXPECT_EQ(cache_err, 0u);
  return h;
}

std::vector<uint8_t> RealVolume::cache_file_read(int32_t handle, uint64_t offset, uint32_t length) {
  std::vector<uint8_t> out(length);
  uint32_t done = 0, cache_err = 0;
  EXPECT_EQ(mdcudfsr_metacache_file_read(mnt_.get(), handle, offset, length, out.data(), &done, &cache_err), 0);
  EXPECT_EQ(done, length);
  return out;
}

void RealVolume::commit_staged() {
  mdcudfsr_mount* m = mnt_.get();
  const uint32_t per = m->cluster_sectors;
  uint32_t end = 0;
  for (cluster_entry* e = m->cluster_head; e; e = e->next) {
    const std::vector<uint8_t> image =
        cache_file_read(m->local_cache_handles[0], e->staging_offset, MDCUDFSR_CLUSTER_BYTES);
    const uint32_t first = static_cast<uint32_t>(e->cluster) * per;
    for (uint32_t i = 0; i < per && i < 32; ++i) {
      if (!(e->dirty & (1u << i))) continue;
      write(first + i, std::vector<uint8_t>(image.begin() + i * kSector, image.begin() + (i + 1) * kSector));
      end = std::max(end, first + i + 1);
    }
  }
  mdcudfsr_clear_all_clusters(m);
  kelsim::Cartridge& cart = sim_->cartridge();
  if (cart.write_once() && end) {
    kelsim::Disc& d = cart.disc(static_cast<int>(m->loaded_slot));
    if (!d.tracks.empty() && d.tracks[0].nwa < end) {
      d.tracks[0].nwa = (end + 31) / 32 * 32;
      EXPECT_EQ(cart.save(), 0u);
    }
  }
}

int RealVolume::flush_clusters(uint32_t first_lsn) {
  const mdcudfsr_cluster_track track{0, first_lsn, 0};
  return mdcudfsr_flush_all_clusters(mnt_.get(), 0, nullptr, &track, nullptr, nullptr);
}

std::vector<uint8_t> RealVolume::read(uint32_t lsn, uint32_t count) {
  std::vector<uint8_t> out(static_cast<size_t>(count) * kSector);
  EXPECT_EQ(sim_->cartridge().read_blocks(static_cast<int>(mnt_->loaded_slot), lsn, count, out.data()), 0u);
  return out;
}

void RealVolume::write(uint32_t lsn, const std::vector<uint8_t>& bytes) {
  const auto count = static_cast<uint32_t>(bytes.size() / kSector);
  EXPECT_EQ(sim_->cartridge().write_blocks(static_cast<int>(mnt_->loaded_slot), lsn, count, bytes.data()), 0u);
}

std::vector<uint8_t> RealVolume::attribute_record() {
  std::vector<uint8_t> r(MDCUDFSR_CM_RECORD_SIZE);
  EXPECT_EQ(mdcudfsr_read_attribute(mnt_.get(), r.data(), MDCUDFSR_CM_RECORD_SIZE, 1, 1, nullptr, 0), 0);
  return r;
}

void RealVolume::blank_disc(uint32_t slot, uint32_t nwa) {
  kelsim::Cartridge& cart = sim_->cartridge();
  kelsim::Disc& d = cart.disc(static_cast<int>(slot));
  d.formatted = true;
  d.unique_id.assign(14, '2');
  if (cart.write_once()) {
    d.status = kelsim::DiscStatus::Incomplete;
    d.tracks = {kelsim::Track{0, spec.sectors, nwa, false, false}};
  } else {
    d.status = kelsim::DiscStatus::Complete;
  }
  EXPECT_EQ(cart.save(), 0u);
}

void RealVolume::set_track_nwa(uint32_t nwa) {
  kelsim::Cartridge& cart = sim_->cartridge();
  cart.disc(static_cast<int>(mnt_->loaded_slot)).tracks.at(0).nwa = nwa;
  EXPECT_EQ(cart.save(), 0u);
}

void RealVolume::unreadable(uint32_t lsn) { sim_->drive().add_fault(kelsim::read_error(lsn, lsn)); }

uint32_t RealVolume::track_nwa() {
  return sim_->cartridge().disc(static_cast<int>(mnt_->loaded_slot)).tracks.at(0).nwa;
}

std::vector<uint8_t> RealVolume::metadata_block(mdcudfsr_mount* mnt, uint32_t lbn) {
  const uint32_t lsn = mdcudfsr_lbn2lsn(mnt, 0, lbn, nullptr);
  EXPECT_NE(lsn, 0xFFFFFFFFu) << "metadata block " << lbn;
  return lsn == 0xFFFFFFFFu ? std::vector<uint8_t>(kSector) : read(lsn);
}

std::vector<Command> RealVolume::commands() const {
  std::vector<Command> out;
  for (const auto& e : sim_->service().transcript()) {
    if (e.cdb.empty()) continue;
    Command c{e.cdb[0], 0, 0, e.answered && e.status == 0 && !e.check_condition};
    if (e.cdb.size() >= 10) {
      const uint8_t* p = e.cdb.data() + (c.op == kReserve ? 4 : 2);
      c.lba = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
      c.blocks = uint32_t{e.cdb[7]} << 8 | e.cdb[8];
    }
    out.push_back(c);
  }
  return out;
}

std::vector<uint8_t> RealVolume::opcodes() const {
  std::vector<uint8_t> out;
  for (const Command& c : commands()) out.push_back(c.op);
  return out;
}

size_t RealVolume::count(uint8_t op) const {
  const auto ops = opcodes();
  return static_cast<size_t>(std::count(ops.begin(), ops.end(), op));
}

void RealVolume::clear() {
  sim_->service().clear_transcript();
  clear_logs();
}

CacheNodes::CacheNodes(mdcudfsr_mount* mnt) : mnt_(mnt) {
  char top[] = "", root[] = "root";
  top_ = mdcudfsr_cache_alloc_node(mnt, nullptr, top, 0, UDF_FILE_CHAR_DIR, 0, 0);
  root_ = mdcudfsr_cache_alloc_node(mnt, top_, root, 0, UDF_FILE_CHAR_DIR, 0, MDCUDFSR_NODE_UDF);
  // Not counted, as the mount's root, which has no parent.
  EXPECT_EQ(mdcudfsr_cache_add_child(top_, root_, 0, 1), 0);
}

CacheNodes::~CacheNodes() { mdcudfsr_cache_free_node(top_); }

void CacheNodes::add(const char* name, bool dir) {
  std::string copy(name);
  mdcudfsr_cache_node* n = mdcudfsr_cache_alloc_node(mnt_, root_, copy.data(), 0, dir ? UDF_FILE_CHAR_DIR : 0, 0,
                                                     MDCUDFSR_NODE_UDF);
  EXPECT_EQ(mdcudfsr_cache_add_child(root_, n, 1, 1), 0);
}

int flush_lvid_locked(mdcudfsr_mount* mnt, int no_write, int verify) {
  std::lock_guard lk(mnt->lvid_mutex);
  return mdcudfsr_flush_lvid(mnt, no_write, nullptr, verify);
}

}  // namespace udf_real

// The logger's sink: every line is kept.
extern "C" {
bool __wrap_CheckLogLevel(int) { return true; }

void __wrap_SendDebugStringA(int level, const char* text) {
  udf_real::LogLine l = udf_real::parse(level, text ? text : "");
  std::lock_guard<std::mutex> lk(udf_real::g_log_mutex);
  udf_real::g_logs.push_back(std::move(l));
}

void __wrap_SendDebugStringW(int level, const WCHAR*) {
  std::lock_guard<std::mutex> lk(udf_real::g_log_mutex);
  udf_real::g_logs.push_back({static_cast<unsigned>(level), -1, "", ""});
}
}
