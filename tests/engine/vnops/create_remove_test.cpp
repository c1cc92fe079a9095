// Create, mkdir and symlink; remove and rmdir; the recovery-list clear
// that remove runs; on a mounted volume of the simulated drive.
#include "namespace_support.h"

#include "drive/cm_data.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_cm.h"
#include "kelvnops/mdcudfsr_modes.h"
#include "udf/udf_neighbour_calls.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <cstring>
#include <thread>

namespace {

using namespace ns_test;
using vfs_test::logged;

class Namespace : public NsVolume {
 public:
  void set_read_only() { mp_.mnt_flag |= MNT_RDONLY; }
  void set_no_edit() { mnt_->mount_ext_flags |= 0x40; }
  void set_limited() { limit_to_other(); }

 protected:
  void SetUp() override {
    NsVolume::SetUp();
    mdcudfsr_debug_level_set(0);  // event lines on
  }
  // The path of a folder as the event lines give it (the root vnode's path first).
  std::string d63_path(vnode_t dir) {
    char buf[1024] = {};
    int len = sizeof buf;
    EXPECT_EQ(0, vn_getpath(dir, buf, &len));
    return root_path() + buf;
  }
  // The event line of a refusal written for `name` in the root.
  bool refusal(const std::string& message, const std::string& name) {
    return logged(message + " " + root_path() + "/" + name + " Error: ");
  }
  void privileged(kel_pid_t pid) {
    mnt_->privileged_pid = pid;
    mnt_->privileged_mode = 1;
  }
};

// ---------------------------------------------------------------- create

TEST_F(Namespace, CreateAndMkdirAddNodesTheLookupFinds) {
  vnode_t dir = nullptr, file = nullptr, inner = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "docs", &dir));
  ASSERT_NE(nullptr, dir);
  EXPECT_TRUE(vnode_isdir(dir));
  EXPECT_EQ(1, root_->dir_dirty) << "mkdir marks its parent's write activity";
  EXPECT_EQ(1, mnt_->lvid_open) << "mkdir opens the integrity session";
  ASSERT_EQ(0, create(rootvp_, "a.txt", &file, 0755));
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(file, lookup(rootvp_, "a.txt"));
  mdcudfsr_cache_node* n = node(file);
  EXPECT_EQ(MDCUDFSR_NODE_UDF, n->kind);
  EXPECT_EQ(mdcudfsr_perm_unix2udf(0777), n->udf_data->efe.perm) << "0755 has owner execute: 0777";
  vnode_t plain = nullptr;
  ASSERT_EQ(0, create(rootvp_, "plain", &plain, 0644));
  EXPECT_EQ(mdcudfsr_perm_unix2udf(0666), node(plain)->udf_data->efe.perm) << "else 0666";
  ASSERT_EQ(0, create(dir, "inner.bin", &inner));
  EXPECT_EQ(inner, lookup(dir, "inner.bin"));
  EXPECT_EQ(17, create(dir, "inner.bin")) << "the name exists";
}

TEST_F(Namespace, CreateRefusalsInOrder) {
  struct Case {
    const char* what;
    std::function<void(Namespace*)> set;
    const char* name;
    int result;
  } cases[] = {
      {"read-only mount", [](Namespace* t) { t->set_read_only(); }, "x", 30},
      {"no-edit mode", [](Namespace* t) { t->set_no_edit(); }, "x", 1},
      {"limited access", [](Namespace* t) { t->set_limited(); }, "x", 16},
      {"$ in the root", nullptr, "$", 95},
      {"$$ in the root", nullptr, "$$", 95},
      {"$/more in the root", nullptr, "$/a", 95},
      {".Trash in the root", nullptr, ".trashes", 95},
      {"slash in the name", nullptr, "a/b", 22},
      {"name too long", nullptr, nullptr, 36},
  };
  const std::string long_name(200, 'n');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    mp_.mnt_flag = 0;
    mnt_->mount_ext_flags &= ~0x40u;
    if (mnt_->limited_access_owner) unlimit();
    if (c.set) c.set(this);
    EXPECT_EQ(c.result, create(rootvp_, c.name ? c.name : long_name));
    if (c.result != 95) {
      EXPECT_EQ(nullptr, lookup(rootvp_, c.name ? c.name : long_name));
    }
  }
  EXPECT_TRUE(refusal("Creating the file failed because the length of file names are over the limitation. File:",
                      long_name));
  EXPECT_TRUE(refusal("Creating the file failed because the name violate the naming rules. File:", "a/b"));
  EXPECT_TRUE(refusal("The volume is used exclusively. File:", "x"));
}

