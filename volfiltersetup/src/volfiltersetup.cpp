#include "volfiltersetup/volfiltersetup.h"

#include "platform/registry.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace volfiltersetup {

const WCHAR kDiskClassKey[] =
    u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";
const WCHAR kUpperFiltersValue[] = u"UpperFilters";
const WCHAR kFilterName[] = u"QVVolMgrFilter";
const char kCaption[] = "QVVolFilterSetup";

namespace {

constexpr std::u16string_view kName{kFilterName};

// The strings of a REG_MULTI_SZ image, each taken within the data; the last
// one may lack its NUL. Empty strings are kept.
std::vector<std::u16string_view> strings_of(const std::vector<WCHAR>& data) {
  std::vector<std::u16string_view> out;
  std::size_t pos = 0;
  while (pos < data.size()) {
    const auto nul = std::find(data.begin() + static_cast<std::ptrdiff_t>(pos), data.end(), u'\0');
    const std::size_t end = static_cast<std::size_t>(nul - data.begin());
    out.emplace_back(data.data() + pos, end - pos);
    pos = end + 1;
  }
  return out;
}

template <class Ch>
Ch lower(Ch c) {
  return c >= 'A' && c <= 'Z' ? static_cast<Ch>(c + 32) : c;
}

bool equals_ignoring_case(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (lower(static_cast<unsigned char>(*a)) != lower(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

// Service names ignore case (ASCII letters; the filter's name is ASCII).
bool is_filter_name(std::u16string_view s) {
  return s.size() == kName.size() &&
         std::equal(s.begin(), s.end(), kName.begin(), [](WCHAR x, WCHAR y) { return lower(x) == lower(y); });
}

void show_error(std::FILE* err, const char* text) {
  std::fprintf(err, "%s: %s\n", kCaption, text);
  std::fflush(err);
}

}  // namespace

std::optional<std::vector<WCHAR>> add_filter(const std::vector<WCHAR>& old_data) {
  for (std::u16string_view s : strings_of(old_data))
    if (is_filter_name(s)) return std::nullopt;
  // The meaningful part of the old data: without leading NULs, and without
  // trailing NULs but for the one ending the last string.
  const auto first = std::find_if(old_data.begin(), old_data.end(), [](WCHAR c) { return c != 0; });
  const auto last =
      std::find_if(old_data.rbegin(), old_data.rend(), [](WCHAR c) { return c != 0; }).base();
  std::vector<WCHAR> out(kName.begin(), kName.end());
  out.push_back(0);
  if (first < last) {
    out.insert(out.end(), first, last);
    out.push_back(0);
  }
  out.push_back(0);
  return out;
}

std::vector<WCHAR> remove_filter(const std::vector<WCHAR>& old_data) {
  std::vector<WCHAR> out;
  for (std::u16string_view s : strings_of(old_data)) {
    if (s.empty() || is_filter_name(s)) continue;
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
  }
  out.push_back(0);
  return out;
}

int run(int argc, char** argv, std::FILE* out, std::FILE* err) {
  const char* self = argc > 0 && argv[0] ? argv[0] : "VolFilterSetup";
  const bool install = argc > 1 && equals_ignoring_case(argv[1], "install");
  const bool remove = argc > 1 && equals_ignoring_case(argv[1], "remove");
  if (!install && !remove) {
    std::fprintf(out,
                 "\n\n%s sets or removes registry parameters for Kel VolMgrFilter driver.\n\n"
                 "Usage: %s [install] [remove]\n\n",
                 self, self);
    std::fflush(out);
    return -1;
  }

  HKEY key = nullptr;
  LSTATUS e = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDiskClassKey, 0, KEY_ALL_ACCESS, &key);
  if (e != ERROR_SUCCESS) return static_cast<int>(e);
  DWORD type = 0;
  DWORD size = 0;
  e = RegQueryValueExW(key, kUpperFiltersValue, nullptr, &type, nullptr, &size);
  std::vector<BYTE> raw(size, 0);
  if (e == ERROR_SUCCESS)
    e = RegQueryValueExW(key, kUpperFiltersValue, nullptr, &type, raw.data(), &size);
  // A value of another type holds no filter names: it is left as it is.
  if (e == ERROR_SUCCESS && type != REG_MULTI_SZ) e = ERROR_UNSUPPORTED_TYPE;
  if (e != ERROR_SUCCESS) {
    RegCloseKey(key);
    return static_cast<int>(e);
  }
  // Whole UTF-16 units only; an odd last byte is not part of any string.
  std::vector<WCHAR> old_data(std::min<std::size_t>(size, raw.size()) / sizeof(WCHAR));
  if (!old_data.empty()) std::memcpy(old_data.data(), raw.data(), old_data.size() * sizeof(WCHAR));

  std::vector<WCHAR> new_data;
  if (install) {
    std::optional<std::vector<WCHAR>> added = add_filter(old_data);
    if (!added) {  // already installed
      RegCloseKey(key);
      return 0;
    }
    new_data = std::move(*added);
  } else {
    new_data = remove_filter(old_data);
  }
  e = RegSetValueExW(key, kUpperFiltersValue, 0, REG_MULTI_SZ,
                     reinterpret_cast<const BYTE*>(new_data.data()),
                     static_cast<DWORD>(new_data.size() * sizeof(WCHAR)));
  RegCloseKey(key);
  if (e != ERROR_SUCCESS) {
    const std::string text = "Failed to update registry Win error " + std::to_string(e);
    show_error(err, text.c_str());
    return static_cast<int>(e);
  }
  return 0;
}

}  // namespace volfiltersetup
