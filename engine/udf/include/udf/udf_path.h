// Path components of symbolic links: the target string split into
// components for sizing and writing, and the stored components turned back
// into the node's target string.
#pragma once

#include "udf/udf_node.h"

#include <cstdint>

// *length: the total size of the components; new_path: the normalised target
// (a buffer at least as long as the target plus one). 0, 12, 22 or a
// conversion error.
int mdcudfsr_inquiry_path_component(const char* target, uint32_t* length, char* new_path);
// Writes the components into at most `capacity` bytes; bytes written (0 on
// any failure, also when they would not fit).
uint32_t mdcudfsr_create_path_component(const char* target, uint8_t* out, uint32_t capacity);
// Reads the components stored in the node's entry block into its target
// string. 0, 12, 22 or a conversion error.
int mdcudfsr_reverse_lookup_path_component(mdcudfsr_udf_node_fields* node, const uint8_t* efe_block,
                                           uint32_t block_size);