TEST_F(Namespace, CreateRefusesAttributesTheAgentCouldNotTake) {
  componentname cn{};
  cn.cn_nameptr = const_cast<char*>("sizes");
  cn.cn_namelen = 5;
  vnode_attr va{};
  va.va_active = VATTR_TOTAL_SIZE | VATTR_DATA_SIZE;
  va.va_total_size = 10;
  va.va_data_size = 20;
  vnode_t vp = nullptr;
  vnop_create_args a{&vnop_create_desc, rootvp_, &vp, &cn, &va, &ctx_};
  EXPECT_EQ(22, mdcudfsr_vnop_create(&a)) << "total and data sizes disagree";
  EXPECT_EQ(nullptr, vp);
  EXPECT_EQ(nullptr, lookup(rootvp_, "sizes"));
  EXPECT_EQ(0, root_->lock_count);
}

TEST_F(Namespace, DollarAndTrashNamesAreFineBelowTheRoot) {
  vnode_t dir = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "sub", &dir));
  EXPECT_EQ(0, create(dir, "$"));
  EXPECT_EQ(0, create(dir, "$$"));
  EXPECT_EQ(0, mkdir(dir, ".Trash-500"));
  EXPECT_EQ(0, create(dir, ".Trash"));
}

TEST_F(Namespace, MkdirTrash500IsRefusedBeforeConversionInAnyCase) {
  for (const char* n : {".Trash-500", ".TRASH-500", ".trash-500"}) EXPECT_EQ(95, mkdir(rootvp_, n)) << n;
  mp_.mnt_flag |= MNT_RDONLY;
  EXPECT_EQ(30, mkdir(rootvp_, ".Trash-500")) << "the read-only check comes first";
}

TEST_F(Namespace, Depth63SucceedsAnd64FailsWithItsEventLine) {
  vnode_t deep = folders(rootvp_, 62);
  ASSERT_NE(nullptr, deep) << "62 folders below the root";
  EXPECT_EQ(0, create(deep, "level63"));
  vnode_t d63 = nullptr;
  ASSERT_EQ(0, mkdir(deep, "d63", &d63));
  EXPECT_EQ(36, create(d63, "level64"));
  const std::string in_d63 = d63_path(d63) + "/level64 Error: ";
  EXPECT_TRUE(logged("Creating the file failed because the depth of folder hierarchy exceeds the limit. File: " +
                     in_d63));
  EXPECT_EQ(36, mkdir(d63, "level64"));
  EXPECT_TRUE(logged("Failed to create the folder because the depth of folder hierarchy exceeds the limit. File: " +
                     in_d63));
  EXPECT_EQ(36, symlink(d63, "level64", "t"));
  EXPECT_TRUE(logged(
      "Failed to create the symbolic link because the depth of folder hierarchy exceeds the limit. File: " + in_d63));
}

TEST_F(Namespace, ObjectCountRefusesAllButAPrivilegedCreate) {
  std::uint32_t max_files = 0, max_dirs = 0;
  ASSERT_EQ(0, mdcudfsr_cache_get_max_object_count(mnt_.get(), 0, &max_files, &max_dirs));
  mnt_->nfiles = max_files;
  EXPECT_EQ(28, create(rootvp_, "f"));
  EXPECT_TRUE(refusal("Creating the file failed because the number of files/folders exceeds the limit. File:", "f"));
  EXPECT_EQ(28, mkdir(rootvp_, "d"));
  privileged(pid_);
  EXPECT_EQ(0, create(rootvp_, "f")) << "the privileged caller skips the count";
  EXPECT_EQ(28, mkdir(rootvp_, "d")) << "mkdir asks for the privileged caller too";
  EXPECT_EQ(28, symlink(rootvp_, "l", "f"));
  mnt_->nfiles = 0;
}

