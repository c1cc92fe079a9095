// Initialise: pre-mount, medium type, module start and the vnode operations.
#include "kelmain/engine_main.h"

#include "drive/client_if.h"
#include "kelagent/fscache_agent.h"
#include "kelhost/log.h"

#if defined(KEL_ENGINE_HAS_VNODE_VECTOR)
#include "kelvnops/mdcudfsr_fsctl_file_controls.h"
// Defined by the engine's vnode operations.
extern vnodeopv_entry_desc mdcudfsr_vnodeop_entries[];
#endif

namespace kelmain {

ProcessState& process_state() {
  static ProcessState state;
  return state;
}

const vnodeopv_entry_desc* engine_vnode_vector() {
#if defined(KEL_ENGINE_HAS_VNODE_VECTOR)
  return mdcudfsr_vnodeop_entries;
#else
  return nullptr;
#endif
}

namespace {

struct ResolvePair {
  vnodeop_desc* desc;
  vnop_handler_t KelResolvedVnops::*pointer;
};

// The 19 operations in resolve order.
constexpr ResolvePair kResolveList[] = {
    {&vnop_setattr_desc, &KelResolvedVnops::setattr},   {&vnop_getattr_desc, &KelResolvedVnops::getattr},
    {&vnop_mkdir_desc, &KelResolvedVnops::mkdir},       {&vnop_readdir_desc, &KelResolvedVnops::readdir},
    {&vnop_open_desc, &KelResolvedVnops::open},         {&vnop_create_desc, &KelResolvedVnops::create},
    {&vnop_close_desc, &KelResolvedVnops::close},       {&vnop_read_desc, &KelResolvedVnops::read},
    {&vnop_write_desc, &KelResolvedVnops::write},       {&vnop_lookup_desc, &KelResolvedVnops::lookup},
    {&vnop_rename_desc, &KelResolvedVnops::rename},     {&vnop_remove_desc, &KelResolvedVnops::remove},
    {&vnop_rmdir_desc, &KelResolvedVnops::rmdir},       {&vnop_fsync_desc, &KelResolvedVnops::fsync},
    {&vnop_ioctl_desc, &KelResolvedVnops::ioctl},       {&vnop_blockmap_desc, &KelResolvedVnops::blockmap},
    {&vnop_inactive_desc, &KelResolvedVnops::inactive}, {&vnop_reclaim_desc, &KelResolvedVnops::reclaim},
    {&vnop_statfs_desc, &KelResolvedVnops::statfs},
};
static_assert(sizeof(kResolveList) / sizeof(kResolveList[0]) == 19);

vnop_handler_t find_handler(const vnodeopv_entry_desc* vector, const vnodeop_desc* desc) {
  if (vector == nullptr) return nullptr;
  for (const vnodeopv_entry_desc* e = vector; e->opve_op != nullptr; ++e)
    if (e->opve_op == desc) return e->opve_impl;
  return nullptr;
}

}  // namespace

void resolve_vnode_operations(const vnodeopv_entry_desc* vector, KelResolvedVnops* out) {
  for (const ResolvePair& p : kResolveList) {
    out->*p.pointer = nullptr;
    out->*p.pointer = find_handler(vector, p.desc);
  }
}

}  // namespace kelmain

extern "C" int Initialise(int argc, char** argv) {
  static const char kFn[] = "int Initialise(int, char**)";
  if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
    KEL_LOG_AS(kFn, KEL_LOG_ERR, KEL_MOD_FUSE, KEL_MARK_NOTE,
               "arguments: <medium cookie>, <filesystem cache directory>");
    return 22;
  }
  int finalized = 0, write_protected = 0, write_unsupported = 0;
  char devmedia[] = "notused";
  const int premount = premount_operation(argv[1], devmedia, &finalized, &write_protected, &write_unsupported);
  if (premount != 0) return premount;
  kelmain::ProcessState& state = kelmain::process_state();
  state.medium_type = clientif_get_medium_type();
  if (com_tarn_filesystems_mdcudfsr_start() != 0) {
    KEL_LOG_AS(kFn, KEL_LOG_ERR, KEL_MOD_FUSE, KEL_MARK_NOTE, "com_tarn_filesystems_mdcudfsr_start err");
    return 12;
  }
  state.argc = argc;
  state.argv = argv;
  g_fscache_agent_argc = argc;  // the agent thread reads the count beside the vector
  kelmain::resolve_vnode_operations(kelmain::engine_vnode_vector(), &kel_vnops);
#if defined(KEL_ENGINE_HAS_VNODE_VECTOR)
  // The file-system controls take their places in the control code table.
  mdcudfsr_fsctl_install_file_controls(mdcudfsr_fsctl_rows(), mdcudfsr_fsctl_row_count());
#endif
  return 0;
}
