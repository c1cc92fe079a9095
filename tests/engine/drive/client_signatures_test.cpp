// The drive client's kernel-style calls have exactly the forms under which
// the UDF code and the cache agent call them.
#include "drive/client_if.h"
#include "udf/udf_neighbour_calls.h"

#include <type_traits>

static_assert(std::is_same_v<decltype(&::buf_meta_bread), int (*)(vnode_t, daddr64_t, int, kauth_cred_t, buf_t*)>);
static_assert(std::is_same_v<decltype(&::buf_getblk), buf_t (*)(vnode_t, daddr64_t, int, int, int, int)>);
static_assert(std::is_same_v<decltype(&::buf_dataptr), uintptr_t (*)(buf_t)>);
static_assert(std::is_same_v<decltype(&::buf_setflags), void (*)(buf_t, int32_t)>);
static_assert(std::is_same_v<decltype(&::buf_bwrite), int (*)(buf_t)>);
static_assert(std::is_same_v<decltype(&::buf_brelse), void (*)(buf_t)>);
static_assert(std::is_same_v<decltype(&::buf_invalidateblks), int (*)(vnode_t, int, int, int)>);
static_assert(std::is_same_v<decltype(&::VNOP_IOCTL), int (*)(vnode_t, uint32_t, char*, int, vfs_context_t)>);
