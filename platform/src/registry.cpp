#include "platform/registry.h"

#include "platform/codepage.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

void (*platform::registry_detail::before_rename)(const char*) = nullptr;

struct KelRegKey {
  int root = 0;          // 0 local machine, 1 current user
  bool view32 = false;
  std::string logical;   // path below the root, components joined with '\'
  REGSAM sam = 0;
};

namespace {

constexpr const char* kRootNames[2] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"};
constexpr const char* kHeader5 = "Windows Registry Editor Version 5.00";
constexpr const char* kHeader4 = "REGEDIT4";
constexpr const char* kWowNode = "WOW6432Node";

thread_local std::string t_error_text;

char fold(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
  if (c == '\\') return '\x01';  // so a key sorts right before its children
  return c;
}

bool ci_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (fold(a[i]) != fold(b[i])) return false;
  return true;
}

struct CiLess {
  bool operator()(const std::string& a, const std::string& b) const {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
      const auto x = static_cast<unsigned char>(fold(a[i]));
      const auto y = static_cast<unsigned char>(fold(b[i]));
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }
};

struct Value {
  std::string name;  // UTF-8; empty is the key's default value
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Key {
  std::string path;  // as first written, e.g. HKEY_LOCAL_MACHINE\Software\X
  std::vector<Value> values;
};

struct Store {
  std::map<std::string, Key, CiLess> keys;

