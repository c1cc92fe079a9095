// Lookup, attributes, listing, open and close, and the release of vnodes on
// a tree volume of the simulated cartridge.
#include "vnop_support.h"

#include "kelcache/cache.h"
#include "kelcache/lookup.h"
#include "kelhost/kern.h"
#include "kelvfs/mdcudfsr_readahead.h"
#include "kelvfs/mdcudfsr_time.h"
#include "kelvnops/mdcudfsr_fsctl_parity.h"
#include "kelvnops/mdcudfsr_namespace.h"
#include "kelvnops/mdcudfsr_process.h"

#include <atomic>
#include <thread>

#include "platform/sync.h"
#include "support/settles.h"

#include <cstring>

using namespace vnop_test;

namespace {

// docs/ (uid 20) with a.txt (21, 5000 bytes) and b.txt (22, 0 bytes),
// ln -> a (23), hid.bin (24, hidden), e/ (25, empty folder).
struct Tree {
  TreeImage img;
  int docs, a, b, link, hid, empty;
  Tree() {
    docs = img.dir(TreeImage::kRoot, "docs", 20);
    a = img.file(docs, "a.txt", 21, 5000);
    b = img.file(docs, "b.txt", 22, 0);
    link = img.symlink(TreeImage::kRoot, "ln", 23, "docs/a.txt");
    hid = img.file(TreeImage::kRoot, "hid.bin", 24, 100);
    empty = img.dir(TreeImage::kRoot, "e", 25);
    parity = img.file(docs, "f#*ECC_Parity_1", 26, 100);
  }
  int parity;
};

class TreeOps : public VnopVolume {
 protected:
  void SetUp() override {
    mount(t.img);
    // As every mount: VFAM-backed, no agent tied to the volume.
    m()->mount_ext_flags |= 0x8 | MDCUDFSR_MNT_AGENT_STOPPED;
  }
  // A lookup as the host layer makes it, in the folder at `folder`.
  int lookup(vnode_t dvp, const std::string& name, vnode_t* out, std::uint32_t op = LOOKUP,
             std::uint32_t flags = MAKEENTRY, std::string folder = "/") {
    std::string copy = name;
    componentname cn{};
    cn.cn_pnbuf = folder.data();
    cn.cn_pnlen = static_cast<int>(folder.size());
    cn.cn_nameiop = op;
    cn.cn_flags = flags;
    cn.cn_nameptr = copy.data();
    cn.cn_namelen = static_cast<int>(copy.size());
    *out = reinterpret_cast<vnode_t>(0x1);
    vnop_lookup_args a{&vnop_lookup_desc, dvp, out, &cn, &ctx_};
    return mdcudfsr_vnop_lookup(&a);
  }
  int getattr(vnode_t vp, vnode_attr* v) {
    vnop_getattr_args a{&vnop_getattr_desc, vp, v, &ctx_};
    return mdcudfsr_vnop_getattr(&a);
  }
  struct Record {
    std::uint32_t fileno;
    std::uint16_t reclen;
    std::uint8_t type;
    std::string name;
  };
  // One readdir call into a buffer of `size` bytes at `*cookie`.
  int readdir(vnode_t vp, std::size_t size, std::int64_t* cookie, std::vector<Record>* out, int* eof,
              std::uint32_t flags = VNODE_READDIR_EXTENDED) {
    std::vector<std::uint8_t> buf(size);
    uio_t u = uio_create(1, *cookie, UIO_SYSSPACE, UIO_READ);
    uio_addiov(u, reinterpret_cast<user_addr_t>(buf.data()), size);
    int n = -1;
    vnop_readdir_args a{&vnop_readdir_desc, vp, u, flags, eof, &n, &ctx_};
    const int r = mdcudfsr_vnop_readdir(&a);
    const std::size_t used = size - static_cast<std::size_t>(uio_resid(u));
    *cookie = uio_offset(u);
    uio_free(u);
    for (std::size_t off = 0; off + 10 <= used;) {
      Record rec;
      std::memcpy(&rec.fileno, &buf[off], 4);
      std::memcpy(&rec.reclen, &buf[off + 4], 2);
      rec.type = buf[off + 6];
      std::uint16_t nl = 0;
      std::memcpy(&nl, &buf[off + 8], 2);
      rec.name.assign(reinterpret_cast<const char*>(&buf[off + 10]), nl);
      out->push_back(rec);
      if (rec.reclen == 0) break;
      off += rec.reclen;
    }
    EXPECT_EQ(r == 0 ? static_cast<int>(out->size()) : n, n);
    return r;
  }
  Tree t;
};

TEST_F(TreeOps, LookupResolvesNamesAndRefusesWhatItMust) {
  vnode_t root = m()->root_vnode, vp = nullptr;
  EXPECT_EQ(0, lookup(root, "docs", &vp));
  ASSERT_NE(nullptr, vp);
  EXPECT_EQ(node_of("/docs"), vnode_fsnode(vp));
  EXPECT_EQ(0, lookup(vp, "A.TXT", &vp, LOOKUP, MAKEENTRY, "/docs")) << "names compare without case";
  EXPECT_STREQ("a.txt", static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp))->vfs_name);
  EXPECT_EQ(2, lookup(root, "none", &vp));
  EXPECT_EQ(nullptr, vp);
  EXPECT_EQ(-2, lookup(root, "none", &vp, CREATE, ISLASTCN));
  EXPECT_EQ(nullptr, vp);
  EXPECT_EQ(-2, lookup(root, "none", &vp, RENAME, ISLASTCN));
  EXPECT_EQ(2, lookup(root, "none", &vp, CREATE, 0)) << "not the last component";
  EXPECT_EQ(95, lookup(root, ".trash", &vp));
  EXPECT_EQ(95, lookup(root, ".TRASHES", &vp));
  EXPECT_EQ(2, lookup(vnode_of("/docs"), ".Trash", &vp, LOOKUP, MAKEENTRY, "/docs"))
      << "below the root it is an ordinary name";
  EXPECT_EQ(22, lookup(root, "", &vp));
  EXPECT_EQ(63, lookup(root, std::string(976, 'x'), &vp));
  auto bare = kel_make_vnode(m()->mp, nullptr, VDIR, 0);
  EXPECT_EQ(22, lookup(bare.get(), "docs", &vp)) << "a folder vnode without node";
  EXPECT_EQ(0, lookup(vnode_of("/docs"), ".", &vp, LOOKUP, 0, "/docs"));
  EXPECT_EQ(node_of("/docs"), vnode_fsnode(vp));
}

