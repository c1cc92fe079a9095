// The operation-table slots where they fix a sequence of vnode operations:
// recording operations stand in the resolved pointers, on a tree with a
// volume root, so that each call, its record and its order are checked.
#include "kelcache/cache_node.h"
#include "kelhost/vnode.h"
#include "kelmain/engine_main.h"
#include "kelmain/slots.h"
#include "slot_calls.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

struct Call {
  std::string op;
  vnode_t vp = nullptr;
  std::uint32_t code = 0;        // ioctl command, close flags, readdir flags
  std::uint64_t active = 0;      // vnode_attr active mask
  std::uint32_t value = 0;       // first data word of an ioctl
  std::string name{}, folder{};  // component name
  vnode_attr attr{};             // as given to setattr
};

struct Recorder {
  std::vector<Call> calls;
  std::map<std::string, int> results;  // op or "ioctl:CODE" -> result
  vnode_t made = nullptr;              // what create and mkdir hand back
  vnode_attr attr{};                   // what getattr fills in
  // readdir: the portions it hands out, and the residual it leaves.
  std::vector<std::vector<std::uint8_t>> portions;
  std::vector<int> counts;
  std::size_t next_portion = 0;
  std::vector<std::string> stored_name{"stored"};

  int result(const std::string& key) const {
    auto it = results.find(key);
    return it == results.end() ? 0 : it->second;
  }
  std::vector<std::string> ops() const {
    std::vector<std::string> out;
    for (const auto& c : calls) out.push_back(c.op);
    return out;
  }
};
Recorder* rec = nullptr;

std::string hex(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%08X", v);
  return b;
}

Call named(const char* op, componentname* cn) {
  Call c;
  c.op = op;
  if (cn) {
    c.name.assign(cn->cn_nameptr, static_cast<std::size_t>(cn->cn_namelen));
    c.folder.assign(cn->cn_pnbuf, static_cast<std::size_t>(cn->cn_pnlen));
  }
  return c;
}

int on_ioctl(void* a) {
  auto* args = static_cast<kelmain::VnopIoctlArgs*>(a);
  Call c;
  c.op = "ioctl:" + hex(args->a_command);
  c.vp = args->a_vp;
  c.code = args->a_command;
  if (args->a_data && args->a_command == kelmain::kIoctlSetVisibility) std::memcpy(&c.value, args->a_data, 4);
  if (args->a_data && args->a_command == kelmain::kIoctlStoredName) {
    const std::string& s = rec->stored_name.front();
    std::memcpy(args->a_data, s.c_str(), s.size() + 1);
  }
  rec->calls.push_back(c);
  return rec->result(c.op);
}

int on_create(const char* op, void* a) {
  auto* args = static_cast<vnop_create_args*>(a);
  rec->calls.push_back(named(op, args->a_cnp));
  rec->calls.back().vp = args->a_dvp;
  *args->a_vpp = rec->made;
  return rec->result(op);
}
int on_mkdir(void* a) { return on_create("mkdir", a); }
int on_createfile(void* a) { return on_create("create", a); }

int on_close(void* a) {
  auto* args = static_cast<vnop_close_args*>(a);
  Call c;
  c.op = "close";
  c.vp = args->a_vp;
  c.code = static_cast<std::uint32_t>(args->a_fflag);
  rec->calls.push_back(c);
  return rec->result("close");
}

int on_attr(const char* op, void* a) {
  auto* args = static_cast<vnop_getattr_args*>(a);
  Call c;
  c.op = op;
  c.vp = args->a_vp;
  c.active = args->a_vap->va_active;
  c.attr = *args->a_vap;
  rec->calls.push_back(c);
  if (std::string(op) == "getattr") {
    const std::uint64_t active = args->a_vap->va_active;
    *args->a_vap = rec->attr;
    args->a_vap->va_active = active;
  }
  return rec->result(op);
}
int on_getattr(void* a) { return on_attr("getattr", a); }
int on_setattr(void* a) { return on_attr("setattr", a); }

