// storage_scsi: the engine's access object for one drive. Every SCSI command
// of the engine is built here and leaves through quorvel_scsi_transfer.
#pragma once

#include "drive/storage_scsi_records.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <sys/time.h>

#include "kelhost/kern_types.h"

using caddr_t = char*;
using UInt8 = std::uint8_t;
using UInt16 = std::uint16_t;
using UInt32 = std::uint32_t;
using Boolean = bool;

// Result codes of the drive layer (errno style).
namespace drv_err {
constexpr int kOk = 0;
constexpr int kPerm = 1;               // unsupported product; some sense keys
constexpr int kIO = 5;                 // drive or store failure
constexpr int kUnformatted = 6;        // sense 05/30/10
constexpr int kWriteProtected = 11;    // write paths
constexpr int kNoMemory = 12;
constexpr int kNotReady = 13;
constexpr int kNoDevice = 19;          // drive not open
constexpr int kInvalid = 22;
constexpr int kNoSpace = 28;          // the host reports a full disc
constexpr int kMediumNotAccessible = 25;
constexpr int kReadOnly = 30;
constexpr int kUnknownControl = 56;
constexpr int kNoData = 61;            // empty information cache
constexpr int kNotSupported = 95;
constexpr int kNoMedium = 138;         // no medium became ready at start-up
}  // namespace drv_err

// Medium types: one classification for the whole system.
namespace medium {
constexpr std::uint8_t kUnknown = 0xE0;
bool is_write_once(std::uint8_t type);
bool is_rewritable(std::uint8_t type);
}  // namespace medium

// Sense mapping (pure functions over a fixed-format sense buffer).
int get_err_from_sensekey(const unsigned char* sense);
int get_err_from_sensekey_for_write(const unsigned char* sense);
int get_err_from_sensekey_with_ioreturn(const unsigned char* sense, std::uint32_t* ioreturn);

// CRC-16/XMODEM (polynomial 1021h, initial 0, MSB first).
std::uint16_t calculate_crc(const std::uint8_t* s, int n);

// Source of the time of day used for the drive clock and the access stamps
// (gettimeofday unless replaced; nullptr restores it).
using storage_scsi_time_of_day_fn = int (*)(struct timeval*, void*);
void storage_scsi_set_time_of_day_source(storage_scsi_time_of_day_fn fn);

// Supported drive models.
enum class DriveModel : int {
  kNone = -1,
  kPxoU2 = 0,
  kT10A,
  kT20A,
  kT20B,
  kT300A,
  kT300B,
  kT400A,
  kT400B,
};
// Model of a product identification (prefix compare over the model's length).
DriveModel model_from_product(const char* product);

class storage_scsi {
 public:
  // Per-device configuration mirror, in the order get_config walks it.
  struct DeviceConfig {
    MDCFS_MOUNT_INFORMATION mount{};  // first five values
    std::uint32_t medium_condition = 0;
    std::uint32_t medium_presence = 0;
    std::uint32_t media_status = 0;
    std::uint8_t logging_level = 0;
    std::uint8_t zone_information = 0;
    std::uint8_t current_slot = 0;
    std::uint8_t last_written_slot = 0;
    std::uint8_t unmount = 0;
    char product_serial[17] = {};
    std::uint8_t medium_unique_id[32] = {};
    std::uint32_t rollback_slot = 0;
    std::uint32_t rollback_metadata_fe_lsn = 0;
    std::uint32_t rollback_fsd_lsn = 0;
    std::uint32_t disc_change_threshold = 0;
    std::uint32_t verify_on_write = 0;
    std::uint32_t re_reformat = 0;
    std::uint32_t before_access_mode = 0;
    std::uint8_t fail_1500h = 255;
    std::uint8_t volume_type = 0;
    std::uint32_t max_fs_meta_flg = 1000;
    std::uint32_t rec_inhibit = 0;
    std::uint32_t generate_parity = 0;
  };

