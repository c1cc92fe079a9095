// The cache agent thread serving real cache files, driven through the
// engine's metacache requests.
#include "kelagent/fscache_agent.h"
#include "support/settles.h"
#include "kelagent/mdc_channel.h"
#include "kelagent/metacache.h"
#include "kelvfs/mdcudfsr_mount.h"
#include "support_alloc.h"
#include "support_interface.h"
#include "support_neighbours.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <thread>

namespace fs = boost::filesystem;

namespace {

std::uint32_t get32(const std::uint8_t* p) { std::uint32_t v; std::memcpy(&v, p, 4); return v; }

// Fills bytes 9-136 of an attribute 1500h image with a record whose CRC is
// right (bytes 126-127 of the record, high byte first).
void make_attr1500(std::uint8_t* attr, std::uint8_t seed) {
  std::memset(attr, 0, 140);
  std::uint8_t* rec = attr + 9;
  for (int i = 0; i < 126; ++i) rec[i] = static_cast<std::uint8_t>(seed + i);
  const std::uint16_t crc = kelagent::fscache_crc16(rec, 126);
  rec[126] = static_cast<std::uint8_t>(crc >> 8);
  rec[127] = static_cast<std::uint8_t>(crc & 0xFF);
}

std::vector<std::uint8_t> read_file(const fs::path& p) {
  std::ifstream in(p.string(), std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void put32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
void put64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); }

// Sends one request with this payload and waits for its answer.
mdc_ans_t* exchange_raw(mdc_channel* ch, std::uint32_t req_id, const std::vector<std::uint8_t>& payload) {
  mdc_req_t* r = mdcudfsr_metacache_alloc_req(ch, static_cast<std::int32_t>(payload.size()));
  r->hdr.req_id = req_id;
  if (!payload.empty()) std::memcpy(r->payload(), payload.data(), payload.size());
  const auto seq = static_cast<std::int32_t>(r->hdr.seq_id);
  EXPECT_EQ(mdcudfsr_metacache_send_req(ch, r, nullptr), 0);
  mdc_ans_t* a = nullptr;
  EXPECT_EQ(mdcudfsr_metacache_wait_ans(ch, seq, &a), 0);
  return a;
}

using kel_test::settles;

int count_lines(const std::string& text) {
  int n = 0;
  for (const auto& l : fake_log_lines())
    if (l.find(text) != std::string::npos) ++n;
  return n;
}

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake().reset();
    fake_log_clear();
    root = fs::temp_directory_path() / fs::unique_path("kelagent-%%%%-%%%%");
    fs::create_directories(root);
    base = root / "KELFS";
    fake_config_set(base.string(), limit_blocks);
    std::memcpy(fake().serial, "ABC                             ", 32);
    make_attr1500(fake().attr1500, 1);
    start_agent();
  }

  void start_agent() {
    mdcudfsr_metacache_init();
    mp.metacachedev = mdcudfsr_metacache_alloc(&mp);
    ASSERT_NE(mp.metacachedev, nullptr);
    mp.logical_block_size = 2048;
    argv_store = {"KelDriver", "/dev/sd1A", root.string()};
    for (auto& a : argv_store) argv_ptrs.push_back(a.data());
    argv_ptrs.push_back(nullptr);
    ASSERT_NE(FsCacheAgent_main_func(3, argv_ptrs.data()), 0u);
    settles([&] { return mp.cache_agent_opened != 0; });
    ASSERT_EQ(mp.cache_agent_opened, 1);
    // The agent prepares its directories after opening the channel; the
    // first answer comes only after that.
    std::uint32_t cache_err = 0;
    ASSERT_EQ(mdcudfsr_metacache_file_delete(&mp, "none", &cache_err), 0);
  }

  void TearDown() override {
    stop_agent();
    fs::remove_all(root);
  }

  void stop_agent() {
    if (!mp.metacachedev) return;
    if (mdcudfsr_metacache_is_opened(mp.metacachedev)) {
      ASSERT_EQ(mdcudfsr_metacache_mark_will_free(mp.metacachedev), 0);
      ASSERT_EQ(mdcudfsr_metacache_unmount(&mp), 0);
      EXPECT_EQ(mdcudfsr_metacache_wait_close(mp.metacachedev, 5000), 0);
      // The thread logs its end after closing the channel; no test ends
      // while it still writes to the log.
      EXPECT_TRUE(settles([] { return fake_log_contains("handler22.Start return "); }));
    }
    mdcudfsr_metacache_free(mp.metacachedev);
    mp.metacachedev = nullptr;
  }

  fs::path fsmanage_file(const char* serial = "ABC") { return base / "Caches" / "FsCache" / serial; }

  std::uint32_t limit_blocks = 0x20000;
  fs::path root, base;
  mdcudfsr_mount mp;
  std::vector<std::string> argv_store;
  std::vector<char*> argv_ptrs;
};