  Key* find(const std::string& path) {
    auto it = keys.find(path);
    return it == keys.end() ? nullptr : &it->second;
  }
  const Key* find(const std::string& path) const {
    auto it = keys.find(path);
    return it == keys.end() ? nullptr : &it->second;
  }
  // Adds the key and every missing parent below the root, spelling each
  // existing parent as it already stands; true when a key was added.
  bool add(const std::string& path) {
    bool added = false;
    const std::size_t first = path.find('\\');
    if (first == std::string::npos) return false;
    std::string cur = path.substr(0, first);
    std::size_t start = first + 1;
    while (start <= path.size()) {
      std::size_t end = path.find('\\', start);
      if (end == std::string::npos) end = path.size();
      std::string next = cur + '\\' + path.substr(start, end - start);
      auto it = keys.find(next);
      if (it == keys.end()) {
        keys.emplace(next, Key{next, {}});
        added = true;
      } else {
        next = it->second.path;
      }
      cur = std::move(next);
      start = end + 1;
    }
    return added;
  }
};

bool is_string_type(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::vector<std::string> split_path(std::string_view s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t end = s.find('\\', start);
    if (end == std::string_view::npos) end = s.size();
    if (end > start) out.emplace_back(s.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::string join(const std::vector<std::string>& parts, std::size_t from = 0) {
  std::string out;
  for (std::size_t i = from; i < parts.size(); ++i) {
    if (!out.empty()) out += '\\';
    out += parts[i];
  }
  return out;
}

// The file path of a key: the root's name and the logical path, with
// "Software\..." of the 32-bit view moved under "Software\WOW6432Node".
std::string physical(int root, bool view32, const std::string& logical) {
  std::vector<std::string> parts = split_path(logical);
  if (view32 && !parts.empty() && ci_equal(parts[0], "Software") &&
      !(parts.size() > 1 && ci_equal(parts[1], kWowNode)))
    parts.insert(parts.begin() + 1, kWowNode);
  std::string out = kRootNames[root];
  for (const auto& p : parts) out += '\\' + p;
  return out;
}

bool name_ok(std::string_view s) {
  for (unsigned char c : s)
    if (c < 0x20) return false;
  return true;
}

// ---------------------------------------------------------------- parsing

struct ParseError {
  std::size_t line;
  std::string what;
};

std::string trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return std::string(s.substr(b, e - b));
}

// Reads a quoted string at s[i] (s[i] == '"'); i ends after the closing quote.
std::optional<std::string> parse_quoted(const std::string& s, std::size_t& i, std::string& why) {
  std::string out;
  ++i;
  while (i < s.size()) {
    const char c = s[i++];
    if (c == '"') return out;
    if (c == '\\') {
      if (i >= s.size()) break;
      const char n = s[i++];
      if (n != '\\' && n != '"') {
        why = std::string("unknown escape \\") + n + " (write a backslash as \\\\)";
        return std::nullopt;
      }
      out += n;
    } else {
      out += c;
    }
  }
  why = "string without its closing quote";
  return std::nullopt;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::vector<BYTE>> parse_hex_list(std::string_view s, std::string& why) {
  std::vector<BYTE> out;
  std::size_t i = 0;
  auto skip = [&] { while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i; };
  skip();
  if (i == s.size()) return out;
  while (true) {
    skip();
    int v = 0, digits = 0;
    while (i < s.size() && hex_digit(s[i]) >= 0 && digits < 3) v = v * 16 + hex_digit(s[i++]), ++digits;
    if (digits == 0 || digits > 2) {
      why = "bad byte in hex data";
      return std::nullopt;
    }
    out.push_back(static_cast<BYTE>(v));
    skip();
    if (i == s.size()) return out;
    if (s[i] != ',') {
      why = "bad byte in hex data";
      return std::nullopt;
    }
    ++i;
    skip();
    if (i == s.size()) return out;  // a trailing comma
  }
}

std::vector<BYTE> utf16_bytes(const std::u16string& w) {
  std::vector<BYTE> out;
  out.reserve(w.size() * 2);
  for (char16_t c : w) {
    out.push_back(static_cast<BYTE>(c & 0xFF));
    out.push_back(static_cast<BYTE>(c >> 8));
  }
  return out;
}

std::u16string bytes_utf16(const BYTE* p, std::size_t n) {
  std::u16string w;
  w.reserve(n / 2);
  for (std::size_t i = 0; i + 1 < n; i += 2)
    w.push_back(static_cast<char16_t>(p[i] | (p[i + 1] << 8)));
  return w;
}

std::string decode_file_text(const std::string& raw) {
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
      static_cast<unsigned char>(raw[1]) == 0xFE) {
    return platform::utf16_to_utf8(
        bytes_utf16(reinterpret_cast<const BYTE*>(raw.data()) + 2, raw.size() - 2));
  }
  if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) return raw.substr(3);
  return raw;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// A key line "[ROOT\path]": the key it names becomes the current one (and
// is added to the store below a root). False with `why` when the line is
// not a key line we take.
bool parse_key_line(const std::string& line, Store& store, std::string& current, std::string& why) {
  if (line.back() != ']') {
    why = "key line without its closing ']'";
    return false;
  }
  const std::string inner = line.substr(1, line.size() - 2);
  if (!inner.empty() && inner[0] == '-') {
    why = "key deletion lines are not allowed here";
    return false;
  }
  if (inner.empty() || inner.front() == '\\' || inner.back() == '\\' || inner.find("\\\\") != std::string::npos) {
    why = "bad key path";
    return false;
  }
  const auto parts = split_path(inner);
  int root = -1;
  for (int r = 0; r < 2; ++r)
    if (ci_equal(parts[0], kRootNames[r])) root = r;
  if (root < 0) {
    why = "unknown root \"" + parts[0] + "\" (HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER)";
    return false;
  }
  current = kRootNames[root];
  if (parts.size() > 1) current += '\\' + join(parts, 1);
  if (parts.size() > 1) store.add(current);
  return true;
}

// "text": a REG_SZ value, stored as UTF-16 with its terminating zero.
bool parse_string_data(const std::string& data, Value& v, std::string& why) {
  std::size_t j = 0;
  auto q = parse_quoted(data, j, why);
  if (!q) return false;
  if (!trim(data.substr(j)).empty()) {
    why = "text after the closing quote";
    return false;
  }
  bool ok = true;
  std::u16string w = platform::utf8_to_utf16(*q, &ok);
  if (!ok) {
    why = "string is not valid UTF-8";
    return false;
  }
  w.push_back(0);
  v.type = REG_SZ;
  v.data = utf16_bytes(w);
  return true;
}

// The digits after "dword:": a REG_DWORD value.
bool parse_dword_data(const std::string& digits, Value& v, std::string& why) {
  const bool ok = !digits.empty() && digits.size() <= 8 &&
                  std::all_of(digits.begin(), digits.end(), [](char c) { return hex_digit(c) >= 0; });
  if (!ok) {
    why = "dword needs 1 to 8 hexadecimal digits";
    return false;
  }
  DWORD d = 0;
  for (char c : digits) d = d * 16 + static_cast<DWORD>(hex_digit(c));
  v.type = REG_DWORD;
  v.data = {static_cast<BYTE>(d), static_cast<BYTE>(d >> 8), static_cast<BYTE>(d >> 16), static_cast<BYTE>(d >> 24)};
  return true;
}

// "hex:" or "hex(type):" and a list of bytes; a trailing backslash joins
// the next line (`n` moves past the lines taken).
bool parse_hex_data(const std::string& data, const std::vector<std::string>& lines, std::size_t& n, Value& v,
                    std::string& why) {
  std::size_t j = 3;
  DWORD type = REG_BINARY;
  if (j < data.size() && data[j] == '(') {
    ++j;
    DWORD t = 0;
    int digits = 0;
    while (j < data.size() && hex_digit(data[j]) >= 0 && digits < 8)
      t = t * 16 + static_cast<DWORD>(hex_digit(data[j++])), ++digits;
    if (digits == 0 || j >= data.size() || data[j] != ')') {
      why = "bad hex(type)";
      return false;
    }
    ++j;
    type = t;
  }
  if (j >= data.size() || data[j] != ':') {
    why = "':' expected after hex";
    return false;
  }
  std::string list = data.substr(j + 1);
  while (!list.empty() && list.back() == '\\') {
    list.pop_back();
    if (++n >= lines.size() || trim(lines[n]).empty()) {
      why = "hex data continued past the end of the value";
      return false;
    }
    list += trim(lines[n]);
  }
  auto bytes = parse_hex_list(list, why);
  if (!bytes) return false;
  v.type = type;
  v.data = std::move(*bytes);
  return true;
}

// The data of a value line, after its '='.
bool parse_value_data(const std::string& data, const std::vector<std::string>& lines, std::size_t& n, Value& v,
                      std::string& why) {
  if (!data.empty() && data[0] == '"') return parse_string_data(data, v, why);
  if (data.rfind("dword:", 0) == 0) return parse_dword_data(data.substr(6), v, why);
  if (data.rfind("hex", 0) == 0) return parse_hex_data(data, lines, n, v, why);
  why = data == "-" ? std::string("value deletion lines are not allowed here") : "unknown value data \"" + data + "\"";
  return false;
}

// A value line, "name"=data or @=data for the key's default value, set in
// the current key (replacing a value of the same name in any case).
bool parse_value_line(const std::string& line, const std::vector<std::string>& lines, std::size_t& n, Store& store,
                      const std::string& current, std::string& why) {
  if (line[0] != '"' && line[0] != '@') {
    why = "unexpected text \"" + line + "\"";
    return false;
  }
  if (current.empty()) {
    why = "value before the first key";
    return false;
  }
  Value v;
  std::size_t i = 0;
  if (line[0] == '@') {
    i = 1;
  } else {
    auto q = parse_quoted(line, i, why);
    if (!q) return false;
    v.name = *q;
  }
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (i >= line.size() || line[i] != '=') {
    why = "'=' expected after the value name";
    return false;
  }
  ++i;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  if (!parse_value_data(line.substr(i), lines, n, v, why)) return false;
  if (current.find('\\') == std::string::npos) {
    why = "values directly under a root";
    return false;
  }
  Key& key = store.keys.at(current);
  bool replaced = false;
  for (auto& old : key.values)
    if (ci_equal(old.name, v.name)) old = v, replaced = true;
  if (!replaced) key.values.push_back(std::move(v));
  return true;
}

std::optional<Store> parse(const std::string& raw, ParseError& err) {
  const std::vector<std::string> lines = split_lines(decode_file_text(raw));
  Store store;
  bool header = false;
  std::string current;  // path of the key being filled
  for (std::size_t n = 0; n < lines.size(); ++n) {
    const std::size_t lineno = n + 1;
    const std::string line = trim(lines[n]);
    if (line.empty() || line[0] == ';') continue;
    std::string why;
    if (!header) {
      header = line == kHeader5 || line == kHeader4;
      if (header) continue;
      why = std::string("the file does not start with \"") + kHeader5 + "\"";
    } else if (line[0] == '[' ? parse_key_line(line, store, current, why)
                              : parse_value_line(line, lines, n, store, current, why)) {
      continue;
    }
    err = ParseError{lineno, std::move(why)};
    return std::nullopt;
  }
  return store;
}

// ---------------------------------------------------------------- writing

std::string quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

// A REG_SZ shows as a quoted string when that reads back to the same bytes.
std::optional<std::string> plain_string(const Value& v) {
  if (v.type != REG_SZ || v.data.size() < 2 || v.data.size() % 2) return std::nullopt;
  std::u16string w = bytes_utf16(v.data.data(), v.data.size());
  if (w.back() != 0) return std::nullopt;
  w.pop_back();
  for (char16_t c : w)
    if (c < 0x20) return std::nullopt;
  bool ok = true;
  std::string s = platform::utf16_to_utf8(w, &ok);
  if (!ok) return std::nullopt;
  return s;
}

std::string serialize(const Store& store) {
  std::string out = kHeader5;
  out += "\n";
  char buf[32];
  for (const auto& [path, key] : store.keys) {
    out += "\n[" + key.path + "]\n";
    for (const auto& v : key.values) {
      std::string line = v.name.empty() ? "@" : quote(v.name);
      line += '=';
      if (auto s = plain_string(v)) {
        line += quote(*s);
      } else if (v.type == REG_DWORD && v.data.size() == 4) {
        const DWORD d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                        (static_cast<DWORD>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", d);
        line += buf;
      } else {
        if (v.type == REG_BINARY) {
          line += "hex:";
        } else {
          std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
          line += buf;
        }
        std::size_t col = line.size();
        for (std::size_t i = 0; i < v.data.size(); ++i) {
          std::snprintf(buf, sizeof buf, "%02x", v.data[i]);
          line += buf;
          col += 2;
          if (i + 1 < v.data.size()) {
            line += ',';
            ++col;
            if (col > 76) {
              line += "\\\n  ";
              col = 2;
            }
          }
        }
      }
      out += line + '\n';
    }
  }
  return out;
}

// ---------------------------------------------------------------- the file

std::mutex g_mu;          // cache, handle table and changes within the process
std::set<KelRegKey*> g_handles;

struct Cached {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = -1;
  long long mtime = 0, ctime = 0;
  std::shared_ptr<const Store> store;
} g_cache;

long long ns(const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec; }

LSTATUS io_failed(const std::string& what, const std::string& path) {
  t_error_text = "registry file " + path + ": " + what + ": " + std::strerror(errno);
  return ERROR_REGISTRY_IO_FAILED;
}

bool read_all(int fd, std::string& out) {
  out.clear();
  char buf[65536];
  while (true) {
    const ssize_t r = ::read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) return true;
    out.append(buf, static_cast<std::size_t>(r));
  }
}

// Reads and parses the current file. Caller holds g_mu. use_cache: accept the
// cached parse when the file is still the same one.
LSTATUS load(const std::string& path, bool use_cache, std::shared_ptr<const Store>& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      out = std::make_shared<Store>();
      return ERROR_SUCCESS;
    }
    return io_failed("cannot open", path);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const LSTATUS r = io_failed("cannot stat", path);
    ::close(fd);
    return r;
  }
  if (use_cache && g_cache.store && g_cache.path == path && g_cache.dev == st.st_dev &&
      g_cache.ino == st.st_ino && g_cache.size == st.st_size && g_cache.mtime == ns(st.st_mtim) &&
      g_cache.ctime == ns(st.st_ctim)) {
    ::close(fd);
    out = g_cache.store;
    return ERROR_SUCCESS;
  }
  std::string raw;
  if (!read_all(fd, raw)) {
    const LSTATUS r = io_failed("cannot read", path);
    ::close(fd);
    return r;
  }
  ::close(fd);
  ParseError err{};
  auto store = parse(raw, err);
  if (!store) {
    t_error_text = "registry file " + path + " is damaged at line " + std::to_string(err.line) +
                   ": " + err.what + "; it is left as it is, mend or remove it";
    return ERROR_REGISTRY_CORRUPT;
  }
  auto shared = std::make_shared<const Store>(std::move(*store));
  g_cache = Cached{path, st.st_dev, st.st_ino, st.st_size, ns(st.st_mtim), ns(st.st_ctim), shared};
  out = std::move(shared);
  return ERROR_SUCCESS;
}

void make_parent_dirs(const std::string& path) {
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
    ::mkdir(path.substr(0, pos).c_str(), 0755);
}

bool write_all(int fd, const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    const ssize_t w = ::write(fd, s.data() + done, s.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(w);
  }
  return true;
}

// Applies one change under the file lock: f(store, changed) returns the
// result; when it succeeds and sets changed, the new file replaces the old.
template <class F>
LSTATUS modify(F&& f) {
  const std::string path = platform::registry_path();
  make_parent_dirs(path);
  const std::string lock_path = path + ".lock";
  const int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0) return io_failed("cannot open the lock file", lock_path);
  struct Unlock {
    int fd;
    ~Unlock() { ::close(fd); }  // closing releases the lock
  } unlock{lock_fd};
  while (::flock(lock_fd, LOCK_EX) != 0)
    if (errno != EINTR) return io_failed("cannot lock", lock_path);

