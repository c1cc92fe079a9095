#include "platform/codepage.h"
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelregXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/sub/registry.reg";  // the folder is created on first write
    setenv("KEL_REGISTRY", path_.c_str(), 1);
  }
  void TearDown() override {
    platform::registry_detail::before_rename = nullptr;
    unsetenv("KEL_REGISTRY");
    fs::remove_all(dir_);
  }

  std::string file_text() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void write_file(const std::string& text) const {
    fs::create_directories(fs::path(path_).parent_path());
    std::ofstream(path_, std::ios::binary) << text;
  }

  HKEY create(const char* sub, REGSAM sam = KEY_ALL_ACCESS, HKEY root = HKEY_LOCAL_MACHINE) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExA(root, sub, 0, nullptr, 0, sam, nullptr, &k, nullptr), ERROR_SUCCESS)
        << platform::registry_error_text();
    return k;
  }
  static LSTATUS set_dword(HKEY k, const char* name, DWORD v) {
    return RegSetValueExA(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
  }
  static DWORD get_dword(HKEY k, const char* name, LSTATUS* r = nullptr) {
    DWORD v = 0xDEADBEEF, size = 4, type = 0;
    LSTATUS rr = RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
    if (r) *r = rr;
    return v;
  }

  std::string dir_, path_;
};

std::vector<BYTE> wide_bytes(std::u16string s) {
  std::vector<BYTE> out;
  for (char16_t c : s) out.push_back(static_cast<BYTE>(c)), out.push_back(static_cast<BYTE>(c >> 8));
  return out;
}

TEST_F(Registry, EveryTypeRoundTripsThroughTheFile) {
  struct Case {
    const char* name;
    DWORD type;
    std::vector<BYTE> data;
    const char* in_file;  // how the value is written in the text
  };
  const std::vector<Case> cases = {
      {"Sz", REG_SZ, wide_bytes(u"a \"quoted\" C:\\dir \u00e9\U0001F600"s + u'\0'),
       "\"Sz\"=\"a \\\"quoted\\\" C:\\\\dir \xC3\xA9\xF0\x9F\x98\x80\""},
      {"SzNewline", REG_SZ, wide_bytes(u"two\nlines"s + u'\0'), "\"SzNewline\"=hex(1):74,00"},
      {"SzNoTerminator", REG_SZ, wide_bytes(u"ab"), "\"SzNoTerminator\"=hex(1):61,00,62,00"},
      {"Expand", REG_EXPAND_SZ, wide_bytes(u"%TEMP%\\x"s + u'\0'), "\"Expand\"=hex(2):25,00"},
      {"Dword", REG_DWORD, {0x2A, 0x01, 0x00, 0x80}, "\"Dword\"=dword:8000012a"},
      {"Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}, "\"Qword\"=hex(b):01,02,03,04,05,06,07,08"},
      {"Binary", REG_BINARY, {0x00, 0xFF, 0x10}, "\"Binary\"=hex:00,ff,10"},
      {"EmptyBinary", REG_BINARY, {}, "\"EmptyBinary\"=hex:"},
      {"Multi", REG_MULTI_SZ, wide_bytes(u"one\0two\0\0"s), "\"Multi\"=hex(7):6f,00"},
      {"", REG_SZ, wide_bytes(u"default"s + u'\0'), "@=\"default\""},
      {"Long", REG_BINARY, std::vector<BYTE>(300, 0xAB), "\"Long\"=hex:ab,ab"},
  };
  HKEY k = create("Software\\Kel\\Types");
  for (const auto& c : cases) {
    const std::u16string wname = platform::utf8_to_utf16(c.name);
    ASSERT_EQ(RegSetValueExW(k, wname.c_str(), 0, c.type, c.data.data(),
                             static_cast<DWORD>(c.data.size())),
              ERROR_SUCCESS)
        << c.name;
  }
  const std::string text = file_text();
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Kel\\Types]"), std::string::npos);
  EXPECT_NE(text.find("\\\n  ab,"), std::string::npos) << "long hex data is continued";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(text.find(c.in_file), std::string::npos) << text;
    const std::u16string wname = platform::utf8_to_utf16(c.name);
    DWORD type = 0, size = 1024;
    std::vector<BYTE> buf(size);
    ASSERT_EQ(RegQueryValueExW(k, wname.c_str(), nullptr, &type, buf.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    buf.resize(size);
    EXPECT_EQ(buf, c.data);
  }
  // The same file, edited by hand without a change, still reads the same.
  write_file(text + "; a comment\n");
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExA(k, "Long", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 300u);
  RegCloseKey(k);
}