TEST_F(AgentTest, MountPreparesTheCacheDirectories) {
  EXPECT_TRUE(fs::is_directory(base / "Caches" / "LocalCache"));
  EXPECT_TRUE(fs::is_directory(base / "Caches" / "EFECache"));
  EXPECT_FALSE(fs::exists(base / "Caches" / "FsCache"));  // made at the first open
}

TEST_F(AgentTest, NewMediumIsCreatedThenCoherentAfterTheMountAdjustment) {
  std::uint32_t coherent = 9, created = 9;
  ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 0);
  EXPECT_EQ(coherent, 0u);
  EXPECT_EQ(created, 1u);
  EXPECT_GE(mp.fsmanage_handle, 1);
  EXPECT_TRUE(fs::exists(fsmanage_file()));
  // The serial was trimmed: three letters then NULs.
  EXPECT_EQ(std::memcmp(mp.medium_serial, "ABC", 4), 0);
  for (int i = 3; i < 32; ++i) EXPECT_EQ(mp.medium_serial[i], '\0');

  ASSERT_EQ(mdcudfsr_metacache_ajust_for_mount(&mp, nullptr, false, true), 0);
  const auto img = read_file(fsmanage_file());
  ASSERT_EQ(img.size(), 0x10000u);
  EXPECT_EQ(std::memcmp(img.data(), fake().attr1500 + 9, 128), 0);
  EXPECT_EQ(img[0x8000], 2);
  ASSERT_EQ(mdcudfsr_metacache_file_close(&mp, mp.fsmanage_handle), 0);

  ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 0);
  EXPECT_EQ(coherent, 1u);
  EXPECT_EQ(created, 0u);
  EXPECT_EQ(read_file(fsmanage_file()).size(), 0x10000u);
}

TEST_F(AgentTest, DamagedCacheIsRecreated) {
  struct Case {
    const char* what;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    bool attr_fails;
  };
  const Case cases[] = {
      {"bad CRC", [](std::vector<std::uint8_t>& img) { img[127] ^= 0xFF; }, false},
      {"marker not 2", [](std::vector<std::uint8_t>& img) { img[0x8000] = 3; }, false},
      {"record differs from the medium", [](std::vector<std::uint8_t>& img) {
         img[10] ^= 1;
         const std::uint16_t crc = kelagent::fscache_crc16(img.data(), 126);
         img[126] = static_cast<std::uint8_t>(crc >> 8);
         img[127] = static_cast<std::uint8_t>(crc);
       }, false},
      {"short file", [](std::vector<std::uint8_t>& img) { img.resize(0x8000); }, false},
      {"attribute unreadable", [](std::vector<std::uint8_t>&) {}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake().attr1500_err = 0;
    std::uint32_t coherent = 0, created = 0;
    ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 0);
    ASSERT_EQ(mdcudfsr_metacache_ajust_for_mount(&mp, nullptr, false, true), 0);
    ASSERT_EQ(mdcudfsr_metacache_file_close(&mp, mp.fsmanage_handle), 0);
    auto img = read_file(fsmanage_file());
    c.damage(img);
    {
      std::ofstream out(fsmanage_file().string(), std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(img.data()), static_cast<std::streamsize>(img.size()));
    }
    fake().attr1500_err = c.attr_fails ? 5 : 0;
    ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 0);
    EXPECT_EQ(coherent, 0u);
    EXPECT_EQ(created, 1u);
    EXPECT_EQ(fs::file_size(fsmanage_file()), 0u);  // a new, empty file
    ASSERT_EQ(mdcudfsr_metacache_file_close(&mp, mp.fsmanage_handle), 0);
  }
}

