// Writing the node tree of a simulated mount: the disc opened for writing,
// nodes created and marked as the vnode operations do, the tree as text,
// and the read-back of the metadata file from the disc into a new tree.
#pragma once

#include "support_tree.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cache_test {

// After init(): a write-once disc gets one open track whose next writable
// address is `nwa` (a rewritable one keeps its blocks and `nwa` becomes the
// metadata write address); the write clusters and the local cache file.
void open_for_writing(SimMount& sm, uint32_t nwa);
// A new file or directory marked as a creation marks it (node, parent, and
// the parent's added-entry mark).
mdcudfsr_cache_node* create_node(SimMount& sm, mdcudfsr_cache_node* parent, const char* name, bool dir = false);
// One line per node below the directory: path, unique id, size, kind.
std::string tree_text(mdcudfsr_cache_node* dir);
// The remap over the tree that the volume flush runs after a pass.
void remap(SimMount& sm);
// The remap over the tree, then the metadata file read from the disc into a
// fresh local cache and the tree rebuilt from it; its text.
std::string read_back(SimMount& sm);
// Operation codes of the SCSI commands since the transcript was cleared,
// and the (LBA, blocks) of each 10-byte command with the code.
std::vector<uint8_t> opcodes(SimMount& sm);
std::vector<std::pair<uint32_t, uint32_t>> ranges(SimMount& sm, uint8_t op);
// A metadata-file block read from the disc through the mount's extents.
std::vector<uint8_t> metadata_block(SimMount& sm, uint32_t lbn);

}  // namespace cache_test
