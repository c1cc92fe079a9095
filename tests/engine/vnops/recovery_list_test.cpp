// Recovery-required files and salvage information on a small node tree of a
// mount whose cartridge memory lives in the simulated drive.
#include "fsctl_support.h"
#include "vfs_support.h"

#include "drive/cm_data.h"
#include "kelcache/cache.h"
#include "kelcache/cache_node.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvnops/mdcudfsr_recovery_list.h"

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace vfs_test;

struct TreeNode {
  mdcudfsr_cache_node node;
  mdcudfsr_udf_data data;
  std::string name;
};

class RecoveryList : public SimVolume {
 protected:
  void SetUp() override {
    SimVolume::SetUp();
    start();
    stop_drive_client();
    fsctl_test::seed_cm(sim_->cartridge(), 0);
    start_drive_client();
    std::uint8_t r[MDCUDFSR_CM_RECORD_SIZE];
    ASSERT_EQ(0, mdcudfsr_read_attribute(mnt_.get(), r, sizeof r, 1, 1, &ctx_, 1));
    root_ = add(nullptr, "", 1);
    dir_ = add(root_, "Dir", 16);
    file_ = add(dir_, "file.bin", 17);
    other_ = add(root_, "other", 18);
    mnt_->root_node = &root_->node;
    root_->node.vp = reinterpret_cast<vnode_t>(&root_vnode_);  // paths start at the root's vnode
  }
  void TearDown() override {
    mnt_->recovery_count = 0;
    SimVolume::TearDown();
  }
  TreeNode* add(TreeNode* parent, const std::string& name, std::uint64_t id) {
    auto n = std::make_unique<TreeNode>();
    n->name = name;
    n->node.vfs_name = n->name.data();
    n->data.efe.unique_id = id;
    n->node.udf_data = &n->data;
    n->node.mdcudfsrmp = mnt_.get();
    if (parent) {
      n->node.parent = &parent->node;
      parent->node.file_char |= UDF_FILE_CHAR_DIR;
      parent->node.uid_root = mdcudfsr_avl_insert(&parent->node, parent->node.uid_root, &n->node, id, 0);
    }
    nodes_.push_back(std::move(n));
    return nodes_.back().get();
  }
  int reg(std::uint64_t id) { return mdcudfsr_mdcfsctrl_register_recovery_required_file(mnt_.get(), &id, &ctx_); }
  // The salvage list: one record per (parent id, file id, flags).
  void salvage(std::vector<std::uint8_t>& list, std::uint64_t parent, std::uint64_t id, std::uint8_t not_efe = 0) {
    const std::uint32_t s = mnt_->logical_sector_size;
    std::vector<std::uint8_t> rec(24 + 3 * s, 0);
    rec[15] = not_efe;
    std::memcpy(rec.data() + 224, &parent, 8);
    std::memcpy(rec.data() + 224 + 2 * s, &id, 8);
    if (list.empty()) list.assign(8, 0);
    list.insert(list.end(), rec.begin(), rec.end());
    std::uint32_t n = 0;
    std::memcpy(&n, list.data(), 4);
    ++n;
    const std::uint32_t total = static_cast<std::uint32_t>(list.size());
    std::memcpy(list.data(), &n, 4);
    std::memcpy(list.data() + 4, &total, 4);
  }
  void install(std::vector<std::uint8_t>& list) {
    mnt_->salvage_file_info_list = reinterpret_cast<mdcudfsr_salvage_file_info*>(list.data());
  }
  void uninstall() { mnt_->salvage_file_info_list = nullptr; }

  std::vector<std::unique_ptr<TreeNode>> nodes_;
  int root_vnode_ = 0;
  TreeNode *root_ = nullptr, *dir_ = nullptr, *file_ = nullptr, *other_ = nullptr;
};

TEST_F(RecoveryList, EmptyListAnswersIndexZeroOnly) {
  mdcfs_file_name_query q{0, 9, 9, 9, 0};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_recovery_required_file_info(mnt_.get(), &q));
  EXPECT_EQ(0u, q.Count);
  EXPECT_EQ(0u, std::uint64_t{q.UniqueId});
  EXPECT_EQ(0u, q.NameSize);
  q.Index = 1;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_recovery_required_file_info(mnt_.get(), &q));
}

