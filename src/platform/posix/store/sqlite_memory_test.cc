// The small-block memory given to SQLite: sizes as SQLite is told, contents kept across a
// resize, and a released block wiped before it is given out again.
#include "platform/posix/store/sqlite_memory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ostrel_posix {
namespace {

TEST(SqliteMemoryTest, SizesResizesAndReuse) {
  const sqlite3_mem_methods& m = small_block_memory();
  ASSERT_EQ(m.xInit(m.pAppData), SQLITE_OK);
  struct Case {
    int request;
    int usable;
  };
  for (const Case& c : {Case{1, 64}, Case{64, 64}, Case{65, 128}, Case{256, 256}, Case{257, 264},
                        Case{5000, 5000}}) {
    SCOPED_TRACE(c.request);
    EXPECT_EQ(m.xRoundup(c.request), c.usable);
    char* block = static_cast<char*>(m.xMalloc(c.request));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(m.xSize(block), c.usable);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u);
    std::memset(block, 'x', static_cast<std::size_t>(c.request));
    // Growing keeps what the block held; a block of the same usable size is not moved.
    char* grown = static_cast<char*>(m.xRealloc(block, c.usable + 300));
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(std::string(grown, static_cast<std::size_t>(c.request)),
              std::string(static_cast<std::size_t>(c.request), 'x'));
    EXPECT_EQ(m.xRealloc(grown, m.xSize(grown)), grown);
    m.xFree(grown);
  }
  // A small block comes back wiped, and is the one given out next for its size.
  char* first = static_cast<char*>(m.xMalloc(100));
  std::memset(first, 's', 100);
  m.xFree(first);
  char* again = static_cast<char*>(m.xMalloc(120));
  EXPECT_EQ(again, first);
  EXPECT_EQ(std::string(again, 100), std::string(100, '\0'));
  m.xFree(again);
  // Only so many are kept; the rest go back to the C library, and stopping frees the kept.
  std::vector<void*> many;
  for (int i = 0; i < 200; ++i) many.push_back(m.xMalloc(32));
  for (void* block : many) m.xFree(block);
  m.xShutdown(m.pAppData);
  EXPECT_EQ(m.xSize(nullptr), 0);
  m.xFree(nullptr);
}

}  // namespace
}  // namespace ostrel_posix
