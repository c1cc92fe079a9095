// The VFAM client's requests against a test agent on the real vfamdev
// channel: every request image byte for byte, and its answer unpacked.
#include "vfam_support.h"

#include <gtest/gtest.h>

using namespace cache_test;

namespace {

vfamstat stat_pattern(std::uint8_t seed) {
  vfamstat st;
  auto* p = reinterpret_cast<std::uint8_t*>(&st);
  for (std::size_t i = 0; i < sizeof st; ++i) p[i] = static_cast<std::uint8_t>(seed + i);
  p[95] = 0;
  return st;
}
Bytes wire(const vfamstat& st) { return Bytes(reinterpret_cast<const std::uint8_t*>(&st), reinterpret_cast<const std::uint8_t*>(&st) + 95); }

class VfamRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    v.open_agent();
    d = v.dir("d");
    v.bind(d);
    vn = v.virtual_node(d, "v");
    ms = v.master(v.root, "m");  // a one-byte master in the root
  }
  // Runs call, checks the request image against want (header with code and
  // the payload's size, then the payload), answers and returns the result.
  int exchange(std::vector<mdcudfsr_cache_node*> locked, std::function<int()> call, std::uint32_t code,
               const Bytes& payload, std::int32_t error = 0, const Bytes& answer = {}) {
    Caller c;
    c.start(locked, call);
    const Bytes req = v.take_request();
    Bytes want = v.header(req, code, static_cast<std::uint32_t>(payload.size()));
    want.insert(want.end(), payload.begin(), payload.end());
    EXPECT_EQ(want, req) << "request " << code;
    v.answer(req, error, answer);
    const int r = c.join();
    EXPECT_TRUE(c.kept_locks()) << "request " << code;
    return r;
  }
  std::string proxy_path(mdcudfsr_cache_node* master) { return std::string("/") + mdcudfsr_node_name(master->proxy); }

  VfamVolume v;
  mdcudfsr_cache_node* d = nullptr;
  mdcudfsr_cache_node* vn = nullptr;
  mdcudfsr_cache_node* ms = nullptr;
};

TEST_F(VfamRequests, CreateSendsTheStatAndThePathAndCopiesTheAnswer) {
  vfamstat st = stat_pattern(1);
  const vfamstat back = stat_pattern(50);
  // Under the root: "/" and the name; size = 1 + 2 + 96.
  Image want;
  want.raw(&st, 95).str("/nf");
  EXPECT_EQ(0, exchange({v.root}, [&] { return mdcudfsr_vfam_create(v.root, "nfXX", 2, &st); }, 1, want.b, 0,
                        wire(back)));
  EXPECT_EQ(0, std::memcmp(&st, &back, 95));
  // Under a folder: its path, "/", the name; size = 3 + 1 + 96.
  vfamstat st2 = stat_pattern(3);
  Image want2;
  want2.raw(&st2, 95).str("/d/x");
  EXPECT_EQ(0, exchange({d}, [&] { return mdcudfsr_vfam_create(d, "x", 1, &st2); }, 1, want2.b, 0, wire(back)));
}

