// The program's own free and realloc: a heap block is wiped before it goes back to the C
// library's allocator, whichever code frees it, so that no freed buffer keeps a password
// in clear. This is what reaches the directory client's buffers: libldap copies a password
// into request buffers of its own and frees them itself, and the memory functions it lets
// a program install (ber_set_option, LBER_OPT_MEMORY_FNS) are only called for allocations
// made with a memory context, never for a client's requests. Allocation stays the C
// library's. Linked into the ostrel program only; a build with a sanitizer keeps the
// sanitizer's allocator.
#include <malloc.h>
#include <string.h>

#include <cstddef>
#include <cstdlib>

#include "platform/posix/common/sanitized_heap.h"

#if !defined(OSTREL_SANITIZED_HEAP)

extern "C" {

// The C library's own release of a block (glibc exports it for allocators built on top).
void __libc_free(void* block);

void free(void* block) noexcept {
  if (block == nullptr) return;
  explicit_bzero(block, malloc_usable_size(block));
  __libc_free(block);
}

// Never moves a block by the C library's realloc, which would give the old one back as
// it is: a block that must grow is copied into a new one and the old one freed (wiped).
void* realloc(void* block, std::size_t size) noexcept {
  if (block == nullptr) return std::malloc(size);
  if (size == 0) {
    free(block);
    return nullptr;
  }
  const std::size_t usable = malloc_usable_size(block);
  if (size <= usable) return block;
  void* moved = std::malloc(size);
  if (moved == nullptr) return nullptr;  // the old block stays, as realloc leaves it
  memcpy(moved, block, usable);
  free(block);
  return moved;
}

}  // extern "C"

#endif