TEST_F(TreeOps, ParityFilesOfF2MediaAreHiddenFromOtherProcesses) {
  vnode_t docs = vnode_of("/docs"), vp = nullptr;
  EXPECT_EQ(0, lookup(docs, "f#*ECC_Parity_1", &vp, LOOKUP, MAKEENTRY, "/docs")) << "not an F2h medium";
  m()->medium_type = 0xF2;
  EXPECT_EQ(0, lookup(docs, "f#*ECC_Parity_1", &vp, LOOKUP, MAKEENTRY, "/docs")) << "the engine's own process";
  ctx_.vc_pid = 4242;
  EXPECT_EQ(2, lookup(docs, "f#*ECC_Parity_1", &vp, LOOKUP, MAKEENTRY, "/docs"));
  EXPECT_EQ(0, lookup(docs, "a.txt", &vp, LOOKUP, MAKEENTRY, "/docs"));
}

TEST_F(TreeOps, GetattrOfAFileAndTheRootFastPath) {
  vnode_attr v{};
  v.va_active = 0x1007652 | VATTR_TOTAL_ALLOC | VATTR_PARENTID | VATTR_FILEID;
  mdcudfsr_cache_node* a = node_of("/docs/a.txt");
  a->file_flags = 0x20002;
  a->time_adjust = 1;
  ASSERT_EQ(0, getattr(vnode_of("/docs/a.txt"), &v));
  EXPECT_EQ(5000u, v.va_data_size);
  EXPECT_EQ(6144u, v.va_total_alloc);
  EXPECT_EQ(0x10000u, v.va_iosize);
  EXPECT_EQ(0x8000 | 0777, v.va_mode);
  EXPECT_EQ(1u, v.va_nlink);
  EXPECT_EQ(std::uint32_t(VREG), v.va_type);
  EXPECT_EQ(0x20002u, v.va_flags);
  EXPECT_EQ(21u, v.va_fileid);
  EXPECT_EQ(0u, v.va_supported & VATTR_PARENTID) << "never answered";
  timespec mt{};
  mdcudfsr_udftime2timespec(&a->udf_data->efe.mtime, &mt);
  EXPECT_EQ(mt.tv_sec + 1, v.va_modify_time.tv_sec) << "the node's time adjustment";
  // The privileged process sees the immutable marks cleared.
  m()->privileged_pid = static_cast<std::int32_t>(ctx_.vc_pid);
  vnode_attr p{};
  p.va_active = VATTR_FLAGS;
  ASSERT_EQ(0, getattr(vnode_of("/docs/a.txt"), &p));
  EXPECT_EQ(0u, p.va_flags);
  m()->privileged_pid = 0;
  vnode_attr d{};
  d.va_active = VATTR_MODE | VATTR_NLINK | VATTR_TYPE;
  ASSERT_EQ(0, getattr(vnode_of("/docs"), &d));
  EXPECT_EQ(0x4000, d.va_mode & 0xF000);
  EXPECT_EQ(2u, d.va_nlink);
  // The root's 0x780 without its node lock: answered while another thread holds it.
  mdcudfsr_cache_node* root = m()->root_node;
  std::thread holder([&] {
    mdcudfsr_cache_lock_node(root, MDCUDFSR_WAIT_FOREVER);
    vnode_attr r{};
    r.va_active = 0x780;
    std::thread asker([&] { EXPECT_EQ(0, getattr(m()->root_vnode, &r)); });
    asker.join();
    EXPECT_EQ(0x780u, r.va_supported);
    EXPECT_EQ(0u, r.va_data_size) << "nothing else is filled";
    mdcudfsr_cache_unlock_node(root);
  });
  holder.join();
  vnode_t shadow = nullptr;
  ASSERT_EQ(0, lookup(m()->root_vnode, "$", &shadow));
  vnode_attr s{};
  s.va_active = VATTR_UID | VATTR_GID | VATTR_MODIFY_TIME;
  ASSERT_EQ(0, getattr(shadow, &s));
  EXPECT_EQ(0x0BFFFFFFu, s.va_uid);
  EXPECT_EQ(4u, s.va_gid);
}

TEST_F(TreeOps, SetattrModeAndFlags) {
  vnode_t vp = vnode_of("/docs/a.txt");
  mdcudfsr_cache_node* a = node_of("/docs/a.txt");
  vnode_attr v{};
  v.va_active = VATTR_MODE;
  v.va_mode = 0644;
  vnop_setattr_args s{&vnop_setattr_desc, vp, &v, &ctx_};
  ASSERT_EQ(0, mdcudfsr_vnop_setattr(&s));
  EXPECT_EQ(0x7800u, a->udf_data->efe.perm);
  EXPECT_EQ(0x2u, a->file_flags & 0x2);
  v = vnode_attr{};
  v.va_active = VATTR_MODE | VATTR_FLAGS;
  v.va_mode = 0644;
  ASSERT_EQ(0, mdcudfsr_vnop_setattr(&s));
  EXPECT_EQ(0u, a->file_flags & 0x20002) << "va_flags decides last";
  v = vnode_attr{};
  v.va_active = VATTR_MODE;
  v.va_mode = 0444;
  ASSERT_EQ(0, mdcudfsr_vnop_setattr(&s));
  EXPECT_EQ(0x1000u, a->udf_data->efe.perm);
  v = vnode_attr{};
  v.va_active = VATTR_DATA_SIZE;
  vnop_setattr_args l{&vnop_setattr_desc, vnode_of("/ln"), &v, &ctx_};
  EXPECT_EQ(1, mdcudfsr_vnop_setattr(&l));
  EXPECT_TRUE(vfs_test::logged("Changing the attribute of the file finished. File: "));
  EXPECT_TRUE(vfs_test::logged("/docs/a.txt"));
  vfs_test::clear_log();
  m()->mp->mnt_flag |= MNT_RDONLY;
  EXPECT_EQ(30, mdcudfsr_vnop_setattr(&s));
  m()->mp->mnt_flag &= ~MNT_RDONLY;
  EXPECT_TRUE(vfs_test::logged("Changing attribute of the file failed. File: "));
  EXPECT_TRUE(vfs_test::logged("Error: 0x8A000005"));
}