  storage_scsi();
  ~storage_scsi();
  storage_scsi(const storage_scsi&) = delete;
  storage_scsi& operator=(const storage_scsi&) = delete;

  // ---- transport
  int scsi_open(int mode);
  int scsi_ioctl(int fd, int cdb_len, unsigned char* cdb, int direction, int transfer_len,
                 unsigned char* data, unsigned char sense_len, unsigned char* sense,
                 unsigned char* status);
  errno_t scsi_passthrough_ioctl(caddr_t data);
  errno_t setTime(UInt32 seconds);
  errno_t setCurrentTime();
  errno_t scsi_identify(caddr_t data);
  errno_t get_write_fail_cnt(caddr_t data);
  void increment_write_fail_cnt() { ++m_write_fail_cnt; }
  errno_t notify_unmount(caddr_t data);

  // ---- caches
  errno_t scsi_cache_check(caddr_t data);
  errno_t update_disc_info(caddr_t data);
  errno_t update_track_info(caddr_t data);
  errno_t set_opc_resource_data(UInt16* count);
  errno_t scsi_cache_clear();

  // ---- per-device configuration
  errno_t get_config();
  errno_t set_config();
  errno_t init_config();
  errno_t get_config_MediumUniqueID(UInt8* dst, int size);
  errno_t get_mount_info(caddr_t data);
  errno_t set_mount_info(caddr_t data);
  errno_t set_slot_info(caddr_t data);
  errno_t set_rollback_point(caddr_t data);
  errno_t get_rollback_point(caddr_t data);
  errno_t delete_rollback_point(caddr_t data = nullptr);
  errno_t set_volume_name(caddr_t data);
  errno_t get_disc_change_threshold();

  // ---- commands
  errno_t read_disc_info(caddr_t data, bool force);
  errno_t read_track_info(caddr_t data);
  errno_t get_medium_type_scsi(caddr_t data);
  errno_t close_track_session(caddr_t data);
  errno_t verify_range(caddr_t data);
  errno_t start_stop_unit(caddr_t data);
  errno_t mechanism_status(caddr_t data);
  errno_t get_block_size(caddr_t data);
  errno_t get_block_count(caddr_t data);
  errno_t next_slot_load(caddr_t data);
  errno_t format_unit(caddr_t data, bool flag);
  errno_t reserve_track(caddr_t data);
  errno_t read_format_capacity(caddr_t data);
  errno_t prevent_allow_medium_removal(caddr_t data);
  errno_t readDI(std::uint8_t* di, UInt32 len);
  errno_t get_dds(caddr_t data);
  // Defect list piece `index`: the record (medium type at byte 0) receives the
  // answer after its 4-byte header from byte 4; it must hold 4 + length bytes.
  // total (pieces in all) and count (entries of this piece) may be null.
  errno_t get_dfl(std::uint8_t* dfl, UInt32 length, UInt32 index, UInt32* total, UInt32* count,
                  bool unused = false);
  // Defect status of the address in *lba (GET PERFORMANCE type 02h).
  errno_t getPerformance(UInt32* lba);