TEST_F(VfamRequests, OpenSendsFlagsAndThePathOfTheNodeKind) {
  struct Case {
    const char* what;
    mdcudfsr_cache_node* node;
    int mode;
    std::uint16_t flags;
    std::string path;
  };
  const Case cases[] = {
      {"virtual, read", vn, 1, 0, "/d/v"},
      {"virtual, write with other bits", vn, 0x202, 0x201, "/d/v"},
      {"master in the root, read and write", ms, 3, 2, proxy_path(ms)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint64_t h = 0;
    Image want;
    want.u16(c.flags).str(c.path);
    EXPECT_EQ(0, exchange({c.node}, [&] { return mdcudfsr_vfam_open(c.node, c.mode, &h); }, 2, want.b, 0,
                          Image().u64(0x1122334455667788ull).b));
    EXPECT_EQ(0x1122334455667788ull, h);
  }
}

TEST_F(VfamRequests, PathsOfOtherKindsAreRefusedBeforeAnythingIsSent) {
  mdcudfsr_cache_node* plain = v.make(v.root, "plain");
  mdcudfsr_cache_node* orphan = v.master(v.root, "o");
  mdcudfsr_cache_node* proxy = orphan->proxy;
  orphan->proxy = nullptr;  // a master that lost its proxy
  mdcudfsr_cache_node* nameless = v.virtual_node(d, "n");
  char* name = nameless->vfs_name;
  char empty[] = "";
  nameless->vfs_name = empty;
  struct Case {
    mdcudfsr_cache_node* node;
    int want;
  } cases[] = {{plain, 95}, {orphan, 1}, {nameless, 22}};
  for (const Case& c : cases) {
    std::uint64_t h = 0;
    vfamstat st{};
    mdcudfsr_cache_lock_node(c.node, MDCUDFSR_WAIT_FOREVER);
    EXPECT_EQ(c.want, mdcudfsr_vfam_open(c.node, 1, &h));
    EXPECT_EQ(c.want, mdcudfsr_vfam_remove(c.node));
    EXPECT_EQ(c.want, mdcudfsr_vfam_get_file_attr(c.node, &st));
    EXPECT_EQ(c.want, mdcudfsr_vfam_set_file_attr(c.node, &st));
    mdcudfsr_cache_unlock_node(c.node);
    EXPECT_TRUE(v.queue_empty());
  }
  nameless->vfs_name = name;
  orphan->proxy = proxy;
}

TEST_F(VfamRequests, HandleAndIoRequests) {
  std::uint32_t n = 0, status = 0, second = 0;
  char buf[16] = {};
  std::uint64_t pos = 0x10;
  // close: u64 handle, u16 flags.
  EXPECT_EQ(0, exchange({vn}, [&] { return mdcudfsr_vfam_close(vn, 0xA1A2A3A4A5A6A7A8ull, 2); }, 3,
                        Image().u64(0xA1A2A3A4A5A6A7A8ull).u16(1).b));
  // read: handle, offset, length; answer read_len and data.
  EXPECT_EQ(0, exchange({vn}, [&] { return mdcudfsr_vfam_read(vn, 7, 0x1000000002ull, 8, buf, &n); }, 7,
                        Image().u64(7).u64(0x1000000002ull).u32(8).b, 0, Image().u32(3).raw("xyz", 3).b));
  EXPECT_EQ(3u, n);
  EXPECT_EQ(0, std::memcmp(buf, "xyz", 3));
  // write: the data behind the fields; answer bytes written.
  EXPECT_EQ(0, exchange({vn}, [&] { return mdcudfsr_vfam_write(vn, 7, 5, 4, "abcd", &n); }, 8,
                        Image().u64(7).u64(5).u32(4).raw("abcd", 4).b, 0, Image().u32(4).b));
  EXPECT_EQ(4u, n);
  // readdir: position in and out, entries copied.
  const Bytes entries = Image().u32(6).raw("ab", 2).u32(4).b;
  EXPECT_EQ(0, exchange({vn}, [&] { return mdcudfsr_vfam_readdir(vn, 9, &pos, 2, buf, sizeof buf, &n, &second); },
                        6, Image().u64(9).u64(0x10).u32(2).b, 0,
                        Image().u64(0x22).u32(0x77).u32(2).raw(entries.data(), entries.size()).b));
  EXPECT_EQ(0x22u, pos);
  EXPECT_EQ(2u, n);
  EXPECT_EQ(0x77u, second);
  EXPECT_EQ(0, std::memcmp(buf, entries.data(), entries.size()));
  // cache read, write and delete by unique id.
  EXPECT_EQ(0, exchange({ms}, [&] { return mdcudfsr_vfam_cache_read(ms, 0x55, 0x800, 4, buf, &n, &status); }, 14,
                        Image().u64(0x55).u64(0x800).u32(4).b, 0, Image().u32(9).u32(2).raw("qq", 2).b));
  EXPECT_EQ(2u, n);
  EXPECT_EQ(9u, status);
  EXPECT_EQ(0, exchange({ms}, [&] { return mdcudfsr_vfam_cache_write(ms, 0x55, 0x800, 2, "zz", &n, &status); },
                        15, Image().u64(0x55).u64(0x800).u32(2).raw("zz", 2).b, 0, Image().u32(4).u32(2).b));
  EXPECT_EQ(2u, n);
  EXPECT_EQ(4u, status);
  EXPECT_EQ(0, exchange({ms}, [&] { return mdcudfsr_vfam_cache_delete(ms, 0x55, &status); }, 16,
                        Image().u64(0x55).b, 0, Image().u32(0x31).b));
  EXPECT_EQ(0x31u, status);
}

TEST_F(VfamRequests, RenameMoveAndRemovePaths) {
  // rename: u32 0, source size, source, destination with the last component replaced.
  EXPECT_EQ(0, exchange({d, vn}, [&] { return mdcudfsr_vfam_rename(d, vn, "wide", 1); }, 9,
                        Image().u32(0).u32(5).str("/d/v").str("/d/w").b));
  mdcudfsr_cache_node* e = v.dir("e");
  v.bind(e);
  v.bind(vn);
  struct Case {
    mdcudfsr_cache_node* to;
    std::string dst;
  } cases[] = {{v.root, "/zz"}, {e, "/e/zz"}};
  for (const Case& c : cases) {
    std::vector<mdcudfsr_cache_node*> locked = {d, c.to, vn};
    if (c.to == d) locked = {d, vn};
    EXPECT_EQ(0, exchange(locked, [&] { return mdcudfsr_vfam_move(d, c.to, vn, "zzz", 2); }, 9,
                          Image().u32(0).u32(5).str("/d/v").str(c.dst).b))
        << c.dst;
  }
  EXPECT_EQ(0, exchange({vn}, [&] { return mdcudfsr_vfam_remove(vn); }, 10, Image().str("/d/v").b));
  EXPECT_EQ(0, exchange({ms}, [&] { return mdcudfsr_vfam_remove(ms); }, 10, Image().str(proxy_path(ms)).b));
}

TEST_F(VfamRequests, MoveReturnsWithTheNodesLockedWhenTheLockOrderFailsAfterTheWait) {
  mdcudfsr_cache_node* e = v.dir("e");
  v.bind(e);
  v.bind(vn);
  Caller c;
  c.start({d, e, vn}, [&] { return mdcudfsr_vfam_move(d, e, vn, "k", 1); });
  const Bytes req = v.take_request();
  ASSERT_TRUE(settles([&] { return unowned(vn) && unowned(d) && unowned(e); }))
      << "the answer is awaited with the three nodes unlocked";
  v.m.root_node = nullptr;  // the lock order cannot be taken again
  v.answer(req, 0);
  EXPECT_EQ(22, c.join());
  v.m.root_node = v.root;
  EXPECT_TRUE(c.kept_locks()) << "the nodes come back locked";
  EXPECT_TRUE(rec().logged("taking the lock order again"));
}

TEST_F(VfamRequests, AttributesIoctlAndVolumeRequests) {
  vfamstat st = stat_pattern(7);
  const vfamstat back = stat_pattern(90);
  EXPECT_EQ(0, exchange({vn}, [&] { return mdcudfsr_vfam_set_file_attr(vn, &st); }, 11,
                        Image().raw(&st, 95).str("/d/v").b, 0, wire(back)));
  EXPECT_EQ(0, std::memcmp(&st, &back, 95));
  // Answers 0 and 115 copy the record.
  for (int answer : {0, 115}) {
    vfamstat got{};
    EXPECT_EQ(answer, exchange({ms}, [&] { return mdcudfsr_vfam_get_file_attr(ms, &got); }, 12,
                               Image().str(proxy_path(ms)).b, answer, wire(back)));
    EXPECT_EQ(0, std::memcmp(&got, &back, 95));
  }
  // ioctl: the wire code, the caller's value in a 4096-byte area, the proxy's path.
  const std::uint32_t value = 0xCAFE;
  Image io;
  io.u32(0x80047086).u32(value).zeros(4092).str(proxy_path(ms));
  io.zeros(std::strlen(mdcudfsr_node_name(ms->proxy)) + 1 + 4101 - io.b.size());  // the size's spare bytes
  EXPECT_EQ(0, exchange({ms}, [&] { return mdcudfsr_vfam_ioctl(ms, 0x80007086, &value); }, 13, io.b));
  std::uint64_t policy[2] = {};
  EXPECT_EQ(0, exchange({}, [&] { return mdcudfsr_vfam_get_write_policy_info(&v.m, policy); }, 17, {}, 0,
                        Image().u64(0x1111).u64(0x2222).b));
  EXPECT_EQ(0x1111u, policy[0]);
  EXPECT_EQ(0x2222u, policy[1]);
  EXPECT_EQ(0, exchange({}, [&] { return mdcudfsr_vfam_flush_buffers(&v.m, 0x42); }, 18, Image().u32(0x42).b));
  std::uint64_t total = 0, remaining = 0, buffered = 0;
  exchange({}, [&] {
    mdcudfsr_vfam_get_volume_size_info(&v.m, &total, &remaining, &buffered);
    return 0;
  }, 19, {}, 0, Image().u64(100).u64(60).u64(5).b);
  EXPECT_EQ(100u, total);
  EXPECT_EQ(60u, remaining);
  EXPECT_EQ(5u, buffered);
}

TEST_F(VfamRequests, IoctlServesOnlyItsCode) {
  const std::uint32_t value = 1;
  mdcudfsr_cache_lock_node(ms, MDCUDFSR_WAIT_FOREVER);
  EXPECT_EQ(22, mdcudfsr_vfam_ioctl(ms, 0x80047086, &value));
  EXPECT_EQ(22, mdcudfsr_vfam_ioctl(ms, 0x80007085, &value));
  mdcudfsr_cache_unlock_node(ms);
  EXPECT_TRUE(v.queue_empty());
}

TEST_F(VfamRequests, UnmountIsQueuedAlsoWhileTheChannelIsFreedAndNotAwaited) {
  ASSERT_EQ(0, mdcudfsr_vfamdev_mark_will_free(v.ch));
  EXPECT_EQ(0, mdcudfsr_vfam_unmount(&v.m));  // returns without an answer
  const Bytes req = v.take_request();
  EXPECT_EQ(v.header(req, 0x8FFFFFFF, 0), req);
}

// Answers the client must not trust.
TEST_F(VfamRequests, MalformedAnswersAreRefusedAndNothingIsCopied) {
  char buf[8];
  std::memset(buf, '-', sizeof buf);
  std::uint32_t n = 99, status = 99, second = 99;
  std::uint64_t pos = 5;
  const Bytes read_req = Image().u64(1).u64(0).u32(4).b;
  struct Case {
    const char* what;
    int want;
    Bytes answer;
  } reads[] = {
      {"claims more than asked", 105, Image().u32(5).raw("abcde", 5).b},
      {"claims more than it carries", 22, Image().u32(4).raw("ab", 2).b},
      {"too short for its length word", 22, Image().u16(0).b},
  };
  for (const Case& c : reads) {
    EXPECT_EQ(c.want, exchange({vn}, [&] { return mdcudfsr_vfam_read(vn, 1, 0, 4, buf, &n); }, 7, read_req, 0, c.answer))
        << c.what;
    EXPECT_EQ(99u, n) << c.what;
    EXPECT_EQ('-', buf[0]) << c.what;
  }
  EXPECT_EQ(105, exchange({ms}, [&] { return mdcudfsr_vfam_cache_read(ms, 1, 0, 1, buf, &n, &status); }, 14,
                          Image().u64(1).u64(0).u32(1).b, 0, Image().u32(0).u32(2).raw("ab", 2).b));
  EXPECT_EQ('-', buf[0]);
  const Bytes dir_req = Image().u64(1).u64(5).u32(2).b;
  const Bytes head = Image().u64(9).u32(1).u32(2).b;
  struct DirCase {
    const char* what;
    int want;
    Bytes entries;
    std::uint32_t room;
  } dirs[] = {
      {"entry length below 4", 22, Image().u32(3).u32(4).b, 8},
      {"entry past the payload", 22, Image().u32(4).u32(9).b, 8},
      {"entries beyond the destination", 105, Image().u32(4).u32(6).raw("xy", 2).b, 8},
  };
  for (const DirCase& c : dirs) {
    Bytes ans = head;
    ans.insert(ans.end(), c.entries.begin(), c.entries.end());
    EXPECT_EQ(c.want, exchange({vn}, [&] { return mdcudfsr_vfam_readdir(vn, 1, &pos, 2, buf, c.room, &n, &second); },
                               6, dir_req, 0, ans))
        << c.what;
    EXPECT_EQ(5u, pos) << c.what;
    EXPECT_EQ('-', buf[0]) << c.what;
  }
  vfamstat st = stat_pattern(1);
  const vfamstat before = st;
  EXPECT_EQ(22, exchange({vn}, [&] { return mdcudfsr_vfam_get_file_attr(vn, &st); }, 12, Image().str("/d/v").b, 0,
                         Bytes(94, 0xEE)));
  EXPECT_EQ(0, std::memcmp(&st, &before, sizeof st));
  // Another error leaves the record untouched.
  EXPECT_EQ(5, exchange({vn}, [&] { return mdcudfsr_vfam_get_file_attr(vn, &st); }, 12, Image().str("/d/v").b, 5,
                        wire(stat_pattern(9))));
  EXPECT_EQ(0, std::memcmp(&st, &before, sizeof st));
}

TEST_F(VfamRequests, GetAttributesAnswering2TellsARenameMeanwhile) {
  const vfamstat back = stat_pattern(33);
  vfamstat st{};
  // Not renamed: 2, the record copied.
  EXPECT_EQ(2, exchange({vn}, [&] { return mdcudfsr_vfam_get_file_attr(vn, &st); }, 12, Image().str("/d/v").b, 2,
                        wire(back)));
  EXPECT_EQ(0, std::memcmp(&st, &back, 95));
  // Renamed while the request waits: 11, ask again.
  Caller c;
  c.start({vn}, [&] { return mdcudfsr_vfam_get_file_attr(vn, &st); });
  const Bytes req = v.take_request();
  ASSERT_TRUE(settles([&] { return unowned(vn); })) << "the request waits with the node unlocked";
  mdcudfsr_cache_lock_node(vn, MDCUDFSR_WAIT_FOREVER);
  char* old = vn->vfs_name;
  char renamed[] = "V2";
  vn->vfs_name = renamed;
  mdcudfsr_cache_unlock_node(vn);
  v.answer(req, 2, wire(back));
  EXPECT_EQ(11, c.join());
  vn->vfs_name = old;
}

TEST(VfamNoAgent, ReadFailsWith6AndNoRequestStays) {
  VfamVolume v;  // channel allocated, never opened
  mdcudfsr_cache_node* vn = v.virtual_node(v.root, "v");
  char buf[4];
  std::uint32_t n = 0;
  mdcudfsr_cache_lock_node(vn, MDCUDFSR_WAIT_FOREVER);
  EXPECT_EQ(6, mdcudfsr_vfam_read(vn, 1, 0, 4, buf, &n));
  EXPECT_EQ(6, mdcudfsr_vfam_flush_buffers(&v.m, 0));
  mdcudfsr_cache_unlock_node(vn);
  EXPECT_TRUE(v.queue_empty());
}

}  // namespace

