// The handlers of the allocation, parity and proxy, hash and list, and
// volume-item controls in the form the control table calls them.
#pragma once

#include "kelvnops/mdcudfsr_ioctl.h"

#include <cstddef>

struct mdcudfsr_fsctl_binding {
  std::uint32_t code;  // masked
  mdcudfsr_fsctl_vnode vnode;
  mdcudfsr_fsctl_handler handler;
};

// The bindings, one per table row these controls serve.
const mdcudfsr_fsctl_binding* mdcudfsr_fsctl_file_controls();
std::size_t mdcudfsr_fsctl_file_control_count();
// Puts the handlers into the rows of a control table; rows it does not
// serve are left as they are.
void mdcudfsr_fsctl_install_file_controls(mdcudfsr_fsctl_row* rows, std::size_t count);