int on_remove(void* a) {
  auto* args = static_cast<vnop_remove_args*>(a);
  rec->calls.push_back(named("remove", args->a_cnp));
  rec->calls.back().vp = args->a_vp;
  return rec->result("remove");
}
int on_rename(void* a) {
  auto* args = static_cast<vnop_rename_args*>(a);
  rec->calls.push_back(named("rename", args->a_tcnp));
  rec->calls.back().vp = args->a_fvp;
  return rec->result("rename");
}
int on_inactive(void* a) {
  rec->calls.push_back(Call{.op = "inactive", .vp = static_cast<vnop_inactive_args*>(a)->a_vp});
  return rec->result("inactive");
}
int on_reclaim(void* a) {
  rec->calls.push_back(Call{.op = "reclaim", .vp = static_cast<vnop_inactive_args*>(a)->a_vp});
  return rec->result("reclaim");
}

int on_readdir(void* a) {
  auto* args = static_cast<vnop_readdir_args*>(a);
  Call c;
  c.op = "readdir";
  c.code = args->a_flags;
  c.value = static_cast<std::uint32_t>(uio_offset(args->a_uio));
  rec->calls.push_back(c);
  if (rec->next_portion >= rec->portions.size()) return 5;
  const std::size_t i = rec->next_portion++;
  std::vector<std::uint8_t>& p = rec->portions[i];
  uiomove(p.data(), static_cast<int>(p.size()), args->a_uio);
  *args->a_numdirent = rec->counts[i];
  *args->a_eofflag = rec->next_portion == rec->portions.size();
  return 0;
}

// One listing record: file id, length, type, name.
void add_record(std::vector<std::uint8_t>& out, std::uint32_t id, std::uint8_t type, const std::string& name,
                int length_change = 0) {
  const std::size_t base = out.size();
  const std::size_t length = (10 + name.size() + 3) & ~std::size_t{3};
  out.resize(base + length);
  std::memcpy(&out[base], &id, 4);
  const auto reclen = static_cast<std::uint16_t>(static_cast<int>(length) + length_change);
  std::memcpy(&out[base + 4], &reclen, 2);
  out[base + 6] = type;
  const auto namelen = static_cast<std::uint16_t>(name.size());
  std::memcpy(&out[base + 8], &namelen, 2);
  std::memcpy(&out[base + 10], name.data(), name.size());
}

class SlotSequence : public ::testing::Test {
 protected:
  void SetUp() override {
    rec = &r_;
    kel_tree_make_root(kel_make_vnode(&m_, nullptr, VBLK, 0));
    root_ = make_child(VDIR, 1, nullptr, "");
    made_ = kel_make_vnode(&m_, nullptr, VDIR, 0);
    r_.made = made_.get();
    kel_vnops = KelResolvedVnops{};
    kel_vnops.ioctl = on_ioctl;
    kel_vnops.mkdir = on_mkdir;
    kel_vnops.create = on_createfile;
    kel_vnops.close = on_close;
    kel_vnops.getattr = on_getattr;
    kel_vnops.setattr = on_setattr;
    kel_vnops.remove = on_remove;
    kel_vnops.rmdir = on_remove;
    kel_vnops.rename = on_rename;
    kel_vnops.inactive = on_inactive;
    kel_vnops.reclaim = on_reclaim;
    kel_vnops.readdir = on_readdir;
  }
  void TearDown() override {
    kel_vnops = KelResolvedVnops{};
    kel_tree_set_root(nullptr);
    rec = nullptr;
  }
  // A vnode under parent (the volume root when null) named name.
  vnode* make_child(std::uint32_t type, int root, vnode* parent, const char* name) {
    vnode_fsparam p{};
    p.vnfs_mp = &m_;
    p.vnfs_vtype = type;
    p.vnfs_markroot = root;
    p.vnfs_dvp = parent;
    componentname cn{};
    std::string n = name;
    cn.cn_nameptr = n.data();
    cn.cn_namelen = static_cast<int>(n.size());
    cn.cn_flags = MAKEENTRY;
    // The host tree places a new vnode under the folder its path names.
    char folder[1024] = "/";
    int folder_len = sizeof folder;
    if (parent) { EXPECT_EQ(vn_getpath(parent, folder, &folder_len), 0); }
    cn.cn_pnbuf = folder;
    cn.cn_pnlen = static_cast<int>(std::strlen(folder));
    if (parent) p.vnfs_cnp = &cn;
    vnode* out = nullptr;
    EXPECT_EQ(vnode_create(0, VCREATESIZE, &p, &out), 0);
    return out;
  }