TEST_F(TreeOps, StatfsLimitsAndFreeObjects) {
  kel_vnop_statfs st{};
  vnop_statfs_args a{&vnop_statfs_desc, m()->root_vnode, &st, &ctx_};
  m()->size_unknown = 0;
  m()->total_blocks = 1000;
  m()->free_blocks = 10;
  ASSERT_EQ(0, mdcudfsr_vnop_statfs(&a));
  EXPECT_EQ(2048u, st.f_bsize);
  EXPECT_EQ(1000u, st.f_blocks);
  EXPECT_EQ(10u, st.f_bfree);
  EXPECT_EQ(60000u, st.f_files);
  EXPECT_EQ(10u, st.f_ffree) << "the smaller of free blocks and free objects";
  EXPECT_EQ(975u, st.f_word975);
  struct Case {
    std::uint32_t medium;
    std::uint8_t level;
    std::uint32_t limit;
  } cases[] = {{0xF2, 2, 800000}, {0xF1, 2, 480000}, {0xE1, 2, 60000}, {0xF2, 0x12, 240000}};
  for (const Case& c : cases) {
    m()->medium_type = c.medium;
    m()->format_level = c.level;
    ASSERT_EQ(0, mdcudfsr_vnop_statfs(&a));
    EXPECT_EQ(c.limit, st.f_files) << std::hex << c.medium;
  }
}

TEST_F(TreeOps, ReaddirRecordsCookiesAndHiddenChildren) {
  node_of("/hid.bin")->attributes |= MDCUDFSR_NODE_ATTR_INVISIBLE;
  std::int64_t cookie = 0;
  std::vector<Record> recs;
  int eof = -1;
  ASSERT_EQ(0, readdir(m()->root_vnode, 0x10000, &cookie, &recs, &eof));
  EXPECT_EQ(1, eof);
  std::vector<std::string> names;
  for (const Record& r : recs) names.push_back(r.name);
  EXPECT_EQ((std::vector<std::string>{".", "..", "docs", "ln", "e"}), names) << "ascending unique ids, hidden left out";
  for (const Record& r : recs) EXPECT_EQ(r.name.size() / 4 * 4 + 15, r.reclen) << r.name;
  EXPECT_EQ(4, recs[2].type);
  EXPECT_EQ(10, recs[3].type);
  EXPECT_EQ(20u, recs[2].fileno);
  std::vector<Record> files;
  std::int64_t c2 = 0;
  ASSERT_EQ(0, readdir(vnode_of("/docs"), 0x10000, &c2, &files, &eof));
  ASSERT_EQ(5u, files.size());
  EXPECT_EQ(8, files[2].type);
  // The privileged process sees the hidden child.
  m()->privileged_pid = static_cast<std::int32_t>(ctx_.vc_pid);
  recs.clear();
  cookie = 0;
  ASSERT_EQ(0, readdir(m()->root_vnode, 0x10000, &cookie, &recs, &eof));
  EXPECT_EQ(6u, recs.size());
  m()->privileged_pid = 0;
  // An empty folder: ".", ".." and the end; at cookie 2 nothing more.
  std::vector<Record> e;
  std::int64_t c3 = 0;
  ASSERT_EQ(0, readdir(vnode_of("/e"), 0x10000, &c3, &e, &eof));
  EXPECT_EQ(2u, e.size());
  EXPECT_EQ(1, eof);
  e.clear();
  ASSERT_EQ(0, readdir(vnode_of("/e"), 0x10000, &c3, &e, &eof));
  EXPECT_EQ(0u, e.size());
  EXPECT_EQ(1, eof);
  // A buffer too small for ".": nothing, cookie 0, not the end.
  std::int64_t c4 = 0;
  e.clear();
  ASSERT_EQ(0, readdir(vnode_of("/e"), 10, &c4, &e, &eof));
  EXPECT_EQ(0u, e.size());
  EXPECT_EQ(0, c4);
  EXPECT_EQ(0, eof);
  std::int64_t c5 = 0;
  EXPECT_EQ(22, readdir(vnode_of("/e"), 100, &c5, &e, &eof, 0)) << "not extended";
}

TEST_F(TreeOps, ReaddirOverSeveralCallsListsEachChildOnce) {
  std::int64_t cookie = 0;
  std::vector<std::string> names;
  int eof = 0, calls = 0;
  while (!eof && calls < 50) {
    std::vector<Record> recs;
    ASSERT_EQ(0, readdir(m()->root_vnode, 40, &cookie, &recs, &eof));
    for (const Record& r : recs) names.push_back(r.name);
    ++calls;
  }
  EXPECT_EQ((std::vector<std::string>{".", "..", "docs", "ln", "hid.bin", "e"}), names);
  EXPECT_LT(2, calls);
}