  // ---- defect bitmap (one bit per 32-block cluster)
  static constexpr UInt32 kDefectBitmapSize = 0x40000;
  // Logical sector of a physical sector; FFFFFFFFh when it has none.
  UInt32 convertPSNtoLSN(UInt32 psn, UInt32* l1start, UInt32* l1end, UInt32* l2start);
  errno_t makeDefectBitmap(UInt8* bitmap, UInt32 length);
  errno_t rebuildDefectBitmap();
  errno_t getDefectBitmap(UInt8* bitmap, UInt32* length);
  errno_t setDefectBitmap(UInt8* bitmap, UInt32* length);
  // Moves nwa past defective clusters of [nwa, nwa + length): 0, or 255 when
  // there is no bitmap or the range leaves it (newNWA = nwa then).
  errno_t searchAndFindNwa(UInt32 nwa, UInt32 length, UInt32* newNWA, Boolean* replaced);
  bool has_defect_bitmap() const { return m_DFLBitmap != nullptr; }
  errno_t get_devinfo(caddr_t data);
  int scsi_dev_search(int fd, int loopcnt);
  errno_t pxo_read10(buf_t bp);
  errno_t check_medium_status(std::uint32_t* ioreturn);
  errno_t increment_dfl_count(caddr_t data);
  errno_t mainte_read_error_info(pxo_mainte_read_error_info_t* info);
  errno_t blink_access_led_once();
  errno_t getMediumUniqueIdFromINQUIRY(UInt8* id, UInt32 len);
  errno_t report_error(pxo_report_error_t* e);
  errno_t pxo_mode_sense10(std::uint8_t page, std::uint8_t* buf, std::size_t size);
  errno_t get_opc_resource_data(caddr_t data);
  errno_t dtaCtrlModePageUseModeSelectSet(Boolean* blIsSetFlgMSN, std::uint8_t ucSetMSNData,
                                          Boolean* blIsSetFlgWP, Boolean* bSetWPData);
  errno_t set_realloc_control(caddr_t data);
  errno_t setControlMode(bool on);
  errno_t reserve_write_range(caddr_t data);
  errno_t pxo_write10_for_cluster(buf_t bp, unsigned char ctl);
  errno_t pxo_write10_for_buf(buf_t bp, unsigned char ctl);
  errno_t synchronize_cache(caddr_t data);
  errno_t test_unit_ready(caddr_t data);
  errno_t check_test_unit_ready();
  errno_t scsi_passthrough(caddr_t data);

  // ---- identification and medium properties
  errno_t init();
  bool check_product_name();
  bool get_product_id(char* serial);
  errno_t getMediumUniqueID(UInt8* id, UInt32 len);
  errno_t get_slot_info(caddr_t data);
  // A count of what may have changed the drive's slot and defect state,
  // process-wide: every command sent other than a plain read that
  // succeeded, every failed command and every change of the slots the
  // configuration mirror keeps moves it on (after the command came back).
  // State read while it stayed the same is still the drive's.
  static std::uint64_t drive_state_generation();
  static void drive_state_changed();
  errno_t get_medium_type(caddr_t data);
  void set_device_number(const char* name);
  void set_device_name(const char* name);
  int get_device_number() const { return m_devnum; }
  void get_device_name(char* name) const;
  errno_t setDeviceNameForFsCacheAgent(UInt8* name, UInt32 len);
  errno_t determin_medium_properties(bool* undefined);
  errno_t reset_medium_properties();
  errno_t updateMediaInformation();
  errno_t util_check_medium_condition();
  void set_reformat_flg(std::uint32_t v);
  std::uint32_t get_reformat_flg() const { return m_config.re_reformat; }
  errno_t set_before_access_mode(std::uint32_t* v);
  errno_t get_before_access_mode(std::uint32_t* v);
  std::uint8_t get_volume_type_config(Boolean* failed);
  bool is_verify_on_write() const { return m_config.verify_on_write != 0; }
  void set_force_write_attribute(bool on) { m_force_write_attribute = on; }
  void config_lock(bool lock);
  static std::uint64_t get_current_usec();

  // ---- cartridge memory
  errno_t pxo_read_attribute_scsi(caddr_t attr, Boolean* unused = nullptr);
  errno_t get_read_attribute(std::uint16_t id, std::uint8_t* buf, std::uint32_t len);
  errno_t pxo_read_attribute(caddr_t attr);
  errno_t pxo_read_attribute_ForCM(caddr_t attr, Boolean* unused = nullptr);
  errno_t set_write_attribute(caddr_t list, unsigned int size);
  errno_t pxo_write_attribute_scsi(caddr_t list);
  errno_t pxo_write_attribute(caddr_t list);
  errno_t media_protect(caddr_t data);
  errno_t isCMWriteProtect(Boolean* on);
  errno_t check_1500H_CRC_result(caddr_t attr, errno_t err);
  errno_t report_1500H_CRC_result(caddr_t data);
  errno_t isCorrespondFormat(pxo_1500h_cm_record_t* dst, Boolean* out);
  errno_t isCorrespondMedia(Boolean* unreadable, UInt8* type, UInt16* typeinfo, Boolean* slotread);