TEST_F(RecoveryList, RegisteredFileIsListedInTheCartridgeMemory) {
  EXPECT_EQ(2, reg(99)) << "not in the tree";
  ASSERT_EQ(0, reg(17));
  const auto v = fsctl_test::attribute(sim_->cartridge(), 0x1500);
  EXPECT_EQ(1, v[cm1500::kListCount]);
  EXPECT_EQ(17u, fsctl_test::be32(v.data() + cm1500::kList));

  mdcfs_file_name_query q{0, 0, 0, 0, 0};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_recovery_required_file_info(mnt_.get(), &q));
  EXPECT_EQ(1u, q.Count);
  EXPECT_EQ(17u, std::uint64_t{q.UniqueId});
  ASSERT_EQ(std::string("/Dir/file.bin").size() + 1, q.NameSize);

  char buf[32];
  for (std::uint32_t size : {q.NameSize, 31u, 5u}) {
    std::memset(buf, '#', sizeof buf);
    mdcfs_file_name_query w{0, 0, 0, size, reinterpret_cast<std::uintptr_t>(buf)};
    ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_recovery_required_file_info(mnt_.get(), &w));
    const std::string whole = "/Dir/file.bin";
    EXPECT_EQ(size >= whole.size() + 1 ? whole : whole.substr(0, size - 1), std::string(buf)) << size;
    EXPECT_EQ('#', buf[std::min<std::size_t>(size, whole.size() + 1)]) << "nothing past the path and its NUL";
  }
}

TEST_F(RecoveryList, ConcurrentUpdatesOfTheListSurvive) {
  std::thread t([&] { EXPECT_EQ(0, reg(17)); });
  EXPECT_EQ(0, mdcudfsr_update_recovery_req_file(mnt_.get(), &other_->node, &ctx_));
  t.join();
  EXPECT_EQ(2u, mnt_->recovery_count);
  const auto v = fsctl_test::attribute(sim_->cartridge(), 0x1500);
  EXPECT_EQ(2, v[cm1500::kListCount]) << "both writes kept the other's entry";
}

TEST_F(RecoveryList, SalvageListCopiesOnlyTheList) {
  mdcfs_salvage_file_info_list r{7, 100, 0};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_salvage_file_info_list(mnt_.get(), &r));
  EXPECT_EQ(0u, r.Count);
  EXPECT_EQ(0u, r.Size);

  std::vector<std::uint8_t> list;
  salvage(list, 16, 17);
  install(list);
  r = {0, 0, 0};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_salvage_file_info_list(mnt_.get(), &r));
  EXPECT_EQ(1u, r.Count);
  EXPECT_EQ(list.size(), r.Size);
  std::vector<std::uint8_t> buf(list.size() + 64, 0xEE);
  r = {0, static_cast<std::uint32_t>(buf.size() + 8), reinterpret_cast<std::uintptr_t>(buf.data())};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_salvage_file_info_list(mnt_.get(), &r));
  EXPECT_EQ(0, std::memcmp(buf.data(), list.data() + 8, list.size() - 8));
  EXPECT_EQ(0xEE, buf[list.size() - 8]) << "the record data only";
  uninstall();
}

TEST_F(RecoveryList, SalvageNameOfAFoundFile) {
  std::vector<std::uint8_t> list;
  salvage(list, 1, 18);
  salvage(list, 16, 17);
  salvage(list, 16, 17, 1);
  install(list);
  char buf[32] = {};
  mdcfs_file_name_query q{1, 0, 0, sizeof buf, reinterpret_cast<std::uintptr_t>(buf)};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_salvage_filename(mnt_.get(), &q));
  EXPECT_EQ(3u, q.Count);
  EXPECT_EQ(17u, std::uint64_t{q.UniqueId});
  EXPECT_EQ(std::string("/Dir/file.bin"), buf);
  EXPECT_EQ(14u, q.NameSize);
  EXPECT_EQ(0, file_->node.lock_count) << "the node is unlocked again";

  q = {2, 0, 0, sizeof buf, reinterpret_cast<std::uintptr_t>(buf)};
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_salvage_filename(mnt_.get(), &q));
  EXPECT_EQ(0u, q.NameSize) << "not an extended file entry: no path";
  q.Index = 3;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_salvage_filename(mnt_.get(), &q));
  uninstall();
}

TEST_F(RecoveryList, SalvageRecordOverrunningTheListIsRefused) {
  struct Case {
    const char* what;
    std::uint16_t n1, n2;
    std::uint8_t stream;
    std::uint32_t total_cut;
  } cases[] = {
      {"blocks counted past the end", 40, 0, 0, 0},
      {"stream blocks past the end", 0, 3, 1, 0},
      {"total size cut short", 0, 0, 0, 100},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> list;
    salvage(list, 16, 17);
    std::memcpy(list.data() + 8 + 20, &c.n1, 2);
    std::memcpy(list.data() + 8 + 22, &c.n2, 2);
    list[8 + 14] = c.stream;
    std::uint32_t total = static_cast<std::uint32_t>(list.size()) - c.total_cut;
    std::memcpy(list.data() + 4, &total, 4);
    install(list);
    char buf[32];
    mdcfs_file_name_query q{0, 0, 0, sizeof buf, reinterpret_cast<std::uintptr_t>(buf)};
    EXPECT_EQ(22, mdcudfsr_mdcfsctrl_get_salvage_filename(mnt_.get(), &q));
    uninstall();
  }
}

}  // namespace
