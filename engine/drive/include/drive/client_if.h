// The drive client: the process-wide object behind the kernel-style buffer,
// cluster and device-control calls of the file-system engine. It owns the
// drive's storage_scsi and holds the media services.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "drive/scsi_service.h"
#include "drive/storage_scsi.h"
#include "kelhost/kern_types.h"

struct ucred;
typedef struct ucred* kauth_cred_t;

// Operation of buf_getblk that reads the blocks before handing them out.
constexpr int BUF_OP_METADATA = 0x10;

class client_if {
 public:
  client_if();
  ~client_if();
  client_if(const client_if&) = delete;
  client_if& operator=(const client_if&) = delete;

  // The storage, created again when it is missing.
  storage_scsi* storage();
  scsi_service& service() { return m_service; }

  // Buffers. buf_getblk with BUF_OP_METADATA reads the blocks first; when
  // that read fails it still hands out the zero-filled buffer (its error
  // field holds the read's result), since its callers rewrite the buffer
  // whole. need_data: the caller needs the blocks' contents, so a failed
  // read gives null (buf_meta_bread).
  buf_t buf_getblk(vnode_t vp, daddr64_t blkno, int size, int slpflag, int slptimeo, int operation,
                   bool need_data = false);
  int buf_meta_bread(vnode_t vp, daddr64_t blkno, int size, kauth_cred_t cred, buf_t* bpp);
  int buf_bwrite(buf_t bp);
  void set_delayed_write() { m_delayed_write = true; }
  bool delayed_write() const { return m_delayed_write; }
  int cluster_read(vnode_t vp, uio_t uio, off64_kel_t filesize, int flags);
  int cluster_write(vnode_t vp, uio_t uio, off64_kel_t oldEOF, off64_kel_t newEOF, off64_kel_t headOff,
                    off64_kel_t tailOff, int flags);
  int copy_from_uio(buf_t bp, uio_t uio, int offset);
  int copy_to_uio(buf_t bp, uio_t uio, int offset);
  int disable_eject();
  int enable_eject_and_remove_media();

  // Accessors without logging.
  std::uint32_t buf_blkno(buf_t bp) const { return bp->blkno; }
  std::uint32_t buf_count(buf_t bp) const { return bp->count; }
  std::int32_t buf_flags(buf_t bp) const { return bp->flags; }
  unsigned char* buf_dataptr(buf_t bp) const { return bp->data; }
  std::int32_t buf_error(buf_t bp) const { return bp->error; }
  int buf_map(buf_t bp, char** addr) const {
    *addr = reinterpret_cast<char*>(bp->data);
    return 0;
  }

  // Device controls (VNOP_IOCTL).
  int VNOP_IOCTL(vnode_t vp, std::uint32_t command, caddr_t data, int flags, vfs_context_t context);

  // Pre-mount and mount.
  int premount_operation(char* devicename, char* devmedia, int* isFinalized, int* isWriteProtected,
                         int* isWriteUnspported);
  int MountStart();
  int MountForLastSlot(bool driveVerify);
  bool unread_1500h() const { return m_1500h_unread; }

 private:
  int reformat(caddr_t data);
  int get_slot_info_control(caddr_t data);
  int read_attribute_control(caddr_t data);
  std::uint8_t medium_type_or_default();
  // The mount of the last written slot once it is loaded: its format read,
  // the volume taken as it is or refused, a blank first disc formatted.
  int mount_last_slot(MDCFS_MOUNT_INFORMATION& mi, std::uint8_t type, std::uint8_t last_slot, bool slot_read,
                      bool driveVerify);
  int format_blank_disc(MDCFS_MOUNT_INFORMATION& mi, std::uint8_t type, bool driveVerify);
  // A rollback the cartridge memory's record asks to resume (a slot and
  // address under a sound CRC) started again; on a protected medium or
  // cartridge a raw mount and kNotSupported. `result` when none is asked.
  int resume_rollback(const pxo_1500h_cm_record_t& rec, std::uint8_t type, int result);