TEST_F(AgentTest, CountLimitDeletesTheFirstFileInPathOrder) {
  const fs::path dir = base / "Caches" / "FsCache";
  fs::create_directories(dir);
  for (int i = 0; i < 1000; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "F%04d", i);
    std::ofstream(((dir / name).string())).put('x');
  }
  std::uint32_t coherent = 0, created = 0;
  ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 0);
  EXPECT_FALSE(fs::exists(dir / "F0000"));
  EXPECT_TRUE(fs::exists(dir / "F0001"));
  EXPECT_TRUE(fs::exists(fsmanage_file()));
}

class AgentSmallLimitTest : public AgentTest {
 protected:
  void SetUp() override {
    limit_blocks = 1;  // 64 KiB
    AgentTest::SetUp();
  }
};

TEST_F(AgentSmallLimitTest, SizeLimitNeverDeletesTheTargetAndFailsWith28) {
  const fs::path dir = base / "Caches" / "FsCache";
  fs::create_directories(dir);
  std::ofstream(fsmanage_file().string()) << std::string(0x20000, 'a');
  std::ofstream((dir / "AAA").string()) << "small";
  std::uint32_t coherent = 0, created = 0;
  EXPECT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 28);
  EXPECT_FALSE(fs::exists(dir / "AAA"));    // the others go first
  EXPECT_TRUE(fs::exists(fsmanage_file()));  // the target stays
  EXPECT_EQ(mp.fsmanage_handle, -1);
  EXPECT_TRUE(fake_log_contains("Cache Directory is max size Over."));
}

TEST_F(AgentSmallLimitTest, AnEntryWithoutASizeLeavesTheLimitWalksTotalAlone) {
  const fs::path dir = base / "Caches" / "FsCache";
  fs::create_directories(dir);
  ASSERT_EQ(::mkfifo((dir / "A000").string().c_str(), 0600), 0);  // listed, no file size
  for (const char* name : {"B", "C"}) std::ofstream((dir / name).string()) << std::string(0xA000, 'b');
  std::uint32_t coherent = 0, created = 0;
  ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 0);
  EXPECT_FALSE(fs::exists(dir / "A000"));
  EXPECT_FALSE(fs::exists(dir / "B"));  // 80 KiB was still over the 64 KiB limit
  EXPECT_TRUE(fs::exists(dir / "C"));
  EXPECT_TRUE(fs::exists(fsmanage_file()));
}

TEST_F(AgentTest, LocalCacheFileLifeCycle) {
  std::int32_t h = -1;
  std::uint32_t cache_err = 9;
  ASSERT_EQ(mdcudfsr_metacache_localfile_open(&mp, "20261209211500123", 3, &h, &cache_err), 0);
  EXPECT_EQ(cache_err, 0u);
  ASSERT_GT(h, 0);
  const char data[] = "0123456789";
  std::uint32_t n = 0;
  ASSERT_EQ(mdcudfsr_metacache_file_write(&mp, h, 5, 10, data, &n, &cache_err), 0);
  EXPECT_EQ(n, 10u);
  char back[32] = {};
  ASSERT_EQ(mdcudfsr_metacache_file_read(&mp, h, 0, 32, back, &n, &cache_err), 0);
  EXPECT_EQ(n, 15u);
  EXPECT_EQ(std::memcmp(back + 5, data, 10), 0);
  EXPECT_EQ(back[0], '\0');
  ASSERT_EQ(mdcudfsr_metacache_file_truncate(&mp, h, 8, &cache_err), 0);
  EXPECT_EQ(fs::file_size(base / "Caches" / "LocalCache" / "20261209211500123"), 8u);
  ASSERT_EQ(mdcudfsr_metacache_file_close(&mp, h), 0);
  ASSERT_EQ(mdcudfsr_metacache_file_delete(&mp, "20261209211500123", &cache_err), 0);
  EXPECT_FALSE(fs::exists(base / "Caches" / "LocalCache" / "20261209211500123"));
  // Deleting what is not there succeeds.
  EXPECT_EQ(mdcudfsr_metacache_file_delete(&mp, "20261209211500123", &cache_err), 0);
  EXPECT_EQ(cache_err, 0u);
}

