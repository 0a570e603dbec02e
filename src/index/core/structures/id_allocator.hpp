// Process-wide object ids: unsigned 32-bit, never 0. allocate_id() pops the
// most recently released id (last-in, first-out, so per-index stores that
// are addressed by id stay compact) or else takes the next never-used id
// from GLOBAL_ID_COUNTER. release_id() pushes an id onto FREE_IDS. Beyond
// the 16,384 most recent releases, older free ids are kept as ranges and
// reused lowest first (see id_allocator.cpp).
//
// Thread-safe: FREE_IDS has its own mutex; the counter is atomic. The
// allocator lock is a leaf: nothing else is locked while it is held, and it
// is held only for a push or a pop, so it is a plain mutex.
#pragma once

#include <cstdint>

namespace zarvex {

uint32_t allocate_id();
void release_id(uint32_t id);

}  // namespace zarvex
