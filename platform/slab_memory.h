// Memory taken from the system a slab at a time, for pools that carve their
// own blocks. No Qt here: the store links it without the event loop.
#pragma once

#include <cstddef>

// Maps `bytes` of fresh, zeroed, private memory and makes it resident in one
// call where the system can (instead of a fault per page). With `huge`, the
// slab is aligned to its own size and offered to the system as a huge page,
// so `bytes` should be a huge page's size. Null when nothing can be mapped.
char* MapSlab(size_t bytes, bool huge);

// Gives back a slab MapSlab returned, with the same size.
void UnmapSlab(char* base, size_t bytes);
