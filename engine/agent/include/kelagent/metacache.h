// The engine's metacache requests: one builder per request code, and the
// media-information, coherency and mount-time operations built on them.
#pragma once

#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

// Request codes.
enum : std::uint32_t {
  MDC_REQ_FSMANAGE_OPEN = 19,
  MDC_REQ_FILE_READ = 20,
  MDC_REQ_FILE_WRITE = 21,
  MDC_REQ_FILE_CLOSE = 22,
  MDC_REQ_FILE_DELETE = 23,
  MDC_REQ_LOCALFILE_OPEN = 24,
  MDC_REQ_FSMANAGE_DELETE = 25,
  MDC_REQ_FILE_TRUNCATE = 26,
  MDC_REQ_EFEFILE_OPEN = 27,
};

// Regions of the fs management cache file.
constexpr std::uint32_t MDC_MEDIAINFO_OFFSET = 0x60000;
constexpr std::uint32_t MDC_MEDIAINFO_SIZE = 0xA0000;
constexpr std::uint32_t MDC_METADATA_OFFSET = 0x100000;
constexpr std::uint32_t MDC_FILE_WRITE_PIECE = 0x800000;

// Device controls of the drive layer used here.
enum : std::uint32_t {
  MDC_IOCTL_GET_MEDIUM_SERIAL = 0x400155FF,
  MDC_IOCTL_READ_ATTRIBUTE = 0x405855E6,
  MDC_IOCTL_DISC_INFO = 0xC02855D4,
  MDC_IOCTL_TRACK_INFO = 0xC03C55D5,
  MDC_IOCTL_GET_DEFECT_BITMAP = 0xC0105502,
  MDC_IOCTL_SET_DEFECT_BITMAP = 0xC0105503,
  MDC_IOCTL_GET_OPC_RESOURCE = 0x400255D9,
  MDC_IOCTL_SET_OPC_RESOURCE = 0xC0025504,
};

#pragma pack(push, 1)
// Control record of MDC_IOCTL_READ_ATTRIBUTE: the data pointer is stored
// unaligned at byte 5.
struct mdc_read_attribute_ctl {
  std::uint16_t attribute_id;
  std::uint16_t length;
  std::uint8_t pad;
  void* data;
};
// Control record of the defect-bitmap controls (16 bytes).
struct mdc_defect_bitmap_ctl {
  void* data;
  std::uint32_t length;
  std::uint32_t one;
};
// One media-information record header.
struct mdc_mediainfo_header {
  char tag[8];
  std::uint32_t length;
};
#pragma pack(pop)
static_assert(sizeof(mdc_read_attribute_ctl) == 13, "attribute control record");
static_assert(sizeof(mdc_defect_bitmap_ctl) == 16, "defect bitmap control record");
static_assert(sizeof(mdc_mediainfo_header) == 12, "media information header");

int mdcudfsr_metacache_fsmanage_open(mdcudfsr_mount* mp, mdcudfsr_cache_node* node,
                                     std::uint32_t* coherent, std::uint32_t* created);
int mdcudfsr_metacache_localfile_open(mdcudfsr_mount* mp, const char* name, std::uint32_t access,
                                      std::int32_t* handle, std::uint32_t* cache_err);
int mdcudfsr_metacache_efefile_open(mdcudfsr_mount* mp, const char* name, std::uint32_t access,
                                    std::int32_t* handle, std::uint32_t* cache_err);
int mdcudfsr_metacache_file_read(mdcudfsr_mount* mp, std::int32_t handle, std::uint64_t offset,
                                 std::uint32_t length, void* dst, std::uint32_t* read_len,
                                 std::uint32_t* cache_err);
int mdcudfsr_metacache_file_write(mdcudfsr_mount* mp, std::int32_t handle, std::uint64_t offset,
                                  std::uint32_t length, const void* src, std::uint32_t* written,
                                  std::uint32_t* cache_err);
// A read in two halves: begin sends the request, end waits for its answer
// and gives what mdcudfsr_metacache_file_read would (the caller may work on
// between the two); drop takes the answer and leaves it unread. A begin
// that fails leaves nothing to end.
struct mdc_pending_read {
  std::uint32_t seq = 0;
  std::int32_t handle = -1;
  std::uint64_t offset = 0;
  std::uint32_t length = 0;
  bool sent = false;
};
int mdcudfsr_metacache_file_read_begin(mdcudfsr_mount* mp, std::int32_t handle, std::uint64_t offset,
                                       std::uint32_t length, mdc_pending_read* r);
int mdcudfsr_metacache_file_read_end(mdcudfsr_mount* mp, mdc_pending_read* r, void* dst, std::uint32_t* read_len,
                                     std::uint32_t* cache_err);
void mdcudfsr_metacache_file_read_drop(mdcudfsr_mount* mp, mdc_pending_read* r);
// A write of one piece (at most MDC_FILE_WRITE_PIECE bytes) in two halves:
// begin copies the bytes into the request and sends it, end waits for its
// answer, as mdcudfsr_metacache_file_write would (the caller may read the
// next piece between the two). A begin that fails leaves nothing to end.
struct mdc_pending_write {
  std::uint32_t seq = 0;
  std::uint32_t length = 0;  // 0: nothing sent
};
int mdcudfsr_metacache_file_write_begin(mdcudfsr_mount* mp, std::int32_t handle, std::uint64_t offset,
                                        std::uint32_t length, const void* src, mdc_pending_write* w);
int mdcudfsr_metacache_file_write_end(mdcudfsr_mount* mp, mdc_pending_write* w, std::uint32_t* written,
                                      std::uint32_t* cache_err);
int mdcudfsr_metacache_file_close(mdcudfsr_mount* mp, std::int32_t handle);
int mdcudfsr_metacache_file_delete(mdcudfsr_mount* mp, const char* name, std::uint32_t* cache_err);
int mdcudfsr_metacache_fsmanage_delete(mdcudfsr_mount* mp, mdcudfsr_cache_node* node);
int mdcudfsr_metacache_file_truncate(mdcudfsr_mount* mp, std::int32_t handle, std::uint32_t size,
                                     std::uint32_t* cache_err);
int mdcudfsr_metacache_unmount(mdcudfsr_mount* mp);
int mdcudfsr_metacache_write_discinfo(mdcudfsr_mount* mp, std::uint32_t type, std::uint32_t offset,
                                      std::uint8_t* record, std::uint32_t* written,
                                      mdcudfsr_cache_node* node);
int mdcudfsr_metacache_write_trackinfo(mdcudfsr_mount* mp, std::uint32_t track, std::uint32_t offset,
                                       std::uint8_t* record, std::uint32_t* written,
                                       mdcudfsr_cache_node* node);
int mdcudfsr_metacache_write_mediainfo(mdcudfsr_mount* mp, mdcudfsr_cache_node* node);
int mdcudfsr_metacache_read_mediainfo(mdcudfsr_mount* mp, mdcudfsr_cache_node* node);
int mdcudfsr_metacache_update_coherent(mdcudfsr_mount* mp, mdcudfsr_cache_node* node);
int mdcudfsr_metacache_ajust_for_mount(mdcudfsr_mount* mp, mdcudfsr_cache_node* node,
                                       bool write_agent_record, bool rebuild);

// Trims a medium serial as the mount keeps it: when the first byte is not
// NUL, trailing blanks and NULs become NULs.
void mdcudfsr_metacache_trim_serial(char serial[32]);
// Adds one to the 24-bit coherency counter at bytes 361-363 (little-endian).
void mdcudfsr_metacache_bump_coherency(std::uint8_t* record);
