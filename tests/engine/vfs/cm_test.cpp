// Cartridge-memory attributes against the simulated drive (READ and WRITE
// ATTRIBUTE, or their vendor forms on the newer model).
#include "vfs_support.h"

#include "drive/cm_data.h"
#include "drive/device_control.h"
#include "kel/config.h"
#include "kelagent/metacache.h"
#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvfs/mdcudfsr_mntinfo.h"
#include "udf/udf_lvid.h"
#include "udf/udf_regid.h"
#include "udf/udf_vds_rules.h"

#include <cstring>

namespace {

using namespace vfs_test;

constexpr std::uint32_t kV = cm_attr::k1500Value;

std::uint32_t value_at(int i) { return cm_attr::kOffsets[i] + 5; }

struct Model {
  const char* product;
  std::uint8_t read_op, write_op;
};
const Model kModels[] = {{"QMR-T300B", 0x8C, 0x8D}, {"QMR-T400A", 0xDA, 0xDB}};

class CartridgeMemory : public SimVolume {
 protected:
  void start_model(const Model& m) {
    SimOptions o;
    o.product = m.product;
    start(o);
    mnt_->current_disc = 0;
    mnt_->lvid.num_partitions = 2;
    mdcudfsr_make_regid(mnt_.get(), &mdcudfsr_lvid_imp_use(&mnt_->lvid, 2)->imp_use_id, REGID_IMPLEMENTATION);
    mnt_->metadata_file_loc = 0x120;
    mnt_->next_unique_id = 0x1234;
    take_opcodes();
  }
  const std::vector<std::uint8_t>* cart_attr(std::uint16_t id) {
    auto& a = sim_->cartridge().attributes;
    auto it = a.find(id);
    return it == a.end() ? nullptr : &it->second.value;
  }
  // The parameter list length of the last write the drive received.
  std::uint32_t last_write_length(std::uint8_t op) {
    std::uint32_t n = 0;
    for (const auto& t : sim_->service().transcript()) {
      if (t.cdb.empty() || t.cdb[0] != op) continue;
      const std::uint8_t* p = t.cdb.data() + (op == 0xDB ? 6 : 10);
      n = static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
    }
    return n;
  }
  std::uint8_t check_state() {
    std::uint8_t st = 0xEE;
    EXPECT_EQ(0, VNOP_IOCTL(mnt_->devvp, PXOIOREPORT1500HCRC, reinterpret_cast<char*>(&st), 0, &ctx_));
    return st;
  }
  static std::uint32_t be32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
  }
};

TEST(CmRecord, ByteOrderSwitchAndInverse) {
  std::uint8_t r[MDCUDFSR_CM_RECORD_SIZE] = {};
  for (std::uint32_t i = 0; i < sizeof r; ++i) r[i] = static_cast<std::uint8_t>(i * 13 + 1);
  for (int values : {0, 1}) {
    SCOPED_TRACE(values);
    std::uint8_t c[sizeof r];
    std::memcpy(c, r, sizeof r);
    mdcudfsr_conv_endian_cm_data(c, values);
    EXPECT_EQ(r[0], c[3]);
    EXPECT_EQ(r[cm_attr::kOffsets[7]], c[cm_attr::kOffsets[7] + 1]) << "identifiers always";
    EXPECT_EQ(r[cm_attr::kOffsets[7] + 3], c[cm_attr::kOffsets[7] + 4]) << "lengths always";
    EXPECT_EQ(values ? r[kV + cm1500::kPosition + 3] : r[kV + cm1500::kPosition], c[kV + cm1500::kPosition]);
    EXPECT_EQ(values ? r[value_at(8) + 7] : r[value_at(8)], c[value_at(8)]) << "capacity";
    EXPECT_EQ(values ? r[kV + cm1500::kList + 4 * 13 + 3] : r[kV + cm1500::kList + 4 * 13],
              c[kV + cm1500::kList + 4 * 13]) << "last list entry";
    EXPECT_EQ(r[kV], c[kV]) << "text is never swapped";
    EXPECT_EQ(r[kV + 64], c[kV + 64]) << "the counter bytes are single bytes";
    EXPECT_EQ(r[value_at(0)], c[value_at(0)]);
    mdcudfsr_conv_endian_cm_data(c, values);
    EXPECT_EQ(0, std::memcmp(r, c, sizeof r));
  }
}