TEST_F(TreeOps, ReadlinkAndPathconf) {
  const std::string target = static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vnode_of("/ln")))->symlink_target;
  std::vector<char> buf(target.size());
  uio_t u = uio_create(1, 0, UIO_SYSSPACE, UIO_READ);
  uio_addiov(u, reinterpret_cast<user_addr_t>(buf.data()), buf.size());
  vnop_readlink_args a{&vnop_readlink_desc, vnode_of("/ln"), u, &ctx_};
  EXPECT_EQ(0, mdcudfsr_vnop_readlink(&a));
  EXPECT_EQ(target, std::string(buf.begin(), buf.end()));
  uio_reset(u, 0, UIO_SYSSPACE, UIO_READ);
  uio_addiov(u, reinterpret_cast<user_addr_t>(buf.data()), buf.size() - 1);
  EXPECT_EQ(36, mdcudfsr_vnop_readlink(&a));
  uio_free(u);
  std::int32_t value = 77;
  vnop_pathconf_args p{&vnop_pathconf_desc, vnode_of("/ln"), 1, &value, &ctx_};
  EXPECT_EQ(22, mdcudfsr_vnop_pathconf(&p));
  EXPECT_EQ(77, value);
}

TEST_F(TreeOps, OpenAndCloseMoveAFileThroughItsKinds) {
  vnode_t vp = vnode_of("/docs/a.txt");
  mdcudfsr_cache_node* a = node_of("/docs/a.txt");
  mdcudfsr_cache_node* docs = node_of("/docs");
  const std::uint64_t old_uid = a->udf_data->efe.unique_id;
  ASSERT_EQ(0, open(vp, FREAD));
  EXPECT_EQ(1u, a->open_count);
  EXPECT_EQ(1u, m()->read_open_count.load());
  EXPECT_EQ(1, open(vp, FWRITE)) << "readers present";
  ASSERT_EQ(0, close(vp, FREAD));
  EXPECT_EQ(0u, a->open_count);
  EXPECT_EQ(0u, m()->read_open_count.load());
  ASSERT_EQ(0, open(vp, FREAD | FWRITE));
  EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_MASTER), a->kind);
  ASSERT_NE(nullptr, a->proxy);
  EXPECT_EQ(a, a->proxy->master);
  EXPECT_NE(old_uid, a->udf_data->efe.unique_id) << "a file with data gets a new unique id";
  EXPECT_EQ(2, docs->dir_dirty);
  EXPECT_EQ(1u, m()->write_open_count.load());
  EXPECT_EQ(22, open(vp, FREAD)) << "a master is not opened again";
  // A master holds no VFAM handle: its reads and writes answer 9 before any
  // request is sent.
  std::vector<std::uint8_t> got;
  EXPECT_EQ(9, read(vp, 0, 10, &got));
  EXPECT_EQ(9, write(vp, 0, std::vector<std::uint8_t>(10, 1)));
  EXPECT_EQ(5000u, a->udf_data->efe.inf_len);
  ASSERT_EQ(0, close(vp, FREAD | FWRITE));
  EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_UDF), a->kind);
  EXPECT_EQ(nullptr, a->proxy);
  EXPECT_EQ(0, a->write_open);
  EXPECT_EQ(0u, m()->write_open_count.load());
}

// The read-ahead serves the first plain file opened for reading only; a
// second such open is noted once; closing the served file ends the service.
TEST_F(TreeOps, ReadAheadBookkeepingOfOpenAndClose) {
  vnode_t a = vnode_of("/docs/a.txt"), b = vnode_of("/docs/b.txt"), hid = vnode_of("/hid.bin");
  vnode_t docs = vnode_of("/docs");
  ASSERT_TRUE(a && b && hid && docs);
  // Without the read-ahead nothing is served.
  ASSERT_FALSE(mdcudfsr_cluster_read_buff_active());
  ASSERT_EQ(0, open(a, FREAD));
  EXPECT_EQ(nullptr, mdcudfsr_cluster_read_buff_vnode());
  ASSERT_EQ(0, close(a, FREAD));
  const std::uint32_t medium = m()->medium_type;
  m()->medium_type = 0xF1;
  ASSERT_EQ(0, mdcudfsr_cluster_read_buff_mount(m(), "QMR-T400A"));
  m()->medium_type = medium;
  ASSERT_TRUE(mdcudfsr_cluster_read_buff_active());
  mdcudfsr_debug_level_set(0);
  struct Case {
    const char* what;
    vnode_t vp;
    int mode;
    vnode_t served_after;
  };
  for (const Case& c : {Case{"a folder is not served", docs, FREAD, nullptr},
                        Case{"read and write is not served", b, FREAD | FWRITE, nullptr}}) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(0, open(c.vp, c.mode));
    EXPECT_EQ(c.served_after, mdcudfsr_cluster_read_buff_vnode());
    ASSERT_EQ(0, close(c.vp, c.mode));
  }
  ASSERT_EQ(0, open(a, FREAD));
  EXPECT_EQ(a, mdcudfsr_cluster_read_buff_vnode());
  vfs_test::clear_log();
  ASSERT_EQ(0, open(b, FREAD));
  EXPECT_EQ(a, mdcudfsr_cluster_read_buff_vnode()) << "a second file leaves the served one";
  EXPECT_TRUE(vfs_test::logged("multiple open(second) on buffer read : b.txt \n"));
  vfs_test::clear_log();
  ASSERT_EQ(0, open(hid, FREAD));
  EXPECT_FALSE(vfs_test::logged("multiple open(second)")) << "the second opener is noted once";
  ASSERT_EQ(0, close(b, FREAD));
  EXPECT_EQ(a, mdcudfsr_cluster_read_buff_vnode()) << "closing another file keeps the service";
  ASSERT_EQ(0, close(a, FREAD));
  EXPECT_EQ(nullptr, mdcudfsr_cluster_read_buff_vnode()) << "closing the served file ends it";
  ASSERT_EQ(0, close(hid, FREAD));
  ASSERT_EQ(0, open(hid, FREAD));
  EXPECT_EQ(hid, mdcudfsr_cluster_read_buff_vnode()) << "the next file is served and its second opener forgotten";
  vfs_test::clear_log();
  ASSERT_EQ(0, open(b, FREAD));
  EXPECT_TRUE(vfs_test::logged("multiple open(second) on buffer read : b.txt \n"));
  ASSERT_EQ(0, close(b, FREAD));
  ASSERT_EQ(0, close(hid, FREAD));
  EXPECT_EQ(0, mdcudfsr_cluster_read_buff_umount());
}

