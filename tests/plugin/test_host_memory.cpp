// Freed heap pages between passes go back to the system.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "render/HostMemory.h"

namespace {

double resident_mb()
{
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

} // namespace

TEST(HostMemory, FreedHeapPagesInTheMiddleOfTheHeapAreReturned)
{
#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "only glibc's own allocator hands pages back on request";
#else
  // Every other block stays allocated, so the freed ones cannot merge into the top of the heap,
  // which the allocator would give back by itself.
  constexpr std::size_t kBlock = 100 * 1024;
  std::vector<char*> blocks(1000);
  for (char*& b : blocks) {
    b = static_cast<char*>(std::malloc(kBlock));
    ASSERT_NE(b, nullptr);
    std::memset(b, 1, kBlock);
  }
  for (std::size_t i = 0; i < blocks.size(); i += 2)
    std::free(blocks[i]);
  const double before = resident_mb();
  magnifex::return_free_memory();
  const double after = resident_mb();
  for (std::size_t i = 1; i < blocks.size(); i += 2)
    std::free(blocks[i]);
  // 49 MB were freed; most of it must leave the resident set.
  EXPECT_GT(before - after, 30.0) << "resident " << before << " MB before, " << after << " MB after";
#endif
}