TEST(CmRecord, UpdateTimeWord) {
  mdcudfsr_mount m;
  m.last_update_time.month = 12;
  m.last_update_time.day = 31;
  m.last_update_time.hour = 23;
  m.last_update_time.minute = 59;
  m.last_update_time.second = 59;
  m.last_update_time.centisec = 99;
  EXPECT_EQ(0xCFDFBEF1u, mdcudfsr_create_volume_update_time_info(&m));
  EXPECT_EQ(0u, mdcudfsr_create_volume_update_time_info(nullptr));
}

TEST_F(CartridgeMemory, WriteSendsOnlyTheFlaggedAttributes) {
  for (const Model& m : kModels) {
    SCOPED_TRACE(m.product);
    start_model(m);
    std::uint8_t r[MDCUDFSR_CM_RECORD_SIZE] = {};
    // An empty mask sends nothing, although 0800h-0802h differ from the constants.
    EXPECT_EQ(0, mdcudfsr_write_attribute(mnt_.get(), r, sizeof r, 1, &ctx_, 0));
    EXPECT_TRUE(take_opcodes().empty());
    std::memcpy(r + value_at(0), "TARN    ", 8);
    std::memcpy(r + value_at(1), "Velmaro Software                ", 32);
    std::memcpy(r + value_at(2), "1.0.0   ", 8);
    const std::uint32_t dirs = 7;
    std::memcpy(r + value_at(11), &dirs, 4);
    mnt_->attr_update_mask = 0x800;
    ASSERT_EQ(0, mdcudfsr_write_attribute(mnt_.get(), r, sizeof r, 1, &ctx_, 0));
    EXPECT_EQ(32u, last_write_length(m.write_op)) << "length 28, 0804h, 1504h, two zero bytes";
    EXPECT_EQ(0u, mnt_->attr_update_mask & 0xFFF);
    ASSERT_NE(nullptr, cart_attr(0x1504));
    EXPECT_EQ(7u, be32(cart_attr(0x1504)->data()));
    ASSERT_NE(nullptr, cart_attr(0x0804));
    EXPECT_EQ(12u, cart_attr(0x0804)->size());
    EXPECT_EQ(nullptr, cart_attr(0x1503));
    EXPECT_EQ(nullptr, cart_attr(0x0800));
    // Read from the cache: what was written, 0804h included.
    std::uint8_t back[MDCUDFSR_CM_RECORD_SIZE] = {};
    ASSERT_EQ(0, mdcudfsr_read_attribute(mnt_.get(), back, sizeof back, 1, 0, &ctx_, 0));
    EXPECT_EQ(0, std::memcmp(back + value_at(4), cart_attr(0x0804)->data(), 12));
    EXPECT_EQ(0, std::memcmp(back + value_at(11), &dirs, 4));
  }
}

// Mount step by the drive's check of 1500h.
TEST_F(CartridgeMemory, MountStepByCheckState) {
  start_model(kModels[0]);
  // No 1500h on the cartridge: the direct read fails; read-only, and the
  // cartridge keeps what it has (no 1500h written).
  int ro = 0;
  ASSERT_EQ(0, mdcudfsr_read_write_attribute_for_mount(mnt_.get(), &ro, &ctx_));
  EXPECT_EQ(1, ro);
  EXPECT_NE(0u, mnt_->mntinfo.WriteProtectReasonFlags & 0x4000);
  EXPECT_EQ(nullptr, cart_attr(0x1500));
  ASSERT_NE(nullptr, cart_attr(0x0800)) << "the other attributes are written";

  // A 1500h whose CRC is wrong (check state 2): a fresh one is written.
  mnt_->mntinfo.WriteProtectReasonFlags = 0;
  sim_->cartridge().attributes[0x1500] = {0, std::vector<std::uint8_t>(128, 0x11)};
  std::uint8_t rec[MDCUDFSR_CM_RECORD_SIZE] = {};
  EXPECT_EQ(0, mdcudfsr_read_attribute(mnt_.get(), rec, sizeof rec, 1, 1, &ctx_, 1));  // the drive layer checks
  EXPECT_EQ(2, check_state());
  ro = 0;
  ASSERT_EQ(0, mdcudfsr_read_write_attribute_for_mount(mnt_.get(), &ro, &ctx_));
  EXPECT_EQ(0, ro);
  const std::vector<std::uint8_t>* v = cart_attr(0x1500);
  ASSERT_NE(nullptr, v);
  ASSERT_EQ(128u, v->size());
  EXPECT_EQ(0, std::memcmp(v->data(), "KEL", 3));
  EXPECT_EQ(mdcudfsr_vuvi_encode(0, 0x120), be32(v->data() + cm1500::kPosition));
  EXPECT_EQ(0x1234u, be32(v->data() + cm1500::kLastUniqueId));
  const std::uint16_t crc = scsi_service_cm::calculate_crc(const_cast<std::uint8_t*>(v->data()), 126);
  EXPECT_EQ(crc, (*v)[126] << 8 | (*v)[127]);

  // The cartridge's own rollback data and recovery list survive a later mount.
  std::vector<std::uint8_t> kept = *v;
  kept[cm1500::kRollbackVsn + 1] = 0x5A;
  kept[cm1500::kListCount] = 0;
  const std::uint16_t c2 = scsi_service_cm::calculate_crc(kept.data(), 126);
  kept[126] = static_cast<std::uint8_t>(c2 >> 8);
  kept[127] = static_cast<std::uint8_t>(c2);
  sim_->cartridge().attributes[0x1500].value = kept;
  ASSERT_EQ(0, mdcudfsr_read_attribute(mnt_.get(), rec, sizeof rec, 1, 1, &ctx_, 1));
  EXPECT_EQ(5, check_state());
  mnt_->next_unique_id = 0x9999;  // a fresh record would take it
  ro = 0;
  ASSERT_EQ(0, mdcudfsr_read_write_attribute_for_mount(mnt_.get(), &ro, &ctx_));
  EXPECT_EQ(0, ro);
  v = cart_attr(0x1500);
  EXPECT_EQ(0x5A, (*v)[cm1500::kRollbackVsn + 1]);
  EXPECT_EQ(0x1234u, be32(v->data() + cm1500::kLastUniqueId)) << "not built fresh";
}