TEST_F(Namespace, PrivilegedCallerCreatesADollarProxyInTheShadowFolder) {
  vnode_t shadow = lookup(rootvp_, "$");
  ASSERT_NE(nullptr, shadow);
  EXPECT_EQ(95, create(shadow, "@@proxy1")) << "not privileged";
  EXPECT_EQ(95, create(shadow, "plain")) << "not a hidden temporary name";
  privileged(pid_);
  vnode_t vp = nullptr;
  ASSERT_EQ(0, create(shadow, "@@proxy1", &vp));
  ASSERT_NE(nullptr, vp);
  EXPECT_EQ(1, mdcudfsr_cache_is_dollar_proxyfile(node(vp)));
  EXPECT_EQ(95, create(shadow, "plain")) << "privileged, but not a hidden name";
}

TEST_F(Namespace, CreateInProxyVirtualOrMasterFolderIs95) {
  vnode_t dir = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "d", &dir));
  ASSERT_EQ(0, create(dir, "exists"));
  for (std::uint32_t kind : {MDCUDFSR_NODE_PROXY, MDCUDFSR_NODE_VIRTUAL, MDCUDFSR_NODE_MASTER}) {
    node(dir)->kind = kind;
    EXPECT_EQ(95, create(dir, "new")) << kind;
    EXPECT_EQ(0, mkdir(dir, "exists")) << "mkdir makes nothing and finds the name " << kind;
    EXPECT_EQ(2, mkdir(dir, "missing")) << kind;
  }
  node(dir)->kind = MDCUDFSR_NODE_UDF;
}

TEST_F(Namespace, FailedMkdirLogsItsEventCode) {
  ASSERT_EQ(0, mkdir(rootvp_, "twice"));
  EXPECT_TRUE(logged("Created the folder. File: " + root_path() + "/twice"));
  vfs_test::clear_log();
  EXPECT_EQ(17, mkdir(rootvp_, "twice"));
  EXPECT_TRUE(logged("Failed to create the folder. File: " + root_path() + "/twice Error: 0x8A000001"));
}

TEST_F(Namespace, SymlinkKeepsItsNormalisedTargetAndRefusesTooLongOnes) {
  vnode_t vp = nullptr;
  ASSERT_EQ(0, symlink(rootvp_, "link", "a//b///c", &vp));
  mdcudfsr_cache_node* n = node(vp);
  ASSERT_NE(nullptr, n);
  EXPECT_STREQ("a/b/c", n->symlink_target);
  EXPECT_EQ(UDF_FILE_TYPE_SYMLINK, n->udf_data->efe.icbtag.file_type);
  EXPECT_EQ(1, root_->dir_dirty);
  // 2048 - 216 bytes of components fit: each of 200 letters takes 4 + 201.
  std::string target;
  for (int i = 0; i < 8; ++i) target += (i ? "/" : "") + std::string(200, static_cast<char>('a' + i));
  EXPECT_EQ(0, symlink(rootvp_, "fits", target.c_str())) << "1640 bytes";
  target += "/" + std::string(200, 'z');
  EXPECT_EQ(1, symlink(rootvp_, "long", target.c_str())) << "1845 bytes";
  EXPECT_EQ(nullptr, lookup(rootvp_, "long"));
  EXPECT_EQ(30, (mp_.mnt_flag |= MNT_RDONLY, symlink(rootvp_, "ro", "t"))) << "refused on a read-only mount";
}

// ---------------------------------------------------------------- remove

