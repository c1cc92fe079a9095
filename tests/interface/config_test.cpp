#include "kel/config.h"

#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

class Config : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelcfgXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("KEL_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
    kel::ResetConfigCache();
    kel::SetConfigCacheDirectory("/var/cache/kel");
  }
  void TearDown() override {
    kel::ResetConfigCache();
    unsetenv("KEL_REGISTRY");
    fs::remove_all(dir_);
  }

  // Puts a value into HKLM "Software\Quorvel\Stravo\KELFS" of one view.
  static void put(const char* name, DWORD type, const void* data, DWORD size, bool view32 = false) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Stravo\\KELFS", 0, nullptr, 0,
                              KEY_ALL_ACCESS | (view32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY), nullptr, &k,
                              nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(k, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
    RegCloseKey(k);
  }
  static void put_dword(const char* name, DWORD v, bool view32 = false) { put(name, REG_DWORD, &v, 4, view32); }
  static void put_string(const char* name, const std::string& s, bool view32 = false) {
    put(name, REG_SZ, s.c_str(), static_cast<DWORD>(s.size() + 1), view32);
  }
  static std::string get_string(const char* name, int* result = nullptr) {
    char buf[4096] = {};
    int size = sizeof buf;
    const int r = config_get_string(0, name, &size, buf);
    if (result) *result = r;
    return r < 0 ? "<" + std::to_string(r) + ">" : std::string(buf);
  }

  std::string dir_;
};

TEST_F(Config, RegistryBeatsSetValueBeatsDefault) {
  int written = 0;
  // Default only.
  EXPECT_EQ(getConfigLong("Max Write Retry R", 77), 9u);
  // A set value hides the default.
  config_set_uint32(0, nullptr, "Max Write Retry R", 5, &written);
  EXPECT_EQ(written, 4);
  EXPECT_EQ(getConfigLong("Max Write Retry R", 77), 5u);
  // The registry hides both; the cached absence of a name read earlier stays.
  put_dword("Verify On Write", 0);
  config_set_uint32(0, nullptr, "Verify On Write", 2, &written);
  EXPECT_EQ(getConfigLong("Verify On Write", 77), 0u);
  put_dword("Max Write Retry R", 3);
  EXPECT_EQ(getConfigLong("Max Write Retry R", 77), 5u) << "absence was cached at the first read";
  kel::ResetConfigCache();
  EXPECT_EQ(getConfigLong("Max Write Retry R", 77), 3u);
  config_set_uint32(0, nullptr, "Max Write Retry R", 5, &written);
  EXPECT_EQ(getConfigLong("Max Write Retry R", 77), 3u) << "a name the registry holds keeps its value";
  // A name nobody knows takes the caller's default.
  EXPECT_EQ(getConfigLong("No Such Value", 77), 77u);
  EXPECT_EQ(getGnrcConfigValue32("ignored", "No Such Value", 78), 78u);
  // A set value of another type replaces the previous one.
  config_set_string(0, nullptr, "Later", "text", &written);
  EXPECT_EQ(written, 5);
  config_set_uint8(0, nullptr, "Later", 9, &written);
  EXPECT_EQ(written, 1);
  EXPECT_EQ(getConfigLong("Later", 0), 9u);
  EXPECT_EQ(get_string("Later"), "<-1>");
}

TEST_F(Config, RegistryIsReadOncePerName) {
  put_dword("Logging Level", 4);
  EXPECT_EQ(getConfigLong("Logging Level", 0), 4u);
  put_dword("Logging Level", 6);
  EXPECT_EQ(getConfigLong("Logging Level", 0), 4u);
}

TEST_F(Config, ThirtyTwoBitViewOnlyWhenTheKeyIsMissing) {
  put_dword("A", 32, true);
  put_dword("B", 32, true);
  EXPECT_EQ(getConfigLong("A", 0), 32u);
  // Once the key exists in the 64-bit view, the 32-bit view is not asked.
  put_dword("A", 64);
  kel::ResetConfigCache();
  EXPECT_EQ(getConfigLong("A", 0), 64u);
  EXPECT_EQ(getConfigLong("B", 0), 0u);
}

