// A private registry file for each test, and raw access to its values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace regfix {

// Points KEL_REGISTRY at a file in a fresh temporary folder for its lifetime.
class TempRegistry {
 public:
  TempRegistry();
  ~TempRegistry();
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

constexpr std::uint32_t kMultiSz = 7;
constexpr std::uint32_t kSz = 1;

// Keys are paths under HKEY_LOCAL_MACHINE; the key is created as needed.
bool write_value(const std::string& key, const std::string& name, std::uint32_t type,
                 const std::vector<std::uint8_t>& data);
bool create_key(const std::string& key);
// nullopt when the key or the value does not exist.
std::optional<std::pair<std::uint32_t, std::vector<std::uint8_t>>> read_value(
    const std::string& key, const std::string& name);

// UTF-16LE bytes of each string with its NUL, then the closing NUL.
std::vector<std::uint8_t> multi_sz(const std::vector<std::string>& strings);
// UTF-16LE bytes of the text as it stands (embedded "\0" included).
std::vector<std::uint8_t> utf16(const std::string& text);

}  // namespace regfix