TEST_F(Namespace, RemoveAndRmdirRefuseTheWrongKind) {
  vnode_t dir = nullptr, file = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "d", &dir));
  ASSERT_EQ(0, create(rootvp_, "f", &file));
  EXPECT_EQ(21, remove(rootvp_, "d"));
  EXPECT_EQ(20, rmdir(rootvp_, "f"));
  EXPECT_EQ(dir, lookup(rootvp_, "d"));
  EXPECT_EQ(file, lookup(rootvp_, "f"));
}

TEST_F(Namespace, RemoveTakesTheFileOutAndLogsIt) {
  vnode_t file = nullptr;
  ASSERT_EQ(0, create(rootvp_, "gone.txt", &file));
  mdcudfsr_cache_node* n = node(file);
  const std::uint32_t files = mnt_->nfiles;
  ASSERT_EQ(0, remove(rootvp_, "gone.txt"));
  EXPECT_TRUE(mdcudfsr_is_inactive(n));
  EXPECT_EQ(nullptr, lookup(rootvp_, "gone.txt"));
  EXPECT_EQ(files - 1, mnt_->nfiles);
  EXPECT_EQ(2, root_->dir_dirty);
  EXPECT_EQ(0, mnt_->flush_state) << "an empty file leaves the flush state";
  EXPECT_TRUE(logged("Deleting the file finished. File: " + root_path() + "/gone.txt"));
}

TEST_F(Namespace, RemovingAFileWithDataAsksForAFlush) {
  vnode_t file = nullptr;
  ASSERT_EQ(0, create(rootvp_, "data", &file));
  node(file)->udf_data->efe.inf_len = 4096;
  ASSERT_EQ(0, remove(rootvp_, "data"));
  EXPECT_EQ(1, mnt_->flush_state);
  EXPECT_EQ(0u, node(file)->udf_data->efe.inf_len) << "truncated";
}

TEST_F(Namespace, FailedRemoveFlipsTheParentTimeAndLogsItsCode) {
  ASSERT_EQ(0, create(rootvp_, "busy"));
  vnode_t vp = lookup(rootvp_, "busy");
  node(vp)->kind = MDCUDFSR_NODE_VIRTUAL;  // no VFAM data: 1
  EXPECT_EQ(1, remove(rootvp_, "busy"));
  EXPECT_EQ(1, root_->time_adjust);
  EXPECT_EQ(1, remove(rootvp_, "busy"));
  EXPECT_EQ(0, root_->time_adjust) << "flipped back";
  node(vp)->kind = MDCUDFSR_NODE_UDF;
  limit_to_other();
  vfs_test::clear_log();
  EXPECT_EQ(16, remove(rootvp_, "busy"));
  EXPECT_TRUE(refusal("The volume is used exclusively. File:", "busy"));
  EXPECT_FALSE(logged("Deleting the file failed.")) << "the limited-access refusal writes its own line";
  unlimit();
  mnt_->system_guard = 1;  // a failed descriptor write ends the session update
  sim_->drive().add_fault(kelsim::command_fails(0x2A, {0x03, 0x0C, 0x00}));
  EXPECT_NE(0, remove(rootvp_, "busy")) << "the integrity session cannot be opened";
  EXPECT_TRUE(logged("Deleting the file failed. File: " + root_path() + "/busy Error: 0x8A000004"));
}

TEST_F(Namespace, VirtualAndMasterFilesGoThroughTheVfamChannel) {
  vnode_t v = nullptr, m = nullptr;
  ASSERT_EQ(0, create(rootvp_, "virt", &v));
  ASSERT_EQ(0, create(rootvp_, "master", &m));
  node(v)->kind = MDCUDFSR_NODE_VIRTUAL;
  ASSERT_EQ(0, mdcudfsr_cache_alloc_vfam_data(mnt_.get(), node(v)));
  EXPECT_EQ(6, remove(rootvp_, "virt")) << "the VFAM channel is not open";
  EXPECT_FALSE(mdcudfsr_is_inactive(node(v)));
  node(m)->kind = MDCUDFSR_NODE_MASTER;
  EXPECT_EQ(0, remove(rootvp_, "master")) << "a master open only for reading stays";
  EXPECT_FALSE(mdcudfsr_is_inactive(node(m)));
  node(m)->write_open = 1;
  EXPECT_EQ(16, remove(rootvp_, "master")) << "open for writing: busy, its handle still writes";
  EXPECT_FALSE(mdcudfsr_is_inactive(node(m)));
  node(m)->write_open = 0;
  node(m)->kind = MDCUDFSR_NODE_UDF;
}

