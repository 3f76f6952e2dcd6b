// SQLite's memory in the single-threaded ostrel program: small blocks kept for reuse.
#pragma once

#include <sqlite3.h>

namespace ostrel_posix {

/// Memory functions for SQLITE_CONFIG_MALLOC. Blocks of up to 256 bytes (rounded up to a
/// multiple of 64) are kept when released, at most 64 of each size, wiped, and given out
/// again; others come from and go back to the C library's allocator. SQLite copies every text
/// column it reads into a new block and releases it when the statement is reset, a few
/// small blocks for each account read; the build's library has no lookaside of its own to
/// reuse them. Without locks: for a process that uses SQLite from one thread only.
const sqlite3_mem_methods& small_block_memory();

}  // namespace ostrel_posix