TEST_F(Config, TypesAreKept) {
  put_dword("Dword256", 256);
  put_dword("Dword1", 1);
  put_string("Text", "hello");
  put_string("Hex", "0a ff 10");
  const std::uint8_t q[8] = {1};
  put("Qword", REG_QWORD, q, 8);
  put("Binary", REG_BINARY, q, 2);
  put("Expand", REG_EXPAND_SZ, "a\0b\0\0\0", 6);

  std::uint8_t bytes[8] = {};
  std::uint32_t bsize = sizeof bytes;
  EXPECT_EQ(config_get_binary(0, "Dword256", &bsize, bytes), -1) << "a DWORD is not a string";
  EXPECT_FALSE(getConfigBinary("Dword256", true)) << "low byte of 256 is 0";
  EXPECT_TRUE(getConfigBinary("Dword1", false));
  std::uint8_t u8 = 0xEE;
  int size = 1;
  EXPECT_EQ(config_get_uint8(0, "Dword256", &size, &u8), 1);
  EXPECT_EQ(u8, 0);
  std::uint32_t u32 = 0;
  size = 4;
  EXPECT_EQ(config_get_uint32(0, "Dword256", &size, &u32), 4);
  EXPECT_EQ(u32, 256u);
  std::int32_t i32 = 0;
  EXPECT_EQ(config_get_long32(0, "Dword1", &size, &i32), 4);
  EXPECT_EQ(i32, 1);
  EXPECT_EQ(config_get_uint32(0, "Text", &size, &u32), -1) << "a string is not a number";
  EXPECT_EQ(config_get_uint8(0, "Text", &size, &u8), -1);
  EXPECT_EQ(getConfigLong("Text", 99), 99u);
  EXPECT_EQ(get_string("Dword1"), "<-1>");
  EXPECT_EQ(get_string("Text"), "hello");
  bsize = sizeof bytes;
  ASSERT_EQ(config_get_binary(0, "Hex", &bsize, bytes), 3);
  EXPECT_EQ(bytes[0], 0x0A);
  EXPECT_EQ(bytes[1], 0xFF);
  EXPECT_EQ(bytes[2], 0x10);
  // Other registry types count as absent: the default applies.
  for (const char* n : {"Qword", "Binary", "Expand"}) {
    EXPECT_EQ(getConfigLong(n, 42), 42u) << n;
    EXPECT_EQ(get_string(n), "<-1>") << n;
  }
}

TEST_F(Config, LongRegistryStringsReadAsAbsent) {
  put_string("Product Serial Number", std::string(2048, 'x'));
  put_string("Volume Name", std::string(2047, 'y'));
  EXPECT_EQ(get_string("Product Serial Number"), "0") << "the default applies";
  EXPECT_EQ(get_string("Volume Name"), std::string(2047, 'y'));
}

TEST_F(Config, GetStringSizeRules) {
  int written = 0;
  config_set_string(0, "section", "S", "abcde", &written);
  EXPECT_EQ(written, 6);
  char buf[16];
  struct Case {
    int size;
    int result;
    int size_after;
  } cases[] = {
      {5, -1, 6},  // exactly the length: too small, asks for length + 1
      {6, 5, 6},   // room for the NUL
      {16, 5, 16},
      {0, -1, 6},
  };
  for (const auto& c : cases) {
    std::memset(buf, '#', sizeof buf);
    int size = c.size;
    EXPECT_EQ(config_get_string(0, "S", &size, buf), c.result) << c.size;
    EXPECT_EQ(size, c.size_after) << c.size;
    if (c.result > 0) {
      EXPECT_STREQ(buf, "abcde");
    }
  }
  int size = 16;
  EXPECT_EQ(config_get_string(0, "Missing", &size, buf), -1);
  EXPECT_EQ(config_get_string(0, "S", nullptr, buf), -1);

  // The computed cache path: its length when it fits, else 0 and the size.
  const std::string path = "/var/cache/kel/KELFS";
  char big[64];
  size = sizeof big;
  EXPECT_EQ(config_get_string(0, "Fs Cache File Path", &size, big), static_cast<int>(path.size()));
  EXPECT_EQ(std::string(big), path);
  size = static_cast<int>(path.size());
  EXPECT_EQ(config_get_string(0, "Fs Cache File Path", &size, big), 0);
  EXPECT_EQ(size, static_cast<int>(path.size()) + 1);
}