  // ---- sense, alarm, write protection, mode pages
  errno_t set_raw_mount_status_to_mount_info(std::uint32_t status, std::uint32_t reasons,
                                             std::uint32_t error, std::uint8_t a, std::uint8_t b);
  errno_t set_raw_mount_status_to_mount_info_no_error_report(std::uint32_t status,
                                                             std::uint32_t reasons,
                                                             std::uint32_t error, std::uint8_t a,
                                                             std::uint8_t b);
  errno_t set_read_only_status_to_mount_info(std::uint32_t reasons);
  void set_pxo_property(const char* label, UInt32* data);
  errno_t check_writeprotected(std::uint8_t* wp);
  errno_t check_writeUnsupport(std::uint8_t* wu);
  errno_t check_SWPStatus(std::uint8_t* swp);
  bool isProtectFormCMorCartridge();
  errno_t getReadWriteBlockSizeModeSense(pxo_read_write_block_size_mode_page_t* page);
  errno_t getReadWriteErrorRecoveryParametersModeSense(
      pxo_read_write_error_recovery_parameters_mode_page_t* page);

  // ---- state seen by other parts of the drive layer and by tests
  DriveModel model() const { return m_model; }
  const char* product_id() const { return m_product; }
  bool is_write_once() const { return m_write_once; }
  std::uint8_t medium_type() const { return m_medium_type; }
  std::uint32_t medium_condition() const { return m_config.medium_condition; }
  int alarm_state() const { return m_alarm_state; }
  bool alarm_set() const { return m_alarm_set; }
  bool medium_write_protected() const { return m_MediumIsWriteProtected; }
  bool cartridge_write_protected() const { return m_cartridge_write_protect; }
  bool reasons_open() const { return m_reasons_open; }
  std::uint16_t read_block_size() const { return m_ReadBlockSize; }
  std::uint16_t write_block_size() const { return m_WriteBlockSize; }
  std::uint8_t fail_state_1500h() const { return m_fail_state_1500h; }
  std::uint8_t volume_type_1500h() const { return m_volume_type_1500h; }
  std::uint32_t sync_fail_count() const { return m_sync_fail_cnt.load(); }
  std::uint32_t dds_error_state() const { return m_dds_error; }
  std::uint32_t di_error_state() const { return m_di_error; }
  std::uint32_t faa(int layer) const { return m_FAA[layer]; }
  std::uint32_t laa(int layer) const { return m_LAA[layer]; }
  const DeviceConfig& config_mirror() const { return m_config; }
  DeviceConfig& config_mirror_for_update() { return m_config; }
  // The volume type of the mirror, under the configuration mutex.
  void set_mirror_volume_type(std::uint8_t v) {
    std::lock_guard<std::mutex> lk(m_config_mutex);
    m_config.volume_type = v;
  }
  std::uint64_t last_access_usec();
  void set_cartridge_svg_flg(bool on) { m_cartridge_svg = on; }
  // Volume type of an automatic-format request.
  void set_request_volume_type(std::uint8_t v) { m_volume_type_1500h = v; }
  bool cartridge_svg_flg() const { return m_cartridge_svg; }

  // Access-LED timer: states 0 idle, 1 blinking, 2 stop. timerHandler is the
  // thread body; the engine itself never starts the thread.
  void timerHandler();
  void start_access_led_timer();
  void set_timer_state(int state);

  // Medium state refresh after the properties are known (init, pre-mount).
  errno_t update_medium_state(bool undefined_type);

