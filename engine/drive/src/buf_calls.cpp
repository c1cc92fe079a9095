// Kernel-style buffer, cluster and eject calls of the engine: each checks its
// arguments and the drive client, then forwards to the client.
#include "drive/client_if.h"

#include "storage_scsi_log.h"

#include <cstdlib>

#define BAD_BP(fn, bp) \
  KEL_LOG_AS(fn, drvlog::ERR_, KEL_MOD_DRV, KEL_MARK_NOTE, "Invalid argument. bp=%p pclient_if=%p\n", \
             static_cast<void*>(bp), static_cast<void*>(pclient_if))

void buf_biodone(buf_t bp) {
  if (bp == nullptr || pclient_if == nullptr) BAD_BP("void buf_biodone(buf_t)", bp);
}

daddr64_t buf_blkno(buf_t bp) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("daddr64_t buf_blkno(buf_t)", bp);
    return 0;
  }
  return bp->blkno;
}

uint32_t buf_count(buf_t bp) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("uint32_t buf_count(buf_t)", bp);
    return 0;
  }
  return bp->count;
}

uintptr_t buf_dataptr(buf_t bp) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("uintptr_t buf_dataptr(buf_t)", bp);
    return 0;
  }
  return reinterpret_cast<uintptr_t>(bp->data);
}

int32_t buf_flags(buf_t bp) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("int32_t buf_flags(buf_t)", bp);
    return 0;
  }
  return bp->flags;
}

void buf_setcount(buf_t bp, uint32_t count) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("void buf_setcount(buf_t, uint32_t)", bp);
    return;
  }
  bp->count = count;
}

void buf_seterror(buf_t bp, errno_t error) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("void buf_seterror(buf_t, errno_t)", bp);
    return;
  }
  bp->error = error;
}

void buf_setflags(buf_t bp, int32_t flags) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("void buf_setflags(buf_t, int32_t)", bp);
    return;
  }
  bp->flags = flags;
}

vnode_t buf_vnode(buf_t bp) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("vnode_t buf_vnode(buf_t)", bp);
    return nullptr;
  }
  return static_cast<vnode_t>(bp->vnode);
}

errno_t buf_map(buf_t bp, caddr_t* io_addr) {
  if (bp == nullptr || io_addr == nullptr || pclient_if == nullptr) {
    KEL_LOG_AS("errno_t buf_map(buf_t, caddr_t*)", drvlog::ERR_, KEL_MOD_DRV, KEL_MARK_NOTE,
               "Invalid argument. bp=%p, io_addr=%p pclient_if=%p\n", static_cast<void*>(bp),
               static_cast<void*>(io_addr), static_cast<void*>(pclient_if));
    return drv_err::kInvalid;
  }
  *io_addr = reinterpret_cast<caddr_t>(bp->data);
  return 0;
}

errno_t buf_unmap(buf_t bp) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("errno_t buf_unmap(buf_t)", bp);
    return drv_err::kInvalid;
  }
  return 0;
}

errno_t buf_strategy(vnode_t devvp, void* ap) {
  if (devvp == nullptr || ap == nullptr || pclient_if == nullptr) {
    KEL_LOG_AS("errno_t buf_strategy(vnode_t, void*)", drvlog::ERR_, KEL_MOD_DRV, KEL_MARK_NOTE,
               "Invalid argument. devvp=%p, ap=%p pclient_if=%p\n", static_cast<void*>(devvp), ap,
               static_cast<void*>(pclient_if));
    return drv_err::kInvalid;
  }
  return 0;
}

void buf_flushdirtyblks(vnode_t vp, int wait, int, const char* msg) {
  if (vp == nullptr || msg == nullptr || wait < 0 || pclient_if == nullptr)
    KEL_LOG_AS("void buf_flushdirtyblks(vnode_t, int, int, const char*)", drvlog::ERR_, KEL_MOD_DRV,
               KEL_MARK_NOTE, "Invalid argument. vp=%p, msg=%p, wait=%d pclient_if=%p\n", static_cast<void*>(vp),
               static_cast<const void*>(msg), wait, static_cast<void*>(pclient_if));
}

