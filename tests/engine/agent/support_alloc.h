#pragma once

#include <cstddef>

// The calling thread's next allocation of exactly size bytes throws
// std::bad_alloc (0 disarms).
void fail_next_allocation_of(std::size_t size);