TEST_F(Config, GetConfigStringFallsBackToTheDefault) {
  put_string("Empty", "");
  put_string("Six", "sixsix");
  put_dword("Num", 3);
  struct Case {
    const char* name;
    int size;
    const char* def;
    int result;
    const char* out;
  } cases[] = {
      {"Six", 16, "d", 0, "sixsix"},
      {"Six", 6, "d", 0, "d"},            // does not fit with its NUL
      {"Empty", 16, "dflt", 0, "dflt"},   // an empty value yields the default
      {"Num", 16, "dflt", 0, "dflt"},     // a number is not a string
      {"Missing", 16, "dflt", 0, "dflt"},
      {"Missing", 4, "default", 0, "def"},  // a long default is cut to the buffer
      {"Missing", 1, "default", 0, ""},
      {"Fs Cache File Path", 64, "d", 0, "/var/cache/kel/KELFS"},
      {"Fs Cache File Path", 8, "dflt", 0, "dflt"},
  };
  for (const auto& c : cases) {
    char buf[80];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(getConfigString(c.name, buf, c.size, c.def), c.result) << c.name << " " << c.size;
    EXPECT_STREQ(buf, c.out) << c.name << " " << c.size;
    EXPECT_EQ(buf[c.size], '#') << "nothing past the buffer";
  }
  char buf[8];
  EXPECT_EQ(getConfigString("Six", nullptr, 8, "d"), -1);
  EXPECT_EQ(getConfigString("Six", buf, 0, "d"), -1);
  EXPECT_EQ(getConfigString("Six", buf, 8, nullptr), -1);
}

TEST_F(Config, BinaryValuesAsText) {
  int written = 0;
  const std::uint8_t two[2] = {0x01, 0xAB};
  config_set_binary(0, nullptr, "Bin", two, 2, &written);
  EXPECT_EQ(written, 6);
  EXPECT_EQ(get_string("Bin"), "01 AB");
  std::uint8_t out[8] = {};
  std::uint32_t size = sizeof out;
  EXPECT_EQ(config_get_binary(0, "Bin", &size, out), 2);
  EXPECT_EQ(out[0], 0x01);
  EXPECT_EQ(out[1], 0xAB);
  size = 1;
  out[1] = 0;
  EXPECT_EQ(config_get_binary(0, "Bin", &size, out), 1) << "never more than the size";
  EXPECT_EQ(out[1], 0);

  // No bytes: an empty string, read back as no bytes.
  config_set_binary(0, nullptr, "Empty", two, 0, &written);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(get_string("Empty"), "");
  size = sizeof out;
  EXPECT_EQ(config_get_binary(0, "Empty", &size, out), 0);

  // The default medium identifier.
  std::memset(out, 0xFF, sizeof out);
  size = 32;
  std::uint8_t id[32];
  std::memset(id, 0xFF, sizeof id);
  EXPECT_EQ(config_get_binary(0, "Medium Unique ID", &size, id), 4);
  EXPECT_EQ(id[0] | id[1] | id[2] | id[3], 0);
  EXPECT_EQ(id[4], 0xFF);
  size = sizeof out;
  EXPECT_EQ(config_get_binary(0, "Mount Status", &size, out), -1);
  EXPECT_EQ(config_get_binary(0, "Missing", &size, out), -1);
}

