// File slots: create, open, close, control, read, write and attributes.
#include "kelhost/kern_errno.h"
#include "slot_calls.h"

#include <cstring>

namespace kelmain {
namespace {

constexpr std::size_t kStoredNameBytes = 264;

// One read or write of length bytes at offset through a one-iovec uio.
int transfer(void* handle, void* buffer, std::uint64_t offset, unsigned length, int* done, bool write) {
  auto* vp = static_cast<vnode_t>(handle);
  if (vp == nullptr || done == nullptr || offset > static_cast<std::uint64_t>(INT64_MAX)) return KEL_EINVAL;
  if (length > static_cast<unsigned>(INT32_MAX)) return KEL_EINVAL;  // the done count is a signed 32-bit value
  uio_t uio = uio_create(1, static_cast<off64_kel_t>(offset), UIO_SYSSPACE, write ? UIO_WRITE : UIO_READ);
  if (uio == nullptr) return KEL_ENOMEM;
  uio_addiov(uio, reinterpret_cast<user_addr_t>(buffer), length);
  vfs_context ctx = slot::caller_context();
  const int err = write ? slot::vn_write(vp, uio, 0, &ctx) : slot::vn_read(vp, uio, 0, &ctx);
  *done = static_cast<int>(length - static_cast<unsigned>(uio_resid(uio)));
  uio_free(uio);
  return err;
}

int set_attributes(void* handle, vnode_attr* va) {
  vfs_context ctx = slot::caller_context();
  return slot::vn_setattr(static_cast<vnode_t>(handle), va, &ctx);
}

bool time_given(const timespec* t) { return t != nullptr && (t->tv_sec != 0 || t->tv_nsec != 0); }

}  // namespace

int CreateFile(const char* folder, const char* name, std::size_t name_size, char* name_out, void** handle) {
  vfs_context ctx = slot::caller_context();
  vnode_t vp = nullptr;
  if (const int err = slot::make_object(folder, name, false, &ctx, &vp)) return err;
  if (const int err = slot::vn_close(vp, FWRITE, &ctx)) return err;
  if (handle == nullptr) return 0;
  char stored[kStoredNameBytes] = {};
  if (const int err = vnode_ioctl(vp, kIoctlStoredName, stored, 0, &ctx)) return err;
  const std::size_t length = strnlen(stored, sizeof(stored));
  // The stored name with its terminator must fit: never hand back a cut name.
  if (name_out == nullptr || length >= name_size) return KEL_ENAMETOOLONG;
  std::memcpy(name_out, stored, length + 1);
  *handle = vp;
  return 0;
}

int OpenFile(const char* path, int mode, void** handle) {
  vfs_context ctx = slot::caller_context();
  EntryPtr entry = slot::resolve(path, &ctx);
  if (!entry) return KEL_ENOENT;
  const int err = slot::vn_open(entry->vn.get(), mode, &ctx);
  if (err == 0 && handle) *handle = entry->vn.get();
  return err;
}

int CloseFile(void* handle, bool dummy) {
  auto* vp = static_cast<vnode_t>(handle);
  vfs_context ctx = slot::caller_context();
  if (dummy) return vnode_ioctl(vp, kIoctlDummyClose, nullptr, 0, &ctx);
  return slot::vn_close(vp, FWRITE, &ctx);
}

int FileIoctl(void* handle, unsigned code, void* data) {
  vfs_context ctx = slot::caller_context();
  return vnode_ioctl(static_cast<vnode_t>(handle), mask_fsctl_length(code), data, 0, &ctx);
}

int ReadData(void* handle, void* buffer, std::uint64_t offset, unsigned length, int* done) {
  return transfer(handle, buffer, offset, length, done, false);
}

int WriteData(void* handle, const void* buffer, std::uint64_t offset, unsigned length, int* done) {
  return transfer(handle, const_cast<void*>(buffer), offset, length, done, true);
}

int SetAttributes(void* handle, int mode) {
  vnode_attr va{};
  va.va_active = VATTR_MODE;
  va.va_mode = static_cast<std::uint16_t>(mode);
  return set_attributes(handle, &va);
}

int SetFileTimes(void* handle, const timespec* created, const timespec* accessed, const timespec* modified) {
  vnode_attr va{};
  const struct {
    const timespec* given;
    std::uint64_t bit;
    timespec vnode_attr::*member;
  } times[] = {{created, VATTR_CREATE_TIME, &vnode_attr::va_create_time},
               {accessed, VATTR_ACCESS_TIME, &vnode_attr::va_access_time},
               {modified, VATTR_MODIFY_TIME, &vnode_attr::va_modify_time}};
  for (const auto& t : times) {
    if (!time_given(t.given)) continue;
    va.va_active |= t.bit;
    va.*(t.member) = *t.given;
  }
  return set_attributes(handle, &va);
}

int SetFileSize(void* handle, std::uint64_t size) {
  vfs_context ctx = slot::caller_context();
  vnode_attr va{};
  va.va_active = VATTR_MODIFY_TIME;
  if (const int err = slot::vn_getattr(static_cast<vnode_t>(handle), &va, &ctx)) return err;
  // The modification time goes back unchanged with the new size.
  va.va_active |= VATTR_DATA_SIZE;
  va.va_data_size = size;
  return slot::vn_setattr(static_cast<vnode_t>(handle), &va, &ctx);
}

}  // namespace kelmain