TEST_F(Namespace, RemovingAParityFileDetachesItFromItsMaster) {
  vnode_t mv = nullptr, pv = nullptr;
  ASSERT_EQ(0, create(rootvp_, "master", &mv));
  ASSERT_EQ(0, create(rootvp_, "master#parity", &pv));
  mdcudfsr_cache_node *master = node(mv), *parity = node(pv);
  master->parity_node = parity;
  parity->stream_owner = master;
  master->udf_data->efe.stream_directory_icb = long_ad{2048, {77, 0}, 0, 0};
  master->udf_data->efe.link_cnt = 2;
  master->udf_data->efe.inf_len = 100;
  master->udf_data->efe.object_size = 2148;
  ASSERT_EQ(0, remove(rootvp_, "master#parity"));
  EXPECT_TRUE(mdcudfsr_is_inactive(parity));
  EXPECT_EQ(nullptr, master->parity_node);
  EXPECT_EQ(0u, master->udf_data->efe.stream_directory_icb.len);
  EXPECT_EQ(0u, master->udf_data->efe.stream_directory_icb.loc.lb_num);
  EXPECT_EQ(1, master->udf_data->efe.link_cnt);
  EXPECT_EQ(100u, master->udf_data->efe.object_size);
  EXPECT_FALSE(mdcudfsr_is_inactive(master));
}

TEST_F(Namespace, RemovingAMasterTakesItsParityNodeWith) {
  vnode_t mv = nullptr, pv = nullptr;
  ASSERT_EQ(0, create(rootvp_, "m2", &mv));
  ASSERT_EQ(0, create(rootvp_, "m2#p", &pv));
  node(mv)->parity_node = node(pv);
  node(pv)->stream_owner = node(mv);
  node(pv)->udf_data->efe.inf_len = 500;
  ASSERT_EQ(0, remove(rootvp_, "m2"));
  EXPECT_TRUE(mdcudfsr_is_inactive(node(pv)));
  EXPECT_EQ(0u, node(pv)->udf_data->efe.inf_len) << "the parity node is truncated too";
  EXPECT_EQ(0, node(pv)->lock_count) << "and unlocked again";
}

// A remove that must not delete a busy file refuses one in use and changes
// nothing; without that flag, or when the file is not in use, it goes.
TEST_F(Namespace, RemoveOfABusyFile) {
  vnode_t busy = nullptr, idle = nullptr, other = nullptr;
  ASSERT_EQ(0, create(rootvp_, "busy", &busy));
  ASSERT_EQ(0, create(rootvp_, "idle", &idle));
  ASSERT_EQ(0, create(rootvp_, "other", &other));
  EXPECT_EQ(0, vnode_isinuse(busy, 0)) << "the host layer's own answer";
  processes().in_use.insert(busy);
  processes().in_use.insert(other);
  const std::uint32_t files = mnt_->nfiles;
  vfs_test::clear_log();
  EXPECT_EQ(16, remove(rootvp_, "busy", VNODE_REMOVE_NODELETEBUSY));
  EXPECT_TRUE(logged("!( flags & VNODE_REMOVE_NODELETEBUSY ) || !vnode_isinuse( vp, 0 )"));
  EXPECT_TRUE(logged("Deleting the file failed. File: " + root_path() + "/busy Error: 0x8A000004"));
  EXPECT_FALSE(mdcudfsr_is_inactive(node(busy)));
  EXPECT_EQ(busy, lookup(rootvp_, "busy")) << "still listed";
  EXPECT_EQ(files, mnt_->nfiles);
  EXPECT_EQ(1, root_->time_adjust) << "a failed remove flips the parent's times";
  EXPECT_EQ(0, remove(rootvp_, "idle", VNODE_REMOVE_NODELETEBUSY)) << "not in use";
  EXPECT_TRUE(mdcudfsr_is_inactive(node(idle)));
  EXPECT_EQ(0, remove(rootvp_, "other")) << "without the flag a file in use goes too";
  EXPECT_TRUE(mdcudfsr_is_inactive(node(other)));
  processes().in_use.clear();
}