TEST_F(Config, DefaultTable) {
  struct Row {
    const char* name;
    kel::ConfigType type;
    std::uint32_t number;
    const char* text;
  };
  const Row rows[] = {
      {"Scsi Device", kel::kConfigString, 0, "sg0"},
      {"Drive Type", kel::kConfigString, 0, "normal"},
      {"Mount Status", kel::kConfigU32, 0, nullptr},
      {"Write Protect Reason", kel::kConfigU32, 0, nullptr},
      {"Access Mode", kel::kConfigU32, 0, nullptr},
      {"Medium Type", kel::kConfigU8, 0, nullptr},
      {"Volume Status", kel::kConfigU8, 0, nullptr},
      {"Information Version", kel::kConfigU8, 0, nullptr},
      {"Mount Point", kel::kConfigString, 0, ""},
      {"Volume Name", kel::kConfigString, 0, ""},
      {"Default Fs Flush Policy", kel::kConfigU8, 1, nullptr},
      {"Generate Parity", kel::kConfigU8, 0, nullptr},
      {"Medium Condition", kel::kConfigU32, 0, nullptr},
      {"Medium Presence", kel::kConfigU32, 0, nullptr},
      {"Media Status", kel::kConfigU8, 0, nullptr},
      {"Logging Level", kel::kConfigU32, 0, nullptr},
      {"Zone Information", kel::kConfigU8, 0, nullptr},
      {"Current Slot", kel::kConfigU8, 0, nullptr},
      {"Last Written Slot", kel::kConfigU8, 0, nullptr},
      {"Unmount", kel::kConfigU8, 0, nullptr},
      {"Product Serial Number", kel::kConfigString, 0, "0"},
      {"Medium Unique ID", kel::kConfigString, 0, "00 00 00 00"},
      {"Rollback Slot Number", kel::kConfigU32, 0, nullptr},
      {"Rollback Metadata FE LSN", kel::kConfigU32, 0, nullptr},
      {"Rollback FSD LSN", kel::kConfigU32, 0, nullptr},
      {"Disc Change Threshold", kel::kConfigU32, 0, nullptr},
      {"Verify On Write", kel::kConfigU32, 1, nullptr},
      {"RE Reformat", kel::kConfigU32, 0, nullptr},
      {"Before Access Mode", kel::kConfigU32, 0, nullptr},
      {"1500H_FAILREAD_OR_CRC", kel::kConfigU8, 0, nullptr},
      {"Volume Type", kel::kConfigU8, 0, nullptr},
      {"Max Fs Mata Flg", kel::kConfigU32, 1000, nullptr},
      {"Rec Inhibit", kel::kConfigU32, 0, nullptr},
      {"Fs Cache File Path", kel::kConfigComputed, 0, "/var/cache/kel/KELFS"},
      {"LmtFsCchTtlBlks", kel::kConfigU32, 131072, nullptr},
      {"Max Write Retry R", kel::kConfigU32, 9, nullptr},
      {"Disc Span Threshold", kel::kConfigU32, 0, nullptr},
      {"Disc Span Inhibit", kel::kConfigU8, 0, nullptr},
      {"Write Buffer MB", kel::kConfigU32, 0, nullptr},
  };
  const kel::ConfigDefault* d = kel::ConfigDefaults();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_NE(d->type, kel::kConfigAbsent) << "table ends early";
    EXPECT_STREQ(d->name, row.name);
    EXPECT_EQ(d->type, row.type);
    ++d;
    // Through the interface, with the caller's default never used.
    if (row.type == kel::kConfigU32 || row.type == kel::kConfigU8) {
      EXPECT_EQ(getConfigLong(row.name, 0xBAD), row.number);
      std::uint8_t b = 0xEE;
      int size = 1;
      EXPECT_EQ(config_get_uint8(0, row.name, &size, &b), 1);
      EXPECT_EQ(b, static_cast<std::uint8_t>(row.number));
    } else {
      EXPECT_EQ(get_string(row.name), row.text);
    }
  }
  EXPECT_EQ(d->type, kel::kConfigAbsent) << "no rows beyond the table";
  EXPECT_EQ(getConfigLong("scsi device", 0xBAD), 0xBADu) << "names are compared with case";
}

TEST_F(Config, StubsAndDamagedRegistry) {
  EXPECT_EQ(config_create("x"), -1);
  EXPECT_EQ(config_open_sgdev("sg0"), -1);
  EXPECT_EQ(config_set_default(1), 0);
  config_close(1);
  ConfigInitial(1, nullptr);
  ConfigLock();
  ConfigUnlock();
  set_sg_num(3);
  // A damaged registry file reads as absent values; the defaults apply and
  // the file stays as it was.
  const std::string path = dir_ + "/registry.reg";
  std::ofstream(path) << "not a registry\n";
  EXPECT_EQ(getConfigLong("Max Write Retry R", 0), 9u);
  EXPECT_EQ(get_string("Drive Type"), "normal");
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "not a registry");
}

TEST_F(Config, ThreadsReadAndWriteAtOnce) {
  put_dword("R", 11);
  constexpr int kThreads = 8, kRounds = 200;
  std::vector<std::thread> threads;
  std::vector<int> bad(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &bad] {
      int written = 0;
      for (int i = 0; i < kRounds; ++i) {
        const std::string mine = "T" + std::to_string(t) + "_" + std::to_string(i % 10);
        config_set_string(0, nullptr, mine.c_str(), mine.c_str(), &written);
        char buf[32];
        int size = sizeof buf;
        if (config_get_string(0, mine.c_str(), &size, buf) < 0 || mine != buf) ++bad[t];
        if (getConfigLong("R", 0) != 11) ++bad[t];
        if (getConfigLong("Max Write Retry R", 0) != 9) ++bad[t];
        config_set_uint32(0, nullptr, "Shared", static_cast<std::uint32_t>(i), &written);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[t], 0) << t;
  EXPECT_EQ(getConfigLong("Shared", 0xBAD), static_cast<std::uint32_t>(kRounds - 1));
}

}  // namespace