// On F2h a master's write close turns its parity file into parity
// information, unless the privileged open list still holds the master; the
// parity file's node and both proxies go, their vnodes detached first.
TEST_F(TreeOps, AMastersCloseOnF2KeepsItsParityAsParityInformation) {
  m()->medium_type = 0xF2;
  vnode_t vp = vnode_of("/docs/a.txt");
  mdcudfsr_cache_node* a = node_of("/docs/a.txt");
  mdcudfsr_cache_node* docs = node_of("/docs");
  ASSERT_TRUE(vp && a && docs);
  for (bool listed : {true, false}) {
    SCOPED_TRACE(listed ? "on the privileged open list" : "not listed");
    ASSERT_EQ(0, open(vp, FREAD | FWRITE));
    mdcudfsr_cache_node* proxy = a->proxy;
    ASSERT_NE(nullptr, proxy);
    MDCFS_SETUP_PARITY r{};
    std::strcpy(r.ParityName, "*ECC_Parity_V100_N=516_K=512");
    r.ParityNameLength = static_cast<std::uint32_t>(std::strlen(r.ParityName));
    ASSERT_EQ(0, mdcudfsr_mdcfsctrl_setup_parity(m(), proxy, &r, &ctx_));
    mdcudfsr_cache_node* parity = mdcudfsr_cnp(a->parity_node);
    ASSERT_NE(nullptr, parity);
    ASSERT_NE(nullptr, parity->proxy);
    const std::string parity_name = mdcudfsr_node_name(parity);
    // The parity data the writer placed: 4096 bytes at block 700.
    mdcudfsr_extent_list_free(&parity->udf_data->extents);
    mdcudfsr_extent_entry e{};
    e.extent.len = 4096;
    e.extent.loc.lb_num = 700;
    ASSERT_EQ(0, mdcudfsr_extent_list_add(&parity->udf_data->extents, &e, 0));
    parity->udf_data->efe.inf_len = 4096;
    // Both proxies have vnodes, as the writer's opens leave them.
    const std::string proxy_path = std::string("/$/") + mdcudfsr_node_name(proxy);
    vnode_t pv = vnode_of(proxy_path);
    vnode_t ppv = vnode_of(std::string("/$/") + mdcudfsr_node_name(parity->proxy));
    ASSERT_TRUE(pv && ppv);
    ASSERT_EQ(proxy->vp, pv);
    ASSERT_EQ(parity->proxy->vp, ppv);
    mdcudfsr_proxy_write_entry entry{};
    if (listed) a->write_list_entry = &entry;
    ASSERT_EQ(0, close(vp, FREAD | FWRITE));
    a->write_list_entry = nullptr;
    EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_UDF), a->kind);
    EXPECT_EQ(nullptr, a->proxy);
    if (listed) {
      EXPECT_EQ(parity, mdcudfsr_cnp(a->parity_node)) << "the parity file stays";
      EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_UDF), parity->kind);
      EXPECT_EQ(nullptr, a->parity_info);
      continue;
    }
    EXPECT_EQ(nullptr, a->parity_node);
    ASSERT_NE(nullptr, a->parity_info);
    EXPECT_EQ(4096u, a->parity_info->size);
    ASSERT_NE(nullptr, a->parity_info->extents.first);
    EXPECT_EQ(700u, a->parity_info->extents.first->extent.loc.lb_num);
    EXPECT_EQ(nullptr, mdcudfsr_name_avl_search(docs->name_root, parity_name.c_str(), nullptr))
        << "the parity file left its folder";
    EXPECT_EQ(nullptr, vnode_fsnode(pv)) << "the proxy's vnode is detached before its node goes";
    EXPECT_EQ(nullptr, vnode_fsnode(ppv));
    EXPECT_EQ(nullptr, vnode_of(proxy_path)) << "the host no longer resolves the released proxy";
    EXPECT_EQ(0u, mdcudfsr_cache_nchildren(m()->shadow_node));
    MDCFS_ALT_STREAM_INFO info{};
    ASSERT_EQ(0, mdcudfsr_mdcfsctrl_get_alt_stream_info(m(), a, &info, &ctx_));
    EXPECT_STREQ(mdcudfsr_cache_default_parity_suffix(m()), info.Name) << "the file answers with parity information";
  }
}

