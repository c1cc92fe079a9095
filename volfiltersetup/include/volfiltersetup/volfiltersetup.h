// VolFilterSetup: adds the disk filter QVVolMgrFilter to, or removes it
// from, the upper filters of the disk-drive device class in the registry.
#pragma once

#include "platform/win32.h"

#include <cstdio>
#include <optional>
#include <vector>

namespace volfiltersetup {

// HKEY_LOCAL_MACHINE key of the disk-drive class and its value.
extern const WCHAR kDiskClassKey[];
extern const WCHAR kUpperFiltersValue[];
// The filter's service name.
extern const WCHAR kFilterName[];
// Caption of the tool's messages.
extern const char kCaption[];

// The new "UpperFilters" data (UTF-16 units, every string with its NUL and
// the closing NUL) after adding the filter name at the front, or nullopt
// when the name is already there (in any case: service names ignore case)
// and nothing is to change. `old_data` is the value as read: its last
// string need not be terminated.
std::optional<std::vector<WCHAR>> add_filter(const std::vector<WCHAR>& old_data);
// The new data with every copy of the filter name (in any case) and every
// empty string taken out, the other names kept in their order.
std::vector<WCHAR> remove_filter(const std::vector<WCHAR>& old_data);

// The whole program: argv[1] is "install" or "remove" in any case. Returns
// 0, the Win32 error of the first registry call that failed
// (ERROR_UNSUPPORTED_TYPE, as a typed registry read gives it, when
// "UpperFilters" is not a REG_MULTI_SZ value; the value is then left as it
// is), or -1 after printing the usage text to `out` for any other argument.
// Messages go to `err` as "<caption>: <text>" lines.
int run(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace volfiltersetup