void buf_iterate(vnode_t vp, int (*callout)(buf_t, void*), int, void* arg) {
  if (vp == nullptr || callout == nullptr || arg == nullptr || pclient_if == nullptr)
    KEL_LOG_AS("void buf_iterate(vnode_t, int (*)(buf_t, void*), int, void*)", drvlog::ERR_, KEL_MOD_DRV,
               KEL_MARK_NOTE, "Invalid argument. vp=%p, callout=%p, arg=%p pclient_if=%p\n",
               static_cast<void*>(vp), reinterpret_cast<void*>(callout), arg, static_cast<void*>(pclient_if));
}

int buf_invalidateblks(vnode_t vp, int, int, int) {
  if (vp == nullptr || pclient_if == nullptr)
    KEL_LOG_AS("int buf_invalidateblks(vnode_t, int, int, int)", drvlog::ERR_, KEL_MOD_DRV, KEL_MARK_NOTE,
               "Invalid argument. vp=%p pclient_if=%p\n", static_cast<void*>(vp), static_cast<void*>(pclient_if));
  return 0;
}

int cluster_push(vnode_t vp, int) {
  if (vp == nullptr || pclient_if == nullptr)
    KEL_LOG_AS("int cluster_push(vnode_t, int)", drvlog::ERR_, KEL_MOD_DRV, KEL_MARK_NOTE,
               "Invalid argument. vp=%p pclient_if=%p\n", static_cast<void*>(vp), static_cast<void*>(pclient_if));
  return 0;
}

void buf_brelse(buf_t bp) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("void buf_brelse(buf_t)", bp);
    return;
  }
  std::free(bp->data);
  std::free(bp);
}

buf_t buf_getblk(vnode_t vp, daddr64_t blkno, int size, int slpflag, int slptimeo, int operation) {
  if (vp == nullptr || size <= 0 || pclient_if == nullptr) {
    KEL_LOG_AS("buf_t buf_getblk(vnode_t, daddr64_t, int, int, int, int)", drvlog::ERR_, KEL_MOD_DRV,
               KEL_MARK_NOTE, "Invalid argument. vp=%p, size=%d pclient_if=%p\n", static_cast<void*>(vp), size,
               static_cast<void*>(pclient_if));
    return nullptr;
  }
  return pclient_if->buf_getblk(vp, blkno, size, slpflag, slptimeo, operation);
}

int buf_meta_bread(vnode_t vp, daddr64_t blkno, int size, kauth_cred_t cred, buf_t* bpp) {
  if (vp == nullptr || size <= 0 || bpp == nullptr || pclient_if == nullptr) {
    KEL_LOG_AS("int buf_meta_bread(vnode_t, daddr64_t, int, kauth_cred_t, buf_t*)", drvlog::ERR_, KEL_MOD_DRV,
               KEL_MARK_NOTE, "Invalid argument. vp=%p, size=%d, bpp=%p pclient_if=%p\n", static_cast<void*>(vp),
               size, static_cast<void*>(bpp), static_cast<void*>(pclient_if));
    return drv_err::kInvalid;
  }
  return pclient_if->buf_meta_bread(vp, blkno, size, cred, bpp);
}

int buf_bwrite(buf_t bp) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("int buf_bwrite(buf_t)", bp);
    return drv_err::kInvalid;
  }
  return pclient_if->buf_bwrite(bp);
}

int buf_bdwrite(buf_t bp) {
  if (bp == nullptr || pclient_if == nullptr) {
    BAD_BP("int buf_bdwrite(buf_t)", bp);
    return drv_err::kInvalid;
  }
  pclient_if->set_delayed_write();
  return pclient_if->buf_bwrite(bp);
}