// A master's write close inactivates its own proxy and that proxy's parity
// proxy among the shadow root's children, and no other proxy there; the
// inactive ones stay until the unmount.
TEST_F(TreeOps, AMastersWriteCloseInactivatesItsOwnProxiesOnly) {
  vnode_t av = vnode_of("/docs/a.txt");
  vnode_t bv = vnode_of("/docs/b.txt");
  mdcudfsr_cache_node* a = node_of("/docs/a.txt");
  mdcudfsr_cache_node* b = node_of("/docs/b.txt");
  ASSERT_TRUE(av && bv && a && b);
  ASSERT_EQ(0, open(bv, FWRITE));
  ASSERT_EQ(0, open(av, FREAD | FWRITE));
  mdcudfsr_cache_node* pa = a->proxy;
  mdcudfsr_cache_node* pb = b->proxy;
  ASSERT_TRUE(pa && pb);
  MDCFS_SETUP_PARITY r{};
  std::strcpy(r.ParityName, "*ECC_Parity_V100_N=516_K=512");
  r.ParityNameLength = static_cast<std::uint32_t>(std::strlen(r.ParityName));
  ASSERT_EQ(0, mdcudfsr_mdcfsctrl_setup_parity(m(), pa, &r, &ctx_));
  ASSERT_NE(nullptr, pa->parity_node);
  mdcudfsr_cache_node* ppa = mdcudfsr_cnp(pa->parity_node);
  for (mdcudfsr_cache_node* p : {pa, pb, ppa})
    ASSERT_NE(nullptr, vnode_of(std::string("/$/") + mdcudfsr_node_name(p))) << "the writer opens each proxy";
  const auto in_shadow = [this](const mdcudfsr_cache_node* n) {
    for (const mdcudfsr_cache_node* c = m()->shadow_node->children.first; c; c = c->sibling.next)
      if (c == n) return true;
    return false;
  };
  for (mdcudfsr_cache_node* p : {pa, pb, ppa}) ASSERT_TRUE(in_shadow(p)) << mdcudfsr_node_name(p);

  ASSERT_EQ(0, close(av, FREAD | FWRITE));
  EXPECT_TRUE(mdcudfsr_is_inactive(pa));
  EXPECT_TRUE(mdcudfsr_is_inactive(ppa));
  EXPECT_FALSE(mdcudfsr_is_inactive(pb)) << "another master's proxy stays active";
  EXPECT_TRUE(in_shadow(pa) && in_shadow(ppa)) << "inactive proxies wait for the unmount";

  ASSERT_EQ(0, close(bv, FWRITE));
  EXPECT_TRUE(mdcudfsr_is_inactive(pb));
  EXPECT_TRUE(in_shadow(pa) && in_shadow(ppa) && in_shadow(pb));
}

TEST_F(TreeOps, OpenRefusals) {
  vnode_t vp = vnode_of("/docs/b.txt");
  mdcudfsr_cache_node* b = node_of("/docs/b.txt");
  m()->mp->mnt_flag |= MNT_RDONLY;
  m()->mount_ext_flags |= 0x40;
  EXPECT_EQ(30, open(vp, FWRITE)) << "read-only comes before no-edit";
  m()->mp->mnt_flag &= ~MNT_RDONLY;
  EXPECT_EQ(1, open(vp, FWRITE));
  m()->mount_ext_flags &= ~0x40u;
  EXPECT_EQ(0, open(vp, FREAD)) << "reading is not refused";
  EXPECT_EQ(0, close(vp, FREAD));
  // Another process owns the limited-access mode: refused with an event line.
  m()->limited_access_owner = 4;
  m()->limited_access_handle = proc_find(4);
  vfs_test::clear_log();
  EXPECT_EQ(16, open(vp, FWRITE));
  EXPECT_TRUE(vfs_test::logged("The volume is used exclusively. File: "));
  EXPECT_TRUE(vfs_test::logged("/docs/b.txt Error: 0x00000010"));
  m()->limited_access_owner = 0;
  // A file never written to the medium stays in its folder when its open is refused.
  b->udf_data->efe_loc = MDCUDFSR_INVALID_LBN;
  m()->mp->mnt_flag |= MNT_RDONLY;
  EXPECT_EQ(30, open(vp, FWRITE));
  m()->mp->mnt_flag &= ~MNT_RDONLY;
  EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_ACTIVE), b->status);
  EXPECT_EQ(b, mdcudfsr_cache_get_node_by_name(m(), node_of("/docs"), "b.txt"));
  mdcudfsr_cache_unlock_node(b);
  // Write open twice.
  ASSERT_EQ(0, open(vp, FWRITE));
  EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_MASTER), b->kind);
  EXPECT_EQ(0, close(vp, FWRITE));
  EXPECT_EQ(1, b->unwritten_release) << "closed while never written";
  // An inactive node is refused without being touched.
  b->status = MDCUDFSR_NODE_INACTIVE;
  EXPECT_EQ(2, open(vp, FREAD));
  b->status = MDCUDFSR_NODE_ACTIVE;
}

TEST_F(TreeOps, InactiveAndReclaim) {
  vnop_inactive_args none{&vnop_inactive_desc, nullptr, &ctx_};
  EXPECT_EQ(2, mdcudfsr_vnop_inactive(&none));
  vnode_t vp = vnode_of("/docs/b.txt");
  vnop_inactive_args a{&vnop_inactive_desc, vp, &ctx_};
  EXPECT_EQ(0, mdcudfsr_vnop_inactive(&a));
  EXPECT_EQ(vp, vnode_of("/docs/b.txt")) << "an active node keeps its vnode";
  // A node a removal made inactive: its vnode is recycled, and lives until reclaim.
  node_of("/docs/b.txt");
  mdcudfsr_cache_node* b = static_cast<mdcudfsr_cache_node*>(vnode_fsnode(vp));
  mdcudfsr_cache_lock_node(b, MDCUDFSR_WAIT_FOREVER);
  ASSERT_EQ(0, mdcudfsr_cache_inactivate_node(b, 1));
  mdcudfsr_cache_unlock_node(b);
  EXPECT_EQ(0, mdcudfsr_vnop_inactive(&a));
  EXPECT_EQ(nullptr, vnode_of("/docs/b.txt")) << "recycled: out of the tree, and the node is gone";
  EXPECT_EQ(b, vnode_fsnode(vp)) << "the recycled vnode lives until reclaim";
  vnop_reclaim_args r{&vnop_reclaim_desc, vp, &ctx_};
  EXPECT_EQ(0, mdcudfsr_vnop_reclaim(&r));
}

}  // namespace

