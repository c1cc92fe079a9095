#include "vfs_support.h"
#include "support/settles.h"

#include "drive/client_if.h"
#include "kel/config.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelhost/log.h"
#include "kelhost/vnode.h"
#include "platform/codepage.h"
#include "udf/udf_anchor_vds.h"
#include "udf/udf_rewritable.h"
#include "support/test_dir.h"

#include <algorithm>
#include <cstring>

#include <filesystem>

#include <chrono>
#include <atomic>
#include <mutex>
#include <thread>

namespace vfs_test {
namespace {
// Never destroyed: threads the engine detaches (the cache agent's) may still
// log while the process exits.
std::mutex& g_log_mu = *new std::mutex;
std::vector<std::string>& g_lines = *new std::vector<std::string>;
std::atomic<bool> g_quiet{false};
}  // namespace

Quiet::Quiet() { g_quiet = true; }
Quiet::~Quiet() { g_quiet = false; }

std::vector<std::string> log_lines() {
  std::lock_guard<std::mutex> lk(g_log_mu);
  return g_lines;
}
void clear_log() {
  std::lock_guard<std::mutex> lk(g_log_mu);
  g_lines.clear();
}
int count_log(const std::string& fragment) {
  int n = 0;
  for (const auto& l : log_lines())
    if (l.find(fragment) != std::string::npos) ++n;
  return n;
}
bool logged(const std::string& fragment) { return count_log(fragment) > 0; }

void SimVolume::SetUp() {
  dir_ = ::testing::TempDir() + "kel_vfs_" + std::to_string(::getpid()) + "_" +
         kel_test::flat_test_name();
  std::filesystem::create_directories(dir_);
  ::setenv("KEL_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
  kel::ResetConfigCache();
  clock_scope_ = std::make_unique<platform::ScopedClock>(clock_);
  mdcudfsr_debug_level_init();
  clear_log();
  g_proc_name = "Application";
}

void SimVolume::TearDown() {
  stop();
  clock_scope_.reset();
  kel::ResetConfigCache();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void SimVolume::start(const SimOptions& o) {
  stop();
  kelsim::HarnessOptions h;
  h.cartridge.medium_type = o.medium;
  h.cartridge.slots = o.slots;
  h.cartridge.disc_blocks = o.disc_blocks;
  h.cartridge.medium_serial = "SER-0001";
  h.cartridge.loaded_slot = o.loaded_slot;
  h.cartridge.pow_map_entries = o.pow_map_entries;
  h.cartridge.pow_updates = o.pow_updates;
  h.cartridge.opc_count = o.opc_count;
  h.cartridge.rewritable_formatted = o.rewritable_formatted;
  h.drive.product = o.product;
  h.drive.vendor = o.vendor;
  sim_ = std::make_unique<kelsim::SimHarness>(h);
  kel::SetMediumCookie(sim_->cookie());
  start_drive_client();
  mnt_ = std::make_unique<mdcudfsr_mount>();
  mp_ = mount{};
  mnt_->mp = &mp_;
  mnt_->devvp = reinterpret_cast<vnode_t>(&mp_);  // any non-null vnode reaches the drive client
  mnt_->medium_type = o.medium;
  mnt_->is_rewritable = (o.medium == 0xE2 || o.medium == 0xE4 || o.medium == 0xE6 || o.medium == 0xE8) ? 1 : 0;
  mnt_->num_sectors = sim_->cartridge().disc_blocks();
  mnt_->loaded_slot = o.loaded_slot;
  mnt_->current_disc = o.loaded_slot;
  mnt_->num_discs = sim_->cartridge().slots();
  sim_->service().clear_transcript();
  transcript_seen_ = 0;
  clear_log();
}

void SimVolume::stop() {
  if (mnt_) {
    delete[] mnt_->watch_ring;
    mnt_->watch_ring = nullptr;
  }
  mnt_.reset();
  if (!sim_) return;
  clientif_delete();
  pclient_if = nullptr;
  sim_.reset();
  kel::SetMediumCookie(0);
  kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
}

udf_test::ImageLayout SimVolume::start_volume(udf_test::MediumClass cls, udf_test::ImageSpec* spec_out,
                                             std::uint32_t medium_type,
                                             const std::function<void(kelsim::Cartridge&)>& tweak) {
  udf_test::ImageSpec spec = udf_test::spec_for(cls, 0);
  if (medium_type) spec.medium_type = medium_type;
  if (spec_out) *spec_out = spec;
  std::vector<std::uint8_t> image;
  const udf_test::ImageLayout layout = udf_test::build_volume(spec, image);
  SimOptions o;
  o.medium = static_cast<std::uint8_t>(spec.medium_type);
  const std::uint32_t room = cls == udf_test::MediumClass::WriteOnce ? track_room_ : 0;
  o.disc_blocks = spec.sectors + room;
  start(o);
  stop_drive_client();
  kelsim::Cartridge& cart = sim_->cartridge();
  constexpr std::uint32_t kUnit = 32;
  std::uint32_t data_end = 0;
  const std::uint32_t end_area = spec.sectors - (spec.medium_type == 0xF2 ? 128 : 32);
  for (std::uint32_t unit = 0; unit < spec.sectors; unit += kUnit) {
    const std::uint8_t* p = image.data() + static_cast<std::size_t>(unit) * 2048;
    if (std::all_of(p, p + kUnit * 2048, [](std::uint8_t b) { return b == 0; })) continue;
    EXPECT_EQ(cart.write_blocks(0, unit, kUnit, p), 0u);
    if (unit < end_area) data_end = unit + kUnit;
  }
  kelsim::Disc& d = cart.disc(0);
  d.formatted = true;
  if (cart.write_once()) {
    d.status = kelsim::DiscStatus::Incomplete;
    d.tracks = {kelsim::Track{0, end_area + room, data_end, false, false},
                kelsim::Track{end_area + room, spec.sectors - end_area, spec.sectors + room, false, true}};
  } else {
    d.status = kelsim::DiscStatus::Complete;
    d.highest_written = spec.sectors;
  }
  if (tweak) tweak(cart);
  EXPECT_EQ(cart.save(), 0u);
  start_drive_client();
  if (!read_started_volume_) {
  } else if (mnt_->is_rewritable) {
    EXPECT_EQ(0, mdcudfsr_read_avdp_RE(mnt_.get(), nullptr, 1, 0, nullptr));
  } else {
    EXPECT_EQ(0, mdcudfsr_read_avdp(mnt_.get(), nullptr, 1, 0, nullptr));
    EXPECT_EQ(0, mdcudfsr_read_vds(mnt_.get(), nullptr, 0, 1, 0, nullptr));
  }
  mnt_->logical_block_size = 2048;
  clear_log();
  return layout;
}

void SimVolume::stop_drive_client() {
  clientif_delete();
  pclient_if = nullptr;
}

void SimVolume::start_drive_client() {
  pclient_if = new client_if();
  pclient_if->storage()->set_device_number("sg0");
  pclient_if->storage()->set_device_name("/dev/sg-no-such-device");
  ASSERT_EQ(0, pclient_if->storage()->init());
}

std::vector<std::uint8_t> SimVolume::take_opcodes() {
  std::vector<std::uint8_t> out;
  const auto t = sim_->service().transcript();
  for (std::size_t i = transcript_seen_; i < t.size(); ++i)
    if (!t[i].cdb.empty()) out.push_back(t[i].cdb[0]);
  transcript_seen_ = t.size();
  return out;
}

}  // namespace vfs_test

namespace vfs_test {
std::string g_proc_name = "Application";
}
extern "C" void __wrap__Z9proc_nameiPci(int, char* buffer, int size) {
  if (buffer && size > 0) std::snprintf(buffer, static_cast<std::size_t>(size), "%s", vfs_test::g_proc_name.c_str());
}

extern "C" bool __wrap_CheckLogLevel(int) { return !vfs_test::g_quiet.load(); }
extern "C" void __wrap_SendDebugStringA(int, const char* text) {
  std::lock_guard<std::mutex> lk(vfs_test::g_log_mu);
  vfs_test::g_lines.emplace_back(text ? text : "");
}
extern "C" void __wrap_SendDebugStringW(int, const WCHAR* text) {
  std::lock_guard<std::mutex> lk(vfs_test::g_log_mu);
  vfs_test::g_lines.push_back(text ? platform::utf16_to_utf8(text) : std::string());
}