int cluster_read(vnode_t vp, uio_t uio, off64_kel_t filesize, int flags) {
  if (vp == nullptr || uio == nullptr || filesize < 0 || pclient_if == nullptr) {
    KEL_LOG_AS("int cluster_read(vnode_t, uio_t, off_t, int)", drvlog::ERR_, KEL_MOD_DRV, KEL_MARK_NOTE,
               "Invalid argument. vp=%p, uio=%p, filesize=%d pclient_if=%p\n", static_cast<void*>(vp),
               static_cast<void*>(uio), static_cast<int>(filesize), static_cast<void*>(pclient_if));
    return 0;
  }
  return pclient_if->cluster_read(vp, uio, filesize, flags);
}

int cluster_write(vnode_t vp, uio_t uio, off64_kel_t oldEOF, off64_kel_t newEOF, off64_kel_t headOff,
                  off64_kel_t tailOff, int flags) {
  if (vp == nullptr || uio == nullptr || oldEOF < 0 || newEOF <= 0 || pclient_if == nullptr) {
    KEL_LOG_AS("int cluster_write(vnode_t, uio_t, off_t, off_t, off_t, off_t, int)", drvlog::ERR_, KEL_MOD_DRV,
               KEL_MARK_NOTE, "Invalid argument. vp=%p, uio=%p, oldEOF=%d, newEOF=%d pclient_if=%p\n",
               static_cast<void*>(vp), static_cast<void*>(uio), static_cast<int>(oldEOF), static_cast<int>(newEOF),
               static_cast<void*>(pclient_if));
    return 0;
  }
  return pclient_if->cluster_write(vp, uio, oldEOF, newEOF, headOff, tailOff, flags);
}

void disable_eject() {
  if (pclient_if == nullptr) {
    KEL_LOG_AS("void disable_eject()", drvlog::ERR_, KEL_MOD_DRV, KEL_MARK_NOTE, "Invalid argument. pclient_if=%p\n",
               static_cast<void*>(pclient_if));
    return;
  }
  (void)pclient_if->disable_eject();
}

void enable_eject_and_remove_media() {
  if (pclient_if == nullptr) {
    KEL_LOG_AS("void enable_eject_and_remove_media()", drvlog::ERR_, KEL_MOD_DRV, KEL_MARK_NOTE,
               "Invalid argument. pclient_if=%p\n", static_cast<void*>(pclient_if));
    return;
  }
  (void)pclient_if->enable_eject_and_remove_media();
}

bool sgconf_lock(bool lock) {
  if (pclient_if == nullptr) {
    KEL_LOG_AS("bool sgconf_lock(bool)", drvlog::ERR_, KEL_MOD_DRV, KEL_MARK_NOTE, "Invalid argument. pclient_if=%p\n",
               static_cast<void*>(pclient_if));
    return false;
  }
  pclient_if->storage()->config_lock(lock);
  return true;
}

bool set_cartridge_svg_flg(bool on) {
  if (pclient_if == nullptr) {
    KEL_LOG_AS("bool set_cartridge_svg_flg(bool)", drvlog::ERR_, KEL_MOD_DRV, KEL_MARK_NOTE,
               "Invalid argument. pclient_if=%p\n", static_cast<void*>(pclient_if));
    return false;
  }
  pclient_if->storage()->set_cartridge_svg_flg(on);
  return true;
}

std::uint8_t clientif_get_medium_type() {
  if (pclient_if == nullptr) return 0;
  char type = 0;
  if (pclient_if->storage()->get_medium_type(&type) != 0) return 0;
  return static_cast<std::uint8_t>(type);
}

void clientif_delete() {
  if (pclient_if == nullptr) return;
  KEL_LOG_AS("void clientif_delete()", drvlog::WARN, KEL_MOD_DRV, KEL_MARK_NOTE, "delete client_if\n");
  delete pclient_if;
  pclient_if = nullptr;
}