namespace {

TEST_F(TreeOps, DummyOpenAndCloseOfTheControlRequests) {
  mdcudfsr_cache_node* a = node_of("/docs/a.txt");
  const std::uint64_t uid = a->udf_data->efe.unique_id;
  ASSERT_EQ(0, mdcudfsr_vnop_dummy_open(a, FWRITE, &ctx_));
  EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_MASTER), a->kind);
  ASSERT_NE(nullptr, a->proxy);
  EXPECT_EQ(uid, a->udf_data->efe.unique_id) << "no new unique id";
  EXPECT_EQ(0, a->lock_count) << "unlocked again";
  EXPECT_EQ(22, mdcudfsr_vnop_dummy_open(a, FWRITE, &ctx_)) << "already a master";
  ASSERT_EQ(0, mdcudfsr_vnop_dummy_close(a, FWRITE));
  EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_UDF), a->kind);
  EXPECT_EQ(nullptr, a->proxy);
  EXPECT_EQ(0, a->write_open);
  EXPECT_EQ(0u, m()->write_open_count.load());
  a->status = MDCUDFSR_NODE_INACTIVE;
  EXPECT_EQ(2, mdcudfsr_vnop_dummy_open(a, FREAD, &ctx_));
  a->status = MDCUDFSR_NODE_ACTIVE;
}

}  // namespace

namespace {

// The host layer's path tree over the engine's own lookup.
TEST_F(TreeOps, HostPathTreeResolvesThroughTheRealLookupOnce) {
  vfs_test::clear_log();
  vnode_t a = vnode_of("/docs/a.txt");
  ASSERT_NE(nullptr, a);
  const int lookups = vfs_test::count_log("[vnop_lookup] [");
  EXPECT_EQ(2, lookups) << "one per component";
  EXPECT_EQ(a, vnode_of("/docs/a.txt"));
  EXPECT_EQ(a, vnode_of("/DOCS/A.TXT")) << "the tree keys names without case";
  EXPECT_EQ(lookups, vfs_test::count_log("[vnop_lookup] [")) << "found in the tree, the engine is not asked";
  EXPECT_EQ(nullptr, vnode_of("/docs/none"));
  EXPECT_EQ(nullptr, vnode_of("/none/a.txt"));
  char path[64] = {};
  int len = sizeof path;
  ASSERT_EQ(0, vn_getpath(a, path, &len));
  EXPECT_STREQ("/docs/a.txt", path);
}

}  // namespace

namespace {

// The dummy close of a master releases its own proxy, and leaves the other
// files of "$" alone: the packed proxy file stays active while the writer
// holds it open over many files.
TEST_F(TreeOps, DummyCloseReleasesOnlyTheMastersOwnProxy) {
  ASSERT_NE(nullptr, vnode_of("/$"));
  mdcudfsr_cache_node* shadow = m()->shadow_node;
  char name[] = "@@proxy";
  mdcudfsr_cache_node* packed = nullptr;
  int failed = 0;
  mdcudfsr_cache_lock_node(shadow, MDCUDFSR_WAIT_FOREVER);
  ASSERT_EQ(0, mdcudfsr_cache_create_dollar_proxy_node(shadow, name, 7, 0, 0, 0644, &packed, &failed));
  mdcudfsr_cache_unlock_node(packed);
  mdcudfsr_cache_unlock_node(shadow);
  ASSERT_NE(nullptr, vnode_of("/$/@@proxy"));
  mdcudfsr_cache_node* a = node_of("/docs/a.txt");
  ASSERT_EQ(0, mdcudfsr_vnop_dummy_open(a, FWRITE, &ctx_));
  mdcudfsr_cache_node* proxy = a->proxy;
  ASSERT_NE(nullptr, proxy);
  ASSERT_NE(nullptr, vnode_of(std::string("/$/") + proxy->vfs_name)) << "the writer opens the proxy by name";
  ASSERT_EQ(0, mdcudfsr_vnop_dummy_close(a, FWRITE));
  EXPECT_TRUE(mdcudfsr_is_inactive(proxy)) << "the master's proxy is released";
  EXPECT_FALSE(mdcudfsr_is_inactive(packed)) << "the packed proxy file stays";
}

TEST_F(TreeOps, ADollarProxyFileGoesFromFileToProxyAndBack) {
  ASSERT_NE(nullptr, vnode_of("/$"));
  mdcudfsr_cache_node* shadow = m()->shadow_node;
  ASSERT_NE(nullptr, shadow);
  char name[] = "@@tmp";
  mdcudfsr_cache_node* made = nullptr;
  int failed = 0;
  mdcudfsr_cache_lock_node(shadow, MDCUDFSR_WAIT_FOREVER);
  ASSERT_EQ(0, mdcudfsr_cache_create_dollar_proxy_node(shadow, name, 5, 0, 0, 0644, &made, &failed));
  mdcudfsr_cache_unlock_node(made);
  mdcudfsr_cache_unlock_node(shadow);
  vnode_t vp = vnode_of("/$/@@tmp");
  ASSERT_NE(nullptr, vp);
  ASSERT_EQ(made, vnode_fsnode(vp));
  EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_UDF), made->kind);
  ASSERT_EQ(0, open(vp, FWRITE));
  EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_PROXY), made->kind);
  EXPECT_EQ(nullptr, made->proxy) << "no proxy of its own";
  ASSERT_EQ(0, close(vp, FWRITE));
  EXPECT_EQ(std::uint32_t(MDCUDFSR_NODE_UDF), made->kind);
  EXPECT_EQ(0, made->write_open);
}

}  // namespace

