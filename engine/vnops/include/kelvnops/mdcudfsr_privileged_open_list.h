// The privileged open list of a mount: the master nodes of files opened
// for writing through their proxies, in the order they were opened, each
// with the unique id it had then. After a remount the writer rebuilds the
// allocation of these files in that order; leaving the privileged mode
// empties the list. A mark of the mount (vfam_mode) is set while the list
// holds an entry.
//
// The open, the rebuild, the remove and the privileged mode reach the list
// from the request, writer and timer threads under different node locks:
// the routines here are the only code that changes the list, its entries
// and the nodes' links to them, each under the mount's
// privileged_open_mutex. That mutex is taken last: no routine here waits
// for a node lock while holding it. Entries come from OSMalloc.
#pragma once

#include <cstdint>

struct mdcudfsr_mount;
struct mdcudfsr_cache_node;

// A proxy opened for writing: its master enters the list, unless the proxy
// or its master is listed already or the proxy belongs to a parity stream.
// 0, or 12 when there is no memory for the entry.
int mdcudfsr_privileged_open_list_add(mdcudfsr_mount* mnt, mdcudfsr_cache_node* proxy);
// Takes the node's entry out of the list, when it has one.
void mdcudfsr_privileged_open_list_remove(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node);
// Takes every entry out and clears the mark.
void mdcudfsr_privileged_open_list_clear(mdcudfsr_mount* mnt);
// Whether the node has an entry in the list.
bool mdcudfsr_privileged_open_list_has(mdcudfsr_mount* mnt, const mdcudfsr_cache_node* node);

// The rebuild's search for file `index`: entries of lower indexes are
// dropped. 0 with *node null when nothing is left (the mark is cleared);
// 2 when the first entry is of a higher index or has no node; 0 with *node
// the listed master otherwise.
int mdcudfsr_privileged_open_list_first_from(mdcudfsr_mount* mnt, std::uint64_t index, mdcudfsr_cache_node** node);
// The end of a rebuild: drops the node's entry when `node` is not null and
// clears the mark when the list is empty.
void mdcudfsr_privileged_open_list_settle(mdcudfsr_mount* mnt, mdcudfsr_cache_node* node);
