// The configuration store of the process.
//
// Values are read by name from three sources, in this order:
//   1. the registry: HKEY_LOCAL_MACHINE "Software\Quorvel\Stravo\KELFS"
//      (64-bit view, or the 32-bit view when the key is missing there), read
//      once per name and cached; a REG_SZ below 2048 bytes is a string, a
//      REG_DWORD a 32-bit number, anything else counts as absent;
//   2. the values set at run time with config_set_* (never written to the
//      registry);
//   3. the built-in default table (kel::ConfigDefaults()).
// So a set value is seen only for a name the registry does not hold. Names
// are compared with case. Handle, section and path arguments are ignored:
// every device of the process shares one set of values. All calls are safe
// from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {

// Reads. "missing" means no source has the name.
// A string: when its length is below *size, copies it with its NUL and
// returns the length; otherwise stores length + 1 in *size and returns -1.
// A computed value: the computing function's result. Missing or a number: -1.
int config_get_string(int handle, const char* name, int* size, char* buffer);
// A number (32- or 8-bit): stores it and returns 4. Computed: the function's
// result. Missing or a string: -1.
int config_get_uint32(int handle, const char* name, int* size, std::uint32_t* value);
int config_get_long32(int handle, const char* name, int* size, std::int32_t* value);
// A number: stores its low byte and returns 1. Computed: the function's
// result. Missing or a string: -1.
int config_get_uint8(int handle, const char* name, int* size, std::uint8_t* value);
// A string of hexadecimal byte values separated by one character each (as
// config_set_binary writes them): stores at most *size bytes and returns the
// count stored. Computed: the function's result. Missing or a number: -1.
int config_get_binary(int handle, const char* name, std::uint32_t* size, std::uint8_t* buffer);

// A number: its value; a computed value that yields at least one byte: that
// value; otherwise def.
std::uint32_t getGnrcConfigValue32(const char* path, const char* name, std::uint32_t def);
std::uint32_t getConfigLong(const char* name, std::uint32_t def);
// A number: its low byte is not 0; otherwise def.
bool getConfigBinary(const char* name, bool def);
// A non-empty string shorter than size is copied with its NUL; otherwise the
// default is copied, cut to size - 1 characters. 0 on success; -1 when
// buffer or def is null or size is below 1.
int getConfigString(const char* name, char* buffer, int size, const char* def);

// Writes: the result goes to *written (nullptr allowed); the return value is
// always 0.
int config_set_string(int handle, const char* section, const char* name, const char* value,
                      int* written);  // length + 1
int config_set_uint8(int handle, const char* section, const char* name, std::uint8_t value,
                     int* written);  // 1
int config_set_uint32(int handle, const char* section, const char* name, std::uint32_t value,
                      int* written);  // 4
// Stores the bytes as text, "%2.2X" each, separated by one blank; count x 3.
int config_set_binary(int handle, const char* section, const char* name, const std::uint8_t* bytes,
                      int count, int* written);

// Kept for the callers of the per-device store: no files are made.
int config_create(const char* path);            // -1
int config_open_sgdev(const char* section);     // -1
int config_set_default(int handle);             // 0
void config_close(int handle);                  // nothing
void ConfigInitial(int handle, void* record);   // nothing
void ConfigLock();                              // nothing
void ConfigUnlock();                            // nothing
void set_sg_num(int number);                    // nothing

}  // extern "C"

namespace kel {

// Value types of the store.
enum ConfigType : int {
  kConfigAbsent = 0,
  kConfigString = 1,
  kConfigU32 = 2,
  kConfigU8 = 3,
  kConfigComputed = 4,
};

// A computed value: fills buffer (capacity *size) and returns the count
// written, or 0 after storing the size needed in *size.
using ConfigComputeFn = int (*)(int* size, char* buffer);

struct ConfigDefault {
  const char* name;
  ConfigType type;
  std::uint32_t number;     // kConfigU32, kConfigU8
  const char* text;         // kConfigString
  ConfigComputeFn compute;  // kConfigComputed
};

// The built-in default table, ended by a row of type kConfigAbsent.
const ConfigDefault* ConfigDefaults();

// The file-system cache directory of the command line; "Fs Cache File Path"
// is it followed by "/KELFS". Set by quorvel_kel_init.
void SetConfigCacheDirectory(const char* directory);

// Where the store reads its values in the registry.
constexpr const char* kConfigRegistryPath = "Software\\Quorvel\\Stravo";
constexpr const char* kConfigRegistrySection = "KELFS";

// Forgets the cached registry reads and the set values, so the next read
// of every name goes to the registry again (tests, tools).
void ResetConfigCache();

}  // namespace kel