namespace {

// Inactive tries the node lock in 1000 ms steps of the process clock and
// goes on trying while the cache agent is not busy.
TEST_F(TreeOps, InactiveRetriesTheNodeLockInSecondSteps) {
  vnode_t vp = vnode_of("/docs/b.txt");
  mdcudfsr_cache_node* b = node_of("/docs/b.txt");
  // The process clock serves every thread of the fixture (agent, pipe): the
  // test clock outlives the test, and is moved past every deadline before
  // the scope ends, so no thread is left waiting on it.
  static platform::ManualClock clock;
  std::unique_ptr<platform::ScopedClock> scope = std::make_unique<platform::ScopedClock>(clock);
  std::atomic<int> stage{0};
  std::thread holder([&] {
    mdcudfsr_cache_lock_node(b, MDCUDFSR_WAIT_FOREVER);
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
    mdcudfsr_cache_unlock_node(b);
  });
  ASSERT_TRUE(kel_test::settles([&] { return stage.load() == 1; }));
  std::atomic<int> result{-1};
  std::thread caller([&] {
    vnop_inactive_args a{&vnop_inactive_desc, vp, &ctx_};
    result = mdcudfsr_vnop_inactive(&a);
  });
  vfs_test::clear_log();
  // Steps of 1000 ms on the process clock end the attempts; the twentieth
  // failure is logged, and the caller goes on trying.
  ASSERT_TRUE(kel_test::settles([&] {
    clock.advance(1000);
    return vfs_test::logged("lock timeout retry=20");
  }));
  EXPECT_EQ(-1, result.load()) << "still trying: the agent is not busy";
  stage = 2;
  holder.join();
  caller.join();
  EXPECT_EQ(0, result.load());
  clock.advance(3600 * 1000);
  scope.reset();
}

}  // namespace

namespace {

// The operations of the vector that the host layer does not call: their
// checks and conversions.
TEST_F(TreeOps, OffsetBlockConversionsStrategyPagingAndFsync) {
  vnode_t vp = vnode_of("/docs/a.txt");
  daddr64_t blk = -1;
  vnop_offtoblk_args o{&vnop_offtoblk_desc, vp, 4095, &blk};
  EXPECT_EQ(0, mdcudfsr_vnop_offtoblk(&o));
  EXPECT_EQ(1, blk);
  off64_kel_t off = -1;
  vnop_blktooff_args b{&vnop_blktooff_desc, vp, 3, &off};
  EXPECT_EQ(0, mdcudfsr_vnop_blktooff(&b));
  EXPECT_EQ(6144, off);
  vnop_offtoblk_args none{&vnop_offtoblk_desc, nullptr, 10, &blk};
  EXPECT_EQ(22, mdcudfsr_vnop_offtoblk(&none));
  auto bare = kel_make_vnode(m()->mp, nullptr, VREG, 0);
  vnop_blktooff_args nonode{&vnop_blktooff_desc, bare.get(), 3, &off};
  EXPECT_EQ(2, mdcudfsr_vnop_blktooff(&nonode));
  vnop_strategy_args s{&vnop_strategy_desc, nullptr};
  EXPECT_EQ(22, mdcudfsr_vnop_strategy(&s));
  vnop_pagein_args p{&vnop_pagein_desc, vp, nullptr, 0, 0, 4096, 0, &ctx_};
  EXPECT_EQ(0, mdcudfsr_vnop_pagein(&p));
  vnop_pageout_args z{&vnop_pageout_desc, vp, nullptr, 0, 0, 0, 0, &ctx_};
  EXPECT_EQ(0, mdcudfsr_vnop_pageout(&z)) << "nothing to write";
  vnop_pageout_args d{&vnop_pageout_desc, vnode_of("/$"), nullptr, 0, 0, 4096, 0, &ctx_};
  EXPECT_EQ(0, mdcudfsr_vnop_pageout(&d)) << "not a UDF node: handed to the host layer";
  vnop_pageout_args past{&vnop_pageout_desc, vp, nullptr, 0, 8192, 4096, 0, &ctx_};
  EXPECT_EQ(0, mdcudfsr_vnop_pageout(&past)) << "past the end of file: the range is dropped";
  vnop_fsync_args f{&vnop_fsync_desc, vp, 1, &ctx_};
  EXPECT_EQ(0, mdcudfsr_vnop_fsync(&f));
  EXPECT_EQ(0, node_of("/docs/a.txt")->lock_count) << "every operation unlocked its node";
}

}  // namespace

namespace {

// The writer opens a master's proxy in "$": the master enters the privileged
// open list once, and the list's own release gives the entry back (the
// sanitizer build checks that allocation and release agree).
TEST_F(TreeOps, AProxyOpenedForWritingEntersThePrivilegedOpenListOnce) {
  vnode_t a = vnode_of("/docs/a.txt");
  ASSERT_NE(nullptr, a);
  ASSERT_EQ(0, open(a, FWRITE));
  auto* master = static_cast<mdcudfsr_cache_node*>(vnode_fsnode(a));
  ASSERT_EQ(std::uint32_t(MDCUDFSR_NODE_MASTER), master->kind);
  ASSERT_NE(nullptr, master->proxy);
  vnode_t p = vnode_of(std::string("/$/") + mdcudfsr_node_name(master->proxy));
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(1, open(p, FWRITE)) << "only the privileged process writes a proxy";
  EXPECT_EQ(nullptr, m()->proxy_write_first);
  m()->privileged_pid = vfs_context_pid(&ctx_);
  m()->privileged_mode = 1;
  ASSERT_EQ(0, open(p, FWRITE));
  ASSERT_EQ(0, open(p, FWRITE)) << "a second open adds no entry";
  mdcudfsr_proxy_write_entry* e = m()->proxy_write_first;
  ASSERT_NE(nullptr, e);
  EXPECT_EQ(e, m()->proxy_write_last);
  EXPECT_EQ(master, e->node);
  EXPECT_EQ(mdcudfsr_node_unique_id(master), e->unique_id);
  EXPECT_EQ(e, master->write_list_entry);
  EXPECT_EQ(1, m()->vfam_mode);
  mdcudfsr_privileged_open_list_clear(m());
  EXPECT_EQ(nullptr, m()->proxy_write_first);
  EXPECT_EQ(nullptr, master->write_list_entry);
  EXPECT_EQ(0, m()->vfam_mode);
  m()->privileged_mode = 0;
  EXPECT_EQ(0, close(p, FWRITE));
  EXPECT_EQ(0, close(p, FWRITE));
  EXPECT_EQ(0, close(a, FWRITE));
}

}  // namespace
