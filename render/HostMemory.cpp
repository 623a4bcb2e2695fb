#include "render/HostMemory.h"

// __GLIBC__ comes from the C library's own headers, so one of them has to be read before the test.
#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace magnifex {

void return_free_memory()
{
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

} // namespace magnifex