TEST_F(Registry, NarrowFormsConvertStringsOnly) {
  HKEY k = create("Software\\Kel");
  const char text[] = "h\xC3\xA9llo";  // 6 bytes with the NUL, 5 characters
  ASSERT_EQ(RegSetValueExA(k, "S", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
            ERROR_SUCCESS);
  const char multi[] = "a\0bc\0";  // with the final NUL of the literal: a, bc, end
  ASSERT_EQ(RegSetValueExA(k, "M", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(multi), sizeof multi),
            ERROR_SUCCESS);
  ASSERT_EQ(set_dword(k, "D", 7), ERROR_SUCCESS);

  WCHAR w[16] = {};
  DWORD size = sizeof w, type = 0;
  ASSERT_EQ(RegQueryValueExW(k, u"S", nullptr, &type, reinterpret_cast<BYTE*>(w), &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(std::u16string(w), u"h\u00e9llo");

  char a[16] = {};
  size = sizeof a;
  ASSERT_EQ(RegQueryValueExA(k, "s", nullptr, &type, reinterpret_cast<BYTE*>(a), &size), ERROR_SUCCESS)
      << "value names ignore case";
  EXPECT_EQ(size, 7u);
  EXPECT_STREQ(a, text);

  size = sizeof a;
  ASSERT_EQ(RegQueryValueExA(k, "M", nullptr, &type, reinterpret_cast<BYTE*>(a), &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(std::string(a, size), std::string(multi, sizeof multi));
  size = sizeof w;
  ASSERT_EQ(RegQueryValueExW(k, u"M", nullptr, &type, reinterpret_cast<BYTE*>(w), &size), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(w, size / 2), u"a\0bc\0\0"s);

  LSTATUS r;
  EXPECT_EQ(get_dword(k, "D", &r), 7u);
  EXPECT_EQ(r, ERROR_SUCCESS);
  RegCloseKey(k);
}

TEST_F(Registry, SmallBufferReportsMoreDataAndTheSizeNeeded) {
  HKEY k = create("Software\\Kel");
  const BYTE data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  ASSERT_EQ(RegSetValueExA(k, "B", 0, REG_BINARY, data, sizeof data), ERROR_SUCCESS);
  BYTE buf[16] = {};
  DWORD type = 0, size = 4;
  EXPECT_EQ(RegQueryValueExA(k, "B", nullptr, &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(buf[0], 0) << "nothing copied on ERROR_MORE_DATA";
  size = 0;
  EXPECT_EQ(RegQueryValueExA(k, "B", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 10u);
  EXPECT_EQ(type, REG_BINARY);
  size = 10;
  EXPECT_EQ(RegQueryValueExA(k, "B", nullptr, nullptr, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(buf[9], 10);
  EXPECT_EQ(RegQueryValueExA(k, "B", nullptr, nullptr, buf, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(k, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(k);
}

TEST_F(Registry, ViewsAndRootsAreSeparate) {
  const char* sub = "Software\\Quorvel\\Stravo\\KELFS";
  HKEY k64 = create(sub, KEY_ALL_ACCESS | KEY_WOW64_64KEY);
  HKEY k32 = create(sub, KEY_ALL_ACCESS | KEY_WOW64_32KEY);
  HKEY kcu = create(sub, KEY_ALL_ACCESS, HKEY_CURRENT_USER);
  ASSERT_EQ(set_dword(k64, "V", 64), ERROR_SUCCESS);
  ASSERT_EQ(set_dword(k32, "V", 32), ERROR_SUCCESS);
  ASSERT_EQ(set_dword(kcu, "V", 1), ERROR_SUCCESS);
  EXPECT_EQ(get_dword(k64, "V"), 64u);
  EXPECT_EQ(get_dword(k32, "V"), 32u);
  EXPECT_EQ(get_dword(kcu, "V"), 1u);

  // The 32-bit view lives where a 64-bit reader sees it as WOW6432Node.
  HKEY wow = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\WOW6432Node\\Quorvel\\Stravo\\KELFS", 0,
                          KEY_READ, &wow),
            ERROR_SUCCESS);
  EXPECT_EQ(get_dword(wow, "V"), 32u);
  EXPECT_NE(file_text().find("[HKEY_LOCAL_MACHINE\\Software\\WOW6432Node\\Quorvel\\Stravo\\KELFS]"),
            std::string::npos);

  // A key only in one view is missing in the other.
  HKEY only = create("Software\\Only64", KEY_ALL_ACCESS | KEY_WOW64_64KEY);
  HKEY other = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Only64", 0, KEY_READ | KEY_WOW64_32KEY, &other),
            ERROR_FILE_NOT_FOUND);
  // A sub-key opened below a 32-bit key stays in the 32-bit view.
  HKEY stravo32 = nullptr, kelfs = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Quorvel\\Stravo", 0, KEY_READ | KEY_WOW64_32KEY,
                          &stravo32),
            ERROR_SUCCESS);
  ASSERT_EQ(RegOpenKeyExA(stravo32, "KELFS", 0, KEY_READ, &kelfs), ERROR_SUCCESS);
  EXPECT_EQ(get_dword(kelfs, "V"), 32u);
  for (HKEY h : {k64, k32, kcu, wow, only, stravo32, kelfs}) EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
}

TEST_F(Registry, EnumeratesSubKeysByNameAndValuesInOrder) {
  HKEY top = create("Software\\Enum");
  for (const char* s : {"beta", "Alpha", "gamma\\deep", "Beta2"}) RegCloseKey(create((std::string("Software\\Enum\\") + s).c_str()));
  std::vector<std::string> names;
  char name[64];
  for (DWORD i = 0;; ++i) {
    DWORD len = sizeof name;
    const LSTATUS r = RegEnumKeyExA(top, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(r, ERROR_SUCCESS);
    EXPECT_EQ(len, std::strlen(name));
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "Beta2", "gamma"}));
  DWORD len = 3;
  EXPECT_EQ(RegEnumKeyExA(top, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  WCHAR wname[8];
  len = 8;
  ASSERT_EQ(RegEnumKeyExW(top, 3, wname, &len, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(wname), u"gamma");

  ASSERT_EQ(set_dword(top, "z", 1), ERROR_SUCCESS);
  ASSERT_EQ(set_dword(top, "a", 2), ERROR_SUCCESS);
  ASSERT_EQ(set_dword(top, "Z", 3), ERROR_SUCCESS);  // replaces "z" in its place
  std::vector<std::pair<std::string, DWORD>> values;
  for (DWORD i = 0;; ++i) {
    DWORD nlen = sizeof name, type = 0, v = 0, size = 4;
    const LSTATUS r = RegEnumValueA(top, i, name, &nlen, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size);
    if (r == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(r, ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    values.emplace_back(name, v);
  }
  EXPECT_EQ(values, (std::vector<std::pair<std::string, DWORD>>{{"z", 3}, {"a", 2}}));
  DWORD nlen = sizeof name, size = 2, type = 0;
  BYTE small[2];
  EXPECT_EQ(RegEnumValueA(top, 0, name, &nlen, nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 4u);

  ASSERT_EQ(RegDeleteValueA(top, "Z"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(top, "z"), ERROR_FILE_NOT_FOUND);
  nlen = sizeof name;
  ASSERT_EQ(RegEnumValueA(top, 0, name, &nlen, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "a");
  RegCloseKey(top);
}

TEST_F(Registry, OpenCreateAndAccessRights) {
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Missing", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(path_)) << "reading creates no file";
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\A\\B", 0, nullptr, 0, KEY_READ, nullptr, &k, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
  EXPECT_EQ(set_dword(k, "V", 1), ERROR_ACCESS_DENIED) << "opened for reading";
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\a\\b", 0, nullptr, 0, KEY_WRITE, nullptr, &k, &disp),
            ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY) << "key names ignore case";
  EXPECT_EQ(set_dword(k, "V", 1), ERROR_SUCCESS);
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExA(k, "V", nullptr, nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  RegCloseKey(k);
  // Parents are real keys of their own.
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\A", 0, KEY_READ, &k), ERROR_SUCCESS);
  RegCloseKey(k);
  const std::string text = file_text();
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\A]\n"), std::string::npos);
  EXPECT_EQ(text.find("software\\a"), std::string::npos) << "existing spelling kept";
}

TEST_F(Registry, EveryCallReadsTheCurrentFile) {
  HKEY k = create("Software\\Live");
  ASSERT_EQ(set_dword(k, "V", 1), ERROR_SUCCESS);
  EXPECT_EQ(get_dword(k, "V"), 1u);
  const pid_t pid = fork();
  if (pid == 0) {
    HKEY c = nullptr;
    DWORD v = 2;
    const bool ok = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Live", 0, KEY_SET_VALUE, &c) == 0 &&
                    RegSetValueExA(c, "V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4) == 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(get_dword(k, "V"), 2u) << "the open handle sees the other process's change";
  // A person edits the file.
  std::string text = file_text();
  const auto pos = text.find("dword:00000002");
  ASSERT_NE(pos, std::string::npos);
  text.replace(pos, 14, "dword:00000003");
  write_file(text);
  EXPECT_EQ(get_dword(k, "V"), 3u);
  RegCloseKey(k);
}

TEST_F(Registry, TwoProcessesWritingAtOnceLoseNothing) {
  RegCloseKey(create("Software\\Race"));
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  constexpr int kPerProcess = 60;
  pid_t pids[2];
  for (int p = 0; p < 2; ++p) {
    pids[p] = fork();
    if (pids[p] == 0) {
      close(go[1]);
      char c;
      if (read(go[0], &c, 1) != 0) _exit(2);  // wait until the parent releases both
      HKEY k = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Race", 0, KEY_SET_VALUE, &k) != 0) _exit(3);
      for (int i = 0; i < kPerProcess; ++i) {
        const std::string name = std::string(p ? "B" : "A") + std::to_string(i);
        const DWORD v = static_cast<DWORD>(p * 1000 + i);
        if (RegSetValueExA(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) != 0) _exit(4);
        if (RegSetValueExA(k, "Shared", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) != 0) _exit(5);
      }
      _exit(0);
    }
  }
  close(go[0]);
  close(go[1]);  // both start now
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Race", 0, KEY_READ, &k), ERROR_SUCCESS)
      << platform::registry_error_text();
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kPerProcess; ++i) {
      const std::string name = std::string(p ? "B" : "A") + std::to_string(i);
      LSTATUS r;
      EXPECT_EQ(get_dword(k, name.c_str(), &r), static_cast<DWORD>(p * 1000 + i)) << name;
      EXPECT_EQ(r, ERROR_SUCCESS) << name;
    }
  }
  const DWORD shared = get_dword(k, "Shared");
  EXPECT_TRUE(shared == kPerProcess - 1 || shared == 1000 + kPerProcess - 1) << shared;
  RegCloseKey(k);
}

TEST_F(Registry, CrashBetweenWriteAndRenameKeepsTheOldFile) {
  HKEY k = create("Software\\Crash");
  ASSERT_EQ(set_dword(k, "V", 1), ERROR_SUCCESS);
  const std::string before = file_text();
  const pid_t pid = fork();
  if (pid == 0) {
    platform::registry_detail::before_rename = [](const char*) { _exit(7); };
    DWORD v = 2;
    RegSetValueExA(k, "V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 7) << "the child died before the rename";
  EXPECT_TRUE(fs::exists(path_ + ".tmp")) << "the half-done change is left aside";
  EXPECT_EQ(file_text(), before);
  EXPECT_EQ(get_dword(k, "V"), 1u);
  // The dead writer's lock is gone: the next change goes through.
  ASSERT_EQ(set_dword(k, "W", 5), ERROR_SUCCESS);
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
  EXPECT_EQ(get_dword(k, "V"), 1u);
  EXPECT_EQ(get_dword(k, "W"), 5u);
  RegCloseKey(k);
}

TEST_F(Registry, DamagedFileGivesAClearErrorAndIsNeverOverwritten) {
  const std::string head = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\X]\n";
  struct Case {
    std::string text;
    int line;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"[HKEY_LOCAL_MACHINE\\Software\\X]\n", 1, "does not start with"},
      {head + "\"V\"=dword:xyz\n", 4, "dword"},
      {head + "\"V\"=dword:123456789\n", 4, "dword"},
      {head + "\"V\"=hex:01,zz\n", 4, "hex"},
      {head + "\"V\"=hex:01,\\\n", 4, "past the end"},
      {head + "\"V\"=\"unterminated\n", 4, "closing quote"},
      {head + "\"V\"=\"C:\\dir\"\n", 4, "escape"},
      {head + "\"V\"=\"a\" trailing\n", 4, "after the closing quote"},
      {head + "\"V\"=-\n", 4, "deletion"},
      {head + "\"V\" dword:1\n", 4, "'='"},
      {head + "garbage\n", 4, "unexpected text"},
      {head + "[HKEY_LOCAL_MACHINE\\Software\\Y\n", 4, "']'"},
      {head + "[HKEY_NOWHERE\\Y]\n", 4, "unknown root"},
      {head + "[-HKEY_LOCAL_MACHINE\\Software\\Y]\n", 4, "key deletion"},
      {head + "[HKEY_LOCAL_MACHINE\\Software\\]\n", 4, "bad key path"},
      {head + "\"V\"=hex(zz):01\n", 4, "hex(type)"},
      {head + "\"V\"=hex01\n", 4, "':' expected after hex"},
      {head + "\"V\"=word:1\n", 4, "unknown value data"},
      {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE]\n\"V\"=dword:1\n", 3, "directly under a root"},
      {"Windows Registry Editor Version 5.00\n\"V\"=dword:1\n", 2, "before the first key"},
      {std::string("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\S]\n\"V\"=\"\xC3\"\n"), 3,
       "UTF-8"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    write_file(c.text);
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\X", 0, KEY_ALL_ACCESS, &k), ERROR_REGISTRY_CORRUPT);
    const std::string why = platform::registry_error_text();
    EXPECT_NE(why.find(path_), std::string::npos) << why;
    EXPECT_NE(why.find("line " + std::to_string(c.line) + ":"), std::string::npos) << why;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                              nullptr),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(file_text(), c.text) << "a damaged file is left as it is";
  }
  // A handle opened before the damage fails cleanly too.
  write_file(head + "\"V\"=dword:00000001\n");
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\X", 0, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  write_file(head + "\"V\"=dword:\n");
  EXPECT_EQ(get_dword(k, "V"), 0xDEADBEEFu);
  LSTATUS r;
  get_dword(k, "V", &r);
  EXPECT_EQ(r, ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(set_dword(k, "V", 2), ERROR_REGISTRY_CORRUPT);
  EXPECT_EQ(file_text(), head + "\"V\"=dword:\n");
  RegCloseKey(k);
}

TEST_F(Registry, ReadsHandWrittenAndExportedForms) {
  // An older header, comments, a continued hex line, a value on a key given
  // twice, blanks around '=' and CRLF line ends.
  write_file(
      "REGEDIT4\r\n"
      "; written by hand\r\n"
      "[HKEY_CURRENT_USER\\Software\\Hand]\r\n"
      "\"Bin\" = hex:01,02,\\\r\n"
      "  03,04\r\n"
      "@=\"dflt\"\r\n"
      "[HKEY_CURRENT_USER\\Software\\Hand]\r\n"
      "\"D\"=dword:ff\r\n");
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Hand", 0, KEY_READ, &k), ERROR_SUCCESS)
      << platform::registry_error_text();
  BYTE buf[8];
  DWORD size = sizeof buf, type = 0;
  ASSERT_EQ(RegQueryValueExA(k, "Bin", nullptr, &type, buf, &size), ERROR_SUCCESS);
  EXPECT_EQ(std::vector<BYTE>(buf, buf + size), (std::vector<BYTE>{1, 2, 3, 4}));
  EXPECT_EQ(get_dword(k, "D"), 0xFFu);
  char s[8];
  size = sizeof s;
  ASSERT_EQ(RegQueryValueExA(k, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(s), &size), ERROR_SUCCESS);
  EXPECT_STREQ(s, "dflt");
  RegCloseKey(k);

  // An export saved as UTF-16 with its byte-order mark.
  const std::u16string w = u"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\Software\\U]\r\n\"S\"=\"\u00e9\"\r\n";
  std::string raw = "\xFF\xFE";
  for (char16_t c : w) raw += static_cast<char>(c & 0xFF), raw += static_cast<char>(c >> 8);
  write_file(raw);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\U", 0, KEY_READ, &k), ERROR_SUCCESS)
      << platform::registry_error_text();
  size = sizeof s;
  ASSERT_EQ(RegQueryValueExA(k, "S", nullptr, &type, reinterpret_cast<BYTE*>(s), &size), ERROR_SUCCESS);
  EXPECT_STREQ(s, "\xC3\xA9");
  RegCloseKey(k);
}

TEST(RegistryPath, EnvironmentAndDefault) {
  const char* saved_home = std::getenv("HOME");
  const std::string home = saved_home ? saved_home : "";
  setenv("KEL_REGISTRY", "/x/y.reg", 1);
  EXPECT_EQ(platform::registry_path(), "/x/y.reg");
  unsetenv("KEL_REGISTRY");
  unsetenv("XDG_CONFIG_HOME");
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(platform::registry_path(), "/home/u/.config/kel/registry.reg");
  if (saved_home) setenv("HOME", home.c_str(), 1); else unsetenv("HOME");
}

}  // namespace