// With the VFAM trace on, every exchange ends with its answer line (an open's
// with the handle it got) and the final result.
TEST_F(VfamRequests, TraceLinesShowTheOpenHandleAndTheResult) {
  rec().trace_category = 17;  // VFAM request lines
  ASSERT_TRUE(mdcudfsr_debug_level_check(3, 2, 17));
  std::uint64_t h = 0;
  Image want;
  want.u16(0).str("/d/v");
  EXPECT_EQ(0, exchange({vn}, [&] { return mdcudfsr_vfam_open(vn, 1, &h); }, 2, want.b, 0,
                        Image().u64(0x1122334455667788ull).b));
  EXPECT_TRUE(rec().logged("VFAMTXRX ans id=2 seqid="));
  EXPECT_TRUE(rec().logged(" handle=0x55667788\n"));
  EXPECT_TRUE(rec().logged("VFAMTXRX err=0\n"));
  rec().logs.clear();
  EXPECT_EQ(9, exchange({vn}, [&] { return mdcudfsr_vfam_open(vn, 1, &h); }, 2, want.b, 9));
  EXPECT_TRUE(rec().logged(" handle=<invalid>\n"));
  EXPECT_TRUE(rec().logged("VFAMTXRX err=9\n"));
  rec().logs.clear();
  EXPECT_EQ(0, exchange({vn}, [&] { return mdcudfsr_vfam_close(vn, h, 1); }, 3,
                        Image().u64(0x1122334455667788ull).u16(0).b));
  EXPECT_EQ(0, rec().count_logged("handle=<invalid>")) << "only an open's answer line names a handle";
  EXPECT_TRUE(rec().logged("VFAMTXRX err=0\n"));
  rec().reset();
  EXPECT_EQ(0, exchange({vn}, [&] { return mdcudfsr_vfam_close(vn, h, 1); }, 3,
                        Image().u64(0x1122334455667788ull).u16(0).b));
  EXPECT_FALSE(rec().logged("VFAMTXRX")) << "trace off";
}
