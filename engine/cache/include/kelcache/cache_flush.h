// Writing the node tree to the medium: directory images, the flush of one
// node and of a tree, the metadata flush passes and their checks, rename and
// move in the tree.
#pragma once

#include "kelcache/cache_node.h"
#include "kelhost/kern_types.h"

#include <cstdint>

// ---------------------------------------------------------------- rename and move
int mdcudfsr_cache_rename_node(mdcudfsr_cache_node* dir, mdcudfsr_cache_node* node, const char* name, int64_t len,
                               int mode = 1);
int mdcudfsr_cache_move_node(mdcudfsr_cache_node* old_dir, mdcudfsr_cache_node* new_dir, mdcudfsr_cache_node* node,
                             const char* name, int64_t len);