// A folder in use is removed like any other empty folder: rmdir has no
// busy refusal.
TEST_F(Namespace, RmdirOfAFolderInUse) {
  vnode_t d = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "open", &d));
  processes().in_use.insert(d);
  EXPECT_EQ(0, rmdir(rootvp_, "open"));
  EXPECT_TRUE(mdcudfsr_is_inactive(node(d)));
  EXPECT_EQ(nullptr, lookup(rootvp_, "open"));
  processes().in_use.clear();
}

TEST_F(Namespace, RmdirRules) {
  vnode_t d = nullptr, e = nullptr;
  ASSERT_EQ(0, mkdir(rootvp_, "full", &d));
  ASSERT_EQ(0, create(d, "child"));
  EXPECT_EQ(39, rmdir(rootvp_, "full"));
  EXPECT_TRUE(refusal("Deleting the folder failed because the folder contains file/folder(s). File:", "full"));
  EXPECT_FALSE(logged("Failed to delete the folder.")) << "the not-empty refusal writes its own line";
  ASSERT_EQ(0, remove(d, "child"));
  EXPECT_EQ(0, rmdir(rootvp_, "full")) << "only an inactive child is left";
  EXPECT_TRUE(logged("Deleted the folder. File: " + root_path() + "/full"));
  EXPECT_EQ(2, root_->dir_dirty);
  ASSERT_EQ(0, mkdir(rootvp_, "e", &e));
  ASSERT_EQ(0, mkdir(e, "$"));
  EXPECT_EQ(0, rmdir(e, "$")) << "a \"$\" folder below the root goes";
  EXPECT_EQ(95, rmdir(rootvp_, "$")) << "the root's \"$\" stays";
}

// ---------------------------------------------------------------- recovery list

class RecoveryClear : public Namespace {
 protected:
  mdcudfsr_cache_node* file(const std::string& name) {
    vnode_t vp = nullptr;
    EXPECT_EQ(0, create(rootvp_, name, &vp));
    return node(vp);
  }
  void SetUp() override {
    Namespace::SetUp();
    // Another vendor's 1500h: the mount writes a fresh one.
    sim_->cartridge().attributes[0x1500] = {0, std::vector<std::uint8_t>(128, 0x11)};
    int read_only = 0;
    ASSERT_EQ(0, mdcudfsr_read_write_attribute_for_mount(mnt_.get(), &read_only, &ctx_));
    ASSERT_EQ(0, read_only);
    take_opcodes();
  }
  // The list as the cartridge memory holds it (1500h, big-endian ids).
  std::vector<std::uint32_t> cartridge_list() {
    auto& a = sim_->cartridge().attributes;
    auto it = a.find(0x1500);
    std::vector<std::uint32_t> out;
    if (it == a.end() || it->second.value.size() < 128) return out;
    const std::uint8_t* v = it->second.value.data();
    for (int k = 0; k < v[cm1500::kListCount] && k < cm1500::kListMax; ++k) {
      const std::uint8_t* p = v + cm1500::kList + 4 * k;
      out.push_back(static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]);
    }
    return out;
  }
  int writes() {
    int n = 0;
    for (auto op : take_opcodes()) n += op == 0x8D;
    return n;
  }
};