 private:
  struct Sense {
    unsigned char bytes[16] = {};
    unsigned char status = 0;
    int result = 0;
  };
  // Opens the drive, sends one CDB, closes. Returns 19 when the drive
  // cannot be opened (logged), else 0 with s filled. While a KeepReads
  // lives, a read of the drive's slots or cartridge memory asked again while
  // nothing changed (see KeptAnswers) is answered from what the drive said,
  // without a command.
  int send(unsigned char* cdb, int cdb_len, int direction, std::uint32_t transfer_len,
           unsigned char* data, Sense& s);
  // A read sent as send() does, asked once more when the drive answers it
  // with its reset (unit attention 29h) instead of running it: what the
  // reset lost is the writes' concern, not the read's.
  int send_read(unsigned char* cdb, int cdb_len, std::uint32_t transfer_len, unsigned char* data, Sense& s);
  // Good answers of MECHANISM STATUS and READ ATTRIBUTE, by CDB, kept while
  // neither the drive state generation nor the host side's drive epoch
  // moves: asked again then, the drive gives the same bytes.
  struct KeptAnswer {
    std::uint8_t cdb[16] = {};
    std::uint32_t length = 0;
    std::unique_ptr<std::uint8_t[]> data;
  };
  struct KeptAnswers {
    std::uint64_t generation = 0, epoch = 0;
    std::vector<KeptAnswer> answers;
  };
  bool kept_answer(const unsigned char* cdb, int cdb_len, std::uint32_t transfer_len, unsigned char* data,
                   std::uint64_t generation, std::uint64_t epoch);
  void keep_answer(const unsigned char* cdb, int cdb_len, std::uint32_t transfer_len, const unsigned char* data,
                   std::uint64_t generation, std::uint64_t epoch);
  std::mutex m_kept_mutex;
  KeptAnswers m_kept;
  std::atomic<int> m_keep_depth{0};

 public:
  // While one lives, the drive's answers to MECHANISM STATUS and READ
  // ATTRIBUTE are kept and a second identical read under the same drive
  // state is answered from the first (the reads of one slot-information
  // request ask the same several times over).
  class KeepReads {
   public:
    explicit KeepReads(storage_scsi& s);
    ~KeepReads();
    KeepReads(const KeepReads&) = delete;
    KeepReads& operator=(const KeepReads&) = delete;

   private:
    storage_scsi& s_;
  };

 private:
  errno_t test_unit_ready_once(bool* attention, bool* becoming_ready);
  void wait_ready_after_load();
  // Unit attentions asked past at once; how often and how long a load waits
  // for its disc to become ready.
  static constexpr int kReadyAttentions = 4;
  static constexpr std::uint32_t kLoadPollMs = 100;
  static constexpr std::uint32_t kLoadReadyMs = 60000;
  bool write_once_start_unrecorded();
  void stamp_access();
  void clear_caches_locked();
  errno_t get_devinfo_locked(pxo_devinfo_t* info);
  // One INQUIRY (page `page` with EVPD `evpd`, allocation length `length`)
  // into out: 0 with *rule the data's verdict (logged as `label` when it
  // fails), or the transport's error.
  errno_t inquiry(unsigned char evpd, unsigned char page, unsigned char length, unsigned char* out,
                  std::uint32_t transfer, const char* label, int* rule);
  // The product, model and (with a disc loaded) its unique identifier kept.
  void keep_identity(const unsigned char* inq, DriveModel model, const std::uint8_t* uid);
  errno_t read_attribute_raw(std::uint16_t id, std::uint8_t service_action, std::uint8_t* buf,
                             std::uint16_t len);
  errno_t check_1500h_content(const std::uint8_t* value, std::uint8_t* state, std::uint8_t* vtype,
                              bool log_invalid);
  errno_t mode_select_three_times(unsigned char* list, int cdb_len, std::uint16_t len);
  errno_t set_mount_status_common(std::uint32_t status, std::uint32_t reasons, std::uint32_t error,
                                  std::uint8_t a, std::uint8_t b, bool report);
  errno_t set_config_locked();
  errno_t get_config_locked();
  errno_t read_os_transfer_limit(std::uint16_t* units);
  // The steps of init.
  errno_t wait_for_medium();
  void reset_medium_state();
  void read_medium_type();
  errno_t read_write_protection();
  errno_t read_transfer_units(std::uint16_t* units);
  void decide_alarm_support(const pxo_devinfo_t& info);
  errno_t create_device_config();
  void decide_medium_condition();

