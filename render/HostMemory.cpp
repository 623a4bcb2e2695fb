#include "render/HostMemory.h"

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
