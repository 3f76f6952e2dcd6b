#include "platform/posix/store/sqlite_memory.h"

#include <string.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace ostrel_posix {
namespace {

// Each block starts with its usable size; SQLite's own allocator does the same, and the
// eight bytes keep the memory behind them aligned as SQLite needs.
constexpr std::size_t kHeader = sizeof(std::uint64_t);
constexpr std::size_t kClassBytes = 64;
constexpr std::size_t kClasses = 4;
constexpr std::size_t kSmallest = 8;
constexpr std::size_t kKeptPerClass = 64;

struct KeptBlock {
  KeptBlock* next;
};
KeptBlock* kept[kClasses] = {};
std::size_t kept_count[kClasses] = {};

// The usable size a request gets: a class size for a small one, else a multiple of eight.
std::size_t rounded(int request) {
  const std::size_t n =
      std::max<std::size_t>(request > 0 ? static_cast<std::size_t>(request) : 0, kSmallest);
  if (n <= kClasses * kClassBytes) return (n + kClassBytes - 1) / kClassBytes * kClassBytes;
  return (n + 7) / 8 * 8;
}

std::size_t class_of(std::size_t size) {
  return size / kClassBytes - 1;
}

bool small(std::size_t size) {
  return size <= kClasses * kClassBytes;
}

std::uint64_t& header_of(void* block) {
  return *reinterpret_cast<std::uint64_t*>(static_cast<char*>(block) - kHeader);
}

void* take(int request) {
  if (request < 0) return nullptr;
  const std::size_t size = rounded(request);
  if (small(size)) {
    const std::size_t c = class_of(size);
    if (KeptBlock* block = kept[c]) {
      kept[c] = block->next;
      --kept_count[c];
      block->next = nullptr;
      return block;
    }
  }
  void* raw = std::malloc(kHeader + size);
  if (raw == nullptr) return nullptr;
  void* block = static_cast<char*>(raw) + kHeader;
  header_of(block) = size;
  return block;
}

void give_back(void* block) {
  if (block == nullptr) return;
  const std::size_t size = static_cast<std::size_t>(header_of(block));
  if (small(size) && kept_count[class_of(size)] < kKeptPerClass) {
    // A kept block is wiped now: what it held does not wait for its next use. Any other
    // goes to the program's free, which wipes it.
    explicit_bzero(block, size);
    const std::size_t c = class_of(size);
    KeptBlock* kept_block = static_cast<KeptBlock*>(block);
    kept_block->next = kept[c];
    kept[c] = kept_block;
    ++kept_count[c];
    return;
  }
  std::free(static_cast<char*>(block) - kHeader);
}

int size_of(void* block) {
  return block == nullptr ? 0 : static_cast<int>(header_of(block));
}

void* resize(void* block, int request) {
  if (block == nullptr) return take(request);
  const std::size_t size = static_cast<std::size_t>(header_of(block));
  if (request >= 0 && rounded(request) == size) return block;
  void* moved = take(request);
  if (moved == nullptr) return nullptr;  // the old block stays, as SQLite expects
  memcpy(moved, block, std::min(size, rounded(request)));
  give_back(block);
  return moved;
}

int round_up(int request) {
  return static_cast<int>(rounded(request));
}

int start(void*) {
  return SQLITE_OK;
}

void stop(void*) {
  for (std::size_t c = 0; c < kClasses; ++c) {
    while (KeptBlock* block = kept[c]) {
      kept[c] = block->next;
      std::free(reinterpret_cast<char*>(block) - kHeader);
    }
    kept_count[c] = 0;
  }
}

const sqlite3_mem_methods kMethods = {take,     give_back, resize, size_of,
                                      round_up, start,     stop,   nullptr};

}  // namespace

const sqlite3_mem_methods& small_block_memory() {
  return kMethods;
}

}  // namespace ostrel_posix