  mount m_{};
  Recorder r_;
  vnode* root_ = nullptr;
  std::shared_ptr<vnode> made_;
};

TEST(WriteProtectStatus, FirstMatchingFlagWins) {
  const struct {
    std::uint32_t flags, code;
  } cases[] = {{0, 0},           {0x1, 0xC0002F44},     {0x80800, 0xC0002F4F}, {0x800, 0xC0002F49},
               {0x8, 0xC0002F76}, {0x400, 0x80002F48},  {0x100000, 0xC0002F50}, {0x2001, 0xC0002F44},
               {0x40000, 0x80002F4E}};
  for (const auto& c : cases) EXPECT_EQ(kelmain::write_protect_status(c.flags), c.code) << std::hex << c.flags;
}

TEST_F(SlotSequence, HiddenFolderHidesThenSetsModeAndFlagsThenCloses) {
  ASSERT_EQ(kelmain::CreateDirectory("/", "h", true), 0);
  const std::vector<std::string> want = {"mkdir",          "ioctl:20007007", "ioctl:20007000", "ioctl:800070A1",
                                         "ioctl:20007001", "setattr",        "close"};
  EXPECT_EQ(r_.ops(), want);
  EXPECT_EQ(r_.calls[0].vp, root_);
  EXPECT_EQ(r_.calls[0].name, "h");
  EXPECT_EQ(r_.calls[3].vp, made_.get());
  EXPECT_EQ(r_.calls[3].value, 0u) << "visibility 0";
  EXPECT_EQ(r_.calls[5].active, 0x600u);
  EXPECT_EQ(r_.calls[5].attr.va_mode, 0x140);
  EXPECT_EQ(r_.calls[5].attr.va_flags, 0x20002u);
  EXPECT_EQ(r_.calls[6].code, 0u);
}

TEST_F(SlotSequence, HiddenFolderFailuresAreReturnedAndTheFolderIsClosed) {
  const struct {
    const char* failing;
    int code;
    std::vector<std::string> ops;
  } cases[] = {
      {"ioctl:800070A1", 13, {"mkdir", "ioctl:20007007", "ioctl:20007000", "ioctl:800070A1", "ioctl:20007001", "close"}},
      {"ioctl:20007007", 1, {"mkdir", "ioctl:20007007", "close"}},
      {"setattr", 30, {"mkdir", "ioctl:20007007", "ioctl:20007000", "ioctl:800070A1", "ioctl:20007001", "setattr", "close"}},
  };
  for (const auto& c : cases) {
    r_.calls.clear();
    r_.results = {{c.failing, c.code}};
    EXPECT_EQ(kelmain::CreateDirectory("/", "h", true), c.code) << c.failing;
    EXPECT_EQ(r_.ops(), c.ops) << c.failing;
  }
  // Not hidden: made and closed.
  r_.calls.clear();
  r_.results.clear();
  EXPECT_EQ(kelmain::CreateDirectory("/", "v", false), 0);
  EXPECT_EQ(r_.ops(), (std::vector<std::string>{"mkdir", "close"}));
}

