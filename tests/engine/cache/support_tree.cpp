#include "support_tree.h"
#include "support/settles.h"

#include "support.h"

#include "drive/client_if.h"
#include "kel/config.h"
#include "kel/pipe_client.h"
#include "kel/scsi.h"
#include "kelagent/fscache_agent.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelhost/kern.h"
#include "sim/harness.h"
#include "udf/udf_extent.h"
#include "udf/udf_mount.h"
#include "udf/udf_path.h"
#include "udf/udf_tag.h"
#include "support/recorded_disc.h"
#include "support/test_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace fs = std::filesystem;

namespace cache_test {

namespace {

constexpr uint32_t kBlock = 2048;
constexpr uint32_t kMetadataBlocks = 32;

void tag(desc_tag* t, uint16_t id, uint32_t loc) {
  *t = desc_tag{};
  t->id = id;
  t->descriptor_ver = 3;
  t->serial_num = 7;
  t->tag_loc = loc;
}

template <class T>
void append(std::vector<uint8_t>& v, const T& x) {
  const auto* p = reinterpret_cast<const uint8_t*>(&x);
  v.insert(v.end(), p, p + sizeof x);
}

}  // namespace

TreeImage::TreeImage(udf_test::MediumClass cls) : TreeImage(cls, 0) {}

TreeImage::TreeImage(udf_test::MediumClass cls, uint32_t medium_type) {
  spec = udf_test::spec_for(cls);
  if (medium_type) spec.medium_type = medium_type;
  layout = udf_test::build_volume(spec, medium);
  Item root;
  root.lbn = 2;
  root.file_type = 4;
  root.icb_flags = 3;
  root.file_char = UDF_FILE_CHAR_DIR;
  items.push_back(root);
}

uint8_t* TreeImage::block(uint32_t lbn) { return medium.data() + size_t(spec.metadata_lsn + lbn) * kBlock; }

uint32_t TreeImage::alloc() {
  EXPECT_LT(next_, kMetadataBlocks) << "the metadata file is full";
  return next_++;
}

std::vector<uint8_t> TreeImage::make_fid(uint8_t chars, const char* name, uint32_t icb, uint8_t compression,
                                         uint16_t l_iu) const {
  std::vector<uint8_t> id;
  if (name) {
    id.push_back(compression);
    id.insert(id.end(), name, name + std::strlen(name));
  }
  fileid_desc f{};
  tag(&f.tag, TAG_ID_FID, 0);
  f.file_num = 1;
  f.file_char = chars;
  f.l_fi = static_cast<uint8_t>(id.size());
  f.icb.len = kBlock;
  f.icb.loc = lb_addr{icb, 0};
  f.l_iu = l_iu;
  mdcudfsr_swap_host2le_fileid_desc(&f);
  std::vector<uint8_t> out;
  append(out, f);
  out.resize(out.size() + l_iu, 0);
  out.insert(out.end(), id.begin(), id.end());
  out.resize((out.size() + 3) & ~size_t{3}, 0);
  mdcudfsr_set_udf_tag_crc_and_checksum(out.data(), static_cast<uint32_t>(out.size()));
  return out;
}

int TreeImage::dir(int parent, const std::string& name, uint64_t uid) {
  Item it;
  it.parent = parent;
  it.name = name;
  it.file_char = UDF_FILE_CHAR_DIR;
  it.lbn = alloc();
  it.file_type = 4;
  it.icb_flags = 3;
  it.unique_id = uid;
  items.push_back(it);
  return static_cast<int>(items.size() - 1);
}

int TreeImage::file(int parent, const std::string& name, uint64_t uid, uint64_t length) {
  Item it;
  it.parent = parent;
  it.name = name;
  it.lbn = alloc();
  it.unique_id = uid;
  it.inf_len = length;
  if (length) {
    long_ad ad{};
    ad.len = static_cast<uint32_t>(length);
    ad.loc = lb_addr{100 + static_cast<uint32_t>(uid) * 16, 1};
    it.extents.push_back(ad);
  }
  items.push_back(it);
  return static_cast<int>(items.size() - 1);
}

int TreeImage::symlink(int parent, const std::string& name, uint64_t uid, const std::string& target) {
  Item it;
  it.parent = parent;
  it.name = name;
  it.lbn = alloc();
  it.file_type = UDF_FILE_TYPE_SYMLINK;
  it.icb_flags = 3;
  it.unique_id = uid;
  it.data.resize(1024);
  const uint32_t n = mdcudfsr_create_path_component(target.c_str(), it.data.data(), 1024);
  EXPECT_GT(n, 0u) << target;
  it.data.resize(n);
  it.inf_len = n;
  items.push_back(it);
  return static_cast<int>(items.size() - 1);
}

int TreeImage::parity(int file, const std::string& stream_name, uint64_t length) {
  Item sd;
  sd.lbn = alloc();
  sd.parent = -2;
  sd.file_type = UDF_FILE_TYPE_STREAMDIR;
  sd.icb_flags = 3;
  sd.unique_id = items[file].unique_id;
  Item st;
  st.lbn = alloc();
  st.parent = -2;
  st.icb_flags = UDF_ICB_FLAG_STREAM | 1;
  st.unique_id = items[file].unique_id;
  st.inf_len = length;
  long_ad ad{};
  ad.len = static_cast<uint32_t>(length);
  ad.loc = lb_addr{4000 + static_cast<uint32_t>(st.unique_id) * 4, 1};
  st.extents.push_back(ad);
  // The parent entry of a stream directory names the owning file.
  sd.fids.push_back(make_fid(0x08 | 0x02, nullptr, items[file].lbn));
  sd.fids.push_back(make_fid(0, stream_name.c_str(), st.lbn));
  items[file].stream_lbn = sd.lbn;
  items.push_back(sd);
  streams.push_back(static_cast<int>(items.size() - 1));
  items.push_back(st);
  streams.push_back(static_cast<int>(items.size() - 1));
  return static_cast<int>(items.size() - 1);
}

void TreeImage::hash(int file, uint16_t kind, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t>& ea = items[file].ea;
  if (ea.empty()) {
    ea.resize(24, 0);
    desc_tag t;
    tag(&t, 262, items[file].lbn);
    std::memcpy(ea.data(), &t, sizeof t);
    const uint32_t locs[2] = {24, 0xFFFFFFFFu};
    std::memcpy(ea.data() + 16, locs, 8);
    mdcudfsr_set_udf_tag_crc_and_checksum(ea.data(), 24);
  }
  const uint32_t l = static_cast<uint32_t>(bytes.size());
  const uint32_t len = (l + 59) & ~3u;
  std::vector<uint8_t> a(len, 0);
  const uint32_t type = 2048, iu = l + 8;
  std::memcpy(a.data(), &type, 4);
  a[4] = 1;
  std::memcpy(a.data() + 8, &len, 4);
  std::memcpy(a.data() + 12, &iu, 4);
  std::memcpy(a.data() + 17, "*Tarn KELFS Hash", 16);
  const uint16_t k = kind, l16 = static_cast<uint16_t>(l);
  std::memcpy(a.data() + 50, &k, 2);
  std::memcpy(a.data() + 52, &l16, 2);
  std::memcpy(a.data() + 56, bytes.data(), l);
  ea.insert(ea.end(), a.begin(), a.end());
}

void TreeImage::write_entry(const Item& it) {
  std::vector<uint8_t> payload;
  uint16_t flags = it.icb_flags;
  uint64_t inf_len = it.inf_len;
  if (it.file_type == 4 || it.file_type == UDF_FILE_TYPE_STREAMDIR) {
    std::vector<uint8_t> fids;
    if (it.file_type == 4) {
      const uint32_t parent_lbn = it.parent >= 0 ? items[it.parent].lbn : it.lbn;
      fids = make_fid(0x0A, nullptr, parent_lbn);
    }
    for (const auto& f : it.fids) fids.insert(fids.end(), f.begin(), f.end());
    fids.resize(fids.size() - std::min(it.cut, fids.size()));
    if (!it.raw_ads) inf_len = fids.size() + it.inf_len_delta;
    if (it.dir_in_extent || fids.size() > kBlock - 216 - it.ea.size()) {
      EXPECT_LE(fids.size(), 8u * kBlock);
      const uint32_t blocks = static_cast<uint32_t>((fids.size() + kBlock - 1) / kBlock);
      const uint32_t first = alloc();
      for (uint32_t b = 1; b < blocks; ++b) alloc();
      if (!fids.empty()) std::memcpy(block(first), fids.data(), fids.size());
      short_ad ad{static_cast<uint32_t>(fids.size()), first};
      append(payload, ad);
      flags = static_cast<uint16_t>((flags & ~7u) | UDF_AD_SHORT);
    } else {
      payload = fids;
    }
  } else if ((flags & 7) == UDF_AD_IN_ICB || it.raw_ads) {
    payload = it.data;
  } else {
    for (const long_ad& ad : it.extents) append(payload, ad);
  }
  if (it.raw_ads && it.file_type != 4) payload = it.data;
  extended_file_entry e{};
  tag(&e.tag, 266, it.lbn);
  e.icbtag.strat_type = it.strategy;
  e.icbtag.max_num_entries = 1;
  e.icbtag.file_type = it.file_type;
  e.icbtag.flags = flags;
  e.uid = e.gid = 0xFFFFFFFFu;
  e.perm = it.perm;
  e.link_cnt = 1;
  e.inf_len = inf_len;
  e.object_size = inf_len;
  e.unique_id = it.unique_id;
  e.l_ea = static_cast<uint32_t>(it.ea.size());
  e.l_ad = static_cast<uint32_t>(payload.size());
  if (it.stream_lbn) {
    e.stream_directory_icb.len = kBlock;
    e.stream_directory_icb.loc = lb_addr{it.stream_lbn, 0};
  }
  mdcudfsr_swap_host2le_extended_file_entry(&e);
  uint8_t* b = block(it.lbn);
  std::memset(b, 0, kBlock);
  std::memcpy(b, &e, sizeof e);
  if (!it.ea.empty()) std::memcpy(b + sizeof e, it.ea.data(), it.ea.size());
  if (!payload.empty())
    std::memcpy(b + sizeof e + it.ea.size(), payload.data(),
                std::min<size_t>(payload.size(), kBlock - 216 - it.ea.size()));
  mdcudfsr_set_udf_tag_crc_and_checksum(b, static_cast<uint32_t>(std::min<size_t>(sizeof e + it.ea.size() + payload.size(), kBlock)));
}

void TreeImage::finish() {
  for (size_t i = 1; i < items.size(); ++i) {
    const Item& it = items[i];
    if (it.parent >= 0) items[it.parent].fids.push_back(make_fid(it.file_char, it.name.c_str(), it.lbn));
  }
  for (const Item& it : items)
    if (it.written) write_entry(it);
}

// ---------------------------------------------------------------- the mount

SimMount::SimMount() : blocks_at_start_(live_blocks()) {
  rec().reset();
  mdcudfsr_debug_level_init();
  dir_ = fs::temp_directory_path() / ("kel_tree_" + std::to_string(::getpid()) + "_" +
                                      kel_test::flat_test_name());
  fs::create_directories(dir_);
  ::setenv("KEL_REGISTRY", (dir_ / "registry.reg").c_str(), 1);
  kel::ResetConfigCache();
  config_set_string(0, nullptr, "Fs Cache File Path", (dir_ / "KELFS").c_str(), nullptr);
  m_ = std::make_unique<mdcudfsr_mount>();
}

fs::path SimMount::local_dir() const { return dir_ / "KELFS" / "Caches" / "LocalCache"; }

void SimMount::load(TreeImage& image) {
  kelsim::HarnessOptions o;
  o.cartridge.medium_type = image.spec.medium_type;
  o.cartridge.disc_blocks = 0x20000;
  o.cartridge.medium_serial = "TREE0001";
  sim_ = std::make_unique<kelsim::SimHarness>(o);
  kel_test::record_volume(sim_->cartridge(), 0, image.medium.data(), image.spec.sectors);
  kel::SetMediumCookie(sim_->cookie());
  char dev[] = "sg0", media[] = "notused";
  int finalized = 0, wp = 0, wu = 0;
  premount_operation(dev, media, &finalized, &wp, &wu);
  ASSERT_NE(nullptr, pclient_if);

  mdcudfsr_mount* m = m_.get();
  static vnode devvp{};
  m->devvp = &devvp;
  m->mp = kel_global_mount();
  m->medium_type = image.spec.medium_type;
  m->num_sectors = image.spec.sectors;
  m->num_discs = 1;
  m->next_unique_id = 16;
  const udf_test::ImageLayout& l = image.layout;
  m->part[2].start_sector = l.partition_start;
  m->part[2].length = uint64_t(l.partition_len) * kBlock;
  m->partition_length = m->part[2].length;
  m->partition_blocks = l.partition_len;
  for (uint32_t i = 0; i < 2; ++i) {
    mdcudfsr_extent_list_remove_all(&m->part[i].list);
    mdcudfsr_extent_entry e;
    e.extent.len = kMetadataBlocks * kBlock;
    e.extent.loc = lb_addr{l.metadata_extent, 2};
    mdcudfsr_extent_list_add(&m->part[i].list, &e, kBlock);
    m->part[i].length = kMetadataBlocks * kBlock;
    m->part[i].start_sector = l.partition_start + l.metadata_extent;
  }
  m->metadata_main_partition_length = m->metadata_mirr_partition_length = kMetadataBlocks * kBlock;
  m->metadata_file_loc = l.metadata_file_loc;
  m->metadata_mirror_loc = l.mirror_file_loc;
  m->first_physical_lsn = l.partition_start;

  mdcudfsr_metacache_init();
  m->metacachedev = mdcudfsr_metacache_alloc(m);
  ASSERT_NE(nullptr, m->metacachedev);
  argv_ = {"KelDriver", "/dev/sd1A2B", dir_.string()};
  for (auto& a : argv_) argp_.push_back(a.data());
  argp_.push_back(nullptr);
  ASSERT_NE(0u, FsCacheAgent_main_func(3, argp_.data()));
  while (!m->cache_agent_opened) std::this_thread::yield();
  uint32_t cache_err = 0;
  ASSERT_EQ(0, mdcudfsr_metacache_file_delete(m, "none", &cache_err));
  sim_->service().clear_transcript();
  rec().reset();
}

int SimMount::init(int prepared, int source) { return mdcudfsr_cache_init(m_.get(), nullptr, prepared, source); }

size_t SimMount::reads_since_clear() const {
  size_t n = 0;
  for (const auto& e : sim_->service().transcript())
    if (!e.cdb.empty() && e.cdb[0] == 0x28) ++n;
  return n;
}

mdcudfsr_cache_node* SimMount::child(mdcudfsr_cache_node* dir, const std::string& name) {
  std::lock_guard<std::mutex> lk(m_->cache_mutex);
  return mdcudfsr_name_avl_search(dir->name_root, name.c_str(), nullptr);
}

void SimMount::stop() {
  mdcudfsr_mount* m = m_.get();
  if (m->fsmanage_handle >= 0) mdcudfsr_metacache_file_close(m, m->fsmanage_handle);
  m->fsmanage_handle = -1;
  if (m->local_cache_handles[0] >= 0) mdcudfsr_cache_local_fs_cache_del(m, 1);
  if (m->metacachedev) {
    if (mdcudfsr_metacache_is_opened(m->metacachedev)) {
      EXPECT_EQ(0, mdcudfsr_metacache_mark_will_free(m->metacachedev));
      EXPECT_EQ(0, mdcudfsr_metacache_unmount(m));
      EXPECT_EQ(0, mdcudfsr_metacache_wait_close(m->metacachedev, 5000));
    }
    mdcudfsr_metacache_free(m->metacachedev);
    m->metacachedev = nullptr;
  }
  clientif_delete();
  if (sim_) {
    sim_.reset();
    kel::SetMediumCookie(0);
    kel_test::settles([] { return !kel::ServiceInterface().isConnected(); });
  }
}

SimMount::~SimMount() {
  mdcudfsr_cache_term(m_.get());
  stop();
  m_.reset();
  kel::ResetConfigCache();
  std::error_code ec;
  fs::remove_all(dir_, ec);
  EXPECT_EQ(blocks_at_start_, live_blocks()) << "blocks of the engine heap left behind";
}

}  // namespace cache_test