TEST_F(AgentTest, RequestNamesCannotLeaveTheirDirectory) {
  struct Case { const char* name; bool ok; } cases[] = {
      {"../EFECache/0000002a", true}, {"plain", true},   {"", false},
      {"../escape", false},           {"/etc/x", false}, {"a/../../b", false},
      {"..", false},                  {"a\\b", false},   {"../EFECache/", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::int32_t h = -1;
    std::uint32_t cache_err = 9;
    const int r = mdcudfsr_metacache_localfile_open(&mp, c.name, 3, &h, &cache_err);
    if (c.ok) {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(cache_err, 0u);
      EXPECT_EQ(mdcudfsr_metacache_file_close(&mp, h), 0);
    } else {
      EXPECT_EQ(r, 22);
    }
  }
  EXPECT_TRUE(fs::exists(base / "Caches" / "EFECache" / "0000002a"));
  EXPECT_FALSE(fs::exists(base / "Caches" / "escape"));
}

TEST_F(AgentTest, EfeOpenIsRefused) {
  std::int32_t h = 0;
  std::uint32_t cache_err = 0;
  EXPECT_EQ(mdcudfsr_metacache_efefile_open(&mp, "../EFECache/00000001", 1, &h, &cache_err), 22);
}

TEST_F(AgentTest, InvalidHandleAndDeadHandleFailWithoutTouchingFiles) {
  char buf[8];
  std::uint32_t n = 0, cache_err = 0;
  EXPECT_NE(mdcudfsr_metacache_file_read(&mp, -1, 0, 8, buf, &n, &cache_err), 0);
  EXPECT_NE(mdcudfsr_metacache_file_write(&mp, -1, 0, 8, buf, &n, &cache_err), 0);
  EXPECT_NE(mdcudfsr_metacache_file_truncate(&mp, -1, 0, &cache_err), 0);
  EXPECT_NE(mdcudfsr_metacache_file_read(&mp, 4242, 0, 8, buf, &n, &cache_err), 0);
}

TEST_F(AgentTest, WritesGoInPiecesOfEightMebibytes) {
  std::int32_t h = -1;
  std::uint32_t cache_err = 0, n = 0;
  ASSERT_EQ(mdcudfsr_metacache_localfile_open(&mp, "big", 3, &h, &cache_err), 0);
  fake_log_clear();
  ASSERT_EQ(mdcudfsr_metacache_file_write(&mp, h, 0, 0, nullptr, &n, &cache_err), 0);
  EXPECT_EQ(count_lines("Requested reqid=21 "), 0);
  std::vector<std::uint8_t> data(0x800001);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_EQ(mdcudfsr_metacache_file_write(&mp, h, 0x1000, static_cast<std::uint32_t>(data.size()), data.data(), &n,
                                          &cache_err), 0);
  EXPECT_EQ(n, 0x800001u);
  EXPECT_EQ(count_lines("Requested reqid=21 "), 2);
  ASSERT_EQ(mdcudfsr_metacache_file_close(&mp, h), 0);
  const auto img = read_file(base / "Caches" / "LocalCache" / "big");
  ASSERT_EQ(img.size(), 0x1000u + data.size());
  EXPECT_EQ(std::memcmp(img.data() + 0x1000, data.data(), data.size()), 0);
}

TEST_F(AgentTest, ReadAnswerIsBoundedByThePieceAndByTheFile) {
  std::int32_t h = -1;
  std::uint32_t cache_err = 0, n = 0;
  ASSERT_EQ(mdcudfsr_metacache_localfile_open(&mp, "rd", 3, &h, &cache_err), 0);
  const char data[] = "0123456789ABCDE";
  ASSERT_EQ(mdcudfsr_metacache_file_write(&mp, h, 0, 15, data, &n, &cache_err), 0);
  struct Case {
    const char* what;
    std::uint64_t offset;
    std::uint32_t length;
    std::int32_t error;
    std::uint32_t cache_err, got;
  } cases[] = {
      {"whole file", 0, 15, 0, 0, 15},
      {"a whole piece asked of a small file", 5, 0x800000, 0, 0, 10},
      {"past the end", 100, 64, 0, 0, 0},
      {"above the piece", 0, 0x800001, 22, 1, 0},
      {"8 + length wraps in 32 bits", 0, 0xFFFFFFF8u, 22, 1, 0},
      {"largest length", 0, 0xFFFFFFFFu, 22, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> p(16);
    put32(p.data(), static_cast<std::uint32_t>(h));
    put64(p.data() + 4, c.offset);
    put32(p.data() + 12, c.length);
    mdc_ans_t* a = exchange_raw(mp.metacachedev, MDC_REQ_FILE_READ, p);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->hdr.error, c.error);
    EXPECT_EQ(a->hdr.payload_size, 8 + c.got);
    EXPECT_EQ(get32(a->payload()), c.cache_err);
    EXPECT_EQ(get32(a->payload() + 4), c.got);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a->payload()) + 8, c.got), std::string(data).substr(std::min<std::uint64_t>(c.offset, 15), c.got));
    mdcudfsr_metacache_free_ans(mp.metacachedev, a);
  }
  EXPECT_EQ(mdcudfsr_metacache_file_close(&mp, h), 0);
}