  std::shared_ptr<const Store> current;
  LSTATUS r = load(path, false, current);
  if (r != ERROR_SUCCESS) return r;
  Store next = *current;
  bool changed = false;
  r = f(next, changed);
  if (r != ERROR_SUCCESS || !changed) return r;

  const std::string tmp = path + ".tmp";
  mode_t mode = 0644;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return io_failed("cannot create", tmp);
  if (!write_all(fd, serialize(next)) || ::fsync(fd) != 0) {
    r = io_failed("cannot write", tmp);
    ::close(fd);
    ::unlink(tmp.c_str());
    return r;
  }
  ::close(fd);
  if (platform::registry_detail::before_rename) platform::registry_detail::before_rename(tmp.c_str());
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    r = io_failed("cannot rename the new file over", path);
    ::unlink(tmp.c_str());
    return r;
  }
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- handles

bool predefined(HKEY k, int& root) {
  if (k == HKEY_LOCAL_MACHINE) return root = 0, true;
  if (k == HKEY_CURRENT_USER) return root = 1, true;
  return false;
}

// Resolves a base handle. Caller holds g_mu.
const KelRegKey* resolve(HKEY k, KelRegKey& tmp) {
  int root = 0;
  if (predefined(k, root)) {
    tmp = KelRegKey{root, false, "", KEY_ALL_ACCESS};
    return &tmp;
  }
  if (!k || !g_handles.count(k)) return nullptr;
  return k;
}