TEST_F(RecoveryClear, RemovingAListedFileTakesItOffTheCartridgeList) {
  mdcudfsr_cache_node* a = file("a");
  mdcudfsr_cache_node* b = file("b");
  ASSERT_EQ(0, mdcudfsr_update_recovery_req_file(mnt_.get(), a, &ctx_));
  ASSERT_EQ(0, mdcudfsr_update_recovery_req_file(mnt_.get(), b, &ctx_));
  const auto id_a = static_cast<std::uint32_t>(mdcudfsr_node_unique_id(a));
  const auto id_b = static_cast<std::uint32_t>(mdcudfsr_node_unique_id(b));
  ASSERT_EQ((std::vector<std::uint32_t>{id_a, id_b}), cartridge_list());
  ASSERT_EQ(0, remove(rootvp_, "a"));
  EXPECT_EQ((std::vector<std::uint32_t>{id_b}), cartridge_list());
  EXPECT_EQ(1u, mnt_->recovery_count);
  EXPECT_EQ(b, mnt_->recovery_nodes[0]);
}

TEST_F(RecoveryClear, ClearingTheOnlyEntryWritesCountZero) {
  mdcudfsr_cache_node* a = file("only");
  ASSERT_EQ(0, mdcudfsr_update_recovery_req_file(mnt_.get(), a, &ctx_));
  take_opcodes();
  const std::uint64_t id = mdcudfsr_node_unique_id(a);
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_clear_recovery_required_file(mnt_.get(), &id, &ctx_));
  EXPECT_TRUE(cartridge_list().empty());
  EXPECT_EQ(0u, mnt_->recovery_count);
  EXPECT_GE(writes(), 1);
}

TEST_F(RecoveryClear, AnUnlistedIdIs22AndWritesNothing) {
  mdcudfsr_cache_node* a = file("listed");
  ASSERT_EQ(0, mdcudfsr_update_recovery_req_file(mnt_.get(), a, &ctx_));
  take_opcodes();
  const std::uint64_t other = mdcudfsr_node_unique_id(a) + 100;
  EXPECT_EQ(22, mdcudfsr_mdcfsctrl_clear_recovery_required_file(mnt_.get(), &other, &ctx_));
  EXPECT_EQ(0, writes());
  EXPECT_EQ(1u, mnt_->recovery_count);
  EXPECT_TRUE(logged("Not Fount TargetUiqueId[0x"));
}

// Clears beside additions lose neither: after each round the list holds
// exactly the files added and not cleared.
TEST_F(RecoveryClear, ClearBesideUpdateLosesNeitherChange) {
  std::vector<mdcudfsr_cache_node*> listed;
  for (int i = 0; i < 6; ++i) listed.push_back(file("c" + std::to_string(i)));
  for (auto* n : listed) ASSERT_EQ(0, mdcudfsr_update_recovery_req_file(mnt_.get(), n, &ctx_));
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    std::vector<mdcudfsr_cache_node*> added;
    for (int i = 0; i < 6; ++i) added.push_back(file("r" + std::to_string(round) + "_" + std::to_string(i)));
    std::atomic<int> failures{0};
    std::thread adder([&] {
      for (auto* n : added) failures += mdcudfsr_update_recovery_req_file(mnt_.get(), n, &ctx_) != 0;
    });
    for (auto* n : listed) {
      const std::uint64_t id = mdcudfsr_node_unique_id(n);
      failures += mdcudfsr_mdcfsctrl_clear_recovery_required_file(mnt_.get(), &id, &ctx_) != 0;
    }
    adder.join();
    EXPECT_EQ(0, failures.load());
    std::vector<std::uint32_t> want;
    for (auto* n : added) want.push_back(static_cast<std::uint32_t>(mdcudfsr_node_unique_id(n)));
    auto got = cartridge_list();
    std::sort(got.begin(), got.end());
    ASSERT_EQ(want, got);
    ASSERT_EQ(6u, mnt_->recovery_count);
    listed = added;
  }
}

}  // namespace