  int fd_ = -1;
  DeviceConfig m_config;
  int m_devnum = -1;
  char m_devname[65] = {};
  // Counted by every thread that writes or flushes.
  std::atomic<std::uint32_t> m_write_fail_cnt{0};
  std::atomic<std::uint32_t> m_sync_fail_cnt{0};
  // Writes the drive took since its last SYNCHRONIZE CACHE, and a reset it
  // reported (unit attention 29h) while it held them: its cache is gone,
  // and the next SYNCHRONIZE CACHE must not vouch for them.
  std::atomic<bool> m_cached_writes{false};
  std::atomic<bool> m_cache_lost{false};
  void note_cache_state(const unsigned char* cdb, int res, std::uint8_t status, const unsigned char* sense);
  bool m_reasons_open = true;
  bool m_write_once = false;

  // information caches (cache mutex)
  pxo_disc_info_sd_t* m_cache_disc_info_sd = nullptr;
  pxo_disc_info_track_t* m_cache_disc_info_track = nullptr;
  pxo_disc_info_pow_t* m_cache_disc_info_pow = nullptr;
  pxo_track_info_data_t* m_cache_track_info_track1 = nullptr;
  pxo_track_info_data_t* m_cache_track_info_track2 = nullptr;
  std::uint8_t* m_cache_read_struct_DDS = nullptr;  // 100 bytes
  std::uint8_t* m_cache_read_struct_DI = nullptr;   // 4100 bytes
  std::uint16_t* m_cache_get_opc_info = nullptr;
  std::uint8_t* m_cache_inquiry = nullptr;  // 14-byte medium identifier

  std::mutex m_config_mutex;
  std::mutex m_cache_mutex;
  std::mutex m_access_mutex;
  std::mutex m_timer_mutex;
  std::condition_variable m_timer_cond;
  std::thread m_timer_thread;
  int m_timer_state = 0;
  std::uint64_t m_created_usec = 0;
  std::uint64_t m_last_access_usec = 0;

  // identification
  char m_product[17] = {};
  DriveModel m_model = DriveModel::kNone;
  std::uint16_t m_ReadBlockSize = 1;
  std::uint16_t m_WriteBlockSize = 1;
  bool m_MediumIsWriteProtected = false;
  bool m_cartridge_write_protect = false;
  bool m_product_supported = false;
  int m_alarm_state = 0;
  bool m_alarm_set = false;
  std::uint8_t m_medium_type = medium::kUnknown;
  std::uint32_t m_FAA[3] = {};
  std::uint32_t m_LAA[3] = {};
  std::uint8_t m_dds[100] = {};
  std::uint32_t m_dds_error = 0x10000000u;
  std::uint32_t m_di_error = 0x10000000u;
  std::uint8_t m_serial_cache[15] = {};
  bool m_serial_cache_valid = false;
  bool m_force_write_attribute = false;
  bool m_cartridge_svg = false;

  // defect bitmap (bitmap mutex)
  std::unique_ptr<std::uint8_t[]> m_DFLBitmap;
  std::mutex m_bitmap_mutex;
  std::atomic<int> m_bitmap_users{0};

  // cartridge memory
  std::uint8_t m_fail_state_1500h = 0;
  std::uint8_t m_volume_type_1500h = 0xFF;

  // mode page caches
  pxo_read_write_block_size_mode_page_t m_block_size_page{0xFFFF, 0xFFFF, 0xFFFF};
  bool m_recovery_page_valid = false;
  pxo_read_write_error_recovery_parameters_mode_page_t m_recovery_page{};
};