bool view32_of(REGSAM sam, bool inherited) {
  if (sam & KEY_WOW64_32KEY) return true;
  if (sam & KEY_WOW64_64KEY) return false;
  return inherited;
}

HKEY new_handle(int root, bool view32, std::string logical, REGSAM sam) {
  auto* h = new KelRegKey{root, view32, std::move(logical), sam};
  g_handles.insert(h);
  return h;
}

std::string child_logical(const KelRegKey& base, const char* sub) {
  std::string out = base.logical;
  if (sub) {
    const std::string rest = join(split_path(sub));
    if (!rest.empty()) out = out.empty() ? rest : out + '\\' + rest;
  }
  return out;
}

bool key_exists(const Store& s, const KelRegKey& k) {
  return k.logical.empty() || s.find(physical(k.root, k.view32, k.logical)) != nullptr;
}

// Loads the store for an operation on an open key. Caller holds g_mu.
LSTATUS load_for(const KelRegKey& k, std::shared_ptr<const Store>& store) {
  LSTATUS r = load(platform::registry_path(), true, store);
  if (r != ERROR_SUCCESS) return r;
  if (!key_exists(*store, k)) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

const Value* find_value(const Key* key, std::string_view name) {
  if (!key) return nullptr;
  for (const auto& v : key->values)
    if (ci_equal(v.name, name)) return &v;
  return nullptr;
}

std::vector<BYTE> as_narrow(const Value& v) {
  if (!is_string_type(v.type)) return v.data;
  const std::string s = platform::utf16_to_utf8(bytes_utf16(v.data.data(), v.data.size()));
  return std::vector<BYTE>(s.begin(), s.end());
}

LSTATUS copy_data(const std::vector<BYTE>& bytes, BYTE* data, DWORD* size) {
  const auto n = static_cast<DWORD>(bytes.size());
  if (data) {
    if (!size) return ERROR_INVALID_PARAMETER;
    if (*size < n) {
      *size = n;
      return ERROR_MORE_DATA;
    }
    if (n) std::memcpy(data, bytes.data(), n);
  }
  if (size) *size = n;
  return ERROR_SUCCESS;
}

// ---------------------------------------------------------------- calls

LSTATUS open_key(HKEY key, const char* sub, REGSAM sam, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(g_mu);
  t_error_text.clear();
  KelRegKey tmp;
  const KelRegKey* base = resolve(key, tmp);
  if (!base) return ERROR_INVALID_HANDLE;
  KelRegKey want{base->root, view32_of(sam, base->view32), child_logical(*base, sub), sam};
  std::shared_ptr<const Store> store;
  LSTATUS r = load(platform::registry_path(), true, store);
  if (r != ERROR_SUCCESS) return r;
  if (!key_exists(*store, want)) return ERROR_FILE_NOT_FOUND;
  *result = new_handle(want.root, want.view32, want.logical, sam);
  return ERROR_SUCCESS;
}

LSTATUS create_key(HKEY key, const char* sub, REGSAM sam, HKEY* result, DWORD* disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(g_mu);
  t_error_text.clear();
  KelRegKey tmp;
  const KelRegKey* base = resolve(key, tmp);
  if (!base) return ERROR_INVALID_HANDLE;
  KelRegKey want{base->root, view32_of(sam, base->view32), child_logical(*base, sub), sam};
  if (sub && !name_ok(sub)) return ERROR_INVALID_PARAMETER;
  const bool creating = !want.logical.empty() && want.logical != base->logical;
  if (creating && base != &tmp && !(base->sam & KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;
  bool created = false;
  const LSTATUS r = modify([&](Store& s, bool& changed) -> LSTATUS {
    if (want.logical.empty()) return ERROR_SUCCESS;
    created = s.add(physical(want.root, want.view32, want.logical));
    changed = created;
    return ERROR_SUCCESS;
  });
  if (r != ERROR_SUCCESS) return r;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = new_handle(want.root, want.view32, want.logical, sam);
  return ERROR_SUCCESS;
}

LSTATUS query_value(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* size, bool narrow) {
  std::lock_guard<std::mutex> g(g_mu);
  t_error_text.clear();
  KelRegKey tmp;
  const KelRegKey* k = resolve(key, tmp);
  if (!k) return ERROR_INVALID_HANDLE;
  if (!(k->sam & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<const Store> store;
  LSTATUS r = load_for(*k, store);
  if (r != ERROR_SUCCESS) return r;
  const Value* v = find_value(store->find(physical(k->root, k->view32, k->logical)), name ? name : "");
  if (!v) return ERROR_FILE_NOT_FOUND;
  if (type) *type = v->type;
  return copy_data(narrow ? as_narrow(*v) : v->data, data, size);
}

LSTATUS set_value(HKEY key, const char* name, DWORD type, const BYTE* data, DWORD size, bool narrow) {
  std::lock_guard<std::mutex> g(g_mu);
  t_error_text.clear();
  KelRegKey tmp;
  const KelRegKey* k = resolve(key, tmp);
  if (!k) return ERROR_INVALID_HANDLE;
  if (!(k->sam & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  if ((!data && size) || (name && !name_ok(name))) return ERROR_INVALID_PARAMETER;
  Value v;
  v.name = name ? name : "";
  v.type = type;
  if (narrow && is_string_type(type)) {
    const std::u16string w =
        platform::utf8_to_utf16(std::string_view(reinterpret_cast<const char*>(data), size));
    v.data = utf16_bytes(w);
  } else if (size) {
    v.data.assign(data, data + size);
  }
  const KelRegKey target = *k;
  return modify([&](Store& s, bool& changed) -> LSTATUS {
    if (target.logical.empty()) return ERROR_ACCESS_DENIED;  // no values on a root
    Key* kk = s.find(physical(target.root, target.view32, target.logical));
    if (!kk) return ERROR_KEY_DELETED;
    for (auto& old : kk->values) {
      if (ci_equal(old.name, v.name)) {
        changed = old.type != v.type || old.data != v.data;
        old.type = v.type;
        old.data = v.data;
        return ERROR_SUCCESS;
      }
    }
    kk->values.push_back(v);
    changed = true;
    return ERROR_SUCCESS;
  });
}

LSTATUS delete_value(HKEY key, const char* name) {
  std::lock_guard<std::mutex> g(g_mu);
  t_error_text.clear();
  KelRegKey tmp;
  const KelRegKey* k = resolve(key, tmp);
  if (!k) return ERROR_INVALID_HANDLE;
  if (!(k->sam & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
  const KelRegKey target = *k;
  const std::string n = name ? name : "";
  return modify([&](Store& s, bool& changed) -> LSTATUS {
    if (target.logical.empty()) return ERROR_FILE_NOT_FOUND;
    Key* kk = s.find(physical(target.root, target.view32, target.logical));
    if (!kk) return ERROR_KEY_DELETED;
    for (auto it = kk->values.begin(); it != kk->values.end(); ++it) {
      if (ci_equal(it->name, n)) {
        kk->values.erase(it);
        changed = true;
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;
  });
}

// Finds the index-th sub-key name of k. Caller holds g_mu.
LSTATUS enum_key(HKEY key, DWORD index, std::string& out) {
  t_error_text.clear();
  KelRegKey tmp;
  const KelRegKey* k = resolve(key, tmp);
  if (!k) return ERROR_INVALID_HANDLE;
  if (!(k->sam & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
  std::shared_ptr<const Store> store;
  LSTATUS r = load_for(*k, store);
  if (r != ERROR_SUCCESS) return r;
  const std::string prefix = physical(k->root, k->view32, k->logical) + '\\';
  DWORD i = 0;
  for (auto it = store->keys.lower_bound(prefix); it != store->keys.end(); ++it) {
    const std::string& p = it->first;
    if (p.size() <= prefix.size() || !ci_equal(std::string_view(p).substr(0, prefix.size()), prefix))
      break;
    const std::string rest = it->second.path.substr(prefix.size());
    if (rest.find('\\') != std::string::npos) continue;
    if (i++ == index) {
      out = rest;
      return ERROR_SUCCESS;
    }
  }
  return ERROR_NO_MORE_ITEMS;
}

LSTATUS enum_value(HKEY key, DWORD index, std::string& name, DWORD* type, BYTE* data, DWORD* size,
                   bool narrow) {
  t_error_text.clear();
  KelRegKey tmp;
  const KelRegKey* k = resolve(key, tmp);
  if (!k) return ERROR_INVALID_HANDLE;
  if (!(k->sam & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
  if (data && !size) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<const Store> store;
  LSTATUS r = load_for(*k, store);
  if (r != ERROR_SUCCESS) return r;
  const Key* kk = store->find(physical(k->root, k->view32, k->logical));
  if (!kk || index >= kk->values.size()) return ERROR_NO_MORE_ITEMS;
  const Value& v = kk->values[index];
  name = v.name;
  if (type) *type = v.type;
  return copy_data(narrow ? as_narrow(v) : v.data, data, size);
}

std::string narrow_name(const WCHAR* w) {
  return w ? platform::utf16_to_utf8(std::u16string_view(w, platform::wcslen16(w))) : std::string();
}

template <class Ch>
LSTATUS put_name(const std::basic_string<Ch>& s, Ch* buf, DWORD* len) {
  if (!buf || !len) return ERROR_INVALID_PARAMETER;
  if (*len <= s.size()) {
    *len = static_cast<DWORD>(s.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::copy(s.begin(), s.end(), buf);
  buf[s.size()] = 0;
  *len = static_cast<DWORD>(s.size());
  return ERROR_SUCCESS;
}

template <class Ch>
void clear_class(Ch* cls, DWORD* cls_len, FILETIME* last_write) {
  if (cls && cls_len && *cls_len) cls[0] = 0;
  if (cls_len) *cls_len = 0;
  if (last_write) *last_write = FILETIME{0, 0};
}

}  // namespace

// ---------------------------------------------------------------- exports

std::string platform::registry_path() {
  const char* p = std::getenv("KEL_REGISTRY");
  if (p && *p) return p;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/kel/registry.reg";
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.config/kel/registry.reg";
  return "kel-registry.reg";
}

std::string platform::registry_error_text() { return t_error_text; }

LSTATUS RegOpenKeyExA(HKEY key, const char* sub_key, DWORD, REGSAM sam, HKEY* result) {
  return open_key(key, sub_key, sam, result);
}
LSTATUS RegOpenKeyExW(HKEY key, const WCHAR* sub_key, DWORD, REGSAM sam, HKEY* result) {
  const std::string s = narrow_name(sub_key);
  return open_key(key, sub_key ? s.c_str() : nullptr, sam, result);
}

LSTATUS RegCreateKeyExA(HKEY key, const char* sub_key, DWORD, char*, DWORD, REGSAM sam, void*,
                        HKEY* result, DWORD* disposition) {
  return create_key(key, sub_key, sam, result, disposition);
}
LSTATUS RegCreateKeyExW(HKEY key, const WCHAR* sub_key, DWORD, WCHAR*, DWORD, REGSAM sam, void*,
                        HKEY* result, DWORD* disposition) {
  const std::string s = narrow_name(sub_key);
  return create_key(key, sub_key ? s.c_str() : nullptr, sam, result, disposition);
}

LSTATUS RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
  return query_value(key, name, type, data, size, true);
}
LSTATUS RegQueryValueExW(HKEY key, const WCHAR* name, DWORD*, DWORD* type, BYTE* data, DWORD* size) {
  return query_value(key, narrow_name(name).c_str(), type, data, size, false);
}

LSTATUS RegSetValueExA(HKEY key, const char* name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  return set_value(key, name, type, data, size, true);
}
LSTATUS RegSetValueExW(HKEY key, const WCHAR* name, DWORD, DWORD type, const BYTE* data, DWORD size) {
  return set_value(key, narrow_name(name).c_str(), type, data, size, false);
}

LSTATUS RegDeleteValueA(HKEY key, const char* name) { return delete_value(key, name); }
LSTATUS RegDeleteValueW(HKEY key, const WCHAR* name) { return delete_value(key, narrow_name(name).c_str()); }

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* name_len, DWORD*, char* cls,
                      DWORD* cls_len, FILETIME* last_write) {
  std::lock_guard<std::mutex> g(g_mu);
  std::string s;
  LSTATUS r = enum_key(key, index, s);
  if (r != ERROR_SUCCESS) return r;
  clear_class(cls, cls_len, last_write);
  return put_name(s, name, name_len);
}
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, WCHAR* name, DWORD* name_len, DWORD*, WCHAR* cls,
                      DWORD* cls_len, FILETIME* last_write) {
  std::lock_guard<std::mutex> g(g_mu);
  std::string s;
  LSTATUS r = enum_key(key, index, s);
  if (r != ERROR_SUCCESS) return r;
  clear_class(cls, cls_len, last_write);
  return put_name(platform::utf8_to_utf16(s), name, name_len);
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* name_len, DWORD*, DWORD* type,
                      BYTE* data, DWORD* size) {
  std::lock_guard<std::mutex> g(g_mu);
  std::string s;
  LSTATUS r = enum_value(key, index, s, type, data, size, true);
  if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA) return r;
  const LSTATUS rn = put_name(s, name, name_len);
  return rn != ERROR_SUCCESS ? rn : r;
}
LSTATUS RegEnumValueW(HKEY key, DWORD index, WCHAR* name, DWORD* name_len, DWORD*, DWORD* type,
                      BYTE* data, DWORD* size) {
  std::lock_guard<std::mutex> g(g_mu);
  std::string s;
  LSTATUS r = enum_value(key, index, s, type, data, size, false);
  if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA) return r;
  const LSTATUS rn = put_name(platform::utf8_to_utf16(s), name, name_len);
  return rn != ERROR_SUCCESS ? rn : r;
}

LSTATUS RegCloseKey(HKEY key) {
  int root = 0;
  if (predefined(key, root)) return ERROR_SUCCESS;
  std::lock_guard<std::mutex> g(g_mu);
  if (!key || !g_handles.erase(key)) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}