TEST_F(SlotSequence, FullFlushSendsThePrivilegeRequestsInOrderAndStopsAtTheFirstFailure) {
  // No volume record: the sync itself answers 22 after the requests.
  EXPECT_EQ(kelmain::Flush(true), 22);
  EXPECT_EQ(r_.ops(), (std::vector<std::string>{"ioctl:20007007", "ioctl:20007000", "ioctl:20007001"}));
  r_.calls.clear();
  r_.results = {{"ioctl:20007000", 13}};
  EXPECT_EQ(kelmain::Flush(true), 13);
  EXPECT_EQ(r_.ops(), (std::vector<std::string>{"ioctl:20007007", "ioctl:20007000"}));
  r_.calls.clear();
  EXPECT_EQ(kelmain::Flush(false), 22);
  EXPECT_TRUE(r_.calls.empty());
}

TEST_F(SlotSequence, FileSizeKeepsTheModificationTime) {
  r_.attr.va_modify_time = timespec{1700000000, 5};
  ASSERT_EQ(kelmain::SetFileSize(made_.get(), 4096), 0);
  ASSERT_EQ(r_.ops(), (std::vector<std::string>{"getattr", "setattr"}));
  EXPECT_EQ(r_.calls[0].active, 0x4000u);
  EXPECT_EQ(r_.calls[1].active, 0x4010u);
  EXPECT_EQ(r_.calls[1].attr.va_data_size, 4096u);
  EXPECT_EQ(r_.calls[1].attr.va_modify_time.tv_sec, 1700000000);
  EXPECT_EQ(r_.calls[1].attr.va_modify_time.tv_nsec, 5);
  // A failing getattr is returned and nothing is set.
  r_.calls.clear();
  r_.results = {{"getattr", 5}};
  EXPECT_EQ(kelmain::SetFileSize(made_.get(), 1), 5);
  EXPECT_EQ(r_.ops(), (std::vector<std::string>{"getattr"}));
}

TEST_F(SlotSequence, FileTimesSetOnlyTheTimesGiven) {
  const timespec zero{0, 0}, a{10, 0}, b{0, 7};
  const struct {
    const timespec *created, *accessed, *modified;
    std::uint64_t active;
  } cases[] = {{&a, &zero, &b, 0x5000}, {nullptr, &a, nullptr, 0x2000}, {&zero, &zero, &zero, 0}};
  for (const auto& c : cases) {
    r_.calls.clear();
    ASSERT_EQ(kelmain::SetFileTimes(made_.get(), c.created, c.accessed, c.modified), 0);
    ASSERT_EQ(r_.calls.size(), 1u);
    EXPECT_EQ(r_.calls[0].active, c.active);
  }
  EXPECT_EQ(r_.calls[0].attr.va_access_time.tv_sec, 0);
}

TEST_F(SlotSequence, CreateFileHandsOutTheStoredNameOnlyWhenItFits) {
  r_.stored_name = {"report~1.txt"};
  char out[64];
  void* handle = nullptr;
  ASSERT_EQ(kelmain::CreateFile("/", "report.txt", sizeof out, out, &handle), 0);
  EXPECT_STREQ(out, "report~1.txt");
  EXPECT_EQ(handle, made_.get());
  EXPECT_EQ(r_.ops(), (std::vector<std::string>{"create", "close", "ioctl:C1007049"}));
  EXPECT_EQ(r_.calls[1].code, 2u);
  // Twelve characters and a terminator do not fit in twelve bytes.
  std::memset(out, 'x', sizeof out);
  handle = nullptr;
  EXPECT_EQ(kelmain::CreateFile("/", "report.txt", 12, out, &handle), 63);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(out[0], 'x');
  // A missing folder creates nothing.
  r_.calls.clear();
  EXPECT_EQ(kelmain::CreateFile("/missing", "a", sizeof out, out, &handle), 2);
  EXPECT_TRUE(r_.calls.empty());
}