TEST_F(AgentTest, NoFileIsOpenedWhenItsAnswerCannotBeAllocated) {
  CVFAMHandler22 handler;
  ASSERT_EQ(handler.OnMount(), 0);
  struct Case {
    const char* what;
    std::uint32_t payload, answer;
    CVFAMObject22::DispatchEntry entry;
    fs::path file;
  } cases[] = {
      {"local cache", 55, 12, &CVFAMObject22::DispatchOpenLocalMetaCache, base / "Caches" / "LocalCache" / "LEAK"},
      {"fs management cache", 168, 20, &CVFAMObject22::DispatchOpenFsManageCache, fsmanage_file("LEAK")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> req(sizeof(mdc_req_header_t) + c.payload, 0);
    put32(req.data() + 8, c.payload);
    std::memcpy(req.data() + sizeof(mdc_req_header_t), "LEAK", 4);
    const std::size_t handles = kelagent::FsCacheHandleMap_size();
    std::vector<std::uint8_t> answer;
    fail_next_allocation_of(sizeof(mdc_ans_header_t) + c.answer);
    EXPECT_EQ(handler.Serve(c.entry, req.data(), &answer), 12);
    fail_next_allocation_of(0);
    EXPECT_TRUE(answer.empty());
    EXPECT_EQ(kelagent::FsCacheHandleMap_size(), handles);
    EXPECT_FALSE(fs::exists(c.file));
  }
}

// A handler that fails by throwing, as a file-system call without an error
// code does.
class ThrowingHandler : public CVFAMHandler22 {
 public:
  int OnDeleteMetaCache(const char*, std::uint32_t*) override {
    throw fs::filesystem_error("is_directory", fs::path("x"),
                               boost::system::error_code(EACCES, boost::system::generic_category()));
  }
};

TEST(AgentServe, AHandlerThatThrowsFailsOneRequestAndTheAgentGoesOn) {
  fake_log_clear();
  const fs::path root = fs::temp_directory_path() / fs::unique_path("kelagent-%%%%-%%%%");
  fake_config_set((root / "KELFS").string(), 0x20000);
  mdcudfsr_metacache_init();
  mdcudfsr_mount mp;
  mp.metacachedev = mdcudfsr_metacache_alloc(&mp);
  ASSERT_NE(mp.metacachedev, nullptr);
  std::vector<std::string> args = {"KelDriver", "/dev/sd1A", root.string()};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(), nullptr};
  ThrowingHandler handler;
  std::atomic<int> started{-1};
  std::thread agent([&] { started = handler.Start(3, argv); });
  if (!settles([&] { return mp.cache_agent_opened == 1; })) {
    ADD_FAILURE() << "the agent never opened the channel";
    agent.detach();
    return;
  }
  std::uint32_t cache_err = 0;
  for (int round = 0; round < 2; ++round) EXPECT_EQ(mdcudfsr_metacache_file_delete(&mp, "x", &cache_err), 5);
  EXPECT_TRUE(fake_log_contains("agent: catch exception filesystem_error=13"));
  std::int32_t h = -1;
  EXPECT_EQ(mdcudfsr_metacache_localfile_open(&mp, "after", 3, &h, &cache_err), 0);  // still served
  EXPECT_EQ(mdcudfsr_metacache_file_close(&mp, h), 0);
  ASSERT_EQ(mdcudfsr_metacache_mark_will_free(mp.metacachedev), 0);
  ASSERT_EQ(mdcudfsr_metacache_unmount(&mp), 0);
  agent.join();
  EXPECT_EQ(started.load(), 0);
  mdcudfsr_metacache_free(mp.metacachedev);
  fs::remove_all(root);
}