// The agent's coherency update raises the 24-bit counter (1500h value bytes
// 64-66) on the cartridge and no other byte of 1500h but its CRC.
TEST_F(CartridgeMemory, CoherencyUpdateRaisesOnlyTheCounter) {
  start_model(kModels[1]);
  int ro = 0;
  ASSERT_EQ(0, mdcudfsr_read_write_attribute_for_mount(mnt_.get(), &ro, &ctx_));  // 0800h-0806h on the cartridge
  sim_->cartridge().attributes[0x1500] = {0, std::vector<std::uint8_t>(128, 0x11)};
  std::uint8_t rec[MDCUDFSR_CM_RECORD_SIZE] = {};
  ASSERT_EQ(0, mdcudfsr_read_attribute(mnt_.get(), rec, sizeof rec, 1, 1, &ctx_, 1));
  ASSERT_EQ(0, mdcudfsr_read_write_attribute_for_mount(mnt_.get(), &ro, &ctx_));
  ASSERT_NE(nullptr, cart_attr(0x1500));
  const std::vector<std::uint8_t> before = *cart_attr(0x1500);
  ASSERT_EQ(0, mdcudfsr_metacache_update_coherent(mnt_.get(), nullptr));
  const std::vector<std::uint8_t> after = *cart_attr(0x1500);
  ASSERT_EQ(128u, after.size());
  EXPECT_EQ(before[64] + 1, after[64]);
  for (int i = 0; i < 126; ++i)
    if (i != 64) { EXPECT_EQ(before[i], after[i]) << "value byte " << i; }
  const std::uint16_t crc = scsi_service_cm::calculate_crc(const_cast<std::uint8_t*>(after.data()), 126);
  EXPECT_EQ(crc, after[126] << 8 | after[127]);
  EXPECT_EQ(0, std::memcmp(after.data(), mnt_->attr_record + MDCUDFSR_CM_CACHE_OFFSET + kV, 128))
      << "the cache follows the cartridge";
}

TEST_F(CartridgeMemory, VolumeNameReachesTheDriveLayer) {
  start_model(kModels[0]);
  std::uint8_t* id = mnt_->vds.lvd.logvol_id;
  std::memset(id, 0, 128);
  id[0] = 8;
  std::memcpy(id + 1, "ARCHIVE-7", 9);
  id[127] = 10;
  mdcudfsr_set_volume_name(mnt_.get(), &ctx_);
  const int h = config_open_sgdev("sg0");
  ASSERT_NE(0, h);
  char name[64] = {};
  int size = sizeof name;
  EXPECT_GT(config_get_string(h, "Volume Name", &size, name), 0);
  config_close(h);
  EXPECT_STREQ("ARCHIVE-7", name);
}

}  // namespace