TEST_F(SlotSequence, RenameNeedsBothFoldersAndPassesTheObjectAsBothEnds) {
  vnode* dir = make_child(VDIR, 0, root_, "d");
  vnode* file = make_child(VREG, 0, dir, "f");
  EXPECT_EQ(kelmain::Rename("/d", "f", "/nowhere", "g"), 2);
  EXPECT_EQ(kelmain::Rename("/d", "missing", "/", "g"), 2);
  EXPECT_TRUE(r_.calls.empty());
  ASSERT_EQ(kelmain::RenameDir("/d", "f", "/", "g"), 0);
  ASSERT_EQ(r_.ops(), (std::vector<std::string>{"rename"}));
  EXPECT_EQ(r_.calls[0].vp, file);
  EXPECT_EQ(r_.calls[0].name, "g");
  EXPECT_EQ(r_.calls[0].folder, "/");
}

TEST_F(SlotSequence, DeleteRemovesThenInactivatesAndReclaims) {
  vnode* file = make_child(VREG, 0, root_, "f");
  ASSERT_EQ(kelmain::DeleteFile("/", "f"), 0);
  EXPECT_EQ(r_.ops(), (std::vector<std::string>{"remove", "inactive", "reclaim"}));
  for (const auto& c : r_.calls) EXPECT_EQ(c.vp, file);
  // A failed remove stops there.
  make_child(VREG, 0, root_, "g");
  r_.calls.clear();
  r_.results = {{"remove", 16}};
  EXPECT_EQ(kelmain::DeleteDirectory("/", "g"), 16);
  EXPECT_EQ(r_.ops(), (std::vector<std::string>{"remove"}));
  EXPECT_EQ(kelmain::DeleteFile("/", "none"), 2);
  // A remove that answers 0 but leaves the node active (a shadow node, a
  // master not open for writing) keeps its vnode: handles may name it.
  mdcudfsr_cache_node kept{};
  vnode* stays = make_child(VREG, 0, root_, "s");
  stays->v_data = &kept;
  r_.calls.clear();
  r_.results.clear();
  EXPECT_EQ(kelmain::DeleteFile("/", "s"), 0);
  EXPECT_EQ(r_.ops(), (std::vector<std::string>{"remove"}));
  kept.status = MDCUDFSR_NODE_INACTIVE;
  r_.calls.clear();
  EXPECT_EQ(kelmain::DeleteFile("/", "s"), 0);
  EXPECT_EQ(r_.ops(), (std::vector<std::string>{"remove", "inactive", "reclaim"})) << "the node left";
}

struct Listed {
  std::vector<std::string> names;
  std::vector<std::int32_t> types;
  std::vector<std::uint32_t> ids;
  std::int64_t stop_at = -1;
};

std::int64_t collect(const void* context, std::uint64_t user, const char* path, const void* record) {
  auto* l = static_cast<Listed*>(const_cast<void*>(context));
  const auto* info = static_cast<const KELFS_OBJECT_INFO*>(record);
  EXPECT_EQ(user, 77u);
  EXPECT_STREQ(path, "/");
  l->names.push_back(info->ObjectName);
  l->types.push_back(info->Type);
  l->ids.push_back(info->ObjectID);
  if (l->stop_at >= 0 && l->names.size() == static_cast<std::size_t>(l->stop_at)) return 99;
  return 0;
}

TEST_F(SlotSequence, ListingWalksEveryPortionWithItsTypesAndCarriesTheOffset) {
  std::vector<std::uint8_t> first, second;
  add_record(first, 5, 4, "dir");
  add_record(first, 6, 8, "file");
  add_record(second, 7, 10, "link");
  r_.portions = {first, second};
  r_.counts = {2, 1};
  Listed l;
  ASSERT_EQ(kelmain::ReadDirectory(&l, 77, "/", collect), 0);
  EXPECT_EQ(l.names, (std::vector<std::string>{"dir", "file", "link"}));
  EXPECT_EQ(l.types, (std::vector<std::int32_t>{1, 2, 0}));
  EXPECT_EQ(l.ids, (std::vector<std::uint32_t>{5, 6, 7}));
  ASSERT_EQ(r_.calls.size(), 2u);
  EXPECT_EQ(r_.calls[0].code, 1u) << "readdir flags";
  EXPECT_EQ(r_.calls[0].value, 0u);
  EXPECT_EQ(r_.calls[1].value, first.size()) << "the second portion starts where the first ended";
}