TEST_F(AgentTest, UnknownRequestIsAnsweredWith22) {
  mdc_channel* ch = mp.metacachedev;
  mdc_req_t* r = mdcudfsr_metacache_alloc_req(ch, 4);
  r->hdr.req_id = 28;
  const auto seq = static_cast<std::int32_t>(r->hdr.seq_id);
  ASSERT_EQ(mdcudfsr_metacache_send_req(ch, r, nullptr), 0);
  mdc_ans_t* a = nullptr;
  ASSERT_EQ(mdcudfsr_metacache_wait_ans(ch, seq, &a), 0);
  EXPECT_EQ(a->hdr.error, 22);
  EXPECT_EQ(a->hdr.req_id, 28u);
  mdcudfsr_metacache_free_ans(ch, a);
}

TEST_F(AgentTest, RequestWithTooShortPayloadIsRefused) {
  mdc_channel* ch = mp.metacachedev;
  mdc_req_t* r = mdcudfsr_metacache_alloc_req(ch, 4);  // a read needs 16 bytes
  r->hdr.req_id = MDC_REQ_FILE_READ;
  const auto seq = static_cast<std::int32_t>(r->hdr.seq_id);
  ASSERT_EQ(mdcudfsr_metacache_send_req(ch, r, nullptr), 0);
  mdc_ans_t* a = nullptr;
  ASSERT_EQ(mdcudfsr_metacache_wait_ans(ch, seq, &a), 0);
  EXPECT_EQ(a->hdr.error, 22);
  mdcudfsr_metacache_free_ans(ch, a);
}

TEST_F(AgentTest, WriteOnceMediaInformationRoundTrip) {
  std::uint32_t coherent = 0, created = 0;
  ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 0);
  ASSERT_EQ(mdcudfsr_metacache_write_mediainfo(&mp, nullptr), 0);
  const auto img = read_file(fsmanage_file());
  ASSERT_EQ(img.size(), 0x100000u);
  const std::uint8_t* p = img.data() + 0x60000;
  EXPECT_STREQ(reinterpret_cast<const char*>(p), "RDI_0");
  EXPECT_EQ(get32(p + 8), 40u);
  EXPECT_EQ(get32(p + 12), 0u);       // type word
  EXPECT_EQ(get32(p + 12 + 36), 0u);  // read from the drive
  EXPECT_EQ(p[12 + 4], fake().disc_info[0][4]);
  EXPECT_STREQ(reinterpret_cast<const char*>(p + 104), "RDI_2");
  EXPECT_STREQ(reinterpret_cast<const char*>(p + 156), "RTI_0");
  EXPECT_EQ(get32(p + 156 + 12), 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(p + 228), "RTI_1");
  EXPECT_STREQ(reinterpret_cast<const char*>(p + 300), "ORD");
  EXPECT_EQ(get32(p + 308), 2u);
  EXPECT_EQ(p[312], 0x12);
  EXPECT_EQ(p[313], 0x34);
  EXPECT_EQ(p[314], 0);

  ASSERT_EQ(mdcudfsr_metacache_read_mediainfo(&mp, nullptr), 0);
  ASSERT_EQ(fake().disc_back.size(), 3u);
  ASSERT_EQ(fake().track_back.size(), 2u);
  ASSERT_EQ(fake().opc_back.size(), 1u);
  for (std::uint32_t t = 0; t < 3; ++t) {
    EXPECT_EQ(get32(fake().disc_back[t].data()), t);
    EXPECT_EQ(get32(fake().disc_back[t].data() + 36), 1u);  // from the cache
    EXPECT_EQ(fake().disc_back[t][4], fake().disc_info[t][4]);
  }
  EXPECT_EQ(get32(fake().track_back[1].data()), 2u);
  EXPECT_EQ(get32(fake().track_back[1].data() + 56), 1u);
  EXPECT_EQ(fake().opc_back[0][1], 0x34);
}

TEST_F(AgentTest, MissingOpcRecordFailsTheCheckAndDeletesTheCache) {
  std::uint32_t coherent = 0, created = 0;
  ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 0);
  std::uint8_t rec[72];
  std::uint32_t w = 0, pos = 0;
  for (std::uint32_t t = 0; t < 3; ++t, pos += 52) ASSERT_EQ(mdcudfsr_metacache_write_discinfo(&mp, t, pos, rec, &w, nullptr), 0);
  for (std::uint32_t t = 1; t <= 2; ++t, pos += 72) ASSERT_EQ(mdcudfsr_metacache_write_trackinfo(&mp, t, pos, rec, &w, nullptr), 0);
  EXPECT_EQ(mdcudfsr_metacache_read_mediainfo(&mp, nullptr), 22);
  EXPECT_EQ(mp.fsmanage_handle, -1);
  EXPECT_FALSE(fs::exists(fsmanage_file()));
  EXPECT_TRUE(fake_log_contains("chkflg=0x001f expect=0x021f"));
}

