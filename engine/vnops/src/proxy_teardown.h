// The proxy and parity teardown the open, the close and their node-level
// (dummy) forms share.
#pragma once

#include "vnop_frame.h"

namespace vn_teardown {

// A master's change back after a failed open: kind 1, not open for writing,
// its proxy and VFAM attributes gone.
void undo_master(mdcudfsr_cache_node* n);

// The proxy of a master and the proxy's parity node, those of the two that
// stand among the shadow root's children, in the order they stand there
// (the rest null). They are found through the master, never by walking the
// children: every closed file leaves its inactive proxy there until the
// unmount.
void proxy_children(const mdcudfsr_cache_node* shadow, const mdcudfsr_cache_node* master,
                    mdcudfsr_cache_node* ours[2]);

// Inactivates the proxy of the frame's master and the proxy's parity node
// among the shadow root's children, in the order they stand there; the last
// failure, 2 without a shadow root.
int release_proxy_children(vn_frame& f);

// On F2h media a closed master keeps its parity as parity information built
// from the parity file; the parity file's node and both proxies go.
int parity_to_info(vn_frame& f);

// The master forgets its proxy. The proxy and its parity proxy, made
// inactive by the close and waiting for their vnodes' reclaim, let go of
// the nodes they named, which may be freed before them.
void forget_proxy(mdcudfsr_cache_node* n);

}  // namespace vn_teardown