namespace {

using namespace vfs_test;

// The recovery-required list over real cache nodes.
class RecoveryList : public SimVolume {
 protected:
  void SetUp() override {
    SimVolume::SetUp();
    start();
    mnt_->current_disc = 0;
    mnt_->num_discs = 12;
    mnt_->next_unique_id = 16;
    char root_name[] = "";
    root_ = mdcudfsr_cache_alloc_node(mnt_.get(), nullptr, root_name, 0, UDF_FILE_CHAR_DIR, 0, MDCUDFSR_NODE_UDF);
    root_->objid = MDCUDFSR_OBJID_ROOT;
    mnt_->root_node = root_;
    mnt_->udf_root = root_;
  }
  void TearDown() override {
    mdcudfsr_cache_free_node(root_);
    mnt_->root_node = nullptr;
    mnt_->udf_root = nullptr;
    SimVolume::TearDown();
  }
  mdcudfsr_cache_node* make(const char* name) {
    std::string copy(name);
    mdcudfsr_cache_node* n = nullptr;
    EXPECT_EQ(0, mdcudfsr_cache_create_udf_node(root_, copy.data(), -1, 0, 0, 0644, &n, 0, nullptr)) << name;
    if (n) mdcudfsr_cache_unlock_node(n);
    return n;
  }
  static std::uint32_t list_at(const std::uint8_t* r, int k) {
    std::uint32_t v;
    std::memcpy(&v, r + kV + cm1500::kList + 4 * k, 4);
    return v;
  }
  mdcudfsr_cache_node* root_ = nullptr;
};

TEST_F(RecoveryList, AddRules) {
  std::uint8_t r[MDCUDFSR_CM_RECORD_SIZE] = {};
  std::vector<mdcudfsr_cache_node*> files;
  for (int i = 0; i < 15; ++i) files.push_back(make(("f" + std::to_string(i)).c_str()));
  ASSERT_NE(nullptr, files.back());
  for (int i = 0; i < 14; ++i) ASSERT_EQ(0, mdcudfsr_add_recovery_req_file(mnt_.get(), files[i], r));
  EXPECT_EQ(14, r[kV + cm1500::kListCount]);
  EXPECT_EQ(static_cast<std::uint32_t>(mdcudfsr_node_unique_id(files[3])), list_at(r, 3));
  EXPECT_NE(0u, mnt_->attr_update_mask & 0x080);
  EXPECT_EQ(0, mdcudfsr_add_recovery_req_file(mnt_.get(), files[2], r)) << "already listed";
  EXPECT_EQ(105, mdcudfsr_add_recovery_req_file(mnt_.get(), files[14], r)) << "the fifteenth";
  EXPECT_EQ(14u, mnt_->recovery_count);
  files[14]->status = MDCUDFSR_NODE_INACTIVE;
  EXPECT_EQ(0, mdcudfsr_add_recovery_req_file(mnt_.get(), files[14], r)) << "inactive: ignored";
  files[14]->status = MDCUDFSR_NODE_ACTIVE;
  EXPECT_EQ(14u, mnt_->recovery_count);
  EXPECT_EQ(22, mdcudfsr_add_recovery_req_file(mnt_.get(), nullptr, r));
}

// A list read from the cartridge as [A, 0, C] becomes [A, C]; unknown and too
// new ids go too.
TEST_F(RecoveryList, CompactedAtMount) {
  mdcudfsr_cache_node* a = make("a");
  mdcudfsr_cache_node* c = make("c");
  ASSERT_NE(nullptr, c);
  std::uint8_t r[MDCUDFSR_CM_RECORD_SIZE] = {};
  const std::uint32_t ids[5] = {static_cast<std::uint32_t>(mdcudfsr_node_unique_id(a)), 0,
                                static_cast<std::uint32_t>(mdcudfsr_node_unique_id(c)), 9999, 0x7FFFFFFF};
  std::memcpy(r + kV + cm1500::kList, ids, sizeof ids);
  r[kV + cm1500::kListCount] = 5;
  mnt_->mount_ext_flags = 0x60;  // no size computation
  ASSERT_EQ(0, mdcudfsr_init_cm_param(mnt_.get(), r, &ctx_, 0));
  EXPECT_EQ(2, r[kV + cm1500::kListCount]);
  EXPECT_EQ(ids[0], list_at(r, 0));
  EXPECT_EQ(ids[2], list_at(r, 1));
  EXPECT_EQ(0u, list_at(r, 2));
  ASSERT_EQ(2u, mnt_->recovery_count);
  EXPECT_EQ(a, mnt_->recovery_nodes[0]);
  EXPECT_EQ(c, mnt_->recovery_nodes[1]);
}

}  // namespace