TEST_F(AgentTest, OversizedRecordLengthIsTreatedAsDamage) {
  std::uint32_t coherent = 0, created = 0;
  ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 0);
  ASSERT_EQ(mdcudfsr_metacache_write_mediainfo(&mp, nullptr), 0);
  // A disc-information record claiming 4000 bytes would overrun the
  // drive layer's 40-byte record.
  std::uint8_t bad[4] = {0xA0, 0x0F, 0, 0};
  std::uint32_t n = 0, cache_err = 0;
  ASSERT_EQ(mdcudfsr_metacache_file_write(&mp, mp.fsmanage_handle, 0x60000 + 8, 4, bad, &n, &cache_err), 0);
  EXPECT_EQ(mdcudfsr_metacache_read_mediainfo(&mp, nullptr), 22);
  EXPECT_TRUE(fake().disc_back.empty());
  EXPECT_FALSE(fs::exists(fsmanage_file()));
}

TEST_F(AgentTest, RewritableMediaInformationCarriesTheDefectBitmap) {
  mp.is_rewritable = 1;
  std::uint32_t coherent = 0, created = 0;
  ASSERT_EQ(mdcudfsr_metacache_fsmanage_open(&mp, nullptr, &coherent, &created), 0);
  ASSERT_EQ(mdcudfsr_metacache_write_mediainfo(&mp, nullptr), 0);
  const auto img = read_file(fsmanage_file());
  EXPECT_STREQ(reinterpret_cast<const char*>(img.data() + 0x60000), "RDS_12");
  EXPECT_EQ(get32(img.data() + 0x60008), 0x40000u);
  ASSERT_EQ(mdcudfsr_metacache_read_mediainfo(&mp, nullptr), 0);
  ASSERT_EQ(fake().defect_back.size(), 1u);
  EXPECT_EQ(fake().defect_back[0], fake().defect_bitmap);
}

// The marking of the real bitmap is in real_agent_test.cpp. Here a marking
// that would fail (the real one never does) shows that a read beyond the
// bitmap asks for none.
TEST_F(AgentTest, ReadsBeyondTheReadCacheBitmapAskForNoMarking) {
  std::int32_t h = -1;
  std::uint32_t cache_err = 0, n = 0;
  ASSERT_EQ(mdcudfsr_metacache_localfile_open(&mp, "rc", 3, &h, &cache_err), 0);
  std::uint8_t bitmap[16] = {};
  mp.read_cache = 1;
  mp.read_cache_bitmap = bitmap;
  mp.read_cache_bitmap_blocks = 100;
  char buf[16];
  ASSERT_EQ(mdcudfsr_metacache_file_read(&mp, h, 2048 * 3, 16, buf, &n, &cache_err), 0);
  fake().bitmap_result = 5;
  EXPECT_EQ(mdcudfsr_metacache_file_read(&mp, h, 2048 * 101, 16, buf, &n, &cache_err), 0);  // beyond: not marked
  ASSERT_EQ(fake().bitmap_calls.size(), 1u);
  EXPECT_EQ(fake().bitmap_calls[0].first, 2048u * 3);
  mp.read_cache_bitmap = nullptr;
  EXPECT_EQ(mdcudfsr_metacache_file_close(&mp, h), 0);
}

TEST(AgentStart, TooFewArgumentsFailWithoutTouchingTheChannel) {
  mdcudfsr_metacache_init();
  CVFAMHandler22 handler;
  std::string a0 = "KelDriver", a1 = "/dev/sd1";
  char* argv[] = {a0.data(), a1.data(), nullptr};
  EXPECT_EQ(handler.Start(2, argv), 22);
  EXPECT_TRUE(fake_log_contains("invalid arg , optind=1, argc=2"));
  EXPECT_EQ(mdcudfsr_metacache_channel()->status, METACACHE_UNINIT);
}