  // The answer of the last slot-information request, with the drive state
  // it was read under: while neither the drive's state generation nor the
  // epoch of the host side moved, the drive would answer the same.
  struct SlotAnswer {
    bool valid = false;
    std::uint64_t generation = 0, epoch = 0;
    unsigned char record[16] = {};
    int result = 0;
  };
  std::mutex m_slot_answer_mutex;
  SlotAnswer m_slot_answer;
  // The cartridge memory's answers read under KeptCartridgeMemoryReads,
  // kept by the same rule as the slot answer, one per list and length.
  struct AttributeAnswer {
    std::uint16_t id = 0, length = 0;
    std::uint8_t action = 0;
    std::vector<unsigned char> bytes;
  };
  struct AttributeAnswers {
    std::uint64_t generation = 0, epoch = 0;
    std::vector<AttributeAnswer> kept;
  };
  std::mutex m_attribute_mutex;
  AttributeAnswers m_attribute_answers;

  bool m_1500h_unread = false;
  storage_scsi* m_storage = nullptr;
  scsi_service m_service;
  // Set and cleared by the buffer calls of every engine thread.
  std::atomic<bool> m_delayed_write{false};
};

// While one lives on a thread, the cartridge-memory lists that thread reads
// (PXOIOREADATTRIBUTE) are answered as they were read before under the same
// drive state, if they were: the volume's identity, asked at every request.
class KeptCartridgeMemoryReads {
 public:
  KeptCartridgeMemoryReads();
  ~KeptCartridgeMemoryReads();
  KeptCartridgeMemoryReads(const KeptCartridgeMemoryReads&) = delete;
  KeptCartridgeMemoryReads& operator=(const KeptCartridgeMemoryReads&) = delete;
  static bool active();
};

// The process-wide client (null until premount_operation creates it).
extern client_if* pclient_if;

// Kernel-style entry points of the engine.
void buf_biodone(buf_t bp);
daddr64_t buf_blkno(buf_t bp);
uint32_t buf_count(buf_t bp);
uintptr_t buf_dataptr(buf_t bp);
int32_t buf_flags(buf_t bp);
void buf_setcount(buf_t bp, uint32_t count);
void buf_seterror(buf_t bp, errno_t error);
void buf_setflags(buf_t bp, int32_t flags);
vnode_t buf_vnode(buf_t bp);
errno_t buf_map(buf_t bp, caddr_t* io_addr);
errno_t buf_unmap(buf_t bp);
errno_t buf_strategy(vnode_t devvp, void* ap);
void buf_flushdirtyblks(vnode_t vp, int wait, int flags, const char* msg);
void buf_iterate(vnode_t vp, int (*callout)(buf_t, void*), int flags, void* arg);
int buf_invalidateblks(vnode_t vp, int flags, int slpflag, int slptimeo);
int cluster_push(vnode_t vp, int flags);
void buf_brelse(buf_t bp);
buf_t buf_getblk(vnode_t vp, daddr64_t blkno, int size, int slpflag, int slptimeo, int operation);
int buf_meta_bread(vnode_t vp, daddr64_t blkno, int size, kauth_cred_t cred, buf_t* bpp);
int buf_bwrite(buf_t bp);
int buf_bdwrite(buf_t bp);
int cluster_read(vnode_t vp, uio_t uio, off64_kel_t filesize, int flags);
int cluster_write(vnode_t vp, uio_t uio, off64_kel_t oldEOF, off64_kel_t newEOF, off64_kel_t headOff,
                  off64_kel_t tailOff, int flags);
void disable_eject();
void enable_eject_and_remove_media();
bool sgconf_lock(bool lock);
bool set_cartridge_svg_flg(bool on);
std::uint8_t clientif_get_medium_type();
void clientif_delete();
int VNOP_IOCTL(vnode_t vp, uint32_t command, char* data, int fflag, vfs_context_t ctx);
int premount_operation(char* devicename, char* devmedia, int* isFinalized, int* isWriteProtected,
                       int* isWriteUnspported);