TEST_F(SlotSequence, ListingEndsOnLongNamesMalformedRecordsAndTheCallbacksResult) {
  auto one = [](const std::string& name, int length_change, int count) {
    std::vector<std::uint8_t> p;
    add_record(p, 1, 8, name, length_change);
    return std::make_pair(p, count);
  };
  const struct {
    const char* what;
    std::pair<std::vector<std::uint8_t>, int> portion;
    std::int64_t result;
    std::size_t listed;
  } cases[] = {
      {"4095-byte name", one(std::string(4095, 'n'), 0, 1), 0, 1},
      {"4096-byte name", one(std::string(4096, 'n'), 0, 1), 7, 0},
      {"record length 0", one("a", -12, 1), 5, 0},
      {"shorter than its name", one("abcdefgh", -8, 1), 5, 0},
      {"count beyond the bytes returned", one("a", 0, 2), 5, 1},
  };
  for (const auto& c : cases) {
    r_.portions = {c.portion.first};
    r_.counts = {c.portion.second};
    r_.next_portion = 0;
    Listed l;
    EXPECT_EQ(kelmain::ReadDirectory(&l, 77, "/", collect), c.result) << c.what;
    EXPECT_EQ(l.names.size(), c.listed) << c.what;
  }
  // The callback's result ends the listing.
  std::vector<std::uint8_t> p;
  for (std::uint32_t i = 0; i < 3; ++i) add_record(p, i, 8, "n" + std::to_string(i));
  r_.portions = {p};
  r_.counts = {3};
  r_.next_portion = 0;
  Listed l;
  l.stop_at = 2;
  EXPECT_EQ(kelmain::ReadDirectory(&l, 77, "/", collect), 99);
  EXPECT_EQ(l.names.size(), 2u);
  // An empty folder: no callback.
  r_.portions = {{}};
  r_.counts = {0};
  r_.next_portion = 0;
  Listed none;
  EXPECT_EQ(kelmain::ReadDirectory(&none, 77, "/", collect), 0);
  EXPECT_TRUE(none.names.empty());
  EXPECT_EQ(kelmain::ReadDirectory(&none, 77, "/missing", collect), 2);
}

}  // namespace

namespace {

// The writer names a proxy from the volume root with the "$" cut off; the
// proxy lives in "$", where the slots find it when the root lacks it.
TEST_F(SlotSequence, AnObjectTheRootLacksIsLookedForInTheDollarFolder) {
  vnode* dollar = make_child(VDIR, 0, root_, "$");
  vnode* proxy = make_child(VREG, 0, dollar, "@PXO00000");
  vnode* plain = make_child(VREG, 0, root_, "@PXO00001");
  KELFS_OBJECT_INFO info{};
  ASSERT_EQ(kelmain::GetPathInfo("/@PXO00000", 0, &info), 0);
  ASSERT_EQ(r_.ops(), (std::vector<std::string>{"getattr"}));
  EXPECT_EQ(r_.calls[0].vp, proxy);
  r_.calls.clear();
  ASSERT_EQ(kelmain::GetPathInfo("/@PXO00001", 0, &info), 0);
  EXPECT_EQ(r_.calls[0].vp, plain) << "the root's own object comes first";
  r_.calls.clear();
  EXPECT_EQ(kelmain::GetPathInfo("/missing", 0, &info), 2);
  EXPECT_EQ(kelmain::GetPathInfo("/$/missing", 0, &info), 2);
  EXPECT_TRUE(r_.calls.empty());
}

}  // namespace