TEST(AgentStart, OptionsBeforeTheArgumentsAreSkipped) {
  // With no channel allocated the open would block; a command line without
  // the cookie fails before it.
  mdcudfsr_metacache_init();
  CVFAMHandler22 handler;
  std::string a0 = "KelDriver", a1 = "-L", a2 = "5", a3 = "-S", a4 = "/dev/sd1";
  char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), a4.data(), nullptr};
  EXPECT_EQ(handler.Start(5, argv), 22);
  EXPECT_TRUE(fake_log_contains("invalid arg , optind=4, argc=5"));
}

TEST(AgentStop, TheAgentOfAFailedMountEndsWithoutTakingALaterChannel) {
  // Stopped while it waits for the allocation, or before it got there.
  for (const bool blocked_first : {true, false}) {
    SCOPED_TRACE(blocked_first ? "waiting" : "not there yet");
    fake_log_clear();
    mdcudfsr_metacache_init();
    std::vector<std::string> args = {"KelDriver", "/dev/sd1A", "/tmp"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), nullptr};
    ASSERT_NE(FsCacheAgent_main_func(3, argv), 0u);
    if (blocked_first) {
      ASSERT_TRUE(settles([] { return mdcudfsr_metacache_open_waiters() == 1; }));
    }
    FsCacheAgent_stop_unopened();
    ASSERT_TRUE(settles([] { return fake_log_contains("handler22.Start return 6..."); }));
    mdcudfsr_mount mp;
    mdc_channel* ch = mdcudfsr_metacache_alloc(&mp);
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(mdcudfsr_metacache_open_waiters(), 0u);
    EXPECT_EQ(mdcudfsr_metacache_is_opened(ch), 0u);
    EXPECT_EQ(mp.cache_agent_opened, 0);
    mdcudfsr_metacache_free(ch);
  }
}

TEST(MetacacheHelpers, SerialTrimAndCoherencyCounter) {
  char serial[32];
  std::memcpy(serial, "XYZ", 3);
  std::memset(serial + 3, ' ', 29);
  mdcudfsr_metacache_trim_serial(serial);
  EXPECT_STREQ(serial, "XYZ");
  char blank[32] = {};
  blank[5] = ' ';
  mdcudfsr_metacache_trim_serial(blank);  // first byte NUL: left alone
  EXPECT_EQ(blank[5], ' ');

  std::uint8_t rec[480] = {};
  rec[361] = 0xFF;
  rec[362] = 0xFF;
  rec[363] = 0x00;
  mdcudfsr_metacache_bump_coherency(rec);
  EXPECT_EQ(rec[361], 0);
  EXPECT_EQ(rec[362], 0);
  EXPECT_EQ(rec[363], 1);
}

// The update reads the mount's copy of the cartridge memory, which the real
// routine never fails to give: that failure is the stand-in's
// (real_agent_test.cpp has the update on the real routines).
TEST(MetacacheCoherency, AFailedRecordReadWritesNothing) {
  fake().reset();
  mdcudfsr_mount mp;
  fake().read_attr_err = 5;
  EXPECT_EQ(mdcudfsr_metacache_update_coherent(&mp, nullptr), 5);
  EXPECT_EQ(fake().write_attr_calls, 0);
}

TEST(MetacacheArguments, BadArgumentsFailWithoutARequest) {
  fake().reset();
  mdcudfsr_mount mp;  // no channel: any request would fail with 12
  std::uint8_t rec[72];
  std::uint32_t w = 0;
  EXPECT_EQ(mdcudfsr_metacache_write_trackinfo(&mp, 0, 0, rec, &w, nullptr), 22);
  EXPECT_EQ(mdcudfsr_metacache_write_trackinfo(&mp, 3, 0, rec, &w, nullptr), 22);
  EXPECT_EQ(mdcudfsr_metacache_write_discinfo(&mp, 3, 0, rec, &w, nullptr), 22);
  EXPECT_EQ(mdcudfsr_metacache_write_discinfo(&mp, 0, 0, nullptr, &w, nullptr), 22);
  EXPECT_EQ(mdcudfsr_metacache_file_close(nullptr, 1), 22);
  EXPECT_TRUE(fake().ioctl_codes.empty());
  std::uint32_t ce = 0;
  EXPECT_EQ(mdcudfsr_metacache_file_delete(&mp, "x", &ce), 12);
}

}  // namespace
